// The awaitable operation type (`coroutine`) and its await iterator
// (`coroutine_wrapper`). An operation drives a resumable body: a C++ function that
// continues a per-call state object from its resume point and either suspends on an
// awaitable, which the operation then awaits on its behalf, or finishes with a result
// or an exception. The operation owns the protocol: send, throw, close, the am_send
// slot, delegation to the awaited iterator, the running guard, the exception being
// handled inside the body, and finalisation.
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

// Readies the operation and await iterator types. Called once, at exec.
bool init_coroutine_types();

// A new, not yet started operation that runs `body` over `scope` (the operation takes
// its own references to all arguments). Null with an exception set on failure.
PyObject* new_coroutine(const CoroutineBody& body, PyObject* scope, PyObject* code, PyObject* name,
                        PyObject* qualname, PyObject* module);

bool is_coroutine(PyObject* obj) noexcept;

}  // namespace smz
