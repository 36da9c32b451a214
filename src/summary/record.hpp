// The summary record: a dict with nine keys in a fixed order. Builders insert them in
// the order of kRecordKeys.
#pragma once

#include "binding/constants.hpp"

namespace smz {

extern ConstStr kGoals;
extern ConstStr kProgress;
extern ConstStr kCurrentState;
extern ConstStr kKeyDecisions;
extern ConstStr kKeyFacts;
extern ConstStr kBlockers;
extern ConstStr kNextSteps;
extern ConstStr kSummary;
extern ConstStr kCreatedAt;

// "time", looked up in the module namespace for the "created_at" stamp.
extern ConstStr kTimeName;

// time.time() through the module global `time`, looked up now. Null with an
// exception set on failure.
Owned record_timestamp();

}  // namespace smz
