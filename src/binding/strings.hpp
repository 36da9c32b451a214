// Every str the module uses, in one table. Each entry is one member of `kStr`, so a
// second entry under a name fails to compile; the strs are interned once, at exec,
// and live until the process ends.
//
//   kStr.role              the identifier "role" (identifiers are named by their text)
//   kStr.tool_result_line  the text "\n[Tool Result (" (other texts get a name)
#pragma once

#include "binding/ref.hpp"

// Names the host knows the module by, keys of the records it reads and writes, and
// the attributes and globals it looks up: each spelled as its own C++ name.
// clang-format off
#define SMZ_IDENTIFIERS(X)                                                                  \
    /* the module frame */                                                                  \
    X(json) X(logging) X(time) X(typing) X(Any) X(logger) X(getLogger) X(SUMMARIZE_PROMPT)  \
    X(ConversationSummarizer) X(_format_messages_for_summary) X(_brief_args)                \
    X(_parse_summary) X(_empty_summary) X(_fallback_summary) X(summarize_messages)          \
    /* attributes of host objects */                                                        \
    X(get) X(items) X(loads) X(JSONDecodeError) X(warning) X(error) X(replace) X(add_note)  \
    X(send) X(close) X(cr_await) X(_is_coroutine) X(strip) X(startswith) X(split)           \
    /* the client call */                                                                   \
    X(_llm) X(complete) X(messages) X(max_tokens)                                           \
    /* message records */                                                                   \
    X(role) X(content) X(system) X(user) X(assistant) X(tool) X(unknown) X(tool_call_id)    \
    X(tool_calls) X(function) X(name) X(arguments)                                          \
    /* summary records */                                                                   \
    X(goals) X(progress) X(current_state) X(key_decisions) X(key_facts) X(blockers)         \
    X(next_steps) X(summary) X(created_at)
// clang-format on

// Texts that are not identifiers, each under a name of its own.
#define SMZ_TEXTS(X)                                                                  \
    X(empty, "")                                                                      \
    X(newline, "\n")                                                                  \
    X(ellipsis, "...")                                                                \
    X(dunder_module, "__module__")                                                    \
    X(dunder_qualname, "__qualname__")                                                \
    X(dunder_doc, "__doc__")                                                          \
    X(dunder_test, "__test__")                                                        \
    X(dunder_await, "__await__")                                                      \
    X(throw_method, "throw")                                                          \
    X(module_name, "morvex.core.summarizer")                                          \
    X(logger_name, "morvex.summarizer")                                               \
    X(typing_any, "typing.Any")                                                       \
    X(asyncio_coroutines, "asyncio.coroutines")                                       \
    X(operation_qualname, "ConversationSummarizer.summarize_messages")                \
    X(class_doc, "Summarizes conversation chunks to compress context.")               \
    /* the summarize request */                                                       \
    X(user_request, "Summarize the conversation above. Return ONLY the JSON object.") \
    X(previous_heading, "\n\n## Previous Summary (build on this):\n")                 \
    X(conversation_heading, "\n\n## Conversation to Summarize:\n")                    \
    X(empty_reply, "Empty response from summarizer LLM")                              \
    X(failed_prefix, "Summarization failed: ")                                        \
    /* parsing */                                                                     \
    X(fence, "```")                                                                   \
    X(parse_warning, "Could not parse summary JSON, using fallback")                  \
    /* context text */                                                                \
    X(context_header, "\n## Conversation History Summary")                            \
    X(context_note, "\n*(Earlier messages were summarized to save context space)*\n") \
    X(bullet_line, "\n  - ")                                                          \
    X(goals_heading, "\n### Original Goals")                                          \
    X(progress_heading, "\n### Progress So Far")                                      \
    X(decisions_heading, "\n### Key Decisions")                                       \
    X(facts_heading, "\n### Key Facts")                                               \
    X(blockers_heading, "\n### Issues & Resolutions")                                 \
    X(next_steps_heading, "\n### Next Steps")                                         \
    X(state_heading, "\n### Current State\n")                                         \
    X(narrative_heading, "\n### Narrative Summary\n")                                 \
    /* transcript */                                                                  \
    X(tool_result_line, "\n[Tool Result (")                                           \
    X(tool_result_close, ")]: ")                                                      \
    X(truncated, "... [truncated]")                                                   \
    X(assistant_line, "\n[Assistant]: ")                                              \
    X(called_line, "\n[Assistant called ")                                            \
    X(called_close, "]: ")                                                            \
    X(user_line, "\n[User]: ")                                                        \
    X(equals, "=")                                                                    \
    X(comma_blank, ", ")

namespace smz {

// An interned str made from UTF-8 text. Its length, width and characters are kept
// beside it for text building.
class ConstStr {
public:
    constexpr ConstStr(const char* utf8) noexcept : utf8_(utf8) {}  // NOLINT: table entries
    ConstStr(const ConstStr&) = delete;
    ConstStr& operator=(const ConstStr&) = delete;

    // The object; valid once build_strings() has succeeded.
    PyObject* get() const noexcept { return obj_; }
    operator PyObject*() const noexcept { return obj_; }  // NOLINT: implicit by design
    const void* data() const noexcept { return data_; }
    Py_ssize_t length() const noexcept { return length_; }
    int kind() const noexcept { return kind_; }
    Py_UCS4 max_char() const noexcept { return max_char_; }

    // Makes the str unless it is made already. False with an exception set.
    bool build() noexcept;

private:
    const char* utf8_;
    PyObject* obj_ = nullptr;
    const void* data_ = nullptr;
    Py_ssize_t length_ = 0;
    int kind_ = PyUnicode_1BYTE_KIND;
    Py_UCS4 max_char_ = 0;
};

struct Strings {
#define SMZ_IDENTIFIER_FIELD(name) ConstStr name;
#define SMZ_TEXT_FIELD(name, text) ConstStr name;
    SMZ_IDENTIFIERS(SMZ_IDENTIFIER_FIELD)
    SMZ_TEXTS(SMZ_TEXT_FIELD)
#undef SMZ_IDENTIFIER_FIELD
#undef SMZ_TEXT_FIELD
};

extern Strings kStr;

// Makes every str of the table that is not made yet. False with an exception set on
// failure; the strs made already stay made.
bool build_strings();

}  // namespace smz
