#include "binding/records.hpp"

#include <algorithm>
#include <cstring>

#include "binding/runtime.hpp"
#include "binding/strings.hpp"

namespace smz {
namespace {
constexpr Py_ssize_t kScanLimit = 8;  // entries a record walk reads at most
}  // namespace

Owned Default::make() const {
    switch (kind_) {
        case Kind::None: return Owned::ref(Py_None);
        case Kind::Object: return Owned::ref(value_);
        case Kind::NewDict: return Owned::steal(PyDict_New());
        case Kind::NewList: return Owned::steal(PyList_New(0));
    }
    return Owned::ref(Py_None);
}

Owned record_get(PyObject* record, PyObject* key, Default dflt) {
    if (PyDict_CheckExact(record)) {
        PyObject* found = PyDict_GetItemWithError(record, key);  // borrowed
        if (found != nullptr) return Owned::ref(found);
        if (PyErr_Occurred()) return {};
        return dflt.make();
    }
    Owned get = Owned::steal(PyObject_GetAttr(record, kStr.get));
    if (!get) return {};
    if (!dflt.given()) return call1(get.get(), key);
    Owned fallback = dflt.make();
    if (!fallback) return {};
    PyObject* args[] = {key, fallback.get()};
    return call(get.get(), args, 2);
}

bool scan_text_keys(PyObject* dict, PyObject* const* keys, PyObject** found, int count) noexcept {
    for (int i = 0; i < count; ++i) found[i] = nullptr;
    // A walk pays for itself over a few entries; a large record is read by lookups.
    if (PyDict_GET_SIZE(dict) > kScanLimit) return false;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;    // borrowed
    PyObject* value = nullptr;  // borrowed
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            for (int i = 0; i < count; ++i) found[i] = nullptr;
            return false;
        }
        // The same object, or an equal text: a str equal to an ASCII text is ASCII.
        const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
        for (int i = 0; i < count; ++i) {
            if (key == keys[i] ||
                (length == PyUnicode_GET_LENGTH(keys[i]) && PyUnicode_IS_ASCII(key) &&
                 std::memcmp(PyUnicode_DATA(key), PyUnicode_DATA(keys[i]),
                             static_cast<size_t>(length)) == 0)) {
                found[i] = value;
                break;
            }
        }
    }
    return true;
}

Owned head_of(PyObject* value, Py_ssize_t count) {
    if (PyUnicode_CheckExact(value)) {
        return Owned::steal(
            PyUnicode_Substring(value, 0, std::min(PyUnicode_GET_LENGTH(value), count)));
    }
    Owned stop = Owned::steal(PyLong_FromSsize_t(count));
    if (!stop) return {};
    Owned slice = Owned::steal(PySlice_New(nullptr, stop.get(), nullptr));
    if (!slice) return {};
    return Owned::steal(PyObject_GetItem(value, slice.get()));
}

int equals_text(PyObject* a, PyObject* b) {
    if (a == b) return 1;
    if (!PyUnicode_CheckExact(a)) return PyObject_RichCompareBool(a, b, Py_EQ);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return 0;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

int compare_then_release(Owned& a, PyObject* b) {
    Owned result = Owned::steal(PyObject_RichCompare(a.get(), b, Py_EQ));
    a.reset();
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

Owned text_form(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Owned::ref(value);
    return Owned::steal(PyObject_Format(value, kStr.empty));
}

}  // namespace smz
