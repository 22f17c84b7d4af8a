// The five waveform kernels.
//
// Each kernel reads n samples from `time` and writes n values to `out`, one
// value per sample, every value computed from its own sample and the scalars
// alone. The arithmetic is float64 with each operation rounded on its own, in
// the order and grouping written in the kernel's steps (waveforms.inc), and
// exp, cos, sin and fmod are the platform math library's; results are
// compared bit for bit with that evaluation in the caller's floating-point
// mode, so no kernel may reorder, fuse or approximate any step. A step may be
// computed another way only where that gives the same bits: the remainder
// fmod(t, cycle) is computed exactly (remainder_lanes.hpp), since fmod's
// result is exact, and exp, sin and cos in vector lanes where the library's
// own value is known to follow (exp_lanes.hpp, trig_lanes.hpp), the library
// asked for every other.
//
// Where things are: generators.cpp holds the kernels, their blocks and polls;
// widths.hpp the width table and how each waveform's steps are written once
// for every width; samples.cpp the per-sample functions; bits.hpp the
// bit-pattern helpers.
//
// NaN values follow the same rule. Where an operation meets two NaN operands
// the result is one of them, and which one (its sign and payload) depends on
// the order of the operands in the instruction, which the compiler chooses
// anew in every copy of the steps: scalar, per vector width. So that a NaN's
// bits, too, depend on its own sample and the scalars alone, each kernel has
// one per-sample function, its steps for one sample with every library call
// made, compiled once and out of line, and every path of the kernel hands
// each NaN value to it (sweep.inc). Non-NaN values do not depend on operand
// order. Where every value of a call is NaN, a kernel may hand every sample
// to its per-sample function at once.
//
// The kernels know nothing of the interpreter: they are plain functions over
// samples in memory, a length and doubles. `time` and `out` never overlap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vuvirida::lib {

// 4 / pi rounded to float64: the weight of the first harmonic of a square wave.
inline constexpr double kFourOverPi = 1.2732395447351628;
// Length of one cycle of the impulse train, the float64 nearest to 2 pi - 1e-8.
inline constexpr double kImpulseCycle = 6.283185297179586;
// A full turn, the float64 nearest to 2 pi; the scale of the impulse onset.
inline constexpr double kFullTurn = 6.283185307179586;

// The samples as they lie in memory: float64 values in index order, at any
// address. An array's memory need not be aligned to 8 bytes (one made from a
// buffer at an odd offset is valid), so each sample is copied out with
// memcpy, which compiles to a plain load wherever unaligned loads are allowed.
struct Samples {
    const std::byte* bytes;

    double operator[](std::size_t i) const noexcept {
        double value;
        std::memcpy(&value, bytes + i * sizeof(double), sizeof value);
        return value;
    }
};

// How a long loop learns that it must stop early (a pending Ctrl-C, say),
// without the kernels knowing who asks: between stretches of work the kernel
// calls `poll(context)`, and stops at once when it returns true.
struct Interruption {
    bool (*poll)(void* context) noexcept;
    void* context;

    bool requested() const noexcept { return poll(context); }
    // For work that never polls.
    static Interruption never() noexcept {
        return {[](void*) noexcept { return false; }, nullptr};
    }
};

// Work between two polls, counted in math-library calls: about 0.2 ms for
// ordinary arguments and a few ms at worst (sin and cos of huge arguments take
// up to ~70 ns). A call whose whole work is below this never polls.
inline constexpr std::uint64_t kPollWork = std::uint64_t{1} << 15;

// Every kernel returns true when it wrote all n values, and false when the
// interruption stopped it first; `out` then holds a partial result that the
// caller must discard.

// (exp(t * gamma) * amplitude) * cos((t + phi) * omega) + y
[[nodiscard]] bool harmonic_oscillator(Samples time, std::size_t n, double* out, double amplitude,
                                       double gamma, double omega, double phi, double y,
                                       Interruption interruption) noexcept;

// (exp(gamma * t) * amplitude) * (S + 1) + y, with S the sum over the odd
// k = 1, 3, ..., 2 N - 1 of (sin((t + phi) * (k * omega)) * 4/pi) / k,
// accumulated in increasing k from 0.
[[nodiscard]] bool fourier_square_wave(Samples time, std::size_t n, double* out, double amplitude,
                                       double gamma, double omega, double phi, double y,
                                       std::uint64_t num_harmonics,
                                       Interruption interruption) noexcept;

// (exp(gamma * t) * amplitude) * (sin(theta) + sin(theta * 3) * 0.5) + y,
// with theta = (t + phi) * omega.
[[nodiscard]] bool pseudo_square_wave(Samples time, std::size_t n, double* out, double amplitude,
                                      double gamma, double omega, double phi, double y,
                                      Interruption interruption) noexcept;

// (exp(t * gamma) * amplitude) * (cos((omega + omega) * u) - (c + c)) + y,
// with u = t + phi and c = cos(u * omega).
[[nodiscard]] bool pseudo_cycloid_wave(Samples time, std::size_t n, double* out, double amplitude,
                                       double gamma, double omega, double phi, double y,
                                       Interruption interruption) noexcept;

// (p * amplitude) + equilibrium, with p the one-sided Gaussian pulse
// exp(((x / width) * (x / width)) * -0.5) where the shifted phase
// x = fmod(t, cycle) - onset is zero or positive, and +0.0 elsewhere.
[[nodiscard]] bool transient_impulse(Samples time, std::size_t n, double* out, double amplitude,
                                     double period, double width, double equilibrium,
                                     Interruption interruption) noexcept;

}  // namespace vuvirida::lib
