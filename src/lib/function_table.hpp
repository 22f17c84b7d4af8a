// The module's five functions, in registration order.
#pragma once

#include <cstddef>

#include "frame/python.hpp"

namespace vuvirida::lib {

// The fast-call-with-keywords signature of a call entry.
using CallEntry = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

struct MethodRecord {
    const char* name;
    CallEntry entry;
    int flags;
    // "name(parameters)\n--\n\n": the interpreter shows the parenthesised list
    // as the text signature, and the function has no docstring.
    const char* doc;
};

inline constexpr std::size_t kFunctionCount = 5;
extern const MethodRecord kFunctionTable[kFunctionCount];

}  // namespace vuvirida::lib
