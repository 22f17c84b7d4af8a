#include "lib/generators.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <type_traits>

// Copies of the impulse-train lane loop for wider vector units, picked once when the
// module is loaded, so that one build runs on every x86-64 and uses what the
// processor has. Every copy evaluates the same operations in the same order;
// only the number of lanes differs.
#if defined(__x86_64__) && defined(__linux__) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define VUVIRIDA_LANE_CLONES \
    __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "arch=x86-64-v2", "default")))
#endif
#endif
#ifndef VUVIRIDA_LANE_CLONES
#define VUVIRIDA_LANE_CLONES
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

// exp(+-0) = 1, cos(+-0) = 1 and sin(+-0) = +-0 in every conforming math
// library. With kAtZero the call is skipped where the argument is a zero, and
// the result is the library's either way; NaN and every other argument still
// go to the library. Kernels choose kAtZero once per call, where zeros are
// the rule (a zero rate or frequency), so that other calls pay no test.
template <bool kAtZero>
inline double exp_of(double m) noexcept {
    if constexpr (kAtZero) {
        if (m == 0.0) return 1.0;
    }
    return std::exp(m);
}

template <bool kAtZero>
inline double cos_of(double m) noexcept {
    if constexpr (kAtZero) {
        if (m == 0.0) return 1.0;
    }
    return std::cos(m);
}

template <bool kAtZero>
inline double sin_of(double m) noexcept {
    if constexpr (kAtZero) {
        if (m == 0.0) return m;
    }
    return std::sin(m);
}

// Runs body(rate_is_zero, frequency_is_zero) with both as compile-time
// constants, so that each kernel has one loop per case and no per-sample
// test of the scalars.
template <class Body>
inline bool by_zero_scalars(double gamma, double omega, Body&& body) {
    if (gamma == 0.0) {
        if (omega == 0.0) return body(std::true_type{}, std::true_type{});
        return body(std::true_type{}, std::false_type{});
    }
    if (omega == 0.0) return body(std::false_type{}, std::true_type{});
    return body(std::false_type{}, std::false_type{});
}

constexpr std::size_t divide_rounding_up(std::size_t n, std::size_t d) noexcept {
    return n / d + (n % d != 0);
}

// Runs step(i) for i = 0, 1, ..., n - 1 in stretches of about kPollWork units
// of work, `work` units a step, and asks `interruption` between stretches
// whether to stop. A step may also stop the loop by returning false. True
// when every step ran; a call whose whole work fits in one stretch never polls.
template <class Step>
inline bool in_stretches(std::size_t n, std::size_t work, Interruption interruption, Step&& step) {
    const std::size_t stretch =
        std::max<std::size_t>(1, kPollWork / std::max<std::size_t>(work, 1));
    for (std::size_t start = 0; start < n; start += stretch) {
        const std::size_t stop = start + std::min(stretch, n - start);
        for (std::size_t i = start; i < stop; ++i) {
            if constexpr (std::is_void_v<std::invoke_result_t<Step&, std::size_t>>) {
                step(i);
            } else if (!step(i)) {
                return false;
            }
        }
        if (stop < n && interruption.requested()) return false;
    }
    return true;
}

// fmod(t, cycle) for the impulse train without the library call.
//
// With a = |t| below kFastBound and cycle = c = c1 + c2, where c1 keeps the
// upper 27 significant bits of c and c2 holds the lower 26:
//  - q = a * (1/c) is within a relative 2^-51 of a / c, so the integer
//    k = trunc(q) is the true quotient floor(a / c) or one more or one less,
//    and k < 2^26, since kFastBound / c < 2^26.
//  - k * c1 and k * c2 are exact: at most 26 + 27 and 26 + 26 significant bits.
//  - a - k c1 is exact: k c1 is a multiple of 2^-24, which ulp(a) divides
//    below 2^28, and 0 <= k c1 <= 2 a, so the difference is a multiple of
//    ulp(a) no larger than a.
//  - subtracting k c2 leaves exactly a - k c: where k >= 1, a >= 4 and both
//    terms are multiples of 2^-50, and the difference lies in (-c, 2 c) with
//    |a - k c| < 8, so it has at most 53 significant bits; where k = 0 it is a.
//  - a - k c lies in (-2^-24, c + 2^-24). One step of +c or -c brings it into
//    [0, c); that step's exact result is the remainder, which is a float64, so
//    the step is exact too. (For this cycle 1/c rounds up, so k is never too
//    small and the -c step never applies; it stays so that the argument does
//    not rest on that rounding.)
// The sign of t is then put on the result, which makes a zero remainder of a
// negative t the -0.0 that fmod gives. Arguments at or above the bound, inf
// and NaN are left to the library (see transient_impulse).
//
// The selections are made on the bit patterns as integers, which keeps the
// loop free of branches and floating-point comparisons, so that it
// vectorises without relaxing any floating-point rule. For float64 values of
// one sign the order of their bit patterns is their order.
constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
constexpr std::uint64_t bits_of(double v) noexcept {
    return std::bit_cast<std::uint64_t>(v);
}
constexpr double double_of(std::uint64_t b) noexcept {
    return std::bit_cast<double>(b);
}

constexpr double kFastBound = 268435456.0;  // 2^28
constexpr double kCycleHigh = double_of(bits_of(kImpulseCycle) & ~((std::uint64_t{1} << 26) - 1));
constexpr double kCycleLow = kImpulseCycle - kCycleHigh;
constexpr double kInverseCycle = 1.0 / kImpulseCycle;
static_assert(kCycleHigh + kCycleLow == kImpulseCycle);
static_assert(kImpulseCycle >= 4.0 && kImpulseCycle < 8.0);

// Samples go through the lanes in groups of kGroup, and through the whole
// transient kernel in blocks of kBlock, whose working values stay in L1.
constexpr std::size_t kGroup = 8;
constexpr std::size_t kBlock = 64;

// One sample's r = fmod(t, cycle) as described above (a placeholder where
// |t| is not below kFastBound) and its pulse exponent z = (q * q) * -0.5 with
// q = (r - onset) / width, each step rounded on its own as in the kernel.
struct ImpulseLane {
    double r;
    double z;
};

inline ImpulseLane impulse_lane(double t, double onset, double width) noexcept {
    const std::uint64_t t_bits = bits_of(t);
    const std::uint64_t a_bits = t_bits & ~kSignBit;
    // Outside the fast range a stands in as 0, so that the conversion to an
    // integer stays defined.
    const std::uint64_t in_range = a_bits < bits_of(kFastBound) ? ~std::uint64_t{0} : 0;
    const double a = double_of(a_bits & in_range);
    const double k = static_cast<double>(static_cast<std::int32_t>(a * kInverseCycle));
    double x = (a - k * kCycleHigh) - k * kCycleLow;
    const std::uint64_t below = (bits_of(x) >> 63) != 0 ? ~std::uint64_t{0} : 0;
    x = x + double_of(bits_of(kImpulseCycle) & below);
    const std::uint64_t above = bits_of(x) >= bits_of(kImpulseCycle) ? ~std::uint64_t{0} : 0;
    x = x - double_of(bits_of(kImpulseCycle) & above);
    const double r = double_of(bits_of(x) | (t_bits & kSignBit));
    const double q = (r - onset) / width;
    return {r, (q * q) * -0.5};
}

// impulse_lane for `groups` groups of kGroup samples, as vector lanes.
VUVIRIDA_LANE_CLONES
void impulse_lanes(Samples time, std::size_t groups, double onset, double width,
                   double* __restrict r, double* __restrict z) noexcept {
    for (std::size_t g = 0; g < groups; ++g) {
        for (std::size_t l = 0; l < kGroup; ++l) {
            const std::size_t i = g * kGroup + l;
            const ImpulseLane lane = impulse_lane(time[i], onset, width);
            r[i] = lane.r;
            z[i] = lane.z;
        }
    }
}

}  // namespace

bool harmonic_oscillator(Samples time, std::size_t n, double* out, double amplitude, double gamma,
                         double omega, double phi, double y, Interruption interruption) noexcept {
    return by_zero_scalars(gamma, omega, [=](auto zero_rate, auto zero_frequency) {
        return in_stretches(n, 2, interruption, [=](std::size_t i) {
            const double t = time[i];
            const double e = exp_of<zero_rate>(t * gamma);
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
        return in_stretches(n, work, interruption, [=](std::size_t i) {
            const double t = time[i];
            const double e = exp_of<zero_rate>(gamma * t);
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
        return in_stretches(n, 3, interruption, [=](std::size_t i) {
            const double t = time[i];
            const double e = exp_of<zero_rate>(gamma * t);
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
        return in_stretches(n, 3, interruption, [=](std::size_t i) {
            const double t = time[i];
            const double e = exp_of<zero_rate>(t * gamma);
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
    // A block's work: a remainder and at most one exp per sample.
    return in_stretches(divide_rounding_up(n, kBlock), 2 * kBlock, interruption,
                        [&](std::size_t block) {
                            const std::size_t start = block * kBlock;
                            const std::size_t count = std::min(kBlock, n - start);
                            const std::size_t whole = count / kGroup * kGroup;
                            const Samples t{time.bytes + start * sizeof(double)};
                            impulse_lanes(t, whole / kGroup, onset, width, r, z);
                            // The last, partial group one sample at a time.
                            for (std::size_t i = whole; i < count; ++i) {
                                const ImpulseLane lane = impulse_lane(t[i], onset, width);
                                r[i] = lane.r;
                                z[i] = lane.z;
                            }
                            for (std::size_t i = 0; i < count; ++i) {
                                double remainder = r[i];
                                double exponent = z[i];
                                if (!(std::fabs(t[i]) < kFastBound)) [[unlikely]] {
                                    remainder = std::fmod(t[i], kImpulseCycle);
                                    const double q = (remainder - onset) / width;
                                    exponent = (q * q) * -0.5;
                                }
                                const double x = remainder - onset;
                                double p = +0.0;
                                // `!(x < 0)` would let NaN through; the pulse is on only for x >=
                                // 0.
                                if (x >= 0.0) p = std::exp(exponent);
                                out[start + i] = (p * amplitude) + equilibrium;
                            }
                        });
}

}  // namespace vuvirida::lib
