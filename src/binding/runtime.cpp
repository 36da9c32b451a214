#include "binding/runtime.hpp"

#include <frameobject.h>

#include <unordered_map>
#include <utility>

#include "binding/c_texts.hpp"
#include "binding/exceptions.hpp"
#include "binding/function_spec.hpp"
#include "binding/strings.hpp"

namespace smz {
namespace {

PyObject* g_globals = nullptr;   // the module namespace, held for the process
PyObject* g_builtins = nullptr;  // the namespace of the host's builtins module

struct SiteKey {
    const char* name;
    int line;
    bool operator==(const SiteKey& other) const noexcept {
        return name == other.name && line == other.line;
    }
};

struct SiteKeyHash {
    size_t operator()(const SiteKey& key) const noexcept {
        return std::hash<const void*>()(key.name) * 31u + static_cast<size_t>(key.line);
    }
};

// One code object per traceback site, made on first use and kept for the process.
std::unordered_map<SiteKey, PyObject*, SiteKeyHash>* g_site_codes = nullptr;

PyObject* site_code(const char* name, int line) {
    if (g_site_codes == nullptr)
        g_site_codes = new std::unordered_map<SiteKey, PyObject*, SiteKeyHash>();
    auto found = g_site_codes->find(SiteKey{name, line});
    if (found != g_site_codes->end()) return found->second;
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(kCText.source_file, name, line));
    if (code != nullptr) g_site_codes->emplace(SiteKey{name, line}, code);
    return code;
}

}  // namespace

void set_module_globals(PyObject* globals, PyObject* builtins) noexcept {
    Py_XINCREF(globals);
    Py_XSETREF(g_globals, globals);
    Py_XINCREF(builtins);
    Py_XSETREF(g_builtins, builtins);
}

Owned lookup_global(PyObject* name) {
    if (g_globals != nullptr) {
        PyObject* found = PyDict_GetItemWithError(g_globals, name);  // borrowed
        if (found != nullptr) return Owned::ref(found);
        if (PyErr_Occurred()) PyErr_Clear();
    }
    if (g_builtins != nullptr) {
        PyObject* found = PyDict_GetItemWithError(g_builtins, name);  // borrowed
        if (found != nullptr) return Owned::ref(found);
        if (PyErr_Occurred()) PyErr_Clear();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

void add_traceback(const char* name, int line) noexcept {
    if (!PyErr_Occurred()) return;
    PyFrameObject* frame = nullptr;
    {
        PendingError keep;
        PyObject* code = site_code(name, line);
        if (code != nullptr && g_globals != nullptr) {
            frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
                                g_globals, nullptr);
        }
        PyErr_Clear();  // a failure to make the entry leaves the pending exception alone
    }
    if (frame == nullptr) return;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

StepFailed FunctionSpec::fail(int step_line) const noexcept {
    add_traceback(trace_name, step_line);
    return {};
}

namespace {

// The innermost traceback entry of the pending exception when it is one that
// add_traceback made for `name` (a frame of one of its site codes): its frame,
// borrowed from the entry; else null.
PyFrameObject* own_entry_frame(PyObject* tb, const char* name) noexcept {
    if (tb == nullptr || !PyTraceBack_Check(tb) || g_site_codes == nullptr) return nullptr;
    PyFrameObject* frame = reinterpret_cast<PyTracebackObject*>(tb)->tb_frame;
    if (frame == nullptr) return nullptr;
    Owned code = Owned::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    const int line = reinterpret_cast<PyCodeObject*>(code.get())->co_firstlineno;
    auto found = g_site_codes->find(SiteKey{name, line});
    return found != g_site_codes->end() && found->second == code.get() ? frame : nullptr;
}

// Moves the set values among `values` into the namespace of `frame`, under the names
// of `locals`, in order: the namespace releases them in that order when the frame goes.
void move_into_frame(PyFrameObject* frame, std::span<const char* const> locals,
                     std::initializer_list<Owned*> values) noexcept {
    Owned space = Owned::steal(PyFrame_GetLocals(frame));
    if (!space || !PyDict_CheckExact(space.get())) return;
    std::size_t i = 0;
    for (Owned* value : values) {
        if (i == locals.size()) break;
        const char* name = locals[i++];
        if (value == nullptr || !*value) continue;
        Owned key = Owned::steal(PyUnicode_InternFromString(name));
        if (!key || PyDict_SetItem(space.get(), key.get(), value->get()) < 0) return;
        value->reset();  // the namespace holds it now: nothing is released
    }
}

}  // namespace

StepFailed FunctionSpec::keep_locals(std::initializer_list<Owned*> values) const noexcept {
    keep_with_entry(trace_name, locals, values);
    return {};
}

void keep_with_entry(const char* name, std::span<const char* const> locals,
                     std::initializer_list<Owned*> values) noexcept {
    // The exception is set aside while the entry is read and filled, and goes back
    // unchanged; a failure to keep the locals leaves them to their handles.
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    Owned tb = exc != nullptr ? Owned::steal(PyException_GetTraceback(exc)) : Owned();
#else
    PyObject* type = nullptr;
    PyObject* exc = nullptr;
    PyObject* raw_tb = nullptr;
    PyErr_Fetch(&type, &exc, &raw_tb);
    Owned tb = Owned::ref(raw_tb);
#endif
    if (PyFrameObject* frame = own_entry_frame(tb.get(), name)) {
        move_into_frame(frame, locals, values);
    }
    PyErr_Clear();
    tb.reset();
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(type, exc, raw_tb);
#endif
}

Owned call(PyObject* callable, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    RecursionScope guard(kCText.calling_object);
    if (!guard.entered()) return {};
    PyObject* result = PyObject_Vectorcall(callable, args, nargs, kwnames);
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return Owned::steal(result);
}

Owned call_method(PyObject* obj, PyObject* name, PyObject* const* args, size_t nargs) {
    Owned method = Owned::steal(PyObject_GetAttr(obj, name));
    if (!method) return {};
    return call(method.get(), args, nargs);
}

int is_json_decode_error(PyObject* exc) {
    Owned json = lookup_global(kStr.json);
    if (!json) return -1;
    Owned target = Owned::steal(PyObject_GetAttr(json.get(), kStr.JSONDecodeError));
    if (!target) return -1;
    return exception_matches(exc, target.get());
}

}  // namespace smz
