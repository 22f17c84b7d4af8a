// The AVX-512 row of the width table: eight doubles at a time. Everything
// below the target switch is compiled for AVX-512 F, DQ and VL with AVX2 and
// fused multiply-add, and runs only where avx512_supported() holds.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "lib/bits.hpp"
#include "lib/exp_lanes.hpp"
#include "lib/remainder_lanes.hpp"
#include "lib/samples.hpp"
#include "lib/trig_lanes.hpp"
#include "lib/width_scalar.hpp"
#include "lib/widths.hpp"

#if defined(VUVIRIDA_X86_WIDTHS)
#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512dq,avx512vl,avx2,fma"))), \
                             apply_to = function)
#else
#pragma GCC push_options
// GCC's note that vector arguments pass differently without the instruction
// set concerns calls from other files; every function here taking or giving
// vectors is called only from this file, built for one instruction set.
#pragma GCC diagnostic ignored "-Wpsabi"
#pragma GCC target("avx512f,avx512dq,avx512vl,avx2,fma")
#endif

namespace vuvirida::lib::avx512 {

// clang-format off: each part uses the ones before it.
#include "lib/width_avx512.hpp"
#include "lib/exp_lanes.inc"
#include "lib/trig_lanes.inc"
#include "lib/remainder_lanes.inc"
#include "lib/sweep.inc"
#include "lib/waveforms.inc"
#include "lib/width_row.inc"
// clang-format on

}  // namespace vuvirida::lib::avx512

namespace vuvirida::lib {
const WidthRow kAvx512Row = avx512::row("avx512", avx512_supported);
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
