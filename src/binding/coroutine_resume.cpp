// The resume core under every entry point of the operation: the entry guard, running
// the body from its state until it suspends or ends, and the cores of send (with
// am_send and __next__), throw and close.
#include "binding/coroutine.hpp"
#include "binding/coroutine_state.hpp"
#include "binding/exceptions.hpp"
#include "binding/host_internals.hpp"
#include "binding/runtime.hpp"

namespace smz::coro {
namespace {

// How many entries are nested on this thread's C stack.
thread_local int t_entry_depth = 0;

// A StopIteration may not leave a body, whatever raised it (the body itself, or a throw
// that ends it): it turns into a RuntimeError caused by it. The text is the one the
// host gives for generators, on every version.
void replace_stop_iteration() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
    Owned stop = take_raised();
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    chain_cause(std::move(stop));
}

PySendResult leave_raised(const CoroutineBody& body, PyObject* scope, int line) {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
    replace_stop_iteration();
    add_traceback(body.function->name, line);
    body.keep_locals(scope);
    return PYGEN_ERROR;
}

// Runs the body from `resume_point` (0 at its start, 1 at its await) until it suspends
// or ends. The body's awaits are handled here; one whose awaitable completes at once
// resumes the body directly. A body not started that is entered with an exception
// (a throw or a close) ends at its first line without running.
PySendResult run_body(CoroutineObject* op, int resume_point, PyObject* value, PyObject** result) {
    const CoroutineBody& body = *op->body;
    if (resume_point == 0 && value == nullptr) {
        return leave_raised(body, op->scope, body.function->line);
    }
    BodyStep step = body.resume(op->scope, resume_point, value);
    while (step.exit == BodyExit::Await) {
        Owned awaitable = Owned::steal(step.value);
        PyObject* awaited = nullptr;
        PySendResult status = await_step(op, awaitable.get(), &awaited);
        if (status == PYGEN_NEXT) {
            *result = awaited;
            return PYGEN_NEXT;
        }
        awaitable.reset();
        Owned outcome = Owned::steal(awaited);
        step = body.resume(op->scope, 1, outcome.get());
    }
    if (step.exit == BodyExit::Return) {
        *result = step.value;
        return PYGEN_RETURN;
    }
    return leave_raised(body, op->scope, step.line);
}

}  // namespace

// Operations awaiting operations resume each other without a Python frame in between,
// so each entry counts against the recursion limits: a very deep chain raises
// RecursionError instead of exhausting the C stack. It is counted twice because the
// host has two limits: the thread-local depth stops a chain where a chain of the
// host's own coroutines would stop (sys.getrecursionlimit()), and
// Py_EnterRecursiveCall guards the C stack, which has a limit of its own since 3.12.
Entry::Entry(CoroutineObject* op, Intent intent, PyObject* sent) noexcept
    : op_(op), from_(op->state), next_(op->state) {
    if (from_ == State::Running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return;
    }
    if (from_ == State::Created && intent == Intent::Close) {
        // Nothing to do but end it: its body never ran, so nothing is counted and
        // nothing can fail, however deep the chain that closes it. Like any operation
        // that finishes, it lets its arguments go now, not when it is freed; it is
        // Running while they go, so code run by their release cannot re-enter it.
        op_->state = State::Running;
        release_fields(op_);
        op_->state = State::Finished;
        from_ = next_ = State::Finished;
        return;
    }
    if (t_entry_depth >= Py_GetRecursionLimit()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        return;
    }
    recursion_.emplace("");
    if (!recursion_->entered()) return;
    ++t_entry_depth;
    entered_ = true;
    op_->state = State::Running;

    if (from_ == State::Finished) {
        if (intent != Intent::Close) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        }
        return;
    }
    if (from_ == State::Created && intent == Intent::Send && sent != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        add_traceback(op_->body->function->name, op_->body->function->line);
        finish();
        return;
    }
    admitted_ = true;
}

Entry::~Entry() {
    if (!entered_) return;
    op_->state = next_;
    --t_entry_depth;
}

void Entry::finish() noexcept {
    settle(State::Finished);
    if (PyErr_Occurred()) {
        PendingError keep;
        release_fields(op_);
    } else {
        release_fields(op_);
    }
}

void chain_cause(Owned cause) {
    if (!cause) return;
    Owned raised = take_raised();
    if (!raised) return;
    PyException_SetCause(raised.get(), Py_NewRef(cause.get()));
    PyException_SetContext(raised.get(), cause.release());
    raise_again(std::move(raised));
}

PySendResult resume(Entry& entry, PyObject* value, PyObject** result) {
    *result = nullptr;
    CoroutineObject* op = entry.op();
    int resume_point = entry.from() == State::Created ? 0 : 1;
    PyObject* out = nullptr;
    PySendResult status;
    {
        // The operation's exception context is on top of the thread's stack for one
        // run of the body, as the host does for its own coroutines: inside the body,
        // sys.exc_info() shows what the body handles, or whatever the driver handles
        // when the body handles nothing.
        HandledItemScope context(&op->exc_state);
        status = run_body(op, resume_point, value, &out);
    }
    *result = out;
    if (status == PYGEN_NEXT) {
        entry.settle(State::Suspended);
        return PYGEN_NEXT;
    }
    entry.finish();
    return status;
}

PySendResult send_core(CoroutineObject* op, PyObject* value, PyObject** result) {
    *result = nullptr;
    Entry entry(op, Intent::Send, value);
    if (!entry.admitted()) return PYGEN_ERROR;
    return op->delegate != nullptr ? delegate_send(entry, value, result)
                                   : resume(entry, value, result);
}

namespace {

// Resumes a suspended operation's body at its await, once the entry admits it: with
// `value` (stolen) as the await's result, or with the pending exception when `value`
// is null. The delegate goes unreached.
PySendResult resume_at_await(CoroutineObject* op, PyObject* value, PyObject** result) {
    Owned outcome = Owned::steal(value);
    Entry entry(op, Intent::Throw);
    if (!entry.admitted()) return PYGEN_ERROR;
    drop_delegate(op);
    return resume(entry, outcome.get(), result);
}

}  // namespace

PySendResult throw_core(CoroutineObject* op, const Thrown& thrown, PyObject** result) {
    *result = nullptr;
    // A running operation refuses the throw before anything of it is done: a thrown
    // class is not called.
    if (op->state == State::Running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    }
    if (op->state == State::Suspended) {
        PyObject* got = nullptr;
        switch (pass_throw(op, thrown, &got)) {
            case Passed::Yielded: *result = got; return PYGEN_NEXT;
            case Passed::Ended: return resume_at_await(op, got, result);
            case Passed::Unclosed: return resume_at_await(op, nullptr, result);
            case Passed::Failed: return PYGEN_ERROR;
            case Passed::Declined: break;
        }
    }
    // Only the body takes the throw. Its exception is built by the rules of `raise`, and
    // whatever stops that (arguments that cannot be raised, a class whose call fails or
    // gives no exception) raises the exception that enters the body in its place: the
    // caller meets it only once the body has let it out. The thrown class's constructor
    // finds the operation as it was; the entry's checks see what it did to it.
    Owned exc = build_thrown(thrown);
    if (!exc) exc = take_raised();
    raise_again(std::move(exc));
    if (op->state == State::Suspended) return resume_at_await(op, nullptr, result);
    Entry entry(op, Intent::Throw);
    if (!entry.admitted()) return PYGEN_ERROR;
    return resume(entry, nullptr, result);
}

Owned close_core(CoroutineObject* op) {
    PySendResult status;
    Owned outcome;
    {
        Entry entry(op, Intent::Close);
        if (!entry.admitted()) {
            if (PyErr_Occurred()) return {};
            return Owned::ref(Py_None);  // finished already: nothing to close
        }
        bool delegate_failed = false;
        if (op->delegate != nullptr) {
            Owned delegate = Owned::ref(op->delegate);
            delegate_failed = !close_delegate(delegate.get());
            drop_delegate(op);
        }
        // A failed close is raised in the body at its await in place of GeneratorExit,
        // whatever it raised, as a throw's exception is.
        if (!delegate_failed) PyErr_SetNone(PyExc_GeneratorExit);
        PyObject* got = nullptr;
        status = resume(entry, nullptr, &got);
        outcome = Owned::steal(got);
    }
    if (status == PYGEN_ERROR) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_GeneratorExit) &&
            !PyErr_ExceptionMatches(PyExc_StopIteration)) {
            return {};
        }
        PyErr_Clear();
        return Owned::ref(Py_None);
    }
    if (status == PYGEN_NEXT || outcome.get() != Py_None) {
        outcome.reset();
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return {};
    }
    return Owned::ref(Py_None);
}

PyObject* send_result(PySendResult status, PyObject* value) {
    if (status == PYGEN_NEXT) return value;
    if (status == PYGEN_RETURN) {
        Owned result = Owned::steal(value);
        if (result.get() == Py_None) {
            PyErr_SetNone(PyExc_StopIteration);
        } else {
            Owned stop = call1(PyExc_StopIteration, result.get());
            if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
        }
    }
    return nullptr;
}

PyObject* throw_method(CoroutineObject* op, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected %s%d argument%s, got %zd",
                     nargs < 1 ? "at least " : "at most ", nargs < 1 ? 1 : 3, nargs < 1 ? "" : "s",
                     nargs);
        return nullptr;
    }
    PyObject* result = nullptr;
    PySendResult status = throw_core(op, Thrown{args, nargs}, &result);
    return send_result(status, result);
}

}  // namespace smz::coro
