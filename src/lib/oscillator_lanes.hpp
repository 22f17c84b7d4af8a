// The four oscillating kernels in lanes, for arrays of a block or more
// where the sin and cos lanes are in use (trig_lanes.hpp): a block's exps,
// sines or cosines go through their lanes together, the library answers
// where a lane could not vouch for its value, and the arithmetic around them
// runs in vector lanes over the block, each step as the per-sample function
// has it (samples.hpp). Every value is the library's evaluation of the
// kernel's steps, whatever the scalars, so these paths need no zero-rate or
// zero-frequency cases. Each returns false when the interruption stopped it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/generators.hpp"
#include "lib/loops.hpp"
#include "lib/samples.hpp"

namespace vuvirida::lib {

// Whether an array of n samples goes through the lanes.
bool oscillator_in_lanes(std::size_t n) noexcept;

// The Fourier sum goes through the lanes for at most this many harmonics,
// so that a block's work stays within a few stretches between polls.
inline constexpr std::uint64_t kMostHarmonicsInLanes = kPollWork / kBlock;

bool harmonic_oscillator_in_lanes(Samples time, std::size_t n, double* out, const Oscillation& s,
                                  Interruption interruption) noexcept;
bool fourier_square_wave_in_lanes(Samples time, std::size_t n, double* out, const Oscillation& s,
                                  std::uint64_t num_harmonics, Interruption interruption) noexcept;
bool pseudo_square_wave_in_lanes(Samples time, std::size_t n, double* out, const Oscillation& s,
                                 Interruption interruption) noexcept;
bool pseudo_cycloid_wave_in_lanes(Samples time, std::size_t n, double* out, const Oscillation& s,
                                  Interruption interruption) noexcept;

}  // namespace vuvirida::lib
