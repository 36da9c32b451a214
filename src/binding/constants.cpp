#include "binding/constants.hpp"

namespace smz {
namespace {
Constant* g_constants = nullptr;  // registration list, built in static initialisation
}

Constant::Constant() noexcept : next_(g_constants) {
    g_constants = this;
}

PyObject* ConstStr::make() {
    PyObject* text = PyUnicode_InternFromString(utf8_);
    if (text == nullptr) return nullptr;
    data_ = PyUnicode_DATA(text);
    length_ = PyUnicode_GET_LENGTH(text);
    kind_ = PyUnicode_KIND(text);
    max_char_ = PyUnicode_MAX_CHAR_VALUE(text);
    return text;
}

PyObject* ConstInt::make() {
    return PyLong_FromLong(value_);
}

bool build_constants() {
    for (Constant* c = g_constants; c != nullptr; c = c->next_) {
        if (c->obj_ != nullptr) continue;
        PyObject* obj = c->make();
        if (obj == nullptr) return false;
        c->obj_ = obj;  // held for the life of the process
    }
    return true;
}

ConstStr kEmptyStr{""};
ConstStr kNewline{"\n"};
ConstStr kModuleName{"morvex.core.summarizer"};
ConstStr kGet{"get"};
ConstStr kRole{"role"};
ConstStr kContent{"content"};
ConstStr kSystem{"system"};
ConstStr kUser{"user"};
ConstStr kUnknown{"unknown"};
ConstStr kEllipsis{"..."};
ConstStr kJsonName{"json"};
ConstStr kLoads{"loads"};
ConstStr kJsonDecodeError{"JSONDecodeError"};
ConstStr kLoggerName{"logger"};
ConstStr kWarning{"warning"};
ConstStr kTimeName{"time"};
ConstInt kInt500{500};
ConstInt kInt2048{2048};

}  // namespace smz
