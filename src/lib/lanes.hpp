// What every evaluation in vector lanes shares: the width of a group of
// arguments, the per-function copies for wider vector units, and the test of
// the processor's floating-point mode that lets them run.
#pragma once

#include <cstddef>

#if defined(__x86_64__)
#include <xmmintrin.h>
#else
#include <cfenv>
#endif

// Copies of a lane loop for wider vector units, picked once when the module
// is loaded, so that one build runs on every x86-64 and uses what the
// processor has. Every copy evaluates the same operations in the same order;
// only the number of lanes differs. The copies are built without
// contraction like the rest of the kernels, so none of them fuses a multiply
// and an add.
#if defined(__x86_64__) && defined(__linux__) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define VUVIRIDA_LANE_CLONES \
    __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "arch=x86-64-v2", "default")))
#endif
#endif
#ifndef VUVIRIDA_LANE_CLONES
#define VUVIRIDA_LANE_CLONES
#endif

namespace vuvirida::lib {

// Lane loops take arguments in groups of this many: the widest lanes' width,
// 8 doubles in 512 bits, so that a group fills one vector at every width.
inline constexpr std::size_t kLaneGroup = 8;

// Whether the processor's floating-point mode is the one every lane
// evaluation's proof assumes: rounding to nearest, and on x86-64 subnormal
// numbers kept (neither results flushed to zero nor subnormal operands read
// as zero). A caller may set another mode at any time (fesetround, or a
// library built with -ffast-math setting flush-to-zero when it is loaded),
// and the library's functions then answer in that mode as they do: glibc's
// exp rounds its last step the caller's way, while its sin and cos round to
// nearest whatever the mode. The lanes cannot follow either, so where this
// is false every argument goes to the library. Reading the mode costs a few
// cycles: lane evaluations ask at every call.
inline bool lanes_may_run() noexcept {
#if defined(__x86_64__)
    // MXCSR: rounding control (bits 13 and 14, zero for to nearest),
    // flush to zero (bit 15) and denormals are zero (bit 6).
    constexpr unsigned kModeBits = 0x6000u | 0x8000u | 0x0040u;
    return (_mm_getcsr() & kModeBits) == 0;
#else
    return std::fegetround() == FE_TONEAREST;
#endif
}

}  // namespace vuvirida::lib
