#include "binding/text_builder.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace smz {
namespace {

constexpr size_t kLargestBlock = 4096;  // blocks double in size up to this

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

// Widening or narrowing copy; simple enough for the compiler to vectorise.
template <typename From, typename To>
void convert(const From* __restrict from, To* __restrict to, Py_ssize_t count) noexcept {
    for (Py_ssize_t i = 0; i < count; ++i) to[i] = static_cast<To>(from[i]);
}

template <typename To>
void copy_into(To* to, const void* from, int from_kind, Py_ssize_t count) noexcept {
    switch (from_kind) {
        case PyUnicode_1BYTE_KIND: convert(static_cast<const Py_UCS1*>(from), to, count); break;
        case PyUnicode_2BYTE_KIND: convert(static_cast<const Py_UCS2*>(from), to, count); break;
        default: convert(static_cast<const Py_UCS4*>(from), to, count); break;
    }
}

// Copies 2 * sizeof(Word) bytes or fewer (at least sizeof(Word)) as two words that may
// overlap: the first and the last.
template <typename Word>
void copy_ends(char* __restrict to, const char* __restrict from, size_t count) noexcept {
    Word head;
    Word tail;
    std::memcpy(&head, from, sizeof(Word));
    std::memcpy(&tail, from + count - sizeof(Word), sizeof(Word));
    std::memcpy(to, &head, sizeof(Word));
    std::memcpy(to + count - sizeof(Word), &tail, sizeof(Word));
}

// Copies `count` bytes; the short copies most pieces are (the line openers, names,
// numbers) are made in place rather than through a call.
inline void copy_bytes(char* __restrict to, const char* __restrict from, size_t count) noexcept {
    if (count > 16) {
        std::memcpy(to, from, count);
    } else if (count >= 8) {
        copy_ends<uint64_t>(to, from, count);
    } else if (count >= 4) {
        copy_ends<uint32_t>(to, from, count);
    } else {
        for (size_t i = 0; i < count; ++i) to[i] = from[i];
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

void TextBuilder::reset() noexcept {
    full_.clear();
    storage_.reset();
    items_ = inline_;
    size_ = 0;
    capacity_ = kInlinePieces;
    length_ = 0;
    max_char_ = 0;
    started_ = false;
}

void TextBuilder::clear() noexcept {
    // Releasing a piece never runs host code: the pieces are all released first.
    for_each_piece([](const Piece& piece) { Py_XDECREF(piece.owner); });
    reset();
}

bool TextBuilder::grow(const Piece& piece, Py_UCS4 max_char) {
    if (piece.count > PY_SSIZE_T_MAX - length_) {
        PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
        return false;
    }
    const size_t capacity = std::min(2 * capacity_, kLargestBlock);
    try {
        std::unique_ptr<Piece[]> fresh(new Piece[capacity]);
        full_.push_back(Block{items_, size_, std::move(storage_)});
        storage_ = std::move(fresh);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    items_ = storage_.get();
    size_ = 0;
    capacity_ = capacity;
    return push(piece, max_char);
}

// An instance of a subclass is copied now, as the host copies it into the text it is
// joined with, so the builder holds no reference to it.
bool TextBuilder::add_copy(PyObject* text, Py_ssize_t count) {
    Owned copy = Owned::steal(PyUnicode_Substring(text, 0, count));
    if (!copy) return false;
    PyObject* exact = copy.get();
    return push(Piece{PyUnicode_DATA(exact), count, exact, PyUnicode_KIND(exact)},
                PyUnicode_MAX_CHAR_VALUE(exact));
}

bool TextBuilder::add(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) return false;
#endif
    const Py_ssize_t count = PyUnicode_GET_LENGTH(text);
    if (count == 0) return true;
    if (!PyUnicode_CheckExact(text)) return add_copy(text, count);
    return push(Piece{PyUnicode_DATA(text), count, text, PyUnicode_KIND(text)},
                PyUnicode_MAX_CHAR_VALUE(text));
}

bool TextBuilder::add_head(PyObject* text, Py_ssize_t count) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) return false;
#endif
    if (count == 0) return true;
    if (!PyUnicode_CheckExact(text)) return add_copy(text, count);
    return push(Piece{PyUnicode_DATA(text), count, text, PyUnicode_KIND(text)},
                head_max_char(text, count));
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
    for_each_piece([kind, data, &at](const Piece& piece) {
        if (piece.kind == kind) {
            copy_bytes(data + at * kind, static_cast<const char*>(piece.data),
                       static_cast<size_t>(piece.count) * kind);
        } else if (kind == PyUnicode_1BYTE_KIND) {
            copy_into(reinterpret_cast<Py_UCS1*>(data) + at, piece.data, piece.kind, piece.count);
        } else if (kind == PyUnicode_2BYTE_KIND) {
            copy_into(reinterpret_cast<Py_UCS2*>(data) + at, piece.data, piece.kind, piece.count);
        } else {
            copy_into(reinterpret_cast<Py_UCS4*>(data) + at, piece.data, piece.kind, piece.count);
        }
        at += piece.count;
        // Released while its characters are still near in the cache; a str's release
        // runs no host code.
        Py_XDECREF(piece.owner);
    });
    reset();
    return out;
}

}  // namespace smz
