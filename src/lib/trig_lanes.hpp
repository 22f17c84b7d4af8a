// sin and cos in lanes, with the library's bits: the contract, the argument,
// the constants. The steps are trig_lanes.inc, written once for every width.
//
// Covered: |x| < 105414336. Hand-back share: about 3% of ordinary arguments (the
// rounding test below), 41-43% next to the branch thresholds and the
// multiples of pi/2, every |x| >= 105414336, inf and NaN. Guarantee: a kept
// lane is glibc's sin(x) or cos(x) bit for bit, whichever multiply-adds the
// library's compiler fused, in rounding to nearest with or without
// flush-to-zero and denormals-are-zero; the lanes do not run in any other
// rounding mode.
//
// glibc's double sin and cos (one algorithm from glibc 2.28 on, in
// sysdeps/ieee754/dbl-64/s_sin.c) have no proven error bound, so the method
// of the exp lanes (a bound, then a rounding test) is not open here. The
// lanes instead take the library's own steps, and keep a value only where
// every build of those steps gives the same double. The steps, for |x| below
// 105414350 (every larger argument, inf and NaN go to the library):
//
//   sin: |x| < 2^-26: x.                        cos: |x| < 2^-27: 1.
//        |x| < 0.855469: S(x, 0).                    |x| < 0.855469: C(x, 0).
//        |x| < 2.426265: sign(x) C(h0 - |x|, h1).    |x| < 2.426265: S(a, da),
//                                                      a + da = (h0 - |x|) + h1.
//        otherwise: x = n pi/2 + (a + da), and the quadrant n picks
//        +-S(a, da) or +-C(a, da) (for cos, as sin with n + 1).
//
// with h0 + h1 = pi/2. S(x, dx) is sin(x + dx): a Taylor polynomial where
// |x| < 0.126, and otherwise, with i/128 the table point nearest |x| and
// x1 = |x| - i/128, sin(i/128 + x1 + dx) from the table's double-doubles
// and short polynomials s ~ sin(x1 + dx), c ~ 1 - cos(x1 + dx):
// sn + ((ssn + s ccs - sn c) + cs s), with the sign of x. C(x, dx) is
// cos(x + dx) the same way: cs + ((ccs - s ssn - cs c) - sn s), x1 then
// holding dx too. The table (trig_table.hpp, made by our own script from a
// 200-bit reference) gives the cosine form with the roles of the pairs
// swapped and negated, which makes it the sine form operation for operation
// and bit for bit; one formula serves both.
//
// Why a kept value is the library's, whatever its build. Each step above is
// a float64 operation rounded to nearest (the library sets that mode for
// itself; the lanes run only in it, lanes_may_run). What differs between
// builds is which products a compiler fused into the following addition
// (glibc's FMA build for x86-64 does; its SSE2 build does not). The lanes
// evaluate every step unfused, as the SSE2 build does, and bound how far any
// fusing could move each value:
//
// 1. Up to the final sum, every step whose inputs differ between builds
//    only through fusing is either exact in every build, or checked:
//    - the reduction's products xn * mp1, xn * mp2 and xn * pp3 are exact
//      (xn <= 2^26 has at most 27 significant bits, the constants at most
//      26, 27 and 25), so fusing them changes nothing;
//    - the quadrant is the integer nearest x * (2/pi), rounded before or
//      after adding 1.5 * 2^52: the same wherever the rounded product z
//      lies within 1/2 - 2^-26 of it (|z| < 2^27, so the product's own
//      rounding is below 2^-27);
//    - b = t2 - xn * pp4 rounds the same fused or not wherever its rounding
//      error lies within half an ulp less 2^-21 of one, b is not a power of
//      two and |b| >= 2^-30 (the product's rounding is below 2^-109); da then
//      differs by less than 2^-103 between builds;
//    - the middle range's steps have no products at all.
//    So the reduced argument, and with it every decision (branch, Taylor or
//    table at 0.126, the table row, the signs), is the same in every build.
// 2. The last sum, res = big + small (x + t in the Taylor branch, sn + cor or
//    cs + cor in the table branch), has no product. The lanes compute it and
//    its exact rounding error l (Fast2Sum: |big| >= |small|). If every build
//    computes small within delta of ours, and |l| + delta < ulp(res)/2 with
//    res not a power of two, every build rounds big + small to res.
// 3. delta, with u = 2^-53 and every fusing choice of the steps before:
//    - table branch: s differs by at most one rounding, 2u|s| (its inputs by
//      far less); the products s ccs, sn c and cs s by their rounding and
//      their factors' differences; c by 3u|c|; cor by its own rounding. Their
//      sum is below 6u |cs s| + 7u |c| + 2^-103 in the sine form, and the
//      same with the roles swapped in the cosine form; our table's rests may
//      differ from glibc's by tens of their ulps, below 2^-101. We take
//      delta = 2^-50 (|p| + |c|) + 2^-99, p = cs * s as computed.
//    - Taylor branch: the polynomial may differ by one ulp (2^-55), each of
//      the three products and two sums by their roundings: below
//      2^-52.7 |x|^3 + 2u |dx| + 2^-103, where |dx| <= 2^-52 |x| (dx is the
//      rounding error of the reduced argument, or zero). We take
//      delta = (2^-52 xx + 2^-100) |x| + 2^-99.
//    The margins also absorb the rounding of the test itself.
// With a typical |s| of 2^-9 the guard is about 2^-6 ulp of a result near 1,
// and about 3% of arguments in the usual ranges fall back to the library
// (benchmarks/run.py reports the share); every exact tie of glibc's final
// sum falls back.
//
// The steps are written once (trig_lanes.inc) for every width of the width
// table (widths.hpp). The table's four values of a lane's row are one 32-byte
// load, transposed into lanes. Nothing here fuses a multiply and an add: no
// step asks for one, and the kernels are built without contraction. The lanes
// run only where the library is a glibc from 2.28 to 2.43 and the test at
// load (widths.cpp) finds no difference from its sin and cos.
//
// Flush-to-zero and denormals-are-zero change nothing in a kept lane: an
// argument below 2^-26 (2^-27 for cos) is answered as the library answers it,
// with the argument's own bits (or 1.0), which either mode leaves alone, and
// every other kept lane forms no subnormal number. The reduced argument is at
// least 2^-30 (kTrigSmallestReduced), at least 0.126 where the table is read;
// dx is zero or a sum of the reduction's exact products, at least 2^-140 in
// magnitude; x1, the distance to a table point plus dx, is zero or at least
// 2^-141; the constants and the table's values are normal or zero. Every
// product of up to four such factors, and every sum of such values that does
// not cancel to zero, is above 2^-600. The library's steps are the same
// steps, so its values do not change in either mode there.

#pragma once

#include <array>
#include <cstdint>

#include "lib/bits.hpp"
#include "lib/trig_table.hpp"

namespace vuvirida::lib {

// The library's constants.
inline constexpr double kTrigS1 = -0x1.5555555555555p-3;
inline constexpr double kTrigS2 = 0x1.1111111110ECEp-7;
inline constexpr double kTrigS3 = -0x1.A01A019DB08B8p-13;
inline constexpr double kTrigS4 = 0x1.71DE27B9A7ED9p-19;
inline constexpr double kTrigS5 = -0x1.ADDFFC2FCDF59p-26;
inline constexpr double kTrigSn3 = -0x1.5555555555515p-3;
inline constexpr double kTrigSn5 = 0x1.11110e829872fp-7;
inline constexpr double kTrigCs2 = 0x1.0000000000000p-1;
inline constexpr double kTrigCs4 = -0x1.5555555555535p-5;
inline constexpr double kTrigCs6 = 0x1.6c16bedd9e239p-10;
inline constexpr double kTrigBig = 0x1.8p45;  // adding it rounds |x| < 1 to a multiple of 1/128
inline constexpr double kTrigHalfPiHigh = 0x1.921FB54442D18p0;
inline constexpr double kTrigHalfPiLow = 0x1.1A62633145C07p-54;
inline constexpr double kTrigMp1 = 0x1.921FB58000000p0;
inline constexpr double kTrigMp2 = -0x1.DDE973C000000p-27;
inline constexpr double kTrigPp3 = -0x1.CB3B398000000p-55;
inline constexpr double kTrigPp4 = -0x1.d747f23e32ed7p-83;
inline constexpr double kTrigTwoOverPi = 0x1.45F306DC9C883p-1;
inline constexpr double kTrigToInt = 0x1.8p52;

// Where the library's branches begin, as bit patterns of |x|.
inline constexpr std::uint64_t kTrigSinTiny = 0x3e50000000000000;  // 2^-26
inline constexpr std::uint64_t kTrigCosTiny = 0x3e40000000000000;  // 2^-27
inline constexpr std::uint64_t kTrigDirect = 0x3feb600000000000;   // 0.85546875
inline constexpr std::uint64_t kTrigMiddle = 0x400368fd00000000;   // 2.4262638...
inline constexpr std::uint64_t kTrigReduced = 0x419921fb00000000;  // 105414336
// The library's switch from the Taylor polynomial to the table.
inline constexpr double kTrigTaylorBelow = 0.126;

// Point 1: the quadrant is the same in every build where z lies within
// 1/2 - 2^-26 of it.
inline constexpr double kTrigQuadrantMargin = 0.5 - 0x1p-26;
// Point 1: b rounds alike fused or not where |b| >= 2^-30 and its rounding
// error lies within half an ulp less 2^-21 of one.
inline constexpr double kTrigSmallestReduced = 0x1p-30;
inline constexpr double kTrigReductionMargin = 1.0 - 0x1p-21;
// Point 3: delta = 2^-50 (|p| + |c|) + 2^-99 in the table branch,
// (2^-52 xx + 2^-100) |x| + 2^-99 in the Taylor branch.
inline constexpr double kTrigTableSlack = 0x1p-50;
inline constexpr double kTrigTaylorSlack = 0x1p-52;
inline constexpr double kTrigAbsoluteSlack = 0x1p-99;
inline constexpr double kTrigRelativeSlack = 0x1p-100;

// The check of the rounding test (benchmarks/trig_fusing_check.py) builds
// the lanes with chosen multiply-add sites fused, as another build of the
// library may have them, and optionally without the test
// (VUVIRIDA_TRIG_NO_GUARD).
#if !defined(VUVIRIDA_TRIG_FUSED_SITES)
#define VUVIRIDA_TRIG_FUSED_SITES 0
#endif

// The places where the library's source adds a product to a value, which a
// compiler may fuse: a * b + c with two roundings here, one where the check
// build asks for it.
enum TrigSite : unsigned {
    kQuadrantSite,     // x * (2/pi) + 1.5 * 2^52
    kReducedSite,      // t2 - xn * pp4
    kReducedRestSite,  // (t2 - b) - xn * pp4
    kSn5Site,          // sn3 + xx * sn5
    kSineSite,         // dx + (x xx) * (...)
    kCosineSineSite,   // x + (x xx) * (...), C's form
    kCs6Site,          // cs4 + xx * cs6
    kCs4Site,          // cs2 + xx * (...)
    kCosineFirstSite,  // x * dx + xx * (...), the second product fused
    kCosineOtherSite,  // x * dx + xx * (...), the first product fused
    kRest1Site,        // ssn + s * ccs
    kRest2Site,        // ... - sn * c
    kRest3Site,        // ... + cs * s
    kTaylor5Site,      // s5 * xx + s4
    kTaylor4Site,      // (...) * xx + s3
    kTaylor3Site,      // (...) * xx + s2
    kTaylor2Site,      // (...) * xx + s1
    kTaylorBSite,      // poly * x - 0.5 * dx
    kTaylorTSite,      // (...) * xx + dx
};

constexpr bool fused(TrigSite site) {
    return ((VUVIRIDA_TRIG_FUSED_SITES) >> site) & 1;
}

// The table the lanes read. The build that proves the test at load
// (-DVUVIRIDA_PLANT_TRIG_FAULT) has one value one ulp off, as a wrong table
// or another library's would be.
#if defined(VUVIRIDA_PLANT_TRIG_FAULT)
inline constexpr auto kTrigPlantedTable = [] {
    std::array<trig_table::Row, 2 * trig_table::kRows> table{};
    for (std::size_t i = 0; i < table.size(); ++i) table[i] = trig_table::kTable[i];
    table[57].high = double_of(bits_of(table[57].high) + 1);
    return table;
}();
inline constexpr const trig_table::Row* kTrigRows = kTrigPlantedTable.data();
#else
inline constexpr const trig_table::Row* kTrigRows = trig_table::kTable;
#endif

// Whether the lanes may evaluate sin and cos in this process: the library is
// a glibc whose steps they repeat.
bool trig_lanes_verified_library() noexcept;

}  // namespace vuvirida::lib
