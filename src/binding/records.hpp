// Reading the records the module is given (message records, tool calls, summary
// records) and the values in them, by the rules of the host's own operations: `get`
// with a default, a head slice, text equality and the text form of a value. An exact
// type is read in place where that is what its own operation does; anything else
// goes through its own methods.
#pragma once

#include "binding/ref.hpp"

namespace smz {

// The default of a `get`: an object, none at all (`get(key)`), or a new empty dict or
// list. A new container is made only when it is needed: for an exact dict, when the
// key is missing (making it and dropping it unused would have no effect).
class Default {
public:
    static Default none() noexcept { return Default(Kind::None, nullptr); }
    static Default object(PyObject* value) noexcept { return Default(Kind::Object, value); }
    static Default new_dict() noexcept { return Default(Kind::NewDict, nullptr); }
    static Default new_list() noexcept { return Default(Kind::NewList, nullptr); }

    // The value a missing key reads as (None for none). Null with an exception set.
    Owned make() const;
    // Whether `get` is called with a default at all.
    bool given() const noexcept { return kind_ != Kind::None; }

private:
    enum class Kind { None, Object, NewDict, NewList };
    Default(Kind kind, PyObject* value) noexcept : kind_(kind), value_(value) {}
    Kind kind_;
    PyObject* value_;  // borrowed, for Kind::Object
};

// record.get(key, dflt). An exact dict is looked up directly, which is what dict.get
// does; any other record has its `get` looked up first, then the default made, then
// the call made, in the order of the expression.
Owned record_get(PyObject* record, PyObject* key, Default dflt = Default::none());

// Finds the values of `count` keys (ASCII strs, all different) in one walk of an exact
// dict's entries: found[i] is the borrowed value under keys[i], or null when the key is
// missing. A small dict whose keys are all exact strs is read so with no host code, as
// its own lookups would read it; for any other dict nothing is found and the result
// is false, for its lookups (which may run a key's own equality) to be made one by one.
// The values are borrowed from the dict: use them before any host code runs.
bool scan_text_keys(PyObject* dict, PyObject* const* keys, PyObject** found, int count) noexcept;

// value[:count]: an exact str cut in place, anything else through its own slicing.
Owned head_of(PyObject* value, Py_ssize_t count);

// a == b by the host's equality, for a str `b` whose equality runs no host code:
// an exact str `a` is compared in place, anything else through its own comparison.
// 1 or 0; -1 with an exception set.
int equals_text(PyObject* a, PyObject* b);

// `a == b` tested as a condition, for a temporary `a` that is released here: the
// comparison is made, `a` released, then the result's truth taken and the result
// released, in the order the host's comparison and jump run them. 1 or 0; -1 with an
// exception set.
int compare_then_release(Owned& a, PyObject* b);
inline int temporary_equals_text(Owned& a, PyObject* b) {
    if (!PyUnicode_CheckExact(a.get())) return compare_then_release(a, b);
    // An exact str's comparison and release run no host code.
    const int equal = equals_text(a.get(), b);
    a.reset();
    return equal;
}

// The text form of a value placed in a text: an exact str unchanged, anything else
// the result of format(value, "").
Owned text_form(PyObject* value);

}  // namespace smz
