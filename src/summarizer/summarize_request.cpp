#include "summarizer/bodies.hpp"

namespace smz {

PyObject* summarizer_init(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "summarizer_init is not built yet");
    return nullptr;
}

}  // namespace smz

namespace smz {

PyObject* summarize_messages(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "summarize_messages is not built yet");
    return nullptr;
}

bool init_summarize_state() { return true; }

}  // namespace smz
