// CI's lane test: every row of the width table the processor has, checked
// against the library and against the scalar row, bit for bit. CI builds it
// twice with the kernels' flags: as shipped, and with one sin and cos table
// value planted an ulp off (-DVUVIRIDA_PLANT_TRIG_FAULT). It checks that
//  - the module is loaded while the rounding mode is upward (as when a
//    program imports it in that mode), yet the test at load runs in the
//    default mode, chooses the widest row the processor has, turns the sin
//    and cos lanes on as shipped and off with the plant, and leaves the
//    importer's mode as it was;
//  - each row's exp, sin, cos and remainder lanes keep only the library's
//    values (with the plant, its sin and cos lanes would keep wrong ones);
//  - each row's five kernels give the scalar row's values, NaN bits
//    included, at every count of a block, for ordinary, edge and NaN samples.
// Exits non-zero otherwise.
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "lib/trig_lanes.hpp"
#include "lib/widths.hpp"

namespace {

using namespace vuvirida::lib;

// Before any of the module's static initialisers: the importer's mode.
[[gnu::constructor(101)]] void import_rounding_upward() {
    std::fesetround(FE_UPWARD);
}

std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// A fixed sequence: arguments spread over many magnitudes, both signs.
std::vector<double> arguments(std::size_t n, double scale) {
    std::vector<double> x(n);
    std::uint64_t state = 0x2545f4914f6cdd1d;
    for (double& v : x) {
        state = state * 6364136223846793005 + 1442695040888963407;
        const double unit = static_cast<double>(state >> 11) * 0x1p-53;
        v = (2.0 * unit - 1.0) * scale;
    }
    return x;
}

// The lanes' kept values that differ from the library's.
int kept_differing(LaneFunction lanes, double (*library)(double), const std::vector<double>& x) {
    std::vector<double> y(x.size());
    lanes(x.data(), x.size(), y.data());
    int differ = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        differ += !std::isnan(y[i]) && bits(y[i]) != bits(library(x[i]));
    }
    return differ;
}

// The samples of the kernel test: ordinary times, edges, NaN and inf.
std::vector<double> samples() {
    std::vector<double> t = arguments(4096, 60.0);
    const double edges[] = {0.0,    -0.0,  INFINITY, -INFINITY, NAN,    -NAN, 5e-324,
                            1e-310, 1e300, -1e300,   709.8,     -745.2, 2e8,  6.283185297179586};
    for (std::size_t i = 0; i < std::size(edges); ++i) t[37 * i + 5] = edges[i];
    return t;
}

// Values of each row's kernels that differ from the scalar row's.
int kernels_differing(const WidthRow& row) {
    const std::vector<double> t = samples();
    const Oscillation oscillators[] = {{1.5, -0.01, 0.26, 0.3, 0.1},
                                       {2.0, 0.0, 1.3, -0.2, -0.5},
                                       {NAN, 0.02, 0.7, 1.0, 0.0},
                                       {1.0, 1.0, INFINITY, 0.0, 0.0}};
    const Impulse impulses[] = {{1.5, 3.0, 0.5, 0.1}, {2.0, -2.0, 0.0, 1.0}, {1.0, 0.0, NAN, 0.0}};
    int differ = 0;
    std::vector<double> got(kBlock), want(kBlock);
    for (std::size_t start = 0; start + kBlock <= t.size(); start += 61) {
        const std::size_t count = 1 + start % kBlock;
        const Samples at{reinterpret_cast<const std::byte*>(t.data() + start)};
        const auto compare = [&](auto kernel) {
            kernel(row.kernels, got.data());
            kernel(kScalarRow.kernels, want.data());
            for (std::size_t i = 0; i < count; ++i) differ += bits(got[i]) != bits(want[i]);
        };
        for (const Oscillation& s : oscillators) {
            compare([&](const BlockKernels& k, double* out) {
                k.harmonic_oscillator(at, count, out, s);
            });
            compare([&](const BlockKernels& k, double* out) {
                k.pseudo_square_wave(at, count, out, s);
            });
            compare([&](const BlockKernels& k, double* out) {
                k.pseudo_cycloid_wave(at, count, out, s);
            });
            compare([&](const BlockKernels& k, double* out) {
                k.fourier_square_wave(at, count, out, s, start % 7);
            });
        }
        for (const Impulse& s : impulses) {
            compare([&](const BlockKernels& k, double* out) {
                k.transient_impulse(at, count, out, s);
            });
        }
    }
    return differ;
}

}  // namespace

int main() {
#if defined(VUVIRIDA_PLANT_TRIG_FAULT)
    const bool planted = true;
#else
    const bool planted = false;
#endif
    int failures = 0;
    const auto check = [&](bool ok, const char* what) {
        if (!ok) std::printf("FAILED: %s\n", what);
        failures += ok ? 0 : 1;
    };
    check(std::fegetround() == FE_UPWARD, "the importer's rounding mode is left as it was");
    std::fesetround(FE_TONEAREST);

    const WidthRow* widest = &kScalarRow;
    for (const WidthRow* row : width_table()) {
        if (row->supported()) {
            widest = row;
            break;
        }
    }
    std::printf("chosen row: %s; widest the processor has: %s; sin and cos lanes verified: %s\n",
                chosen_width().name, widest->name, verified_lanes().trig ? "yes" : "no");
    check(&chosen_width() == widest, "the widest row is chosen");
    // On as shipped wherever a vector row runs on a glibc whose steps the
    // lanes repeat; off with the plant.
    const bool trig_expected = widest->sin != nullptr && trig_lanes_verified_library() && !planted;
    check(verified_lanes().trig == trig_expected,
          "the sin and cos lanes are on as shipped, off planted");

    const std::vector<double> trig = arguments(1 << 15, 100.0);
    const std::vector<double> exp = arguments(1 << 15, 745.0);
    const std::vector<double> cycles = arguments(1 << 15, 1e9);
    for (const WidthRow* row : width_table()) {
        if (!row->supported()) continue;
        int lanes = 0;
        if (row->exp != nullptr) {
            lanes += kept_differing(row->exp, [](double v) { return std::exp(v); }, exp);
            const int trig_differ =
                kept_differing(
                    row->sin, [](double v) { return std::sin(v); }, trig) +
                kept_differing(row->cos, [](double v) { return std::cos(v); }, trig);
            std::printf("%s: sin and cos lanes keep %d values that are not the library's\n",
                        row->name, trig_differ);
            check((trig_differ != 0) == planted, "the sin and cos lanes keep the library's values");
        }
        lanes += kept_differing(
            row->remainder, [](double v) { return std::fmod(v, 6.283185297179586); }, cycles);
        const int kernels = kernels_differing(*row);
        std::printf(
            "%s: exp and remainder lanes keep %d wrong values; kernels differ from the "
            "scalar row in %d values\n",
            row->name, lanes, kernels);
        check(lanes == 0, "the exp and remainder lanes keep the library's values");
        check(kernels == 0, "the kernels give the scalar row's values");
    }
    return failures == 0 ? 0 : 1;
}
