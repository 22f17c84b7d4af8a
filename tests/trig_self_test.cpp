// Proves that the sin and cos lanes' test at load turns them off when they
// would differ from the library: CI builds this twice with the kernels'
// flags, as shipped (on an x86-64 with AVX2 and a glibc the lanes know, they
// must be in use) and with one table value planted an ulp off
// (-DVUVIRIDA_PLANT_TRIG_FAULT: they must not be, though the planted lanes
// would keep values that are not the library's). Either way every value
// given must be the library's, and as shipped each lane width the processor
// has (the module runs only the widest) keeps only the library's values.
// Exits non-zero otherwise.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "lib/trig_lanes.hpp"

namespace {

using Lanes = void (*)(const double*, std::size_t, double*) noexcept;

// Lanes' values (NaN: left to the library) that differ from the library's.
int kept_differing(Lanes lanes, double (*library)(double), const double* x, int n) {
    double y[1024];
    lanes(x, static_cast<std::size_t>(n) / 8, y);
    int differ = 0;
    for (int i = 0; i < n; ++i) {
        const double want = library(x[i]);
        differ += !std::isnan(y[i]) && std::memcmp(&y[i], &want, sizeof want) != 0;
    }
    return differ;
}

double library_sin(double v) {
    return std::sin(v);
}
double library_cos(double v) {
    return std::cos(v);
}

}  // namespace

int main() {
#if defined(VUVIRIDA_PLANT_TRIG_FAULT)
    const bool planted = true;
#else
    const bool planted = false;
#endif
    double x[1024], s[1024], c[1024];
    for (int i = 0; i < 1024; ++i) {
        x[i] = (i - 512) / 64.0 + 57.0 / 128.0;  // every row, near the planted one too
    }
    using namespace vuvirida::lib;
    sines(x, 1024, s);
    cosines(x, 1024, c);
    int differ = 0;
    for (int i = 0; i < 1024; ++i) {
        const double want_s = library_sin(x[i]), want_c = library_cos(x[i]);
        differ += std::memcmp(&s[i], &want_s, sizeof want_s) != 0;
        differ += std::memcmp(&c[i], &want_c, sizeof want_c) != 0;
    }
    // Each width's own lanes, whichever the module chose: their kept values
    // are the library's as shipped, and not all of them with the plant.
    int lanes_differ = 0;
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        lanes_differ += kept_differing(vuvirida_trig_lanes_sin_avx2, library_sin, x, 1024);
        lanes_differ += kept_differing(vuvirida_trig_lanes_cos_avx2, library_cos, x, 1024);
    }
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512vl")) {
        lanes_differ += kept_differing(vuvirida_trig_lanes_sin_avx512, library_sin, x, 1024);
        lanes_differ += kept_differing(vuvirida_trig_lanes_cos_avx512, library_cos, x, 1024);
    }
    const bool in_use = trig_lanes_in_use();
    std::printf(
        "planted: %s; lanes in use: %s; values differing from the library: %d; "
        "kept lane values differing: %d\n",
        planted ? "yes" : "no", in_use ? "yes" : "no", differ, lanes_differ);
    return in_use != planted && differ == 0 && (lanes_differ != 0) == planted ? 0 : 1;
}
