#include "summarizer/bodies.hpp"

namespace smz {

PyObject* brief_args(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "brief_args is not built yet");
    return nullptr;
}

}  // namespace smz
