// The share of arguments that the module's lanes hand back to the platform
// library, for exp, for sin and cos, and for the impulse train's remainder.
// benchmarks/run.py compiles this file with the module's lane files (its
// LANE_SOURCES) into a shared library of its own; this file and that list
// are all the benchmark knows of how the lanes are reached.
#include <cmath>
#include <cstddef>
#include <vector>

#include "lib/exp_lanes.hpp"
#include "lib/impulse_lanes.hpp"
#include "lib/trig_lanes.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#define LANE_SHARE_TRIG 1
#endif

namespace lib = vuvirida::lib;

extern "C" {

// The bits of the sin and cos lanes that the module runs: 512 or 256 (the
// choice trig_lanes.cpp makes at load), 0 where they are not in use.
int trig_lane_bits() {
#if defined(LANE_SHARE_TRIG)
    if (!lib::trig_lanes_in_use()) return 0;
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                   __builtin_cpu_supports("avx512vl")
               ? 512
               : 256;
#else
    return 0;
#endif
}

// The share of x[0..n) that the lanes of `function` (0 exp, 1 sin, 2 cos,
// 3 the impulse train's remainder fmod(x, cycle)) leave to the library, over
// whole groups; -1 where those lanes are not in use (every value is the
// library's).
double lane_fallback_share(int function, const double* x, std::size_t n) {
    if (function == 0 && !lib::exp_lanes_in_use()) return -1.0;
    if ((function == 1 || function == 2) && trig_lane_bits() == 0) return -1.0;
    if (function < 0 || function > 3) return -1.0;
    const std::size_t whole = n / lib::kLaneGroup * lib::kLaneGroup;
    if (whole == 0) return 0.0;
    std::vector<double> y(whole);
    if (function == 0) lib::exp_lanes(x, whole, y.data());
#if defined(LANE_SHARE_TRIG)
    const bool wide = trig_lane_bits() == 512;
    if (function == 1) {
        (wide ? lib::vuvirida_trig_lanes_sin_avx512 : lib::vuvirida_trig_lanes_sin_avx2)(
            x, whole / lib::kLaneGroup, y.data());
    }
    if (function == 2) {
        (wide ? lib::vuvirida_trig_lanes_cos_avx512 : lib::vuvirida_trig_lanes_cos_avx2)(
            x, whole / lib::kLaneGroup, y.data());
    }
#endif
    if (function == 3) {
        // With a pulse of zero everywhere, the train's value is NaN exactly
        // where the remainder is left to the library's fmod.
        const lib::Samples samples{reinterpret_cast<const std::byte*>(x)};
        std::vector<double> r(whole), z(whole), pulse(whole, 0.0);
        lib::impulse_remainders(samples, whole, 0.0, 1.0, r.data(), z.data());
        lib::impulse_values(samples, whole, r.data(), pulse.data(), 0.0, 1.0, 0.0, y.data());
    }
    std::size_t asked = 0;
    for (const double v : y) asked += std::isnan(v) ? 1 : 0;
    return static_cast<double>(asked) / static_cast<double>(whole);
}
}
