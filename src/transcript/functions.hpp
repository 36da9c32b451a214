// The module functions of the transcript subsystem, as the module frame binds them.
// Each description sits beside its body.
#pragma once

#include "binding/function_spec.hpp"

namespace smz {

extern const FunctionSpec kFormatMessagesForSummary;  // _format_messages_for_summary(messages)
extern const FunctionSpec kBriefArgs;                 // _brief_args(args)

}  // namespace smz
