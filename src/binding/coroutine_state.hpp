// The operation's object layout and its states, shared by the files that make up the
// awaitable: the resume core (coroutine_resume.cpp), the await and delegate protocol
// (coroutine_await.cpp), the operation type (coroutine.cpp) and the await
// iterator (await_iterator.cpp). Nothing outside those files includes this header.
#pragma once

#include <cstdint>
#include <optional>

#include "binding/coroutine_body.hpp"
#include "binding/host_internals.hpp"
#include "binding/ref.hpp"
#include "binding/runtime.hpp"

namespace smz::coro {

// Where an operation is in its life. Suspended always means a delegate is set: the
// body's only suspension is an await, and the operation awaits on the body's behalf.
enum class State : std::uint8_t {
    Created,    // not started; the body has not run
    Suspended,  // stopped at the body's await, driving `delegate`
    Running,    // a resumption, throw or close is in progress
    Finished,   // the body ended; the operation holds nothing any more
};

struct CoroutineObject {
    PyObject_HEAD
    const CoroutineBody* body;
    PyObject* scope;         // the body's per-call state
    PyObject* delegate;      // the iterator being awaited, or null
    sendfunc delegate_send;  // the delegate type's am_send slot, or null
    HandledItem exc_state;   // the exception being handled inside the body
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* code;
    PyObject* frame;  // made on the first read of cr_frame
    PyObject* weakreflist;
    State state;
};

struct AwaitObject {
    PyObject_HEAD
    PyObject* coroutine;  // the operation being awaited (strong)
    PyObject* weakreflist;
};

extern PyTypeObject g_coroutine_type;
extern PyTypeObject g_await_type;

inline CoroutineObject* as_coroutine(PyObject* o) noexcept {
    return reinterpret_cast<CoroutineObject*>(o);
}
inline AwaitObject* as_await(PyObject* o) noexcept {
    return reinterpret_cast<AwaitObject*>(o);
}
inline bool is_await_iterator(PyObject* o) noexcept {
    return Py_IS_TYPE(o, &g_await_type);
}
// The operation an await iterator drives.
inline CoroutineObject* awaited(PyObject* await_iterator) noexcept {
    return as_coroutine(as_await(await_iterator)->coroutine);
}

// What an entry point asks of the operation.
enum class Intent : std::uint8_t { Send, Throw, Close };

// The arguments of throw(typ[, val[, tb]]).
struct Thrown {
    PyObject* const* args;
    Py_ssize_t nargs;  // 1 to 3
};

// One entry into an operation: the one prologue of every entry point (send,
// __next__, am_send, throw and close), with its checks in this order. A throw that
// only the body takes meets them once its exception is built and pending (throw_core,
// which has refused a running operation before that); then:
//   1. an operation that is running is refused: ValueError "coroutine already
//      executing" (which replaces a thrown exception);
//   2. a close of an operation not started has nothing to do: the operation ends
//      there, letting its arguments go, and nothing is counted;
//   3. one level is counted against the recursion limits;
//   4. a finished operation is refused: RuntimeError "cannot reuse already awaited
//      coroutine" (which replaces a thrown exception); a close has nothing to do;
//   5. a value other than None sent to an operation not started is refused: TypeError
//      "can't send non-None value to a just-started coroutine", and the operation
//      ends there, as its body would at its first line.
// An admitted entry marks the operation Running while it lives; the state it leaves
// behind is the one it found unless the work settles another one. A throw or close
// passed on to the delegate of a suspended operation enters it too: nothing is
// refused there but by the recursion limits.
class Entry {
public:
    Entry(CoroutineObject* op, Intent intent, PyObject* sent = nullptr) noexcept;
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    ~Entry();

    // Whether the entry point goes on. When it does not, an exception is pending,
    // unless a close found nothing to do.
    bool admitted() const noexcept { return admitted_; }
    State from() const noexcept { return from_; }
    CoroutineObject* op() const noexcept { return op_; }
    // The state the operation takes when this entry ends.
    void settle(State next) noexcept { next_ = next; }
    // Ends the operation with the pending exception (or none): it holds nothing from
    // now on. It stays Running while its fields go, so code run by their release
    // cannot re-enter it.
    void finish() noexcept;

private:
    CoroutineObject* op_;
    State from_;
    State next_;
    bool entered_ = false;  // counted and marked Running
    bool admitted_ = false;
    std::optional<RecursionScope> recursion_;
};

// Readies the await iterator type (await_iterator.cpp).
bool init_await_type();

// The delegate: set while the operation is suspended on it, dropped when it finishes.
void set_delegate(CoroutineObject* op, PyObject* delegate);
void drop_delegate(CoroutineObject* op);
// Releases everything a finished operation no longer needs (all its fields).
void release_fields(CoroutineObject* op);

// The entry points' cores. Each takes its own Entry; `result` receives a new
// reference for a yielded or returned value, null when an exception is raised.
PySendResult send_core(CoroutineObject* op, PyObject* value, PyObject** result);
// throw(): a running operation is refused first. A suspended one passes the arguments
// on to its delegate (pass_throw); otherwise, or when the delegate declines, the
// exception is built by the rules of `raise` (build_thrown) before the entry's
// checks, and raised in the body at its await or at its start. When it cannot be
// built, the TypeError (or the failure of the class's call) is raised there instead.
PySendResult throw_core(CoroutineObject* op, const Thrown& thrown, PyObject** result);
// close(): None when the body ended by GeneratorExit (or had finished); else null
// with the exception set.
Owned close_core(CoroutineObject* op);

// Resumes the body of an admitted operation with `value`, or with the pending
// exception when `value` is null.
PySendResult resume(Entry& entry, PyObject* value, PyObject** result);

// The await and delegate protocol (coroutine_await.cpp).

// Awaits what the body suspended on. Yielded: the iterator that produced the value is
// now the delegate. Returned or raised: the body goes on at once with the outcome.
PySendResult await_step(CoroutineObject* op, PyObject* awaitable, PyObject** result);
// Passes `value` to the delegate (send and __next__).
PySendResult delegate_send(Entry& entry, PyObject* value, PyObject** result);
// After a delegate gave no value: a pending StopIteration's value is the result (None
// when nothing is pending); any other exception stays pending.
PySendResult stop_value(PyObject** result);

// What became of a throw passed on to the delegate.
enum class Passed : std::uint8_t {
    Yielded,   // the delegate yielded: the value is the throw's result
    Ended,     // the delegate finished: with its result, or with the exception pending
    Failed,    // refused before the delegate was reached; the operation is unchanged
    Declined,  // the delegate takes no throw (or was closed): the operation raises it
    Unclosed,  // GeneratorExit: the delegate's close failed, with the exception pending
};
// Passes throw(typ[, val[, tb]]) on to the delegate of a suspended operation, which is
// Running meanwhile; `result` receives the delegate's value, if any.
Passed pass_throw(CoroutineObject* op, const Thrown& thrown, PyObject** result);
// Closes a delegate. False with the exception set when its close failed; a missing
// close counts as success, and so does a failed lookup, reported as unraisable.
bool close_delegate(PyObject* delegate);

// The exception a throw() raises, built by the rules of `raise`. Arguments that cannot
// be raised are refused: TypeError pending and a null handle.
// A class is called with the value unless the value is an instance of it; when that
// call fails, its exception is the one built.
Owned build_thrown(const Thrown& thrown);

// Gives the pending exception `cause` as its cause (and context), as `raise ... from`.
void chain_cause(Owned cause);

// Maps an outcome onto the send() convention: a yielded value is returned, a result
// travels in StopIteration (none for None), an exception propagates.
PyObject* send_result(PySendResult status, PyObject* value);
// throw(typ[, val[, tb]]) as a method of either type (METH_FASTCALL).
PyObject* throw_method(CoroutineObject* op, PyObject* const* args, Py_ssize_t nargs);
// __reduce__ and __reduce_ex__ of either type: pickling is refused.
PyObject* reduce_method(PyObject* self, PyObject*);

}  // namespace smz::coro
