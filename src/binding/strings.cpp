#include "binding/strings.hpp"

namespace smz {

#define SMZ_IDENTIFIER_VALUE(name) {#name},
Strings kStr = {SMZ_IDENTIFIERS(SMZ_IDENTIFIER_VALUE) SMZ_TEXTS(SMZ_TEXT_VALUE)};
#undef SMZ_IDENTIFIER_VALUE

bool ConstStr::build() noexcept {
    if (obj_ != nullptr) return true;
    PyObject* text = PyUnicode_InternFromString(utf8_);
    if (text == nullptr) return false;
    data_ = PyUnicode_DATA(text);
    length_ = PyUnicode_GET_LENGTH(text);
    kind_ = PyUnicode_KIND(text);
    max_char_ = PyUnicode_MAX_CHAR_VALUE(text);
    obj_ = text;  // held for the life of the process
    return true;
}

bool build_strings() {
#define SMZ_IDENTIFIER_BUILD(name) &&table.name.build()
    Strings& table = kStr;
    return true SMZ_IDENTIFIERS(SMZ_IDENTIFIER_BUILD) SMZ_TEXTS(SMZ_TEXT_BUILD);
#undef SMZ_IDENTIFIER_BUILD
}

}  // namespace smz
