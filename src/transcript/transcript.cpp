// _format_messages_for_summary(messages): the transcript text sent to the model, one
// line per user message, assistant text, tool call and tool result.
//
// Records are read through their own `get` and subscription. Those, like the
// comparisons and text conversions below, may run host code that changes the
// message list, a "tool_calls" list or a record, so every item is owned before it is
// used and every walk re-reads the current length.
#include "binding/exceptions.hpp"
#include "binding/runtime.hpp"
#include "summarizer/bodies.hpp"
#include "transcript/text.hpp"

namespace smz {
namespace {

constexpr TraceSite kSite{"morvex.core.summarizer._format_messages_for_summary"};
constexpr Py_ssize_t kToolResultLimit = 500;
constexpr Py_ssize_t kArgumentsLimit = 200;

ConstStr kGet{"get"};
ConstStr kRole{"role"};
ConstStr kContent{"content"};
ConstStr kToolCallId{"tool_call_id"};
ConstStr kToolCalls{"tool_calls"};
ConstStr kFunction{"function"};
ConstStr kName{"name"};
ConstStr kArguments{"arguments"};
ConstStr kUnknown{"unknown"};

ConstStr kSystem{"system"};
ConstStr kTool{"tool"};
ConstStr kAssistant{"assistant"};
ConstStr kUser{"user"};

ConstStr kToolResultOpen{"[Tool Result ("};
ConstStr kToolResultClose{")]: "};
ConstStr kTruncated{"... [truncated]"};
ConstStr kAssistantPrefix{"[Assistant]: "};
ConstStr kCalledOpen{"[Assistant called "};
ConstStr kCalledClose{"]: "};
ConstStr kUserPrefix{"[User]: "};

ConstStr kJsonName{"json"};
ConstStr kLoads{"loads"};
ConstStr kJsonDecodeError{"JSONDecodeError"};
ConstStr kBriefArgsName{"_brief_args"};

// Records the traceback entry of the failing step; for steps in bool helpers.
bool failed_at(int line) {
    kSite.mark(line);
    return false;
}

// ---------------------------------------------------------------------------------
// Record reads

// record.get(key, {}), the default a new empty dict.
Owned record_get_or_new_dict(PyObject* record, PyObject* key) {
    if (PyDict_CheckExact(record)) {
        PyObject* found = PyDict_GetItemWithError(record, key);  // borrowed
        if (found != nullptr) return Owned::ref(found);
        if (PyErr_Occurred()) return {};
        return Owned::steal(PyDict_New());
    }
    Owned fresh = Owned::steal(PyDict_New());
    if (!fresh) return {};
    return record_get(record, key, fresh.get());
}

// tc.get(key, tc.get("function", {}).get(key, dflt)); a null `dflt` stands for a new
// empty dict. As in that expression, tc's own `get` is fetched first, then the nested
// value is computed (always, also when `key` is present at top level), then the flat
// lookup is made.
Owned flat_or_nested(PyObject* tc, PyObject* key, PyObject* dflt) {
    Owned outer_get;
    if (!PyDict_CheckExact(tc)) {
        outer_get = Owned::steal(PyObject_GetAttr(tc, kGet));
        if (!outer_get) return {};
    }
    Owned function = record_get_or_new_dict(tc, kFunction);
    if (!function) return {};
    Owned nested = dflt != nullptr ? record_get(function.get(), key, dflt)
                                   : record_get_or_new_dict(function.get(), key);
    if (!nested) return {};
    if (!outer_get) return record_get(tc, key, nested.get());
    PyObject* call_args[2] = {key, nested.get()};
    return call(outer_get.get(), call_args, 2);
}

// ---------------------------------------------------------------------------------
// Lines

bool append_line(PyObject* lines, std::initializer_list<PyObject*> pieces) {
    Owned line = concat_text(pieces);
    return line && PyList_Append(lines, line.get()) == 0;
}

// role == value, by the host's equality and truth.
int role_is(PyObject* role, PyObject* value) {
    return PyObject_RichCompareBool(role, value, Py_EQ);
}

// json.loads(args) for arguments given as text. A json.JSONDecodeError (json looked up
// again while matching) is absorbed and `args` keeps the text; any other exception
// propagates.
bool parse_arguments(Owned& args) {
    Owned json = lookup_global(kJsonName);
    Owned loads = json ? Owned::steal(PyObject_GetAttr(json.get(), kLoads)) : Owned();
    Owned parsed = loads ? call1(loads.get(), args.get()) : Owned();
    if (parsed) {
        args = std::move(parsed);
        return true;
    }
    Owned raised = take_raised();
    if (!raised) return failed_at(186);
    HandledException handling(raised.get());
    Owned json_again = lookup_global(kJsonName);
    Owned decode_error =
        json_again ? Owned::steal(PyObject_GetAttr(json_again.get(), kJsonDecodeError)) : Owned();
    const int matched = decode_error ? exception_matches(raised.get(), decode_error.get()) : -1;
    if (matched < 0) return failed_at(187);  // raised while matching, in the context of the first
    if (matched > 0) return true;
    raise_again(std::move(raised));
    return failed_at(186);
}

// One element of "tool_calls": "[Assistant called NAME]: BRIEF" for a dict (or an
// instance of a subclass of dict); any other element gives no line.
bool render_tool_call(PyObject* tc, PyObject* lines) {
    if (!PyDict_Check(tc)) return true;
    Owned name = flat_or_nested(tc, kName, kUnknown);
    if (!name) return failed_at(182);
    Owned args = flat_or_nested(tc, kArguments, nullptr);
    if (!args) return failed_at(183);

    if (PyUnicode_Check(args.get()) && !parse_arguments(args)) return false;

    Owned args_brief;
    if (PyDict_Check(args.get())) {
        Owned brief = lookup_global(kBriefArgsName);
        if (brief) args_brief = call1(brief.get(), args.get());
    } else {
        args_brief = Owned::steal(PyObject_Str(args.get()));
        if (args_brief && PyUnicode_GET_LENGTH(args_brief.get()) > kArgumentsLimit) {
            args_brief = Owned::steal(PyUnicode_Substring(args_brief.get(), 0, kArgumentsLimit));
        }
    }
    if (!args_brief) return failed_at(190);

    Owned name_text = text_form(name.get());
    Owned brief_text = name_text ? text_form(args_brief.get()) : Owned();
    if (!brief_text ||
        !append_line(lines, {kCalledOpen, name_text.get(), kCalledClose, brief_text.get()})) {
        return failed_at(191);
    }
    return true;
}

// Walks msg["tool_calls"]: an exact list or tuple by position, re-reading its length
// each round; anything else through the iteration protocol.
bool render_tool_calls(PyObject* msg, PyObject* lines) {
    Owned calls = Owned::steal(PyObject_GetItem(msg, kToolCalls));
    if (!calls) return failed_at(180);
    PyObject* seq = calls.get();
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < Py_SIZE(seq); ++i) {
            Owned tc = Owned::ref(PyList_CheckExact(seq) ? PyList_GET_ITEM(seq, i)
                                                         : PyTuple_GET_ITEM(seq, i));
            if (!render_tool_call(tc.get(), lines)) return false;
        }
        return true;
    }
    Owned iter = Owned::steal(PyObject_GetIter(seq));
    if (!iter) return failed_at(180);
    for (;;) {
        Owned tc = Owned::steal(PyIter_Next(iter.get()));
        if (!tc) {
            if (PyErr_Occurred()) return failed_at(180);
            return true;
        }
        if (!render_tool_call(tc.get(), lines)) return false;
    }
}

// "[Tool Result (ID)]: CONTENT", the content cut at 500 characters.
bool render_tool_result(PyObject* msg, Owned content, PyObject* lines) {
    Owned tool_id = record_get(msg, kToolCallId, kUnknown);
    if (!tool_id) return failed_at(172);

    if (PyUnicode_CheckExact(content.get())) {
        if (PyUnicode_GET_LENGTH(content.get()) > kToolResultLimit) {
            content = cut_text(content.get(), kToolResultLimit, kTruncated);
            if (!content) return failed_at(174);
        }
    } else {
        int truth = PyObject_IsTrue(content.get());
        if (truth < 0) return failed_at(173);
        if (truth) {
            Py_ssize_t length = PyObject_Size(content.get());
            if (length < 0) return failed_at(173);
            if (length > kToolResultLimit) {
                Owned head_slice = Owned::steal(PySlice_New(nullptr, kInt500, nullptr));
                Owned head = head_slice
                                 ? Owned::steal(PyObject_GetItem(content.get(), head_slice.get()))
                                 : Owned();
                content = head ? Owned::steal(PyNumber_Add(head.get(), kTruncated)) : Owned();
                if (!content) return failed_at(174);
            }
        }
    }

    Owned id_text = text_form(tool_id.get());
    Owned content_text = id_text ? text_form(content.get()) : Owned();
    if (!content_text || !append_line(lines, {kToolResultOpen, id_text.get(), kToolResultClose,
                                              content_text.get()})) {
        return failed_at(175);
    }
    return true;
}

// "[Assistant]: CONTENT" when the content is true, then one line per tool call.
bool render_assistant(PyObject* msg, PyObject* content, PyObject* lines) {
    int has_text = PyObject_IsTrue(content);
    if (has_text < 0) return failed_at(177);
    if (has_text) {
        Owned text = text_form(content);
        if (!text || !append_line(lines, {kAssistantPrefix, text.get()})) {
            return failed_at(178);
        }
    }
    Owned calls = record_get(msg, kToolCalls, nullptr);
    int has_calls = calls ? PyObject_IsTrue(calls.get()) : -1;
    if (has_calls < 0) return failed_at(179);
    calls.reset();
    return !has_calls || render_tool_calls(msg, lines);
}

// The lines of one message record.
bool render_message(PyObject* msg, PyObject* lines) {
    Owned role = record_get(msg, kRole, kUnknown);
    if (!role) return failed_at(164);
    Owned content = record_get(msg, kContent, kEmptyStr);
    if (!content) return failed_at(165);

    int match = role_is(role.get(), kSystem);
    if (match < 0) return failed_at(167);
    if (match) return true;

    match = role_is(role.get(), kTool);
    if (match < 0) return failed_at(170);
    if (match) return render_tool_result(msg, std::move(content), lines);

    match = role_is(role.get(), kAssistant);
    if (match < 0) return failed_at(176);
    if (match) return render_assistant(msg, content.get(), lines);

    match = role_is(role.get(), kUser);
    if (match < 0) return failed_at(192);
    if (match) {
        Owned text = text_form(content.get());
        if (!text || !append_line(lines, {kUserPrefix, text.get()})) {
            return failed_at(193);
        }
    }
    return true;
}

}  // namespace

PyObject* format_messages_for_summary(PyObject*, PyObject* const* argv) {
    // Held for the whole walk; records are taken by position from its current items.
    Owned messages = Owned::ref(argv[0]);
    Owned lines = Owned::steal(PyList_New(0));
    if (!lines) return kSite.fail(162);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(messages.get()); ++i) {
        Owned msg = Owned::ref(PyList_GET_ITEM(messages.get(), i));
        if (!render_message(msg.get(), lines.get())) return nullptr;
    }
    PyObject* result = PyUnicode_Join(kNewline, lines.get());
    if (result == nullptr) return kSite.fail(195);
    return result;
}

}  // namespace smz
