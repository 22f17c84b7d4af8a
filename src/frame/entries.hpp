// The call entries, one per row of the function table, each named after its
// function (harmonic_oscillator_entry, ...), as the method records name them.
#pragma once

#include "frame/python.hpp"
#include "lib/function_table.hpp"

namespace vuvirida::frame {

#define VUVIRIDA_CALL_ENTRY(function, ...)                                                \
    PyObject* function##_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, \
                               PyObject* kwnames);
VUVIRIDA_FUNCTION_TABLE(VUVIRIDA_CALL_ENTRY)
#undef VUVIRIDA_CALL_ENTRY

}  // namespace vuvirida::frame
