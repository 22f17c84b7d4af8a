// The loop machinery the kernels share: work in stretches between polls, one
// loop per case of zero rate and zero frequency, and envelopes in blocks
// through the exp lanes.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "lib/bits.hpp"
#include "lib/exp_lanes.hpp"
#include "lib/generators.hpp"

namespace vuvirida::lib {

// exp(+-0) = 1, cos(+-0) = 1 and sin(+-0) = +-0 in every conforming math
// library. With kAtZero the call is skipped where the argument is a zero, and
// the result is the library's either way; NaN and every other argument still
// go to the library. Kernels choose kAtZero once per call, where zeros are
// the rule (a zero rate or frequency), so that other calls pay no test.
template <bool kAtZero>
inline double exp_of(double m) noexcept {
    if constexpr (kAtZero) {
        if (m == 0.0) return 1.0;
    }
    return std::exp(m);
}

template <bool kAtZero>
inline double cos_of(double m) noexcept {
    if constexpr (kAtZero) {
        if (m == 0.0) return 1.0;
    }
    return std::cos(m);
}

template <bool kAtZero>
inline double sin_of(double m) noexcept {
    if constexpr (kAtZero) {
        if (m == 0.0) return m;
    }
    return std::sin(m);
}

// Runs body(rate_is_zero, frequency_is_zero) with both as compile-time
// constants, so that each kernel has one loop per case and no per-sample
// test of the scalars.
template <class Body>
inline bool by_zero_scalars(double gamma, double omega, Body&& body) {
    if (gamma == 0.0) {
        if (omega == 0.0) return body(std::true_type{}, std::true_type{});
        return body(std::true_type{}, std::false_type{});
    }
    if (omega == 0.0) return body(std::false_type{}, std::true_type{});
    return body(std::false_type{}, std::false_type{});
}

constexpr std::size_t divide_rounding_up(std::size_t n, std::size_t d) noexcept {
    return n / d + (n % d != 0);
}

// Runs step(args...), which may return nothing or whether to go on; true
// unless it returned false.
template <class Step, class... Args>
[[gnu::always_inline]] inline bool step_ran(Step& step, Args... args) {
    if constexpr (std::is_void_v<std::invoke_result_t<Step&, Args...>>) {
        step(args...);
        return true;
    } else {
        return step(args...);
    }
}

// Samples go through the lanes and the kernels in blocks of kBlock, whose
// working values stay in L1.
inline constexpr std::size_t kBlock = 64;

// Runs step(i) for i = 0, 1, ..., n - 1 in stretches of about kPollWork units
// of work, `work` units a step, and asks `interruption` between stretches
// whether to stop. A step may also stop the loop by returning false. True
// when every step ran; a call whose whole work fits in one stretch never polls.
template <class Step>
inline bool in_stretches(std::size_t n, std::size_t work, Interruption interruption, Step&& step) {
    const std::size_t stretch =
        std::max<std::size_t>(1, kPollWork / std::max<std::size_t>(work, 1));
    for (std::size_t start = 0; start < n; start += stretch) {
        const std::size_t stop = start + std::min(stretch, n - start);
        for (std::size_t i = start; i < stop; ++i) {
            if (!step_ran(step, i)) return false;
        }
        if (stop < n && interruption.requested()) return false;
    }
    return true;
}

// in_stretches, and finish(start, count) after every kBlock steps or fewer
// for the steps just run; finish may also stop the loop by returning false.
template <class Step, class Finish>
inline bool in_stretches_finishing(std::size_t n, std::size_t work, Interruption interruption,
                                   Step&& step, Finish&& finish) {
    const std::size_t stretch =
        std::max<std::size_t>(1, kPollWork / std::max<std::size_t>(work, 1));
    for (std::size_t start = 0; start < n; start += stretch) {
        const std::size_t stop = start + std::min(stretch, n - start);
        for (std::size_t first = start; first < stop; first += kBlock) {
            const std::size_t last = first + std::min(kBlock, stop - first);
            for (std::size_t i = first; i < last; ++i) {
                if (!step_ran(step, i)) return false;
            }
            if (!finish(first, last - first)) return false;
        }
        if (stop < n && interruption.requested()) return false;
    }
    return true;
}

// Runs block(start, count) over the samples in blocks of kBlock (the last
// one shorter), in stretches of about kPollWork units of work, `work` units
// a sample; block may stop the loop by returning false.
template <class Block>
inline bool in_blocks(std::size_t n, std::size_t work, Interruption interruption, Block&& block) {
    return in_stretches(divide_rounding_up(n, kBlock), work * kBlock, interruption,
                        [&](std::size_t b) {
                            const std::size_t start = b * kBlock;
                            return step_ran(block, start, std::min(kBlock, n - start));
                        });
}

// Where a lane evaluation wrote NaN for x[i], the library's own value
// y[i] = f(x[i]). A separate pass, so that the arithmetic after it runs in
// vector lanes.
template <class Library>
inline void library_where_nan(const double* x, double* y, std::size_t count, Library&& f) {
    for (std::size_t i = 0; i < count; ++i) {
        if (std::isnan(y[i])) [[unlikely]] {
            y[i] = f(x[i]);
        }
    }
}

// Hands each NaN among out[start], ..., out[start + count - 1] to redo(i),
// which writes out[i] again and may return false to stop. The kernels' NaN
// rule (generators.hpp) as a pass over values still in L1, in vector lanes:
// a magnitude's bit pattern plus kFractionBits reaches the sign bit exactly
// where the pattern lies above infinity's, that is for a NaN; redo runs only
// where one is NaN.
template <class Redo>
inline bool redo_nans(double* out, std::size_t start, std::size_t count, Redo&& redo) {
    static_assert(((bits_of(INFINITY) + kFractionBits) & kSignBit) == 0);
    static_assert(((bits_of(INFINITY) + 1 + kFractionBits) & kSignBit) != 0);
    std::uint64_t seen = 0;
    for (std::size_t i = start; i < start + count; ++i) {
        seen |= (bits_of(out[i]) & ~kSignBit) + kFractionBits;
    }
    if ((seen & kSignBit) == 0) return true;
    for (std::size_t i = start; i < start + count; ++i) {
        if (std::isnan(out[i]) && !step_ran(redo, i)) return false;
    }
    return true;
}

// envelopes_in_stretches for an array long enough for the exp lanes: the
// arguments of a block go through the lanes together. Kept out of line, so
// that short arrays do not pay for its working arrays.
template <class Argument, class Step, class Finish>
[[gnu::noinline]] bool envelopes_in_blocks(Samples time, std::size_t n, Argument& argument,
                                           std::size_t work, Interruption interruption, Step& step,
                                           Finish& finish) {
    double a[kBlock];
    double e[kBlock];
    return in_stretches(divide_rounding_up(n, kBlock), work * kBlock, interruption,
                        [&](std::size_t block) {
                            const std::size_t start = block * kBlock;
                            const std::size_t count = std::min(kBlock, n - start);
                            for (std::size_t i = 0; i < count; ++i) {
                                a[i] = argument(time[start + i]);
                            }
                            exp_lanes(a, count, e);
                            for (std::size_t i = 0; i < count; ++i) {
                                const double envelope = exp_from_lane(e[i], a[i]);
                                if (!step_ran(step, start + i, time[start + i], envelope)) {
                                    return false;
                                }
                            }
                            return finish(start, count);
                        });
}

// Runs step(i, t, e) for every sample i in order, with t = time[i] and the
// envelope e = exp(argument(t)), as in_stretches does with `work` units a
// sample, and finish(start, count) after every block of steps; argument(t) is
// the kernel's product of t and its rate, in the kernel's own order. With
// kInLanes, the arguments of each block of an array of a block or more go
// through the exp lanes together, each value the library's; otherwise, with
// a zero rate (every argument a zero or NaN) and for shorter arrays, each
// goes through exp_of. Kernels whose other library calls hide the cost of
// exp (measured: pseudo_square_wave and pseudo_cycloid_wave, whose two sin
// or cos calls run alongside it) gain nothing from the lanes and do without
// them.
template <bool kInLanes, bool kZeroRate, class Argument, class Step, class Finish>
[[gnu::always_inline]] inline bool envelopes_in_stretches(Samples time, std::size_t n,
                                                          Argument&& argument, std::size_t work,
                                                          Interruption interruption, Step&& step,
                                                          Finish&& finish) {
    if (!kInLanes || kZeroRate || n < kBlock) {
        return in_stretches_finishing(
            n, work, interruption,
            [&](std::size_t i) {
                const double t = time[i];
                return step_ran(step, i, t, exp_of<kZeroRate>(argument(t)));
            },
            finish);
    }
    return envelopes_in_blocks(time, n, argument, work, interruption, step, finish);
}

}  // namespace vuvirida::lib
