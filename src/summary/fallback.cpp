// The fallback summary, built from the messages themselves when the model cannot
// summarize them: the first user request as the one goal, and the message count.
#include <utility>

#include "binding/records.hpp"
#include "binding/runtime.hpp"
#include "binding/strings.hpp"
#include "summary/functions.hpp"
#include "summary/lines.hpp"
#include "summary/record.hpp"
#include "summary/texts.hpp"

namespace smz {
namespace {

// The source lines of the function's steps, for its traceback entries (lines.hpp).
using namespace lines::fallback_summary;

// A request text longer than this many items is cut to them and "..." appended.
constexpr Py_ssize_t kRequestLimit = 200;

// The function's locals, as in the plain function: each keeps its value until its
// next assignment replaces it (the old value is released after the new one is
// stored) or until the function ends, when they go in the order the host clears a
// frame, the order of their names.
struct Locals {
    Owned goals;
    Owned progress;
    Owned msg;
    Owned content;

    Locals() = default;
    Locals(const Locals&) = delete;
    Locals& operator=(const Locals&) = delete;
    ~Locals() {
        goals.reset();
        progress.reset();
        msg.reset();
        content.reset();
    }
};

// Whether `msg` is a user message with content: its get("role") equals "user", and
// only then its get("content") is true. Each value read is a temporary, released as
// soon as it is tested: the role once it is compared, before the comparison's result
// is tested. -1 with an exception set.
int is_request(PyObject* msg) {
    Owned role = record_get(msg, kStr.role);
    if (!role) return -1;
    const int user = temporary_equals_text(role, kStr.user);
    if (user <= 0) return user;
    Owned content = record_get(msg, kStr.content);
    if (!content) return -1;
    if (PyUnicode_CheckExact(content.get())) return PyUnicode_GET_LENGTH(content.get()) > 0;
    return PyObject_IsTrue(content.get());
}

// Appends the request text of `local.msg` to `goals` when it is a user message with
// content; the text is stored in `local.content` first.
bool collect_request(Locals& local, PyObject* goals) {
    PyObject* msg = local.msg.get();
    const int wanted = is_request(msg);
    if (wanted < 0) return kFallbackSummary.fail(kRequestTest);
    if (wanted == 0) return true;
    Owned content = Owned::steal(PyObject_GetItem(msg, kStr.content));
    if (!content) return kFallbackSummary.fail(kRequestRead);
    local.content = std::move(content);
    PyObject* text = local.content.get();
    // Only the first request is kept. The later ones of an exact dict with text
    // content are still looked up and stored, but measuring, cutting and collecting
    // them runs no host code and has no effect, so it is skipped.
    if (PyList_GET_SIZE(goals) > 0 && PyDict_CheckExact(msg) && PyUnicode_CheckExact(text)) {
        return true;
    }
    const Py_ssize_t length = PyObject_Size(text);
    if (length < 0) return kFallbackSummary.fail(kRequestMeasure);
    if (length > kRequestLimit) {
        // content[:200] + "...": the head, a temporary, goes before the cut text
        // replaces the local.
        Owned head = head_of(text, kRequestLimit);
        Owned cut = head ? Owned::steal(PyNumber_Add(head.get(), kStr.ellipsis)) : Owned();
        head.reset();
        if (!cut) return kFallbackSummary.fail(kRequestCut);
        local.content = std::move(cut);
    }
    if (PyList_Append(goals, local.content.get()) < 0) return kFallbackSummary.fail(kGoalsAppend);
    return true;
}

// len(messages): an exact list measured in place, anything else by its `__len__`.
Py_ssize_t message_count(PyObject* messages) {
    if (PyList_CheckExact(messages)) return PyList_GET_SIZE(messages);
    return PyObject_Size(messages);
}

// The summary record of `messages`, with the function's locals in `local`. Null with
// the failing step's entry made.
PyObject* build_fallback(PyObject* messages, Locals& local) {
    local.goals = Owned::steal(PyList_New(0));
    if (!local.goals) return kFallbackSummary.fail(kGoals);
    local.progress = Owned::steal(PyList_New(0));
    if (!local.progress) return kFallbackSummary.fail(kProgress);
    Owned& goals = local.goals;
    PyObject* progress = local.progress.get();

    if (PyList_CheckExact(messages)) {
        // The length is read afresh for every record: the record operations may run
        // host code that changes the list.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(messages); ++i) {
            local.msg = Owned::ref(PyList_GET_ITEM(messages, i));
            if (!collect_request(local, goals.get())) return nullptr;
        }
    } else {
        // An instance of a list subclass (in builds that accept them): its own
        // iteration, as a `for` loop walks it.
        Owned iter = Owned::steal(PyObject_GetIter(messages));
        if (!iter) return kFallbackSummary.fail(kWalk);
        while (Owned msg = Owned::steal(PyIter_Next(iter.get()))) {
            local.msg = std::move(msg);
            if (!collect_request(local, goals.get())) return nullptr;
        }
        if (PyErr_Occurred()) return kFallbackSummary.fail(kWalk);
    }
    // Only the first request is kept, in a list of its own.
    if (PyList_GET_SIZE(goals.get()) > 0) {
        Owned first = Owned::steal(PyList_New(1));
        if (!first) return kFallbackSummary.fail(kFirstGoal);
        PyList_SET_ITEM(first.get(), 0, Py_NewRef(PyList_GET_ITEM(goals.get(), 0)));
        goals = std::move(first);
    }

    Owned record = Owned::steal(PyDict_New());
    if (!record) return kFallbackSummary.fail(kRecord);
    PyObject* r = record.get();
    if (PyDict_SetItem(r, kStr.goals, goals.get()) < 0) return kFallbackSummary.fail(kRecord);
    if (PyDict_SetItem(r, kStr.progress, progress) < 0) return kFallbackSummary.fail(kRecord);
    const Py_ssize_t had = message_count(messages);
    if (had < 0) return kFallbackSummary.fail(kStateText);
    Owned state = Owned::steal(PyUnicode_FromFormat(kFallbackStateFormat, had));
    if (!state) return kFallbackSummary.fail(kStateText);
    if (PyDict_SetItem(r, kStr.current_state, state.get()) < 0)
        return kFallbackSummary.fail(kRecord);
    const FunctionSpec& spec = kFallbackSummary;
    if (!put_new_list(r, kStr.key_decisions, spec, kDecisionsList, kRecord)) return nullptr;
    if (!put_new_list(r, kStr.key_facts, spec, kFactsList, kRecord)) return nullptr;
    if (!put_new_list(r, kStr.blockers, spec, kBlockersList, kRecord)) return nullptr;
    if (!put_new_list(r, kStr.next_steps, spec, kNextStepsList, kRecord)) return nullptr;
    // The count is read before the request's text form, which may run host code.
    const Py_ssize_t count = message_count(messages);
    if (count < 0) return kFallbackSummary.fail(kSummaryText);
    Owned request = Owned::ref(kStr.unknown);
    if (PyList_GET_SIZE(goals.get()) > 0) {
        Owned first = Owned::ref(PyList_GET_ITEM(goals.get(), 0));
        request = text_form(first.get());
    }
    if (!request) return kFallbackSummary.fail(kSummaryText);
    Owned summary =
        Owned::steal(PyUnicode_FromFormat(kFallbackSummaryFormat, count, request.get()));
    request.reset();  // a temporary of the summary's f-string, gone before the clock is read
    if (!summary) return kFallbackSummary.fail(kSummaryText);
    if (PyDict_SetItem(r, kStr.summary, summary.get()) < 0) return kFallbackSummary.fail(kRecord);
    Owned stamp = record_timestamp();
    if (!stamp) return kFallbackSummary.fail(kTimestamp);
    if (PyDict_SetItem(r, kStr.created_at, stamp.get()) < 0) return kFallbackSummary.fail(kRecord);
    return record.release();
}

}  // namespace

PyObject* fallback_summary(const Call& call) {
    Locals local;
    PyObject* record = build_fallback(call.args[0], local);
    if (record != nullptr) return record;
    Owned messages = Owned::ref(call.args[0]);
    return kFallbackSummary.keep_locals(
        {&messages, &local.goals, &local.progress, &local.msg, &local.content});
}

namespace {
constexpr Param kParams[] = {{"messages", ArgType::List}};
constexpr const char* kLocals[] = {"messages", "goals", "progress", "msg", "content"};
constexpr Annotation kAnnotations[] = {{"messages", "list[dict[str, Any]]"},
                                       {"return", "dict[str, Any]"}};
}  // namespace

const FunctionSpec kFallbackSummary = {
    SMZ_QUALNAME("_fallback_summary"),
    .name = "_fallback_summary",
    .doc = "Create a basic summary without LLM when summarization fails.",
    .line = kDefinition,
    .params = kParams,
    .nrequired = 1,
    .locals = kLocals,
    .annotations = kAnnotations,
    .coroutine = false,
    .body = fallback_summary,
};

}  // namespace smz
