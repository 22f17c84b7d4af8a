// What every evaluation in vector lanes shares: the width of a group of
// arguments, and the per-function copies for wider vector units.
#pragma once

#include <cstddef>

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

}  // namespace vuvirida::lib
