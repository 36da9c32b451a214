// _brief_args(args): one short line for the arguments of a tool call,
// "name=value, name=value", each value's text cut at 100 characters. The line is built
// in one pass: the pieces of every entry go straight into the builder.
#include "binding/records.hpp"
#include "binding/runtime.hpp"
#include "binding/strings.hpp"
#include "binding/text_builder.hpp"
#include "transcript/functions.hpp"
#include "transcript/lines.hpp"
#include "transcript/texts.hpp"

namespace smz {
namespace {

// The source lines of the function's steps, for its traceback entries (lines.hpp).
using namespace lines::brief_args;

constexpr Py_ssize_t kValueLimit = 100;

// The function's locals that change with each entry, as in the plain function: each
// keeps its value until its next assignment replaces it (the old value is released
// after the new one is stored) or until the function ends, when they go in the order
// the host clears a frame, the order of their names.
struct Locals {
    Owned k;
    Owned v;
    Owned val_str;

    Locals() = default;
    Locals(const Locals&) = delete;
    Locals& operator=(const Locals&) = delete;
    ~Locals() {
        k.reset();
        v.reset();
        val_str.reset();
    }
};

// One entry, "name=value", after the ", " that separates it from the one before; the
// name and value are in `local.k` and `local.v`.
bool add_entry(TextBuilder& out, Locals& local, bool first) {
    Owned val_str = Owned::steal(PyObject_Str(local.v.get()));
    if (!val_str) return kBriefArgs.fail(kValueText);
    local.val_str = std::move(val_str);
    PyObject* text_value = local.val_str.get();
    if (!PyUnicode_CheckExact(text_value)) {
        // A str subclass (a __str__ may return one) is measured, cut and formatted by
        // its own methods, as len(), the slice, `+` and the f-string do.
        const Py_ssize_t length = PyObject_Size(text_value);
        if (length < 0) return kBriefArgs.fail(kMeasure);
        if (length > kValueLimit) {
            // The head, a temporary, goes before the cut text replaces the local.
            Owned head = head_of(text_value, kValueLimit);
            Owned cut = head ? Owned::steal(PyNumber_Add(head.get(), kStr.ellipsis)) : Owned();
            head.reset();
            if (!cut) return kBriefArgs.fail(kCut);
            local.val_str = std::move(cut);
        }
        Owned name = text_form(local.k.get());
        Owned text = name ? text_form(local.val_str.get()) : Owned();
        if (!text || (!first && !out.add(kTranscriptStr.comma_blank)) || !out.add(name.get()) ||
            !out.add(kTranscriptStr.equals) || !out.add(text.get())) {
            return kBriefArgs.fail(kEntry);
        }
        return true;
    }
    // An exact str: measured and cut in place, with no host code.
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text_value);
    Owned name = text_form(local.k.get());
    if (!name) return kBriefArgs.fail(kEntry);
    if ((!first && !out.add(kTranscriptStr.comma_blank)) || !out.add(name.get()) ||
        !out.add(kTranscriptStr.equals)) {
        return kBriefArgs.fail(kEntry);
    }
    if (length > kValueLimit) {
        if (!out.add_head(text_value, kValueLimit) || !out.add(kStr.ellipsis)) {
            return kBriefArgs.fail(kCut);
        }
        return true;
    }
    if (!out.add(text_value)) return kBriefArgs.fail(kEntry);
    return true;
}

// An exact dict, walked as its items() iterator walks it: the size is checked before
// every step, and an entry found after as many entries as the dict held at the start
// means its keys were replaced while it was walked.
bool add_dict_entries(TextBuilder& out, Locals& local, PyObject* args) {
    const Py_ssize_t size = PyDict_GET_SIZE(args);
    Py_ssize_t remaining = size;
    Py_ssize_t pos = 0;
    for (bool first = true;; first = false) {
        if (PyDict_GET_SIZE(args) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return kBriefArgs.fail(kWalk);
        }
        PyObject* key_borrowed = nullptr;
        PyObject* value_borrowed = nullptr;
        if (!PyDict_Next(args, &pos, &key_borrowed, &value_borrowed)) return true;
        if (remaining == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return kBriefArgs.fail(kWalk);
        }
        --remaining;
        // Both are owned before any host code runs (a conversion may drop them from
        // the dict): k is stored, then v, each replacing its previous value.
        Owned value = Owned::ref(value_borrowed);
        local.k = Owned::ref(key_borrowed);
        local.v = std::move(value);
        if (!add_entry(out, local, first)) return false;
    }
}

// `for k, v in item`: the pair of an items() element, unpacked as the host unpacks it.
bool unpack_pair(PyObject* item, Owned& key, Owned& value) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        key = Owned::ref(PyTuple_GET_ITEM(item, 0));
        value = Owned::ref(PyTuple_GET_ITEM(item, 1));
        return true;
    }
    Owned iter = Owned::steal(PyObject_GetIter(item));
    if (!iter) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item)->tp_name);
        }
        return false;
    }
    Owned* slots[2] = {&key, &value};
    for (int got = 0; got < 2; ++got) {
        *slots[got] = Owned::steal(PyIter_Next(iter.get()));
        if (!*slots[got]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                             got);
            }
            return false;
        }
    }
    Owned extra = Owned::steal(PyIter_Next(iter.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

// Any other mapping (a dict subclass, in builds that accept them): its own items(),
// walked through the iteration protocol; the items object is released once its
// iterator is made, as a `for` loop does.
bool add_mapping_entries(TextBuilder& out, Locals& local, PyObject* args) {
    Owned items = call_method0(args, kStr.items);
    Owned iter = items ? Owned::steal(PyObject_GetIter(items.get())) : Owned();
    if (!iter) return kBriefArgs.fail(kWalk);
    items.reset();
    for (bool first = true;; first = false) {
        Owned item = Owned::steal(PyIter_Next(iter.get()));
        if (!item) {
            if (PyErr_Occurred()) return kBriefArgs.fail(kWalk);
            return true;
        }
        Owned key;
        Owned value;
        if (!unpack_pair(item.get(), key, value)) return kBriefArgs.fail(kWalk);
        item.reset();
        local.k = std::move(key);
        local.v = std::move(value);
        if (!add_entry(out, local, first)) return false;
    }
}

}  // namespace

PyObject* brief_args(const Call& call) {
    // Held for the whole walk: value conversions run host code.
    Owned args = Owned::ref(call.args[0]);
    Locals local;
    TextBuilder out;
    const bool done = PyDict_CheckExact(args.get()) ? add_dict_entries(out, local, args.get())
                                                    : add_mapping_entries(out, local, args.get());
    if (done) {
        Owned result = out.build();
        if (result) return result.release();
        kBriefArgs.fail(kJoin);
    }
    // `parts` holds only texts: there is nothing of it to keep.
    return kBriefArgs.keep_locals({&args, nullptr, &local.k, &local.v, &local.val_str});
}

namespace {
constexpr Param kParams[] = {{"args", ArgType::Dict}};
constexpr const char* kLocals[] = {"args", "parts", "k", "v", "val_str"};
constexpr Annotation kAnnotations[] = {{"args", "dict"}, {"return", "str"}};
}  // namespace

const FunctionSpec kBriefArgs = {
    SMZ_QUALNAME("_brief_args"),
    .name = "_brief_args",
    .doc = "Create a brief summary of tool arguments.",
    .line = kDefinition,
    .params = kParams,
    .nrequired = 1,
    .locals = kLocals,
    .annotations = kAnnotations,
    .coroutine = false,
    .body = brief_args,
};

}  // namespace smz
