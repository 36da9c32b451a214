// Reference handles: every strong reference the module takes lives in an Owned,
// so each path out of a function, error paths included, releases what it took.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace smz {

// A strong reference. Releases it when the handle goes out of scope.
class Owned {
public:
    Owned() noexcept = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Owned() { Py_XDECREF(p_); }

    // Takes over a new reference (the result of a C API call), which may be null.
    static Owned steal(PyObject* p) noexcept { return Owned(p); }
    // Takes a new reference to a borrowed object.
    static Owned ref(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Owned(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Gives up ownership to the caller (for returning a new reference).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset(PyObject* stolen = nullptr) noexcept {
        PyObject* old = std::exchange(p_, stolen);
        Py_XDECREF(old);
    }

private:
    explicit Owned(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace smz
