// One-pass text building: a result text is collected as a list of pieces (whole strs
// or the leading characters of strs), measured as they come, and made once at the end
// with the width its widest character needs, each piece copied once.
#pragma once

#include <vector>

#include "binding/ref.hpp"

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
    // Appends the first `count` characters of the str `text` (count <= its length).
    bool add_head(PyObject* text, Py_ssize_t count);
    // Appends "\n" before every line but the first: text joined by lines.
    bool start_line(PyObject* separator);

    Py_ssize_t length() const noexcept { return length_; }
    bool empty() const noexcept { return pieces_.empty(); }

    // The text of all pieces in order, as a new exact str in its narrowest form (the
    // empty str when there are none). The builder is left empty.
    Owned build();

private:
    struct Piece {
        PyObject* text;  // owned
        Py_ssize_t count;
    };
    bool push(PyObject* text, Py_ssize_t count, Py_UCS4 max_char);
    void clear() noexcept;

    std::vector<Piece> pieces_;
    Py_ssize_t length_ = 0;
    Py_UCS4 max_char_ = 0;
    bool started_ = false;
};

// The largest character of the first `count` characters of `text`, rounded up to the
// bound of its storage class (127, 255, 65535 or 1114111), as the host measures a
// substring to choose its width.
Py_UCS4 head_max_char(PyObject* text, Py_ssize_t count) noexcept;

}  // namespace smz
