// Binding a call's arguments to parameter slots. Every parameter of every
// function may be given by position or by keyword, and every one is required.
#pragma once

#include <cstddef>

#include "frame/error.hpp"
#include "frame/published.hpp"
#include "lib/signature.hpp"

namespace vuvirida::frame {

// What binding works from: a function's name and parameters, as its row of
// the function table gives them.
struct FunctionDescription {
    const char* name;
    const lib::Parameter* parameters;
    std::size_t count;
    // The parameter names as interned strings, made on the first keyword call,
    // so that keywords are first compared by identity.
    Published<PyObject>* interned;
};

// Fills `slots` (count entries) with borrowed references to the arguments and
// returns the filled slots: `args` itself when the call is purely positional
// and complete, else `slots`. Fails with the binding TypeError.
Outcome<PyObject* const*> extract_arguments_fastcall(const FunctionDescription& description,
                                                     PyObject* const* args, Py_ssize_t nargs,
                                                     PyObject* kwnames, PyObject** slots);

}  // namespace vuvirida::frame
