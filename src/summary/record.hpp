// The summary record: a dict with nine keys in a fixed order, "goals", "progress",
// "current_state", "key_decisions", "key_facts", "blockers", "next_steps", "summary"
// and "created_at" (kStr.goals to kStr.created_at); builders insert them in that order.
#pragma once

#include "binding/function_spec.hpp"
#include "binding/runtime.hpp"

namespace smz {

// time.time() through the module global `time`, looked up now. Null with an
// exception set on failure.
Owned record_timestamp();

// Stores a new empty list under `key` of `record`. On failure marks `list_line` when
// the list cannot be made, `dict_line` when it cannot be inserted, and returns false.
bool put_new_list(PyObject* record, PyObject* key, const FunctionSpec& spec, int list_line,
                  int dict_line);

// The lines a plain record reports: `dict` for the dictionary, every insertion and the
// list of "goals"; `lists` for the lists of "progress", "key_decisions", "key_facts",
// "blockers" and "next_steps"; `stamp` for time.time().
struct PlainRecordLines {
    int dict;
    int lists[5];
    int stamp;
};

// A new record whose list values are new empty lists, whose "current_state" is "" and
// whose "summary" is `summary_text` (borrowed), stamped with time.time(). Returns a new
// reference, or null with the exception set and a traceback entry from `spec`.
PyObject* new_plain_record(PyObject* summary_text, const FunctionSpec& spec,
                           const PlainRecordLines& lines);

}  // namespace smz
