// The await iterator type (`coroutine_wrapper`) that an operation's __await__
// returns: an iterator over the operation whose every entry point is the operation's.
#include <cstddef>

#include "binding/coroutine.hpp"
#include "binding/coroutine_state.hpp"
#include "binding/static_type.hpp"

namespace smz::coro {

PyTypeObject g_await_type = blank_type();

namespace {

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

PyObject* await_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return throw_method(awaited(self), args, nargs);
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
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(await_throw)),
     METH_FASTCALL,
     "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next yielded value or "
     "raise StopIteration."},
    {"close", await_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {"__reduce_ex__", reduce_method, METH_O, nullptr},
    {"__reduce__", reduce_method, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods g_await_async = {nullptr, nullptr, nullptr, await_am_send};

}  // namespace

bool init_await_type() {
    PyTypeObject& w = g_await_type;
    if (w.tp_flags & Py_TPFLAGS_READY) return true;
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
    return PyType_Ready(&w) == 0;
}

}  // namespace smz::coro
