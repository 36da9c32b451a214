#include "summarizer/bodies.hpp"

namespace smz {

PyObject* format_summary_for_context(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "format_summary_for_context is not built yet");
    return nullptr;
}

}  // namespace smz
