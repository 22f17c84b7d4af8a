// exp over a block of arguments, bit for bit the platform math library's.
//
// Where the platform library is glibc, whose exp has a proven error bound,
// most arguments are evaluated here in extended precision, several at a time,
// and rounded; an argument whose value could round otherwise in the library
// goes to the library's exp. Everywhere else every argument goes to the
// library. exp_lanes.cpp holds the evaluation, its error analysis and why the
// rounding test makes each value the library's.
#pragma once

#include <cmath>
#include <cstddef>

#include "lib/lanes.hpp"

namespace vuvirida::lib {

// y[i] = exp(x[i]) for i < n where the evaluation in lanes is known to give
// the library's exp(x[i]) to the bit, and NaN where the library must be asked
// (no exp of a covered argument is NaN); NaN throughout where the lanes are
// not in use or the processor is not in the mode they need (lanes_may_run),
// and past the last whole group of kLaneGroup arguments. x and y
// do not overlap. Finish each value with exp_from_lane.
void exp_lanes(const double* x, std::size_t n, double* y) noexcept;

// The fewest arguments worth handing to exp_lanes at once. A lone group is
// bound by the latency of its long chain of dependent steps and costs more
// than the library calls it saves; two groups or more in flight pay. Where a
// kernel has fewer arguments than this at hand, it calls the library for
// each (transient_impulse: a block of fewer samples, which is a short array
// or the end of a long one).
inline constexpr std::size_t kFewestForLanes = 2 * kLaneGroup;

// The library's exp(x), given what exp_lanes wrote for x.
inline double exp_from_lane(double lane, double x) noexcept {
    if (std::isnan(lane)) [[unlikely]] {
        return std::exp(x);
    }
    return lane;
}

// Whether exp_lanes evaluates in this process: the library is glibc.
bool exp_lanes_in_use() noexcept;

}  // namespace vuvirida::lib
