// The width vocabulary for one double at a time: the value type is a double,
// a lane mask a bool. The steps written for any width (widths.hpp) read as
// plain scalar code here; it is what the per-sample functions, short arrays
// and machines without vector lanes run, and how a lane the lanes did not
// keep is answered one sample at a time.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lib/bits.hpp"

namespace vuvirida::lib {

struct ScalarWidth {
    using D = double;
    using M = bool;
    static constexpr std::size_t kLanes = 1;

    static D splat(double v) noexcept { return v; }
    static D load(const std::byte* p) noexcept {
        double v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static D load_first(const std::byte* p, std::size_t) noexcept { return load(p); }
    static void store(double* p, D v) noexcept { *p = v; }
    static void store_first(double* p, D v, std::size_t) noexcept { *p = v; }
    static M first(std::size_t count) noexcept { return count != 0; }

    static M less(D a, D b) noexcept { return a < b; }
    static M less_equal(D a, D b) noexcept { return a <= b; }
    static M equal(D a, D b) noexcept { return a == b; }
    static M is_nan(D a) noexcept { return std::isnan(a); }
    static M both(M a, M b) noexcept { return a && b; }
    static M either(M a, M b) noexcept { return a || b; }
    static M and_not(M a, M b) noexcept { return a && !b; }
    static M not_in(M a) noexcept { return !a; }
    static bool any(M a) noexcept { return a; }
    static bool all(M a) noexcept { return a; }

    static D select(M m, D a, D b) noexcept { return m ? a : b; }
    static D only(M m, D v) noexcept { return m ? v : +0.0; }
    static D magnitude(D v) noexcept { return double_of(bits_of(v) & ~kSignBit); }
    static D sign_of(D v) noexcept { return double_of(bits_of(v) & kSignBit); }
    static D flip_sign(D v, D sign) noexcept { return double_of(bits_of(v) ^ bits_of(sign)); }
    // v toward zero to an integer, for |v| < 2^31.
    static D truncate_small(D v) noexcept {
        return static_cast<double>(static_cast<std::int32_t>(v));
    }

    using I = std::uint64_t;
    static I bits(D v) noexcept { return bits_of(v); }
    static D from_bits(I b) noexcept { return double_of(b); }
    static I splat_bits(std::uint64_t v) noexcept { return v; }
    static I and_bits(I b, std::uint64_t m) noexcept { return b & m; }
    static M any_bits(I b, std::uint64_t m) noexcept { return (b & m) != 0; }

    static void spill(double* p, D v) noexcept { *p = v; }
    static D refill(const double* p) noexcept { return *p; }
    static unsigned lane_bits(M m) noexcept { return m ? 1u : 0u; }
};

}  // namespace vuvirida::lib
