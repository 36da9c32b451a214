#include "summary/record.hpp"

#include "summary/bodies.hpp"

namespace smz {

ConstStr kGoals{"goals"};
ConstStr kProgress{"progress"};
ConstStr kCurrentState{"current_state"};
ConstStr kKeyDecisions{"key_decisions"};
ConstStr kKeyFacts{"key_facts"};
ConstStr kBlockers{"blockers"};
ConstStr kNextSteps{"next_steps"};
ConstStr kSummary{"summary"};
ConstStr kCreatedAt{"created_at"};

Owned record_timestamp() {
    Owned time_module = lookup_global(kTimeName);
    if (!time_module) return {};
    return call_method0(time_module.get(), kTimeName);
}

bool put_new_list(PyObject* record, PyObject* key, const TraceSite& site, int list_line,
                  int dict_line) {
    Owned list = Owned::steal(PyList_New(0));
    if (!list) {
        site.mark(list_line);
        return false;
    }
    if (PyDict_SetItem(record, key, list.get()) < 0) {
        site.mark(dict_line);
        return false;
    }
    return true;
}

PyObject* new_plain_record(PyObject* summary_text, const TraceSite& site,
                           const PlainRecordLines& lines) {
    const int dict = lines.dict;
    Owned record = Owned::steal(PyDict_New());
    if (!record) return site.fail(dict);
    PyObject* r = record.get();
    if (!put_new_list(r, kGoals, site, dict, dict)) return nullptr;
    if (!put_new_list(r, kProgress, site, lines.lists[0], dict)) return nullptr;
    if (PyDict_SetItem(r, kCurrentState, kEmptyStr) < 0) return site.fail(dict);
    if (!put_new_list(r, kKeyDecisions, site, lines.lists[1], dict)) return nullptr;
    if (!put_new_list(r, kKeyFacts, site, lines.lists[2], dict)) return nullptr;
    if (!put_new_list(r, kBlockers, site, lines.lists[3], dict)) return nullptr;
    if (!put_new_list(r, kNextSteps, site, lines.lists[4], dict)) return nullptr;
    if (PyDict_SetItem(r, kSummary, summary_text) < 0) return site.fail(dict);
    Owned stamp = record_timestamp();
    if (!stamp) return site.fail(lines.stamp);
    if (PyDict_SetItem(r, kCreatedAt, stamp.get()) < 0) return site.fail(dict);
    return record.release();
}

namespace {
constexpr TraceSite kEmptySite{"morvex.core.summarizer._empty_summary"};
constexpr PlainRecordLines kEmptyLines{261, {262, 264, 265, 266, 267}, 269};
}  // namespace

PyObject* empty_summary(PyObject*, PyObject* const*) {
    return new_plain_record(kEmptyStr, kEmptySite, kEmptyLines);
}

}  // namespace smz
