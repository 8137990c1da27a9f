#pragma once

// The parts of the vector exp, log and pow: four lanes at a time, helpers of SIMD_TARGET code
// (simd/simd.hpp), called only after the gate has seen the CPU run it. Everything here has
// internal linkage.

#include <bit>
#include <cstdint>

#include "simd/simd.hpp"

namespace {

SIMD_INLINE inline Double4 broadcast(double value) { return _mm256_set1_pd(value); }
SIMD_INLINE inline Double4 broadcast_bits(std::uint64_t bits) { return _mm256_set1_pd(std::bit_cast<double>(bits)); }
SIMD_INLINE inline Bits4 as_bits(Double4 x) { return _mm256_castpd_si256(x); }
SIMD_INLINE inline Double4 as_doubles(Bits4 x) { return _mm256_castsi256_pd(x); }

// table[index] of each lane, as doubles.
SIMD_INLINE inline Double4 gather(const std::uint64_t *table, Bits4 index) {
    return _mm256_i64gather_pd(reinterpret_cast<const double *>(table), index, 8);
}

// (double)(int64_t)(bits >> 52), the shift arithmetic: the top twelve bits as a signed number.
SIMD_INLINE inline Double4 top12_signed(Bits4 bits) {
    const Bits4 shifted = _mm256_srai_epi32(bits, 20);  // the high half of each lane, sign-extended
    const Bits4 high_halves = _mm256_permutevar8x32_epi32(shifted, _mm256_setr_epi32(1, 3, 5, 7, 1, 3, 5, 7));
    return _mm256_cvtepi32_pd(_mm256_castsi256_si128(high_halves));
}

// The table reduction of Arm Optimized Routines' math/log.c and math/pow.c (MIT; see NOTICE).
// x = 2^k z for the log tables: z in [c, 2c) where `offset` has the bits of c, and the index of
// the 128 subintervals of [c, 2c) that holds z.
struct TableReduction {
    Bits4 index;
    Double4 k;
    Double4 z;
};

SIMD_INLINE inline TableReduction table_reduction(Double4 x, std::uint64_t offset) {
    const Bits4 ix = as_bits(x);
    const Bits4 tmp = _mm256_sub_epi64(ix, _mm256_set1_epi64x(static_cast<long long>(offset)));
    return {_mm256_and_si256(_mm256_srli_epi64(tmp, 45), _mm256_set1_epi64x(127)), top12_signed(tmp),
            as_doubles(_mm256_sub_epi64(ix, _mm256_and_si256(tmp, _mm256_set1_epi64x(-0x10000000000000))))};
}

// Lanes with low <= |x| < high; false for NaN.
SIMD_INLINE inline Double4 magnitude_within(Double4 x, double low, double high) {
    const Double4 magnitude = _mm256_andnot_pd(broadcast(-0.0), x);
    return _mm256_and_pd(_mm256_cmp_pd(magnitude, broadcast(low), _CMP_GE_OQ),
                         _mm256_cmp_pd(magnitude, broadcast(high), _CMP_LT_OQ));
}

// Lanes with low <= x < high; false for NaN.
SIMD_INLINE inline Double4 within(Double4 x, double low, double high) {
    return _mm256_and_pd(_mm256_cmp_pd(x, broadcast(low), _CMP_GE_OQ), _mm256_cmp_pd(x, broadcast(high), _CMP_LT_OQ));
}

}  // namespace
