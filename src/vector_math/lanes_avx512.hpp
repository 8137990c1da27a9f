#pragma once

// Eight lanes native with AVX-512F: the leaf operations of lanes.hpp, each one instruction or
// two, and the gather eight loads. Nothing beyond AVX-512F is used (the top twelve bits are
// converted through 32-bit integers, as AVX512DQ's 64-bit conversion is not needed for numbers
// that small). Tested against lanes_avx2_halves.hpp on the same operands where the CPU has
// AVX-512F.

#include <cstddef>

#include "simd/simd.hpp"

#define LANES_ISA SIMD512_ISA
#define SIMD512_INLINE __attribute__((target(SIMD512_ISA), always_inline))

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

struct EightLanes : LaneTypes<Double8, Bits8, Unsigned8> {
    SIMD512_INLINE static V load(const double *p) { return _mm512_loadu_pd(p); }
    SIMD512_INLINE static void store(double *p, V x) { _mm512_storeu_pd(p, x); }
    SIMD512_INLINE static V fma(V a, V b, V c) { return _mm512_fmadd_pd(a, b, c); }
    SIMD512_INLINE static V fms(V a, V b, V c) { return _mm512_fmsub_pd(a, b, c); }
    SIMD512_INLINE static V fnma(V a, V b, V c) { return _mm512_fnmadd_pd(a, b, c); }
    // Eight scalar loads, not vgatherqpd: on Intel CPUs whose microcode mitigates gather data
    // sampling the instruction takes about 24 cycles, twice as long as the loads (docs/performance.md).
    SIMD512_INLINE static V gather(const double *table, B index) {
        return V{table[index[0]], table[index[1]], table[index[2]], table[index[3]],
                 table[index[4]], table[index[5]], table[index[6]], table[index[7]]};
    }
    // The pairs (table[i], table[i + 1]) as one 16-byte load each, four to a register, then split
    // into the lanes' first and second doubles: fewer shuffles than two gathers of eight loads.
    SIMD512_INLINE static __m512d four_pairs(const double *table, B index, int lane) {
        const auto pair = [table, index](int at) SIMD512_INLINE { return _mm_loadu_pd(table + index[at]); };
        const __m256d low = _mm256_insertf128_pd(_mm256_castpd128_pd256(pair(lane)), pair(lane + 1), 1);
        const __m256d high = _mm256_insertf128_pd(_mm256_castpd128_pd256(pair(lane + 2)), pair(lane + 3), 1);
        return _mm512_insertf64x4(_mm512_castpd256_pd512(low), high, 1);
    }
    SIMD512_INLINE static void gather_pairs(const double *table, B index, V &first, V &second) {
        const __m512d lanes_0_3 = four_pairs(table, index, 0);
        const __m512d lanes_4_7 = four_pairs(table, index, 4);
        first = _mm512_permutex2var_pd(lanes_0_3, _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14), lanes_4_7);
        second = _mm512_permutex2var_pd(lanes_0_3, _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15), lanes_4_7);
    }
    SIMD512_INLINE static V top12_signed(B bits) {
        return _mm512_cvtepi32_pd(_mm512_cvtepi64_epi32(_mm512_srai_epi64(bits, 52)));
    }
    SIMD512_INLINE static B at_least(V a, V b) { return (B)(a >= b); }
    SIMD512_INLINE static B below(V a, V b) { return (B)(a < b); }
    SIMD512_INLINE static unsigned lanes_set(B mask) { return _mm512_cmplt_epi64_mask(mask, _mm512_setzero_si512()); }
};

}  // namespace

#pragma GCC diagnostic pop
