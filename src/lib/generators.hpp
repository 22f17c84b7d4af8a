// The five waveform kernels.
//
// Each kernel reads n samples from `time` and writes n values to `out`, one
// value per sample, every value computed from its own sample and the scalars
// alone. The arithmetic is float64 with each operation rounded on its own, in
// the order and grouping written in the kernel, and exp, cos, sin and fmod are
// the platform math library's; results are compared bit for bit with that
// evaluation, so no kernel may reorder, fuse or approximate any step. A step
// may be computed another way only where that gives the same bits: a library
// call is skipped where its result is exact by definition (exp and cos of a
// zero are 1, sin of a zero is that zero), and transient_impulse computes the
// remainder exactly itself where it can, since fmod's result is exact.
//
// The kernels know nothing of the interpreter: they are plain functions over a
// pointer, a length and doubles. `time` and `out` never overlap.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vuvirida::lib {

// 4 / pi rounded to float64: the weight of the first harmonic of a square wave.
inline constexpr double kFourOverPi = 1.2732395447351628;
// Length of one cycle of the impulse train, the float64 nearest to 2 pi - 1e-8.
inline constexpr double kImpulseCycle = 6.283185297179586;
// A full turn, the float64 nearest to 2 pi; the scale of the impulse onset.
inline constexpr double kFullTurn = 6.283185307179586;

// (exp(t * gamma) * amplitude) * cos((t + phi) * omega) + y
void harmonic_oscillator(const double* time, std::size_t n, double* out, double amplitude,
                         double gamma, double omega, double phi, double y) noexcept;

// (exp(gamma * t) * amplitude) * (S + 1) + y, with S the sum over the odd
// k = 1, 3, ..., 2 N - 1 of (sin((t + phi) * (k * omega)) * 4/pi) / k,
// accumulated in increasing k from 0.
void fourier_square_wave(const double* time, std::size_t n, double* out, double amplitude,
                         double gamma, double omega, double phi, double y,
                         std::uint64_t num_harmonics) noexcept;

// (exp(gamma * t) * amplitude) * (sin(theta) + sin(theta * 3) * 0.5) + y,
// with theta = (t + phi) * omega.
void pseudo_square_wave(const double* time, std::size_t n, double* out, double amplitude,
                        double gamma, double omega, double phi, double y) noexcept;

// (exp(t * gamma) * amplitude) * (cos((omega + omega) * u) - 2 cos(u * omega)) + y,
// with u = t + phi.
void pseudo_cycloid_wave(const double* time, std::size_t n, double* out, double amplitude,
                         double gamma, double omega, double phi, double y) noexcept;

// (p * amplitude) + equilibrium, with p the one-sided Gaussian pulse
// exp(((x / width) * (x / width)) * -0.5) where the shifted phase
// x = fmod(t, cycle) - onset is zero or positive, and +0.0 elsewhere.
void transient_impulse(const double* time, std::size_t n, double* out, double amplitude,
                       double period, double width, double equilibrium) noexcept;

}  // namespace vuvirida::lib
