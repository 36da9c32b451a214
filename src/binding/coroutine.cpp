// The operation type (`coroutine`): its methods and am_send slot over the resume core,
// its attributes, finalisation and the collector's traversal.
#include "binding/coroutine.hpp"

#include <frameobject.h>

#include <cstddef>

#include "binding/attributes.hpp"
#include "binding/coroutine_state.hpp"
#include "binding/exceptions.hpp"
#include "binding/runtime.hpp"
#include "binding/static_type.hpp"
#include "binding/strings.hpp"

namespace smz::coro {

PyTypeObject g_coroutine_type = blank_type();

namespace {

PyObject* coroutine_send(PyObject* self, PyObject* value) {
    PyObject* result = nullptr;
    PySendResult status = send_core(as_coroutine(self), value, &result);
    return send_result(status, result);
}

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return throw_method(as_coroutine(self), args, nargs);
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
    if (op->state == State::Finished) return;
    Owned pending = take_raised();
    if (op->state == State::Created && !pending) {
        PyObject* qualname = op->qualname != nullptr ? op->qualname : kStr.empty.get();
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
    if (op->state != State::Finished) {
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
    return PyBool_FromLong(as_coroutine(self)->state == State::Running);
}
PyObject* get_suspended(PyObject* self, void*) {
    return PyBool_FromLong(as_coroutine(self)->state == State::Suspended);
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
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)),
     METH_FASTCALL,
     "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next iterated value or "
     "raise StopIteration."},
    {"close", coroutine_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {"__reduce_ex__", reduce_method, METH_O, nullptr},
    {"__reduce__", reduce_method, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods g_coroutine_async = {coroutine_await, nullptr, nullptr, coroutine_am_send};

}  // namespace

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

PyObject* reduce_method(PyObject* self, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self)->tp_name);
    return nullptr;
}

}  // namespace smz::coro

namespace smz {

bool is_coroutine(PyObject* obj) noexcept {
    return Py_IS_TYPE(obj, &coro::g_coroutine_type);
}

PyObject* new_coroutine(const CoroutineBody& body, PyObject* scope, PyObject* code, PyObject* name,
                        PyObject* qualname, PyObject* module) {
    using coro::CoroutineObject;
    CoroutineObject* op = PyObject_GC_New(CoroutineObject, &coro::g_coroutine_type);
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
    op->state = coro::State::Created;
    PyObject_GC_Track(op);
    return reinterpret_cast<PyObject*>(op);
}

bool init_coroutine_types() {
    PyTypeObject& c = coro::g_coroutine_type;
    if (!(c.tp_flags & Py_TPFLAGS_READY)) {
        c.tp_name = "morvex.core.summarizer.coroutine";
        c.tp_basicsize = sizeof(coro::CoroutineObject);
        c.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
        c.tp_dealloc = coro::coroutine_dealloc;
        c.tp_traverse = coro::coroutine_traverse;
        // No tp_clear, as with the host's own coroutines: a suspended operation in a
        // cycle is closed by its finaliser, which releases everything it holds, and an
        // unstarted one is part of a cycle only through a mutable container of its
        // arguments, whose own clear breaks it. A finaliser that resumes an operation
        // during a collection therefore finds it whole and runs it to its end.
        c.tp_finalize = coro::coroutine_finalize;
        c.tp_as_async = &coro::g_coroutine_async;
        c.tp_methods = coro::g_coroutine_methods;
        c.tp_getset = coro::g_coroutine_getset;
        c.tp_weaklistoffset = offsetof(coro::CoroutineObject, weakreflist);
        if (PyType_Ready(&c) < 0) return false;
    }
    return coro::init_await_type();
}

}  // namespace smz
