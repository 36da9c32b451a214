// The protocol between the awaitable operation and the body it drives: a resumable
// C++ function that continues its per-call state from a resume point and says how
// each run ended.
#pragma once

#include <cstdint>

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
struct CoroutineBody {
    const char* trace_name;  // traceback name of exceptions that leave the body
    int entry_line;          // source line reported when the body ends at its entry
    BodyStep (*resume)(PyObject* scope, int resume_point, PyObject* value);
};

}  // namespace smz
