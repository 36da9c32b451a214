// _brief_args(args): one short line for the arguments of a tool call,
// "name=value, name=value", each value's text cut at 100 characters.
#include "binding/runtime.hpp"
#include "summarizer/bodies.hpp"
#include "transcript/text.hpp"

namespace smz {
namespace {

constexpr TraceSite kSite{"morvex.core.summarizer._brief_args"};
constexpr Py_ssize_t kValueLimit = 100;

ConstStr kEquals{"="};
ConstStr kEllipsis{"..."};
ConstStr kCommaBlank{", "};

}  // namespace

PyObject* brief_args(PyObject*, PyObject* const* argv) {
    // Held for the whole walk: value conversions run host code.
    Owned args = Owned::ref(argv[0]);
    Owned parts = Owned::steal(PyList_New(0));
    if (!parts) return kSite.fail(200);

    const Py_ssize_t size = PyDict_GET_SIZE(args.get());
    Py_ssize_t pos = 0;
    for (;;) {
        if (PyDict_GET_SIZE(args.get()) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return kSite.fail(201);
        }
        PyObject* key_borrowed = nullptr;
        PyObject* value_borrowed = nullptr;
        if (!PyDict_Next(args.get(), &pos, &key_borrowed, &value_borrowed)) break;
        // Own both before any host code runs: a conversion may drop them from the dict.
        Owned key = Owned::ref(key_borrowed);
        Owned value = Owned::ref(value_borrowed);

        Owned val_str = Owned::steal(PyObject_Str(value.get()));
        if (!val_str) return kSite.fail(202);
        if (PyUnicode_GET_LENGTH(val_str.get()) > kValueLimit) {
            val_str = cut_text(val_str.get(), kValueLimit, kEllipsis);
            if (!val_str) return kSite.fail(204);
        }
        Owned name = text_form(key.get());
        if (!name) return kSite.fail(205);
        Owned entry = concat_text({name.get(), kEquals, val_str.get()});
        if (!entry || PyList_Append(parts.get(), entry.get()) < 0) return kSite.fail(205);
    }
    PyObject* result = PyUnicode_Join(kCommaBlank, parts.get());
    if (result == nullptr) return kSite.fail(206);
    return result;
}

}  // namespace smz
