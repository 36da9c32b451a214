// Rendering of a summary record as the Markdown context text that the agent places in
// its system prompt. Any value under any key is accepted: list sections iterate their
// value, and every value placed in the text goes through its text form.
#include "binding/records.hpp"
#include "binding/runtime.hpp"
#include "binding/strings.hpp"
#include "binding/text_builder.hpp"
#include "summary/functions.hpp"
#include "summary/lines.hpp"
#include "summary/record.hpp"
#include "summary/texts.hpp"

namespace smz {
namespace {

// The source lines of the method's steps, for its traceback entries (lines.hpp).
using namespace lines::format_summary_for_context;

// The loop variables of the six list sections, g, p, d, f, b and n, as in the plain
// method: each keeps the element it was last given until the next one replaces it
// (the old element is released after the new one is stored) or until the method
// ends, when they go in the order the host clears a frame, the order of their names.
struct Locals {
    Owned g;
    Owned p;
    Owned d;
    Owned f;
    Owned b;
    Owned n;

    Locals() = default;
    Locals(const Locals&) = delete;
    Locals& operator=(const Locals&) = delete;
    ~Locals() {
        g.reset();
        p.reset();
        d.reset();
        f.reset();
        b.reset();
        n.reset();
    }
};

// A section whose value is iterated, one bullet per element, with its loop variable
// and the lines of its steps.
struct ListSection {
    const ConstStr& key;
    const ConstStr& heading;
    Owned Locals::*element;
    Line test;
    Line heading_line;
    Line value;
    Line bullet;
    Line blank;
};

const ListSection kLeadingSections[] = {
    {kStr.goals, kSummaryStr.goals_heading, &Locals::g, kGoalsTest, kGoalsHeading, kGoalsValue,
     kGoalsBullet, kGoalsBlank},
    {kStr.progress, kSummaryStr.progress_heading, &Locals::p, kProgressTest, kProgressHeading,
     kProgressValue, kProgressBullet, kProgressBlank},
};

const ListSection kTrailingSections[] = {
    {kStr.key_decisions, kSummaryStr.decisions_heading, &Locals::d, kDecisionsTest,
     kDecisionsHeading, kDecisionsValue, kDecisionsBullet, kDecisionsBlank},
    {kStr.key_facts, kSummaryStr.facts_heading, &Locals::f, kFactsTest, kFactsHeading, kFactsValue,
     kFactsBullet, kFactsBlank},
    {kStr.blockers, kSummaryStr.blockers_heading, &Locals::b, kBlockersTest, kBlockersHeading,
     kBlockersValue, kBlockersBullet, kBlockersBlank},
    {kStr.next_steps, kSummaryStr.next_steps_heading, &Locals::n, kNextStepsTest, kNextStepsHeading,
     kNextStepsValue, kNextStepsBullet, kNextStepsBlank},
};

// Whether summary.get(key) is true; a missing key reads as None. -1 with an exception.
int holds_true(PyObject* summary, PyObject* key) {
    // The truth test may run host code that changes the record: the value is held.
    Owned value = record_get(summary, key);
    if (!value) return -1;
    return PyObject_IsTrue(value.get());
}

// One bullet part, "  - " and the element's text form.
bool add_bullet(TextBuilder& out, PyObject* element) {
    // A text is its own text form, and adding it runs no host code.
    if (PyUnicode_CheckExact(element)) return out.line(kSummaryStr.bullet_line) && out.add(element);
    Owned form = text_form(element);
    return form && out.line(kSummaryStr.bullet_line) && out.add(form.get());
}

bool render_list_section(TextBuilder& out, Locals& local, PyObject* summary,
                         const ListSection& section) {
    const int present = holds_true(summary, section.key);
    if (present < 0) return kFormatSummaryForContext.fail(section.test);
    if (present == 0) return true;
    if (!out.line(section.heading)) return kFormatSummaryForContext.fail(section.heading_line);
    Owned& element = local.*section.element;
    // summary[key] again: the truth test above may have changed the record.
    Owned value = Owned::steal(PyObject_GetItem(summary, section.key));
    if (!value) return kFormatSummaryForContext.fail(section.value);
    if (PyList_CheckExact(value.get())) {
        // As the list's own iterator walks it: by position, the length read each time.
        PyObject* list = value.get();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            element = Owned::ref(PyList_GET_ITEM(list, i));
            if (!add_bullet(out, element.get()))
                return kFormatSummaryForContext.fail(section.bullet);
        }
    } else {
        // Any other value through its iterator; the value itself is released once the
        // iterator is made, as a `for` loop does.
        Owned iterator = Owned::steal(PyObject_GetIter(value.get()));
        if (!iterator) return kFormatSummaryForContext.fail(section.value);
        value.reset();
        while (Owned next = Owned::steal(PyIter_Next(iterator.get()))) {
            element = std::move(next);
            if (!add_bullet(out, element.get()))
                return kFormatSummaryForContext.fail(section.bullet);
        }
        if (PyErr_Occurred()) return kFormatSummaryForContext.fail(section.value);
    }
    if (!out.start_line()) return kFormatSummaryForContext.fail(section.blank);  // the blank part
    return true;
}

// The text form of summary[key], for the current-state and narrative sections.
Owned text_under(PyObject* summary, PyObject* key) {
    Owned value = Owned::steal(PyObject_GetItem(summary, key));
    if (!value) return {};
    return text_form(value.get());
}

bool render_sections(TextBuilder& out, Locals& local, PyObject* summary) {
    for (const ListSection& section : kLeadingSections) {
        if (!render_list_section(out, local, summary, section)) return false;
    }

    int present = holds_true(summary, kStr.current_state);
    if (present < 0) return kFormatSummaryForContext.fail(kStateTest);
    if (present) {
        Owned state = text_under(summary, kStr.current_state);
        if (!state || !out.line(kSummaryStr.state_heading) || !out.add(state.get()) ||
            !out.add(kStr.newline)) {
            return kFormatSummaryForContext.fail(kStatePart);
        }
    }

    for (const ListSection& section : kTrailingSections) {
        if (!render_list_section(out, local, summary, section)) return false;
    }

    present = holds_true(summary, kStr.summary);
    if (present < 0) return kFormatSummaryForContext.fail(kNarrativeTest);
    if (present) {
        Owned narrative = text_under(summary, kStr.summary);
        if (!narrative || !out.line(kSummaryStr.narrative_heading) || !out.add(narrative.get())) {
            return kFormatSummaryForContext.fail(kNarrativePart);
        }
    }
    return true;
}

bool render_text(TextBuilder& out, Locals& local, PyObject* summary) {
    if (!out.line(kSummaryStr.context_header)) return kFormatSummaryForContext.fail(kHeader);
    if (!out.line(kSummaryStr.context_note)) return kFormatSummaryForContext.fail(kNote);
    return render_sections(out, local, summary);
}

}  // namespace

PyObject* format_summary_for_context(const Call& call) {
    // The record is held for the whole rendering: its operations run host code.
    Owned summary = Owned::ref(call.args[1]);  // call.args[0], self, is not used
    Locals local;
    TextBuilder out;
    if (render_text(out, local, summary.get())) {
        Owned text = out.build();
        if (text) return text.release();
        kFormatSummaryForContext.fail(kJoin);
    }
    // `parts` holds only texts: there is nothing of it to keep.
    Owned self = Owned::ref(call.args[0]);
    return kFormatSummaryForContext.keep_locals(
        {&self, &summary, nullptr, &local.g, &local.p, &local.d, &local.f, &local.b, &local.n});
}

namespace {
constexpr Param kParams[] = {{"self", ArgType::Any}, {"summary", ArgType::Dict}};
constexpr const char* kLocals[] = {"self", "summary", "parts", "g", "p", "d", "f", "b", "n"};
constexpr Annotation kAnnotations[] = {{"summary", "dict[str, Any]"}, {"return", "str"}};
}  // namespace

const FunctionSpec kFormatSummaryForContext = {
    SMZ_QUALNAME("ConversationSummarizer.format_summary_for_context"),
    .name = "format_summary_for_context",
    .doc = "Format a structured summary as readable text for the system prompt.",
    .line = kDefinition,
    .params = kParams,
    .nrequired = 2,
    .locals = kLocals,
    .annotations = kAnnotations,
    .coroutine = false,
    .body = format_summary_for_context,
};

}  // namespace smz
