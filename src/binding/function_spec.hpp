// The description of one function of the module: its names, parameters, annotations,
// source line and body. The function type (function.hpp) and argument matching
// (args.hpp) both read it.
#pragma once

#include <cstdint>

#include "binding/ref.hpp"

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

// A body receives the function object and its matched arguments (borrowed, one per
// parameter, defaults filled in). It returns a new reference, or null with an
// exception set.
using Body = PyObject* (*)(PyObject* function, PyObject* const* args);

inline constexpr int kMaxParams = 3;

struct FunctionSpec {
    const char* name;        // plain name, used in argument error messages
    const char* qualname;    // qualified name
    const char* trace_name;  // traceback name: "morvex.core.summarizer." + qualname
    const char* doc;         // docstring, or null for None
    int line;                // definition line
    const Param* params;
    int nparams;                // 0: the function takes no arguments at all
    int nrequired;              // parameters without default; the rest default to None
    const char* const* locals;  // local names, parameters first
    int nlocals;
    const Annotation* annotations;
    int nannotations;
    bool coroutine;  // marked as a coroutine function
    Body body;
};

}  // namespace smz
