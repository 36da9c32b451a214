// Text building for transcript lines and argument briefs. Everything works on the
// characters (code points) of host strings, so any content, lone surrogates
// included, passes through unchanged and limits count characters.
#pragma once

#include <initializer_list>

#include "binding/ref.hpp"

namespace smz {

// A new exact str holding the characters of `pieces` in order. Each piece is a str
// (or an instance of a subclass of str). Null with an exception set on failure.
Owned concat_text(std::initializer_list<PyObject*> pieces);

// The first `limit` characters of the str `text` followed by `marker`. Only called
// for texts longer than `limit`.
Owned cut_text(PyObject* text, Py_ssize_t limit, PyObject* marker);

}  // namespace smz
