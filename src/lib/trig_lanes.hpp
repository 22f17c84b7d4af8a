// sin and cos over a block of arguments, bit for bit the platform math
// library's.
//
// Where the platform library is a glibc whose sin and cos follow the
// algorithm written out in trig_lanes.cpp, most arguments are evaluated here
// by the same steps, four or eight at a time, and kept only where every build of that
// algorithm (whichever multiply-adds its compiler fused) rounds to the same
// double; every other argument goes to the library. A test at load compares
// the lanes with the library over a few thousand arguments and turns them off
// for the process at the first difference. Everywhere else every argument
// goes to the library.
#pragma once

#include <cstddef>

#include "lib/lanes.hpp"

namespace vuvirida::lib {

// y[i] = sin(x[i]) (cos(x[i])) for i < n, the library's value, through the
// lanes where they are in use and the processor is in the mode they need
// (lanes_may_run), and from the library's own call for every argument the
// lanes do not vouch for and past the last whole group of kLaneGroup. x and
// y do not overlap.
void sines(const double* x, std::size_t n, double* y) noexcept;
void cosines(const double* x, std::size_t n, double* y) noexcept;

// Whether sines and cosines evaluate in this process: the library is a
// glibc whose algorithm they repeat, the processor has AVX2, and the test at
// load found no difference.
bool trig_lanes_in_use() noexcept;

#if defined(__x86_64__) && defined(__GNUC__)
// Each vector width's lanes alone, over `groups` groups of kLaneGroup
// arguments: NaN where a lane's value goes to the library. For the checks
// and the benchmark's shares; call only a width the processor has.
void vuvirida_trig_lanes_sin_avx2(const double* x, std::size_t groups, double* y) noexcept;
void vuvirida_trig_lanes_cos_avx2(const double* x, std::size_t groups, double* y) noexcept;
void vuvirida_trig_lanes_sin_avx512(const double* x, std::size_t groups, double* y) noexcept;
void vuvirida_trig_lanes_cos_avx512(const double* x, std::size_t groups, double* y) noexcept;
#endif

}  // namespace vuvirida::lib
