#include "binding/coroutine.hpp"

#include <frameobject.h>

#include <cstddef>
#include <optional>

#include "binding/attributes.hpp"
#include "binding/constants.hpp"
#include "binding/exceptions.hpp"
#include "binding/runtime.hpp"
#include "binding/static_type.hpp"

namespace smz {
namespace {

struct CoroutineObject {
    PyObject_HEAD const CoroutineBody* body;
    PyObject* scope;             // the body's per-call state
    PyObject* delegate;          // the iterator being awaited, or null
    sendfunc delegate_send;      // the delegate type's am_send slot, or null
    _PyErr_StackItem exc_state;  // the exception being handled inside the body
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* code;
    PyObject* frame;  // made on the first read of cr_frame
    PyObject* weakreflist;
    int resume_point;  // 0 not started, 1 suspended at the await, -1 finished
    bool running;
};

struct AwaitObject {
    PyObject_HEAD PyObject* coroutine;  // the operation being awaited (strong)
    PyObject* weakreflist;
};

PyTypeObject g_coroutine_type = blank_type();
PyTypeObject g_await_type = blank_type();

ConstStr kSendName{"send"};
ConstStr kThrowName{"throw"};
ConstStr kCloseName{"close"};
ConstStr kAwaitName{"__await__"};

CoroutineObject* as_coroutine(PyObject* o) {
    return reinterpret_cast<CoroutineObject*>(o);
}
AwaitObject* as_await(PyObject* o) {
    return reinterpret_cast<AwaitObject*>(o);
}
bool is_await_iterator(PyObject* o) {
    return Py_IS_TYPE(o, &g_await_type);
}

// ---------------------------------------------------------------------------------
// Exception helpers

void already_executing() {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
}

// How many resumptions are nested on this thread's C stack.
thread_local int t_resume_depth = 0;

// Operations awaiting operations resume each other without a Python frame in between,
// so each entry point counts against the host's recursion limits: a very deep chain
// raises RecursionError, at about the depth where a chain of the host's own coroutines
// would, instead of exhausting the C stack.
class RecursionGuard {
public:
    RecursionGuard() noexcept {
        if (t_resume_depth >= Py_GetRecursionLimit()) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
            return;
        }
        scope_.emplace("");
        if (scope_->entered()) ++t_resume_depth;
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard() {
        if (entered()) --t_resume_depth;
    }
    bool entered() const noexcept { return scope_ && scope_->entered(); }

private:
    std::optional<RecursionScope> scope_;
};

// Gives the pending exception `cause` as its cause (and context), as `raise ... from`.
void chain_cause(Owned cause) {
    if (!cause) return;
    Owned raised = take_raised();
    if (!raised) return;
    PyException_SetCause(raised.get(), Py_NewRef(cause.get()));
    PyException_SetContext(raised.get(), cause.release());
    raise_again(std::move(raised));
}

// A StopIteration may not leave a body: it turns into a RuntimeError caused by it.
void replace_stop_iteration() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
    Owned stop = take_raised();
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    chain_cause(std::move(stop));
}

// After a delegate produced no value: the value of a pending StopIteration is the
// result (None when nothing is pending); any other exception stays pending.
PySendResult stop_value(PyObject** result) {
    if (!PyErr_Occurred()) {
        *result = Py_NewRef(Py_None);
        return PYGEN_RETURN;
    }
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
        *result = nullptr;
        return PYGEN_ERROR;
    }
    Owned stop = take_raised();
    PyObject* value = reinterpret_cast<PyStopIterationObject*>(stop.get())->value;
    *result = Py_NewRef(value != nullptr ? value : Py_None);
    return PYGEN_RETURN;
}

// The exception a throw() raises into the body, by the rules of a `raise` statement.
// Invalid arguments leave a TypeError pending instead; either way an exception is
// pending afterwards.
void raise_thrown(PyObject* typ, PyObject* val, PyObject* tb) {
    if (tb == Py_None) {
        tb = nullptr;
    } else if (tb != nullptr && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "raise: arg 3 must be a traceback or None");
        return;
    }
    if (val == Py_None) val = nullptr;
    Owned instance;
    if (PyExceptionInstance_Check(typ)) {
        if (val != nullptr) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return;
        }
        instance = Owned::ref(typ);
    } else if (PyExceptionClass_Check(typ)) {
        if (val != nullptr && PyExceptionInstance_Check(val)) {
            int subclass = PyObject_IsSubclass(reinterpret_cast<PyObject*>(Py_TYPE(val)), typ);
            if (subclass < 0) return;
            if (subclass) instance = Owned::ref(val);
        }
        if (!instance) {
            Owned args;
            if (val == nullptr) {
                args = Owned::steal(PyTuple_New(0));
            } else if (PyTuple_Check(val)) {
                args = Owned::ref(val);
            } else {
                args = Owned::steal(PyTuple_Pack(1, val));
            }
            if (!args) return;
            instance = call(typ, &PyTuple_GET_ITEM(args.get(), 0),
                            static_cast<size_t>(PyTuple_GET_SIZE(args.get())));
            if (!instance) return;
            if (!PyExceptionInstance_Check(instance.get())) {
                PyErr_Format(PyExc_TypeError,
                             "calling %R should have returned an instance of BaseException, "
                             "not %R",
                             typ, reinterpret_cast<PyObject*>(Py_TYPE(instance.get())));
                return;
            }
        }
    } else {
        PyErr_SetString(PyExc_TypeError,
                        "raise: exception class must be a subclass of BaseException");
        return;
    }
    if (tb != nullptr && PyException_SetTraceback(instance.get(), tb) < 0) return;
    raise_again(std::move(instance));
}

// ---------------------------------------------------------------------------------
// The resume core

// Puts the operation's exception context on top of the thread's stack of handled
// exceptions for one run of the body, and takes it off again, as the host does for
// its own coroutines: inside the body, sys.exc_info() shows what the body handles, or
// whatever the driver handles when the body handles nothing.
class ExceptionContext {
public:
    explicit ExceptionContext(_PyErr_StackItem* item) noexcept
        : thread_(PyThreadState_Get()), item_(item) {
        item_->previous_item = thread_->exc_info;
        thread_->exc_info = item_;
    }
    ExceptionContext(const ExceptionContext&) = delete;
    ExceptionContext& operator=(const ExceptionContext&) = delete;
    ~ExceptionContext() {
        thread_->exc_info = item_->previous_item;
        item_->previous_item = nullptr;
    }

private:
    PyThreadState* thread_;
    _PyErr_StackItem* item_;
};

void set_delegate(CoroutineObject* op, PyObject* delegate) {
    op->delegate = Py_NewRef(delegate);
    PyAsyncMethods* slots = Py_TYPE(delegate)->tp_as_async;
    op->delegate_send = slots != nullptr ? slots->am_send : nullptr;
}

void drop_delegate(CoroutineObject* op) {
    op->delegate_send = nullptr;
    Py_CLEAR(op->delegate);
}

void release_fields(CoroutineObject* op) {
    drop_delegate(op);
    Py_CLEAR(op->exc_state.exc_value);
    Py_CLEAR(op->scope);
    Py_CLEAR(op->frame);
    Py_CLEAR(op->code);
    Py_CLEAR(op->name);
    Py_CLEAR(op->qualname);
    Py_CLEAR(op->module);
}

// The body ended: from now on the operation holds nothing.
void finish(CoroutineObject* op) {
    op->resume_point = -1;
    if (PyErr_Occurred()) {
        PendingError keep;
        release_fields(op);
    } else {
        release_fields(op);
    }
}

PySendResult leave_raised(const CoroutineBody& body, int line) {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
    replace_stop_iteration();
    add_traceback(body.trace_name, line);
    return PYGEN_ERROR;
}

PySendResult send_core(CoroutineObject* op, PyObject* value, PyObject** result);

// A generator-based coroutine (types.coroutine) is its own await iterator.
bool is_iterable_coroutine(PyObject* obj) {
    if (!PyGen_CheckExact(obj)) return false;
#if PY_VERSION_HEX >= 0x030C0000
    Owned code = Owned::steal(
        reinterpret_cast<PyObject*>(PyGen_GetCode(reinterpret_cast<PyGenObject*>(obj))));
    return (reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_ITERABLE_COROUTINE) != 0;
#else
    return (reinterpret_cast<PyGenObject*>(obj)->gi_code->co_flags & CO_ITERABLE_COROUTINE) != 0;
#endif
}

void cannot_await(PyObject* awaitable) {
    PyErr_Format(PyExc_TypeError, "object %.200s can't be used in 'await' expression",
                 Py_TYPE(awaitable)->tp_name);
}

// The am_await slot or __await__ failed: an AttributeError from an object without any
// __await__ means the object cannot be awaited; any other failure is reported as an
// invalid awaitable, caused by the original exception.
void await_failed(PyObject* awaitable, bool has_await) {
    if (!has_await && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        Owned pending = take_raised();
        Owned attribute = Owned::steal(PyObject_GetAttr(awaitable, kAwaitName));
        PyErr_Clear();
        if (!attribute) {
            cannot_await(awaitable);
            return;
        }
        raise_again(std::move(pending));
    }
    Owned cause = take_raised();
    PyErr_Format(PyExc_TypeError, "'async for' received an invalid object from __anext__: %.200s",
                 Py_TYPE(awaitable)->tp_name);
    chain_cause(std::move(cause));
}

// The iterator that awaiting `awaitable` drives; null with an exception set.
Owned awaitable_iterator(PyObject* awaitable) {
    PyAsyncMethods* slots = Py_TYPE(awaitable)->tp_as_async;
    Owned iterator;
    if (slots != nullptr && slots->am_await != nullptr) {
        iterator = Owned::steal(slots->am_await(awaitable));
        if (!iterator) {
            await_failed(awaitable, false);
            return {};
        }
    } else if (is_iterable_coroutine(awaitable)) {
        return Owned::ref(awaitable);
    } else {
        Owned method = Owned::steal(PyObject_GetAttr(awaitable, kAwaitName));
        if (!method) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                cannot_await(awaitable);
            } else {
                await_failed(awaitable, true);
            }
            return {};
        }
        iterator = call0(method.get());
        if (!iterator) {
            await_failed(awaitable, true);
            return {};
        }
    }
    if (!PyIter_Check(iterator.get())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.200s'",
                     Py_TYPE(iterator.get())->tp_name);
        return {};
    }
    if (PyCoro_CheckExact(iterator.get()) || is_coroutine(iterator.get())) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return {};
    }
    return iterator;
}

// Awaits what the body suspended on: another operation is driven directly; anything
// else through its await iterator, advanced once. Yielded: that iterator becomes the
// delegate. Returned or raised: the body goes on at once with the result or exception.
PySendResult await_step(CoroutineObject* op, PyObject* awaitable, PyObject** result) {
    if (is_coroutine(awaitable)) {
        if (as_coroutine(awaitable)->delegate != nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            *result = nullptr;
            return PYGEN_ERROR;
        }
        PySendResult status = send_core(as_coroutine(awaitable), Py_None, result);
        if (status == PYGEN_NEXT) set_delegate(op, awaitable);
        return status;
    }
    Owned iterator = awaitable_iterator(awaitable);
    if (!iterator) {
        *result = nullptr;
        return PYGEN_ERROR;
    }
    PyObject* yielded = Py_TYPE(iterator.get())->tp_iternext(iterator.get());
    if (yielded != nullptr) {
        set_delegate(op, iterator.get());
        *result = yielded;
        return PYGEN_NEXT;
    }
    return stop_value(result);
}

// Runs the body from its resume point until it suspends or ends. The body's awaits
// are handled here; one whose awaitable completes at once resumes the body directly.
PySendResult run_body(CoroutineObject* op, PyObject* value, PyObject** result) {
    const CoroutineBody& body = *op->body;
    if (op->resume_point == 0 && value != Py_None) {
        if (value != nullptr) {
            PyErr_SetString(PyExc_TypeError,
                            "can't send non-None value to a just-started coroutine");
        }
        return leave_raised(body, body.entry_line);
    }
    BodyStep step = body.resume(op->scope, op->resume_point, value);
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

// Resumes the body with `value`, or with the pending exception when it is null. The
// closing mark lets a finished operation end quietly. The caller holds the running flag.
PySendResult resume(CoroutineObject* op, PyObject* value, PyObject** result, bool closing) {
    *result = nullptr;
    if (op->resume_point < 0) {
        if (!closing) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        }
        return PYGEN_ERROR;
    }
    PyObject* out = nullptr;
    PySendResult status;
    {
        ExceptionContext context(&op->exc_state);
        status = run_body(op, value, &out);
    }
    if (status == PYGEN_NEXT) {
        op->resume_point = 1;
        *result = out;
        return PYGEN_NEXT;
    }
    finish(op);
    *result = out;
    return status;
}

// The delegate finished: drop it and resume the body with its result (`got`, stolen),
// or with its exception pending when `got` is null.
PySendResult resume_after_delegate(CoroutineObject* op, PyObject* got, PyObject** result) {
    Owned outcome = Owned::steal(got);
    drop_delegate(op);
    return resume(op, outcome.get(), result, false);
}

// Passes `value` to the delegate. Yielded: the operation yields the same value and
// keeps its delegate. Otherwise the delegate is dropped and the body resumes with the
// delegate's result or exception.
PySendResult delegate_send(CoroutineObject* op, PyObject* value, PyObject** result) {
    Owned delegate = Owned::ref(op->delegate);
    PyObject* got = nullptr;
    PySendResult status;
    if (op->delegate_send != nullptr) {
        status = op->delegate_send(delegate.get(), value, &got);
    } else {
        if (value == Py_None && PyIter_Check(delegate.get())) {
            got = Py_TYPE(delegate.get())->tp_iternext(delegate.get());
        } else {
            got = call_method1(delegate.get(), kSendName, value).release();
        }
        status = got != nullptr ? PYGEN_NEXT : stop_value(&got);
    }
    if (status == PYGEN_NEXT) {
        *result = got;
        return PYGEN_NEXT;
    }
    delegate.reset();
    return resume_after_delegate(op, got, result);
}

// send(value) and the am_send slot.
// One entry into the operation: refused while it is running, counted against the
// recursion limits, and holding the running flag while `work` runs.
template <typename Work>
PySendResult enter(CoroutineObject* op, PyObject** result, Work&& work) {
    *result = nullptr;
    if (op->running) {
        already_executing();
        return PYGEN_ERROR;
    }
    RecursionGuard guard;
    if (!guard.entered()) return PYGEN_ERROR;
    op->running = true;
    PySendResult status = work();
    op->running = false;
    return status;
}

PySendResult send_core(CoroutineObject* op, PyObject* value, PyObject** result) {
    return enter(op, result, [&] {
        return op->delegate != nullptr ? delegate_send(op, value, result)
                                       : resume(op, value, result, false);
    });
}

Owned close_core(CoroutineObject* op);

// Closes a delegate. False with the exception set when its close failed; a missing
// close counts as success, and so does a failed lookup, reported as unraisable.
bool close_delegate(PyObject* delegate) {
    if (is_coroutine(delegate)) return bool(close_core(as_coroutine(delegate)));
    if (is_await_iterator(delegate)) {
        return bool(close_core(as_coroutine(as_await(delegate)->coroutine)));
    }
    Owned method = Owned::steal(PyObject_GetAttr(delegate, kCloseName));
    if (!method) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
        } else {
            PyErr_WriteUnraisable(delegate);
        }
        return true;
    }
    return bool(call0(method.get()));
}

PySendResult throw_core(CoroutineObject* op, PyObject* const* args, Py_ssize_t nargs,
                        PyObject** result);

// throw() with the running flag held.
PySendResult throw_running(CoroutineObject* op, PyObject* const* args, Py_ssize_t nargs,
                           PyObject** result) {
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : nullptr;
    PyObject* tb = nargs > 2 ? args[2] : nullptr;
    if (op->delegate == nullptr) {
        raise_thrown(typ, val, tb);
        return resume(op, nullptr, result, false);
    }
    Owned delegate = Owned::ref(op->delegate);
    if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
        bool closed = close_delegate(delegate.get());
        drop_delegate(op);
        delegate.reset();
        if (closed) raise_thrown(typ, val, tb);
        return resume(op, nullptr, result, false);
    }
    PyObject* got = nullptr;
    PySendResult status;
    if (is_coroutine(delegate.get())) {
        status = throw_core(as_coroutine(delegate.get()), args, nargs, &got);
    } else if (is_await_iterator(delegate.get())) {
        status = throw_core(as_coroutine(as_await(delegate.get())->coroutine), args, nargs, &got);
    } else {
        Owned method = Owned::steal(PyObject_GetAttr(delegate.get(), kThrowName));
        if (!method) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                *result = nullptr;
                return PYGEN_ERROR;
            }
            PyErr_Clear();
            drop_delegate(op);
            delegate.reset();
            raise_thrown(typ, val, tb);
            return resume(op, nullptr, result, false);
        }
        got = call(method.get(), args, static_cast<size_t>(nargs)).release();
        status = got != nullptr ? PYGEN_NEXT : stop_value(&got);
    }
    if (status == PYGEN_NEXT) {
        *result = got;
        return PYGEN_NEXT;
    }
    delegate.reset();
    return resume_after_delegate(op, got, result);
}

PySendResult throw_core(CoroutineObject* op, PyObject* const* args, Py_ssize_t nargs,
                        PyObject** result) {
    return enter(op, result, [&] { return throw_running(op, args, nargs, result); });
}

// close(): None when the body ended by GeneratorExit (or was already finished).
Owned close_core(CoroutineObject* op) {
    if (op->running) {
        already_executing();
        return {};
    }
    RecursionGuard guard;
    if (!guard.entered()) return {};
    op->running = true;
    bool delegate_failed = false;
    if (op->delegate != nullptr) {
        Owned delegate = Owned::ref(op->delegate);
        delegate_failed = !close_delegate(delegate.get());
        drop_delegate(op);
    }
    if (!delegate_failed) PyErr_SetNone(PyExc_GeneratorExit);
    PyObject* got = nullptr;
    PySendResult status = resume(op, nullptr, &got, true);
    op->running = false;
    Owned outcome = Owned::steal(got);
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

// Maps an outcome onto the send() convention: a yielded value is returned, a result
// travels in StopIteration (none for None), an exception propagates.
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

PyObject* refuse_pickle(PyObject* self) {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self)->tp_name);
    return nullptr;
}

PyObject* reduce_method(PyObject* self, PyObject*) {
    return refuse_pickle(self);
}

// ---------------------------------------------------------------------------------
// The operation type

PyObject* coroutine_send(PyObject* self, PyObject* value) {
    PyObject* result = nullptr;
    PySendResult status = send_core(as_coroutine(self), value, &result);
    return send_result(status, result);
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

PyObject* coroutine_throw(PyObject* self, PyObject* args) {
    return throw_method(as_coroutine(self), args);
}

PyObject* coroutine_close(PyObject* self, PyObject*) {
    return close_core(as_coroutine(self)).release();
}

PySendResult coroutine_am_send(PyObject* self, PyObject* value, PyObject** result) {
    return send_core(as_coroutine(self), value, result);
}

PyObject* new_await_iterator(PyObject* op) {
    AwaitObject* it = PyObject_GC_New(AwaitObject, &g_await_type);
    if (it == nullptr) return nullptr;
    it->coroutine = Py_NewRef(op);
    it->weakreflist = nullptr;
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject*>(it);
}

PyObject* coroutine_await(PyObject* self) {
    if (!is_coroutine(self)) {
        PyErr_SetString(PyExc_TypeError, "invalid input, expected coroutine");
        return nullptr;
    }
    return new_await_iterator(self);
}

// Finalisation: an operation never started warns; one still suspended (or not started
// while an exception is on its way out) is closed. Failures are unraisable, and the
// exception pending beforehand is pending again afterwards.
void coroutine_finalize(PyObject* self) {
    CoroutineObject* op = as_coroutine(self);
    if (op->resume_point < 0) return;
    Owned pending = take_raised();
    if (op->resume_point == 0 && !pending) {
        PyObject* qualname = op->qualname != nullptr ? op->qualname : kEmptyStr.get();
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited",
                             qualname) < 0) {
            PyErr_WriteUnraisable(self);
        }
    } else if (!close_core(op) && PyErr_Occurred()) {
        PyErr_WriteUnraisable(self);
    }
    if (pending) raise_again(std::move(pending));
}

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroutineObject* op = as_coroutine(self);
    Py_VISIT(op->scope);
    Py_VISIT(op->delegate);
    Py_VISIT(op->exc_state.exc_value);
    Py_VISIT(op->name);
    Py_VISIT(op->qualname);
    Py_VISIT(op->module);
    Py_VISIT(op->code);
    Py_VISIT(op->frame);
    return 0;
}

void coroutine_dealloc(PyObject* self) {
    CoroutineObject* op = as_coroutine(self);
    PyObject_GC_UnTrack(self);
    if (op->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    if (op->resume_point >= 0) {
        PyObject_GC_Track(self);
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // brought back to life
        PyObject_GC_UnTrack(self);
    }
    release_fields(op);
    PyObject_GC_Del(self);
}

PyObject* get_name(PyObject* self, void*) {
    return get_or_none(as_coroutine(self)->name);
}
PyObject* get_qualname(PyObject* self, void*) {
    return get_or_none(as_coroutine(self)->qualname);
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_str_field(&as_coroutine(self)->name, value,
                         "__name__ must be set to a string object");
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_field(&as_coroutine(self)->qualname, value,
                         "__qualname__ must be set to a string object");
}

PyObject* get_module(PyObject* self, void*) {
    return get_or_none(as_coroutine(self)->module);
}

int set_module(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_coroutine(self)->module, Py_XNewRef(value));
    return 0;
}

PyObject* get_await(PyObject* self, void*) {
    return get_or_none(as_coroutine(self)->delegate);
}
PyObject* get_code(PyObject* self, void*) {
    return get_or_none(as_coroutine(self)->code);
}
PyObject* get_running(PyObject* self, void*) {
    return PyBool_FromLong(as_coroutine(self)->running);
}
// Suspended: started, not finished, and not running now.
PyObject* get_suspended(PyObject* self, void*) {
    CoroutineObject* op = as_coroutine(self);
    return PyBool_FromLong(op->resume_point == 1 && !op->running);
}

// A frame for the code object, made once: it serves introspection and does not follow
// the body.
PyObject* get_frame(PyObject* self, void*) {
    CoroutineObject* op = as_coroutine(self);
    if (op->code == nullptr) Py_RETURN_NONE;
    if (op->frame == nullptr) {
        Owned globals = Owned::steal(PyDict_New());
        if (!globals) return nullptr;
        op->frame = reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(op->code),
                        globals.get(), nullptr));
        if (op->frame == nullptr) return nullptr;
    }
    return Py_NewRef(op->frame);
}

PyGetSetDef g_coroutine_getset[] = {
    {"__name__", get_name, set_name, "name of the coroutine", nullptr},
    {"__qualname__", get_qualname, set_qualname, "qualified name of the coroutine", nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"cr_await", get_await, nullptr, "object being awaited, or None", nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, "Frame of the coroutine", nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_coroutine_methods[] = {
    {"send", coroutine_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise "
     "StopIteration."},
    {"throw", coroutine_throw, METH_VARARGS,
     "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next iterated value or "
     "raise StopIteration."},
    {"close", coroutine_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {"__reduce_ex__", reduce_method, METH_O, nullptr},
    {"__reduce__", reduce_method, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods g_coroutine_async = {coroutine_await, nullptr, nullptr, coroutine_am_send};

// ---------------------------------------------------------------------------------
// The await iterator type

CoroutineObject* awaited(PyObject* self) {
    return as_coroutine(as_await(self)->coroutine);
}

PyObject* await_next(PyObject* self) {
    PyObject* result = nullptr;
    PySendResult status = send_core(awaited(self), Py_None, &result);
    if (status == PYGEN_RETURN && result == Py_None) {
        Py_DECREF(result);
        return nullptr;  // ends the iteration without a StopIteration object
    }
    return send_result(status, result);
}

PyObject* await_send(PyObject* self, PyObject* value) {
    PyObject* result = nullptr;
    PySendResult status = send_core(awaited(self), value, &result);
    return send_result(status, result);
}

PyObject* await_throw(PyObject* self, PyObject* args) {
    return throw_method(awaited(self), args);
}

PyObject* await_close(PyObject* self, PyObject*) {
    return close_core(awaited(self)).release();
}

PySendResult await_am_send(PyObject* self, PyObject* value, PyObject** result) {
    return send_core(awaited(self), value, result);
}

int await_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_await(self)->coroutine);
    return 0;
}

// No tp_clear: an await iterator only holds its operation, which (like the host's own
// coroutines) is released by its finaliser or by the clear of a container in the
// cycle, so the operation stays valid for as long as the iterator lives.
void await_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_await(self)->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    Py_CLEAR(as_await(self)->coroutine);
    PyObject_GC_Del(self);
}

PyMethodDef g_await_methods[] = {
    {"send", await_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next yielded value or raise "
     "StopIteration."},
    {"throw", await_throw, METH_VARARGS,
     "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next yielded value or "
     "raise StopIteration."},
    {"close", await_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {"__reduce_ex__", reduce_method, METH_O, nullptr},
    {"__reduce__", reduce_method, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods g_await_async = {nullptr, nullptr, nullptr, await_am_send};

}  // namespace

// ---------------------------------------------------------------------------------
// Shared helpers

bool is_coroutine(PyObject* obj) noexcept {
    return Py_IS_TYPE(obj, &g_coroutine_type);
}

PyObject* new_coroutine(const CoroutineBody& body, PyObject* scope, PyObject* code, PyObject* name,
                        PyObject* qualname, PyObject* module) {
    CoroutineObject* op = PyObject_GC_New(CoroutineObject, &g_coroutine_type);
    if (op == nullptr) return nullptr;
    op->body = &body;
    op->scope = Py_NewRef(scope);
    op->delegate = nullptr;
    op->delegate_send = nullptr;
    op->exc_state.exc_value = nullptr;
    op->exc_state.previous_item = nullptr;
    op->name = Py_NewRef(name);
    op->qualname = Py_NewRef(qualname);
    op->module = Py_NewRef(module);
    op->code = Py_NewRef(code);
    op->frame = nullptr;
    op->weakreflist = nullptr;
    op->resume_point = 0;
    op->running = false;
    PyObject_GC_Track(op);
    return reinterpret_cast<PyObject*>(op);
}

bool init_coroutine_types() {
    PyTypeObject& c = g_coroutine_type;
    if (!(c.tp_flags & Py_TPFLAGS_READY)) {
        c.tp_name = "morvex.core.summarizer.coroutine";
        c.tp_basicsize = sizeof(CoroutineObject);
        c.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
        c.tp_dealloc = coroutine_dealloc;
        c.tp_traverse = coroutine_traverse;
        // No tp_clear, as with the host's own coroutines: a suspended operation in a
        // cycle is closed by its finaliser, which releases everything it holds, and an
        // unstarted one is part of a cycle only through a mutable container of its
        // arguments, whose own clear breaks it. A finaliser that resumes an operation
        // during a collection therefore finds it whole and runs it to its end.
        c.tp_finalize = coroutine_finalize;
        c.tp_as_async = &g_coroutine_async;
        c.tp_methods = g_coroutine_methods;
        c.tp_getset = g_coroutine_getset;
        c.tp_weaklistoffset = offsetof(CoroutineObject, weakreflist);
        if (PyType_Ready(&c) < 0) return false;
    }
    PyTypeObject& w = g_await_type;
    if (!(w.tp_flags & Py_TPFLAGS_READY)) {
        w.tp_name = "morvex.core.summarizer.coroutine_wrapper";
        w.tp_basicsize = sizeof(AwaitObject);
        w.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
        w.tp_dealloc = await_dealloc;
        w.tp_traverse = await_traverse;
        w.tp_as_async = &g_await_async;
        w.tp_iter = PyObject_SelfIter;
        w.tp_iternext = await_next;
        w.tp_methods = g_await_methods;
        w.tp_weaklistoffset = offsetof(AwaitObject, weakreflist);
        if (PyType_Ready(&w) < 0) return false;
    }
    return true;
}

}  // namespace smz
