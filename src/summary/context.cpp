// Rendering of a summary record as the Markdown context text that the agent places in
// its system prompt. Any value under any key is accepted: list sections iterate their
// value, and every value placed in the text goes through its text form.
#include "binding/runtime.hpp"
#include "summary/bodies.hpp"
#include "summary/record.hpp"

namespace smz {
namespace {

constexpr TraceSite kSite{
    "morvex.core.summarizer.ConversationSummarizer.format_summary_for_context"};

ConstStr kHeader{"## Conversation History Summary"};
ConstStr kNote{"*(Earlier messages were summarized to save context space)*\n"};
ConstStr kBullet{"  - "};
ConstStr kGoalsHeading{"### Original Goals"};
ConstStr kProgressHeading{"### Progress So Far"};
ConstStr kDecisionsHeading{"### Key Decisions"};
ConstStr kFactsHeading{"### Key Facts"};
ConstStr kBlockersHeading{"### Issues & Resolutions"};
ConstStr kNextStepsHeading{"### Next Steps"};

// A section whose value is iterated, one bullet per element. Its steps report `line`
// for the test of the value, then line + 1 for the heading, line + 2 for reading and
// iterating the value, line + 3 for a bullet and line + 4 for the closing blank part.
struct ListSection {
    const ConstStr& key;
    const ConstStr& heading;
    int line;
};

const ListSection kLeadingSections[] = {
    {kGoals, kGoalsHeading, 115},
    {kProgress, kProgressHeading, 121},
};

const ListSection kTrailingSections[] = {
    {kKeyDecisions, kDecisionsHeading, 130},
    {kKeyFacts, kFactsHeading, 136},
    {kBlockers, kBlockersHeading, 142},
    {kNextSteps, kNextStepsHeading, 148},
};

// Marks the failing step; false for the caller to return.
bool failed(int line) {
    kSite.mark(line);
    return false;
}

// Whether summary.get(key) is true; a missing key reads as None. -1 with an exception.
int holds_true(PyObject* summary, PyObject* key) {
    PyObject* found = PyDict_GetItemWithError(summary, key);  // borrowed
    if (found == nullptr) return PyErr_Occurred() ? -1 : 0;
    // The truth test may run host code that changes the record: hold the value.
    Owned value = Owned::ref(found);
    return PyObject_IsTrue(value.get());
}

// Appends a new part; false with an exception set.
bool append_part(PyObject* parts, Owned part) {
    return part && PyList_Append(parts, part.get()) == 0;
}

bool render_list_section(PyObject* parts, PyObject* summary, const ListSection& section) {
    const int present = holds_true(summary, section.key);
    if (present < 0) return failed(section.line);
    if (present == 0) return true;
    if (PyList_Append(parts, section.heading) < 0) return failed(section.line + 1);
    // summary[key] again: the truth test above may have changed the record.
    Owned value = Owned::steal(PyObject_GetItem(summary, section.key));
    if (!value) return failed(section.line + 2);
    Owned iterator = Owned::steal(PyObject_GetIter(value.get()));
    if (!iterator) return failed(section.line + 2);
    while (Owned element = Owned::steal(PyIter_Next(iterator.get()))) {
        Owned form = text_form(element.get());
        if (!form || !append_part(parts, Owned::steal(PyUnicode_Concat(kBullet, form.get())))) {
            return failed(section.line + 3);
        }
    }
    if (PyErr_Occurred()) return failed(section.line + 2);
    if (PyList_Append(parts, kEmptyStr) < 0) return failed(section.line + 4);
    return true;
}

// The text form of summary[key], for the current-state and narrative sections.
Owned text_under(PyObject* summary, PyObject* key) {
    Owned value = Owned::steal(PyObject_GetItem(summary, key));
    if (!value) return {};
    return text_form(value.get());
}

bool render_sections(PyObject* parts, PyObject* summary) {
    for (const ListSection& section : kLeadingSections) {
        if (!render_list_section(parts, summary, section)) return false;
    }

    int present = holds_true(summary, kCurrentState);
    if (present < 0) return failed(127);
    if (present) {
        Owned state = text_under(summary, kCurrentState);
        if (!state || !append_part(parts, Owned::steal(PyUnicode_FromFormat(
                                              "### Current State\n%U\n", state.get())))) {
            return failed(128);
        }
    }

    for (const ListSection& section : kTrailingSections) {
        if (!render_list_section(parts, summary, section)) return false;
    }

    present = holds_true(summary, kSummary);
    if (present < 0) return failed(154);
    if (present) {
        Owned narrative = text_under(summary, kSummary);
        if (!narrative || !append_part(parts, Owned::steal(PyUnicode_FromFormat(
                                                  "### Narrative Summary\n%U", narrative.get())))) {
            return failed(155);
        }
    }
    return true;
}

}  // namespace

PyObject* format_summary_for_context(PyObject*, PyObject* const* args) {
    PyObject* summary = args[1];  // borrowed: exactly a dict; args[0], self, is not used
    Owned parts = Owned::steal(PyList_New(0));
    if (!parts || PyList_Append(parts.get(), kHeader) < 0) return kSite.fail(112);
    if (PyList_Append(parts.get(), kNote) < 0) return kSite.fail(113);
    if (!render_sections(parts.get(), summary)) return nullptr;
    Owned text = Owned::steal(PyUnicode_Join(kNewline, parts.get()));
    if (!text) return kSite.fail(157);
    return text.release();
}

}  // namespace smz
