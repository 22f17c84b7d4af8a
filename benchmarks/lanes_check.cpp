// Every lane function of every row of the width table against the platform
// library, called directly. benchmarks/lanes_library.py compiles this file
// with the kernels (and, for trig_fusing_check.py, with the check builds'
// switches) into a shared library; lanes_long_run.py and
// trig_fusing_check.py call it via ctypes. A row is its index in
// width_table(), a function its number in lane_share.hpp.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "lane_share.hpp"
#include "lib/bits.hpp"
#include "lib/widths.hpp"

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace {

using namespace vuvirida;

// MXCSR's flush-to-zero and denormals-are-zero bits, which lanes_environment
// names 1 and 2.
constexpr unsigned kFlushToZero = 0x8000;
constexpr unsigned kDenormalsAreZero = 0x0040;
unsigned environment_bits = 0;

// Sets the chosen environment for one entry point's work, the lanes' and the
// library's alike, and gives the caller's back when it goes.
class EnvironmentSetForCall {
  public:
    EnvironmentSetForCall() noexcept {
#if defined(__x86_64__)
        saved_ = _mm_getcsr();
        _mm_setcsr((saved_ & ~(kFlushToZero | kDenormalsAreZero)) | environment_bits);
#endif
    }
    ~EnvironmentSetForCall() {
#if defined(__x86_64__)
        _mm_setcsr(saved_);
#endif
    }
    EnvironmentSetForCall(const EnvironmentSetForCall&) = delete;
    EnvironmentSetForCall& operator=(const EnvironmentSetForCall&) = delete;

  private:
    unsigned saved_ = 0;
};

lib::LaneFunction entry(int row, int function) {
    const std::span<const lib::WidthRow* const> rows = lib::width_table();
    if (row < 0 || static_cast<std::size_t>(row) >= rows.size()) return nullptr;
    if (!rows[static_cast<std::size_t>(row)]->supported()) return nullptr;
    return bench::lane_entry(*rows[static_cast<std::size_t>(row)], function);
}

double library(int function, double x) {
    switch (function) {
        case 0:
            return std::exp(x);
        case 1:
            return std::sin(x);
        case 2:
            return std::cos(x);
        default:
            return std::fmod(x, lib::kImpulseCycle);
    }
}

}  // namespace

extern "C" {

int lanes_rows() {
    return static_cast<int>(lib::width_table().size());
}

const char* lanes_row_name(int row) {
    return row >= 0 && row < lanes_rows() ? lib::width_table()[static_cast<std::size_t>(row)]->name
                                          : nullptr;
}

// Whether the row runs here and has lanes for function.
int lanes_row_has(int row, int function) {
    return entry(row, function) != nullptr ? 1 : 0;
}

// Whether the test at load verified the chosen row's lanes of function
// (the check builds skip that test and report the library's verdict alone).
int lanes_verified(int function) {
    const lib::Verified verified = lib::verified_lanes();
    return function == 0 ? verified.exp : function == 3 || verified.trig;
}

// The floating-point environment of the work below: 0 the default, 1
// flush-to-zero, 2 denormals-are-zero, 3 both; -1 where the processor has
// no such switches.
int lanes_environment(int chosen) {
#if defined(__x86_64__)
    environment_bits =
        ((chosen & 1) != 0 ? kFlushToZero : 0) | ((chosen & 2) != 0 ? kDenormalsAreZero : 0);
    return 0;
#else
    return chosen == 0 ? 0 : -1;
#endif
}

// The library's exp, sin, cos or fmod(x, cycle) of each argument.
void lanes_library(int function, const double* x, std::size_t n, double* y) {
    const EnvironmentSetForCall environment;
    for (std::size_t i = 0; i < n; ++i) y[i] = library(function, x[i]);
}

// The row's lanes' values (NaN where they hand the argument back); -1 where
// the row has no such lanes here.
int lanes_values(int row, int function, const double* x, std::size_t n, double* y) {
    const lib::LaneFunction lanes = entry(row, function);
    if (lanes == nullptr) return -1;
    const EnvironmentSetForCall environment;
    lanes(x, n, y);
    return 0;
}

// Compares the values the row's lanes keep for x[0 ... n) with want:
// counts[0] += values kept, counts[1] += kept values whose bits differ. want
// is the library's (want_library 1: a kept value where the library gives
// NaN differs) or other lanes' (0: where those hand back, nothing is
// compared). The first value that differs goes to bad = {x, lane, want}.
// -1 where the row has no such lanes here.
int lanes_compare(int row, int function, const double* x, std::size_t n, const double* want,
                  int want_library, std::uint64_t* counts, double* bad) {
    std::vector<double> y(n);
    if (lanes_values(row, function, x, n, y.data()) != 0) return -1;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(y[i]) || (want_library == 0 && std::isnan(want[i]))) continue;
        ++counts[0];
        if (lib::bits_of(y[i]) != lib::bits_of(want[i]) && counts[1]++ == 0) {
            bad[0] = x[i];
            bad[1] = y[i];
            bad[2] = want[i];
        }
    }
    return 0;
}
}
