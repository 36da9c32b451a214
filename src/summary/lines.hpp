// The source lines of the summary record's functions, for their traceback entries: one
// entry per step, X(function, step, line), each a constant of lines::<function> (see
// SMZ_LINE_CONSTANT). The tests read the lines from here.
#pragma once

#include "binding/function_spec.hpp"

// clang-format off
#define SMZ_SUMMARY_LINES(X)                                                                       \
    /* ConversationSummarizer.format_summary_for_context(self, summary). Each list */              \
    /* section has five steps on consecutive lines: the test of its value, the heading, */         \
    /* reading and iterating the value, a bullet, and the closing blank part. */                   \
    X(format_summary_for_context, kDefinition, 110) /* argument binding */                         \
    X(format_summary_for_context, kHeader, 112)                                                    \
    X(format_summary_for_context, kNote, 113)                                                      \
    X(format_summary_for_context, kGoalsTest, 115)                                                 \
    X(format_summary_for_context, kGoalsHeading, 116)                                              \
    X(format_summary_for_context, kGoalsValue, 117)                                                \
    X(format_summary_for_context, kGoalsBullet, 118)                                               \
    X(format_summary_for_context, kGoalsBlank, 119)                                                \
    X(format_summary_for_context, kProgressTest, 121)                                              \
    X(format_summary_for_context, kProgressHeading, 122)                                           \
    X(format_summary_for_context, kProgressValue, 123)                                             \
    X(format_summary_for_context, kProgressBullet, 124)                                            \
    X(format_summary_for_context, kProgressBlank, 125)                                             \
    X(format_summary_for_context, kStateTest, 127) /* summary.get("current_state") */              \
    X(format_summary_for_context, kStatePart, 128)                                                 \
    X(format_summary_for_context, kDecisionsTest, 130)                                             \
    X(format_summary_for_context, kDecisionsHeading, 131)                                          \
    X(format_summary_for_context, kDecisionsValue, 132)                                            \
    X(format_summary_for_context, kDecisionsBullet, 133)                                           \
    X(format_summary_for_context, kDecisionsBlank, 134)                                            \
    X(format_summary_for_context, kFactsTest, 136)                                                 \
    X(format_summary_for_context, kFactsHeading, 137)                                              \
    X(format_summary_for_context, kFactsValue, 138)                                                \
    X(format_summary_for_context, kFactsBullet, 139)                                               \
    X(format_summary_for_context, kFactsBlank, 140)                                                \
    X(format_summary_for_context, kBlockersTest, 142)                                              \
    X(format_summary_for_context, kBlockersHeading, 143)                                           \
    X(format_summary_for_context, kBlockersValue, 144)                                             \
    X(format_summary_for_context, kBlockersBullet, 145)                                            \
    X(format_summary_for_context, kBlockersBlank, 146)                                             \
    X(format_summary_for_context, kNextStepsTest, 148)                                             \
    X(format_summary_for_context, kNextStepsHeading, 149)                                          \
    X(format_summary_for_context, kNextStepsValue, 150)                                            \
    X(format_summary_for_context, kNextStepsBullet, 151)                                           \
    X(format_summary_for_context, kNextStepsBlank, 152)                                            \
    X(format_summary_for_context, kNarrativeTest, 154) /* summary.get("summary") */                \
    X(format_summary_for_context, kNarrativePart, 155)                                             \
    X(format_summary_for_context, kJoin, 157) /* joining the parts */                              \
    /* _parse_summary(text) */                                                                     \
    X(parse_summary, kDefinition, 209) /* argument binding */                                      \
    X(parse_summary, kStrip, 212) /* text.strip() */                                               \
    X(parse_summary, kFenceTest, 215) /* text.startswith("```") */                                 \
    X(parse_summary, kSplit, 216) /* text.split("\n") */                                           \
    X(parse_summary, kJsonLines, 218) /* json_lines = [] */                                        \
    X(parse_summary, kWalk, 220) /* walking the lines */                                           \
    X(parse_summary, kOpens, 221) /* line.strip().startswith("```") */                             \
    X(parse_summary, kCloses, 224) /* line.strip() == "```" */                                     \
    X(parse_summary, kAppend, 227) /* json_lines.append(line) */                                   \
    X(parse_summary, kJoin, 228) /* "\n".join(json_lines) */                                       \
    X(parse_summary, kLoads, 231) /* json.loads(text) */                                           \
    X(parse_summary, kRecord, 234) /* the parsed record, and any insertion into it */              \
    X(parse_summary, kGoalsField, 234) /* data.get("goals", []), on the record's line */           \
    X(parse_summary, kProgressField, 235)                                                          \
    X(parse_summary, kStateField, 236)                                                             \
    X(parse_summary, kDecisionsField, 237)                                                         \
    X(parse_summary, kFactsField, 238)                                                             \
    X(parse_summary, kBlockersField, 239)                                                          \
    X(parse_summary, kNextStepsField, 240)                                                         \
    X(parse_summary, kSummaryField, 241)                                                           \
    X(parse_summary, kTimestamp, 242) /* time.time() */                                            \
    X(parse_summary, kDecodeErrorMatch, 244) /* looking up json.JSONDecodeError to match */        \
    X(parse_summary, kWarning, 245) /* logger.warning(...) */                                      \
    X(parse_summary, kUnparsedRecord, 247) /* an unparsable reply's record, and its goals */       \
    X(parse_summary, kUnparsedProgress, 248)                                                       \
    X(parse_summary, kUnparsedDecisions, 250)                                                      \
    X(parse_summary, kUnparsedFacts, 251)                                                          \
    X(parse_summary, kUnparsedBlockers, 252)                                                       \
    X(parse_summary, kUnparsedNextSteps, 253)                                                      \
    X(parse_summary, kKeptText, 254) /* text[:1000] */                                             \
    X(parse_summary, kUnparsedTimestamp, 255) /* time.time() */                                    \
    /* _empty_summary() */                                                                         \
    X(empty_summary, kDefinition, 259)                                                             \
    X(empty_summary, kRecord, 261) /* the record, any insertion, and the list of "goals" */        \
    X(empty_summary, kProgressList, 262)                                                           \
    X(empty_summary, kDecisionsList, 264)                                                          \
    X(empty_summary, kFactsList, 265)                                                              \
    X(empty_summary, kBlockersList, 266)                                                           \
    X(empty_summary, kNextStepsList, 267)                                                          \
    X(empty_summary, kTimestamp, 269) /* time.time() */                                            \
    /* _fallback_summary(messages) */                                                              \
    X(fallback_summary, kDefinition, 273) /* argument binding */                                   \
    X(fallback_summary, kGoals, 275) /* goals = [] */                                              \
    X(fallback_summary, kProgress, 276) /* progress = [] */                                        \
    X(fallback_summary, kWalk, 278) /* walking `messages` through its own iteration */             \
    X(fallback_summary, kRequestTest, 279) /* msg.get("role") == "user" and ... */                 \
    X(fallback_summary, kRequestRead, 280) /* msg["content"] */                                    \
    X(fallback_summary, kRequestMeasure, 281) /* len(content) */                                   \
    X(fallback_summary, kRequestCut, 282) /* content[:200] + "..." */                              \
    X(fallback_summary, kGoalsAppend, 283) /* goals.append(...) */                                 \
    X(fallback_summary, kFirstGoal, 287) /* the one-entry list of the first request */             \
    X(fallback_summary, kRecord, 290) /* the record, and any insertion into it */                  \
    X(fallback_summary, kStateText, 292) /* the "current_state" text */                            \
    X(fallback_summary, kDecisionsList, 293)                                                       \
    X(fallback_summary, kFactsList, 294)                                                           \
    X(fallback_summary, kBlockersList, 295)                                                        \
    X(fallback_summary, kNextStepsList, 296)                                                       \
    X(fallback_summary, kSummaryText, 297) /* the "summary" text */                                \
    X(fallback_summary, kTimestamp, 298) /* time.time() */
// clang-format on

namespace smz::lines {
SMZ_SUMMARY_LINES(SMZ_LINE_CONSTANT)
}  // namespace smz::lines
