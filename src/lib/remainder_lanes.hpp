// The impulse train's remainder fmod(t, cycle) in lanes, computed exactly
// without the library call: the contract, the argument, the constants. The
// steps are remainder_lanes.inc, written once for every width.
//
// Covered: |t| < 2^28 (kRemainderBound) with t zero or normal. Hand-back
// share: none for ordinary samples; every |t| >= 2^28, subnormal t, inf and
// NaN go to the library's fmod. Guarantee: a kept lane is fmod(t, cycle)
// exactly, the value every conforming library returns, in every rounding
// mode, with or without flush-to-zero and denormals-are-zero.
//
// With a = |t| and cycle = c = c1 + c2, where c1 keeps the upper 27
// significant bits of c and c2 holds the lower 26:
//  - q = a * (1/c) is within a relative 2^-51 of a / c in any rounding mode,
//    so the integer k = trunc(q) is the true quotient floor(a / c) or one
//    more or one less, and k < 2^26, since 2^28 / c < 2^26.
//  - k * c1 and k * c2 are exact: at most 26 + 27 and 26 + 26 significant bits.
//  - a - k c1 is exact: k c1 is a multiple of 2^-24, which ulp(a) divides
//    below 2^28, and 0 <= k c1 <= 2 a, so the difference is a multiple of
//    ulp(a) no larger than a.
//  - subtracting k c2 leaves exactly a - k c: where k >= 1, a >= 4 and both
//    terms are multiples of 2^-50, and the difference lies in (-c, 2 c) with
//    |a - k c| < 8, so it has at most 53 significant bits; where k = 0 it is a.
//  - a - k c lies in (-2^-24, c + 2^-24). One step of +c or -c brings it into
//    [0, c); that step's exact result is the remainder, which is a double, so
//    the step is exact too. (For this cycle 1/c rounds up, so k is never too
//    small to nearest and the -c step then never applies; it stays so that
//    the argument rests on no rounding.)
// Every step but the first is exact, so the rounding mode picks at most k;
// an exact zero difference is -0.0 when rounding downward, so the remainder
// takes the magnitude of the result and then the sign of t, which makes a
// zero remainder of a negative t the -0.0 that fmod gives. With t zero or
// normal, every value formed is zero or at least 2^-1022 (k >= 1 makes the
// products and differences multiples of 2^-50), so neither flush-to-zero nor
// denormals-are-zero changes anything; a subnormal t, which either would,
// goes to the library.
#pragma once

#include <cstdint>

#include "lib/bits.hpp"
#include "lib/generators.hpp"

namespace vuvirida::lib {

// The first point: k < 2^26 keeps k * c1 and k * c2 exact.
inline constexpr double kRemainderBound = 268435456.0;  // 2^28
inline constexpr double kCycleHigh =
    double_of(bits_of(kImpulseCycle) & ~((std::uint64_t{1} << 26) - 1));
inline constexpr double kCycleLow = kImpulseCycle - kCycleHigh;
inline constexpr double kInverseCycle = 1.0 / kImpulseCycle;
static_assert(kCycleHigh + kCycleLow == kImpulseCycle);
static_assert(kImpulseCycle >= 4.0 && kImpulseCycle < 8.0);
// The last point: the smallest t a lane keeps apart from zero.
inline constexpr double kSmallestNormal = 0x1p-1022;

}  // namespace vuvirida::lib
