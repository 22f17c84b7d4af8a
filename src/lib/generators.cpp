#include "lib/generators.hpp"

#include <algorithm>
#include <cmath>

#include "lib/exp_lanes.hpp"
#include "lib/impulse_lanes.hpp"
#include "lib/loops.hpp"
#include "lib/trig_lanes.hpp"

// A kernel's per-sample function for its NaN values (generators.hpp): never
// inlined, and never copied or specialised for a caller, so that one
// compiled copy gives every NaN its bits.
#if defined(__clang__)
#define VUVIRIDA_ONE_COPY [[gnu::noinline]]
#elif defined(__GNUC__)
#define VUVIRIDA_ONE_COPY [[gnu::noipa]]
#else
#define VUVIRIDA_ONE_COPY
#endif

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

}  // namespace

// The scalars of the four oscillating kernels, as their per-sample functions
// take them.
struct Oscillation {
    double amplitude;
    double gamma;
    double omega;
    double phi;
    double y;
};

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

namespace {

// The oscillating kernels in lanes, for arrays of a block or more where the
// sin and cos lanes are in use: a block's exps, sines or cosines go through
// their lanes together, the library answers where a lane could not vouch
// for its value, and the arithmetic around them runs in vector lanes over
// the block, each step as the per-sample function has it. Every value is
// the library's evaluation of the kernel's steps, whatever the scalars, so
// these paths need no zero-rate or zero-frequency cases.

double library_exp(double v) noexcept {
    return std::exp(v);
}

// The block's envelopes e[i] = exp(argument(t[i])), through the exp lanes.
// Out of line: a call per block costs nothing, and inlined into the block's
// loop the compiler cannot see that the block is never empty.
template <class Argument>
[[gnu::noinline]] void envelopes_of(Samples t, std::size_t count, Argument argument, double* a,
                                    double* e) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        a[i] = argument(t[i]);
    }
    exp_lanes(a, count, e);
    library_where_nan(a, e, count, library_exp);
}

bool harmonic_oscillator_in_lanes(Samples time, std::size_t n, double* out, const Oscillation& s,
                                  Interruption interruption) noexcept {
    return in_blocks(n, 2, interruption, [&](std::size_t start, std::size_t count) {
        const auto [amplitude, gamma, omega, phi, y] = s;
        const Samples t{time.bytes + start * sizeof(double)};
        double a[kBlock], e[kBlock], m[kBlock], c[kBlock];
        envelopes_of(t, count, [=](double v) { return v * gamma; }, a, e);
        for (std::size_t i = 0; i < count; ++i) {
            m[i] = (t[i] + phi) * omega;
        }
        cosines(m, count, c);
        double* o = out + start;
        for (std::size_t i = 0; i < count; ++i) {
            o[i] = ((e[i] * amplitude) * c[i]) + y;
        }
        return redo_nans(out, start, count,
                         [&](std::size_t i) { out[i] = harmonic_oscillator_sample(time[i], s); });
    });
}

// The Fourier sum in lanes, for at most kMostHarmonicsInLanes harmonics,
// so that a block's work stays within a few stretches between polls.
inline constexpr std::uint64_t kMostHarmonicsInLanes = kPollWork / kBlock;

bool fourier_square_wave_in_lanes(Samples time, std::size_t n, double* out, const Oscillation& s,
                                  std::uint64_t num_harmonics, Interruption interruption) noexcept {
    const std::size_t work = static_cast<std::size_t>(num_harmonics) + 1;
    return in_blocks(n, work, interruption, [&](std::size_t start, std::size_t count) {
        const auto [amplitude, gamma, omega, phi, y] = s;
        const Samples t{time.bytes + start * sizeof(double)};
        double a[kBlock], e[kBlock], u[kBlock], m[kBlock], sine[kBlock], sum[kBlock];
        envelopes_of(t, count, [=](double v) { return gamma * v; }, a, e);
        for (std::size_t i = 0; i < count; ++i) {
            u[i] = t[i] + phi;
            sum[i] = 0.0;
        }
        // Term by term over the block, so that each sample's sum still adds
        // its terms in increasing k.
        for (std::uint64_t j = 0; j < num_harmonics; ++j) {
            const double kf = harmonic_number(j);
            const double wk = kf * omega;
            for (std::size_t i = 0; i < count; ++i) {
                m[i] = u[i] * wk;
            }
            sines(m, count, sine);
            for (std::size_t i = 0; i < count; ++i) {
                sum[i] = sum[i] + ((sine[i] * kFourOverPi) / kf);
            }
        }
        double* o = out + start;
        for (std::size_t i = 0; i < count; ++i) {
            o[i] = ((e[i] * amplitude) * (sum[i] + 1.0)) + y;
        }
        return redo_nans(out, start, count, [&](std::size_t i) {
            return fourier_square_wave_sample(time[i], s, num_harmonics, interruption, out[i]);
        });
    });
}

bool pseudo_square_wave_in_lanes(Samples time, std::size_t n, double* out, const Oscillation& s,
                                 Interruption interruption) noexcept {
    return in_blocks(n, 3, interruption, [&](std::size_t start, std::size_t count) {
        const auto [amplitude, gamma, omega, phi, y] = s;
        const Samples t{time.bytes + start * sizeof(double)};
        double a[kBlock], e[kBlock], theta[kBlock], theta3[kBlock], s1[kBlock], s3[kBlock];
        envelopes_of(t, count, [=](double v) { return gamma * v; }, a, e);
        for (std::size_t i = 0; i < count; ++i) {
            theta[i] = (t[i] + phi) * omega;
            theta3[i] = theta[i] * 3.0;
        }
        sines(theta, count, s1);
        sines(theta3, count, s3);
        double* o = out + start;
        for (std::size_t i = 0; i < count; ++i) {
            o[i] = ((e[i] * amplitude) * (s1[i] + (s3[i] * 0.5))) + y;
        }
        return redo_nans(out, start, count,
                         [&](std::size_t i) { out[i] = pseudo_square_wave_sample(time[i], s); });
    });
}

bool pseudo_cycloid_wave_in_lanes(Samples time, std::size_t n, double* out, const Oscillation& s,
                                  Interruption interruption) noexcept {
    return in_blocks(n, 3, interruption, [&](std::size_t start, std::size_t count) {
        const auto [amplitude, gamma, omega, phi, y] = s;
        const double w2 = omega + omega;
        const Samples t{time.bytes + start * sizeof(double)};
        double a[kBlock], e[kBlock], m2[kBlock], m1[kBlock], c2[kBlock], c1[kBlock];
        envelopes_of(t, count, [=](double v) { return v * gamma; }, a, e);
        for (std::size_t i = 0; i < count; ++i) {
            const double u = t[i] + phi;
            m2[i] = w2 * u;
            m1[i] = u * omega;
        }
        cosines(m2, count, c2);
        cosines(m1, count, c1);
        double* o = out + start;
        for (std::size_t i = 0; i < count; ++i) {
            o[i] = ((e[i] * amplitude) * (c2[i] - (c1[i] + c1[i]))) + y;
        }
        return redo_nans(out, start, count,
                         [&](std::size_t i) { out[i] = pseudo_cycloid_wave_sample(time[i], s); });
    });
}

// Whether an array of n samples goes through the sin and cos lanes.
bool trig_in_lanes(std::size_t n) noexcept {
    return n >= kBlock && trig_lanes_in_use();
}

}  // namespace

bool harmonic_oscillator(Samples time, std::size_t n, double* out, double amplitude, double gamma,
                         double omega, double phi, double y, Interruption interruption) noexcept {
    const Oscillation scalars{amplitude, gamma, omega, phi, y};
    if (trig_in_lanes(n)) return harmonic_oscillator_in_lanes(time, n, out, scalars, interruption);
    return by_zero_scalars(gamma, omega, [=](auto zero_rate, auto zero_frequency) {
        return envelopes_in_stretches<true, zero_rate>(
            time, n, [=](double t) { return t * gamma; }, 2, interruption,
            [=](std::size_t i, double t, double e) {
                const double p = e * amplitude;
                const double c = cos_of<zero_frequency>((t + phi) * omega);
                out[i] = (p * c) + y;
            },
            [&](std::size_t start, std::size_t count) {
                return redo_nans(out, start, count, [&](std::size_t i) {
                    out[i] = harmonic_oscillator_sample(time[i], scalars);
                });
            });
    });
}

bool fourier_square_wave(Samples time, std::size_t n, double* out, double amplitude, double gamma,
                         double omega, double phi, double y, std::uint64_t num_harmonics,
                         Interruption interruption) noexcept {
    const Oscillation scalars{amplitude, gamma, omega, phi, y};
    // One sample's work is its exp and its num_harmonics sines. Where that is
    // more than a stretch, the harmonic sum itself polls every kPollWork terms.
    const std::size_t work =
        num_harmonics >= kPollWork ? kPollWork : static_cast<std::size_t>(num_harmonics) + 1;
    if (std::isnan(amplitude) || std::isnan(y) || (num_harmonics != 0 && !std::isfinite(omega))) {
        // Every value is NaN: each is made once, by the per-sample function,
        // rather than summed twice.
        return in_stretches(n, work, interruption, [&](std::size_t i) {
            return fourier_square_wave_sample(time[i], scalars, num_harmonics, interruption,
                                              out[i]);
        });
    }
    if (trig_in_lanes(n) && num_harmonics <= kMostHarmonicsInLanes) {
        return fourier_square_wave_in_lanes(time, n, out, scalars, num_harmonics, interruption);
    }
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
                    if (!harmonic_sum(u, omega, num_harmonics, interruption, sum)) return false;
                }
                out[i] = (a * (sum + 1.0)) + y;
                return true;
            },
            [&](std::size_t start, std::size_t count) {
                return redo_nans(out, start, count, [&](std::size_t i) {
                    return fourier_square_wave_sample(time[i], scalars, num_harmonics, interruption,
                                                      out[i]);
                });
            });
    });
}

bool pseudo_square_wave(Samples time, std::size_t n, double* out, double amplitude, double gamma,
                        double omega, double phi, double y, Interruption interruption) noexcept {
    const Oscillation scalars{amplitude, gamma, omega, phi, y};
    if (trig_in_lanes(n)) return pseudo_square_wave_in_lanes(time, n, out, scalars, interruption);
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
            },
            [&](std::size_t start, std::size_t count) {
                return redo_nans(out, start, count, [&](std::size_t i) {
                    out[i] = pseudo_square_wave_sample(time[i], scalars);
                });
            });
    });
}

bool pseudo_cycloid_wave(Samples time, std::size_t n, double* out, double amplitude, double gamma,
                         double omega, double phi, double y, Interruption interruption) noexcept {
    const Oscillation scalars{amplitude, gamma, omega, phi, y};
    if (trig_in_lanes(n)) return pseudo_cycloid_wave_in_lanes(time, n, out, scalars, interruption);
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
            },
            [&](std::size_t start, std::size_t count) {
                return redo_nans(out, start, count, [&](std::size_t i) {
                    out[i] = pseudo_cycloid_wave_sample(time[i], scalars);
                });
            });
    });
}

bool transient_impulse(Samples time, std::size_t n, double* out, double amplitude, double period,
                       double width, double equilibrium, Interruption interruption) noexcept {
    const double onset = (period / 24.0) * kFullTurn;
    if (!(onset < kImpulseCycle)) {
        // fmod(t, cycle) is NaN or lies in (-cycle, cycle), so with the onset
        // at or past the cycle length (or NaN) x is negative or NaN at every
        // sample and the pulse is +0.0 throughout: every value is that of a
        // sample 0.
        std::fill(out, out + n,
                  transient_impulse_sample(0.0, 0.0, NAN, onset, width, amplitude, equilibrium));
        return true;
    }
    double r[kBlock];
    double z[kBlock];
    double pulse[kBlock];
    // A block's work: a remainder and at most one exp per sample.
    return in_stretches(divide_rounding_up(n, kBlock), 2 * kBlock, interruption,
                        [&](std::size_t block) {
                            const std::size_t start = block * kBlock;
                            const std::size_t count = std::min(kBlock, n - start);
                            const Samples t{time.bytes + start * sizeof(double)};
                            impulse_remainders(t, count, onset, width, r, z);
                            double* o = out + start;
                            if (count < kFewestForLanes) {
                                // Too few for the exp lanes to pay: every exp from the library.
                                for (std::size_t i = 0; i < count; ++i) {
                                    o[i] = transient_impulse_sample(t[i], r[i], NAN, onset, width,
                                                                    amplitude, equilibrium);
                                }
                                return;
                            }
                            exp_lanes(z, count, pulse);
                            impulse_values(t, count, r, pulse, onset, amplitude, equilibrium, o);
                            for (std::size_t i = 0; i < count; ++i) {
                                if (std::isnan(o[i])) [[unlikely]] {
                                    o[i] = transient_impulse_sample(t[i], r[i], pulse[i], onset,
                                                                    width, amplitude, equilibrium);
                                }
                            }
                        });
}

}  // namespace vuvirida::lib
