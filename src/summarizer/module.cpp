// The module frame: the initialisation entry, create and exec, and the module body
// that binds the namespace in source order.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "binding/c_texts.hpp"
#include "binding/coroutine.hpp"
#include "binding/function.hpp"
#include "binding/runtime.hpp"
#include "binding/strings.hpp"
#include "summarizer/functions.hpp"
#include "summarizer/lines.hpp"
#include "summarizer/texts.hpp"
#include "summary/functions.hpp"
#include "summary/texts.hpp"
#include "transcript/functions.hpp"
#include "transcript/texts.hpp"

namespace smz {
namespace {

// The source lines of the module body's statements, for the traceback entries of a
// failed import (lines.hpp).
using namespace lines::module_body;

// The class's methods and the module functions, in the order the module body binds
// them; each function's description sits beside its body.
const FunctionSpec* const kMethods[] = {&kSummarizerInit, &kSummarizeMessages,
                                        &kFormatSummaryForContext};
const FunctionSpec* const kModuleFunctions[] = {&kFormatMessagesForSummary, &kBriefArgs,
                                                &kParseSummary, &kEmptySummary, &kFallbackSummary};

// ---------------------------------------------------------------------------------
// Process-wide state

// The first interpreter to import the module owns it. Interpreters with their own
// interpreter lock may race for it, hence the atomic.
std::atomic<int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;  // the one module object, once exec has started

// A failed exec drops the module record so that a later import starts afresh.
int fail_exec(int line, bool with_trace) {
    if (with_trace) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, kCText.init_trace);
        }
        add_traceback(kCText.init_trace, line);
    }
    Py_CLEAR(g_module);
    set_module_globals(nullptr, nullptr);
    return -1;
}

// The running version the import check compares against. A build with
// SUMMARIZER_TEST_HOOKS lets the tests stand in another one through
// MORVEX_SUMMARIZER_TEST_RUNTIME_VERSION ("major.minor"); no other build reads it.
void running_version(int* major, int* minor) {
    *major = static_cast<int>((Py_Version >> 24) & 0xff);
    *minor = static_cast<int>((Py_Version >> 16) & 0xff);
#ifdef SUMMARIZER_TEST_HOOKS
    const char* forced = std::getenv(kCText.test_runtime_version);
    if (forced != nullptr) {
        char* end = nullptr;
        long fmajor = std::strtol(forced, &end, 10);
        if (end != forced && *end == '.') {
            long fminor = std::strtol(end + 1, &end, 10);
            *major = static_cast<int>(fmajor);
            *minor = static_cast<int>(fminor);
        }
    }
#endif
}

bool check_version() {
    int major = 0;
    int minor = 0;
    running_version(&major, &minor);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    char message[200];
    PyOS_snprintf(message, sizeof(message), kCText.version_warning, PY_MAJOR_VERSION,
                  PY_MINOR_VERSION, kStr.module_name.utf8(), major, minor);
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

bool register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    int present = PyDict_Contains(modules, kStr.module_name);
    if (present < 0) return false;
    if (present) return true;
    return PyDict_SetItem(modules, kStr.module_name, module) == 0;
}

// import NAME (absolute), bound under its own name.
bool import_module(PyObject* globals, PyObject* name) {
    Owned module =
        Owned::steal(PyImport_ImportModuleLevelObject(name, globals, nullptr, nullptr, 0));
    return module && PyDict_SetItem(globals, name, module.get()) == 0;
}

// from typing import Any
bool import_any(PyObject* globals) {
    Owned module;
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* present = PyDict_GetItemWithError(modules, kStr.typing);  // borrowed
    if (present == nullptr && PyErr_Occurred()) return false;
    if (present != nullptr && PyObject_HasAttr(present, kStr.Any)) {
        module = Owned::ref(present);
    } else {
        Owned fromlist = Owned::steal(PyTuple_Pack(1, kStr.Any.get()));
        if (!fromlist) return false;
        module = Owned::steal(
            PyImport_ImportModuleLevelObject(kStr.typing, globals, nullptr, fromlist.get(), 0));
        if (!module) return false;
    }
    Owned value = Owned::steal(PyObject_GetAttr(module.get(), kStr.Any));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        PyObject* sub = PyDict_GetItemWithError(modules, kStr.typing_any);  // borrowed
        if (sub == nullptr) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ImportError, "cannot import name %S", kStr.Any.get());
            return false;
        }
        value = Owned::ref(sub);
    }
    return PyDict_SetItem(globals, kStr.Any, value.get()) == 0;
}

bool bind_logger(PyObject* globals) {
    Owned logging = lookup_global(kStr.logging);
    if (!logging) return false;
    Owned get_logger = Owned::steal(PyObject_GetAttr(logging.get(), kStr.getLogger));
    if (!get_logger) return false;
    Owned logger = call1(get_logger.get(), kStr.logger_name);
    return logger && PyDict_SetItem(globals, kStr.logger, logger.get()) == 0;
}

bool add_method(PyObject* namespace_dict, const FunctionSpec& spec, PyObject* globals) {
    Owned function = Owned::steal(new_function(spec, globals));
    return function && PyDict_SetItemString(namespace_dict, spec.name, function.get()) == 0;
}

bool bind_class(PyObject* globals) {
    Owned ns = Owned::steal(PyDict_New());
    if (!ns || PyDict_SetItem(ns.get(), kStr.dunder_module, kStr.module_name) < 0 ||
        PyDict_SetItem(ns.get(), kStr.dunder_qualname, kStr.ConversationSummarizer) < 0 ||
        PyDict_SetItem(ns.get(), kStr.dunder_doc, kSummarizerStr.class_doc) < 0) {
        return false;
    }
    for (const FunctionSpec* spec : kMethods) {
        if (!add_method(ns.get(), *spec, globals)) return false;
    }
    Owned bases = Owned::steal(PyTuple_New(0));
    if (!bases) return false;
    PyObject* type_args[] = {kStr.ConversationSummarizer.get(), bases.get(), ns.get()};
    Owned cls = call(reinterpret_cast<PyObject*>(&PyType_Type), type_args, 3);
    return cls && PyDict_SetItem(globals, kStr.ConversationSummarizer, cls.get()) == 0;
}

// The module body, in source order. Each statement reports its own line.
int run_body(PyObject* globals) {
    if (!import_module(globals, kStr.json)) return fail_exec(kImportJson, true);
    if (!import_module(globals, kStr.logging)) return fail_exec(kImportLogging, true);
    if (!import_module(globals, kStr.time)) return fail_exec(kImportTime, true);
    if (!import_any(globals)) return fail_exec(kImportAny, true);
    if (!bind_logger(globals)) return fail_exec(kLogger, true);
    Owned prompt = Owned::steal(PyUnicode_InternFromString(kSummarizePrompt));
    if (!prompt || PyDict_SetItem(globals, kStr.SUMMARIZE_PROMPT, prompt.get()) < 0) {
        return fail_exec(kPrompt, true);
    }
    if (!bind_class(globals)) return fail_exec(kClass, true);
    for (const FunctionSpec* spec : kModuleFunctions) {
        if (!add_method(globals, *spec, globals)) return fail_exec(spec->line, true);
    }
    Owned test = Owned::steal(PyDict_New());
    if (!test || PyDict_SetItem(globals, kStr.dunder_test, test.get()) < 0)
        return fail_exec(kModuleStart, true);
    return 0;
}

// ---------------------------------------------------------------------------------
// Create and exec

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    int64_t owner = -1;
    if (!g_interpreter_id.compare_exchange_strong(owner, id) && owner != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_module != nullptr) {
        // Importing again gives the same module. The host takes what this slot returns
        // for a new module: it sets the module's (empty) state pointer to NULL without
        // freeing it, and the exec step then allocates a new one. Free the old one here,
        // or each import after `del sys.modules[...]` leaves a block behind.
        PyMem_Free(PyModule_GetState(g_module));
        return Py_NewRef(g_module);
    }

    Owned name = Owned::steal(PyObject_GetAttrString(spec, kStr.name.utf8()));
    if (!name) return nullptr;
    Owned module = Owned::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());  // borrowed
    static const char* const copies[][2] = {{kCText.spec_loader, kCText.dunder_loader},
                                            {kCText.spec_origin, kCText.dunder_file},
                                            {kCText.spec_parent, kCText.dunder_package},
                                            {kCText.spec_search_locations, kCText.dunder_path}};
    for (const auto& copy : copies) {
        Owned value = Owned::steal(PyObject_GetAttrString(spec, copy[0]));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            continue;
        }
        if (std::strcmp(copy[1], kCText.dunder_path) == 0 && value.get() == Py_None) continue;
        if (PyDict_SetItemString(dict, copy[1], value.get()) < 0) return nullptr;
    }
    return module.release();
}

int module_exec(PyObject* module) {
    if (g_module != nullptr) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'summarizer' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    g_module = Py_NewRef(module);
    PyObject* globals = PyModule_GetDict(module);  // borrowed

    Owned builtins = Owned::steal(PyImport_ImportModule(kCText.builtins));
    if (!builtins || PyObject_SetAttrString(module, kCText.dunder_builtins, builtins.get()) < 0) {
        return fail_exec(kModuleStart, false);
    }
    if (!check_version()) return fail_exec(kModuleStart, false);
    if (!build_strings() || !build_summarizer_texts() || !build_summary_texts() ||
        !build_transcript_texts()) {
        return fail_exec(kModuleStart, false);
    }
    set_module_globals(globals, PyModule_GetDict(builtins.get()));

    if (!init_function_type() || !init_coroutine_types()) return fail_exec(kModuleStart, true);
    if (!register_in_sys_modules(module)) return fail_exec(kModuleStart, true);
    if (!init_summarize_state()) return fail_exec(kModuleStart, true);
    return run_body(globals);
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_multiple_interpreters
    // Any interpreter may ask; create refuses every one but the first with a clear
    // message, so the host's own refusal for isolated interpreters never hides it.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "summarizer", kModuleDoc, 0, nullptr, g_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace smz

PyMODINIT_FUNC PyInit_summarizer() {
    return PyModuleDef_Init(&smz::g_module_def);
}
