// The functions of the summary-record subsystem, as the module frame binds them: the
// module functions that make records, and the method that renders one as context
// text. Each description sits beside its body.
#pragma once

#include "binding/function_spec.hpp"

namespace smz {

extern const FunctionSpec kFormatSummaryForContext;  // ConversationSummarizer method
extern const FunctionSpec kParseSummary;             // _parse_summary(text)
extern const FunctionSpec kEmptySummary;             // _empty_summary()
extern const FunctionSpec kFallbackSummary;          // _fallback_summary(messages)

}  // namespace smz
