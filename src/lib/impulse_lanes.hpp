// The impulse train's remainder fmod(t, cycle), computed exactly without the
// library call, and the train's values, both in vector lanes.
#pragma once

#include <cstddef>

#include "lib/generators.hpp"

namespace vuvirida::lib {

// Samples with |t| below this get their remainder here; the others, inf and
// NaN, from the library's fmod.
inline constexpr double kFastBound = 268435456.0;  // 2^28

// For i < count: r[i] = fmod(time[i], cycle) and z[i] = (q * q) * -0.5 with
// q = (r[i] - onset) / width, each step rounded on its own as in the kernel,
// where |time[i]| is below kFastBound; placeholders elsewhere. The arrays
// do not overlap.
void impulse_remainders(Samples time, std::size_t count, double onset, double width, double* r,
                        double* z) noexcept;

// For i < count: out[i] = (pulse * amplitude) + equilibrium, the pulse p[i]
// where x = r[i] - onset is zero or positive and +0.0 elsewhere, where
// |time[i]| is below kFastBound; NaN elsewhere, and wherever p[i] is NaN and
// the pulse is on. The kernel redoes every NaN value one sample at a time
// (redoing one is always right). The arrays do not overlap.
void impulse_values(Samples time, std::size_t count, const double* r, const double* p, double onset,
                    double amplitude, double equilibrium, double* out) noexcept;

}  // namespace vuvirida::lib
