// The one place that includes the interpreter's headers, so that every
// translation unit sees them configured the same way.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
