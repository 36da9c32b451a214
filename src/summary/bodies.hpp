// The functions of the summary-record subsystem: the module functions that make
// records, and the method that renders one as context text. Each receives its
// function object and its matched, type-tested arguments (borrowed), and returns a
// new reference or null with an exception set and its traceback entry made.
//
// Source lines of their traceback entries: format_summary_for_context 112 to 157,
// _parse_summary 212 to 255, _empty_summary 261 to 269, _fallback_summary 275 to
// 298; each step's line stands next to the step in its file.
#pragma once

#include "binding/ref.hpp"

namespace smz {

PyObject* format_summary_for_context(PyObject* function, PyObject* const* args);  // self, summary
PyObject* parse_summary(PyObject* function, PyObject* const* args);               // text
PyObject* empty_summary(PyObject* function, PyObject* const* args);               // none
PyObject* fallback_summary(PyObject* function, PyObject* const* args);            // messages

}  // namespace smz
