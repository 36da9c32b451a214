// The module's function type: every function and method of the module is one of
// these objects. Calls arrive through vectorcall; arguments are matched against the
// function's parameters and typed parameters are tested before its body runs.
#pragma once

#include "binding/function_spec.hpp"
#include "binding/ref.hpp"

namespace smz {

// Creates the function type. Called once, at exec.
bool init_function_type();

// Creates a function object for `spec` with `globals` as its namespace. Returns a new
// reference or null with an exception set.
PyObject* new_function(const FunctionSpec& spec, PyObject* globals);

// The code object a function object carries (borrowed).
PyObject* function_code(PyObject* function) noexcept;

}  // namespace smz
