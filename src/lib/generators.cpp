#include "lib/generators.hpp"

#include <algorithm>
#include <cmath>

#include "lib/exp_lanes.hpp"
#include "lib/impulse_lanes.hpp"
#include "lib/loops.hpp"

namespace vuvirida::lib {

namespace {

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

// One sample's value from its remainder lane r, pulse exponent z and exp
// lane p, as the kernel's steps give it; where |t| is not below kFastBound
// the lanes saw a placeholder, and the remainder and exponent come from fmod
// and the exp from the library.
inline double impulse_value(double t, double r, double z, double p, double onset, double width,
                            double amplitude, double equilibrium) noexcept {
    if (!(std::fabs(t) < kFastBound)) [[unlikely]] {
        r = std::fmod(t, kImpulseCycle);
        const double q = (r - onset) / width;
        z = (q * q) * -0.5;
        p = NAN;
    }
    const double x = r - onset;
    double pulse = +0.0;
    // `!(x < 0)` would let NaN through; the pulse is on only for x >= 0.
    if (x >= 0.0) pulse = exp_from_lane(p, z);
    return (pulse * amplitude) + equilibrium;
}

}  // namespace

bool harmonic_oscillator(Samples time, std::size_t n, double* out, double amplitude, double gamma,
                         double omega, double phi, double y, Interruption interruption) noexcept {
    return by_zero_scalars(gamma, omega, [=](auto zero_rate, auto zero_frequency) {
        return envelopes_in_stretches<true, zero_rate>(
            time, n, [=](double t) { return t * gamma; }, 2, interruption,
            [=](std::size_t i, double t, double e) {
                const double p = e * amplitude;
                const double c = cos_of<zero_frequency>((t + phi) * omega);
                out[i] = (p * c) + y;
            });
    });
}

bool fourier_square_wave(Samples time, std::size_t n, double* out, double amplitude, double gamma,
                         double omega, double phi, double y, std::uint64_t num_harmonics,
                         Interruption interruption) noexcept {
    // One sample's work is its exp and its num_harmonics sines. Where that is
    // more than a stretch, the harmonic sum itself polls every kPollWork terms.
    const std::size_t work =
        num_harmonics >= kPollWork ? kPollWork : static_cast<std::size_t>(num_harmonics) + 1;
    return by_zero_scalars(gamma, omega, [=](auto zero_rate, auto zero_frequency) {
        return envelopes_in_stretches<true, zero_rate>(
            time, n, [=](double t) { return gamma * t; }, work, interruption,
            [=](std::size_t i, double t, double e) {
                const double a = e * amplitude;
                const double u = t + phi;
                double sum = 0.0;
                // With a zero frequency and a finite u every argument u * (k * omega)
                // is a zero, so every term (sin(+-0) * 4/pi) / k is a zero and the
                // sum stays +0.0: adding either zero to +0.0 gives +0.0.
                if (!(zero_frequency && std::isfinite(u))) {
                    // Exactly num_harmonics odd harmonics, in increasing order; a
                    // long sum in stretches of kPollWork terms.
                    if (num_harmonics <= kPollWork) [[likely]] {
                        sum = add_harmonics(sum, u, omega, 0, num_harmonics);
                    } else {
                        for (std::uint64_t j = 0; j < num_harmonics;) {
                            const std::uint64_t stop =
                                num_harmonics - j > kPollWork ? j + kPollWork : num_harmonics;
                            sum = add_harmonics(sum, u, omega, j, stop);
                            if (stop < num_harmonics && interruption.requested()) return false;
                            j = stop;
                        }
                    }
                }
                out[i] = (a * (sum + 1.0)) + y;
                return true;
            });
    });
}

bool pseudo_square_wave(Samples time, std::size_t n, double* out, double amplitude, double gamma,
                        double omega, double phi, double y, Interruption interruption) noexcept {
    return by_zero_scalars(gamma, omega, [=](auto zero_rate, auto zero_frequency) {
        return envelopes_in_stretches<false, zero_rate>(
            time, n, [=](double t) { return gamma * t; }, 3, interruption,
            [=](std::size_t i, double t, double e) {
                const double a = e * amplitude;
                const double theta = (t + phi) * omega;
                const double s1 = sin_of<zero_frequency>(theta);
                const double s3 = sin_of<zero_frequency>(theta * 3.0);
                const double v = s1 + (s3 * 0.5);
                out[i] = (a * v) + y;
            });
    });
}

bool pseudo_cycloid_wave(Samples time, std::size_t n, double* out, double amplitude, double gamma,
                         double omega, double phi, double y, Interruption interruption) noexcept {
    const double w2 = omega + omega;
    return by_zero_scalars(gamma, omega, [=](auto zero_rate, auto zero_frequency) {
        return envelopes_in_stretches<false, zero_rate>(
            time, n, [=](double t) { return t * gamma; }, 3, interruption,
            [=](std::size_t i, double t, double e) {
                const double a = e * amplitude;
                const double u = t + phi;
                const double c2 = cos_of<zero_frequency>(w2 * u);
                const double c1 = cos_of<zero_frequency>(u * omega);
                const double d = c2 - (c1 + c1);
                out[i] = (a * d) + y;
            });
    });
}

bool transient_impulse(Samples time, std::size_t n, double* out, double amplitude, double period,
                       double width, double equilibrium, Interruption interruption) noexcept {
    const double onset = (period / 24.0) * kFullTurn;
    if (!(onset < kImpulseCycle)) {
        // fmod(t, cycle) is NaN or lies in (-cycle, cycle), so with the onset
        // at or past the cycle length (or NaN) x is negative or NaN at every
        // sample and the pulse is +0.0 throughout.
        std::fill(out, out + n, (+0.0 * amplitude) + equilibrium);
        return true;
    }
    double r[kBlock];
    double z[kBlock];
    double pulse[kBlock];
    // A block's work: a remainder and at most one exp per sample.
    return in_stretches(
        divide_rounding_up(n, kBlock), 2 * kBlock, interruption, [&](std::size_t block) {
            const std::size_t start = block * kBlock;
            const std::size_t count = std::min(kBlock, n - start);
            const Samples t{time.bytes + start * sizeof(double)};
            impulse_remainders(t, count, onset, width, r, z);
            double* o = out + start;
            if (count < kFewestForLanes) {
                // Too few for the exp lanes to pay: every exp from the library.
                for (std::size_t i = 0; i < count; ++i) {
                    o[i] =
                        impulse_value(t[i], r[i], z[i], NAN, onset, width, amplitude, equilibrium);
                }
                return;
            }
            exp_lanes(z, count, pulse);
            impulse_values(t, count, r, pulse, onset, amplitude, equilibrium, o);
            for (std::size_t i = 0; i < count; ++i) {
                if (std::isnan(o[i])) [[unlikely]] {
                    o[i] = impulse_value(t[i], r[i], z[i], pulse[i], onset, width, amplitude,
                                         equilibrium);
                }
            }
        });
}

}  // namespace vuvirida::lib
