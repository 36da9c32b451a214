// The transcript's texts: the opening and closing of each kind of line, the marker
// of a cut tool result, and the brief's separators. Each entry
// is one member of `kTranscriptStr`, made at exec with the module's other strs.
#pragma once

#include "binding/strings.hpp"

// clang-format off
#define SMZ_TRANSCRIPT_TEXTS(X)             \
    X(tool_result_line, "\n[Tool Result (") \
    X(tool_result_close, ")]: ")            \
    X(truncated, "... [truncated]")         \
    X(assistant_line, "\n[Assistant]: ")    \
    X(called_line, "\n[Assistant called ")  \
    X(called_close, "]: ")                  \
    X(user_line, "\n[User]: ")              \
    X(equals, "=")                          \
    X(comma_blank, ", ")
// clang-format on

namespace smz {

struct TranscriptTexts {
    SMZ_TRANSCRIPT_TEXTS(SMZ_TEXT_MEMBER)
};

extern TranscriptTexts kTranscriptStr;

// Makes every str of the table. False with an exception set on failure.
bool build_transcript_texts();

}  // namespace smz
