// The width vocabulary for eight doubles at a time in AVX-512 registers: a
// lane mask is a mask register. Included only by width_avx512.cpp, inside
// its namespace and its target region (widths.hpp says why).
//
// GCC 12's AVX-512 intrinsics that leave lanes undefined warn of
// uninitialised values: the shuffles below are written with the compiler's
// vector extension, and the conversions and shifts in their zero-masking
// forms over every lane.

struct Width {
    using D = __m512d;
    using M = __mmask8;
    using I = __m512i;
    static constexpr std::size_t kLanes = 8;

    static D splat(double v) noexcept { return _mm512_set1_pd(v); }
    static D load(const std::byte* p) noexcept { return _mm512_loadu_pd(p); }
    static D load_first(const std::byte* p, std::size_t count) noexcept {
        return _mm512_maskz_loadu_pd(first(count), p);
    }
    static void store(double* p, D v) noexcept { _mm512_storeu_pd(p, v); }
    static void store_first(double* p, D v, std::size_t count) noexcept {
        _mm512_mask_storeu_pd(p, first(count), v);
    }
    // The first `count` lanes, count <= kLanes.
    static M first(std::size_t count) noexcept { return static_cast<M>((1u << count) - 1); }

    static M less(D a, D b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static M less_equal(D a, D b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    static M equal(D a, D b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    static M is_nan(D a) noexcept { return _mm512_cmp_pd_mask(a, a, _CMP_UNORD_Q); }
    static M both(M a, M b) noexcept { return static_cast<M>(a & b); }
    static M either(M a, M b) noexcept { return static_cast<M>(a | b); }
    static M and_not(M a, M b) noexcept { return static_cast<M>(a & ~b); }
    static M not_in(M a) noexcept { return static_cast<M>(~a); }
    static bool any(M a) noexcept { return a != 0; }
    static bool all(M a) noexcept { return a == 0xff; }

    static D select(M m, D a, D b) noexcept { return _mm512_mask_blend_pd(m, b, a); }
    static D only(M m, D v) noexcept { return _mm512_maskz_mov_pd(m, v); }
    static D magnitude(D v) noexcept { return _mm512_andnot_pd(splat(-0.0), v); }
    static D sign_of(D v) noexcept { return _mm512_and_pd(splat(-0.0), v); }
    static D flip_sign(D v, D sign) noexcept { return _mm512_xor_pd(v, sign); }
    static D fused(D a, D b, D c) noexcept { return _mm512_fmadd_pd(a, b, c); }
    static D truncate_small(D v) noexcept {
        return _mm512_maskz_cvtepi32_pd(0xff, _mm512_maskz_cvttpd_epi32(0xff, v));
    }

    // The lanes' bit patterns as 64-bit integers.
    static I bits(D v) noexcept { return _mm512_castpd_si512(v); }
    static D from_bits(I b) noexcept { return _mm512_castsi512_pd(b); }
    static I splat_bits(std::uint64_t v) noexcept {
        return _mm512_set1_epi64(static_cast<long long>(v));
    }
    static I and_bits(I b, std::uint64_t m) noexcept { return _mm512_and_si512(b, splat_bits(m)); }
    static I add_bits(I a, I b) noexcept { return _mm512_add_epi64(a, b); }
    static I sub_bits(I a, I b) noexcept { return _mm512_sub_epi64(a, b); }
    template <unsigned kShift>
    static I shift_left(I b) noexcept {
        return _mm512_maskz_slli_epi64(0xff, b, kShift);
    }
    // Lanes where b has any bit of m set.
    static M any_bits(I b, std::uint64_t m) noexcept {
        return _mm512_test_epi64_mask(b, splat_bits(m));
    }
    static I only_bits(M m, I b) noexcept { return _mm512_maskz_mov_epi64(m, b); }

    // The two doubles at row[index] of a table of 16-byte rows, lane by lane.
    struct Pair {
        D first, second;
    };
    static Pair rows2(const double* table, I index) noexcept {
        alignas(64) std::int64_t at[8];
        _mm512_store_si512(at, index);
        const auto row = [&](int k) { return _mm_loadu_pd(table + 2 * at[k]); };
        // Rows 0 to 3 and 4 to 7 side by side, then the first and the second
        // of each row gathered.
        const auto pair = [&](int k) {
            return __builtin_shufflevector(row(k), row(k + 1), 0, 1, 2, 3);
        };
        const auto quad = [&](int k) {
            return __builtin_shufflevector(pair(k), pair(k + 2), 0, 1, 2, 3, 4, 5, 6, 7);
        };
        const D low = quad(0);
        const D high = quad(4);
        return {__builtin_shufflevector(low, high, 0, 2, 4, 6, 8, 10, 12, 14),
                __builtin_shufflevector(low, high, 1, 3, 5, 7, 9, 11, 13, 15)};
    }
    // The four doubles at row[index] of a table of 32-byte rows, lane by lane.
    struct Quad {
        D first, second, third, fourth;
    };
    static Quad rows4(const double* table, I index) noexcept {
        alignas(64) std::int64_t at[8];
        _mm512_store_si512(at, index);
        // Rows k and k + 4 side by side, then in each half a 4 x 4 transposition.
        const auto rows = [&](int k) {
            return __builtin_shufflevector(_mm256_load_pd(table + 4 * at[k]),
                                           _mm256_load_pd(table + 4 * at[k + 4]), 0, 1, 2, 3, 4, 5,
                                           6, 7);
        };
        const D r[4] = {rows(0), rows(1), rows(2), rows(3)};
        const D even01 = __builtin_shufflevector(r[0], r[1], 0, 8, 2, 10, 4, 12, 6, 14);
        const D odd01 = __builtin_shufflevector(r[0], r[1], 1, 9, 3, 11, 5, 13, 7, 15);
        const D even23 = __builtin_shufflevector(r[2], r[3], 0, 8, 2, 10, 4, 12, 6, 14);
        const D odd23 = __builtin_shufflevector(r[2], r[3], 1, 9, 3, 11, 5, 13, 7, 15);
        return {__builtin_shufflevector(even01, even23, 0, 1, 8, 9, 4, 5, 12, 13),
                __builtin_shufflevector(odd01, odd23, 0, 1, 8, 9, 4, 5, 12, 13),
                __builtin_shufflevector(even01, even23, 2, 3, 10, 11, 6, 7, 14, 15),
                __builtin_shufflevector(odd01, odd23, 2, 3, 10, 11, 6, 7, 14, 15)};
    }

    static void spill(double* p, D v) noexcept { _mm512_storeu_pd(p, v); }
    static D refill(const double* p) noexcept { return _mm512_loadu_pd(p); }
    static unsigned lane_bits(M m) noexcept { return m; }
};
