#include "summary/record.hpp"

#include "binding/runtime.hpp"
#include "summarizer/bodies.hpp"

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
ConstStr kTimeName{"time"};

Owned record_timestamp() {
    Owned time_module = lookup_global(kTimeName);
    if (!time_module) return {};
    return call_method0(time_module.get(), kTimeName);
}

namespace {
constexpr TraceSite kEmptySite{"morvex.core.summarizer._empty_summary"};

// A new empty list stored under `key`.
bool set_new_list(PyObject* record, PyObject* key) {
    Owned list = Owned::steal(PyList_New(0));
    return list && PyDict_SetItem(record, key, list.get()) == 0;
}
}  // namespace

PyObject* empty_summary(PyObject*, PyObject* const*) {
    Owned record = Owned::steal(PyDict_New());
    if (!record || !set_new_list(record.get(), kGoals)) return kEmptySite.fail(261);
    if (!set_new_list(record.get(), kProgress)) return kEmptySite.fail(262);
    if (PyDict_SetItem(record.get(), kCurrentState, kEmptyStr) < 0) return kEmptySite.fail(261);
    if (!set_new_list(record.get(), kKeyDecisions)) return kEmptySite.fail(264);
    if (!set_new_list(record.get(), kKeyFacts)) return kEmptySite.fail(265);
    if (!set_new_list(record.get(), kBlockers)) return kEmptySite.fail(266);
    if (!set_new_list(record.get(), kNextSteps)) return kEmptySite.fail(267);
    if (PyDict_SetItem(record.get(), kSummary, kEmptyStr) < 0) return kEmptySite.fail(261);
    Owned stamp = record_timestamp();
    if (!stamp) return kEmptySite.fail(269);
    if (PyDict_SetItem(record.get(), kCreatedAt, stamp.get()) < 0) return kEmptySite.fail(261);
    return record.release();
}

}  // namespace smz
