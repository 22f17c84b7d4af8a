// The module's functions: one row each, in registration order.
//
// A row gives the function's name, which is also the name of its generator
// in vuvirida::lib (generators.hpp), and its parameters in signature order,
// each with its kind (signature.hpp). Everything else about a function is
// derived from its row: its signature object below, its text signature and
// method record (function_table.cpp), its argument binding, binding wrapper
// and call entry (frame/entries.cpp). Adding a function to the module takes
// its generator and its row (and its documentation in the typed stubs).
//
// Each place that needs something per function expands the table with a
// ROW(name, parameters...) macro of its own.
#pragma once

#include <cstddef>

#include "frame/python.hpp"
#include "lib/signature.hpp"

// clang-format off
#define VUVIRIDA_FUNCTION_TABLE(ROW)                                                     \
    ROW(harmonic_oscillator, array("time"), real("amplitude"), real("gamma"),           \
        real("omega"), real("phi"), real("y"))                                           \
    ROW(pseudo_square_wave, array("time"), real("amplitude"), real("gamma"),            \
        real("omega"), real("phi"), real("y"))                                           \
    ROW(fourier_square_wave, array("time"), real("amplitude"), real("gamma"),           \
        real("omega"), real("phi"), real("y"), integer("num_harmonics"))                \
    ROW(pseudo_cycloid_wave, array("time"), real("amplitude"), real("gamma"),           \
        real("omega"), real("phi"), real("y"))                                           \
    ROW(transient_impulse, array("time"), real("amplitude"), real("period"),            \
        real("width"), real("equilibrium"))
// clang-format on

namespace vuvirida::lib {

// Each function's signature, by the function's name.
namespace signatures {
using namespace kinds;
#define VUVIRIDA_SIGNATURE(function, ...) \
    inline constexpr auto function = signature(#function, __VA_ARGS__);
VUVIRIDA_FUNCTION_TABLE(VUVIRIDA_SIGNATURE)
#undef VUVIRIDA_SIGNATURE
}  // namespace signatures

#define VUVIRIDA_ONE(function, ...) +1
inline constexpr std::size_t kFunctionCount = 0 VUVIRIDA_FUNCTION_TABLE(VUVIRIDA_ONE);
#undef VUVIRIDA_ONE

// The fast-call-with-keywords signature of a call entry.
using CallEntry = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

// What the interpreter's method definition is made from at registration.
struct MethodRecord {
    const char* name;
    CallEntry entry;
    int flags;
    const char* doc;  // the text signature
};

// The method records in registration order.
extern const MethodRecord kFunctionTable[kFunctionCount];

}  // namespace vuvirida::lib
