#pragma once

// Four lanes with AVX2 and FMA: the leaf operations of lanes.hpp, each one instruction or two.

#include <cstddef>

#include "simd/simd.hpp"

#define LANES_ISA SIMD_ISA

namespace {

struct FourLanes : LaneTypes<Double4, Bits4, Unsigned4> {
    SIMD_INLINE static V load(const double *p) { return _mm256_loadu_pd(p); }
    SIMD_INLINE static void store(double *p, V x) { _mm256_storeu_pd(p, x); }
    SIMD_INLINE static V fma(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }        // a b + c
    SIMD_INLINE static V fms(V a, V b, V c) { return _mm256_fmsub_pd(a, b, c); }        // a b - c
    SIMD_INLINE static V fnma(V a, V b, V c) { return _mm256_fnmadd_pd(a, b, c); }      // c - a b
    SIMD_INLINE static V gather(const double *table, B index) { return _mm256_i64gather_pd(table, index, 8); }
    // (double)(int64_t)(bits >> 52), the shift arithmetic: the top twelve bits as a signed number.
    SIMD_INLINE static V top12_signed(B bits) {
        const Bits4 shifted = _mm256_srai_epi32(bits, 20);  // the high half of each lane, sign-extended
        const Bits4 high_halves = _mm256_permutevar8x32_epi32(shifted, _mm256_setr_epi32(1, 3, 5, 7, 1, 3, 5, 7));
        return _mm256_cvtepi32_pd(_mm256_castsi256_si128(high_halves));
    }
    // The comparisons, false for NaN.
    SIMD_INLINE static B at_least(V a, V b) { return (B)(a >= b); }
    SIMD_INLINE static B below(V a, V b) { return (B)(a < b); }
    // Bit i set when lane i of the mask is.
    SIMD_INLINE static unsigned lanes_set(B mask) { return static_cast<unsigned>(_mm256_movemask_pd((V)mask)); }
};

}  // namespace
