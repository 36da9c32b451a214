// Parsing of the model's reply into a summary record. A reply wrapped in a Markdown
// code fence is unwrapped first; a reply that is then valid JSON gives the parsed
// record, and one that is not gives a record that keeps the beginning of the reply as
// its narrative, after a warning on the module's logger.
#include <algorithm>
#include <utility>

#include "binding/exceptions.hpp"
#include "binding/records.hpp"
#include "binding/runtime.hpp"
#include "binding/strings.hpp"
#include "summary/functions.hpp"
#include "summary/lines.hpp"
#include "summary/record.hpp"
#include "summary/texts.hpp"

namespace smz {
namespace {

// The source lines of the function's steps, for its traceback entries (lines.hpp).
using namespace lines::parse_summary;

// The reply text kept by the record of an unparsable reply, in characters.
constexpr Py_ssize_t kKeptReplyLength = 1000;

// The lines of the record of an unparsable reply.
constexpr PlainRecordLines kUnparsedLines{
    .dict = kUnparsedRecord,
    .lists = {kUnparsedProgress, kUnparsedDecisions, kUnparsedFacts, kUnparsedBlockers,
              kUnparsedNextSteps},
    .stamp = kUnparsedTimestamp,
};

// ---------------------------------------------------------------------------------
// Stripping and the code fence

// The part of a str that str.strip() keeps, as [start, end).
struct Span {
    Py_ssize_t start;
    Py_ssize_t end;
};

// The part of [start, end) of the str `s` that str.strip() keeps: the same whitespace
// test, with no copy made just to look at a line.
Span stripped_span(PyObject* s, Py_ssize_t start, Py_ssize_t end) noexcept {
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
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

// The content of the fenced text `text` of `s`: the lines after the opening fence
// line, up to the first line that is the bare marker once stripped (or to the end),
// joined with "\n". Split at "\n" and joined with "\n" again, those lines are the
// characters between the opening line's end and the closing line's start, so the
// content is found as a span and copied once.
Span fenced_content(PyObject* s, Span text) noexcept {
    const Py_ssize_t first_break = PyUnicode_FindChar(s, '\n', text.start, text.end, 1);
    if (first_break < 0) return {text.end, text.end};  // only the opening line
    const Py_ssize_t start = first_break + 1;
    Py_ssize_t line = start;
    for (;;) {
        Py_ssize_t stop = PyUnicode_FindChar(s, '\n', line, text.end, 1);
        if (stop < 0) stop = text.end;
        if (is_fence(s, stripped_span(s, line, stop))) {
            return {start, line > start ? line - 1 : start};
        }
        if (stop == text.end) return {start, text.end};
        line = stop + 1;
    }
}

// Stripping and unwrapping an exact str: the text, made with one copy
// (none when the reply is already the text). `stripped` says the caller has stripped
// it already.
Owned unwrapped_text(PyObject* reply, bool stripped) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(reply) < 0) return kParseSummary.fail(kStrip);
#endif
    const Py_ssize_t length = PyUnicode_GET_LENGTH(reply);
    Span span = stripped ? Span{0, length} : stripped_span(reply, 0, length);
    Line step = kStrip;
    if (starts_with_fence(reply, span)) {
        span = fenced_content(reply, span);
        step = kJoin;
    }
    Owned text = Owned::steal(PyUnicode_Substring(reply, span.start, span.end));
    if (!text) return kParseSummary.fail(step);
    return text;
}

// Whether obj.method(arg) is true, by the host's truth. -1 with an exception set.
int call_test(PyObject* obj, PyObject* method, PyObject* arg) {
    Owned result = call_method1(obj, method, arg);
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// line.strip(), called as a method.
Owned strip_of(PyObject* line) {
    return call_method0(line, kStr.strip);
}

// Stripping and unwrapping an instance of a str subclass (in builds that accept them): every
// step through the object's own methods, as the host runs them.
Owned unwrapped_by_protocol(PyObject* reply) {
    Owned text = strip_of(reply);
    if (!text) return kParseSummary.fail(kStrip);
    if (PyUnicode_CheckExact(text.get())) return unwrapped_text(text.get(), true);
    const int fenced = call_test(text.get(), kStr.startswith, kSummaryStr.fence);
    if (fenced < 0) return kParseSummary.fail(kFenceTest);
    if (!fenced) return text;
    Owned lines = call_method1(text.get(), kStr.split, kStr.newline);
    if (!lines) return kParseSummary.fail(kSplit);
    Owned json_lines = Owned::steal(PyList_New(0));
    if (!json_lines) return kParseSummary.fail(kJsonLines);
    Owned iter = Owned::steal(PyObject_GetIter(lines.get()));
    if (!iter) return kParseSummary.fail(kWalk);
    bool in_block = false;
    while (Owned line = Owned::steal(PyIter_Next(iter.get()))) {
        Owned stripped = strip_of(line.get());
        const int opens =
            stripped ? call_test(stripped.get(), kStr.startswith, kSummaryStr.fence) : -1;
        if (opens < 0) return kParseSummary.fail(kOpens);
        if (opens && !in_block) {
            in_block = true;
            continue;
        }
        stripped = strip_of(line.get());
        const int closes =
            stripped ? PyObject_RichCompareBool(stripped.get(), kSummaryStr.fence, Py_EQ) : -1;
        if (closes < 0) return kParseSummary.fail(kCloses);
        if (closes && in_block) break;
        if (in_block && PyList_Append(json_lines.get(), line.get()) < 0)
            return kParseSummary.fail(kAppend);
    }
    if (PyErr_Occurred()) return kParseSummary.fail(kWalk);
    Owned joined = Owned::steal(PyUnicode_Join(kStr.newline, json_lines.get()));
    if (!joined) return kParseSummary.fail(kJoin);
    return joined;
}

// ---------------------------------------------------------------------------------
// The parsed record

struct Field {
    const ConstStr& key;
    bool list;  // the default is a new empty list, else ""
    Line line;
};

const Field kParsedFields[] = {
    {kStr.goals, true, kGoalsField},          {kStr.progress, true, kProgressField},
    {kStr.current_state, false, kStateField}, {kStr.key_decisions, true, kDecisionsField},
    {kStr.key_facts, true, kFactsField},      {kStr.blockers, true, kBlockersField},
    {kStr.next_steps, true, kNextStepsField}, {kStr.summary, false, kSummaryField},
};

// data.get(key, default): `get` is looked up on `data` for each field, as any
// attribute, so a value that is not a mapping fails with the host's AttributeError.
Owned read_field(PyObject* data, const Field& field) {
    return record_get(data, field.key,
                      field.list ? Default::new_list() : Default::object(kStr.empty));
}

// json.loads(text) and the record built from its result: the guarded part of parsing.
Owned parse_record(PyObject* text) {
    Owned json = lookup_global(kStr.json);
    if (!json) return kParseSummary.fail(kLoads);
    Owned data = call_method1(json.get(), kStr.loads, text);
    if (!data) return kParseSummary.fail(kLoads);
    Owned record = Owned::steal(PyDict_New());
    if (!record) return kParseSummary.fail(kRecord);
    for (const Field& field : kParsedFields) {
        Owned value = read_field(data.get(), field);
        if (!value) return kParseSummary.fail(field.line);
        if (PyDict_SetItem(record.get(), field.key, value.get()) < 0) {
            return kParseSummary.fail(kRecord);
        }
    }
    Owned stamp = record_timestamp();
    if (!stamp) return kParseSummary.fail(kTimestamp);
    if (PyDict_SetItem(record.get(), kStr.created_at, stamp.get()) < 0)
        return kParseSummary.fail(kRecord);
    return record;
}

// ---------------------------------------------------------------------------------
// Catching the decode error

// Matches `exc` against json.JSONDecodeError, looked up now: 1 or 0; -1 with an
// exception set (and its traceback entry made) when the class cannot be had.
int is_decode_error(PyObject* exc) {
    const int matched = is_json_decode_error(exc);
    if (matched < 0) kParseSummary.fail(kDecodeErrorMatch);
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
    Owned logger = lookup_global(kStr.logger);
    if (!logger) return kParseSummary.fail(kWarning);
    if (!call_method1(logger.get(), kStr.warning, kSummaryStr.parse_warning))
        return kParseSummary.fail(kWarning);
    Owned kept = head_of(text, kKeptReplyLength);
    if (!kept) return kParseSummary.fail(kKeptText);
    return new_plain_record(kept.get(), kParseSummary, kUnparsedLines);
}

}  // namespace

PyObject* parse_summary(const Call& call) {
    PyObject* reply = call.args[0];  // borrowed: a str
    Owned text =
        PyUnicode_CheckExact(reply) ? unwrapped_text(reply, false) : unwrapped_by_protocol(reply);
    if (!text) return nullptr;
    Owned record = parse_record(text.get());
    if (record) return record.release();
    return handle_parse_failure(text.get());
}

namespace {
constexpr Param kParams[] = {{"text", ArgType::Str}};
constexpr const char* kLocals[] = {"text", "lines", "json_lines", "in_block", "line", "data"};
constexpr Annotation kAnnotations[] = {{"text", "str"}, {"return", "dict[str, Any]"}};
}  // namespace

const FunctionSpec kParseSummary = {
    SMZ_QUALNAME("_parse_summary"),
    .name = "_parse_summary",
    .doc = "Parse the LLM's JSON response into a summary dict.",
    .line = kDefinition,
    .params = kParams,
    .nrequired = 1,
    .locals = kLocals,
    .annotations = kAnnotations,
    .coroutine = false,
    .body = parse_summary,
};

}  // namespace smz
