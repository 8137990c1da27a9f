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
template <class L>
LANES_INLINE Mask<L> exp_table_path(Vec<L> x) {
    return magnitude_within<L>(x, 0x1p-54, 512.0);
}

// exp(x + tail) on the table path, tail being a small correction (zero for exp itself).
template <class L>
LANES_INLINE Vec<L> exp_table(Vec<L> x, Vec<L> tail, bool has_tail) {
    using V = Vec<L>;
    using B = Mask<L>;
    const V shift = broadcast_bits<L>(LIBM_EXP_SHIFT[0]);
    const V shifted = L::fma(x, broadcast_bits<L>(LIBM_EXP_INVLN2N[0]), shift);
    const B ki = as_bits<L>(shifted);
    const V kd = shifted - shift;
    V r = L::fma(kd, broadcast_bits<L>(LIBM_EXP_NEGLN2HIN[0]), x);
    r = L::fma(kd, broadcast_bits<L>(LIBM_EXP_NEGLN2LON[0]), r);
    if (has_tail) r = tail + r;
    const B index = shift_left<L>(ki & broadcast_integer<L>(127), 1);
    const double *table = reinterpret_cast<const double *>(LIBM_EXP_TAB);
    V table_tail, table_scale;
    gather_pairs<L>(table, index, table_tail, table_scale);
    const B scale_bits = add_bits<L>(as_bits<L>(table_scale), shift_left<L>(ki, 45));
    const V c2_c3 = L::fma(r, broadcast_bits<L>(LIBM_EXP_POLY[1]), broadcast_bits<L>(LIBM_EXP_POLY[0]));
    const V tail_r = r + table_tail;
    const V r2 = r * r;
    const V c4_c5 = L::fma(r, broadcast_bits<L>(LIBM_EXP_POLY[3]), broadcast_bits<L>(LIBM_EXP_POLY[2]));
    V tmp = L::fma(c2_c3, r2, tail_r);
    tmp = L::fma(r2 * r2, c4_c5, tmp);
    const V scale = as_doubles<L>(scale_bits);
    return L::fma(scale, tmp, scale);
}

}  // namespace
