// The awaitable operation type (`coroutine`) and its await iterator
// (`coroutine_wrapper`). An operation drives a resumable body: a C++ function that
// continues a per-call state object from its resume point and either suspends on an
// awaitable, which the operation then awaits on its behalf, or finishes with a result
// or an exception. The operation owns the protocol: send, throw, close, the am_send
// slot, delegation to the awaited iterator, the running guard, the exception being
// handled inside the body, and finalisation.
#pragma once

#include "binding/coroutine_body.hpp"
#include "binding/ref.hpp"

namespace smz {

// Readies the operation and await iterator types. Called once, at exec.
bool init_coroutine_types();

// A new, not yet started operation that runs `body` over `scope` (the operation takes
// its own references to all arguments). Null with an exception set on failure.
PyObject* new_coroutine(const CoroutineBody& body, PyObject* scope, PyObject* code, PyObject* name,
                        PyObject* qualname, PyObject* module);

bool is_coroutine(PyObject* obj) noexcept;

}  // namespace smz
