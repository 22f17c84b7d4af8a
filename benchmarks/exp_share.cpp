// The share of exp arguments that the module's exp lanes hand back to the
// platform library. benchmarks/run.py compiles this file with floor.cpp and
// src/lib/exp_lanes.cpp into the floor's shared library.
#include <cmath>
#include <cstddef>
#include <vector>

#include "lib/exp_lanes.hpp"

extern "C" {

// -1 where the lanes are not in use (every exp is the library's).
double exp_fallback_share(const double* x, std::size_t n) {
    if (!vuvirida::lib::exp_lanes_in_use()) return -1.0;
    if (n == 0) return 0.0;
    std::vector<double> y(n);
    vuvirida::lib::exp_lanes(x, n, y.data());
    std::size_t asked = 0;
    for (const double v : y) asked += std::isnan(v) ? 1 : 0;
    return static_cast<double>(asked) / static_cast<double>(n);
}
}
