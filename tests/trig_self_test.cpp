// Proves that the sin and cos lanes' test at load turns them off when they
// would differ from the library: CI builds this twice with the kernels'
// flags, as shipped (on an x86-64 with AVX2 and a glibc the lanes know, they
// must be in use) and with one table value planted an ulp off
// (-DVUVIRIDA_PLANT_TRIG_FAULT: they must not be). Either way every value
// must be the library's. Exits non-zero otherwise.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "lib/trig_lanes.hpp"

int main() {
#if defined(VUVIRIDA_PLANT_TRIG_FAULT)
    const bool want_in_use = false;
#else
    const bool want_in_use = true;
#endif
    double x[1024], s[1024], c[1024];
    for (int i = 0; i < 1024; ++i) {
        x[i] = (i - 512) / 64.0 + 57.0 / 128.0;  // every row, near the planted one too
    }
    vuvirida::lib::sines(x, 1024, s);
    vuvirida::lib::cosines(x, 1024, c);
    int differ = 0;
    for (int i = 0; i < 1024; ++i) {
        const double want_s = std::sin(x[i]);
        differ += std::memcmp(&s[i], &want_s, sizeof want_s) != 0;
    }
    for (int i = 0; i < 1024; ++i) {
        const double want_c = std::cos(x[i]);
        differ += std::memcmp(&c[i], &want_c, sizeof want_c) != 0;
    }
    const bool in_use = vuvirida::lib::trig_lanes_in_use();
    std::printf("lanes in use: %s (want %s); values differing from the library: %d\n",
                in_use ? "yes" : "no", want_in_use ? "yes" : "no", differ);
    return in_use == want_in_use && differ == 0 ? 0 : 1;
}
