// The share of arguments that the module's lanes hand back to the platform
// library, for each lane function of the row chosen at load, read through
// the width table. benchmarks/lanes_library.py compiles this file with the
// kernels into every benchmark's library: benchmarks/run.py and
// exp_long_run.py report the shares; lanes_check.cpp reads the entries.
#include "lane_share.hpp"

#include <cmath>
#include <cstddef>
#include <vector>

namespace vuvirida::bench {

lib::LaneFunction lane_entry(const lib::WidthRow& row, int function) noexcept {
    constexpr lib::LaneFunction lib::WidthRow::*kEntries[kLaneFunctions] = {
        &lib::WidthRow::exp, &lib::WidthRow::sin, &lib::WidthRow::cos, &lib::WidthRow::remainder};
    return function >= 0 && function < kLaneFunctions ? row.*kEntries[function] : nullptr;
}

bool lanes_in_use(int function) noexcept {
    if (lane_entry(lib::chosen_width(), function) == nullptr) return false;
    const lib::Switches on = lib::lanes_switches();
    return function == 0 ? on.exp : function == 3 || on.trig;
}

}  // namespace vuvirida::bench

extern "C" {

// The name of the row the module chose at load ("avx512", "avx2", "scalar").
const char* lane_row() {
    return vuvirida::lib::chosen_width().name;
}

// The share of x[0 ... n) that the chosen row's lanes of function hand back
// to the library; -1 where those lanes are not in use (every value is then
// the library's), 0 for no arguments.
double lane_fallback_share(int function, const double* x, std::size_t n) {
    using namespace vuvirida::bench;
    if (!lanes_in_use(function)) return -1.0;
    if (n == 0) return 0.0;
    std::vector<double> y(n);
    lane_entry(vuvirida::lib::chosen_width(), function)(x, n, y.data());
    std::size_t asked = 0;
    for (const double v : y) asked += std::isnan(v) ? 1u : 0u;
    return static_cast<double>(asked) / static_cast<double>(n);
}
}
