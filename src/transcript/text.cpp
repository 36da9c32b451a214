#include "transcript/text.hpp"

#include <algorithm>

namespace smz {

Owned concat_text(std::initializer_list<PyObject*> pieces) {
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    for (PyObject* piece : pieces) {
        if (PyUnicode_READY(piece) < 0) return {};
        Py_ssize_t n = PyUnicode_GET_LENGTH(piece);
        if (n > PY_SSIZE_T_MAX - length) {
            PyErr_SetString(PyExc_OverflowError, "strings are too large to concat");
            return {};
        }
        length += n;
        // Every piece is in its narrowest form, so the widest piece decides the form
        // of the result and the result is in its narrowest form too.
        max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(piece));
    }
    Owned out = Owned::steal(PyUnicode_New(length, max_char));
    if (!out) return {};
    Py_ssize_t at = 0;
    for (PyObject* piece : pieces) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(piece);
        if (PyUnicode_CopyCharacters(out.get(), at, piece, 0, n) < 0) return {};
        at += n;
    }
    return out;
}

Owned cut_text(PyObject* text, Py_ssize_t limit, PyObject* marker) {
    // The substring is measured afresh, so a cut that drops the widest characters
    // gives a narrower result.
    Owned head = Owned::steal(PyUnicode_Substring(text, 0, limit));
    if (!head) return {};
    return concat_text({head.get(), marker});
}

}  // namespace smz
