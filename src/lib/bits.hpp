// Float64 values as their bit patterns and back.
//
// The lane loops make their selections on bit patterns as integers (masks
// and integer comparisons) rather than with branches or floating-point
// comparisons, so that they vectorise without relaxing any floating-point
// rule. For float64 values of one sign the order of their bit patterns is
// their order.
#pragma once

#include <bit>
#include <cstdint>

namespace vuvirida::lib {

inline constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
inline constexpr std::uint64_t kFractionBits = (std::uint64_t{1} << 52) - 1;

constexpr std::uint64_t bits_of(double v) noexcept {
    return std::bit_cast<std::uint64_t>(v);
}

constexpr double double_of(std::uint64_t b) noexcept {
    return std::bit_cast<double>(b);
}

// All ones where b holds, all zeros where not.
constexpr std::uint64_t mask_of(bool b) noexcept {
    return b ? ~std::uint64_t{0} : 0;
}

// v, as a value the compiler cannot see through. A product or quotient with a
// constant 1.0 is exact only where subnormal numbers are kept: with
// flush-to-zero or denormals-are-zero set, 1.0 * v and v / 1.0 are zero for a
// subnormal v. The compiler, which does not model those modes, would drop
// the operation; a step that the kernels write with a value that may be 1.0
// (the first harmonic number) takes it through here, so that the operation
// is made at run time in the caller's mode.
inline double at_run_time(double v) noexcept {
#if defined(__x86_64__)
    asm("" : "+x"(v));
#elif defined(__aarch64__)
    asm("" : "+w"(v));
#else
    asm("" : "+m"(v));
#endif
    return v;
}

}  // namespace vuvirida::lib
