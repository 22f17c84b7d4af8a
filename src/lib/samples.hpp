// Each kernel's steps for one sample, written in their documented order with
// every library call made: the value the kernels' faster paths must equal,
// and the one that every NaN value comes from (generators.hpp says why).
// Each is compiled once, out of line (samples.cpp), so that one copy gives
// every NaN its bits, whichever path of a kernel calls it.
#pragma once

#include <cmath>
#include <cstdint>

#include "lib/generators.hpp"

namespace vuvirida::lib {

// The scalars of the four oscillating kernels, as their per-sample functions
// take them.
struct Oscillation {
    double amplitude;
    double gamma;
    double omega;
    double phi;
    double y;
};

double harmonic_oscillator_sample(double t, const Oscillation& s) noexcept;

// False when the interruption stopped the harmonic sum.
[[nodiscard]] bool fourier_square_wave_sample(double t, const Oscillation& s,
                                              std::uint64_t num_harmonics,
                                              Interruption interruption, double& value) noexcept;

double pseudo_square_wave_sample(double t, const Oscillation& s) noexcept;

double pseudo_cycloid_wave_sample(double t, const Oscillation& s) noexcept;

// transient_impulse's sample t given its remainder lane r and exp lane p
// (NaN: ask the library); see samples.cpp.
double transient_impulse_sample(double t, double r, double p, double onset, double width,
                                double amplitude, double equilibrium) noexcept;

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

// The Fourier sum from its term j = first on to before `stop`, added to `sum`
// in increasing order of the harmonic number k = 2 j + 1.
inline double add_harmonics(double sum, double u, double omega, std::uint64_t first,
                            std::uint64_t stop) noexcept {
    for (std::uint64_t j = first; j < stop; ++j) {
        const double kf = harmonic_number(j);
        const double wk = kf * omega;
        const double s = std::sin(u * wk);
        sum = sum + ((s * kFourOverPi) / kf);
    }
    return sum;
}

// The sum of exactly num_harmonics odd harmonics, in increasing order, from
// 0; a long sum in stretches of kPollWork terms, asking `interruption`
// between them. False when it stopped early.
[[gnu::always_inline]] inline bool harmonic_sum(double u, double omega, std::uint64_t num_harmonics,
                                                Interruption interruption, double& sum) noexcept {
    sum = 0.0;
    if (num_harmonics <= kPollWork) [[likely]] {
        sum = add_harmonics(sum, u, omega, 0, num_harmonics);
        return true;
    }
    for (std::uint64_t j = 0; j < num_harmonics;) {
        const std::uint64_t stop = num_harmonics - j > kPollWork ? j + kPollWork : num_harmonics;
        sum = add_harmonics(sum, u, omega, j, stop);
        if (stop < num_harmonics && interruption.requested()) return false;
        j = stop;
    }
    return true;
}

}  // namespace vuvirida::lib
