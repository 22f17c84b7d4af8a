#include "lib/impulse_lanes.hpp"

#include <cmath>
#include <cstdint>

#include "lib/bits.hpp"
#include "lib/lanes.hpp"

namespace vuvirida::lib {

namespace {

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
// The selections are made on the bit patterns as integers (bits.hpp).
constexpr double kCycleHigh = double_of(bits_of(kImpulseCycle) & ~((std::uint64_t{1} << 26) - 1));
constexpr double kCycleLow = kImpulseCycle - kCycleHigh;
constexpr double kInverseCycle = 1.0 / kImpulseCycle;
static_assert(kCycleHigh + kCycleLow == kImpulseCycle);
static_assert(kImpulseCycle >= 4.0 && kImpulseCycle < 8.0);

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
    const std::uint64_t in_range = mask_of(a_bits < bits_of(kFastBound));
    const double a = double_of(a_bits & in_range);
    const double k = static_cast<double>(static_cast<std::int32_t>(a * kInverseCycle));
    double x = (a - k * kCycleHigh) - k * kCycleLow;
    const std::uint64_t below = mask_of((bits_of(x) >> 63) != 0);
    x = x + double_of(bits_of(kImpulseCycle) & below);
    const std::uint64_t above = mask_of(bits_of(x) >= bits_of(kImpulseCycle));
    x = x - double_of(bits_of(kImpulseCycle) & above);
    const double r = double_of(bits_of(x) | (t_bits & kSignBit));
    const double q = (r - onset) / width;
    return {r, (q * q) * -0.5};
}

// impulse_lane for `groups` groups of kLaneGroup samples, as vector lanes.
VUVIRIDA_LANE_CLONES
void impulse_lanes(Samples time, std::size_t groups, double onset, double width,
                   double* __restrict r, double* __restrict z) noexcept {
    for (std::size_t g = 0; g < groups; ++g) {
        for (std::size_t l = 0; l < kLaneGroup; ++l) {
            const std::size_t i = g * kLaneGroup + l;
            const ImpulseLane lane = impulse_lane(time[i], onset, width);
            r[i] = lane.r;
            z[i] = lane.z;
        }
    }
}

}  // namespace

void impulse_remainders(Samples time, std::size_t count, double onset, double width, double* r,
                        double* z) noexcept {
    const std::size_t whole = count / kLaneGroup * kLaneGroup;
    impulse_lanes(time, whole / kLaneGroup, onset, width, r, z);
    // The last, partial group one sample at a time.
    for (std::size_t i = whole; i < count; ++i) {
        const ImpulseLane lane = impulse_lane(time[i], onset, width);
        r[i] = lane.r;
        z[i] = lane.z;
    }
}

// The value where it needs nothing more than the lanes have. x >= 0 is tested
// on the bit pattern (a zero of either sign, or a positive non-NaN), which
// keeps the loop free of floating-point comparisons.
VUVIRIDA_LANE_CLONES
void impulse_values(Samples time, std::size_t count, const double* __restrict r,
                    const double* __restrict p, double onset, double amplitude, double equilibrium,
                    double* __restrict out) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t x_bits = bits_of(r[i] - onset);
        const bool on = (x_bits & ~kSignBit) == 0 || x_bits <= bits_of(INFINITY);
        const double pulse = double_of(bits_of(p[i]) & mask_of(on));
        const double v = (pulse * amplitude) + equilibrium;
        const bool fast = (bits_of(time[i]) & ~kSignBit) < bits_of(kFastBound);
        out[i] = double_of(fast ? bits_of(v) : bits_of(NAN));
    }
}

}  // namespace vuvirida::lib
