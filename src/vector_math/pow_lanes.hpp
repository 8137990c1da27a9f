#pragma once

// Algorithm of Arm Optimized Routines' math/pow.c (glibc's copy: sysdeps/ieee754/dbl-64/e_pow.c),
// Copyright (c) 2018-2026, Arm Limited; used under the MIT licence. See NOTICE.

// The C library's pow, as its build for CPUs with FMA and AVX2 computes it on its main path:
// log(x) to about 68 bits as hi + lo, from its own 128-entry table (1 / c, log(c) and its tail),
// then y log(x) as ehi + elo, and exp of that by the exp table path with elo as the tail. Each
// fused multiply-add below is one that the compiled library fuses, and only those.

#include "generated/libm_tables.hpp"
#include "vector_math/exp_lanes.hpp"
#include "vector_math/lanes.hpp"

namespace {

// Lanes the main path serves: x normal, positive and finite, 2^-65 <= |y| < 2^63. Elsewhere
// (zero, subnormal, negative, infinite or NaN x; tiny, huge or NaN y) the library takes other
// paths.
SIMD_INLINE inline Double4 pow_base_served(Double4 x) { return within(x, 0x1p-1022, __builtin_inf()); }
SIMD_INLINE inline Double4 pow_exponent_served(Double4 y) { return magnitude_within(y, 0x1p-65, 0x1p63); }
SIMD_INLINE inline Double4 pow_main_path(Double4 x, Double4 y) { return _mm256_and_pd(pow_base_served(x), pow_exponent_served(y)); }

struct LogParts {
    Double4 hi;    // log(x) rounded
    Double4 tail;  // log(x) - hi, to about 15 more bits
};

SIMD_INLINE inline LogParts pow_log(Double4 x) {
    const auto [index, kd, z] = table_reduction(x, 0x3fe6955500000000);
    const Double4 t1 = _mm256_fmadd_pd(kd, broadcast_bits(LIBM_POW_LN2HI[0]), gather(LIBM_POW_LOGC, index));
    const Double4 lo1 = _mm256_fmadd_pd(kd, broadcast_bits(LIBM_POW_LN2LO[0]), gather(LIBM_POW_LOGCTAIL, index));
    const Double4 r = _mm256_fmadd_pd(z, gather(LIBM_POW_INVC, index), broadcast(-1.0));
    const Double4 ar = _mm256_mul_pd(r, broadcast_bits(LIBM_POW_POLY[0]));  // -0.5 r
    const Double4 a1_a2 = _mm256_fmadd_pd(r, broadcast_bits(LIBM_POW_POLY[2]), broadcast_bits(LIBM_POW_POLY[1]));
    const Double4 a3_a4 = _mm256_fmadd_pd(r, broadcast_bits(LIBM_POW_POLY[4]), broadcast_bits(LIBM_POW_POLY[3]));
    const Double4 t2 = _mm256_add_pd(r, t1);
    const Double4 lo2 = _mm256_add_pd(_mm256_sub_pd(t1, t2), r);
    const Double4 ar2 = _mm256_mul_pd(r, ar);
    const Double4 ar3 = _mm256_mul_pd(r, ar2);
    const Double4 lo3 = _mm256_fmsub_pd(ar, r, ar2);
    const Double4 hi = _mm256_add_pd(t2, ar2);
    Double4 q = _mm256_fmadd_pd(r, broadcast_bits(LIBM_POW_POLY[6]), broadcast_bits(LIBM_POW_POLY[5]));
    const Double4 lo4 = _mm256_add_pd(_mm256_sub_pd(t2, hi), ar2);
    q = _mm256_fmadd_pd(q, ar2, a3_a4);
    q = _mm256_fmadd_pd(ar2, q, a1_a2);
    Double4 lo = _mm256_add_pd(lo1, lo2);
    lo = _mm256_add_pd(lo, lo3);
    lo = _mm256_add_pd(lo, lo4);
    lo = _mm256_fmadd_pd(ar3, q, lo);
    const Double4 log_hi = _mm256_add_pd(hi, lo);
    return {log_hi, _mm256_add_pd(_mm256_sub_pd(hi, log_hi), lo)};
}

// y log(x) as ehi + elo.
struct Product {
    Double4 hi;
    Double4 lo;
};

SIMD_INLINE inline Product pow_exponent(Double4 y, LogParts log_x) {
    const Double4 ehi = _mm256_mul_pd(y, log_x.hi);
    const Double4 elo = _mm256_fmadd_pd(y, log_x.tail, _mm256_fmsub_pd(log_x.hi, y, ehi));
    return {ehi, elo};
}

}  // namespace
