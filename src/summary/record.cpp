#include "summary/record.hpp"

#include "binding/strings.hpp"

namespace smz {

Owned record_timestamp() {
    Owned time_module = lookup_global(kStr.time);
    if (!time_module) return {};
    return call_method0(time_module.get(), kStr.time);
}

bool put_new_list(PyObject* record, PyObject* key, const FunctionSpec& spec, int list_line,
                  int dict_line) {
    Owned list = Owned::steal(PyList_New(0));
    if (!list) return spec.fail(list_line);
    if (PyDict_SetItem(record, key, list.get()) < 0) return spec.fail(dict_line);
    return true;
}

PyObject* new_plain_record(PyObject* summary_text, const FunctionSpec& spec,
                           const PlainRecordLines& lines) {
    const int dict = lines.dict;
    Owned record = Owned::steal(PyDict_New());
    if (!record) return spec.fail(dict);
    PyObject* r = record.get();
    if (!put_new_list(r, kStr.goals, spec, dict, dict)) return nullptr;
    if (!put_new_list(r, kStr.progress, spec, lines.lists[0], dict)) return nullptr;
    if (PyDict_SetItem(r, kStr.current_state, kStr.empty) < 0) return spec.fail(dict);
    if (!put_new_list(r, kStr.key_decisions, spec, lines.lists[1], dict)) return nullptr;
    if (!put_new_list(r, kStr.key_facts, spec, lines.lists[2], dict)) return nullptr;
    if (!put_new_list(r, kStr.blockers, spec, lines.lists[3], dict)) return nullptr;
    if (!put_new_list(r, kStr.next_steps, spec, lines.lists[4], dict)) return nullptr;
    if (PyDict_SetItem(r, kStr.summary, summary_text) < 0) return spec.fail(dict);
    Owned stamp = record_timestamp();
    if (!stamp) return spec.fail(lines.stamp);
    if (PyDict_SetItem(r, kStr.created_at, stamp.get()) < 0) return spec.fail(dict);
    return record.release();
}

}  // namespace smz
