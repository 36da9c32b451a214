// ConversationSummarizer.__init__ and summarize_messages: the call builds the per-call
// state and returns an operation; the operation runs the body below, which renders the
// request, awaits the client's `complete`, and picks the parsed or the fallback summary.
#include <cstddef>

#include "binding/coroutine.hpp"
#include "binding/exceptions.hpp"
#include "binding/function.hpp"
#include "binding/records.hpp"
#include "binding/runtime.hpp"
#include "binding/static_type.hpp"
#include "binding/strings.hpp"
#include "summarizer/bodies.hpp"

namespace smz {
namespace {

constexpr TraceSite kInitSite{"morvex.core.summarizer.ConversationSummarizer.__init__"};
// Failures of the call itself and exceptions caught by the body's handler.
constexpr TraceSite kSite{"morvex.core.summarizer.ConversationSummarizer.summarize_messages"};

// Source lines of the body's steps.
constexpr int kDefinitionLine = 62;
constexpr int kEmptyLine = 77;
constexpr int kTranscriptLine = 80;
constexpr int kPromptLine = 82;
constexpr int kPreviousTestLine = 84;
constexpr int kPreviousAppendLine = 85;
constexpr int kPreviousTextLine = 86;
constexpr int kConversationLine = 89;
constexpr int kRequestLine = 92;
constexpr int kRequestListLine = 93;
constexpr int kSystemLine = 94;
constexpr int kUserLine = 95;
constexpr int kContentTestLine = 100;
constexpr int kParseLine = 101;
constexpr int kWarningLine = 103;
constexpr int kEmptyFallbackLine = 104;
constexpr int kErrorLine = 107;
constexpr int kFailureFallbackLine = 108;

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

// Appends heading + the text form of `value` to `list`; false with `line` set to the
// failing step's line.
bool append_part(PyObject* list, PyObject* heading, PyObject* value, int text_line, int append_line,
                 int* line) {
    *line = text_line;
    Owned text = text_form(value);
    if (!text) return false;
    Owned part = Owned::steal(PyUnicode_Concat(heading, text.get()));
    if (!part) return false;
    *line = append_line;
    return PyList_Append(list, part.get()) == 0;
}

// Steps 2 to 5: the transcript and the parts of the system text. False with the
// exception set and `line` naming the failing step.
bool build_prompt(SummarizeState* s, int* line) {
    *line = kTranscriptLine;
    Owned render = lookup_global(kStr._format_messages_for_summary);
    if (!render) return false;
    Owned conv_text = call1(render.get(), s->messages);
    if (!conv_text) return false;
    Py_XSETREF(s->conv_text, conv_text.release());

    *line = kPromptLine;
    Owned prompt = lookup_global(kStr.SUMMARIZE_PROMPT);
    if (!prompt) return false;
    Owned parts = Owned::steal(PyList_New(1));
    if (!parts) return false;
    PyList_SET_ITEM(parts.get(), 0, prompt.release());
    Py_XSETREF(s->prompt_parts, parts.release());

    // existing_summary is a str or None; only a true text adds a part.
    *line = kPreviousTestLine;
    const int previous = truth(s->existing_summary);
    if (previous < 0) return false;
    if (previous && !append_part(s->prompt_parts, kStr.previous_heading, s->existing_summary,
                                 kPreviousTextLine, kPreviousAppendLine, line)) {
        return false;
    }
    return append_part(s->prompt_parts, kStr.conversation_heading, s->conv_text, kConversationLine,
                       kConversationLine, line);
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

// Step 7: self._llm.complete(messages=[system, user], max_tokens=2048).
Owned send_request(SummarizeState* s, int* line) {
    *line = kRequestLine;
    Owned client = Owned::steal(PyObject_GetAttr(s->self, kStr._llm));
    if (!client) return {};
    Owned complete = Owned::steal(PyObject_GetAttr(client.get(), kStr.complete));
    if (!complete) return {};
    *line = kSystemLine;
    Owned system_text = Owned::steal(PyUnicode_Join(kStr.newline, s->prompt_parts));
    if (!system_text) return {};
    Owned system = message(kStr.system, system_text.get());
    if (!system) return {};
    *line = kUserLine;
    Owned user = message(kStr.user, kStr.user_request);
    if (!user) return {};
    *line = kRequestListLine;
    Owned request = Owned::steal(PyList_New(2));
    if (!request) return {};
    PyList_SET_ITEM(request.get(), 0, system.release());
    PyList_SET_ITEM(request.get(), 1, user.release());
    *line = kRequestLine;
    PyObject* keywords[] = {request.get(), g_max_tokens};
    return call(complete.get(), keywords, 0, g_complete_kwnames);
}

// Steps 9 and 10, once the reply has arrived.
Owned use_reply(SummarizeState* s, PyObject* response, int* line) {
    Py_XSETREF(s->response, Py_NewRef(response));
    *line = kContentTestLine;
    Owned content = Owned::steal(PyObject_GetAttr(response, kStr.content));
    if (!content) return {};
    int present = PyObject_IsTrue(content.get());
    content.reset();
    if (present < 0) return {};
    if (present) {
        *line = kParseLine;
        Owned parse = lookup_global(kStr._parse_summary);
        if (!parse) return {};
        Owned text = Owned::steal(PyObject_GetAttr(response, kStr.content));
        if (!text) return {};
        Owned summary = call1(parse.get(), text.get());
        if (!summary || !check_summary(summary.get())) return {};
        return summary;
    }
    *line = kWarningLine;
    Owned log = lookup_global(kStr.logger);
    if (!log || !call_method1(log.get(), kStr.warning, kStr.empty_reply)) return {};
    *line = kEmptyFallbackLine;
    return call_summary_function(kStr._fallback_summary, s->messages);
}

// Step 13, with the caught exception in s->e.
Owned report_failure(SummarizeState* s, int* line) {
    *line = kErrorLine;
    Owned log = lookup_global(kStr.logger);
    if (!log) return {};
    Owned error = Owned::steal(PyObject_GetAttr(log.get(), kStr.error));
    if (!error) return {};
    Owned text = text_form(s->e);
    if (!text) return {};
    Owned entry = Owned::steal(PyUnicode_Concat(kStr.failed_prefix, text.get()));
    if (!entry || !call1(error.get(), entry.get())) return {};
    *line = kFailureFallbackLine;
    return call_summary_function(kStr._fallback_summary, s->messages);
}

// Step 12: an Exception from the guarded steps is caught (sys.exc_info() shows it while
// step 13 runs) and answered with the fallback summary; anything else leaves the body.
BodyStep handle_failure(SummarizeState* s, int line) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return BodyStep::raise(line);
    kSite.mark(line);
    Owned caught = take_raised();
    HandledException handling(caught.get());
    Py_XSETREF(s->e, caught.release());
    Owned summary = report_failure(s, &line);
    Py_CLEAR(s->e);
    if (!summary) return BodyStep::raise(line);
    return BodyStep::finish(summary.release());
}

BodyStep resume_summarize(PyObject* scope, int resume_point, PyObject* value) {
    SummarizeState* s = as_state(scope);
    int line = kRequestLine;
    if (resume_point == 0) {
        const int any = truth(s->messages);
        if (any < 0) return BodyStep::raise(kEmptyLine);
        if (!any) {
            Owned empty = call_summary_function(kStr._empty_summary, nullptr);
            if (!empty) return BodyStep::raise(kEmptyLine);
            return BodyStep::finish(empty.release());
        }
        if (!build_prompt(s, &line)) return BodyStep::raise(line);
        Owned awaitable = send_request(s, &line);
        if (!awaitable) return handle_failure(s, line);
        return BodyStep::await_on(awaitable.release());
    }
    if (value == nullptr) return handle_failure(s, kRequestLine);
    Owned summary = use_reply(s, value, &line);
    if (!summary) return handle_failure(s, line);
    return BodyStep::finish(summary.release());
}

const CoroutineBody kSummarizeBody = {"summarize_messages", kDefinitionLine, resume_summarize};

}  // namespace

PyObject* summarizer_init(PyObject*, PyObject* const* args) {
    if (PyObject_SetAttr(args[0], kStr._llm, args[1]) < 0) return kInitSite.fail(59);
    Py_RETURN_NONE;
}

PyObject* summarize_messages(PyObject* function, PyObject* const* args) {
    Owned state = Owned::steal(new_state(args[0], args[1], args[2]));
    if (!state) return kSite.fail(kDefinitionLine);
    PyObject* op =
        new_coroutine(kSummarizeBody, state.get(), function_code(function), kStr.summarize_messages,
                      kStr.operation_qualname, kStr.module_name);
    if (op == nullptr) return kSite.fail(kDefinitionLine);
    return op;
}

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
    // No tp_clear: the body reads every field whenever it runs, and only the operation
    // holds the state, so the operation's own clear (which releases the state and
    // leaves the operation finished) breaks any cycle through it. A finaliser that
    // resumes the operation during a collection meets either a whole state or a
    // finished operation, never a half-cleared one.
    return PyType_Ready(&t) == 0;
}

}  // namespace smz
