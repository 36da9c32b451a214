#include "summarizer/bodies.hpp"

namespace smz {

PyObject* fallback_summary(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "fallback_summary is not built yet");
    return nullptr;
}

}  // namespace smz
