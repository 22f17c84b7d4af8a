// The width table: one row per vector width the kernels are built for, widest
// first, read by the choice at load, the test at load, CI's lane test and the
// benchmarks.
//
// Each waveform's steps are written once (waveforms.inc), over a small
// vocabulary of width helpers (load, store, arithmetic, comparisons, masks,
// selections, bit patterns, table rows): width_scalar.hpp for one double at a
// time, width_avx2.hpp and width_avx512.hpp for four and eight. So are the
// lanes of exp, sin, cos and the remainder (exp_lanes.inc, trig_lanes.inc,
// remainder_lanes.inc) and the sweep over a block (sweep.inc). Each width's
// source file includes them inside a namespace of its own: width_scalar.cpp
// as it is, and width_avx2.cpp and width_avx512.cpp through width_vector.inc
// after switching the compiler to the width's instruction sets; shared
// headers come before that switch, so that nothing the other files use is
// compiled for an instruction set the processor may lack. Adding a width is
// a row, a vocabulary header and a source file of a few lines.
//
// A row's kernels take one block of at most kBlock samples. Within a block
// the floating-point mode is read once: the lanes of exp, sin and cos run
// only in rounding to nearest (Switches), the remainder lanes in every mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "lib/generators.hpp"

namespace vuvirida::lib {

// Samples go through the kernels in blocks of kBlock, whose working values
// stay in L1 and whose redo list fits a byte per sample.
inline constexpr std::size_t kBlock = 256;
static_assert(kBlock <= 256);

// Arrays shorter than this go through the scalar row: a vector for fewer
// samples costs more than the library calls it saves.
inline constexpr std::size_t kFewestForLanes = 8;

// The Fourier sum goes through the lanes for at most this many harmonics,
// so that a block's work stays within a few stretches between polls.
inline constexpr std::uint64_t kMostHarmonicsInLanes = 512;

// The scalars of the four oscillating kernels and of the impulse train.
struct Oscillation {
    double amplitude;
    double gamma;
    double omega;
    double phi;
    double y;
};

struct Impulse {
    double amplitude;
    double period;
    double width;
    double equilibrium;
};

// Which lanes may run in this block: those the process verified at load,
// and of them exp, sin and cos only while the processor rounds to nearest.
struct Switches {
    bool exp;
    bool trig;
};
Switches lanes_switches() noexcept;

// One lane function alone over n arguments: y[i] the lane's value, NaN where
// the library must be asked. x and y do not overlap.
using LaneFunction = void (*)(const double* x, std::size_t n, double* y) noexcept;

struct BlockKernels {
    void (*harmonic_oscillator)(Samples time, std::size_t count, double* out,
                                const Oscillation& s) noexcept;
    void (*pseudo_square_wave)(Samples time, std::size_t count, double* out,
                               const Oscillation& s) noexcept;
    void (*pseudo_cycloid_wave)(Samples time, std::size_t count, double* out,
                                const Oscillation& s) noexcept;
    // num_harmonics <= kMostHarmonicsInLanes.
    void (*fourier_square_wave)(Samples time, std::size_t count, double* out, const Oscillation& s,
                                std::uint64_t num_harmonics) noexcept;
    void (*transient_impulse)(Samples time, std::size_t count, double* out,
                              const Impulse& s) noexcept;
};

struct WidthRow {
    const char* name;
    // Whether the processor has the width's instructions.
    bool (*supported)() noexcept;
    // The width's lanes alone; null for the scalar row, which has none but
    // the remainder's.
    LaneFunction exp;
    LaneFunction sin;
    LaneFunction cos;
    LaneFunction remainder;
    BlockKernels kernels;
};

extern const WidthRow kScalarRow;
#if defined(__x86_64__) && defined(__GNUC__)
#define VUVIRIDA_X86_WIDTHS 1
extern const WidthRow kAvx2Row;
extern const WidthRow kAvx512Row;
// The rows' processor tests: AVX2 with fused multiply-add (the exp lanes'
// exact products need it), and AVX-512 F, DQ and VL.
bool avx2_supported() noexcept;
bool avx512_supported() noexcept;
#endif

// Every row built, widest first; the scalar row last.
std::span<const WidthRow* const> width_table() noexcept;

// The row chosen when the module was loaded: the widest the processor has,
// or the scalar row. A build for testing may name a narrower widest row
// (VUVIRIDA_WIDEST, the row's name), so that the suite runs each row of a
// processor that has wider ones.
const WidthRow& chosen_width() noexcept;

// Whether the test at load ran each entry of the chosen row against the
// library and found no difference (exp and remainder), and no difference in
// sin and cos where the library is one whose steps they repeat.
struct Verified {
    bool exp;
    bool trig;
};
Verified verified_lanes() noexcept;

// The row for a call of n samples.
inline const WidthRow& width_for(std::size_t n) noexcept {
    return n < kFewestForLanes ? kScalarRow : chosen_width();
}

}  // namespace vuvirida::lib
