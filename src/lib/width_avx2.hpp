// The width vocabulary for four doubles at a time in AVX2 registers: a lane
// mask is a vector whose lanes are all ones or all zeros. Included only by
// width_avx2.cpp, inside its namespace and its target region (widths.hpp
// says why).

struct Width {
    using D = __m256d;
    using M = __m256d;
    using I = __m256i;
    static constexpr std::size_t kLanes = 4;

    static D splat(double v) noexcept { return _mm256_set1_pd(v); }
    static D load(const std::byte* p) noexcept {
        return _mm256_loadu_pd(reinterpret_cast<const double*>(p));
    }
    static D load_first(const std::byte* p, std::size_t count) noexcept {
        return _mm256_maskload_pd(reinterpret_cast<const double*>(p), first_bits(count));
    }
    static void store(double* p, D v) noexcept { _mm256_storeu_pd(p, v); }
    static void store_first(double* p, D v, std::size_t count) noexcept {
        _mm256_maskstore_pd(p, first_bits(count), v);
    }
    // The first `count` lanes, count <= kLanes.
    static M first(std::size_t count) noexcept { return _mm256_castsi256_pd(first_bits(count)); }

    static M less(D a, D b) noexcept { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static M less_equal(D a, D b) noexcept { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    static M equal(D a, D b) noexcept { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    static M is_nan(D a) noexcept { return _mm256_cmp_pd(a, a, _CMP_UNORD_Q); }
    static M both(M a, M b) noexcept { return _mm256_and_pd(a, b); }
    static M either(M a, M b) noexcept { return _mm256_or_pd(a, b); }
    static M and_not(M a, M b) noexcept { return _mm256_andnot_pd(b, a); }
    static M not_in(M a) noexcept { return _mm256_xor_pd(a, from_bits(splat_bits(~0ull))); }
    static bool any(M a) noexcept { return _mm256_movemask_pd(a) != 0; }
    static bool all(M a) noexcept { return _mm256_movemask_pd(a) == 0xf; }

    static D select(M m, D a, D b) noexcept { return _mm256_blendv_pd(b, a, m); }
    static D only(M m, D v) noexcept { return _mm256_and_pd(m, v); }
    static D magnitude(D v) noexcept { return _mm256_andnot_pd(splat(-0.0), v); }
    static D sign_of(D v) noexcept { return _mm256_and_pd(splat(-0.0), v); }
    static D flip_sign(D v, D sign) noexcept { return _mm256_xor_pd(v, sign); }
    static D fused(D a, D b, D c) noexcept { return _mm256_fmadd_pd(a, b, c); }
    static D truncate_small(D v) noexcept { return _mm256_cvtepi32_pd(_mm256_cvttpd_epi32(v)); }

    // The lanes' bit patterns as 64-bit integers.
    static I bits(D v) noexcept { return _mm256_castpd_si256(v); }
    static D from_bits(I b) noexcept { return _mm256_castsi256_pd(b); }
    static I splat_bits(std::uint64_t v) noexcept {
        return _mm256_set1_epi64x(static_cast<long long>(v));
    }
    static I and_bits(I b, std::uint64_t m) noexcept { return _mm256_and_si256(b, splat_bits(m)); }
    static I add_bits(I a, I b) noexcept { return _mm256_add_epi64(a, b); }
    static I sub_bits(I a, I b) noexcept { return _mm256_sub_epi64(a, b); }
    template <unsigned kShift>
    static I shift_left(I b) noexcept {
        return _mm256_slli_epi64(b, kShift);
    }
    // Lanes where b has any bit of m set.
    static M any_bits(I b, std::uint64_t m) noexcept {
        return not_in(from_bits(_mm256_cmpeq_epi64(and_bits(b, m), _mm256_setzero_si256())));
    }
    static I only_bits(M m, I b) noexcept { return _mm256_and_si256(bits(m), b); }

    // The two doubles at row[index] of a table of 16-byte rows, lane by lane.
    struct Pair {
        D first, second;
    };
    static Pair rows2(const double* table, I index) noexcept {
        const __m256d r01 =
            _mm256_set_m128d(_mm_loadu_pd(table + 2 * _mm256_extract_epi64(index, 1)),
                             _mm_loadu_pd(table + 2 * _mm256_extract_epi64(index, 0)));
        const __m256d r23 =
            _mm256_set_m128d(_mm_loadu_pd(table + 2 * _mm256_extract_epi64(index, 3)),
                             _mm_loadu_pd(table + 2 * _mm256_extract_epi64(index, 2)));
        // r01 = first0 second0 first1 second1; the lanes' order after the
        // unpacks is 0 2 1 3, put right by the permutation.
        const D a = _mm256_unpacklo_pd(r01, r23);
        const D b = _mm256_unpackhi_pd(r01, r23);
        return {_mm256_permute4x64_pd(a, 0xd8), _mm256_permute4x64_pd(b, 0xd8)};
    }
    // The four doubles at row[index] of a table of 32-byte rows, lane by lane.
    struct Quad {
        D first, second, third, fourth;
    };
    static Quad rows4(const double* table, I index) noexcept {
        const D r0 = _mm256_load_pd(table + 4 * _mm256_extract_epi64(index, 0));
        const D r1 = _mm256_load_pd(table + 4 * _mm256_extract_epi64(index, 1));
        const D r2 = _mm256_load_pd(table + 4 * _mm256_extract_epi64(index, 2));
        const D r3 = _mm256_load_pd(table + 4 * _mm256_extract_epi64(index, 3));
        const D even01 = _mm256_unpacklo_pd(r0, r1);  // a0 a1 c0 c1
        const D odd01 = _mm256_unpackhi_pd(r0, r1);   // b0 b1 d0 d1
        const D even23 = _mm256_unpacklo_pd(r2, r3);
        const D odd23 = _mm256_unpackhi_pd(r2, r3);
        return {_mm256_permute2f128_pd(even01, even23, 0x20),
                _mm256_permute2f128_pd(odd01, odd23, 0x20),
                _mm256_permute2f128_pd(even01, even23, 0x31),
                _mm256_permute2f128_pd(odd01, odd23, 0x31)};
    }

    static void spill(double* p, D v) noexcept { _mm256_storeu_pd(p, v); }
    static D refill(const double* p) noexcept { return _mm256_loadu_pd(p); }
    static unsigned lane_bits(M m) noexcept { return static_cast<unsigned>(_mm256_movemask_pd(m)); }

  private:
    static __m256i first_bits(std::size_t count) noexcept {
        static constexpr std::int64_t kOnes[8] = {-1, -1, -1, -1, 0, 0, 0, 0};
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kOnes + 4 - count));
    }
};
