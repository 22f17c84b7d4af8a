// The floor of the benchmark: the per-sample formula of each waveform as a
// plain C++ loop over the platform math library's exp, sin, cos and fmod,
// with no interpreter in the loop. benchmarks/run.py compiles this file with
// `g++ -O2 -ffp-contract=off` into a shared library and calls it via ctypes.
//
// floor_eval writes one call's values; floor_seconds times `inner` calls back
// to back in the calling thread's CPU time, `repeats` times, and returns the
// fastest time per call, so that small n are timed without the ctypes call
// itself. The machine is shared: a thread's CPU time leaves out the time
// other work held the core, where a wall clock would count it. The clock is
// read once before and once after the `inner` calls (each reading is a system
// call under some hypervisors, about a microsecond), so run.py makes `inner`
// large enough that the readings are a negligible part of the time.
//
// run.py compiles this file a second time with -DFLOOR_LIBMVEC and
// -O3 -ffast-math, vector instructions and -fopenmp-simd, linked with
// -lmvec: each sample loop is then a `#pragma omp simd` loop, and GCC
// evaluates exp, sin and cos through glibc's vector math library (libmvec)
// several samples at a time. Those values are not libm's bit for bit; the
// times are the limit this machine allows for the same formulas.
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#if defined(FLOOR_LIBMVEC)
#define FLOOR_SIMD _Pragma("omp simd")
#else
#define FLOOR_SIMD
#endif

namespace {

constexpr double kFourOverPi = 1.2732395447351628;
constexpr double kCycle = 6.283185297179586;
constexpr double kTurn = 6.283185307179586;

// s holds the scalars in signature order after the time array.
[[gnu::noinline]] void harmonic(const double* t, std::size_t n, double* out, const double* s,
                                std::uint64_t) {
    FLOOR_SIMD for (std::size_t i = 0; i < n; ++i) {
        out[i] = ((std::exp(t[i] * s[1]) * s[0]) * std::cos((t[i] + s[3]) * s[2])) + s[4];
    }
}

[[gnu::noinline]] void pseudo_square(const double* t, std::size_t n, double* out, const double* s,
                                     std::uint64_t) {
    FLOOR_SIMD for (std::size_t i = 0; i < n; ++i) {
        const double theta = (t[i] + s[3]) * s[2];
        out[i] =
            ((std::exp(s[1] * t[i]) * s[0]) * (std::sin(theta) + (std::sin(theta * 3.0) * 0.5))) +
            s[4];
    }
}

#if defined(FLOOR_LIBMVEC)
// The same terms in the same order per sample, taken harmonic by harmonic
// over a block of samples: GCC vectorises only a loop without a loop inside.
[[gnu::noinline]] void fourier(const double* t, std::size_t n, double* out, const double* s,
                               std::uint64_t harmonics) {
    constexpr std::size_t kBlock = 256;
    double sum[kBlock];
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t count = std::min(kBlock, n - start);
        const double* tb = t + start;
        FLOOR_SIMD for (std::size_t i = 0; i < count; ++i) sum[i] = 0.0;
        for (std::uint64_t j = 0; j < harmonics; ++j) {
            const double k = static_cast<double>(2 * j + 1);
            FLOOR_SIMD for (std::size_t i = 0; i < count; ++i) {
                sum[i] = sum[i] + ((std::sin((tb[i] + s[3]) * (k * s[2])) * kFourOverPi) / k);
            }
        }
        FLOOR_SIMD for (std::size_t i = 0; i < count; ++i) {
            out[start + i] = ((std::exp(s[1] * tb[i]) * s[0]) * (sum[i] + 1.0)) + s[4];
        }
    }
}
#else
[[gnu::noinline]] void fourier(const double* t, std::size_t n, double* out, const double* s,
                               std::uint64_t harmonics) {
    FLOOR_SIMD for (std::size_t i = 0; i < n; ++i) {
        const double u = t[i] + s[3];
        double sum = 0.0;
        for (std::uint64_t j = 0; j < harmonics; ++j) {
            const double k = static_cast<double>(2 * j + 1);
            sum = sum + ((std::sin(u * (k * s[2])) * kFourOverPi) / k);
        }
        out[i] = ((std::exp(s[1] * t[i]) * s[0]) * (sum + 1.0)) + s[4];
    }
}
#endif

[[gnu::noinline]] void cycloid(const double* t, std::size_t n, double* out, const double* s,
                               std::uint64_t) {
    FLOOR_SIMD for (std::size_t i = 0; i < n; ++i) {
        const double u = t[i] + s[3];
        const double c1 = std::cos(u * s[2]);
        out[i] =
            ((std::exp(t[i] * s[1]) * s[0]) * (std::cos((s[2] + s[2]) * u) - (c1 + c1))) + s[4];
    }
}

// s = amplitude, period, width, equilibrium
[[gnu::noinline]] void impulse(const double* t, std::size_t n, double* out, const double* s,
                               std::uint64_t) {
    const double onset = (s[1] / 24.0) * kTurn;
    FLOOR_SIMD for (std::size_t i = 0; i < n; ++i) {
        const double x = std::fmod(t[i], kCycle) - onset;
        double p = 0.0;
        if (x >= 0.0) {
            const double q = x / s[2];
            p = std::exp((q * q) * -0.5);
        }
        out[i] = (p * s[0]) + s[3];
    }
}

using Kernel = void (*)(const double*, std::size_t, double*, const double*, std::uint64_t);
// Same order as FUNCTIONS in run.py.
constexpr Kernel kKernels[] = {harmonic, pseudo_square, fourier, cycloid, impulse};

double thread_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

extern "C" {

int floor_eval(int which, const double* t, std::size_t n, double* out, const double* s,
               std::uint64_t harmonics) {
    if (which < 0 || which >= 5) return -1;
    kKernels[which](t, n, out, s, harmonics);
    return 0;
}

double floor_seconds(int which, const double* t, std::size_t n, double* out, const double* s,
                     std::uint64_t harmonics, long inner, int repeats) {
    if (which < 0 || which >= 5 || inner < 1 || repeats < 1) return -1.0;
    const Kernel kernel = kKernels[which];
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const double start = thread_seconds();
        for (long k = 0; k < inner; ++k) {
            kernel(t, n, out, s, harmonics);
            // The output is observed, so no call can be dropped.
            asm volatile("" : : "r"(out) : "memory");
        }
        best = std::min(best, (thread_seconds() - start) / static_cast<double>(inner));
    }
    return best;
}
}
