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
LANES_TARGET Lanes log_normal_path(Lanes x) { return within(x, 0x1p-1022, __builtin_inf()); }

// Arguments in [1 - 2^-4, 1 + 0x1.09p-4), where the library takes the polynomial about 1.
LANES_TARGET Lanes log_near_one(Lanes x) { return within(x, LOG_NEAR_ONE_LOW, LOG_NEAR_ONE_HIGH); }

LANES_TARGET Lanes log_table(Lanes x) {
    const auto [index, kd, z] = table_reduction(x, 0x3fe6000000000000);
    const Lanes invc = gather(LIBM_LOG_INVC, index);
    const Lanes logc = gather(LIBM_LOG_LOGC, index);
    const Lanes r = _mm256_fmadd_pd(z, invc, broadcast(-1.0));
    const Lanes w = _mm256_fmadd_pd(kd, broadcast_bits(LIBM_LOG_LN2HI[0]), logc);
    const Lanes a1_a2 = _mm256_fmadd_pd(r, broadcast_bits(LIBM_LOG_POLY[2]), broadcast_bits(LIBM_LOG_POLY[1]));
    const Lanes hi = _mm256_add_pd(r, w);
    const Lanes r2 = _mm256_mul_pd(r, r);
    Lanes lo = _mm256_add_pd(_mm256_sub_pd(w, hi), r);
    lo = _mm256_fmadd_pd(kd, broadcast_bits(LIBM_LOG_LN2LO[0]), lo);
    const Lanes r3 = _mm256_mul_pd(r, r2);
    Lanes poly = _mm256_fmadd_pd(r, broadcast_bits(LIBM_LOG_POLY[4]), broadcast_bits(LIBM_LOG_POLY[3]));
    lo = _mm256_fmadd_pd(r2, broadcast_bits(LIBM_LOG_POLY[0]), lo);
    poly = _mm256_fmadd_pd(poly, r2, a1_a2);
    const Lanes y = _mm256_fmadd_pd(r3, poly, lo);
    return _mm256_add_pd(y, hi);
}

LANES_TARGET Lanes log_about_one(Lanes x) {
    const Lanes r = _mm256_sub_pd(x, broadcast(1.0));
    Lanes p2 = _mm256_fmadd_pd(r, broadcast_bits(LIBM_LOG_POLY1[2]), broadcast_bits(LIBM_LOG_POLY1[1]));
    Lanes p5 = _mm256_fmadd_pd(r, broadcast_bits(LIBM_LOG_POLY1[5]), broadcast_bits(LIBM_LOG_POLY1[4]));
    const Lanes r2 = _mm256_mul_pd(r, r);
    Lanes p8 = _mm256_fmadd_pd(r, broadcast_bits(LIBM_LOG_POLY1[8]), broadcast_bits(LIBM_LOG_POLY1[7]));
    p2 = _mm256_fmadd_pd(r2, broadcast_bits(LIBM_LOG_POLY1[3]), p2);
    p5 = _mm256_fmadd_pd(r2, broadcast_bits(LIBM_LOG_POLY1[6]), p5);
    const Lanes r3 = _mm256_mul_pd(r, r2);
    p8 = _mm256_fmadd_pd(r2, broadcast_bits(LIBM_LOG_POLY1[9]), p8);
    p8 = _mm256_fmadd_pd(r3, broadcast_bits(LIBM_LOG_POLY1[10]), p8);
    p8 = _mm256_fmadd_pd(p8, r3, p5);
    const Lanes poly = _mm256_fmadd_pd(p8, r3, p2);
    // r = rhi + rlo with rhi's low 27 bits clear, so that rhi * rhi is exact.
    const Lanes two27 = broadcast(0x1p27);
    const Lanes rhi = _mm256_fnmadd_pd(two27, r, _mm256_fmadd_pd(r, two27, r));
    const Lanes rhi2 = _mm256_mul_pd(rhi, rhi);
    const Lanes rlo = _mm256_sub_pd(r, rhi);
    const Lanes half = broadcast_bits(LIBM_LOG_POLY1[0]);  // -0.5
    const Lanes hi = _mm256_fmadd_pd(rhi2, half, r);
    Lanes lo = _mm256_fmadd_pd(rhi2, half, _mm256_sub_pd(r, hi));
    lo = _mm256_fmadd_pd(_mm256_mul_pd(half, rlo), _mm256_add_pd(r, rhi), lo);
    const Lanes y = _mm256_fmadd_pd(poly, r3, lo);
    return _mm256_add_pd(hi, y);
}

}  // namespace
