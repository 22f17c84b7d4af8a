// exp in lanes, with the library's bits: the contract, the argument, the
// constants. The steps are exp_lanes.inc, written once for every width.
//
// Covered: |x| <= 708, x not within 2^-54 of a multiple of ln 2 / 128 other
// than x = +-0 itself (results normal and finite; the library's own steps
// meet no subnormal number there, below), and x <= -745.2, whose exp is +0.
// Hand-back share: about 2.3% of ordinary arguments (the rounding test),
// every argument in (-745.2, -708) or above 708, inf and NaN. Guarantee: a kept lane is glibc's
// exp(x), bit for bit, in rounding to nearest with or without flush-to-zero and denormals-are-zero;
// the lanes do not run in any other rounding mode.
//
// Why a value of our own can be the library's. glibc's double exp (one
// algorithm since glibc 2.29) is proven by its authors to be within
// 0.5 + 1.11/N + (polynomial error * 2^53) ulp of e^x: below 0.509 ulp where
// it is built with fused multiply-add and 0.511 ulp where not; earlier
// versions are more accurate still. Take 0.511 for every build. Let y = e^x,
// H a double that is not a power of two and u the spacing of the doubles
// around H. If |y - H| < 0.489 u, every other double lies more than 0.511 u
// from y, so the library returns H. We evaluate y as 2^m (h + l), h a double,
// h = RN(h + l), with |2^m (h + l) - y| below eps ulp(2^m h). Where |l| is
// below (0.489 - eps) ulp(h), |y - 2^m h| < 0.489 u and 2^m h is the
// library's value; every other lane takes the library's exp. All of this is
// for rounding to nearest, the mode in which the library's bound is proven
// and the steps below are evaluated.
//
// The evaluation, with L = ln 2 / 128; RN is rounding to nearest, and the
// bounds are absolute:
//
// 1. k = the integer nearest x * RN(1/L) (fused; unfused, nearest
//    RN(x * RN(1/L))), by adding and subtracting 1.5 * 2^52 (kExpRoundShift).
//    |k| < 2^17 on the covered range (kExpLimit) and |x / L - k| <= 1/2 + 2^-35.
// 2. r1 = x - k * Lh, Lh the leading 36 bits of L, is exact: k * Lh has at
//    most 17 + 36 bits; for k = 0, r1 = x; otherwise |x| > 2^-9, x and k * Lh
//    are multiples of g = min(ulp(x), 2^-44) >= 2^-61, and |r1| < 2^-8.5 is
//    a multiple of g below 2^53 g.
// 3. r2 = RN(k * Ll), Ll = RN(L - Lh) < 2^-46. rho = x - k L = r1 -
//    k (L - Lh) is r1 - r2 within 2^17 * 2^-100 + 2^-82 < 2^-81.
// 4. (s, t) = TwoSum(r1, -r2): s + t = r1 - r2 exactly, |s| < L/2 (1 +
//    2^-33) < 2^-8.5, |t| <= 2^-62.
// 5. e^(s+t) = 1 + s + s^2/2 + s^3 Q(s) + t e^s + O(t^2), with
//    Q(s) = 1/3! + s/4! + ... . q = RN(s^2) is within 2^-71 of s^2. c, Q to
//    its s^3/6! term by Horner's rule, is within 2^-46.2 of Q (truncation
//    2^-46.3, coefficients and steps 2^-54.5), that is 2^-43.6 relatively
//    (Q > 1/6.1), so tail = RN(RN(q s) c) is s^3 Q(s) within 2^-43.5
//    relatively and, with |s^3 Q| < 2^-28, 2^-71.6 absolutely.
//    mm = RN(RN(q/2 + tail) + t) adds two roundings below 2^-71 each
//    (|mm| < 2^-17.9) and leaves out t (e^s - 1) < 2^-70.5: 1 + s + mm is
//    e^(s+t) within 2^-72 + 2^-71.6 + 2 * 2^-71 + 2^-70.5 < 2^-68.8.
// 6. 2^(j/128) = Th + Tl within 2^-106 relatively, j = k mod 128,
//    m = floor(k / 128), Th in [1, 2), |Tl| < 2^-53 (exp_table.hpp). We form
//    Th (1 + s + mm) + Tl (1 + s), which leaves out Tl mm < 2^-70.9:
//    (A, Ae) = Th * s exactly; (B, Be) = Fast2Sum(Th, A) exactly (|A| < 1),
//    B in [0.99, 2.02); lo = RN(RN(Th mm + RN(Tl s + Tl)) + RN(Be + Ae))
//    (the products fused into the sums), three roundings below 2^-70 each
//    (|Th mm| < 2^-16.9), the others below 2^-104.
// 7. (h, l) = Fast2Sum(B, lo) exactly; |l| <= ulp(h) / 2.
// Adding up, with 2^(j/128) e^(s+t) < 2.01: |h + l - y / 2^m| <
// 2 * 2^-68.8 + 2^-70.9 + 3 * 2^-70 + 2 * 2^-81 + 2^-104 < 2^-66.9, and
// h > 0.99 has ulp(h) >= 2^-53: eps < 2^-13.9 ulp. 2^m is a normal double
// (m >= -1022 on the covered range) and so is 2^m h: scaling is exact, and
// the test on h and l holds for 2^m h.
//
// The test: a lane keeps its value where x is in the covered range, h is not
// a power of two (the binade changes there, and with it what an ulp means),
// and RN(h + RN(l * kExpTestScale)) == h, which with kExpTestScale = 1.0232 implies
// |l| * 1.0232 <= ulp(h) / 2 (1 + 2^-52), so |l| <= 0.48867 ulp(h) <
// (0.489 - eps) ulp(h): about 2 (0.5 - 0.48867) = 2.3% of arguments fall
// back. It also keeps exp(+-0) = 1, which every step above computes exactly
// and every conforming library returns, and exp(x) = +0 for x <= -745.2
// (kExpZeroAtOrBelow): there e^x < 0.468 * 2^-1074, so +0 is the only double
// within 0.511 ulp (an ulp is 2^-1074 in the subnormal range, where the
// library's bound holds too: its specialcase rounds the result once) and the
// library returns it, whatever flush-to-zero says.
//
// Flush-to-zero and denormals-are-zero. A kept lane with x != 0 has
// |s| >= 2^-54 (kExpSmallestReduced; the lanes hand back the others, a share
// near 2^-46). Then every value the steps form is zero or at least 2^-170
// in magnitude: q >= 2^-108, the products of s, q and the table's values
// by the same bound; t and Ae are zero or multiples of 2^-99 and 2^-158
// (the granularity of r1, r2 and of the product Th * s); sums of such
// values are zero or above their granularity. So no step meets a subnormal
// number and either mode changes nothing. The library's own steps
// (sysdeps/ieee754/dbl-64/e_exp.c) reduce x to r within 2^-80 of our s, so
// |r| >= 2^-55 and its r^4 > 2^-220; for |x| < 2^-54 it returns 1 + x; on
// the covered range its scaling stays normal: neither mode changes its
// value either. (A subnormal x read as zero compares equal to zero and is
// kept as 1, which is also what the library returns in that mode.)
//
// The exact products, Horner's rule and the steps marked fused above use
// fused multiply-add (the bounds hold with those steps rounded twice too);
// they are the only fused operations of the module. The library is checked
// at load: gnu_get_libc_version() must name glibc 2. To enable another
// library, its exp needs a proven bound B, the accepted share of an ulp
// becomes 1 - B - eps, and the hard cases and the long run
// (benchmarks/lanes_long_run.py) must show no difference against it.

#pragma once

#include "lib/exp_table.hpp"

namespace vuvirida::lib {

// Fixed by step 1 and the scaling: |x| <= 708 keeps |k| < 2^17 and 2^m h
// normal and finite.
inline constexpr double kExpLimit = 708.0;
// Step 1: adding 1.5 * 2^52 rounds to an integer, kept in the low bits.
inline constexpr double kExpRoundShift = 0x1.8p52;
// Fixed by the test: |l| <= 0.48867 ulp(h) < (0.489 - eps) ulp(h).
inline constexpr double kExpTestScale = 1.0232;
// Fixed by the test: at or below it e^x < (1 - 0.511) * 2^-1074, and the
// library returns +0 (ln(0.489 * 2^-1074) = -745.1555... would do; the
// margin costs nothing).
inline constexpr double kExpZeroAtOrBelow = -745.2;
// Fixed by the paragraph on flush-to-zero: every kept intermediate normal.
inline constexpr double kExpSmallestReduced = 0x1p-54;

// Whether the lanes may evaluate exp in this process: the library is glibc 2.
bool exp_lanes_verified_library() noexcept;

}  // namespace vuvirida::lib
