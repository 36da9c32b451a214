// The protocol between the awaitable operation and the body it drives: a resumable
// C++ function that continues its per-call state from a resume point and says how
// each run ended.
#pragma once

#include <cstdint>

#include "binding/function_spec.hpp"
#include "binding/ref.hpp"

namespace smz {

// How one run of a body ended.
enum class BodyExit : std::uint8_t {
    Await,   // suspend on `value`, an awaitable; the body resumes at point 1 with its result
    Return,  // finished with `value`
    Raise,   // finished with the pending exception, which failed at source line `line`
};

struct BodyStep {
    BodyExit exit;
    PyObject* value;  // a new reference for Await and Return; null for Raise
    int line;

    static BodyStep await_on(PyObject* awaitable) { return {BodyExit::Await, awaitable, 0}; }
    static BodyStep finish(PyObject* result) { return {BodyExit::Return, result, 0}; }
    static BodyStep raise(int line) { return {BodyExit::Raise, nullptr, line}; }
};

// A resumable body. `resume` continues `scope` from `resume_point`: 0 on the first run
// (value is None), 1 after an await, with the awaited result as `value` (borrowed) or,
// when `value` is null, with the await's exception pending.
// An exception that leaves the body gets a traceback entry named after the function's
// plain name, as the host names a coroutine's frame; one that ends the body at its
// entry reports the function's definition line.
// An exception that leaves the body keeps the body's locals with that entry, as the
// host's frame keeps them: `keep_locals` moves them there out of `scope` (with
// keep_with_entry, runtime.hpp), just before the operation releases its scope.
struct CoroutineBody {
    const FunctionSpec* function;  // the function whose calls make the operations
    BodyStep (*resume)(PyObject* scope, int resume_point, PyObject* value);
    void (*keep_locals)(PyObject* scope);
};

}  // namespace smz
