// The source lines of the module body and of ConversationSummarizer's request
// methods, for their traceback entries: one entry per step, X(function, step, line),
// each a constant of lines::<function> (see SMZ_LINE_CONSTANT). The tests read the
// lines from here.
#pragma once

#include "binding/function_spec.hpp"

// clang-format off
#define SMZ_SUMMARIZER_LINES(X)                                                                    \
    /* the module body's statements, for the entries of a failed import */                         \
    X(module_body, kModuleStart, 1) /* what exec does before the body, and `__test__` */           \
    X(module_body, kImportJson, 15)                                                                \
    X(module_body, kImportLogging, 16)                                                             \
    X(module_body, kImportTime, 17)                                                                \
    X(module_body, kImportAny, 18) /* from typing import Any */                                    \
    X(module_body, kLogger, 20) /* logger = logging.getLogger("morvex.summarizer") */              \
    X(module_body, kPrompt, 23) /* SUMMARIZE_PROMPT = ... */                                       \
    X(module_body, kClass, 55) /* class ConversationSummarizer */                                  \
    /* ConversationSummarizer.__init__(self, llm_client) */                                        \
    X(summarizer_init, kDefinition, 58) /* argument binding */                                     \
    X(summarizer_init, kStoreClient, 59) /* self._llm = llm_client */                              \
    /* ConversationSummarizer.summarize_messages(self, messages, existing_summary=None) */         \
    X(summarize_messages, kDefinition, 62) /* argument binding; a body ending at its entry */      \
    X(summarize_messages, kEmpty, 77) /* `if not messages: return _empty_summary()` */             \
    X(summarize_messages, kTranscript, 80) /* _format_messages_for_summary(messages) */            \
    X(summarize_messages, kPrompt, 82) /* prompt_parts = [SUMMARIZE_PROMPT] */                     \
    X(summarize_messages, kPreviousTest, 84) /* `if existing_summary:` */                          \
    X(summarize_messages, kPreviousAppend, 85) /* prompt_parts.append(...) */                      \
    X(summarize_messages, kPreviousText, 86) /* the heading and the earlier summary's text */      \
    X(summarize_messages, kConversation, 89) /* the heading and the transcript, appended */        \
    X(summarize_messages, kRequest, 92) /* self._llm.complete(...) and awaiting it */              \
    X(summarize_messages, kRequestList, 93) /* the list of the two messages */                     \
    X(summarize_messages, kSystem, 94) /* the system message */                                    \
    X(summarize_messages, kUser, 95) /* the user message */                                        \
    X(summarize_messages, kContentTest, 100) /* `if response.content:` */                          \
    X(summarize_messages, kParse, 101) /* _parse_summary(response.content) */                      \
    X(summarize_messages, kWarning, 103) /* logger.warning(...) */                                 \
    X(summarize_messages, kEmptyFallback, 104) /* _fallback_summary(messages), empty reply */      \
    X(summarize_messages, kError, 107) /* logger.error(...) */                                     \
    X(summarize_messages, kFailureFallback, 108) /* _fallback_summary(messages), in handler */
// clang-format on

namespace smz::lines {
SMZ_SUMMARIZER_LINES(SMZ_LINE_CONSTANT)
}  // namespace smz::lines
