// The scalar row of the width table: one sample at a time, every exp, sin and
// cos the library's, the remainder exact. Short arrays run it everywhere;
// machines without a vector row run everything through it.
#include "lib/width_scalar.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "lib/bits.hpp"
#include "lib/exp_lanes.hpp"
#include "lib/remainder_lanes.hpp"
#include "lib/samples.hpp"
#include "lib/trig_lanes.hpp"
#include "lib/widths.hpp"

namespace vuvirida::lib::scalar {

// clang-format off: each part uses the ones before it.
#include "lib/exp_lanes.inc"
#include "lib/trig_lanes.inc"
#include "lib/remainder_lanes.inc"
#include "lib/sweep.inc"
#include "lib/waveforms.inc"
// clang-format on

namespace {

void remainder_alone(const double* x, std::size_t n, double* y) noexcept {
    for (std::size_t i = 0; i < n; ++i) y[i] = remainder_lane<ScalarWidth>(x[i]);
}

void harmonic_oscillator_block(Samples time, std::size_t count, double* out,
                               const Oscillation& s) noexcept {
    library_block(HarmonicOscillatorSteps{s}, time, count, out);
}
void pseudo_square_wave_block(Samples time, std::size_t count, double* out,
                              const Oscillation& s) noexcept {
    library_block(PseudoSquareWaveSteps{s}, time, count, out);
}
void pseudo_cycloid_wave_block(Samples time, std::size_t count, double* out,
                               const Oscillation& s) noexcept {
    library_block(PseudoCycloidWaveSteps{s}, time, count, out);
}
void fourier_square_wave_block(Samples time, std::size_t count, double* out, const Oscillation& s,
                               std::uint64_t num_harmonics) noexcept {
    library_block(FourierSquareWaveSteps{s, num_harmonics}, time, count, out);
}
void transient_impulse_block(Samples time, std::size_t count, double* out,
                             const Impulse& s) noexcept {
    library_block(TransientImpulseSteps{s}, time, count, out);
}

bool always() noexcept {
    return true;
}

}  // namespace

}  // namespace vuvirida::lib::scalar

namespace vuvirida::lib {
const WidthRow kScalarRow = {"scalar",
                             scalar::always,
                             nullptr,
                             nullptr,
                             nullptr,
                             scalar::remainder_alone,
                             {scalar::harmonic_oscillator_block, scalar::pseudo_square_wave_block,
                              scalar::pseudo_cycloid_wave_block, scalar::fourier_square_wave_block,
                              scalar::transient_impulse_block}};
}
