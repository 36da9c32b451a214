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

// A StopIteration may not leave a body: it turns into a RuntimeError caused by it.
void replace_stop_iteration() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
    Owned stop = take_raised();
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    chain_cause(std::move(stop));
}

PySendResult leave_raised(const CoroutineBody& body, int line) {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
    replace_stop_iteration();
    add_traceback(body.function->name, line);
    return PYGEN_ERROR;
}

// Runs the body from `resume_point` (0 at its start, 1 at its await) until it suspends
// or ends. The body's awaits are handled here; one whose awaitable completes at once
// resumes the body directly.
PySendResult run_body(CoroutineObject* op, int resume_point, PyObject* value, PyObject** result) {
    const CoroutineBody& body = *op->body;
    if (resume_point == 0 && value != Py_None) {
        if (value != nullptr) {
            PyErr_SetString(PyExc_TypeError,
                            "can't send non-None value to a just-started coroutine");
        }
        return leave_raised(body, body.function->line);
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
    return leave_raised(body, step.line);
}

void already_executing() {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
}

}  // namespace

// Operations awaiting operations resume each other without a Python frame in between,
// so each entry counts against the host's recursion limits: a very deep chain raises
// RecursionError, at about the depth where a chain of the host's own coroutines
// would, instead of exhausting the C stack.
Entry::Entry(CoroutineObject* op) noexcept : op_(op), from_(op->state), next_(op->state) {
    if (from_ == State::Running) {
        already_executing();
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
}

Entry::~Entry() {
    if (!entered_) return;
    op_->state = next_;
    --t_entry_depth;
}

void chain_cause(Owned cause) {
    if (!cause) return;
    Owned raised = take_raised();
    if (!raised) return;
    PyException_SetCause(raised.get(), Py_NewRef(cause.get()));
    PyException_SetContext(raised.get(), cause.release());
    raise_again(std::move(raised));
}

PySendResult resume(Entry& entry, PyObject* value, PyObject** result, bool closing) {
    *result = nullptr;
    CoroutineObject* op = entry.op();
    if (entry.from() == State::Finished) {
        if (!closing) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        }
        return PYGEN_ERROR;
    }
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
    // The body ended: from now on the operation holds nothing. It stays Running while
    // its fields go, so code run by their release cannot re-enter it.
    entry.settle(State::Finished);
    if (PyErr_Occurred()) {
        PendingError keep;
        release_fields(op);
    } else {
        release_fields(op);
    }
    return status;
}

PySendResult send_core(CoroutineObject* op, PyObject* value, PyObject** result) {
    *result = nullptr;
    Entry entry(op);
    if (!entry.entered()) return PYGEN_ERROR;
    return op->delegate != nullptr ? delegate_send(entry, value, result)
                                   : resume(entry, value, result, false);
}

PySendResult throw_core(CoroutineObject* op, PyObject* const* args, Py_ssize_t nargs,
                        PyObject** result) {
    *result = nullptr;
    Entry entry(op);
    if (!entry.entered()) return PYGEN_ERROR;
    if (op->delegate != nullptr) return delegate_throw(entry, args, nargs, result);
    raise_thrown(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
    return resume(entry, nullptr, result, false);
}

Owned close_core(CoroutineObject* op) {
    PySendResult status;
    Owned outcome;
    {
        Entry entry(op);
        if (!entry.entered()) return {};
        bool delegate_failed = false;
        if (op->delegate != nullptr) {
            Owned delegate = Owned::ref(op->delegate);
            delegate_failed = !close_delegate(delegate.get());
            drop_delegate(op);
        }
        if (!delegate_failed) PyErr_SetNone(PyExc_GeneratorExit);
        PyObject* got = nullptr;
        status = resume(entry, nullptr, &got, true);
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

PyObject* throw_method(CoroutineObject* op, PyObject* args) {
    PyObject* typ = nullptr;
    PyObject* val = nullptr;
    PyObject* tb = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &typ, &val, &tb)) return nullptr;
    PyObject* result = nullptr;
    PySendResult status =
        throw_core(op, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), &result);
    return send_result(status, result);
}

}  // namespace smz::coro
