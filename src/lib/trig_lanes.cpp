#include "lib/trig_lanes.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "lib/bits.hpp"
#include "lib/lanes.hpp"
#include "lib/trig_hard_arguments.hpp"
#include "lib/trig_table.hpp"

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

// sin and cos in lanes, with the library's bits
// ==============================================
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
// The steps are written once (trig_lane_steps.inc) and compiled for two
// vector widths, chosen at load: four doubles (AVX2) and eight (AVX-512).
// The table's four values of a lane's row are one 32-byte load, transposed
// into four vectors. Nothing here fuses a multiply and an add: no step asks
// for one, and the kernels are built without contraction. The lanes run
// only where the library is a glibc from 2.28 to 2.43 and a test at load
// (self_test_passes, below) finds no difference from its sin and cos.

namespace vuvirida::lib {

namespace {

bool library_is_verified_glibc() noexcept {
#if defined(__GLIBC__)
    // The algorithm above is glibc's from 2.28 (when its slow paths went) to
    // 2.43, checked against its source; a newer glibc stays with the library
    // until someone checks it again.
    const char* version = gnu_get_libc_version();
    if (version == nullptr || std::strncmp(version, "2.", 2) != 0) return false;
    const long minor = std::strtol(version + 2, nullptr, 10);
    return minor >= 28 && minor <= 43;
#else
    return false;
#endif
}

// The library's own sin and cos, out of line: each is one call.
[[gnu::noinline]] double library_sin(double v) noexcept {
    return std::sin(v);
}

[[gnu::noinline]] double library_cos(double v) noexcept {
    return std::cos(v);
}

}  // namespace

#if defined(__x86_64__) && defined(__GNUC__)
#define VUVIRIDA_TRIG_LANES 1

namespace {

// The library's constants.
constexpr double kS1 = -0x1.5555555555555p-3;
constexpr double kS2 = 0x1.1111111110ECEp-7;
constexpr double kS3 = -0x1.A01A019DB08B8p-13;
constexpr double kS4 = 0x1.71DE27B9A7ED9p-19;
constexpr double kS5 = -0x1.ADDFFC2FCDF59p-26;
constexpr double kSn3 = -0x1.5555555555515p-3;
constexpr double kSn5 = 0x1.11110e829872fp-7;
constexpr double kCs2 = 0x1.0000000000000p-1;
constexpr double kCs4 = -0x1.5555555555535p-5;
constexpr double kCs6 = 0x1.6c16bedd9e239p-10;
constexpr double kBig = 0x1.8p45;  // adding it rounds |x| < 1 to a multiple of 1/128
constexpr double kHalfPiHigh = 0x1.921FB54442D18p0;
constexpr double kHalfPiLow = 0x1.1A62633145C07p-54;
constexpr double kMp1 = 0x1.921FB58000000p0;
constexpr double kMp2 = -0x1.DDE973C000000p-27;
constexpr double kPp3 = -0x1.CB3B398000000p-55;
constexpr double kPp4 = -0x1.d747f23e32ed7p-83;
constexpr double kTwoOverPi = 0x1.45F306DC9C883p-1;
constexpr double kToInt = 0x1.8p52;

// Where the library's branches begin, as bit patterns of |x|.
constexpr std::uint64_t kSinTiny = 0x3e50000000000000;  // 2^-26
constexpr std::uint64_t kCosTiny = 0x3e40000000000000;  // 2^-27
constexpr std::uint64_t kDirect = 0x3feb600000000000;   // 0.85546875
constexpr std::uint64_t kMiddle = 0x400368fd00000000;   // 2.4262638...
constexpr std::uint64_t kReduced = 0x419921fb00000000;  // 105414336

constexpr double kTaylorBelow = 0.126;
constexpr double kQuadrantMargin = 0.5 - 0x1p-26;
constexpr double kSmallestReduced = 0x1p-30;
constexpr double kReductionMargin = 1.0 - 0x1p-21;
constexpr double kTableSlack = 0x1p-50;
constexpr double kTaylorSlack = 0x1p-52;
constexpr double kAbsoluteSlack = 0x1p-99;
constexpr double kRelativeSlack = 0x1p-100;

// The check of the rounding test (benchmarks/trig_fusing_check.py) builds
// the lanes with chosen multiply-add sites fused, as another build of the
// library may have them, and optionally without the test.
#if defined(VUVIRIDA_TRIG_FUSED_SITES)
#define VUVIRIDA_TRIG_AVX2 "avx2,fma"
#define VUVIRIDA_TRIG_AVX512 "avx512f,avx512dq,avx512vl,avx2,fma"
#else
#define VUVIRIDA_TRIG_FUSED_SITES 0
#define VUVIRIDA_TRIG_AVX2 "avx2"
#define VUVIRIDA_TRIG_AVX512 "avx512f,avx512dq,avx512vl,avx2"
#endif

// The places where the library's source adds a product to a value, which a
// compiler may fuse: a * b + c with two roundings here, one where the check
// build asks for it.
enum Site : unsigned {
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

constexpr bool fused(Site site) {
    return ((VUVIRIDA_TRIG_FUSED_SITES) >> site) & 1;
}

#if defined(VUVIRIDA_PLANT_TRIG_FAULT)
// The build that proves the test at load: one value of the table one ulp
// off, as a wrong table or another library's would be.
const trig_table::Row* planted_table() noexcept {
    static trig_table::Row table[2 * trig_table::kRows];
    std::copy(std::begin(trig_table::kTable), std::end(trig_table::kTable), table);
    table[57].high = double_of(bits_of(table[57].high) + 1);
    return table;
}
const trig_table::Row* const kTable = planted_table();
#else
const trig_table::Row* const kTable = trig_table::kTable;
#endif

// The helpers the steps need, per vector width: a lane mask M (all ones per
// lane for AVX2, a mask register for AVX-512), selections, the bit-pattern
// tests, and the table rows, one 32-byte load per lane, transposed.
#define VUVIRIDA_TRIG_HELPER [[gnu::target(VUVIRIDA_TRIG_WIDTH), gnu::always_inline]] inline

namespace avx2 {

#define VUVIRIDA_TRIG_WIDTH VUVIRIDA_TRIG_AVX2
using D = __m256d;
using M = __m256d;
using Bits = __m256i;

VUVIRIDA_TRIG_HELPER D splat(double v) {
    return _mm256_set1_pd(v);
}
VUVIRIDA_TRIG_HELPER Bits splat_bits(std::uint64_t v) {
    return _mm256_set1_epi64x(static_cast<long long>(v));
}
VUVIRIDA_TRIG_HELPER D load(const double* p) {
    return _mm256_loadu_pd(p);
}
VUVIRIDA_TRIG_HELPER void store(double* p, D v) {
    _mm256_storeu_pd(p, v);
}
VUVIRIDA_TRIG_HELPER M less(D a, D b) {
    return _mm256_cmp_pd(a, b, _CMP_LT_OQ);
}
VUVIRIDA_TRIG_HELPER M both(M a, M b) {
    return _mm256_and_pd(a, b);
}
VUVIRIDA_TRIG_HELPER M either(M a, M b) {
    return _mm256_or_pd(a, b);
}
// a and not b.
VUVIRIDA_TRIG_HELPER M and_not(M a, M b) {
    return _mm256_andnot_pd(b, a);
}
VUVIRIDA_TRIG_HELPER M not_in(M a) {
    return _mm256_xor_pd(a, _mm256_castsi256_pd(splat_bits(~std::uint64_t{0})));
}
// v where m is set, +0.0 elsewhere.
VUVIRIDA_TRIG_HELPER D only(M m, D v) {
    return _mm256_and_pd(m, v);
}
VUVIRIDA_TRIG_HELPER D select(M m, D a, D b) {
    return _mm256_blendv_pd(b, a, m);
}
VUVIRIDA_TRIG_HELPER D magnitude(D v) {
    return _mm256_andnot_pd(splat(-0.0), v);
}
VUVIRIDA_TRIG_HELPER D sign_of(D v) {
    return _mm256_and_pd(splat(-0.0), v);
}
VUVIRIDA_TRIG_HELPER D flip_sign(D v, D sign) {
    return _mm256_xor_pd(v, sign);
}
// Half the spacing of the doubles around |h| (h normal, |h| >= 2^-969).
VUVIRIDA_TRIG_HELPER D half_ulp(D h) {
    const Bits exponent = _mm256_and_si256(_mm256_castpd_si256(h), splat_bits(0x7ff0000000000000));
    return _mm256_castsi256_pd(_mm256_sub_epi64(exponent, splat_bits(std::uint64_t{53} << 52)));
}
VUVIRIDA_TRIG_HELPER M not_power_of_two(D h) {
    const Bits fraction = _mm256_and_si256(_mm256_castpd_si256(h), splat_bits(kFractionBits));
    return not_in(_mm256_castsi256_pd(_mm256_cmpeq_epi64(fraction, _mm256_setzero_si256())));
}
// From t = 1.5 * 2^52 + n, the quadrant n + extra: odd, and bit 1 as a sign.
struct Quadrant {
    M odd;
    D sign;
};
VUVIRIDA_TRIG_HELPER Quadrant quadrant_of(D t, int extra) {
    const Bits n =
        _mm256_add_epi64(_mm256_castpd_si256(t), splat_bits(static_cast<std::uint64_t>(extra)));
    const Bits odd = _mm256_sub_epi64(_mm256_setzero_si256(), _mm256_and_si256(n, splat_bits(1)));
    return {_mm256_castsi256_pd(odd),
            _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_and_si256(n, splat_bits(2)), 62))};
}
struct Rows {
    D high, low, other_high, other_low;
};
// The row of each lane: u = 1.5 * 2^45 + i/128 holds i in its low bits; a
// cosine reads the rows ordered for it.
VUVIRIDA_TRIG_HELPER Rows rows_at(D u, M is_cos) {
    const Bits index = _mm256_add_epi64(
        _mm256_and_si256(_mm256_castpd_si256(u), splat_bits(0xff)),
        _mm256_and_si256(_mm256_castpd_si256(is_cos), splat_bits(trig_table::kRows)));
    const D r0 = _mm256_load_pd(&kTable[_mm256_extract_epi64(index, 0)].high);
    const D r1 = _mm256_load_pd(&kTable[_mm256_extract_epi64(index, 1)].high);
    const D r2 = _mm256_load_pd(&kTable[_mm256_extract_epi64(index, 2)].high);
    const D r3 = _mm256_load_pd(&kTable[_mm256_extract_epi64(index, 3)].high);
    const D even01 = _mm256_unpacklo_pd(r0, r1);  // high0 high1 other_high0 other_high1
    const D odd01 = _mm256_unpackhi_pd(r0, r1);
    const D even23 = _mm256_unpacklo_pd(r2, r3);
    const D odd23 = _mm256_unpackhi_pd(r2, r3);
    return {
        _mm256_permute2f128_pd(even01, even23, 0x20), _mm256_permute2f128_pd(odd01, odd23, 0x20),
        _mm256_permute2f128_pd(even01, even23, 0x31), _mm256_permute2f128_pd(odd01, odd23, 0x31)};
}
template <Site kSite>
VUVIRIDA_TRIG_HELPER D madd(D a, D b, D c) {
#if VUVIRIDA_TRIG_FUSED_SITES
    if constexpr (fused(kSite)) return _mm256_fmadd_pd(a, b, c);
#endif
    return a * b + c;
}

#include "lib/trig_lane_steps.inc"
#undef VUVIRIDA_TRIG_WIDTH

}  // namespace avx2

namespace avx512 {

#define VUVIRIDA_TRIG_WIDTH VUVIRIDA_TRIG_AVX512
using D = __m512d;
using M = __mmask8;
using Bits = __m512i;

VUVIRIDA_TRIG_HELPER D splat(double v) {
    return _mm512_set1_pd(v);
}
VUVIRIDA_TRIG_HELPER Bits splat_bits(std::uint64_t v) {
    return _mm512_set1_epi64(static_cast<long long>(v));
}
VUVIRIDA_TRIG_HELPER D load(const double* p) {
    return _mm512_loadu_pd(p);
}
VUVIRIDA_TRIG_HELPER void store(double* p, D v) {
    _mm512_storeu_pd(p, v);
}
VUVIRIDA_TRIG_HELPER M less(D a, D b) {
    return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ);
}
VUVIRIDA_TRIG_HELPER M both(M a, M b) {
    return static_cast<M>(a & b);
}
VUVIRIDA_TRIG_HELPER M either(M a, M b) {
    return static_cast<M>(a | b);
}
VUVIRIDA_TRIG_HELPER M and_not(M a, M b) {
    return static_cast<M>(a & ~b);
}
VUVIRIDA_TRIG_HELPER M not_in(M a) {
    return static_cast<M>(~a);
}
VUVIRIDA_TRIG_HELPER D only(M m, D v) {
    return _mm512_maskz_mov_pd(m, v);
}
VUVIRIDA_TRIG_HELPER D select(M m, D a, D b) {
    return _mm512_mask_blend_pd(m, b, a);
}
VUVIRIDA_TRIG_HELPER D magnitude(D v) {
    return _mm512_andnot_pd(splat(-0.0), v);
}
VUVIRIDA_TRIG_HELPER D sign_of(D v) {
    return _mm512_and_pd(splat(-0.0), v);
}
VUVIRIDA_TRIG_HELPER D flip_sign(D v, D sign) {
    return _mm512_xor_pd(v, sign);
}
VUVIRIDA_TRIG_HELPER D half_ulp(D h) {
    const Bits exponent = _mm512_and_si512(_mm512_castpd_si512(h), splat_bits(0x7ff0000000000000));
    return _mm512_castsi512_pd(_mm512_sub_epi64(exponent, splat_bits(std::uint64_t{53} << 52)));
}
VUVIRIDA_TRIG_HELPER M not_power_of_two(D h) {
    return _mm512_test_epi64_mask(_mm512_castpd_si512(h), splat_bits(kFractionBits));
}
struct Quadrant {
    M odd;
    D sign;
};
VUVIRIDA_TRIG_HELPER Quadrant quadrant_of(D t, int extra) {
    const Bits n =
        _mm512_add_epi64(_mm512_castpd_si512(t), splat_bits(static_cast<std::uint64_t>(extra)));
    return {_mm512_test_epi64_mask(n, splat_bits(1)),
            _mm512_maskz_mov_pd(_mm512_test_epi64_mask(n, splat_bits(2)), splat(-0.0))};
}
struct Rows {
    D high, low, other_high, other_low;
};
// The shuffles are written with the compiler's vector extension: GCC 12's
// AVX-512 unpack and insert intrinsics warn of uninitialised values.
VUVIRIDA_TRIG_HELPER Rows rows_at(D u, M is_cos) {
    Bits index = _mm512_and_si512(_mm512_castpd_si512(u), splat_bits(0xff));
    index = _mm512_mask_add_epi64(index, is_cos, index, splat_bits(trig_table::kRows));
    alignas(64) std::int64_t i[8];
    _mm512_store_si512(i, index);
    // Rows k and k + 4 side by side, then in each half the transposition of
    // the AVX2 lanes.
    D r[4];
    for (int k = 0; k < 4; ++k) {
        const __m256d low = _mm256_load_pd(&kTable[i[k]].high);
        const __m256d high = _mm256_load_pd(&kTable[i[k + 4]].high);
        r[k] = __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7);
    }
    const D even01 = __builtin_shufflevector(r[0], r[1], 0, 8, 2, 10, 4, 12, 6, 14);
    const D odd01 = __builtin_shufflevector(r[0], r[1], 1, 9, 3, 11, 5, 13, 7, 15);
    const D even23 = __builtin_shufflevector(r[2], r[3], 0, 8, 2, 10, 4, 12, 6, 14);
    const D odd23 = __builtin_shufflevector(r[2], r[3], 1, 9, 3, 11, 5, 13, 7, 15);
    return {__builtin_shufflevector(even01, even23, 0, 1, 8, 9, 4, 5, 12, 13),
            __builtin_shufflevector(odd01, odd23, 0, 1, 8, 9, 4, 5, 12, 13),
            __builtin_shufflevector(even01, even23, 2, 3, 10, 11, 6, 7, 14, 15),
            __builtin_shufflevector(odd01, odd23, 2, 3, 10, 11, 6, 7, 14, 15)};
}
template <Site kSite>
VUVIRIDA_TRIG_HELPER D madd(D a, D b, D c) {
#if VUVIRIDA_TRIG_FUSED_SITES
    if constexpr (fused(kSite)) return _mm512_fmadd_pd(a, b, c);
#endif
    return a * b + c;
}

#include "lib/trig_lane_steps.inc"
#undef VUVIRIDA_TRIG_WIDTH

}  // namespace avx512

}  // namespace

// The lanes, one copy per vector width, over `groups` groups of kLaneGroup
// arguments: NaN where a lane's value is not kept.
void vuvirida_trig_lanes_sin_avx2(const double* __restrict x, std::size_t groups,
                                  double* __restrict y) noexcept {
    avx2::lanes<false>(x, groups, y);
}
void vuvirida_trig_lanes_cos_avx2(const double* __restrict x, std::size_t groups,
                                  double* __restrict y) noexcept {
    avx2::lanes<true>(x, groups, y);
}
void vuvirida_trig_lanes_sin_avx512(const double* __restrict x, std::size_t groups,
                                    double* __restrict y) noexcept {
    avx512::lanes<false>(x, groups, y);
}
void vuvirida_trig_lanes_cos_avx512(const double* __restrict x, std::size_t groups,
                                    double* __restrict y) noexcept {
    avx512::lanes<true>(x, groups, y);
}
#endif

namespace {

using LaneFunction = void (*)(const double* __restrict, std::size_t, double* __restrict) noexcept;

struct Width {
    LaneFunction sin;
    LaneFunction cos;
};

#if defined(VUVIRIDA_TRIG_LANES)
// The test at load: the lanes against the library's own sin and cos over
// every branch, every table row and its midpoints, the branch thresholds,
// the multiples of pi/2 and the quadrant ties, each a few ulps either side,
// hard cases (where builds with and without fused multiply-adds differ,
// exact ties of the last sum, trig_hard_arguments.hpp) and arguments spread
// over the usual ranges; 4,096 arguments, about 0.1 ms. The first
// difference turns the lanes off.
constexpr std::size_t kSelfTestSize = 4096;
static_assert(kSelfTestSize % kLaneGroup == 0);

double step_from(double v, int ulps) noexcept {
    return double_of(bits_of(v) + static_cast<std::uint64_t>(static_cast<std::int64_t>(ulps)));
}

bool lanes_agree(LaneFunction lanes, double (*library)(double), const double* x) noexcept {
    double y[kSelfTestSize];
    lanes(x, kSelfTestSize / kLaneGroup, y);
    for (std::size_t i = 0; i < kSelfTestSize; ++i) {
        if (!std::isnan(y[i]) && bits_of(y[i]) != bits_of(library(x[i]))) return false;
    }
    return true;
}

bool self_test_passes(Width lanes) noexcept {
    double x[kSelfTestSize];
    std::size_t n = 0;
    const auto around = [&](double v) {
        for (int k = -2; k <= 2; ++k) {
            x[n++] = step_from(v, k);
            x[n++] = -step_from(v, k);
        }
    };
    for (int i = 1; i < trig_table::kRows; ++i) {
        around(i / 128.0);
        around((i + 0.5) / 128.0);
    }
    for (const std::uint64_t edge : {kSinTiny, kCosTiny, kDirect, kMiddle, kReduced}) {
        around(double_of(edge));
    }
    around(kTaylorBelow);
    for (int k = 1; k <= 64; ++k) {
        around(k * kHalfPiHigh);
        around((k + 0.5) * kHalfPiHigh);
    }
    for (const double hard : trig_table::kHardArguments) {
        x[n++] = hard;
    }
    // The rest from a fixed sequence over a few ranges.
    std::uint64_t state = 0x9e3779b97f4a7c15;
    const double ranges[] = {4.0, 64.0, 4096.0, 1e8};
    for (std::size_t j = 0; n < kSelfTestSize; ++j) {
        state = state * 6364136223846793005 + 1442695040888963407;
        const double unit = static_cast<double>(state >> 11) * 0x1p-53;
        x[n++] = (2.0 * unit - 1.0) * ranges[j % 4];
    }
    return lanes_agree(lanes.sin, library_sin, x) && lanes_agree(lanes.cos, library_cos, x);
}
#endif

// The lanes for this process, or none: a verified glibc, AVX2 at least, and
// a clean test at load.
Width chosen() noexcept {
    if (!library_is_verified_glibc()) return {};
#if defined(VUVIRIDA_TRIG_LANES)
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2")) return {};
    Width lanes{vuvirida_trig_lanes_sin_avx2, vuvirida_trig_lanes_cos_avx2};
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512vl")) {
        lanes = {vuvirida_trig_lanes_sin_avx512, vuvirida_trig_lanes_cos_avx512};
    }
#if VUVIRIDA_TRIG_FUSED_SITES || defined(VUVIRIDA_TRIG_NO_GUARD)
    // The check builds count differences instead: the lanes stay on.
    if (__builtin_cpu_supports("fma")) return lanes;
#endif
    if (!self_test_passes(lanes)) return {};
    return lanes;
#else
    return {};
#endif
}

// Chosen once, when the module is loaded.
const Width kLanes = chosen();

void fill(LaneFunction lanes, double (*library)(double), const double* x, std::size_t n,
          double* y) noexcept {
    // Whole groups go through the lanes, in the mode they need
    // (lanes_may_run); the library answers for every lane they left NaN, in
    // a pass of its own that keeps the lanes' loop free of calls, and for
    // the rest.
    const std::size_t whole =
        lanes == nullptr || !lanes_may_run() ? 0 : n / kLaneGroup * kLaneGroup;
    if (whole != 0) lanes(x, whole / kLaneGroup, y);
    for (std::size_t i = 0; i < whole; ++i) {
        if (std::isnan(y[i])) [[unlikely]] {
            y[i] = library(x[i]);
        }
    }
    for (std::size_t i = whole; i < n; ++i) {
        y[i] = library(x[i]);
    }
}

}  // namespace

bool trig_lanes_in_use() noexcept {
    return kLanes.sin != nullptr;
}

void sines(const double* x, std::size_t n, double* y) noexcept {
    fill(kLanes.sin, library_sin, x, n, y);
}

void cosines(const double* x, std::size_t n, double* y) noexcept {
    fill(kLanes.cos, library_cos, x, n, y);
}

}  // namespace vuvirida::lib
