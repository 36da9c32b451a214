#include "binding/exceptions.hpp"

#include <utility>

#include "binding/host_internals.hpp"

namespace smz {

#if PY_VERSION_HEX >= 0x030C0000
PendingError::PendingError() noexcept : exc_(PyErr_GetRaisedException()) {}
PendingError::~PendingError() {
    if (exc_ != nullptr) {
        PyErr_SetRaisedException(exc_);
    } else {
        PyErr_Clear();
    }
}
#else
// The triple is kept as it is: normalizing it could run the exception class's code.
PendingError::PendingError() noexcept {
    PyErr_Fetch(&type_, &value_, &tb_);
}
PendingError::~PendingError() {
    PyErr_Restore(type_, value_, tb_);
}
#endif

Owned take_raised() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Owned::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Owned::steal(value);
#endif
}

void raise_again(Owned exc) noexcept {
    if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// The innermost entry is set directly: inside a coroutine the public get and set pair
// would not restore what was there (see host_internals.hpp).
HandledException::HandledException(PyObject* exc) noexcept
    : saved_(std::exchange(innermost_handled(), Py_NewRef(exc))) {}

HandledException::~HandledException() {
    PyObject* current = std::exchange(innermost_handled(), saved_);
    Py_XDECREF(current);
}

namespace {
bool valid_target(PyObject* target) noexcept {
    if (!PyTuple_Check(target)) return PyExceptionClass_Check(target);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(target); ++i) {
        if (!PyExceptionClass_Check(PyTuple_GET_ITEM(target, i))) return false;
    }
    return true;
}
}  // namespace

int exception_matches(PyObject* exc, PyObject* target) {
    if (!valid_target(target)) {
        PyErr_SetString(PyExc_TypeError,
                        "catching classes that do not inherit from BaseException is not allowed");
        return -1;
    }
    return PyErr_GivenExceptionMatches(exc, target) ? 1 : 0;
}

}  // namespace smz
