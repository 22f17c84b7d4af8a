#include "lib/generators.hpp"

#include <algorithm>
#include <cmath>

#include "lib/exp_lanes.hpp"
#include "lib/impulse_lanes.hpp"
#include "lib/loops.hpp"
#include "lib/oscillator_lanes.hpp"
#include "lib/samples.hpp"

namespace vuvirida::lib {

bool harmonic_oscillator(Samples time, std::size_t n, double* out, double amplitude, double gamma,
                         double omega, double phi, double y, Interruption interruption) noexcept {
    const Oscillation scalars{amplitude, gamma, omega, phi, y};
    if (oscillator_in_lanes(n))
        return harmonic_oscillator_in_lanes(time, n, out, scalars, interruption);
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
    if (oscillator_in_lanes(n) && num_harmonics <= kMostHarmonicsInLanes) {
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
    if (oscillator_in_lanes(n))
        return pseudo_square_wave_in_lanes(time, n, out, scalars, interruption);
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
    if (oscillator_in_lanes(n))
        return pseudo_cycloid_wave_in_lanes(time, n, out, scalars, interruption);
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
