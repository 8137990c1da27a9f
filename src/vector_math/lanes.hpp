#pragma once

// Four doubles at a time with AVX2 and FMA. Only the functions marked LANES_TARGET use these
// instructions, so the rest of the module runs on any x86-64 CPU; they are called only after the
// gate has seen the CPU support them. Everything here has internal linkage: no inline function
// compiled for AVX2 can be picked by the linker for a caller elsewhere.

#include <immintrin.h>

#include <bit>
#include <cstdint>

#define LANES_TARGET __attribute__((target("avx2,fma"), always_inline)) static inline

namespace {

using Lanes = __m256d;
using Bits = __m256i;

LANES_TARGET Lanes broadcast(double value) { return _mm256_set1_pd(value); }
LANES_TARGET Lanes broadcast_bits(std::uint64_t bits) { return _mm256_set1_pd(std::bit_cast<double>(bits)); }
LANES_TARGET Bits as_bits(Lanes x) { return _mm256_castpd_si256(x); }
LANES_TARGET Lanes as_lanes(Bits x) { return _mm256_castsi256_pd(x); }

// table[index] of each lane, as doubles.
LANES_TARGET Lanes gather(const std::uint64_t *table, Bits index) {
    return _mm256_i64gather_pd(reinterpret_cast<const double *>(table), index, 8);
}

// (double)(int64_t)(bits >> 52), the shift arithmetic: the top twelve bits as a signed number.
LANES_TARGET Lanes top12_signed(Bits bits) {
    const Bits shifted = _mm256_srai_epi32(bits, 20);  // the high half of each lane, sign-extended
    const Bits high_halves = _mm256_permutevar8x32_epi32(shifted, _mm256_setr_epi32(1, 3, 5, 7, 1, 3, 5, 7));
    return _mm256_cvtepi32_pd(_mm256_castsi256_si128(high_halves));
}

// The table reduction of Arm Optimized Routines' math/log.c and math/pow.c (MIT; see NOTICE).
// x = 2^k z for the log tables: z in [c, 2c) where `offset` has the bits of c, and the index of
// the 128 subintervals of [c, 2c) that holds z.
struct TableReduction {
    Bits index;
    Lanes k;
    Lanes z;
};

LANES_TARGET TableReduction table_reduction(Lanes x, std::uint64_t offset) {
    const Bits ix = as_bits(x);
    const Bits tmp = _mm256_sub_epi64(ix, _mm256_set1_epi64x(static_cast<long long>(offset)));
    return {_mm256_and_si256(_mm256_srli_epi64(tmp, 45), _mm256_set1_epi64x(127)), top12_signed(tmp),
            as_lanes(_mm256_sub_epi64(ix, _mm256_and_si256(tmp, _mm256_set1_epi64x(-0x10000000000000))))};
}

// Lanes with low <= |x| < high; false for NaN.
LANES_TARGET Lanes magnitude_within(Lanes x, double low, double high) {
    const Lanes magnitude = _mm256_andnot_pd(broadcast(-0.0), x);
    return _mm256_and_pd(_mm256_cmp_pd(magnitude, broadcast(low), _CMP_GE_OQ),
                         _mm256_cmp_pd(magnitude, broadcast(high), _CMP_LT_OQ));
}

// Lanes with low <= x < high; false for NaN.
LANES_TARGET Lanes within(Lanes x, double low, double high) {
    return _mm256_and_pd(_mm256_cmp_pd(x, broadcast(low), _CMP_GE_OQ), _mm256_cmp_pd(x, broadcast(high), _CMP_LT_OQ));
}

}  // namespace
