#include "binding/text_builder.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace smz {
namespace {

// The bound of the storage class that holds `ch`.
Py_UCS4 class_bound(Py_UCS4 ch) noexcept {
    if (ch < 0x80) return 0x7f;
    if (ch < 0x100) return 0xff;
    if (ch < 0x10000) return 0xffff;
    return 0x10ffff;
}

template <typename Char>
Py_UCS4 largest(const Char* data, Py_ssize_t count) noexcept {
    Char most = 0;
    for (Py_ssize_t i = 0; i < count; ++i) most = std::max(most, data[i]);
    return most;
}

template <typename From, typename To>
void convert(const From* from, To* to, Py_ssize_t count) noexcept {
    for (Py_ssize_t i = 0; i < count; ++i) to[i] = static_cast<To>(from[i]);
}

template <typename To>
void copy_into(To* to, PyObject* from, Py_ssize_t count) noexcept {
    const void* data = PyUnicode_DATA(from);
    switch (PyUnicode_KIND(from)) {
        case PyUnicode_1BYTE_KIND: convert(static_cast<const Py_UCS1*>(data), to, count); break;
        case PyUnicode_2BYTE_KIND: convert(static_cast<const Py_UCS2*>(data), to, count); break;
        default: convert(static_cast<const Py_UCS4*>(data), to, count); break;
    }
}

}  // namespace

Py_UCS4 head_max_char(PyObject* text, Py_ssize_t count) noexcept {
    if (PyUnicode_IS_ASCII(text) || count == 0) return 0x7f;
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return class_bound(largest(static_cast<const Py_UCS1*>(data), count));
        case PyUnicode_2BYTE_KIND:
            return class_bound(largest(static_cast<const Py_UCS2*>(data), count));
        default: return class_bound(largest(static_cast<const Py_UCS4*>(data), count));
    }
}

TextBuilder::~TextBuilder() {
    clear();
}

void TextBuilder::clear() noexcept {
    // Moved out first: releasing a piece never runs host code, but the builder is
    // consistent whatever happens.
    std::vector<Piece> pieces;
    pieces.swap(pieces_);
    for (const Piece& piece : pieces) Py_DECREF(piece.text);
    length_ = 0;
    max_char_ = 0;
    started_ = false;
}

bool TextBuilder::push(PyObject* text, Py_ssize_t count, Py_UCS4 max_char) {
    if (count > PY_SSIZE_T_MAX - length_) {
        PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
        return false;
    }
    try {
        pieces_.push_back(Piece{text, count});
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    Py_INCREF(text);
    length_ += count;
    max_char_ = std::max(max_char_, max_char);
    return true;
}

bool TextBuilder::add(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) return false;
#endif
    const Py_ssize_t count = PyUnicode_GET_LENGTH(text);
    if (count == 0) return true;
    if (!PyUnicode_CheckExact(text)) {
        // An instance of a subclass is copied now, as the host copies it into the
        // text it is joined with, so the builder holds no reference to it.
        Owned copy = Owned::steal(PyUnicode_Substring(text, 0, count));
        return copy && push(copy.get(), count, PyUnicode_MAX_CHAR_VALUE(copy.get()));
    }
    return push(text, count, PyUnicode_MAX_CHAR_VALUE(text));
}

bool TextBuilder::add_head(PyObject* text, Py_ssize_t count) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) return false;
#endif
    if (count == 0) return true;
    if (!PyUnicode_CheckExact(text)) {
        Owned copy = Owned::steal(PyUnicode_Substring(text, 0, count));
        return copy && push(copy.get(), count, PyUnicode_MAX_CHAR_VALUE(copy.get()));
    }
    return push(text, count, head_max_char(text, count));
}

bool TextBuilder::start_line(PyObject* separator) {
    if (!started_) {
        started_ = true;
        return true;
    }
    return add(separator);
}

Owned TextBuilder::build() {
    Owned out = Owned::steal(PyUnicode_New(length_, max_char_));
    if (!out) {
        clear();
        return {};
    }
    const int kind = PyUnicode_KIND(out.get());
    char* data = static_cast<char*>(PyUnicode_DATA(out.get()));
    Py_ssize_t at = 0;
    for (const Piece& piece : pieces_) {
        if (PyUnicode_KIND(piece.text) == kind) {
            std::memcpy(data + at * kind, PyUnicode_DATA(piece.text),
                        static_cast<size_t>(piece.count) * kind);
        } else if (kind == PyUnicode_1BYTE_KIND) {
            copy_into(reinterpret_cast<Py_UCS1*>(data) + at, piece.text, piece.count);
        } else if (kind == PyUnicode_2BYTE_KIND) {
            copy_into(reinterpret_cast<Py_UCS2*>(data) + at, piece.text, piece.count);
        } else {
            copy_into(reinterpret_cast<Py_UCS4*>(data) + at, piece.text, piece.count);
        }
        at += piece.count;
    }
    clear();
    return out;
}

}  // namespace smz
