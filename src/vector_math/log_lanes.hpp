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
template <class L>
LANES_INLINE Mask<L> log_normal_path(Vec<L> x) {
    return within<L>(x, 0x1p-1022, __builtin_inf());
}

// Arguments in [1 - 2^-4, 1 + 0x1.09p-4), where the library takes the polynomial about 1.
template <class L>
LANES_INLINE Mask<L> log_near_one(Vec<L> x) {
    return within<L>(x, LOG_NEAR_ONE_LOW, LOG_NEAR_ONE_HIGH);
}

inline constexpr auto LOG_INVC_LOGC = interleaved(LIBM_LOG_INVC, LIBM_LOG_LOGC);

template <class L>
LANES_INLINE Vec<L> log_table(Vec<L> x) {
    using V = Vec<L>;
    const auto [index, kd, z] = table_reduction<L>(x, 0x3fe6000000000000);
    V invc, logc;
    gather_two<L>(LIBM_LOG_INVC, LIBM_LOG_LOGC, LOG_INVC_LOGC, index, invc, logc);
    const V r = L::fma(z, invc, BROADCAST(Vec<L>, -1.0));
    const V w = L::fma(kd, broadcast_bits<L>(LIBM_LOG_LN2HI[0]), logc);
    const V a1_a2 = L::fma(r, broadcast_bits<L>(LIBM_LOG_POLY[2]), broadcast_bits<L>(LIBM_LOG_POLY[1]));
    const V hi = r + w;
    const V r2 = r * r;
    V lo = (w - hi) + r;
    lo = L::fma(kd, broadcast_bits<L>(LIBM_LOG_LN2LO[0]), lo);
    const V r3 = r * r2;
    V poly = L::fma(r, broadcast_bits<L>(LIBM_LOG_POLY[4]), broadcast_bits<L>(LIBM_LOG_POLY[3]));
    lo = L::fma(r2, broadcast_bits<L>(LIBM_LOG_POLY[0]), lo);
    poly = L::fma(poly, r2, a1_a2);
    const V y = L::fma(r3, poly, lo);
    return y + hi;
}

template <class L>
LANES_INLINE Vec<L> log_about_one(Vec<L> x) {
    using V = Vec<L>;
    const V r = x - BROADCAST(Vec<L>, 1.0);
    V p2 = L::fma(r, broadcast_bits<L>(LIBM_LOG_POLY1[2]), broadcast_bits<L>(LIBM_LOG_POLY1[1]));
    V p5 = L::fma(r, broadcast_bits<L>(LIBM_LOG_POLY1[5]), broadcast_bits<L>(LIBM_LOG_POLY1[4]));
    const V r2 = r * r;
    V p8 = L::fma(r, broadcast_bits<L>(LIBM_LOG_POLY1[8]), broadcast_bits<L>(LIBM_LOG_POLY1[7]));
    p2 = L::fma(r2, broadcast_bits<L>(LIBM_LOG_POLY1[3]), p2);
    p5 = L::fma(r2, broadcast_bits<L>(LIBM_LOG_POLY1[6]), p5);
    const V r3 = r * r2;
    p8 = L::fma(r2, broadcast_bits<L>(LIBM_LOG_POLY1[9]), p8);
    p8 = L::fma(r3, broadcast_bits<L>(LIBM_LOG_POLY1[10]), p8);
    p8 = L::fma(p8, r3, p5);
    const V poly = L::fma(p8, r3, p2);
    // r = rhi + rlo with rhi's low 27 bits clear, so that rhi * rhi is exact.
    const V two27 = BROADCAST(Vec<L>, 0x1p27);
    const V rhi = L::fnma(two27, r, L::fma(r, two27, r));
    const V rhi2 = rhi * rhi;
    const V rlo = r - rhi;
    const V half = broadcast_bits<L>(LIBM_LOG_POLY1[0]);  // -0.5
    const V hi = L::fma(rhi2, half, r);
    V lo = L::fma(rhi2, half, r - hi);
    lo = L::fma(half * rlo, r + rhi, lo);
    const V y = L::fma(poly, r3, lo);
    return hi + y;
}

}  // namespace
