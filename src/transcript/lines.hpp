// The source lines of the transcript's functions, for their traceback entries: one
// entry per step, X(function, step, line), each a constant of lines::<function> (see
// SMZ_LINE_CONSTANT). The tests read the lines from here.
#pragma once

#include "binding/function_spec.hpp"

// clang-format off
#define SMZ_TRANSCRIPT_LINES(X)                                                                    \
    /* _format_messages_for_summary(messages) */                                                   \
    X(format_messages_for_summary, kDefinition, 160) /* argument binding */                        \
    X(format_messages_for_summary, kWalk, 163) /* walking `messages` through its own iteration */  \
    X(format_messages_for_summary, kRole, 164) /* msg.get("role", "unknown") */                    \
    X(format_messages_for_summary, kContent, 165) /* msg.get("content", "") */                     \
    X(format_messages_for_summary, kIsSystem, 167) /* role == "system" */                          \
    X(format_messages_for_summary, kIsTool, 170) /* role == "tool" */                              \
    X(format_messages_for_summary, kToolId, 172) /* msg.get("tool_call_id", "unknown") */          \
    X(format_messages_for_summary, kToolContentTest, 173) /* testing and measuring it */           \
    X(format_messages_for_summary, kToolContentCut, 174) /* content[:500] + "... [truncated]" */   \
    X(format_messages_for_summary, kToolLine, 175) /* building and appending a tool line */        \
    X(format_messages_for_summary, kIsAssistant, 176) /* role == "assistant" */                    \
    X(format_messages_for_summary, kAssistantContentTest, 177) /* testing the content */           \
    X(format_messages_for_summary, kAssistantLine, 178) /* building and appending the line */      \
    X(format_messages_for_summary, kToolCallsTest, 179) /* msg.get("tool_calls"), its truth */     \
    X(format_messages_for_summary, kToolCallsWalk, 180) /* msg["tool_calls"] and walking it */     \
    X(format_messages_for_summary, kName, 182) /* the tool call's name */                          \
    X(format_messages_for_summary, kArgs, 183) /* the tool call's arguments */                     \
    X(format_messages_for_summary, kLoads, 186) /* json.loads(args), and what it raises */         \
    X(format_messages_for_summary, kDecodeErrorMatch, 187) /* json.JSONDecodeError, to match */    \
    X(format_messages_for_summary, kArgsBrief, 190) /* computing args_brief, either branch */      \
    X(format_messages_for_summary, kToolCallLine, 191) /* building and appending the line */       \
    X(format_messages_for_summary, kIsUser, 192) /* role == "user" */                              \
    X(format_messages_for_summary, kUserLine, 193) /* building and appending a user line */        \
    X(format_messages_for_summary, kJoin, 195) /* joining the lines */                             \
    /* _brief_args(args) */                                                                        \
    X(brief_args, kDefinition, 198) /* argument binding */                                         \
    X(brief_args, kWalk, 201) /* walking `args`, the size check included */                        \
    X(brief_args, kValueText, 202) /* str(value) */                                                \
    X(brief_args, kMeasure, 203) /* len(val_str) */                                                \
    X(brief_args, kCut, 204) /* val_str[:100] + "..." */                                           \
    X(brief_args, kEntry, 205) /* building and appending an entry */                               \
    X(brief_args, kJoin, 206) /* joining the entries */
// clang-format on

namespace smz::lines {
SMZ_TRANSCRIPT_LINES(SMZ_LINE_CONSTANT)
}  // namespace smz::lines
