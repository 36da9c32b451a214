// Attribute rules shared by the module's object types.
#pragma once

#include "binding/ref.hpp"

namespace smz {

// A field that may be empty reads as None.
inline PyObject* get_or_none(PyObject* value) {
    return Py_NewRef(value != nullptr ? value : Py_None);
}

// Stores a str (or an instance of a subclass of str) in `field`; anything else, and
// deletion, raise TypeError `message` and keep the old value.
inline int set_str_field(PyObject** field, PyObject* value, const char* message) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(*field, Py_NewRef(value));
    return 0;
}

}  // namespace smz
