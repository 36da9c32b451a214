#include "summary/record.hpp"

#include "binding/strings.hpp"

namespace smz {

Owned record_timestamp() {
    Owned time_module = lookup_global(kStr.time);
    if (!time_module) return {};
    return call_method0(time_module.get(), kStr.time);
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
    if (!put_new_list(r, kStr.goals, site, dict, dict)) return nullptr;
    if (!put_new_list(r, kStr.progress, site, lines.lists[0], dict)) return nullptr;
    if (PyDict_SetItem(r, kStr.current_state, kStr.empty) < 0) return site.fail(dict);
    if (!put_new_list(r, kStr.key_decisions, site, lines.lists[1], dict)) return nullptr;
    if (!put_new_list(r, kStr.key_facts, site, lines.lists[2], dict)) return nullptr;
    if (!put_new_list(r, kStr.blockers, site, lines.lists[3], dict)) return nullptr;
    if (!put_new_list(r, kStr.next_steps, site, lines.lists[4], dict)) return nullptr;
    if (PyDict_SetItem(r, kStr.summary, summary_text) < 0) return site.fail(dict);
    Owned stamp = record_timestamp();
    if (!stamp) return site.fail(lines.stamp);
    if (PyDict_SetItem(r, kStr.created_at, stamp.get()) < 0) return site.fail(dict);
    return record.release();
}

}  // namespace smz
