// Argument matching for the module's function type.
#pragma once

#include "binding/function_spec.hpp"

namespace smz {

// Matches positional arguments and keywords to the parameters of `spec`; `varnames`
// holds the parameter names first. On success `bound` holds one borrowed reference
// per parameter, None for an unfilled optional one. On failure a TypeError (or the
// exception of a keyword comparison) is set.
bool bind_arguments(const FunctionSpec& spec, PyObject* varnames, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** bound);

// Tests the typed parameters for their exact types, in parameter order.
bool check_argument_types(const FunctionSpec& spec, PyObject* const* bound);

}  // namespace smz
