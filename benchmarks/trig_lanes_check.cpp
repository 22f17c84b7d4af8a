// The sin and cos lanes of each vector width against the platform library,
// called directly. benchmarks/trig_long_run.py compiles this file with
// src/lib/trig_lanes.cpp (and the check builds of trig_fusing_check.py with
// their switches) into a shared library and calls it via ctypes.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "lib/trig_lanes.hpp"

#define EXPORT extern "C" [[gnu::visibility("default")]]

namespace {

using Lanes = void (*)(const double* __restrict, std::size_t, double* __restrict) noexcept;
// [width][function]: width 0 AVX2, 1 AVX-512; function 0 sin, 1 cos.
constexpr Lanes kLanes[2][2] = {
    {vuvirida::lib::vuvirida_trig_lanes_sin_avx2, vuvirida::lib::vuvirida_trig_lanes_cos_avx2},
    {vuvirida::lib::vuvirida_trig_lanes_sin_avx512, vuvirida::lib::vuvirida_trig_lanes_cos_avx512}};

std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

}  // namespace

EXPORT int trig_in_use() {
    return vuvirida::lib::trig_lanes_in_use() ? 1 : 0;
}

// The lanes' values (NaN where they leave the argument to the library).
EXPORT void trig_lanes(int width, int cos, const double* x, std::size_t n, double* y) {
    kLanes[width][cos](x, n / 8, y);
}

// The library's sin (cos) of each argument.
EXPORT void trig_library(int cos, const double* x, std::size_t n, double* y) {
    for (std::size_t i = 0; i < n; ++i) y[i] = cos != 0 ? std::cos(x[i]) : std::sin(x[i]);
}

// Compares the lanes' values for x[0 ... n) (n a multiple of 8) with want, the
// library's or other lanes' (NaN in either is skipped): counts[0] += values
// compared, counts[1] += values that differ; the first that differs is written
// to bad = {x, lane, want}.
EXPORT void trig_compare(int width, int cos, const double* x, std::size_t n, const double* want,
                         std::uint64_t* counts, double* bad) {
    std::vector<double> y(n);
    kLanes[width][cos](x, n / 8, y.data());
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(y[i]) || std::isnan(want[i])) continue;
        ++counts[0];
        if (bits(y[i]) != bits(want[i])) {
            if (counts[1]++ == 0) {
                bad[0] = x[i];
                bad[1] = y[i];
                bad[2] = want[i];
            }
        }
    }
}
