// The summary record's texts: the reply fence and the parse warning, the context
// text's header, note, bullet and headings, and the fallback summary's texts. Each entry
// is one member of `kSummaryStr`, made at exec with the module's other strs.
#pragma once

#include "binding/strings.hpp"

// clang-format off
#define SMZ_SUMMARY_TEXTS(X)                                                          \
    X(fence, "```")                                                                   \
    X(parse_warning, "Could not parse summary JSON, using fallback")                  \
    X(context_header, "\n## Conversation History Summary")                            \
    X(context_note, "\n*(Earlier messages were summarized to save context space)*\n") \
    X(bullet_line, "\n  - ")                                                          \
    X(goals_heading, "\n### Original Goals")                                          \
    X(progress_heading, "\n### Progress So Far")                                      \
    X(decisions_heading, "\n### Key Decisions")                                       \
    X(facts_heading, "\n### Key Facts")                                               \
    X(blockers_heading, "\n### Issues & Resolutions")                                 \
    X(next_steps_heading, "\n### Next Steps")                                         \
    X(state_heading, "\n### Current State\n")                                         \
    X(narrative_heading, "\n### Narrative Summary\n")
// clang-format on

namespace smz {

struct SummaryTexts {
    SMZ_SUMMARY_TEXTS(SMZ_TEXT_MEMBER)
};

extern SummaryTexts kSummaryStr;

// Makes every str of the table. False with an exception set on failure.
bool build_summary_texts();

// The fallback summary's two texts, made with the message count (and the first
// request) by PyUnicode_FromFormat.
inline constexpr char kFallbackStateFormat[] = "Conversation had %zd messages before summarization";
inline constexpr char kFallbackSummaryFormat[] =
    "Conversation with %zd messages. Primary request: %U";

}  // namespace smz
