// The processor's floating-point mode, read and set by the benchmarks, which
// time every function with flush-to-zero and denormals-are-zero set against
// its time in the default mode.
//
// benchmarks/run.py compiles this file into the floor's library, where the
// main run checks that its mode is the default. benchmarks/flush_to_zero.py
// compiles it again on its own with -ffast-math into a shared library, as a
// user's process may load one: GCC (before 13) links such a library with
// crtfastmath.o, even with -shared, and its start-up code sets flush-to-zero
// and denormals-are-zero for the whole process when the library is loaded.
// That library is loaded in a child process only, so that the main run's
// mode stays the default; the child switches between the two modes with
// fp_mode_set before each timed turn.
#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

extern "C" {

// The control bits as the processor holds them (MXCSR on x86-64, FPCR on
// 64-bit Arm); 0 elsewhere.
unsigned long fp_mode_get() {
#if defined(__x86_64__)
    return _mm_getcsr();
#elif defined(__aarch64__)
    unsigned long fpcr;
    asm volatile("mrs %0, fpcr" : "=r"(fpcr));
    return fpcr;
#else
    return 0;
#endif
}

void fp_mode_set(unsigned long mode) {
#if defined(__x86_64__)
    _mm_setcsr(static_cast<unsigned>(mode));
#elif defined(__aarch64__)
    asm volatile("msr fpcr, %0" : : "r"(mode));
#else
    static_cast<void>(mode);
#endif
}

// The bits among them that flush subnormal results to zero and read
// subnormal operands as zero: FTZ (bit 15) and DAZ (bit 6) of MXCSR, FZ
// (bit 24) of FPCR, which does both; 0 where this file knows no such bits.
unsigned long fp_mode_flush_bits() {
#if defined(__x86_64__)
    return 0x8040u;
#elif defined(__aarch64__)
    return 1ul << 24;
#else
    return 0;
#endif
}
}
