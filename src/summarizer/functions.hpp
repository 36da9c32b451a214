// The methods of ConversationSummarizer that drive a summary, as the module frame binds
// them. Each description sits beside its body.
#pragma once

#include "binding/function_spec.hpp"

namespace smz {

extern const FunctionSpec kSummarizerInit;     // __init__(self, llm_client)
extern const FunctionSpec kSummarizeMessages;  // summarize_messages(self, messages, ...)

// Makes what the summarize request needs beyond the table of strs; once, at exec.
bool init_summarize_state();

}  // namespace smz
