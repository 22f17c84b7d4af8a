#include "lib/generators.hpp"

#include <algorithm>
#include <cmath>

#include "lib/samples.hpp"
#include "lib/widths.hpp"

namespace vuvirida::lib {

namespace {

// Runs step(i) for i = 0, 1, ..., n - 1 in stretches of about kPollWork units
// of work, `work` units a step, and asks `interruption` between stretches
// whether to stop. A step may also stop the loop by returning false. True
// when every step ran; a call whose whole work fits in one stretch never polls.
template <class Step>
bool in_stretches(std::size_t n, std::size_t work, Interruption interruption, Step&& step) {
    const std::size_t stretch =
        std::max<std::size_t>(1, kPollWork / std::max<std::size_t>(work, 1));
    for (std::size_t start = 0; start < n; start += stretch) {
        const std::size_t stop = start + std::min(stretch, n - start);
        for (std::size_t i = start; i < stop; ++i) {
            if (!step(i)) return false;
        }
        if (stop < n && interruption.requested()) return false;
    }
    return true;
}

// Runs block(start, count) over the samples in blocks of kBlock (the last one
// shorter), in stretches of about kPollWork units of work, `work` units a
// sample. Each block runs its row's kernel, which reads the floating-point
// mode afresh, so that a mode a signal handler sets at a poll holds for
// every sample after it.
template <class Block>
bool in_blocks(std::size_t n, std::size_t work, Interruption interruption, Block&& block) {
    if (n <= kBlock) {
        // One block, which never polls: the short calls of a fitting loop.
        if (n != 0) block(0, n);
        return true;
    }
    return in_stretches(n / kBlock + (n % kBlock != 0), work * kBlock, interruption,
                        [&](std::size_t b) {
                            const std::size_t start = b * kBlock;
                            block(start, std::min(kBlock, n - start));
                            return true;
                        });
}

Samples from(Samples time, std::size_t start) noexcept {
    return {time.bytes + start * sizeof(double)};
}

}  // namespace

bool harmonic_oscillator(Samples time, std::size_t n, double* out, double amplitude, double gamma,
                         double omega, double phi, double y, Interruption interruption) noexcept {
    const Oscillation s{amplitude, gamma, omega, phi, y};
    const BlockKernels& kernels = width_for(n).kernels;
    return in_blocks(n, 2, interruption, [&](std::size_t start, std::size_t count) {
        kernels.harmonic_oscillator(from(time, start), count, out + start, s);
    });
}

bool fourier_square_wave(Samples time, std::size_t n, double* out, double amplitude, double gamma,
                         double omega, double phi, double y, std::uint64_t num_harmonics,
                         Interruption interruption) noexcept {
    const Oscillation s{amplitude, gamma, omega, phi, y};
    // One sample's work is its exp and its num_harmonics sines. Where that is
    // more than a stretch, the harmonic sum itself polls every kPollWork terms.
    const std::size_t work =
        num_harmonics >= kPollWork ? kPollWork : static_cast<std::size_t>(num_harmonics) + 1;
    if (std::isnan(amplitude) || std::isnan(y) || (num_harmonics != 0 && !std::isfinite(omega)) ||
        num_harmonics > kMostHarmonicsInLanes) {
        // Every value is NaN, or the sum is too long for a block: each value
        // is made once, by the per-sample function.
        return in_stretches(n, work, interruption, [&](std::size_t i) {
            return fourier_square_wave_sample(time[i], s, num_harmonics, interruption, out[i]);
        });
    }
    const BlockKernels& kernels = width_for(n).kernels;
    return in_blocks(n, work, interruption, [&](std::size_t start, std::size_t count) {
        kernels.fourier_square_wave(from(time, start), count, out + start, s, num_harmonics);
    });
}

bool pseudo_square_wave(Samples time, std::size_t n, double* out, double amplitude, double gamma,
                        double omega, double phi, double y, Interruption interruption) noexcept {
    const Oscillation s{amplitude, gamma, omega, phi, y};
    const BlockKernels& kernels = width_for(n).kernels;
    return in_blocks(n, 3, interruption, [&](std::size_t start, std::size_t count) {
        kernels.pseudo_square_wave(from(time, start), count, out + start, s);
    });
}

bool pseudo_cycloid_wave(Samples time, std::size_t n, double* out, double amplitude, double gamma,
                         double omega, double phi, double y, Interruption interruption) noexcept {
    const Oscillation s{amplitude, gamma, omega, phi, y};
    const BlockKernels& kernels = width_for(n).kernels;
    return in_blocks(n, 3, interruption, [&](std::size_t start, std::size_t count) {
        kernels.pseudo_cycloid_wave(from(time, start), count, out + start, s);
    });
}

bool transient_impulse(Samples time, std::size_t n, double* out, double amplitude, double period,
                       double width, double equilibrium, Interruption interruption) noexcept {
    const Impulse s{amplitude, period, width, equilibrium};
    if (!((period / 24.0) * kFullTurn < kImpulseCycle)) {
        // fmod(t, cycle) is NaN or lies in (-cycle, cycle), so with the onset
        // at or past the cycle length (or NaN) x is negative or NaN at every
        // sample and the pulse is +0.0 throughout: every value is that of a
        // sample 0. (No poll: nothing can change the mode meanwhile.)
        std::fill(out, out + n, transient_impulse_sample(0.0, s));
        return true;
    }
    const BlockKernels& kernels = width_for(n).kernels;
    // A block's work: a remainder and at most one exp per sample.
    return in_blocks(n, 2, interruption, [&](std::size_t start, std::size_t count) {
        kernels.transient_impulse(from(time, start), count, out + start, s);
    });
}

}  // namespace vuvirida::lib
