// Services every function body uses: the module's namespace and global-name lookup,
// traceback entries, the recursion guard, calls of host objects, and the except clause
// whose target is looked up by global name. Built on exceptions.hpp, which needs
// nothing of this file.
#pragma once

#include <initializer_list>
#include <span>

#include "binding/ref.hpp"

namespace smz {

// Records the module namespace and the namespace of the host's builtins module.
void set_module_globals(PyObject* globals, PyObject* builtins) noexcept;

// Looks `name` up in the module namespace, then among the host's built-ins.
// Absent from both: NameError "name '...' is not defined" and a null handle.
Owned lookup_global(PyObject* name);

// Adds a traceback entry (function `name`, file morvex/core/summarizer.py, `line`) to
// the pending exception, leaving the exception itself unchanged. Does nothing when
// no exception is pending or the entry cannot be made.
void add_traceback(const char* name, int line) noexcept;

// Moves the values of a failing function's locals, one handle per name of `locals` in
// that order (null for one not held), into the frame of the innermost traceback entry
// of the pending exception when add_traceback made it for `name`; the entry releases
// them in that order when it goes. Otherwise, or when they cannot be moved, the
// handles keep what they hold. The exception is left as it is.
void keep_with_entry(const char* name, std::span<const char* const> locals,
                     std::initializer_list<Owned*> values) noexcept;

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

// Whether the raised exception `exc` is a json.JSONDecodeError (or an instance of a
// subclass), with `json` and its JSONDecodeError looked up now, as an `except
// json.JSONDecodeError:` clause does: 1 or 0; -1 with an exception set when the
// target cannot be had or is no exception class.
int is_json_decode_error(PyObject* exc);

}  // namespace smz
