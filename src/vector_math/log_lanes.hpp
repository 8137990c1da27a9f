#pragma once

// Algorithm of Arm Optimized Routines' math/log.c (glibc's copy: sysdeps/ieee754/dbl-64/e_log.c),
// Copyright (c) 2018-2025, Arm Limited; used under the MIT licence. See NOTICE.

// The C library's log, as its build for CPUs with FMA and AVX2 computes it. Arguments near 1
// take a polynomial in r = x - 1 with a careful split of its leading term; the others are
// x = 2^k z, log(x) = k ln2 + log(c) + log1p(z / c - 1), with 1 / c and log(c) from a 128-entry
// table. Each fused multiply-add below is one that the compiled library fuses, and only those.

#include "generated/libm_tables.hpp"
#include "vector_math/lanes.hpp"

namespace {

constexpr double LOG_NEAR_ONE_LOW = 1.0 - 0x1p-4;
constexpr double LOG_NEAR_ONE_HIGH = 1.0 + 0x1.09p-4;

// Lanes that are normal, positive and finite; elsewhere (zero, subnormal, negative, infinite or
// NaN) the library takes other paths.
SIMD_INLINE inline Double4 log_normal_path(Double4 x) { return within(x, 0x1p-1022, __builtin_inf()); }

// Arguments in [1 - 2^-4, 1 + 0x1.09p-4), where the library takes the polynomial about 1.
SIMD_INLINE inline Double4 log_near_one(Double4 x) { return within(x, LOG_NEAR_ONE_LOW, LOG_NEAR_ONE_HIGH); }

SIMD_INLINE inline Double4 log_table(Double4 x) {
    const auto [index, kd, z] = table_reduction(x, 0x3fe6000000000000);
    const Double4 invc = gather(LIBM_LOG_INVC, index);
    const Double4 logc = gather(LIBM_LOG_LOGC, index);
    const Double4 r = _mm256_fmadd_pd(z, invc, broadcast(-1.0));
    const Double4 w = _mm256_fmadd_pd(kd, broadcast_bits(LIBM_LOG_LN2HI[0]), logc);
    const Double4 a1_a2 = _mm256_fmadd_pd(r, broadcast_bits(LIBM_LOG_POLY[2]), broadcast_bits(LIBM_LOG_POLY[1]));
    const Double4 hi = _mm256_add_pd(r, w);
    const Double4 r2 = _mm256_mul_pd(r, r);
    Double4 lo = _mm256_add_pd(_mm256_sub_pd(w, hi), r);
    lo = _mm256_fmadd_pd(kd, broadcast_bits(LIBM_LOG_LN2LO[0]), lo);
    const Double4 r3 = _mm256_mul_pd(r, r2);
    Double4 poly = _mm256_fmadd_pd(r, broadcast_bits(LIBM_LOG_POLY[4]), broadcast_bits(LIBM_LOG_POLY[3]));
    lo = _mm256_fmadd_pd(r2, broadcast_bits(LIBM_LOG_POLY[0]), lo);
    poly = _mm256_fmadd_pd(poly, r2, a1_a2);
    const Double4 y = _mm256_fmadd_pd(r3, poly, lo);
    return _mm256_add_pd(y, hi);
}

SIMD_INLINE inline Double4 log_about_one(Double4 x) {
    const Double4 r = _mm256_sub_pd(x, broadcast(1.0));
    Double4 p2 = _mm256_fmadd_pd(r, broadcast_bits(LIBM_LOG_POLY1[2]), broadcast_bits(LIBM_LOG_POLY1[1]));
    Double4 p5 = _mm256_fmadd_pd(r, broadcast_bits(LIBM_LOG_POLY1[5]), broadcast_bits(LIBM_LOG_POLY1[4]));
    const Double4 r2 = _mm256_mul_pd(r, r);
    Double4 p8 = _mm256_fmadd_pd(r, broadcast_bits(LIBM_LOG_POLY1[8]), broadcast_bits(LIBM_LOG_POLY1[7]));
    p2 = _mm256_fmadd_pd(r2, broadcast_bits(LIBM_LOG_POLY1[3]), p2);
    p5 = _mm256_fmadd_pd(r2, broadcast_bits(LIBM_LOG_POLY1[6]), p5);
    const Double4 r3 = _mm256_mul_pd(r, r2);
    p8 = _mm256_fmadd_pd(r2, broadcast_bits(LIBM_LOG_POLY1[9]), p8);
    p8 = _mm256_fmadd_pd(r3, broadcast_bits(LIBM_LOG_POLY1[10]), p8);
    p8 = _mm256_fmadd_pd(p8, r3, p5);
    const Double4 poly = _mm256_fmadd_pd(p8, r3, p2);
    // r = rhi + rlo with rhi's low 27 bits clear, so that rhi * rhi is exact.
    const Double4 two27 = broadcast(0x1p27);
    const Double4 rhi = _mm256_fnmadd_pd(two27, r, _mm256_fmadd_pd(r, two27, r));
    const Double4 rhi2 = _mm256_mul_pd(rhi, rhi);
    const Double4 rlo = _mm256_sub_pd(r, rhi);
    const Double4 half = broadcast_bits(LIBM_LOG_POLY1[0]);  // -0.5
    const Double4 hi = _mm256_fmadd_pd(rhi2, half, r);
    Double4 lo = _mm256_fmadd_pd(rhi2, half, _mm256_sub_pd(r, hi));
    lo = _mm256_fmadd_pd(_mm256_mul_pd(half, rlo), _mm256_add_pd(r, rhi), lo);
    const Double4 y = _mm256_fmadd_pd(poly, r3, lo);
    return _mm256_add_pd(hi, y);
}

}  // namespace
