// The runtime's C texts, in one table: the texts the host is handed as char arrays and
// never as strs, the source file's name and what create and exec read and report,
// some of it before the strs are made. Each entry is one member of `kCText`. A text
// that is a str too is not repeated here: its char array is the str's, kStr.name.utf8().
//
//   kCText.source_file   the text "morvex/core/summarizer.py"
#pragma once

// clang-format off
#define SMZ_C_TEXTS(X)                                                                         \
    /* the file of the code objects and traceback entries */                                   \
    X(source_file, "morvex/core/summarizer.py")                                                \
    /* the traceback entry of a failed exec, and its ImportError's message */                  \
    X(init_trace, "init morvex.core.summarizer")                                               \
    /* the warning of a build for another runtime, and the tests' stand-in version */          \
    X(version_warning, "compile time Python version %d.%d of module '%.100s' does not match "  \
                       "runtime version %d.%d")                                                \
    X(test_runtime_version, "MORVEX_SUMMARIZER_TEST_RUNTIME_VERSION")                          \
    /* what create copies from the import spec into the module's namespace */                  \
    X(spec_loader, "loader") X(spec_origin, "origin") X(spec_parent, "parent")                 \
    X(spec_search_locations, "submodule_search_locations")                                     \
    X(dunder_loader, "__loader__") X(dunder_file, "__file__") X(dunder_package, "__package__") \
    X(dunder_path, "__path__")                                                                 \
    /* the builtins module exec binds */                                                       \
    X(builtins, "builtins") X(dunder_builtins, "__builtins__")                                 \
    /* what the recursion guard adds to its message for a call of a host object */             \
    X(calling_object, " while calling a Python object")
// clang-format on

namespace smz {

struct CTexts {
#define SMZ_C_TEXT_MEMBER(name, text) const char* name;
    SMZ_C_TEXTS(SMZ_C_TEXT_MEMBER)
#undef SMZ_C_TEXT_MEMBER
};

inline constexpr CTexts kCText = {
#define SMZ_C_TEXT_VALUE(name, text) text,
    SMZ_C_TEXTS(SMZ_C_TEXT_VALUE)
#undef SMZ_C_TEXT_VALUE
};

}  // namespace smz
