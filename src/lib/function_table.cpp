#include "lib/function_table.hpp"

#include "frame/entries.hpp"

namespace vuvirida::lib {

namespace {
constexpr int kCallConvention = METH_FASTCALL | METH_KEYWORDS;
}

const MethodRecord kFunctionTable[kFunctionCount] = {
    {"harmonic_oscillator", frame::harmonic_oscillator_entry, kCallConvention,
     "harmonic_oscillator(time, amplitude, gamma, omega, phi, y)\n--\n\n"},
    {"pseudo_square_wave", frame::pseudo_square_wave_entry, kCallConvention,
     "pseudo_square_wave(time, amplitude, gamma, omega, phi, y)\n--\n\n"},
    {"fourier_square_wave", frame::fourier_square_wave_entry, kCallConvention,
     "fourier_square_wave(time, amplitude, gamma, omega, phi, y, num_harmonics)\n--\n\n"},
    {"pseudo_cycloid_wave", frame::pseudo_cycloid_wave_entry, kCallConvention,
     "pseudo_cycloid_wave(time, amplitude, gamma, omega, phi, y)\n--\n\n"},
    {"transient_impulse", frame::transient_impulse_entry, kCallConvention,
     "transient_impulse(time, amplitude, period, width, equilibrium)\n--\n\n"},
};

}  // namespace vuvirida::lib
