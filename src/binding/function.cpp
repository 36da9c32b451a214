#include "binding/function.hpp"

#include <structmember.h>

#include <cstddef>

#include "binding/args.hpp"
#include "binding/attributes.hpp"
#include "binding/c_texts.hpp"
#include "binding/runtime.hpp"
#include "binding/static_type.hpp"
#include "binding/strings.hpp"

namespace smz {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;  // made from spec->name on first read unless set
    PyObject* qualname;
    PyObject* doc;  // made on first read unless set
    bool doc_made;
    PyObject* module;
    PyObject* globals;
    PyObject* code;
    PyObject* varnames;  // parameter and local names, parameters first
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* is_coroutine;  // cached answer of _is_coroutine
    PyObject* dict;
    PyObject* weakreflist;
};

PyTypeObject g_function_type = blank_type();

FunctionObject* as_function(PyObject* o) {
    return reinterpret_cast<FunctionObject*>(o);
}

// ---------------------------------------------------------------------------------
// Calling

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    FunctionObject* f = as_function(callable);
    const FunctionSpec& spec = *f->spec;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (spec.params.empty()) {
        if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", spec.name, "takes no keyword arguments");
            return nullptr;
        }
        if (nargs != 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", spec.name,
                         "takes no arguments", nargs);
            return nullptr;
        }
        return spec.body(Call{spec, callable, nullptr});
    }
    PyObject* bound[kMaxParams] = {};
    if (!bind_arguments(spec, f->varnames, args, nargs, kwnames, bound)) {
        return spec.fail(spec.line);
    }
    if (!check_argument_types(spec, bound)) return nullptr;
    return spec.body(Call{spec, callable, bound});
}

// ---------------------------------------------------------------------------------
// Garbage collection and lifetime

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->varnames);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->is_coroutine);
    Py_VISIT(f->dict);
    return 0;
}

// Clears only what can take part in a reference cycle, as the host does for its own
// functions: the names, the code object and the parameter names stay set, so a
// function reached after the collector cleared it (from a finaliser, through a weak
// reference) still reads, prints and calls. A name replaced by an instance of a str
// subclass can hold references, so it goes back to the built-in name.
int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    if (f->name != nullptr && !PyUnicode_CheckExact(f->name)) Py_CLEAR(f->name);
    if (f->qualname != nullptr && !PyUnicode_CheckExact(f->qualname)) Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    f->doc_made = true;  // a cleared docstring reads as None
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->is_coroutine);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    Py_CLEAR(f->varnames);
    PyObject_GC_Del(self);
}

// The qualified name (borrowed), made again from the built-in one when a clear dropped
// it. Null with an exception set on failure.
PyObject* qualname_of(FunctionObject* f) {
    if (f->qualname == nullptr) {
        f->qualname = PyUnicode_FromString(f->spec->qualname);
    }
    return f->qualname;
}

PyObject* function_repr(PyObject* self) {
    PyObject* qualname = qualname_of(as_function(self));  // borrowed
    if (qualname == nullptr) return nullptr;
    return PyUnicode_FromFormat("<compiled_function %U at %p>", qualname, self);
}

// A method found on an instance binds to it; found on the class it is the function.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// ---------------------------------------------------------------------------------
// Attributes

PyObject* get_name(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->name == nullptr) {
        f->name = PyUnicode_InternFromString(f->spec->name);
        if (f->name == nullptr) return nullptr;
    }
    return Py_NewRef(f->name);
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_str_field(&as_function(self)->name, value,
                         "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* self, void*) {
    return Py_XNewRef(qualname_of(as_function(self)));
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_field(&as_function(self)->qualname, value,
                         "__qualname__ must be set to a string object");
}

PyObject* get_doc(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->doc_made) {
        if (f->spec->doc != nullptr) {
            f->doc = PyUnicode_FromString(f->spec->doc);
            if (f->doc == nullptr) return nullptr;
        } else {
            f->doc = Py_NewRef(Py_None);
        }
        f->doc_made = true;
    }
    return get_or_none(f->doc);
}

int set_doc(PyObject* self, PyObject* value, void*) {
    FunctionObject* f = as_function(self);
    Py_XSETREF(f->doc, Py_NewRef(value != nullptr ? value : Py_None));
    f->doc_made = true;
    return 0;
}

PyObject* get_globals(PyObject* self, void*) {
    return get_or_none(as_function(self)->globals);
}
PyObject* get_closure(PyObject*, void*) {
    Py_RETURN_NONE;
}
PyObject* get_code(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->code);
}

PyObject* get_defaults(PyObject* self, void*) {
    return get_or_none(as_function(self)->defaults);
}

// Setting the defaults of a compiled function does not reach its calls, which always
// use the defaults built into the function. Say so before storing.
int set_default_field(PyObject** field, PyObject* value, bool accepted, const char* type_message,
                      const char* attribute) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !accepted) {
        PyErr_SetString(PyExc_TypeError, type_message);
        return -1;
    }
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "changes to %s of a morvex.core.summarizer function do not change the "
                         "values its calls use",
                         attribute) < 0) {
        return -1;
    }
    Py_XSETREF(*field, Py_XNewRef(value));
    return 0;
}

int set_defaults(PyObject* self, PyObject* value, void*) {
    return set_default_field(&as_function(self)->defaults, value,
                             value != nullptr && PyTuple_Check(value),
                             "__defaults__ must be set to a tuple object", "__defaults__");
}

PyObject* get_kwdefaults(PyObject* self, void*) {
    return get_or_none(as_function(self)->kwdefaults);
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    return set_default_field(&as_function(self)->kwdefaults, value,
                             value != nullptr && PyDict_Check(value),
                             "__kwdefaults__ must be set to a dict object", "__kwdefaults__");
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) return nullptr;
    }
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

// The coroutine-function marker that asyncio.iscoroutinefunction looks for.
PyObject* get_is_coroutine(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->is_coroutine == nullptr) {
        if (!f->spec->coroutine) {
            f->is_coroutine = Py_NewRef(Py_False);
        } else {
            Owned module = Owned::steal(PyImport_Import(kStr.asyncio_coroutines));
            Owned marker =
                module ? Owned::steal(PyObject_GetAttr(module.get(), kStr._is_coroutine)) : Owned();
            if (!marker) {
                PyErr_Clear();
                marker = Owned::ref(Py_True);
            }
            f->is_coroutine = marker.release();
        }
    }
    return Py_NewRef(f->is_coroutine);
}

PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_XNewRef(qualname_of(as_function(self)));
}

PyGetSetDef g_function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"func_dict", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef g_function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef g_function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------------
// Creation

// A code object for introspection and tracebacks: argument count, local names, flags,
// name, file and first line. The host never runs it.
Owned make_code(const FunctionSpec& spec, PyObject* varnames) {
    Owned base = Owned::steal(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(kCText.source_file, spec.name, spec.line)));
    if (!base) return {};
    Owned name = Owned::steal(PyUnicode_InternFromString(spec.name));
    if (!name) return {};
    Owned kwargs = Owned::steal(PyDict_New());
    if (!kwargs) return {};
    int flags = CO_OPTIMIZED | CO_NEWLOCALS | (spec.coroutine ? CO_COROUTINE : 0);
    Owned argcount = Owned::steal(PyLong_FromSize_t(spec.params.size()));
    Owned nlocals = Owned::steal(PyLong_FromSize_t(spec.locals.size()));
    Owned flag_value = Owned::steal(PyLong_FromLong(flags));
    if (!argcount || !nlocals || !flag_value) return {};
    if (PyDict_SetItem(kwargs.get(), kStr.co_argcount, argcount.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), kStr.co_nlocals, nlocals.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), kStr.co_varnames, varnames) < 0 ||
        PyDict_SetItem(kwargs.get(), kStr.co_flags, flag_value.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), kStr.co_name, name.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), kStr.co_qualname, name.get()) < 0) {
        return {};
    }
    Owned replace = Owned::steal(PyObject_GetAttr(base.get(), kStr.replace));
    if (!replace) return {};
    Owned empty = Owned::steal(PyTuple_New(0));
    if (!empty) return {};
    return Owned::steal(PyObject_Call(replace.get(), empty.get(), kwargs.get()));
}

}  // namespace

bool init_function_type() {
    PyTypeObject& t = g_function_type;
    if (t.tp_flags & Py_TPFLAGS_READY) return true;
    t.tp_name = "morvex.core.summarizer.compiled_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_dealloc = function_dealloc;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_repr = function_repr;
    t.tp_descr_get = function_descr_get;
    t.tp_getset = g_function_getset;
    t.tp_members = g_function_members;
    t.tp_methods = g_function_methods;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    t.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    return PyType_Ready(&t) == 0;
}

PyObject* function_code(PyObject* function) noexcept {
    return as_function(function)->code;
}

PyObject* new_function(const FunctionSpec& spec, PyObject* globals) {
    Owned varnames = Owned::steal(PyTuple_New(static_cast<Py_ssize_t>(spec.locals.size())));
    if (!varnames) return nullptr;
    Py_ssize_t at = 0;
    for (const char* local_name : spec.locals) {
        PyObject* local = PyUnicode_InternFromString(local_name);
        if (local == nullptr) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), at++, local);
    }
    Owned code = make_code(spec, varnames.get());
    if (!code) return nullptr;
    Owned qualname = Owned::steal(PyUnicode_FromString(spec.qualname));
    if (!qualname) return nullptr;
    Owned defaults;
    const std::size_t noptional = spec.params.size() - spec.nrequired;
    if (noptional > 0) {
        defaults = Owned::steal(PyTuple_New(static_cast<Py_ssize_t>(noptional)));
        if (!defaults) return nullptr;
        for (std::size_t i = 0; i < noptional; ++i) {
            PyTuple_SET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i), Py_NewRef(Py_None));
        }
    }
    Owned annotations = Owned::steal(PyDict_New());
    if (!annotations) return nullptr;
    for (const Annotation& annotation : spec.annotations) {
        Owned text = Owned::steal(PyUnicode_FromString(annotation.text));
        if (!text || PyDict_SetItemString(annotations.get(), annotation.name, text.get()) < 0) {
            return nullptr;
        }
    }
    FunctionObject* f = PyObject_GC_New(FunctionObject, &g_function_type);
    if (f == nullptr) return nullptr;
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->name = nullptr;
    f->qualname = qualname.release();
    f->doc = nullptr;
    f->doc_made = false;
    f->module = Py_NewRef(kStr.module_name.get());
    f->globals = Py_NewRef(globals);
    f->code = code.release();
    f->varnames = varnames.release();
    f->defaults = defaults.release();
    f->kwdefaults = nullptr;
    f->annotations = annotations.release();
    f->is_coroutine = nullptr;
    f->dict = nullptr;
    f->weakreflist = nullptr;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace smz
