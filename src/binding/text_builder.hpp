// One-pass text building: a result text is collected as a list of pieces (whole strs
// or the leading characters of strs), measured as they come, and made once at the end
// with the width its widest character needs, each piece copied once.
//
// A piece keeps where its characters are and how wide they are, so making the text
// reads only the characters; the reference a piece holds is dropped right after its
// characters are copied. Process constants are added without a reference.
#pragma once

#include <memory>
#include <vector>

#include "binding/ref.hpp"
#include "binding/strings.hpp"

namespace smz {

class TextBuilder {
public:
    TextBuilder() = default;
    TextBuilder(const TextBuilder&) = delete;
    TextBuilder& operator=(const TextBuilder&) = delete;
    ~TextBuilder();

    // Appends the characters of the str `text` (an instance of str or of a subclass);
    // the builder keeps its own reference. False with an exception set on failure.
    bool add(PyObject* text);
    // Appends a process constant; no reference is taken.
    bool add(const ConstStr& text) {
        if (text.length() == 0) return true;
        return push(Piece{text.data(), text.length(), nullptr, text.kind()}, text.max_char());
    }
    // Appends the first `count` characters of the str `text` (count <= its length).
    bool add_head(PyObject* text, Py_ssize_t count);
    // Appends "\n" before every line but the first: text joined by lines.
    bool start_line() {
        if (!started_) {
            started_ = true;
            return true;
        }
        return add(kStr.newline);
    }
    // Starts a line with the constant `text`, an ASCII text that begins with "\n":
    // the first line of the text takes it without that "\n".
    bool line(const ConstStr& text) {
        if (started_) return add(text);
        started_ = true;
        const char* data = static_cast<const char*>(text.data());
        return text.length() <= 1 ||
               push(Piece{data + 1, text.length() - 1, nullptr, PyUnicode_1BYTE_KIND}, 0x7f);
    }

    // The text of all pieces in order, as a new exact str in its narrowest form (the
    // empty str when there are none). The builder is left empty.
    Owned build();

private:
    struct Piece {
        const void* data;
        Py_ssize_t count;
        PyObject* owner;  // the reference that keeps `data` alive; null for a constant
        int kind;
    };
    // Pieces are kept in blocks that never move once made: a text of many pieces
    // grows by adding blocks, not by copying the pieces it has. The first block is
    // part of the builder, so a short text is built with no allocation but its own.
    static constexpr size_t kInlinePieces = 48;
    struct Block {
        Piece* items;
        size_t size;
        std::unique_ptr<Piece[]> storage;  // null for the builder's own block
    };
    // The common case, a piece that fits the current block, is inline; the rest is
    // in grow().
    bool push(const Piece& piece, Py_UCS4 max_char) {
        if (piece.count > PY_SSIZE_T_MAX - length_ || size_ == capacity_) {
            return grow(piece, max_char);
        }
        items_[size_++] = piece;
        Py_XINCREF(piece.owner);
        length_ += piece.count;
        if (max_char > max_char_) max_char_ = max_char;
        return true;
    }
    bool grow(const Piece& piece, Py_UCS4 max_char);
    bool add_copy(PyObject* text, Py_ssize_t count);
    // Calls `each` for every piece in order.
    template <typename Each>
    void for_each_piece(Each each) const {
        for (const Block& block : full_) {
            for (size_t i = 0; i < block.size; ++i) each(block.items[i]);
        }
        for (size_t i = 0; i < size_; ++i) each(items_[i]);
    }
    void reset() noexcept;
    void clear() noexcept;

    Piece inline_[kInlinePieces];
    Piece* items_ = inline_;  // the block being filled
    size_t size_ = 0;
    size_t capacity_ = kInlinePieces;
    std::unique_ptr<Piece[]> storage_;  // owns items_ unless it is inline_
    std::vector<Block> full_;           // the blocks filled before it, in order
    Py_ssize_t length_ = 0;
    Py_UCS4 max_char_ = 0;
    bool started_ = false;
};

// The largest character of the first `count` characters of `text`, rounded up to the
// bound of its storage class (127, 255, 65535 or 1114111), as the host measures a
// substring to choose its width.
Py_UCS4 head_max_char(PyObject* text, Py_ssize_t count) noexcept;

}  // namespace smz
