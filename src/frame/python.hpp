// The one place that includes the interpreter's headers, so that every
// translation unit sees them configured the same way.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vuvirida::frame {

// Whether the interpreter is shutting down: public from 3.13, private before.
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace vuvirida::frame
