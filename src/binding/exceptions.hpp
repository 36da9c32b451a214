// Catching exceptions as an `except` clause does: take the raised exception, make it
// the thread's handled exception while the handler runs, match it against a target,
// and raise it again when it does not match. The runtime (runtime.hpp) builds on
// these and this file needs nothing of it; the clause whose target is looked up as a
// global, `except json.JSONDecodeError:`, is in the runtime for that reason.
#pragma once

#include "binding/ref.hpp"

namespace smz {

// Sets the pending exception aside and puts it back when the scope ends (clearing
// whatever is pending then); for work that must run without disturbing an exception
// on its way out. Nothing pending is put back as nothing pending.
class PendingError {
public:
    PendingError() noexcept;
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    ~PendingError();

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc_ = nullptr;
#else
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
};

// Takes the pending exception, normalized and with its traceback attached; null when
// none is pending.
Owned take_raised() noexcept;

// Raises `exc` again, with the traceback it carries; nothing for a null handle.
void raise_again(Owned exc) noexcept;

// While a handler runs, the caught exception is the thread's handled exception, as
// inside an `except` block: sys.exception() returns it, and exceptions raised in the
// handler take it as their context. The previous one comes back when the scope ends.
class HandledException {
public:
    explicit HandledException(PyObject* exc) noexcept;
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;
    ~HandledException();

private:
    PyObject* saved_;  // owned: the handled exception before this one, or null
};

// Whether `exc` matches the except-clause target `target` (a class or a tuple of
// classes): 1 or 0; -1 with TypeError set when the target is not made of exception
// classes, as the host refuses such a clause.
int exception_matches(PyObject* exc, PyObject* target);

}  // namespace smz
