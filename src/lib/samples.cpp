#include "lib/samples.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "lib/bits.hpp"
#include "lib/exp_lanes.hpp"
#include "lib/remainder_lanes.hpp"
#include "lib/trig_lanes.hpp"
#include "lib/width_scalar.hpp"

// Never inlined, and never copied or specialised for a caller, so that one
// compiled copy gives every NaN its bits.
#if defined(__clang__)
#define VUVIRIDA_ONE_COPY [[gnu::noinline]]
#elif defined(__GNUC__)
#define VUVIRIDA_ONE_COPY [[gnu::noipa]]
#else
#define VUVIRIDA_ONE_COPY
#endif

namespace vuvirida::lib {

namespace scalar {
// clang-format off: each part uses the ones before it.
#include "lib/exp_lanes.inc"
#include "lib/trig_lanes.inc"
#include "lib/remainder_lanes.inc"
#include "lib/sweep.inc"
#include "lib/waveforms.inc"
// clang-format on
}  // namespace scalar

// The per-sample functions: each waveform's steps for one sample, every
// library call made.
VUVIRIDA_ONE_COPY double harmonic_oscillator_sample(double t, const Oscillation& s) noexcept {
    using Steps = scalar::HarmonicOscillatorSteps;
    scalar::Library math;
    return Steps::evaluate<ScalarWidth>(Steps{s}.prepare<ScalarWidth>(), t, math);
}

// False when the interruption stopped the harmonic sum.
VUVIRIDA_ONE_COPY bool fourier_square_wave_sample(double t, const Oscillation& s,
                                                  std::uint64_t num_harmonics,
                                                  Interruption interruption,
                                                  double& value) noexcept {
    using Steps = scalar::FourierSquareWaveSteps;
    scalar::Library math;
    return Steps::evaluate<ScalarWidth>(Steps{s, num_harmonics}.prepare<ScalarWidth>(), t, math,
                                        interruption, value);
}

VUVIRIDA_ONE_COPY double pseudo_square_wave_sample(double t, const Oscillation& s) noexcept {
    using Steps = scalar::PseudoSquareWaveSteps;
    scalar::Library math;
    return Steps::evaluate<ScalarWidth>(Steps{s}.prepare<ScalarWidth>(), t, math);
}

VUVIRIDA_ONE_COPY double pseudo_cycloid_wave_sample(double t, const Oscillation& s) noexcept {
    using Steps = scalar::PseudoCycloidWaveSteps;
    scalar::Library math;
    return Steps::evaluate<ScalarWidth>(Steps{s}.prepare<ScalarWidth>(), t, math);
}

VUVIRIDA_ONE_COPY double transient_impulse_sample(double t, const Impulse& s) noexcept {
    using Steps = scalar::TransientImpulseSteps;
    scalar::Library math;
    return Steps::evaluate<ScalarWidth>(Steps{s}.prepare<ScalarWidth>(), t, math);
}

}  // namespace vuvirida::lib
