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
template <class L>
LANES_INLINE Mask<L> pow_base_served(Vec<L> x) {
    return within<L>(x, 0x1p-1022, __builtin_inf());
}
template <class L>
LANES_INLINE Mask<L> pow_exponent_served(Vec<L> y) {
    return magnitude_within<L>(y, 0x1p-65, 0x1p63);
}
template <class L>
LANES_INLINE Mask<L> pow_main_path(Vec<L> x, Vec<L> y) {
    return pow_base_served<L>(x) & pow_exponent_served<L>(y);
}

template <class L>
struct LogParts {
    Vec<L> hi;    // log(x) rounded
    Vec<L> tail;  // log(x) - hi, to about 15 more bits
};

inline constexpr auto POW_INVC_LOGC = interleaved(LIBM_POW_INVC, LIBM_POW_LOGC);

template <class L>
LANES_INLINE LogParts<L> pow_log(Vec<L> x) {
    using V = Vec<L>;
    const auto [index, kd, z] = table_reduction<L>(x, 0x3fe6955500000000);
    V invc, logc;
    gather_two<L>(LIBM_POW_INVC, LIBM_POW_LOGC, POW_INVC_LOGC, index, invc, logc);
    const V logctail = L::gather(reinterpret_cast<const double *>(LIBM_POW_LOGCTAIL), index);
    const V t1 = L::fma(kd, broadcast_bits<L>(LIBM_POW_LN2HI[0]), logc);
    const V lo1 = L::fma(kd, broadcast_bits<L>(LIBM_POW_LN2LO[0]), logctail);
    const V r = L::fma(z, invc, BROADCAST(Vec<L>, -1.0));
    const V ar = r * broadcast_bits<L>(LIBM_POW_POLY[0]);  // -0.5 r
    const V a1_a2 = L::fma(r, broadcast_bits<L>(LIBM_POW_POLY[2]), broadcast_bits<L>(LIBM_POW_POLY[1]));
    const V a3_a4 = L::fma(r, broadcast_bits<L>(LIBM_POW_POLY[4]), broadcast_bits<L>(LIBM_POW_POLY[3]));
    const V t2 = r + t1;
    const V lo2 = (t1 - t2) + r;
    const V ar2 = r * ar;
    const V ar3 = r * ar2;
    const V lo3 = L::fms(ar, r, ar2);
    const V hi = t2 + ar2;
    V q = L::fma(r, broadcast_bits<L>(LIBM_POW_POLY[6]), broadcast_bits<L>(LIBM_POW_POLY[5]));
    const V lo4 = (t2 - hi) + ar2;
    q = L::fma(q, ar2, a3_a4);
    q = L::fma(ar2, q, a1_a2);
    V lo = lo1 + lo2;
    lo = lo + lo3;
    lo = lo + lo4;
    lo = L::fma(ar3, q, lo);
    const V log_hi = hi + lo;
    return {log_hi, (hi - log_hi) + lo};
}

// y log(x) as ehi + elo.
template <class L>
struct Product {
    Vec<L> hi;
    Vec<L> lo;
};

template <class L>
LANES_INLINE Product<L> pow_exponent(Vec<L> y, LogParts<L> log_x) {
    const Vec<L> ehi = y * log_x.hi;
    const Vec<L> elo = L::fma(y, log_x.tail, L::fms(log_x.hi, y, ehi));
    return {ehi, elo};
}

}  // namespace
