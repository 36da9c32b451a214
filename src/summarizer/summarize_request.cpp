// ConversationSummarizer.__init__ and summarize_messages: the call builds the per-call
// state and returns an operation; the operation runs the body below, which renders the
// request, awaits the client's `complete`, and picks the parsed or the fallback summary.
#include <cstddef>
#include <iterator>
#include <utility>

#include "binding/coroutine.hpp"
#include "binding/exceptions.hpp"
#include "binding/function.hpp"
#include "binding/records.hpp"
#include "binding/runtime.hpp"
#include "binding/static_type.hpp"
#include "binding/strings.hpp"
#include "summarizer/functions.hpp"
#include "summarizer/lines.hpp"
#include "summarizer/texts.hpp"

namespace smz {
namespace {

// The source lines of summarize_messages' steps, for its traceback entries (lines.hpp);
// __init__'s are named in full, lines::summarizer_init.
using namespace lines::summarize_messages;

// The token limit of the request.
constexpr long kMaxTokens = 2048;

// The keywords of the client call, ("messages", "max_tokens"), and the limit's int;
// made at exec and held for the process.
PyObject* g_complete_kwnames = nullptr;
PyObject* g_max_tokens = nullptr;

// ---------------------------------------------------------------------------------
// The per-call state: the arguments and the locals that live across the await. Every
// field the body reads is set for the state's whole life.

struct SummarizeState {
    PyObject_HEAD
    PyObject* self;
    PyObject* messages;
    PyObject* existing_summary;
    PyObject* conv_text;
    PyObject* prompt_parts;
    PyObject* response;
    PyObject* e;
};

PyTypeObject g_state_type = blank_type();

SummarizeState* as_state(PyObject* o) {
    return reinterpret_cast<SummarizeState*>(o);
}

int state_traverse(PyObject* o, visitproc visit, void* arg) {
    SummarizeState* s = as_state(o);
    Py_VISIT(s->self);
    Py_VISIT(s->messages);
    Py_VISIT(s->existing_summary);
    Py_VISIT(s->conv_text);
    Py_VISIT(s->prompt_parts);
    Py_VISIT(s->response);
    Py_VISIT(s->e);
    return 0;
}

void state_dealloc(PyObject* o) {
    SummarizeState* s = as_state(o);
    PyObject_GC_UnTrack(o);
    Py_CLEAR(s->self);
    Py_CLEAR(s->messages);
    Py_CLEAR(s->existing_summary);
    Py_CLEAR(s->conv_text);
    Py_CLEAR(s->prompt_parts);
    Py_CLEAR(s->response);
    Py_CLEAR(s->e);
    PyObject_GC_Del(o);
}

PyObject* new_state(PyObject* self, PyObject* messages, PyObject* existing_summary) {
    SummarizeState* s = PyObject_GC_New(SummarizeState, &g_state_type);
    if (s == nullptr) return nullptr;
    s->self = Py_NewRef(self);
    s->messages = Py_NewRef(messages);
    s->existing_summary = Py_NewRef(existing_summary);
    s->conv_text = nullptr;
    s->prompt_parts = nullptr;
    s->response = nullptr;
    s->e = nullptr;
    PyObject_GC_Track(s);
    return reinterpret_cast<PyObject*>(s);
}

// ---------------------------------------------------------------------------------
// Steps

// The host's truth of a value, with exact lists and strs (and None) tested in place;
// an instance of a subclass has its own `__bool__` or `__len__` asked.
int truth(PyObject* value) {
    if (value == Py_None) return 0;
    if (PyList_CheckExact(value)) return PyList_GET_SIZE(value) > 0;
    if (PyUnicode_CheckExact(value)) return PyUnicode_GET_LENGTH(value) > 0;
    return PyObject_IsTrue(value);
}

// A summary result must be a dict or None.
bool check_summary(PyObject* value) {
    if (PyDict_CheckExact(value) || value == Py_None) return true;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(value)->tp_name);
    return false;
}

// Calls the module function `name` with `arg` (or none) and tests its result.
Owned call_summary_function(PyObject* name, PyObject* arg) {
    Owned function = lookup_global(name);
    if (!function) return {};
    Owned result = arg != nullptr ? call1(function.get(), arg) : call0(function.get());
    if (!result || !check_summary(result.get())) return {};
    return result;
}

// What a step gives: on success its value (None for a step that makes none); on
// failure no value, the exception set, and the line of the part that failed.
struct Outcome {
    Owned value;
    Line line = kDefinition;

    static Outcome made(Owned value) { return {std::move(value), kDefinition}; }
    static Outcome done() { return made(Owned::ref(Py_None)); }
    static Outcome failed_at(Line line) { return {Owned(), line}; }
    explicit operator bool() const noexcept { return bool(value); }
};

// Appends heading + the text form of `value` to `list`.
Outcome append_part(PyObject* list, PyObject* heading, PyObject* value, Line text_line,
                    Line append_line) {
    Owned text = text_form(value);
    if (!text) return Outcome::failed_at(text_line);
    Owned part = Owned::steal(PyUnicode_Concat(heading, text.get()));
    if (!part) return Outcome::failed_at(text_line);
    if (PyList_Append(list, part.get()) < 0) return Outcome::failed_at(append_line);
    return Outcome::done();
}

// The transcript and the parts of the system text, kept in the state.
Outcome build_prompt(SummarizeState* s) {
    Owned render = lookup_global(kStr._format_messages_for_summary);
    if (!render) return Outcome::failed_at(kTranscript);
    Owned conv_text = call1(render.get(), s->messages);
    if (!conv_text) return Outcome::failed_at(kTranscript);
    Py_XSETREF(s->conv_text, conv_text.release());

    Owned prompt = lookup_global(kStr.SUMMARIZE_PROMPT);
    if (!prompt) return Outcome::failed_at(kPrompt);
    Owned parts = Owned::steal(PyList_New(1));
    if (!parts) return Outcome::failed_at(kPrompt);
    PyList_SET_ITEM(parts.get(), 0, prompt.release());
    Py_XSETREF(s->prompt_parts, parts.release());

    // existing_summary is a str or None; only a true text adds a part.
    const int previous = truth(s->existing_summary);
    if (previous < 0) return Outcome::failed_at(kPreviousTest);
    if (previous) {
        Outcome added = append_part(s->prompt_parts, kSummarizerStr.previous_heading,
                                    s->existing_summary, kPreviousText, kPreviousAppend);
        if (!added) return added;
    }
    return append_part(s->prompt_parts, kSummarizerStr.conversation_heading, s->conv_text,
                       kConversation, kConversation);
}

// {"role": role, "content": content}
Owned message(PyObject* role, PyObject* content) {
    Owned entry = Owned::steal(PyDict_New());
    if (!entry || PyDict_SetItem(entry.get(), kStr.role, role) < 0 ||
        PyDict_SetItem(entry.get(), kStr.content, content) < 0) {
        return {};
    }
    return entry;
}

// self._llm.complete(messages=[system, user], max_tokens=2048): the awaitable of the
// model's reply.
Outcome send_request(SummarizeState* s) {
    Owned client = Owned::steal(PyObject_GetAttr(s->self, kStr._llm));
    if (!client) return Outcome::failed_at(kRequest);
    Owned complete = Owned::steal(PyObject_GetAttr(client.get(), kStr.complete));
    if (!complete) return Outcome::failed_at(kRequest);
    Owned system_text = Owned::steal(PyUnicode_Join(kStr.newline, s->prompt_parts));
    if (!system_text) return Outcome::failed_at(kSystem);
    Owned system = message(kStr.system, system_text.get());
    if (!system) return Outcome::failed_at(kSystem);
    Owned user = message(kStr.user, kSummarizerStr.user_request);
    if (!user) return Outcome::failed_at(kUser);
    Owned request = Owned::steal(PyList_New(2));
    if (!request) return Outcome::failed_at(kRequestList);
    PyList_SET_ITEM(request.get(), 0, system.release());
    PyList_SET_ITEM(request.get(), 1, user.release());
    PyObject* keywords[] = {request.get(), g_max_tokens};
    Owned awaitable = call(complete.get(), keywords, 0, g_complete_kwnames);
    if (!awaitable) return Outcome::failed_at(kRequest);
    return Outcome::made(std::move(awaitable));
}

// Once the reply has arrived: a reply with content is parsed, an empty one is logged
// and answered with the fallback summary.
Outcome use_reply(SummarizeState* s, PyObject* response) {
    Py_XSETREF(s->response, Py_NewRef(response));
    Owned content = Owned::steal(PyObject_GetAttr(response, kStr.content));
    if (!content) return Outcome::failed_at(kContentTest);
    int present = PyObject_IsTrue(content.get());
    content.reset();
    if (present < 0) return Outcome::failed_at(kContentTest);
    if (present) {
        Owned parse = lookup_global(kStr._parse_summary);
        if (!parse) return Outcome::failed_at(kParse);
        Owned text = Owned::steal(PyObject_GetAttr(response, kStr.content));
        if (!text) return Outcome::failed_at(kParse);
        Owned summary = call1(parse.get(), text.get());
        if (!summary || !check_summary(summary.get())) return Outcome::failed_at(kParse);
        return Outcome::made(std::move(summary));
    }
    Owned log = lookup_global(kStr.logger);
    if (!log || !call_method1(log.get(), kStr.warning, kSummarizerStr.empty_reply)) {
        return Outcome::failed_at(kWarning);
    }
    Owned fallback = call_summary_function(kStr._fallback_summary, s->messages);
    if (!fallback) return Outcome::failed_at(kEmptyFallback);
    return Outcome::made(std::move(fallback));
}

// The handler's body, with the caught exception in s->e: the error is logged and the
// fallback summary made.
Outcome report_failure(SummarizeState* s) {
    Owned log = lookup_global(kStr.logger);
    if (!log) return Outcome::failed_at(kError);
    Owned error = Owned::steal(PyObject_GetAttr(log.get(), kStr.error));
    if (!error) return Outcome::failed_at(kError);
    Owned text = text_form(s->e);
    if (!text) return Outcome::failed_at(kError);
    Owned entry = Owned::steal(PyUnicode_Concat(kSummarizerStr.failed_prefix, text.get()));
    text.reset();  // a temporary of the entry's f-string, gone before the entry is logged
    if (!entry || !call1(error.get(), entry.get())) return Outcome::failed_at(kError);
    Owned fallback = call_summary_function(kStr._fallback_summary, s->messages);
    if (!fallback) return Outcome::failed_at(kFailureFallback);
    return Outcome::made(std::move(fallback));
}

// An Exception from the guarded steps (the request and the use of its reply) is caught,
// with its traceback entry for `line`; sys.exc_info() shows it while the handler runs,
// and the handler answers with the fallback summary. Anything else leaves the body.
BodyStep handle_failure(SummarizeState* s, Line line) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return BodyStep::raise(line);
    kSummarizeMessages.fail(line);
    Owned caught = take_raised();
    HandledException handling(caught.get());
    Py_XSETREF(s->e, caught.release());
    Outcome summary = report_failure(s);
    Py_CLEAR(s->e);
    if (!summary) return BodyStep::raise(summary.line);
    return BodyStep::finish(summary.value.release());
}

BodyStep resume_summarize(PyObject* scope, int resume_point, PyObject* value) {
    SummarizeState* s = as_state(scope);
    if (resume_point == 0) {
        const int any = truth(s->messages);
        if (any < 0) return BodyStep::raise(kEmpty);
        if (!any) {
            Owned empty = call_summary_function(kStr._empty_summary, nullptr);
            if (!empty) return BodyStep::raise(kEmpty);
            return BodyStep::finish(empty.release());
        }
        Outcome prompt = build_prompt(s);
        if (!prompt) return BodyStep::raise(prompt.line);
        Outcome awaitable = send_request(s);
        if (!awaitable) return handle_failure(s, awaitable.line);
        return BodyStep::await_on(awaitable.value.release());
    }
    if (value == nullptr) return handle_failure(s, kRequest);
    Outcome summary = use_reply(s, value);
    if (!summary) return handle_failure(s, summary.line);
    return BodyStep::finish(summary.value.release());
}

// The state's fields, taken over by handles in the order of the locals' names.
void keep_summarize_locals(PyObject* scope) {
    SummarizeState* s = as_state(scope);
    PyObject** fields[] = {&s->self,      &s->messages,     &s->existing_summary,
                           &s->conv_text, &s->prompt_parts, &s->response,
                           &s->e};
    Owned held[std::size(fields)];
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        held[i] = Owned::steal(std::exchange(*fields[i], nullptr));
    }
    keep_with_entry(kSummarizeMessages.name, kSummarizeMessages.locals,
                    {&held[0], &held[1], &held[2], &held[3], &held[4], &held[5], &held[6]});
}

const CoroutineBody kSummarizeBody = {&kSummarizeMessages, resume_summarize, keep_summarize_locals};

PyObject* summarizer_init(const Call& call) {
    if (PyObject_SetAttr(call.args[0], kStr._llm, call.args[1]) < 0) {
        kSummarizerInit.fail(lines::summarizer_init::kStoreClient);
        Owned self = Owned::ref(call.args[0]);
        Owned llm_client = Owned::ref(call.args[1]);
        return kSummarizerInit.keep_locals({&self, &llm_client});
    }
    Py_RETURN_NONE;
}

// The call returns a new operation over a new per-call state, and runs nothing else.
PyObject* summarize_messages(const Call& call) {
    Owned state = Owned::steal(new_state(call.args[0], call.args[1], call.args[2]));
    if (!state) return kSummarizeMessages.fail(kDefinition);
    PyObject* op =
        new_coroutine(kSummarizeBody, state.get(), function_code(call.function),
                      kStr.summarize_messages, kStr.operation_qualname, kStr.module_name);
    if (op == nullptr) return kSummarizeMessages.fail(kDefinition);
    return op;
}

constexpr Param kInitParams[] = {{"self", ArgType::Any}, {"llm_client", ArgType::Any}};
constexpr const char* kInitLocals[] = {"self", "llm_client"};
constexpr Annotation kInitAnnotations[] = {{"llm_client", "Any"}};

constexpr Param kParams[] = {
    {"self", ArgType::Any}, {"messages", ArgType::List}, {"existing_summary", ArgType::StrOrNone}};
constexpr const char* kLocals[] = {
    "self", "messages", "existing_summary", "conv_text", "prompt_parts", "response", "e"};
constexpr Annotation kAnnotations[] = {{"messages", "list[dict[str, Any]]"},
                                       {"existing_summary", "str | None"},
                                       {"return", "dict[str, Any]"}};

}  // namespace

const FunctionSpec kSummarizerInit = {
    SMZ_QUALNAME("ConversationSummarizer.__init__"),
    .name = "__init__",
    .doc = "Initialize with an LLMClient instance.",
    .line = lines::summarizer_init::kDefinition,
    .params = kInitParams,
    .nrequired = 2,
    .locals = kInitLocals,
    .annotations = kInitAnnotations,
    .coroutine = false,
    .body = summarizer_init,
};

const FunctionSpec kSummarizeMessages = {
    SMZ_QUALNAME("ConversationSummarizer.summarize_messages"),
    .name = "summarize_messages",
    .doc =
        "Summarize a list of messages into a structured summary.\n"
        "\n"
        "        Args:\n"
        "            messages: The messages to summarize (in chronological order)\n"
        "            existing_summary: If provided, the new summary should build on this\n"
        "\n"
        "        Returns:\n"
        "            A structured summary dict with goals, progress, etc.\n"
        "        ",
    .line = kDefinition,
    .params = kParams,
    .nrequired = 2,
    .locals = kLocals,
    .annotations = kAnnotations,
    .coroutine = true,
    .body = summarize_messages,
};

bool init_summarize_state() {
    if (g_complete_kwnames == nullptr) {
        g_complete_kwnames = PyTuple_Pack(2, kStr.messages.get(), kStr.max_tokens.get());
        if (g_complete_kwnames == nullptr) return false;
    }
    if (g_max_tokens == nullptr) {
        g_max_tokens = PyLong_FromLong(kMaxTokens);
        if (g_max_tokens == nullptr) return false;
    }
    PyTypeObject& t = g_state_type;
    if (t.tp_flags & Py_TPFLAGS_READY) return true;
    t.tp_name = "morvex.core.summarizer.summarize_messages_state";
    t.tp_basicsize = sizeof(SummarizeState);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t.tp_dealloc = state_dealloc;
    t.tp_traverse = state_traverse;
    // No tp_clear: the body reads every field whenever it runs. Only the operation
    // holds the state, and the operation has no clear either: a cycle through a
    // started operation is broken by its finaliser, which closes it and releases the
    // state, and a cycle through one not started runs through a mutable container of
    // its arguments (the message list, the summarizer's attributes), whose own clear
    // breaks it. A finaliser that resumes the operation during a collection meets
    // either a whole state or a finished operation, never a half-cleared one.
    return PyType_Ready(&t) == 0;
}

}  // namespace smz
