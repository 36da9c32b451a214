// Services every function body uses: the module's namespace, global-name lookup,
// traceback entries, calls of host objects and the text form of values.
#pragma once

#include "binding/constants.hpp"
#include "binding/ref.hpp"

namespace smz {

// Records the module namespace and the namespace of the host's builtins module.
void set_module_globals(PyObject* globals, PyObject* builtins) noexcept;

// Looks `name` up in the module namespace, then among the host's built-ins.
// Absent from both: NameError "name '...' is not defined" and a null handle.
Owned lookup_global(PyObject* name);

// Where a failure happened inside a function body: the traceback entry's function
// name (e.g. "morvex.core.summarizer._parse_summary"). A body declares one site and
// reports failing steps with `return site.fail(line)`.
class TraceSite {
public:
    explicit constexpr TraceSite(const char* name) noexcept : name_(name) {}
    // Adds the traceback entry for `line` to the pending exception; returns null so a
    // failing step reads `return site.fail(212);`.
    PyObject* fail(int line) const noexcept;
    // Same, for functions that report failure with -1 or false.
    void mark(int line) const noexcept;

private:
    const char* name_;
};

// Adds a traceback entry (function `name`, file morvex/core/summarizer.py, `line`) to
// the pending exception, leaving the exception itself unchanged. Does nothing when
// no exception is pending or the entry cannot be made.
void add_traceback(const char* name, int line) noexcept;

// Counts one level against the host's recursion limit while alive; `where` ends the
// RecursionError's message when the limit is passed. Check entered() after making it.
class RecursionScope {
public:
    explicit RecursionScope(const char* where) noexcept
        : entered_(Py_EnterRecursiveCall(where) == 0) {}
    RecursionScope(const RecursionScope&) = delete;
    RecursionScope& operator=(const RecursionScope&) = delete;
    ~RecursionScope() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    bool entered() const noexcept { return entered_; }

private:
    bool entered_;
};

// Calls a host object under the host's recursion guard (" while calling a Python
// object"). A callee returning null without an exception gives SystemError.
Owned call(PyObject* callable, PyObject* const* args, size_t nargs, PyObject* kwnames = nullptr);
inline Owned call0(PyObject* callable) {
    return call(callable, nullptr, 0);
}
inline Owned call1(PyObject* callable, PyObject* arg) {
    return call(callable, &arg, 1);
}
// Looks up the attribute `name` of `obj` and calls it with positional arguments.
Owned call_method(PyObject* obj, PyObject* name, PyObject* const* args, size_t nargs);
inline Owned call_method0(PyObject* obj, PyObject* name) {
    return call_method(obj, name, nullptr, 0);
}
inline Owned call_method1(PyObject* obj, PyObject* name, PyObject* arg) {
    return call_method(obj, name, &arg, 1);
}

// record.get(key, dflt), or record.get(key) when `dflt` is null. For an exact dict the
// lookup is made directly, which is what dict.get does; any other record has its own
// `get` looked up and called.
Owned record_get(PyObject* record, PyObject* key, PyObject* dflt = nullptr);

// Finds the values of `count` keys (ASCII strs, all different) in one walk of an exact
// dict's entries: found[i] is the borrowed value under keys[i], or null when the key is
// missing. A small dict whose keys are all exact strs is read so with no host code, as
// its own lookups would read it; for any other dict nothing is found and the result
// is false, for its lookups (which may run a key's own equality) to be made one by one.
bool scan_text_keys(PyObject* dict, PyObject* const* keys, PyObject** found, int count) noexcept;

// record.get(key, {}), the default a new empty dict, made only when it is needed:
// an exact dict is read directly and makes the default only for a missing key; any
// other record gets a new dict as its `get` argument.
Owned record_get_or_new_dict(PyObject* record, PyObject* key);

// Whether the raised exception `exc` is a json.JSONDecodeError (or an instance of a
// subclass), with `json` and its JSONDecodeError looked up now, as an `except
// json.JSONDecodeError:` clause does: 1 or 0; -1 with an exception set when the
// target cannot be had or is no exception class.
int is_json_decode_error(PyObject* exc);

// a == b by the host's equality, for a str `b` whose equality runs no host code:
// an exact str `a` is compared in place, anything else through its own comparison.
// 1 or 0; -1 with an exception set.
int equals_text(PyObject* a, PyObject* b);

// The text form of a value placed in a text: an exact str unchanged, anything else
// the result of format(value, "").
Owned text_form(PyObject* value);

// The exact-type rule of typed parameters: exactly the type, or (in builds with
// SUMMARIZER_ACCEPT_SUBCLASSES) a subclass too.
inline bool accepts_list(PyObject* o) noexcept {
#ifdef SUMMARIZER_ACCEPT_SUBCLASSES
    return PyList_Check(o);
#else
    return PyList_CheckExact(o);
#endif
}
inline bool accepts_dict(PyObject* o) noexcept {
#ifdef SUMMARIZER_ACCEPT_SUBCLASSES
    return PyDict_Check(o);
#else
    return PyDict_CheckExact(o);
#endif
}
inline bool accepts_str(PyObject* o) noexcept {
#ifdef SUMMARIZER_ACCEPT_SUBCLASSES
    return PyUnicode_Check(o);
#else
    return PyUnicode_CheckExact(o);
#endif
}

}  // namespace smz
