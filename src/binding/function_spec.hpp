// The description of one function of the module, written once, beside its body, with
// designated initializers: its names, docstring, definition line, parameters, locals,
// annotations and body. The function type (function.hpp) and argument matching
// (args.hpp) read it; the body is handed it and names its failing steps through it.
//
//   const FunctionSpec kBriefArgs = {
//       SMZ_QUALNAME("_brief_args"),
//       .name = "_brief_args",
//       .line = kDefinition,  // from lines::brief_args (see SMZ_LINE_CONSTANT)
//       .params = kParams,
//       ...
//       .body = brief_args,
//   };
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <type_traits>

#include "binding/ref.hpp"

// The qualified name and the traceback name made from it, written once.
#define SMZ_QUALNAME(text) .qualname = text, .trace_name = "morvex.core.summarizer." text

// The source lines of the functions' steps live in one table per subsystem, its
// lines.hpp, a list of X(function, step, line) entries; the tests read them there.
//   namespace smz::lines { SMZ_SUMMARY_LINES(SMZ_LINE_CONSTANT) }
// makes each entry a constant of its function's namespace, typed by that function's
// own `Line`, so that lines::parse_summary::kLoads is a lines::parse_summary::Line and
// a helper that takes one function's lines refuses another's. A body takes its
// function's lines in with `using namespace lines::parse_summary;`.
#define SMZ_LINE_CONSTANT(function, step, line) \
    namespace function {                        \
    enum Line : int;                            \
    inline constexpr Line step = Line{line};    \
    }

namespace smz {

// The exact-type test applied to a parameter before the body runs.
enum class ArgType : std::uint8_t { Any, List, Dict, Str, StrOrNone };

struct Param {
    const char* name;
    ArgType type;
};

struct Annotation {
    const char* name;  // parameter name, or "return"
    const char* text;  // the annotation text, stored unevaluated
};

struct FunctionSpec;

// What FunctionSpec::fail returns: the failure value of whatever the failing step's
// function returns, so that every failing step reads the same way. It becomes exactly
// one of three things: a null object, an empty handle or false. Any other conversion
// is refused at compile time: returned from a function of `int` (or any other type)
// it would have to say which value means failure there, and 0 or -1 cannot be
// guessed, so it does not compile.
struct StepFailed {
    operator PyObject*() const noexcept { return nullptr; }  // NOLINT: implicit by design
    operator Owned() const noexcept { return {}; }           // NOLINT
    operator bool() const noexcept { return false; }         // NOLINT
    template <typename Other>
    operator Other() const = delete;  // an exact match for every other type, and deleted
};
static_assert(std::is_convertible_v<StepFailed, PyObject*> &&
              std::is_convertible_v<StepFailed, Owned> && std::is_convertible_v<StepFailed, bool>);
static_assert(!std::is_convertible_v<StepFailed, int> &&
              !std::is_convertible_v<StepFailed, Py_ssize_t> &&
              !std::is_convertible_v<StepFailed, PySendResult>);

// What a body is handed: its own description, the function object that was called and
// its matched arguments (borrowed, one per parameter, defaults filled in).
struct Call {
    const FunctionSpec& spec;
    PyObject* function;
    PyObject* const* args;
};

// A body returns a new reference, or null with an exception set and its traceback
// entry made.
using Body = PyObject* (*)(const Call& call);

inline constexpr std::size_t kMaxParams = 3;

struct FunctionSpec {
    const char* qualname;                 // qualified name
    const char* trace_name;               // traceback name: "morvex.core.summarizer." + qualname
    const char* name;                     // plain name, used in argument error messages
    const char* doc;                      // docstring, or null for None
    int line;                             // definition line
    std::span<const Param> params;        // none: the function takes no arguments at all
    std::size_t nrequired;                // parameters without default; the rest default to None
    std::span<const char* const> locals;  // local names, parameters first
    std::span<const Annotation> annotations;
    bool coroutine;  // marked as a coroutine function
    Body body;

    // Adds the traceback entry of a failing step (its source line) to the pending
    // exception: a failing step reads `return kBriefArgs.fail(kJoin);`.
    StepFailed fail(int step_line) const noexcept;
    // After a failure, once the body's own temporaries are gone: moves the values of
    // its locals, one handle per name of `locals` in that order (null for one the body
    // does not hold), into the traceback entry its failing step made, to be released
    // with that entry, as the host's frame keeps its locals with its traceback. A body
    // ends `return kBriefArgs.keep_locals({&args, nullptr, &local.k, ...});`.
    StepFailed keep_locals(std::initializer_list<Owned*> values) const noexcept;
};

}  // namespace smz
