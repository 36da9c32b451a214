// The fallback summary, built from the messages themselves when the model cannot
// summarize them: the first user request as the one goal, and the message count.
#include <utility>

#include "binding/records.hpp"
#include "binding/runtime.hpp"
#include "binding/strings.hpp"
#include "summary/bodies.hpp"
#include "summary/record.hpp"

namespace smz {
namespace {

constexpr TraceSite kSite{"morvex.core.summarizer._fallback_summary"};

// A request text longer than this many items is cut to them and "..." appended.
constexpr Py_ssize_t kRequestLimit = 200;

// Whether `msg` is a user message with content: its get("role") equals "user", and
// only then its get("content") is true. -1 with an exception set.
int is_request(PyObject* msg) {
    Owned role = record_get(msg, kStr.role);
    if (!role) return -1;
    const int user = equals_text(role.get(), kStr.user);
    if (user <= 0) return user;
    Owned content = record_get(msg, kStr.content);
    if (!content) return -1;
    if (PyUnicode_CheckExact(content.get())) return PyUnicode_GET_LENGTH(content.get()) > 0;
    return PyObject_IsTrue(content.get());
}

// content[:200] + "...", through the host's slicing and `+`.
Owned cut_request(PyObject* content) {
    Owned head = head_of(content, kRequestLimit);
    if (!head) return {};
    return Owned::steal(PyNumber_Add(head.get(), kStr.ellipsis));
}

// Records the traceback entry of the failing step; false for the caller to return.
bool failed(int line) {
    kSite.mark(line);
    return false;
}

// Appends the request text of `msg` to `goals` when it is a user message with content.
bool collect_request(PyObject* msg, PyObject* goals) {
    const int wanted = is_request(msg);
    if (wanted < 0) return failed(279);
    if (wanted == 0) return true;
    Owned content = Owned::steal(PyObject_GetItem(msg, kStr.content));
    if (!content) return failed(280);
    // Only the first request is kept. The later ones of an exact dict with text
    // content are still looked up, but measuring, cutting and collecting them runs no
    // host code and has no effect, so it is skipped.
    if (PyList_GET_SIZE(goals) > 0 && PyDict_CheckExact(msg) &&
        PyUnicode_CheckExact(content.get())) {
        return true;
    }
    const Py_ssize_t length = PyObject_Size(content.get());
    if (length < 0) return failed(281);
    if (length > kRequestLimit) {
        content = cut_request(content.get());
        if (!content) return failed(282);
    }
    if (PyList_Append(goals, content.get()) < 0) return failed(283);
    return true;
}

// len(messages): an exact list measured in place, anything else by its `__len__`.
Py_ssize_t message_count(PyObject* messages) {
    if (PyList_CheckExact(messages)) return PyList_GET_SIZE(messages);
    return PyObject_Size(messages);
}

}  // namespace

PyObject* fallback_summary(PyObject*, PyObject* const* args) {
    PyObject* messages = args[0];  // borrowed: exactly a list
    Owned goals = Owned::steal(PyList_New(0));
    if (!goals) return kSite.fail(275);
    Owned progress = Owned::steal(PyList_New(0));
    if (!progress) return kSite.fail(276);

    if (PyList_CheckExact(messages)) {
        // The length is read afresh for every record: the record operations may run
        // host code that changes the list.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(messages); ++i) {
            Owned msg = Owned::ref(PyList_GET_ITEM(messages, i));
            if (!collect_request(msg.get(), goals.get())) return nullptr;
        }
    } else {
        // An instance of a list subclass (in builds that accept them): its own
        // iteration, as a `for` loop walks it.
        Owned iter = Owned::steal(PyObject_GetIter(messages));
        if (!iter) return kSite.fail(278);
        while (Owned msg = Owned::steal(PyIter_Next(iter.get()))) {
            if (!collect_request(msg.get(), goals.get())) return nullptr;
        }
        if (PyErr_Occurred()) return kSite.fail(278);
    }
    // Only the first request is kept, in a list of its own.
    if (PyList_GET_SIZE(goals.get()) > 0) {
        Owned first = Owned::steal(PyList_New(1));
        if (!first) return kSite.fail(287);
        PyList_SET_ITEM(first.get(), 0, Py_NewRef(PyList_GET_ITEM(goals.get(), 0)));
        goals = std::move(first);
    }

    Owned record = Owned::steal(PyDict_New());
    if (!record) return kSite.fail(290);
    PyObject* r = record.get();
    if (PyDict_SetItem(r, kStr.goals, goals.get()) < 0) return kSite.fail(290);
    if (PyDict_SetItem(r, kStr.progress, progress.get()) < 0) return kSite.fail(290);
    const Py_ssize_t had = message_count(messages);
    if (had < 0) return kSite.fail(292);
    Owned state = Owned::steal(
        PyUnicode_FromFormat("Conversation had %zd messages before summarization", had));
    if (!state) return kSite.fail(292);
    if (PyDict_SetItem(r, kStr.current_state, state.get()) < 0) return kSite.fail(290);
    if (!put_new_list(r, kStr.key_decisions, kSite, 293, 290)) return nullptr;
    if (!put_new_list(r, kStr.key_facts, kSite, 294, 290)) return nullptr;
    if (!put_new_list(r, kStr.blockers, kSite, 295, 290)) return nullptr;
    if (!put_new_list(r, kStr.next_steps, kSite, 296, 290)) return nullptr;
    // The count is read before the request's text form, which may run host code.
    const Py_ssize_t count = message_count(messages);
    if (count < 0) return kSite.fail(297);
    Owned request = Owned::ref(kStr.unknown);
    if (PyList_GET_SIZE(goals.get()) > 0) {
        Owned first = Owned::ref(PyList_GET_ITEM(goals.get(), 0));
        request = text_form(first.get());
    }
    if (!request) return kSite.fail(297);
    Owned summary = Owned::steal(PyUnicode_FromFormat(
        "Conversation with %zd messages. Primary request: %U", count, request.get()));
    if (!summary) return kSite.fail(297);
    if (PyDict_SetItem(r, kStr.summary, summary.get()) < 0) return kSite.fail(290);
    Owned stamp = record_timestamp();
    if (!stamp) return kSite.fail(298);
    if (PyDict_SetItem(r, kStr.created_at, stamp.get()) < 0) return kSite.fail(290);
    return record.release();
}

}  // namespace smz
