#pragma once

// Algorithm of Arm Optimized Routines' math/exp.c (glibc's copy: sysdeps/ieee754/dbl-64/e_exp.c),
// Copyright (c) 2018-2025, Arm Limited; used under the MIT licence. See NOTICE.

// The C library's exp, as its build for CPUs with FMA and AVX2 computes it: x = k ln2/128 + r,
// exp(x) = 2^(k/128) exp(r), with 2^(k/128) from a 128-entry table as a scale and a tail and
// exp(r) - 1 from a polynomial. Each fused multiply-add below is one that the compiled library
// fuses, and only those: a product the library rounds on its own is rounded here on its own.

#include "generated/libm_tables.hpp"
#include "vector_math/lanes.hpp"

namespace {

// Lanes whose argument the table path serves: 2^-54 <= |x| < 512. Elsewhere (tiny, large,
// infinite or NaN arguments) the library takes other paths.
SIMD_INLINE inline Double4 exp_table_path(Double4 x) { return magnitude_within(x, 0x1p-54, 512.0); }

// exp(x + tail) on the table path, tail being a small correction (zero for exp itself).
SIMD_INLINE inline Double4 exp_table(Double4 x, Double4 tail, bool has_tail) {
    const Double4 shift = broadcast_bits(LIBM_EXP_SHIFT[0]);
    const Double4 shifted = _mm256_fmadd_pd(x, broadcast_bits(LIBM_EXP_INVLN2N[0]), shift);
    const Bits4 ki = as_bits(shifted);
    const Double4 kd = _mm256_sub_pd(shifted, shift);
    Double4 r = _mm256_fmadd_pd(kd, broadcast_bits(LIBM_EXP_NEGLN2HIN[0]), x);
    r = _mm256_fmadd_pd(kd, broadcast_bits(LIBM_EXP_NEGLN2LON[0]), r);
    if (has_tail) r = _mm256_add_pd(tail, r);
    const Bits4 index = _mm256_slli_epi64(_mm256_and_si256(ki, _mm256_set1_epi64x(127)), 1);
    const Double4 table_tail = gather(LIBM_EXP_TAB, index);
    const Bits4 scale_bits = _mm256_add_epi64(as_bits(gather(LIBM_EXP_TAB + 1, index)), _mm256_slli_epi64(ki, 45));
    const Double4 c2_c3 = _mm256_fmadd_pd(r, broadcast_bits(LIBM_EXP_POLY[1]), broadcast_bits(LIBM_EXP_POLY[0]));
    const Double4 tail_r = _mm256_add_pd(r, table_tail);
    const Double4 r2 = _mm256_mul_pd(r, r);
    const Double4 c4_c5 = _mm256_fmadd_pd(r, broadcast_bits(LIBM_EXP_POLY[3]), broadcast_bits(LIBM_EXP_POLY[2]));
    Double4 tmp = _mm256_fmadd_pd(c2_c3, r2, tail_r);
    tmp = _mm256_fmadd_pd(_mm256_mul_pd(r2, r2), c4_c5, tmp);
    const Double4 scale = as_doubles(scale_bits);
    return _mm256_fmadd_pd(scale, tmp, scale);
}

}  // namespace
