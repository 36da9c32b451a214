// The bodies of the driver's functions, and through the headers below those of the
// other subsystems, for the module frame that binds them all. Each receives its function object and
// its matched, type-tested arguments (borrowed), and returns a new reference or null with an
// exception set.
#pragma once

#include "binding/ref.hpp"
#include "summary/bodies.hpp"
#include "transcript/bodies.hpp"

namespace smz {

// ConversationSummarizer
PyObject* summarizer_init(PyObject* function, PyObject* const* args);  // self, llm_client
PyObject* summarize_messages(PyObject* function,
                             PyObject* const* args);  // self, messages, existing_summary

// Types and constants the bodies need beyond the shared ones; made at exec.
bool init_summarize_state();

}  // namespace smz
