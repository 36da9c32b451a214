// Rendering of a summary record as the Markdown context text that the agent places in
// its system prompt. Any value under any key is accepted: list sections iterate their
// value, and every value placed in the text goes through its text form.
#include "binding/records.hpp"
#include "binding/runtime.hpp"
#include "binding/strings.hpp"
#include "binding/text_builder.hpp"
#include "summary/bodies.hpp"
#include "summary/record.hpp"

namespace smz {
namespace {

constexpr TraceSite kSite{
    "morvex.core.summarizer.ConversationSummarizer.format_summary_for_context"};

// A section whose value is iterated, one bullet per element. Its steps report `line`
// for the test of the value, then line + 1 for the heading, line + 2 for reading and
// iterating the value, line + 3 for a bullet and line + 4 for the closing blank part.
struct ListSection {
    const ConstStr& key;
    const ConstStr& heading;
    int line;
};

const ListSection kLeadingSections[] = {
    {kStr.goals, kStr.goals_heading, 115},
    {kStr.progress, kStr.progress_heading, 121},
};

const ListSection kTrailingSections[] = {
    {kStr.key_decisions, kStr.decisions_heading, 130},
    {kStr.key_facts, kStr.facts_heading, 136},
    {kStr.blockers, kStr.blockers_heading, 142},
    {kStr.next_steps, kStr.next_steps_heading, 148},
};

// Marks the failing step; false for the caller to return.
bool failed(int line) {
    kSite.mark(line);
    return false;
}

// Whether summary.get(key) is true; a missing key reads as None. -1 with an exception.
int holds_true(PyObject* summary, PyObject* key) {
    // The truth test may run host code that changes the record: the value is held.
    Owned value = record_get(summary, key);
    if (!value) return -1;
    return PyObject_IsTrue(value.get());
}

// One bullet part, "  - " and the element's text form.
bool add_bullet(TextBuilder& out, PyObject* element) {
    Owned form = text_form(element);
    return form && out.line(kStr.bullet_line) && out.add(form.get());
}

bool render_list_section(TextBuilder& out, PyObject* summary, const ListSection& section) {
    const int present = holds_true(summary, section.key);
    if (present < 0) return failed(section.line);
    if (present == 0) return true;
    if (!out.line(section.heading)) return failed(section.line + 1);
    // summary[key] again: the truth test above may have changed the record.
    Owned value = Owned::steal(PyObject_GetItem(summary, section.key));
    if (!value) return failed(section.line + 2);
    if (PyList_CheckExact(value.get())) {
        // As the list's own iterator walks it: by position, the length read each time.
        PyObject* list = value.get();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            PyObject* borrowed = PyList_GET_ITEM(list, i);
            if (PyUnicode_CheckExact(borrowed)) {
                // A text is its own text form and adding it runs no host code: the
                // builder's own reference is the only one needed.
                if (!out.line(kStr.bullet_line) || !out.add(borrowed))
                    return failed(section.line + 3);
                continue;
            }
            Owned element = Owned::ref(borrowed);
            if (!add_bullet(out, element.get())) return failed(section.line + 3);
        }
    } else {
        Owned iterator = Owned::steal(PyObject_GetIter(value.get()));
        if (!iterator) return failed(section.line + 2);
        while (Owned element = Owned::steal(PyIter_Next(iterator.get()))) {
            if (!add_bullet(out, element.get())) return failed(section.line + 3);
        }
        if (PyErr_Occurred()) return failed(section.line + 2);
    }
    if (!out.start_line()) return failed(section.line + 4);  // the blank part
    return true;
}

// The text form of summary[key], for the current-state and narrative sections.
Owned text_under(PyObject* summary, PyObject* key) {
    Owned value = Owned::steal(PyObject_GetItem(summary, key));
    if (!value) return {};
    return text_form(value.get());
}

bool render_sections(TextBuilder& out, PyObject* summary) {
    for (const ListSection& section : kLeadingSections) {
        if (!render_list_section(out, summary, section)) return false;
    }

    int present = holds_true(summary, kStr.current_state);
    if (present < 0) return failed(127);
    if (present) {
        Owned state = text_under(summary, kStr.current_state);
        if (!state || !out.line(kStr.state_heading) || !out.add(state.get()) ||
            !out.add(kStr.newline)) {
            return failed(128);
        }
    }

    for (const ListSection& section : kTrailingSections) {
        if (!render_list_section(out, summary, section)) return false;
    }

    present = holds_true(summary, kStr.summary);
    if (present < 0) return failed(154);
    if (present) {
        Owned narrative = text_under(summary, kStr.summary);
        if (!narrative || !out.line(kStr.narrative_heading) || !out.add(narrative.get())) {
            return failed(155);
        }
    }
    return true;
}

}  // namespace

PyObject* format_summary_for_context(PyObject*, PyObject* const* args) {
    // The record is held for the whole rendering: its operations run host code.
    Owned summary = Owned::ref(args[1]);  // args[0], self, is not used
    TextBuilder out;
    if (!out.line(kStr.context_header)) return kSite.fail(112);
    if (!out.line(kStr.context_note)) return kSite.fail(113);
    if (!render_sections(out, summary.get())) return nullptr;
    Owned text = out.build();
    if (!text) return kSite.fail(157);
    return text.release();
}

}  // namespace smz
