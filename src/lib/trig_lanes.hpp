// sin and cos over a block of arguments, bit for bit the platform math
// library's.
//
// Where the platform library is a glibc whose sin and cos follow the
// algorithm written out in trig_lanes.cpp, most arguments are evaluated here
// by the same steps, four at a time, and kept only where every build of that
// algorithm (whichever multiply-adds its compiler fused) rounds to the same
// double; every other argument goes to the library. A test at load compares
// the lanes with the library over a few thousand arguments and turns them off
// for the process at the first difference. Everywhere else every argument
// goes to the library.
#pragma once

#include <cmath>
#include <cstddef>

#include "lib/lanes.hpp"

namespace vuvirida::lib {

// y[i] = sin(x[i]) (cos(x[i])) for i < n where the lanes vouch for the
// library's value, and NaN where the library must be asked (no sine or
// cosine of an argument the lanes keep is NaN); NaN throughout where the
// lanes are not in use or the processor is not in the mode they need
// (lanes_may_run), and past the last whole group of four. x and y do not
// overlap. Finish each value with sin_from_lane or cos_from_lane.
void sin_lanes(const double* x, std::size_t n, double* y) noexcept;
void cos_lanes(const double* x, std::size_t n, double* y) noexcept;

// The library's sin(x) (cos(x)), given what sin_lanes (cos_lanes) wrote for x.
inline double sin_from_lane(double lane, double x) noexcept {
    if (std::isnan(lane)) [[unlikely]] {
        return std::sin(x);
    }
    return lane;
}

inline double cos_from_lane(double lane, double x) noexcept {
    if (std::isnan(lane)) [[unlikely]] {
        return std::cos(x);
    }
    return lane;
}

// Whether sin_lanes and cos_lanes evaluate in this process: the library is a
// glibc whose algorithm they repeat, the processor has AVX2, and the test at
// load found no difference.
bool trig_lanes_in_use() noexcept;

}  // namespace vuvirida::lib
