// Static type objects are filled in at exec and readied once per process.
#pragma once

#include "binding/ref.hpp"

namespace smz {

// A zeroed type object with the header PyVarObject_HEAD_INIT(nullptr, 0) would give.
inline PyTypeObject blank_type() noexcept {
    PyTypeObject type{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    return type;
}

}  // namespace smz
