// The lane functions of a row of the width table by number, as the
// benchmarks' entry points and their Python callers (benchmarks/
// lanes_library.py, FUNCTIONS) name them: 0 exp, 1 sin, 2 cos, 3 remainder.
#pragma once

#include "lib/widths.hpp"

namespace vuvirida::bench {

inline constexpr int kLaneFunctions = 4;

// The row's entry for function, null where the row has none (the scalar
// row's exp, sin and cos) or function is not one of the four.
lib::LaneFunction lane_entry(const lib::WidthRow& row, int function) noexcept;

// Whether the module runs those lanes in this process, in the current
// rounding mode: the chosen row has them and, for exp, sin and cos, the test
// at load verified them.
bool lanes_in_use(int function) noexcept;

}  // namespace vuvirida::bench
