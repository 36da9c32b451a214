// The fallback summary, built from the messages themselves when the model cannot
// summarize them: the first user request as the one goal, and the message count.
#include <utility>

#include "binding/runtime.hpp"
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
    Owned role = record_get(msg, kRole);
    if (!role) return -1;
    const int user = PyObject_RichCompareBool(role.get(), kUser, Py_EQ);
    if (user <= 0) return user;
    Owned content = record_get(msg, kContent);
    if (!content) return -1;
    return PyObject_IsTrue(content.get());
}

// content[:200] + "...", through the host's slicing and `+`.
Owned cut_request(PyObject* content) {
    Owned stop = Owned::steal(PyLong_FromSsize_t(kRequestLimit));
    if (!stop) return {};
    Owned slice = Owned::steal(PySlice_New(nullptr, stop.get(), nullptr));
    if (!slice) return {};
    Owned head = Owned::steal(PyObject_GetItem(content, slice.get()));
    if (!head) return {};
    return Owned::steal(PyNumber_Add(head.get(), kEllipsis));
}

}  // namespace

PyObject* fallback_summary(PyObject*, PyObject* const* args) {
    PyObject* messages = args[0];  // borrowed: exactly a list
    Owned goals = Owned::steal(PyList_New(0));
    if (!goals) return kSite.fail(275);
    Owned progress = Owned::steal(PyList_New(0));
    if (!progress) return kSite.fail(276);

    // The length is read afresh for every record: the record operations may run host
    // code that changes the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(messages); ++i) {
        Owned msg = Owned::ref(PyList_GET_ITEM(messages, i));
        const int wanted = is_request(msg.get());
        if (wanted < 0) return kSite.fail(279);
        if (wanted == 0) continue;
        Owned content = Owned::steal(PyObject_GetItem(msg.get(), kContent));
        if (!content) return kSite.fail(280);
        const Py_ssize_t length = PyObject_Size(content.get());
        if (length < 0) return kSite.fail(281);
        if (length > kRequestLimit) {
            content = cut_request(content.get());
            if (!content) return kSite.fail(282);
        }
        if (PyList_Append(goals.get(), content.get()) < 0) return kSite.fail(283);
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
    if (PyDict_SetItem(r, kGoals, goals.get()) < 0) return kSite.fail(290);
    if (PyDict_SetItem(r, kProgress, progress.get()) < 0) return kSite.fail(290);
    Owned state = Owned::steal(PyUnicode_FromFormat(
        "Conversation had %zd messages before summarization", PyList_GET_SIZE(messages)));
    if (!state) return kSite.fail(292);
    if (PyDict_SetItem(r, kCurrentState, state.get()) < 0) return kSite.fail(290);
    if (!put_new_list(r, kKeyDecisions, kSite, 293, 290)) return nullptr;
    if (!put_new_list(r, kKeyFacts, kSite, 294, 290)) return nullptr;
    if (!put_new_list(r, kBlockers, kSite, 295, 290)) return nullptr;
    if (!put_new_list(r, kNextSteps, kSite, 296, 290)) return nullptr;
    // The count is read before the request's text form, which may run host code.
    const Py_ssize_t count = PyList_GET_SIZE(messages);
    Owned request = Owned::ref(kUnknown);
    if (PyList_GET_SIZE(goals.get()) > 0) {
        Owned first = Owned::ref(PyList_GET_ITEM(goals.get(), 0));
        request = text_form(first.get());
    }
    if (!request) return kSite.fail(297);
    Owned summary = Owned::steal(PyUnicode_FromFormat(
        "Conversation with %zd messages. Primary request: %U", count, request.get()));
    if (!summary) return kSite.fail(297);
    if (PyDict_SetItem(r, kSummary, summary.get()) < 0) return kSite.fail(290);
    Owned stamp = record_timestamp();
    if (!stamp) return kSite.fail(298);
    if (PyDict_SetItem(r, kCreatedAt, stamp.get()) < 0) return kSite.fail(290);
    return record.release();
}

}  // namespace smz
