// _empty_summary(): the record of a conversation with no messages, whose every list
// is empty and whose texts are empty.
#include "binding/strings.hpp"
#include "summary/bodies.hpp"
#include "summary/record.hpp"

namespace smz {
namespace {
constexpr TraceSite kEmptySite{"morvex.core.summarizer._empty_summary"};
constexpr PlainRecordLines kEmptyLines{261, {262, 264, 265, 266, 267}, 269};
}  // namespace

PyObject* empty_summary(PyObject*, PyObject* const*) {
    return new_plain_record(kStr.empty, kEmptySite, kEmptyLines);
}

}  // namespace smz
