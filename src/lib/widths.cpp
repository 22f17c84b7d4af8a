#include "lib/widths.hpp"

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "lib/bits.hpp"
#include "lib/exp_lanes.hpp"
#include "lib/remainder_lanes.hpp"
#include "lib/trig_hard_arguments.hpp"
#include "lib/trig_lanes.hpp"

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif
#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace vuvirida::lib {

namespace {

// The minor version of a glibc 2, or -1 for any other library.
long glibc_2_minor() noexcept {
#if defined(__GLIBC__)
    const char* version = gnu_get_libc_version();
    if (version == nullptr || std::strncmp(version, "2.", 2) != 0) return -1;
    return std::strtol(version + 2, nullptr, 10);
#else
    return -1;
#endif
}

}  // namespace

bool exp_lanes_verified_library() noexcept {
    return glibc_2_minor() >= 0;
}

bool trig_lanes_verified_library() noexcept {
    // The algorithm in trig_lanes.hpp is glibc's from 2.28 (when its slow
    // paths went) to 2.43, checked against its source; a newer glibc stays
    // with the library until someone checks it again.
    const long minor = glibc_2_minor();
    return minor >= 28 && minor <= 43;
}

#if defined(VUVIRIDA_X86_WIDTHS)
// The processor tests, compiled for any x86-64: they run before a width is
// known to be there.
bool avx2_supported() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

bool avx512_supported() noexcept {
    __builtin_cpu_init();
    return avx2_supported() && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
}
#endif

namespace {

constexpr const WidthRow* kRows[] = {
#if defined(VUVIRIDA_X86_WIDTHS)
    &kAvx512Row,
    &kAvx2Row,
#endif
    &kScalarRow,
};

// The test at load, one entry of a row at a time: the lanes against the
// library over kLoadTestSize arguments, every value the lanes kept compared
// bit for bit. For sin and cos: every branch, every table row and its
// midpoints, the branch thresholds, the multiples of pi/2 and the quadrant
// ties, each a few ulps either side, the hard cases (where builds with and
// without fused multiply-adds differ, exact ties of the last sum,
// trig_hard_arguments.hpp), and arguments spread over the usual ranges; for
// exp and the remainder, arguments over their ranges and their edges. About
// 0.1 ms for a row.
constexpr std::size_t kLoadTestSize = 4096;

double step_from(double v, int ulps) noexcept {
    return double_of(bits_of(v) + static_cast<std::uint64_t>(static_cast<std::int64_t>(ulps)));
}

bool lanes_agree(LaneFunction lanes, double (*library)(double), const double* x) noexcept {
    double y[kLoadTestSize];
    lanes(x, kLoadTestSize, y);
    for (std::size_t i = 0; i < kLoadTestSize; ++i) {
        if (!std::isnan(y[i]) && bits_of(y[i]) != bits_of(library(x[i]))) return false;
    }
    return true;
}

// x[n...] from a fixed sequence over the given ranges, to the end.
void spread(double* x, std::size_t n, const double (&ranges)[4]) noexcept {
    std::uint64_t state = 0x9e3779b97f4a7c15;
    for (std::size_t j = 0; n < kLoadTestSize; ++j) {
        state = state * 6364136223846793005 + 1442695040888963407;
        const double unit = static_cast<double>(state >> 11) * 0x1p-53;
        x[n++] = (2.0 * unit - 1.0) * ranges[j % 4];
    }
}

struct Arguments {
    double x[kLoadTestSize];
    std::size_t n = 0;

    void around(double v) noexcept {
        for (int k = -2; k <= 2; ++k) {
            x[n++] = step_from(v, k);
            x[n++] = -step_from(v, k);
        }
    }
};

bool trig_lanes_agree(const WidthRow& row) noexcept {
    Arguments a;
    for (int i = 1; i < trig_table::kRows; ++i) {
        a.around(i / 128.0);
        a.around((i + 0.5) / 128.0);
    }
    for (const std::uint64_t edge :
         {kTrigSinTiny, kTrigCosTiny, kTrigDirect, kTrigMiddle, kTrigReduced}) {
        a.around(double_of(edge));
    }
    a.around(kTrigTaylorBelow);
    for (int k = 1; k <= 64; ++k) {
        a.around(k * kTrigHalfPiHigh);
        a.around((k + 0.5) * kTrigHalfPiHigh);
    }
    for (const double hard : trig_table::kHardArguments) {
        a.x[a.n++] = hard;
    }
    spread(a.x, a.n, {4.0, 64.0, 4096.0, 1e8});
    return lanes_agree(
               row.sin, [](double v) { return std::sin(v); }, a.x) &&
           lanes_agree(row.cos, [](double v) { return std::cos(v); }, a.x);
}

bool exp_lanes_agree(const WidthRow& row) noexcept {
    Arguments a;
    for (const double edge : {kExpLimit, 709.0, kExpZeroAtOrBelow, 745.1332191019411, 0x1p-54,
                              0x1p-53, 0.0, 0x1p-1022}) {
        a.around(edge);
    }
    // Multiples of ln 2 / 128, where the table's rows change.
    for (int k = 1; k <= 256; ++k) a.around(k * (0.6931471805599453 / 128));
    spread(a.x, a.n, {1.0, 30.0, 700.0, 745.0});
    return lanes_agree(row.exp, [](double v) { return std::exp(v); }, a.x);
}

bool remainder_lanes_agree(const WidthRow& row) noexcept {
    Arguments a;
    for (const double edge : {kRemainderBound, kImpulseCycle, 2 * kImpulseCycle,
                              4e7 * kImpulseCycle, kSmallestNormal, 0.0, 4.0, 8.0}) {
        a.around(edge);
    }
    spread(a.x, a.n, {7.0, 1e3, 2.7e8, 1e300});
    return lanes_agree(row.remainder, [](double v) { return std::fmod(v, kImpulseCycle); }, a.x);
}

struct Choice {
    const WidthRow* row;
    Verified verified;
};

// Runs f in the default floating-point environment (rounding to nearest,
// subnormals kept), whatever the importer's, and puts the importer's back.
template <class F>
auto in_default_environment(F f) noexcept {
    std::fenv_t importer;
    const bool saved = std::fegetenv(&importer) == 0;
    if (saved) std::fesetenv(FE_DFL_ENV);
    const auto result = f();
    if (saved) std::fesetenv(&importer);
    return result;
}

#if defined(VUVIRIDA_WIDEST)
// A build for testing a narrower row names its widest.
bool too_wide(const WidthRow& row) noexcept {
    for (const WidthRow* r : kRows) {
        if (std::strcmp(r->name, VUVIRIDA_WIDEST) == 0) return false;
        if (r == &row) return true;
    }
    return false;
}
#else
bool too_wide(const WidthRow&) noexcept {
    return false;
}
#endif

// The widest row the processor has whose exp and remainder lanes agree with
// the library (exp only where the library is one whose bound they rest on),
// and whether its sin and cos lanes may run too.
Choice choose() noexcept {
    return in_default_environment([] {
        const bool exp_library = exp_lanes_verified_library();
        const bool trig_library = trig_lanes_verified_library();
        for (const WidthRow* row : kRows) {
            if (row->exp == nullptr) break;
            if (too_wide(*row) || !row->supported()) continue;
#if VUVIRIDA_TRIG_FUSED_SITES || defined(VUVIRIDA_TRIG_NO_GUARD)
            // The check builds count differences instead: the lanes stay on.
            return Choice{row, {exp_library, trig_library}};
#endif
            if (!remainder_lanes_agree(*row)) continue;
            if (exp_library && !exp_lanes_agree(*row)) continue;
            return Choice{row, {exp_library, trig_library && trig_lanes_agree(*row)}};
        }
        return Choice{&kScalarRow, {false, false}};
    });
}

// Chosen once, when the module is loaded.
const Choice kChoice = choose();

}  // namespace

std::span<const WidthRow* const> width_table() noexcept {
    return kRows;
}

const WidthRow& chosen_width() noexcept {
    return *kChoice.row;
}

Verified verified_lanes() noexcept {
    return kChoice.verified;
}

Switches lanes_switches() noexcept {
#if defined(__x86_64__)
    // MXCSR's rounding control, bits 13 and 14: zero for to nearest.
    const bool nearest = (_mm_getcsr() & 0x6000u) == 0;
#else
    const bool nearest = std::fegetround() == FE_TONEAREST;
#endif
    return {kChoice.verified.exp && nearest, kChoice.verified.trig && nearest};
}

}  // namespace vuvirida::lib
