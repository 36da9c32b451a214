// The module functions of the transcript subsystem. Each receives its function object
// and its matched, type-tested arguments (borrowed), and returns a new reference or
// null with an exception set and its traceback entry made.
//
// Source lines of their traceback entries: _format_messages_for_summary 160 to 195,
// _brief_args 198 to 206; each step's line stands next to the step in its file.
#pragma once

#include "binding/ref.hpp"

namespace smz {

PyObject* format_messages_for_summary(PyObject* function, PyObject* const* args);  // messages
PyObject* brief_args(PyObject* function, PyObject* const* args);                   // args

}  // namespace smz
