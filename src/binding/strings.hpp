// The runtime's strs, in one table: the identifiers (names, keys, attributes) and the
// texts every part needs. Each entry is one member of `kStr`, so a second entry under
// a name fails to compile; the strs are interned once, at exec, and live until the
// process ends. The subsystems keep their own texts in tables made the same way.
//
//   kStr.role      the identifier "role" (identifiers are named by their text)
//   kStr.newline   the text "\n" (other texts get a name)
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
    /* the fields a function's code object is given, by code.replace(**fields) */           \
    X(co_argcount) X(co_nlocals) X(co_varnames) X(co_flags) X(co_name) X(co_qualname)       \
    /* the client call */                                                                   \
    X(_llm) X(complete) X(messages) X(max_tokens)                                           \
    /* message records */                                                                   \
    X(role) X(content) X(system) X(user) X(assistant) X(tool) X(unknown) X(tool_call_id)    \
    X(tool_calls) X(function) X(name) X(arguments)                                          \
    /* summary records */                                                                   \
    X(goals) X(progress) X(current_state) X(key_decisions) X(key_facts) X(blockers)         \
    X(next_steps) X(summary) X(created_at)
// clang-format on

// Texts that are not identifiers, each under a name of its own: the runtime's names
// and the atoms every subsystem's texts are made with. The texts of the domain (the
// prompt and request, the headings, the transcript's and the fallback summary's texts)
// live in a table of their own subsystem: summarizer/texts.hpp, summary/texts.hpp,
// transcript/texts.hpp.
#define SMZ_TEXTS(X)                                                    \
    X(empty, "")                                                        \
    X(newline, "\n")                                                    \
    X(ellipsis, "...") /* the mark of a cut text, in every subsystem */ \
    X(dunder_module, "__module__")                                      \
    X(dunder_qualname, "__qualname__")                                  \
    X(dunder_doc, "__doc__")                                            \
    X(dunder_test, "__test__")                                          \
    X(dunder_await, "__await__")                                        \
    X(throw_method, "throw")                                            \
    X(module_name, "morvex.core.summarizer")                            \
    X(logger_name, "morvex.summarizer")                                 \
    X(typing_any, "typing.Any")                                         \
    X(asyncio_coroutines, "asyncio.coroutines")                         \
    X(operation_qualname, "ConversationSummarizer.summarize_messages")

// A subsystem's table of texts is made the same way, from a list of X(name, text)
// entries, with these three:
//   struct SummaryTexts { SMZ_SUMMARY_TEXTS(SMZ_TEXT_MEMBER) };
//   SummaryTexts kSummaryStr = {SMZ_SUMMARY_TEXTS(SMZ_TEXT_VALUE)};
//   bool build_summary_texts() {
//       SummaryTexts& table = kSummaryStr;
//       return true SMZ_SUMMARY_TEXTS(SMZ_TEXT_BUILD);  // each made in turn, at exec
//   }
#define SMZ_TEXT_MEMBER(name, text) ConstStr name;
#define SMZ_TEXT_VALUE(name, text) {text},
#define SMZ_TEXT_BUILD(name, text) &&table.name.build()

namespace smz {

// An interned str made from UTF-8 text. Its length, width and characters are kept
// beside it for text building.
class ConstStr {
public:
    constexpr ConstStr(const char* utf8) noexcept : utf8_(utf8) {}  // NOLINT: table entries
    ConstStr(const ConstStr&) = delete;
    ConstStr& operator=(const ConstStr&) = delete;

    // The UTF-8 text, valid from the start (before the str is made, too): for the
    // host calls that take the text as a char array.
    constexpr const char* utf8() const noexcept { return utf8_; }
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
#define SMZ_IDENTIFIER_MEMBER(name) ConstStr name;
    SMZ_IDENTIFIERS(SMZ_IDENTIFIER_MEMBER)
    SMZ_TEXTS(SMZ_TEXT_MEMBER)
#undef SMZ_IDENTIFIER_MEMBER
};

extern Strings kStr;

// Makes every str of the table that is not made yet. False with an exception set on
// failure; the strs made already stay made.
bool build_strings();

}  // namespace smz
