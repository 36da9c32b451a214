// _empty_summary(): the record of a conversation with no messages, whose every list
// is empty and whose texts are empty.
#include "binding/strings.hpp"
#include "summary/functions.hpp"
#include "summary/lines.hpp"
#include "summary/record.hpp"

namespace smz {
namespace {

// The source lines of the function's steps, for its traceback entries (lines.hpp).
using namespace lines::empty_summary;

constexpr PlainRecordLines kLines{
    .dict = kRecord,
    .lists = {kProgressList, kDecisionsList, kFactsList, kBlockersList, kNextStepsList},
    .stamp = kTimestamp,
};

PyObject* empty_summary(const Call& call) {
    return new_plain_record(kStr.empty, call.spec, kLines);
}

constexpr Annotation kAnnotations[] = {{"return", "dict[str, Any]"}};

}  // namespace

const FunctionSpec kEmptySummary = {
    SMZ_QUALNAME("_empty_summary"),
    .name = "_empty_summary",
    .doc = nullptr,
    .line = kDefinition,
    .params = {},  // takes no arguments at all
    .nrequired = 0,
    .locals = {},
    .annotations = kAnnotations,
    .coroutine = false,
    .body = empty_summary,
};

}  // namespace smz
