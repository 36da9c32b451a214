#include "binding/args.hpp"

#include "binding/runtime.hpp"
#include "binding/strings.hpp"

namespace smz {
namespace {

void raise_count_error(const FunctionSpec& spec, const char* relation, Py_ssize_t expected,
                       Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, relation, expected, expected == 1 ? "" : "s", given);
}

// -1 on error, 1 when equal, 0 otherwise. Exact str names compare by value without
// running any host code; a str subclass uses the host's equality.
int keyword_matches(PyObject* keyword, PyObject* param) {
    if (keyword == param) return 1;
    if (PyUnicode_CheckExact(keyword)) return PyUnicode_Compare(keyword, param) == 0;
    return PyObject_RichCompareBool(keyword, param, Py_EQ);
}

// Typed parameters take exactly their type; builds with SUMMARIZER_ACCEPT_SUBCLASSES
// take a subclass too.
#ifdef SUMMARIZER_ACCEPT_SUBCLASSES
constexpr bool kAcceptSubclasses = true;
#else
constexpr bool kAcceptSubclasses = false;
#endif

bool accepts(PyObject* arg, PyTypeObject* type) noexcept {
    return Py_IS_TYPE(arg, type) || (kAcceptSubclasses && PyObject_TypeCheck(arg, type));
}

bool type_accepted(ArgType type, PyObject* arg) {
    switch (type) {
        case ArgType::Any: return true;
        case ArgType::List: return accepts(arg, &PyList_Type);
        case ArgType::Dict: return accepts(arg, &PyDict_Type);
        case ArgType::Str: return accepts(arg, &PyUnicode_Type);
        case ArgType::StrOrNone: return arg == Py_None || accepts(arg, &PyUnicode_Type);
    }
    return true;
}

PyTypeObject* expected_type(ArgType type) {
    switch (type) {
        case ArgType::List: return &PyList_Type;
        case ArgType::Dict: return &PyDict_Type;
        default: return &PyUnicode_Type;
    }
}

// TypeError for a typed parameter; a subclass of the expected type gets a note that
// says how to build a module that accepts it.
void raise_type_error(const Param& param, PyObject* arg) {
    PyTypeObject* expected = expected_type(param.type);
    Owned message = Owned::steal(
        PyUnicode_FromFormat("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                             param.name, expected->tp_name, Py_TYPE(arg)->tp_name));
    if (!message) return;
    Owned error = Owned::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!error) return;
    if (PyObject_TypeCheck(arg, expected)) {
        Owned note = Owned::steal(PyUnicode_FromFormat(
            "morvex.core.summarizer is stricter than Python's type hints and rejects "
            "subclasses of built-in types such as %.200s; a build configured with "
            "-DSUMMARIZER_ACCEPT_SUBCLASSES=ON accepts them.",
            expected->tp_name));
        Owned added = note ? call_method1(error.get(), kStr.add_note, note.get()) : Owned();
        if (!added) PyErr_Clear();
    }
    PyErr_SetObject(PyExc_TypeError, error.get());
}

}  // namespace

bool bind_arguments(const FunctionSpec& spec, PyObject* varnames, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
    const Py_ssize_t nmax = static_cast<Py_ssize_t>(spec.params.size());
    const Py_ssize_t nmin = static_cast<Py_ssize_t>(spec.nrequired);
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > nmax || (nkw == 0 && nargs < nmin)) {
        if (nmin == nmax) {
            raise_count_error(spec, "exactly", nmin, nargs);
        } else if (nargs < nmin) {
            raise_count_error(spec, "at least", nmin, nargs);
        } else {
            raise_count_error(spec, "at most", nmax, nargs);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
            return false;
        }
        Py_ssize_t found = -1;
        for (Py_ssize_t p = 0; p < nmax; ++p) {
            int eq = keyword_matches(keyword, PyTuple_GET_ITEM(varnames, p));
            if (eq < 0) return false;
            if (eq) {
                found = p;
                break;
            }
        }
        if (found < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name,
                         keyword);
            return false;
        }
        if (bound[found] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         spec.name, keyword);
            return false;
        }
        bound[found] = args[nargs + k];
    }
    for (Py_ssize_t p = 0; p < nmin; ++p) {
        if (bound[p] == nullptr) {
            raise_count_error(spec, nmin < nmax ? "at least" : "exactly", nmin, p);
            return false;
        }
    }
    for (Py_ssize_t p = nmin; p < nmax; ++p) {
        if (bound[p] == nullptr) bound[p] = Py_None;
    }
    return true;
}

bool check_argument_types(const FunctionSpec& spec, PyObject* const* bound) {
    for (std::size_t p = 0; p < spec.params.size(); ++p) {
        const Param& param = spec.params[p];
        if (!type_accepted(param.type, bound[p])) {
            raise_type_error(param, bound[p]);
            return false;
        }
    }
    return true;
}

}  // namespace smz
