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

// The host's own generators and coroutines are thrown into by their throw method, with
// the arguments as given. From 3.12 on that method deprecates more than one argument,
// which the host's own delegation never warns about: such arguments are built into
// their exception here and passed alone; arguments that cannot be raised end the
// throw with the TypeError, which the delegate never sees, as the host's generator
// refuses them before it runs.
PyObject* throw_host_generator(PyObject* delegate, const Thrown& thrown) {
#if PY_VERSION_HEX >= 0x030C0000
    if (thrown.nargs > 1) {
        Owned exc = build_thrown(thrown);
        if (!exc) return nullptr;
        PyObject* arg = exc.get();
        return call_method(delegate, kStr.throw_method, &arg, 1).release();
    }
#endif
    return call_method(delegate, kStr.throw_method, thrown.args, static_cast<size_t>(thrown.nargs))
        .release();
}

// A class thrown with `val`, called as the host does when it normalizes a raised class:
// with no argument for none (or None), with the items of a tuple, else with the value.
Owned instantiate(PyObject* typ, PyObject* val) {
    if (val != nullptr && PyExceptionInstance_Check(val)) {
        int subclass = PyObject_IsSubclass(reinterpret_cast<PyObject*>(Py_TYPE(val)), typ);
        if (subclass < 0) return {};
        if (subclass) return Owned::ref(val);
    }
    Owned instance;
    if (val == nullptr) {
        instance = call0(typ);
    } else if (PyTuple_Check(val)) {
        instance = call(typ, &PyTuple_GET_ITEM(val, 0), static_cast<size_t>(PyTuple_GET_SIZE(val)));
    } else {
        instance = call1(typ, val);
    }
    if (instance && !PyExceptionInstance_Check(instance.get())) {
        PyErr_Format(PyExc_TypeError,
                     "calling %R should have returned an instance of BaseException, not %R", typ,
                     reinterpret_cast<PyObject*>(Py_TYPE(instance.get())));
        return {};
    }
    return instance;
}

}  // namespace

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

// GeneratorExit closes the delegate; another operation is thrown into directly, as the
// host throws into its own coroutines; any other delegate (an operation's await
// iterator among them) through its throw method, with the arguments as given.
Passed pass_throw(CoroutineObject* op, const Thrown& thrown, PyObject** result) {
    *result = nullptr;
    Owned delegate = Owned::ref(op->delegate);
    PyObject* got = nullptr;
    PySendResult status;
    {
        Entry entry(op, Intent::Throw);
        if (!entry.admitted()) return Passed::Failed;
        if (PyErr_GivenExceptionMatches(thrown.args[0], PyExc_GeneratorExit)) {
            return close_delegate(delegate.get()) ? Passed::Declined : Passed::Unclosed;
        }
        if (is_coroutine(delegate.get())) {
            status = throw_core(as_coroutine(delegate.get()), thrown, &got);
        } else {
            if (PyGen_CheckExact(delegate.get()) || PyCoro_CheckExact(delegate.get())) {
                got = throw_host_generator(delegate.get(), thrown);
            } else {
                Owned method = Owned::steal(PyObject_GetAttr(delegate.get(), kStr.throw_method));
                if (!method) {
                    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Passed::Failed;
                    PyErr_Clear();
                    return Passed::Declined;
                }
                got = call(method.get(), thrown.args, static_cast<size_t>(thrown.nargs)).release();
            }
            status = got != nullptr ? PYGEN_NEXT : stop_value(&got);
        }
    }
    *result = got;
    return status == PYGEN_NEXT ? Passed::Yielded : Passed::Ended;
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

Owned build_thrown(const Thrown& thrown) {
    PyObject* typ = thrown.args[0];
    PyObject* val = thrown.nargs > 1 && thrown.args[1] != Py_None ? thrown.args[1] : nullptr;
    PyObject* tb = thrown.nargs > 2 && thrown.args[2] != Py_None ? thrown.args[2] : nullptr;
    if (tb != nullptr && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "raise: arg 3 must be a traceback or None");
        return {};
    }
    Owned exc;
    if (PyExceptionClass_Check(typ)) {
        // An exception raised by the class's call is the one thrown: it keeps its own
        // traceback and takes the given one only when it has none.
        exc = instantiate(typ, val);
        if (!exc) {
            exc = take_raised();
            if (tb == nullptr || Owned::steal(PyException_GetTraceback(exc.get()))) return exc;
        }
    } else if (PyExceptionInstance_Check(typ)) {
        if (val != nullptr) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return {};
        }
        exc = Owned::ref(typ);
    } else {
        PyErr_SetString(PyExc_TypeError,
                        "raise: exception class must be a subclass of BaseException");
        return {};
    }
    if (tb != nullptr && PyException_SetTraceback(exc.get(), tb) < 0) return {};
    return exc;
}

}  // namespace smz::coro
