#include "summarizer/bodies.hpp"

namespace smz {

PyObject* format_messages_for_summary(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "format_messages_for_summary is not built yet");
    return nullptr;
}

}  // namespace smz
