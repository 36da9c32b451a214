// Process-wide constants. Each file declares the texts and ints it needs as
// namespace-scope ConstStr / ConstInt objects; the module's exec step builds all of
// them at once (build_constants), and they live until the process ends.
#pragma once

#include "binding/ref.hpp"

namespace smz {

class Constant {
public:
    Constant(const Constant&) = delete;
    Constant& operator=(const Constant&) = delete;
    // The object; valid once build_constants() has succeeded.
    PyObject* get() const noexcept { return obj_; }
    operator PyObject*() const noexcept { return obj_; }  // NOLINT: implicit by design

protected:
    Constant() noexcept;
    virtual ~Constant() = default;
    virtual PyObject* make() = 0;

private:
    friend bool build_constants();
    PyObject* obj_ = nullptr;
    Constant* next_ = nullptr;
};

// An interned str built from UTF-8 text. Its length, width and characters are kept
// beside it for text building.
class ConstStr final : public Constant {
public:
    explicit ConstStr(const char* utf8) noexcept : utf8_(utf8) {}
    const void* data() const noexcept { return data_; }
    Py_ssize_t length() const noexcept { return length_; }
    int kind() const noexcept { return kind_; }
    Py_UCS4 max_char() const noexcept { return max_char_; }

private:
    PyObject* make() override;
    const char* utf8_;
    const void* data_ = nullptr;
    Py_ssize_t length_ = 0;
    int kind_ = PyUnicode_1BYTE_KIND;
    Py_UCS4 max_char_ = 0;
};

// A host int.
class ConstInt final : public Constant {
public:
    explicit ConstInt(long value) noexcept : value_(value) {}

private:
    PyObject* make() override;
    long value_;
};

// Builds every registered constant that is not built yet. False with an exception set
// on failure; constants already built stay built.
bool build_constants();

// Constants shared by several subsystems.
extern ConstStr kEmptyStr;    // ""
extern ConstStr kNewline;     // "\n"
extern ConstStr kModuleName;  // "morvex.core.summarizer"
// Texts used by more than one subsystem: record keys and values, and the names of
// module globals and of their attributes.
extern ConstStr kGet;              // "get"
extern ConstStr kRole;             // "role"
extern ConstStr kContent;          // "content"
extern ConstStr kSystem;           // "system"
extern ConstStr kUser;             // "user"
extern ConstStr kUnknown;          // "unknown"
extern ConstStr kEllipsis;         // "..."
extern ConstStr kJsonName;         // "json"
extern ConstStr kLoads;            // "loads"
extern ConstStr kJsonDecodeError;  // "JSONDecodeError"
extern ConstStr kLoggerName;       // "logger"
extern ConstStr kWarning;          // "warning"
extern ConstStr kTimeName;         // "time"
extern ConstInt kInt500;
extern ConstInt kInt2048;

}  // namespace smz
