// The AVX-512 row of the width table: eight doubles at a time, compiled for
// AVX-512 F, DQ and VL with AVX2 and fused multiply-add, and run only where
// avx512_supported() holds.
#define VUVIRIDA_WIDTH_TARGET "avx512f,avx512dq,avx512vl,avx2,fma"
#define VUVIRIDA_WIDTH_NAMESPACE avx512
#define VUVIRIDA_WIDTH_VOCABULARY "lib/width_avx512.hpp"
#include "lib/width_vector.inc"

#if defined(VUVIRIDA_X86_WIDTHS)
namespace vuvirida::lib {
const WidthRow kAvx512Row = avx512::row("avx512", avx512_supported);
}
#endif
