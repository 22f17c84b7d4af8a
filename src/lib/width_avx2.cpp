// The AVX2 row of the width table: four doubles at a time, compiled for AVX2
// with fused multiply-add, and run only where avx2_supported() holds.
#define VUVIRIDA_WIDTH_TARGET "avx2,fma"
#define VUVIRIDA_WIDTH_NAMESPACE avx2
#define VUVIRIDA_WIDTH_VOCABULARY "lib/width_avx2.hpp"
#include "lib/width_vector.inc"

#if defined(VUVIRIDA_X86_WIDTHS)
namespace vuvirida::lib {
const WidthRow kAvx2Row = avx2::row("avx2", avx2_supported);
}
#endif
