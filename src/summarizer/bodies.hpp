// The bodies of the module's functions. Each receives its function object and its
// matched, type-tested arguments (borrowed), and returns a new reference or null
// with an exception set.
#pragma once

#include "binding/ref.hpp"

namespace smz {

// ConversationSummarizer
PyObject* summarizer_init(PyObject* function, PyObject* const* args);  // self, llm_client
PyObject* summarize_messages(PyObject* function,
                             PyObject* const* args);  // self, messages, existing_summary
PyObject* format_summary_for_context(PyObject* function, PyObject* const* args);  // self, summary

// Module functions
PyObject* format_messages_for_summary(PyObject* function, PyObject* const* args);  // messages
PyObject* brief_args(PyObject* function, PyObject* const* args);                   // args
PyObject* parse_summary(PyObject* function, PyObject* const* args);                // text
PyObject* empty_summary(PyObject* function, PyObject* const* args);                // none
PyObject* fallback_summary(PyObject* function, PyObject* const* args);             // messages

// Types and constants the bodies need beyond the shared ones; made at exec.
bool init_coroutine_types();
bool init_summarize_state();

}  // namespace smz
