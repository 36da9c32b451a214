// Parsing of the model's reply into a summary record. A reply wrapped in a Markdown
// code fence is unwrapped first; a reply that is then valid JSON gives the parsed
// record, and one that is not gives a record that keeps the beginning of the reply as
// its narrative, after a warning on the module's logger.
#include <algorithm>
#include <utility>

#include "binding/exceptions.hpp"
#include "binding/runtime.hpp"
#include "summary/bodies.hpp"
#include "summary/record.hpp"

namespace smz {
namespace {

constexpr TraceSite kSite{"morvex.core.summarizer._parse_summary"};

ConstStr kParseWarning{"Could not parse summary JSON, using fallback"};

// The reply text kept by the record of an unparsable reply, in characters.
constexpr Py_ssize_t kKeptReplyLength = 1000;

// The lines of the record of an unparsable reply.
constexpr PlainRecordLines kUnparsedLines{247, {248, 250, 251, 252, 253}, 255};

// Marks the failing step of a helper that returns a handle.
Owned failed(int line) {
    kSite.mark(line);
    return {};
}

// ---------------------------------------------------------------------------------
// Stripping and the code fence

// The part of a str that str.strip() keeps, as [start, end).
struct Span {
    Py_ssize_t start;
    Py_ssize_t end;
};

// The same whitespace test as str.strip(), so no copy is made just to look at a line.
Span stripped_span(PyObject* s) noexcept {
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    Py_ssize_t start = 0;
    Py_ssize_t end = PyUnicode_GET_LENGTH(s);
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    return {start, end};
}

// Whether the span starts with the fence marker (three grave accents).
bool starts_with_fence(PyObject* s, Span span) noexcept {
    if (span.end - span.start < 3) return false;
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = span.start; i < span.start + 3; ++i) {
        if (PyUnicode_READ(kind, data, i) != '`') return false;
    }
    return true;
}

// Whether the span is exactly the fence marker.
bool is_fence(PyObject* s, Span span) noexcept {
    return span.end - span.start == 3 && starts_with_fence(s, span);
}

// The content of a fenced reply: the lines after the opening fence line, up to the
// first line that is the bare marker once stripped (or to the end), joined with "\n".
// Content lines are kept as they are, surrounding whitespace included.
Owned unwrap_fence(PyObject* text) {
    Owned lines = Owned::steal(PyUnicode_Split(text, kNewline, -1));
    if (!lines) return failed(216);
    Owned json_lines = Owned::steal(PyList_New(0));
    if (!json_lines) return failed(218);
    bool in_block = false;
    // The split list is ours and no host code runs in this loop, so its items can be
    // read borrowed.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines.get()); ++i) {
        PyObject* line = PyList_GET_ITEM(lines.get(), i);
        const Span span = stripped_span(line);
        if (!in_block && starts_with_fence(line, span)) {
            in_block = true;
            continue;
        }
        if (in_block && is_fence(line, span)) break;
        if (in_block && PyList_Append(json_lines.get(), line) < 0) return failed(227);
    }
    Owned joined = Owned::steal(PyUnicode_Join(kNewline, json_lines.get()));
    if (!joined) return failed(228);
    return joined;
}

// ---------------------------------------------------------------------------------
// The parsed record

struct Field {
    const ConstStr& key;
    bool list;  // the default is a new empty list, else ""
    int line;
};

const Field kParsedFields[] = {
    {kGoals, true, 234},        {kProgress, true, 235}, {kCurrentState, false, 236},
    {kKeyDecisions, true, 237}, {kKeyFacts, true, 238}, {kBlockers, true, 239},
    {kNextSteps, true, 240},    {kSummary, false, 241},
};

// data.get(key, default): `get` is looked up on `data` for each field, as any
// attribute, so a value that is not a mapping fails with the host's AttributeError.
Owned read_field(PyObject* data, const Field& field) {
    Owned get = Owned::steal(PyObject_GetAttr(data, kGet));
    if (!get) return {};
    Owned fallback = field.list ? Owned::steal(PyList_New(0)) : Owned::ref(kEmptyStr);
    if (!fallback) return {};
    PyObject* args[] = {field.key.get(), fallback.get()};
    return call(get.get(), args, 2);
}

// json.loads(text) and the record built from its result: the guarded part of parsing.
Owned parse_record(PyObject* text) {
    Owned json = lookup_global(kJsonName);
    if (!json) return failed(231);
    Owned data = call_method1(json.get(), kLoads, text);
    if (!data) return failed(231);
    Owned record = Owned::steal(PyDict_New());
    if (!record) return failed(234);
    for (const Field& field : kParsedFields) {
        Owned value = read_field(data.get(), field);
        if (!value) return failed(field.line);
        if (PyDict_SetItem(record.get(), field.key, value.get()) < 0) {
            return failed(234);
        }
    }
    Owned stamp = record_timestamp();
    if (!stamp) return failed(242);
    if (PyDict_SetItem(record.get(), kCreatedAt, stamp.get()) < 0) return failed(234);
    return record;
}

// ---------------------------------------------------------------------------------
// Catching the decode error

// Matches `exc` against json.JSONDecodeError, looked up now: 1 or 0; -1 with an
// exception set (and its traceback entry made) when the class cannot be had.
int is_decode_error(PyObject* exc) {
    const int matched = is_json_decode_error(exc);
    if (matched < 0) kSite.mark(244);
    return matched;
}

// After a failure of the guarded part: a decode error gives the warning and the record
// that keeps the first characters of `text`; anything else is raised again.
PyObject* handle_parse_failure(PyObject* text) {
    Owned exc = take_raised();
    if (!exc) return nullptr;  // normalizing the error failed; that error is pending
    HandledException handling(exc.get());
    const int matched = is_decode_error(exc.get());
    if (matched < 0) return nullptr;
    if (matched == 0) {
        raise_again(std::move(exc));
        return nullptr;
    }
    Owned logger = lookup_global(kLoggerName);
    if (!logger) return kSite.fail(245);
    if (!call_method1(logger.get(), kWarning, kParseWarning)) return kSite.fail(245);
    const Py_ssize_t length = std::min(PyUnicode_GET_LENGTH(text), kKeptReplyLength);
    Owned kept = Owned::steal(PyUnicode_Substring(text, 0, length));
    if (!kept) return kSite.fail(254);
    return new_plain_record(kept.get(), kSite, kUnparsedLines);
}

}  // namespace

PyObject* parse_summary(PyObject*, PyObject* const* args) {
    PyObject* reply = args[0];  // borrowed: exactly a str
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(reply) < 0) return kSite.fail(212);
#endif
    const Span span = stripped_span(reply);
    Owned text = Owned::steal(PyUnicode_Substring(reply, span.start, span.end));
    if (!text) return kSite.fail(212);
    if (starts_with_fence(text.get(), {0, PyUnicode_GET_LENGTH(text.get())})) {
        text = unwrap_fence(text.get());
        if (!text) return nullptr;
    }
    Owned record = parse_record(text.get());
    if (record) return record.release();
    return handle_parse_failure(text.get());
}

}  // namespace smz
