#include "summarizer/bodies.hpp"

namespace smz {

PyObject* parse_summary(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "parse_summary is not built yet");
    return nullptr;
}

}  // namespace smz
