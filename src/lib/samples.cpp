#include "lib/samples.hpp"

#include <cmath>

#include "lib/impulse_lanes.hpp"

// Never inlined, and never copied or specialised for a caller, so that one
// compiled copy gives every NaN its bits.
#if defined(__clang__)
#define VUVIRIDA_ONE_COPY [[gnu::noinline]]
#elif defined(__GNUC__)
#define VUVIRIDA_ONE_COPY [[gnu::noipa]]
#else
#define VUVIRIDA_ONE_COPY
#endif

namespace vuvirida::lib {

// The per-sample functions: each kernel's steps for one sample, written in
// their documented order, every library call made.
VUVIRIDA_ONE_COPY double harmonic_oscillator_sample(double t, const Oscillation& s) noexcept {
    const auto [amplitude, gamma, omega, phi, y] = s;
    const double e = std::exp(t * gamma);
    const double p = e * amplitude;
    const double c = std::cos((t + phi) * omega);
    return (p * c) + y;
}

// False when the interruption stopped the harmonic sum.
VUVIRIDA_ONE_COPY bool fourier_square_wave_sample(double t, const Oscillation& s,
                                                  std::uint64_t num_harmonics,
                                                  Interruption interruption,
                                                  double& value) noexcept {
    const auto [amplitude, gamma, omega, phi, y] = s;
    const double e = std::exp(gamma * t);
    const double a = e * amplitude;
    const double u = t + phi;
    double sum;
    if (!harmonic_sum(u, omega, num_harmonics, interruption, sum)) return false;
    value = (a * (sum + 1.0)) + y;
    return true;
}

VUVIRIDA_ONE_COPY double pseudo_square_wave_sample(double t, const Oscillation& s) noexcept {
    const auto [amplitude, gamma, omega, phi, y] = s;
    const double e = std::exp(gamma * t);
    const double a = e * amplitude;
    const double theta = (t + phi) * omega;
    const double s1 = std::sin(theta);
    const double s3 = std::sin(theta * 3.0);
    const double v = s1 + (s3 * 0.5);
    return (a * v) + y;
}

VUVIRIDA_ONE_COPY double pseudo_cycloid_wave_sample(double t, const Oscillation& s) noexcept {
    const auto [amplitude, gamma, omega, phi, y] = s;
    const double w2 = omega + omega;
    const double e = std::exp(t * gamma);
    const double a = e * amplitude;
    const double u = t + phi;
    const double c2 = std::cos(w2 * u);
    const double c1 = std::cos(u * omega);
    const double d = c2 - (c1 + c1);
    return (a * d) + y;
}

// transient_impulse's sample t given its remainder lane r and exp lane p
// (NaN: ask the library), as the kernel's steps give it. Where |t| is not
// below kFastBound the lanes saw a placeholder, and the remainder comes from
// fmod and the exp from the library. The pulse exponent is formed here again
// from r, so that the value depends on t and the scalars alone: r is the
// exact remainder, and p, where it is not NaN, the library's exp.
VUVIRIDA_ONE_COPY double transient_impulse_sample(double t, double r, double p, double onset,
                                                  double width, double amplitude,
                                                  double equilibrium) noexcept {
    if (!(std::fabs(t) < kFastBound)) [[unlikely]] {
        r = std::fmod(t, kImpulseCycle);
        p = NAN;
    }
    const double x = r - onset;
    double pulse = +0.0;
    // `!(x < 0)` would let NaN through; the pulse is on only for x >= 0.
    if (x >= 0.0) {
        pulse = p;
        if (std::isnan(pulse)) {
            const double q = x / width;
            pulse = std::exp((q * q) * -0.5);
        }
    }
    return (pulse * amplitude) + equilibrium;
}

}  // namespace vuvirida::lib
