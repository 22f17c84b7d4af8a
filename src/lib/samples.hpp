// Each kernel's steps for one sample with every library call made: the value
// that the faster paths must equal, and the one that every NaN value comes
// from (generators.hpp says why). Each is the waveform's steps
// (waveforms.inc) for one double, compiled once, out of line (samples.cpp),
// so that one copy gives every NaN its bits, whichever path of a kernel
// calls it.
#pragma once

#include <cstdint>

#include "lib/generators.hpp"
#include "lib/widths.hpp"

namespace vuvirida::lib {

double harmonic_oscillator_sample(double t, const Oscillation& s) noexcept;

// False when the interruption stopped the harmonic sum.
[[nodiscard]] bool fourier_square_wave_sample(double t, const Oscillation& s,
                                              std::uint64_t num_harmonics,
                                              Interruption interruption, double& value) noexcept;

double pseudo_square_wave_sample(double t, const Oscillation& s) noexcept;

double pseudo_cycloid_wave_sample(double t, const Oscillation& s) noexcept;

double transient_impulse_sample(double t, const Impulse& s) noexcept;

// The harmonic number k = 2 j + 1 as a float64, rounded to nearest. Below
// 2^63 the odd number fits in 64 bits and converts directly. From 2^63 on it
// does not fit; 2 * double(j | 1) is then its correctly rounded value: the
// spacing of float64 at 2 k is twice that at k, and setting the low bit of j
// moves j off every rounding tie without crossing a rounding midpoint, so it
// rounds the way j + 1/2 does.
inline double harmonic_number(std::uint64_t j) noexcept {
    if (j < (std::uint64_t{1} << 63)) {
        return static_cast<double>(2 * j + 1);
    }
    return 2.0 * static_cast<double>(j | 1);
}

}  // namespace vuvirida::lib
