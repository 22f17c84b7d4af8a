#include "lib/exp_lanes.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "lib/bits.hpp"
#include "lib/exp_table.hpp"
#include "lib/lanes.hpp"

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

// exp in lanes, with the library's bits
// =====================================
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
// library's value; every other lane takes the library's exp. With
// eps < 2^-14 (below) the test accepts |l| <= 0.48867 ulp(h), and about
// 2 (0.5 - 0.48867) = 2.3% of arguments fall back. All of this is for
// rounding to nearest, the mode in which the library's bound is proven and
// the steps below are evaluated; in any other mode (lanes_may_run in
// lanes.hpp) the library does every exp.
//
// The evaluation, for x in [-708, 708] (the covered range: results normal
// and finite; every other argument, inf and NaN fall back), with
// L = ln 2 / 128; RN is rounding to nearest, and the bounds are absolute:
//
// 1. k = the integer nearest x * RN(1/L) (fused; unfused, nearest
//    RN(x * RN(1/L))), by adding and subtracting 1.5 * 2^52. |k| < 2^17 and
//    |x / L - k| <= 1/2 + 2^-35.
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
//    (the products fused into the sums), three roundings
//    below 2^-70 each (|Th mm| < 2^-16.9), the others below 2^-104.
// 7. (h, l) = Fast2Sum(B, lo) exactly; |l| <= ulp(h) / 2.
// Adding up, with 2^(j/128) e^(s+t) < 2.01: |h + l - y / 2^m| <
// 2 * 2^-68.8 + 2^-70.9 + 3 * 2^-70 + 2 * 2^-81 + 2^-104 < 2^-66.9, and
// h > 0.99 has ulp(h) >= 2^-53: eps < 2^-13.9 ulp. 2^m is a normal double
// (m >= -1022 on the covered range) and so is 2^m h: scaling is exact, and
// the test on h and l holds for 2^m h.
//
// The test: a lane keeps its value where x is in the covered range, h is
// not a power of two (the binade changes there, and with it what an ulp
// means), and RN(h + RN(l * 1.0232)) == h, which implies
// |l| * 1.0232 <= ulp(h) / 2 (1 + 2^-52), so |l| <= 0.48867 ulp(h). It
// also keeps exp(+-0) = 1, which every step above computes exactly and
// every conforming library returns.
// Selections work on the bit patterns as integers so that the loop
// vectorises without relaxing any floating-point rule.
//
// The exact products, Horner's rule and the steps marked fused above use
// fused multiply-add (the bounds hold with those steps rounded twice too), so the
// lanes exist for x86-64 processors with AVX2 and FMA, in the functions
// named vuvirida_exp_lanes_fma_*, the only ones in the module with fused
// instructions (none of them computes a step of a waveform). Elsewhere the
// library does every exp: an evaluation without fused products (Dekker's
// splitting) measured slower than glibc's exp here. The library is checked
// at load: gnu_get_libc_version() must name glibc 2. To enable another
// library, its exp needs a proven bound B, the accepted share of an ulp
// becomes 1 - B - eps, and the hard cases and the long run
// (benchmarks/exp_long_run.py) must show no difference against it.

namespace vuvirida::lib {

namespace {

using Lanes = void (*)(const double* __restrict, std::size_t, double* __restrict) noexcept;

bool library_is_glibc_2() noexcept {
#if defined(__GLIBC__)
    const char* version = gnu_get_libc_version();
    return version != nullptr && std::strncmp(version, "2.", 2) == 0;
#else
    return false;
#endif
}

}  // namespace

#if defined(__x86_64__) && defined(__GNUC__)
#define VUVIRIDA_EXP_LANES 1

namespace {

using exp_table::kPowers;

constexpr double kLimit = 708.0;
constexpr double kRoundShift = 0x1.8p52;
constexpr double kTestScale = 1.0232;

// The steps above for one argument: the library's exp(x), or NaN where the
// library must be asked. Inlined into the lanes below, whose target has
// fused multiply-add, so std::fma is one instruction.
[[gnu::always_inline]] inline double exp_lane(double x) noexcept {
    using namespace exp_table;
    // 1 to 3. w holds 1.5 * 2^52 + k, so its low bits are k's.
    const double w = std::fma(x, kInverseStep, kRoundShift);
    const double k = w - kRoundShift;
    const std::uint64_t w_bits = bits_of(w);
    const double r1 = x - k * kStepHigh;
    const double r2 = k * kStepLow;
    // 4. TwoSum.
    const double s = r1 - r2;
    const double sb = s - r1;
    const double t = (r1 - (s - sb)) - (r2 + sb);
    // 5. e^(s+t) = 1 + s + mm.
    const double q = s * s;
    const double c = std::fma(
        s, std::fma(s, std::fma(s, kInverseFactorial6, kInverseFactorial5), kInverseFactorial4),
        kInverseFactorial3);
    const double tail = (q * s) * c;
    const double mm = std::fma(q, 0.5, tail) + t;
    // 6, 7. 2^(j/128) e^(s+t) = h + l.
    const Entry power = kPowers[w_bits & 127];
    const double a = power.high * s;
    const double a_rest = std::fma(power.high, s, -a);
    const double b = power.high + a;
    const double b_rest = a - (b - power.high);
    const double lo =
        std::fma(power.high, mm, std::fma(power.low, s, power.low)) + (b_rest + a_rest);
    const double h = b + lo;
    const double l = lo - (h - b);
    // The test, then 2^m h, m = floor(k / 128), as an addition to the exponent.
    const std::uint64_t h_bits = bits_of(h);
    const std::uint64_t x_magnitude = bits_of(x) & ~kSignBit;
    const std::uint64_t keep =
        (mask_of(x_magnitude <= bits_of(kLimit)) & mask_of((h_bits & kFractionBits) != 0) &
         mask_of(bits_of(h + l * kTestScale) == h_bits)) |
        mask_of(x_magnitude == 0);
    const std::uint64_t scaled = h_bits + ((w_bits & ~std::uint64_t{127}) << 45);
    return double_of((scaled & keep) | (bits_of(NAN) & ~keep));
}

[[gnu::always_inline]] inline void lanes(const double* __restrict x, std::size_t n,
                                         double* __restrict y) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        y[i] = exp_lane(x[i]);
    }
}

}  // namespace

// The lanes, one copy per vector width. Their names carry the prefix
// vuvirida_exp_lanes_fma: a check of the module's code for fused instructions
// can allow exactly these.
[[gnu::target("avx2,fma")]] void vuvirida_exp_lanes_fma_avx2(const double* __restrict x,
                                                             std::size_t n,
                                                             double* __restrict y) noexcept {
    lanes(x, n, y);
}

[[gnu::target("avx512f,avx512dq,avx512vl,avx2,fma")]] void vuvirida_exp_lanes_fma_avx512(
    const double* __restrict x, std::size_t n, double* __restrict y) noexcept {
    lanes(x, n, y);
}
#endif

namespace {

// Lanes for this process, or none. Without AVX2 and fused multiply-add the
// evaluation costs more than the library's exp, so the library does it all.
Lanes chosen_lanes() noexcept {
    if (!library_is_glibc_2()) return nullptr;
#if defined(VUVIRIDA_EXP_LANES)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2")) {
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
            __builtin_cpu_supports("avx512vl")) {
            return vuvirida_exp_lanes_fma_avx512;
        }
        return vuvirida_exp_lanes_fma_avx2;
    }
#endif
    return nullptr;
}

// Chosen once, when the module is loaded.
const Lanes kLanes = chosen_lanes();

}  // namespace

bool exp_lanes_in_use() noexcept {
    return kLanes != nullptr;
}

void exp_lanes(const double* x, std::size_t n, double* y) noexcept {
    // Whole groups of kLaneGroup go through the lanes; the arguments past the
    // last whole group go to the library. A lone group is bound by the latency
    // of its long chain of dependent steps, so that fewer arguments cost less
    // in library calls; only several groups in flight make the lanes pay.
    // The lanes' values are the library's only in the mode lanes_may_run
    // asks for; in any other, the library does every exp.
    const std::size_t whole =
        kLanes == nullptr || !lanes_may_run() ? 0 : n / kLaneGroup * kLaneGroup;
    if (whole != 0) kLanes(x, whole, y);
    std::fill(y + whole, y + n, NAN);
}

}  // namespace vuvirida::lib
