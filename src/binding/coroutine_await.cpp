// The await and delegate protocol: how the operation obtains and advances the
// iterator of what its body awaits, and how send, throw and close reach that iterator
// (the delegate) while the operation is suspended on it.
#include "binding/coroutine.hpp"
#include "binding/coroutine_state.hpp"
#include "binding/exceptions.hpp"
#include "binding/runtime.hpp"
#include "binding/strings.hpp"

namespace smz::coro {
namespace {

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
        Owned attribute = Owned::steal(PyObject_GetAttr(awaitable, kStr.dunder_await));
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
        Owned method = Owned::steal(PyObject_GetAttr(awaitable, kStr.dunder_await));
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

// The delegate finished: drop it and resume the body with its result (`got`, stolen),
// or with its exception pending when `got` is null.
PySendResult resume_after_delegate(Entry& entry, PyObject* got, PyObject** result) {
    Owned outcome = Owned::steal(got);
    drop_delegate(entry.op());
    return resume(entry, outcome.get(), result);
}

// The delegate was dropped before it was reached: the thrown exception enters the body.
PySendResult throw_into_body(Entry& entry, const Thrown& thrown, PyObject** result) {
    raise_thrown(thrown);
    return resume(entry, nullptr, result);
}

}  // namespace

void set_delegate(CoroutineObject* op, PyObject* delegate) {
    op->delegate = Py_NewRef(delegate);
    PyAsyncMethods* slots = Py_TYPE(delegate)->tp_as_async;
    op->delegate_send = slots != nullptr ? slots->am_send : nullptr;
}

void drop_delegate(CoroutineObject* op) {
    op->delegate_send = nullptr;
    Py_CLEAR(op->delegate);
}

// Another operation is driven directly; anything else through its await iterator,
// advanced once.
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
    if (PyCoro_CheckExact(awaitable)) {
        // The host's coroutine is advanced itself, as `await` does it, with no wrapper
        // made for it; one that is awaiting something already is refused.
        Owned awaiting = Owned::steal(PyObject_GetAttr(awaitable, kStr.cr_await));
        if (!awaiting || awaiting.get() != Py_None) {
            if (awaiting) {
                PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            }
            *result = nullptr;
            return PYGEN_ERROR;
        }
        PySendResult status = PyIter_Send(awaitable, Py_None, result);
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

// Yielded: the operation yields the same value and keeps its delegate. Otherwise the
// delegate is dropped and the body resumes with the delegate's result or exception.
PySendResult delegate_send(Entry& entry, PyObject* value, PyObject** result) {
    CoroutineObject* op = entry.op();
    Owned delegate = Owned::ref(op->delegate);
    PyObject* got = nullptr;
    PySendResult status;
    if (op->delegate_send != nullptr) {
        status = op->delegate_send(delegate.get(), value, &got);
    } else {
        if (value == Py_None && PyIter_Check(delegate.get())) {
            got = Py_TYPE(delegate.get())->tp_iternext(delegate.get());
        } else {
            got = call_method1(delegate.get(), kStr.send, value).release();
        }
        status = got != nullptr ? PYGEN_NEXT : stop_value(&got);
    }
    if (status == PYGEN_NEXT) {
        *result = got;
        return PYGEN_NEXT;
    }
    delegate.reset();
    return resume_after_delegate(entry, got, result);
}

// GeneratorExit closes the delegate; another operation (or its await iterator) is
// thrown into directly; any other delegate through its own throw, when it has one.
PySendResult delegate_throw(Entry& entry, const Thrown& thrown, PyObject** result) {
    PyObject* const* args = thrown.args;
    const Py_ssize_t nargs = thrown.nargs;
    CoroutineObject* op = entry.op();
    Owned delegate = Owned::ref(op->delegate);
    if (PyErr_GivenExceptionMatches(args[0], PyExc_GeneratorExit)) {
        bool closed = close_delegate(delegate.get());
        drop_delegate(op);
        delegate.reset();
        if (closed) return throw_into_body(entry, thrown, result);
        return resume(entry, nullptr, result);
    }
    PyObject* got = nullptr;
    PySendResult status;
    if (is_coroutine(delegate.get())) {
        status = throw_core(as_coroutine(delegate.get()), thrown, &got);
    } else if (is_await_iterator(delegate.get())) {
        status = throw_core(awaited(delegate.get()), thrown, &got);
    } else {
        Owned method = Owned::steal(PyObject_GetAttr(delegate.get(), kStr.throw_method));
        if (!method) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                *result = nullptr;
                return PYGEN_ERROR;
            }
            PyErr_Clear();
            drop_delegate(op);
            delegate.reset();
            return throw_into_body(entry, thrown, result);
        }
        got = call(method.get(), args, static_cast<size_t>(nargs)).release();
        status = got != nullptr ? PYGEN_NEXT : stop_value(&got);
    }
    if (status == PYGEN_NEXT) {
        *result = got;
        return PYGEN_NEXT;
    }
    delegate.reset();
    return resume_after_delegate(entry, got, result);
}

bool close_delegate(PyObject* delegate) {
    if (is_coroutine(delegate)) return bool(close_core(as_coroutine(delegate)));
    if (is_await_iterator(delegate)) return bool(close_core(awaited(delegate)));
    Owned method = Owned::steal(PyObject_GetAttr(delegate, kStr.close));
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

void raise_thrown(const Thrown& thrown) {
    PyObject* typ = thrown.args[0];
    PyObject* val = thrown.nargs > 1 ? thrown.args[1] : nullptr;
    PyObject* tb = thrown.nargs > 2 ? thrown.args[2] : nullptr;
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

}  // namespace smz::coro
