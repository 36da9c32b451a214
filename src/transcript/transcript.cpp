// _format_messages_for_summary(messages): the transcript text sent to the model, one
// line per user message, assistant text, tool call and tool result.
//
// Records are read through their own `get` and subscription. Those, like the
// comparisons and text conversions below, may run host code that changes the
// message list, a "tool_calls" list or a record, so every item is owned before it is
// used and every walk re-reads the current length.
#include <algorithm>
#include <utility>

#include "binding/exceptions.hpp"
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
using namespace lines::format_messages_for_summary;

constexpr Py_ssize_t kToolResultLimit = 500;
constexpr Py_ssize_t kArgumentsLimit = 200;

// ---------------------------------------------------------------------------------
// Record reads

// tc.get(key, tc.get("function", {}).get(key, dflt)). As in that expression, tc's own `get` is
// fetched first, then the nested value is computed (always, also when `key` is present at top
// level), then the flat lookup is made.
Owned flat_or_nested(PyObject* tc, PyObject* key, Default dflt) {
    Owned outer_get;
    if (!PyDict_CheckExact(tc)) {
        outer_get = Owned::steal(PyObject_GetAttr(tc, kStr.get));
        if (!outer_get) return {};
    }
    Owned function = record_get(tc, kStr.function, Default::new_dict());
    if (!function) return {};
    Owned nested = record_get(function.get(), key, dflt);
    if (!nested) return {};
    function.reset();  // a temporary of the expression, released once its `get` returns
    if (!outer_get) return record_get(tc, key, Default::object(nested.get()));
    PyObject* call_args[2] = {key, nested.get()};
    return call(outer_get.get(), call_args, 2);
}

// ---------------------------------------------------------------------------------
// Locals
//
// The function's locals, as in the plain function: each keeps its value until its
// next assignment replaces it (the old value is released after the new one is
// stored), whatever record or tool call it came from, or until the function ends,
// when they go in the order the host clears a frame, the order of their names.
struct Locals {
    Owned msg;
    Owned role;
    Owned content;
    Owned tool_id;
    Owned tc;
    Owned name;
    Owned args;
    Owned args_brief;

    Locals() = default;
    Locals(const Locals&) = delete;
    Locals& operator=(const Locals&) = delete;
    ~Locals() {
        msg.reset();
        role.reset();
        content.reset();
        tool_id.reset();
        tc.reset();
        name.reset();
        args.reset();
        args_brief.reset();
    }
};

// ---------------------------------------------------------------------------------
// Lines
//
// The transcript is built in one pass: each line's pieces go straight into the
// builder, with "\n" between lines, and the text is made once at the end.

// Adds the text form of `value` to `out`: an exact str as it is, anything else
// through format(value, "").
bool add_text_form(TextBuilder& out, PyObject* value) {
    if (PyUnicode_CheckExact(value)) return out.add(value);
    Owned text = text_form(value);
    return text && out.add(text.get());
}

// json.loads(args) for arguments given as text. A json.JSONDecodeError (json looked up
// again while matching) is absorbed and `args` keeps the text; any other exception
// propagates.
bool parse_arguments(Owned& args) {
    Owned json = lookup_global(kStr.json);
    Owned loads = json ? Owned::steal(PyObject_GetAttr(json.get(), kStr.loads)) : Owned();
    Owned parsed = loads ? call1(loads.get(), args.get()) : Owned();
    if (parsed) {
        args = std::move(parsed);
        return true;
    }
    Owned raised = take_raised();
    if (!raised) return kFormatMessagesForSummary.fail(kLoads);
    HandledException handling(raised.get());
    const int matched = is_json_decode_error(raised.get());
    if (matched < 0)
        return kFormatMessagesForSummary.fail(
            kDecodeErrorMatch);  // raised while matching, in the context of the first
    if (matched > 0) return true;
    raise_again(std::move(raised));
    return kFormatMessagesForSummary.fail(kLoads);
}

// One element of "tool_calls", held by `local.tc`: "[Assistant called NAME]: BRIEF"
// for a dict (or an instance of a subclass of dict); any other element gives no line.
// Each value is stored in its local once it is made, as the assignment does.
bool render_tool_call(Locals& local, TextBuilder& out) {
    PyObject* tc = local.tc.get();
    if (!PyDict_Check(tc)) return true;
    Owned name = flat_or_nested(tc, kStr.name, Default::object(kStr.unknown));
    if (!name) return kFormatMessagesForSummary.fail(kName);
    local.name = std::move(name);
    Owned args = flat_or_nested(tc, kStr.arguments, Default::new_dict());
    if (!args) return kFormatMessagesForSummary.fail(kArgs);
    local.args = std::move(args);

    if (PyUnicode_Check(local.args.get()) && !parse_arguments(local.args)) return false;

    Owned args_brief;
    bool cut_in_place = false;  // an exact str(args), cut at 200 characters as it is added
    if (PyDict_Check(local.args.get())) {
        Owned brief = lookup_global(kStr._brief_args);
        if (brief) args_brief = call1(brief.get(), local.args.get());
    } else {
        args_brief = Owned::steal(PyObject_Str(local.args.get()));
        if (args_brief && !PyUnicode_CheckExact(args_brief.get())) {
            // A str subclass (a __str__ may return one) is cut by its own slicing, now,
            // as str(args)[:200] is; the whole text goes before the cut one is stored.
            Owned head = head_of(args_brief.get(), kArgumentsLimit);
            args_brief = std::move(head);
        } else {
            cut_in_place = bool(args_brief);
        }
    }
    if (!args_brief) return kFormatMessagesForSummary.fail(kArgsBrief);
    local.args_brief = std::move(args_brief);

    // The name's text form is made before the brief's, as the line's f-string does.
    Owned name_text = text_form(local.name.get());
    if (!name_text) return kFormatMessagesForSummary.fail(kToolCallLine);
    if (!out.line(kTranscriptStr.called_line) || !out.add(name_text.get()) ||
        !out.add(kTranscriptStr.called_close)) {
        return kFormatMessagesForSummary.fail(kToolCallLine);
    }
    PyObject* brief = local.args_brief.get();
    if (cut_in_place) {
        // str(args)[:200]: the first characters of the text, with no marker. The local
        // holds the whole text; an exact str's length is all that can be seen of it.
        const Py_ssize_t length = PyUnicode_GET_LENGTH(brief);
        if (!out.add_head(brief, std::min(length, kArgumentsLimit))) {
            return kFormatMessagesForSummary.fail(kArgsBrief);
        }
        return true;
    }
    if (!add_text_form(out, brief)) return kFormatMessagesForSummary.fail(kToolCallLine);
    return true;
}

// Walks msg["tool_calls"]: an exact list or tuple by position, re-reading its length
// each round; anything else through the iteration protocol, the value itself released
// once its iterator is made, as a `for` loop does. Each element is stored in `tc`.
bool render_tool_calls(Locals& local, TextBuilder& out) {
    Owned calls = Owned::steal(PyObject_GetItem(local.msg.get(), kStr.tool_calls));
    if (!calls) return kFormatMessagesForSummary.fail(kToolCallsWalk);
    PyObject* seq = calls.get();
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < Py_SIZE(seq); ++i) {
            local.tc = Owned::ref(PyList_CheckExact(seq) ? PyList_GET_ITEM(seq, i)
                                                         : PyTuple_GET_ITEM(seq, i));
            if (!render_tool_call(local, out)) return false;
        }
        return true;
    }
    Owned iter = Owned::steal(PyObject_GetIter(seq));
    if (!iter) return kFormatMessagesForSummary.fail(kToolCallsWalk);
    calls.reset();
    for (;;) {
        Owned tc = Owned::steal(PyIter_Next(iter.get()));
        if (!tc) {
            if (PyErr_Occurred()) return kFormatMessagesForSummary.fail(kToolCallsWalk);
            return true;
        }
        local.tc = std::move(tc);
        if (!render_tool_call(local, out)) return false;
    }
}

// Keys the walk of a record found missing: its later reads of them give their
// defaults with no lookup. No value is kept, only that a key is absent, and only when
// nothing can run between the walk and those reads: the role and the content are
// exact strs, whose comparisons, truth and text form run no host code, and so were
// the values they replaced, whose release runs none either.
struct Missing {
    bool tool_call_id = false;
    bool tool_calls = false;
};

// "[Tool Result (ID)]: CONTENT", the content cut at 500 characters; a cut content
// replaces the local it came from, as `content = content[:500] + ...` does.
bool render_tool_result(Locals& local, Missing missing, TextBuilder& out) {
    Owned tool_id = missing.tool_call_id ? Owned::ref(kStr.unknown)
                                         : record_get(local.msg.get(), kStr.tool_call_id,
                                                      Default::object(kStr.unknown));
    if (!tool_id) return kFormatMessagesForSummary.fail(kToolId);
    local.tool_id = std::move(tool_id);
    Owned& content = local.content;

    if (PyUnicode_CheckExact(content.get())) {
        // The text is taken whole or by its first characters: no copy is made here.
        Owned id_text = text_form(local.tool_id.get());
        if (!id_text) return kFormatMessagesForSummary.fail(kToolLine);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(content.get());
        if (!out.line(kTranscriptStr.tool_result_line) || !out.add(id_text.get()) ||
            !out.add(kTranscriptStr.tool_result_close)) {
            return kFormatMessagesForSummary.fail(kToolLine);
        }
        if (length <= kToolResultLimit) {
            if (!out.add(content.get())) return kFormatMessagesForSummary.fail(kToolLine);
            return true;
        }
        if (!out.add_head(content.get(), kToolResultLimit) || !out.add(kTranscriptStr.truncated)) {
            return kFormatMessagesForSummary.fail(kToolContentCut);
        }
        return true;
    }

    int truth = PyObject_IsTrue(content.get());
    if (truth < 0) return kFormatMessagesForSummary.fail(kToolContentTest);
    if (truth) {
        Py_ssize_t length = PyObject_Size(content.get());
        if (length < 0) return kFormatMessagesForSummary.fail(kToolContentTest);
        if (length > kToolResultLimit) {
            // The head, a temporary, goes before the cut text replaces the content.
            Owned head = head_of(content.get(), kToolResultLimit);
            Owned cut =
                head ? Owned::steal(PyNumber_Add(head.get(), kTranscriptStr.truncated)) : Owned();
            head.reset();
            if (!cut) return kFormatMessagesForSummary.fail(kToolContentCut);
            content = std::move(cut);
        }
    }
    Owned id_text = text_form(local.tool_id.get());
    Owned content_text = id_text ? text_form(content.get()) : Owned();
    if (!content_text || !out.line(kTranscriptStr.tool_result_line) || !out.add(id_text.get()) ||
        !out.add(kTranscriptStr.tool_result_close) || !out.add(content_text.get())) {
        return kFormatMessagesForSummary.fail(kToolLine);
    }
    return true;
}

// "[Assistant]: CONTENT" when the content is true, then one line per tool call.
bool render_assistant(Locals& local, Missing missing, TextBuilder& out) {
    PyObject* content = local.content.get();
    const bool exact_text = PyUnicode_CheckExact(content);
    int has_text = exact_text ? PyUnicode_GET_LENGTH(content) > 0 : PyObject_IsTrue(content);
    if (has_text < 0) return kFormatMessagesForSummary.fail(kAssistantContentTest);
    if (has_text) {
        Owned text = text_form(content);
        if (!text || !out.line(kTranscriptStr.assistant_line) || !out.add(text.get())) {
            return kFormatMessagesForSummary.fail(kAssistantLine);
        }
    }
    if (missing.tool_calls) return true;  // msg.get("tool_calls") is None
    Owned calls = record_get(local.msg.get(), kStr.tool_calls);
    const int has_calls = calls ? PyObject_IsTrue(calls.get()) : -1;
    if (has_calls < 0) return kFormatMessagesForSummary.fail(kToolCallsTest);
    calls.reset();
    return !has_calls || render_tool_calls(local, out);
}

bool is_exact_text_or_null(const Owned& value) noexcept {
    return !value || PyUnicode_CheckExact(value.get());
}

// role = msg.get("role", "unknown"), then content = msg.get("content", ""). Both are
// read in one walk of a small exact dict, which also notes which of the record's
// other keys are missing; those that are present are read when they are needed.
bool read_role_and_content(Locals& local, Missing& missing) {
    PyObject* msg = local.msg.get();
    PyObject* keys[] = {kStr.role, kStr.content, kStr.tool_call_id, kStr.tool_calls};
    PyObject* found[4];  // borrowed: owned below before anything else runs, or dropped
    if (PyDict_CheckExact(msg) && scan_text_keys(msg, keys, found, 4)) {
        PyObject* role = Py_NewRef(found[0] != nullptr ? found[0] : kStr.unknown.get());
        // Replacing the previous role runs host code (its release) unless it is an
        // exact str: the content the walk found is taken before only when none can run.
        if (is_exact_text_or_null(local.role)) {
            PyObject* content = Py_NewRef(found[1] != nullptr ? found[1] : kStr.empty.get());
            const bool quiet = is_exact_text_or_null(local.content) && PyUnicode_CheckExact(role) &&
                               PyUnicode_CheckExact(content);
            local.role.reset(role);
            local.content.reset(content);
            if (quiet) missing = {found[2] == nullptr, found[3] == nullptr};
            return true;
        }
        local.role.reset(role);
        Owned content = record_get(msg, kStr.content, Default::object(kStr.empty));
        if (!content) return kFormatMessagesForSummary.fail(kContent);
        local.content = std::move(content);
        return true;
    }
    Owned role = record_get(msg, kStr.role, Default::object(kStr.unknown));
    if (!role) return kFormatMessagesForSummary.fail(kRole);
    local.role = std::move(role);
    Owned content = record_get(msg, kStr.content, Default::object(kStr.empty));
    if (!content) return kFormatMessagesForSummary.fail(kContent);
    local.content = std::move(content);
    return true;
}

bool render_message(Locals& local, TextBuilder& out) {
    Missing missing;
    if (!read_role_and_content(local, missing)) return false;
    PyObject* role = local.role.get();  // held by `local` until the next record

    int match = equals_text(role, kStr.system);
    if (match < 0) return kFormatMessagesForSummary.fail(kIsSystem);
    if (match) return true;

    match = equals_text(role, kStr.tool);
    if (match < 0) return kFormatMessagesForSummary.fail(kIsTool);
    if (match) return render_tool_result(local, missing, out);

    match = equals_text(role, kStr.assistant);
    if (match < 0) return kFormatMessagesForSummary.fail(kIsAssistant);
    if (match) return render_assistant(local, missing, out);

    match = equals_text(role, kStr.user);
    if (match < 0) return kFormatMessagesForSummary.fail(kIsUser);
    if (match) {
        Owned text = text_form(local.content.get());
        if (!text || !out.line(kTranscriptStr.user_line) || !out.add(text.get())) {
            return kFormatMessagesForSummary.fail(kUserLine);
        }
    }
    return true;
}

// Every line of the transcript into `out`; false with the failing step's entry made.
bool render_messages(PyObject* messages, Locals& local, TextBuilder& out) {
    if (PyList_CheckExact(messages)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(messages); ++i) {
            local.msg.reset(Py_NewRef(PyList_GET_ITEM(messages, i)));
            if (!render_message(local, out)) return false;
        }
        return true;
    }
    // An instance of a list subclass (in builds that accept them) is walked through
    // its own iteration, as a `for` loop does.
    Owned iter = Owned::steal(PyObject_GetIter(messages));
    if (!iter) return kFormatMessagesForSummary.fail(kWalk);
    for (;;) {
        Owned msg = Owned::steal(PyIter_Next(iter.get()));
        if (!msg) {
            if (PyErr_Occurred()) return kFormatMessagesForSummary.fail(kWalk);
            return true;
        }
        local.msg = std::move(msg);
        if (!render_message(local, out)) return false;
    }
}

}  // namespace

PyObject* format_messages_for_summary(const Call& call) {
    // Held for the whole walk; records are taken by position from its current items.
    Owned messages = Owned::ref(call.args[0]);
    Locals local;
    TextBuilder out;
    if (render_messages(messages.get(), local, out)) {
        Owned result = out.build();
        if (result) return result.release();
        kFormatMessagesForSummary.fail(kJoin);
    }
    // `lines` holds only texts: there is nothing of it to keep.
    return kFormatMessagesForSummary.keep_locals({&messages, nullptr, &local.msg, &local.role,
                                                  &local.content, &local.tool_id, &local.tc,
                                                  &local.name, &local.args, &local.args_brief});
}

namespace {
constexpr Param kParams[] = {{"messages", ArgType::List}};
constexpr const char* kLocals[] = {"messages", "lines", "msg",  "role", "content",
                                   "tool_id",  "tc",    "name", "args", "args_brief"};
constexpr Annotation kAnnotations[] = {{"messages", "list[dict[str, Any]]"}, {"return", "str"}};
}  // namespace

const FunctionSpec kFormatMessagesForSummary = {
    SMZ_QUALNAME("_format_messages_for_summary"),
    .name = "_format_messages_for_summary",
    .doc = "Convert messages to a readable text format for the summarizer.",
    .line = kDefinition,
    .params = kParams,
    .nrequired = 1,
    .locals = kLocals,
    .annotations = kAnnotations,
    .coroutine = false,
    .body = format_messages_for_summary,
};

}  // namespace smz
