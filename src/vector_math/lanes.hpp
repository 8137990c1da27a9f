#pragma once

// The parts of the vector exp, log and pow, written once over a set of lanes L: four lanes
// (lanes_avx2.hpp), eight as two four-lane halves (lanes_avx2_halves.hpp) or eight native
// (lanes_avx512.hpp). The including file includes one of those first: it defines LANES_ISA, the
// instructions every helper here is compiled for. Everything here has internal linkage and is
// inlined into the functions of lane_batch_math.hpp.
//
// L provides the vector of doubles L::V, the vector of their 64-bit patterns L::B (also the result
// of a comparison: all bits set or clear) and its unsigned twin L::U, its width L::N, and the leaf
// operations that no vector operator says: the three fused multiply-adds, gather from a table by
// 64-bit index, the signed conversion of the top twelve bits, the two comparisons, the lanes a mask
// sets as a bit field, and unaligned loads and stores. Broadcasts are simd.hpp's BROADCAST; the
// rest is GCC's vector operators, which are the IEEE operations lane by lane.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "simd/simd.hpp"

#if !defined(LANES_ISA)
#error "include the header of one set of lanes first"
#endif

// A helper compiled for LANES_ISA and always inlined into its caller, so that no vector crosses a
// call; LANES_LAMBDA the same for a lambda.
#define LANES_LAMBDA __attribute__((target(LANES_ISA), always_inline))
#define LANES_INLINE LANES_LAMBDA inline

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

template <class L>
using Vec = typename L::V;
template <class L>
using Mask = typename L::B;

template <class L>
LANES_INLINE Vec<L> broadcast_bits(std::uint64_t bits) {
    return BROADCAST(Vec<L>, std::bit_cast<double>(bits));
}

template <class L>
LANES_INLINE Mask<L> as_bits(Vec<L> x) {
    return (Mask<L>)x;
}

template <class L>
LANES_INLINE Vec<L> as_doubles(Mask<L> x) {
    return (Vec<L>)x;
}

template <class L>
LANES_INLINE Mask<L> broadcast_integer(std::int64_t value) {
    return as_bits<L>(BROADCAST(Vec<L>, std::bit_cast<double>(value)));
}

// Integer sums, differences and left shifts of bit patterns wrap, as the instructions do: they are
// made in the unsigned twin, where wrapping is defined (lanes that wrap are off the ported paths).
template <class L>
LANES_INLINE Mask<L> add_bits(Mask<L> a, Mask<L> b) {
    return (Mask<L>)((typename L::U)a + (typename L::U)b);
}
template <class L>
LANES_INLINE Mask<L> subtract_bits(Mask<L> a, Mask<L> b) {
    return (Mask<L>)((typename L::U)a - (typename L::U)b);
}
template <class L>
LANES_INLINE Mask<L> shift_left(Mask<L> a, int bits) {
    return (Mask<L>)((typename L::U)a << bits);
}

// The lanes of `when` from a, the others from b.
template <class L>
LANES_INLINE Vec<L> blend(Mask<L> when, Vec<L> a, Vec<L> b) {
    return as_doubles<L>((as_bits<L>(a) & when) | (as_bits<L>(b) & ~when));
}

template <class L>
LANES_INLINE bool any(Mask<L> mask) {
    return L::lanes_set(mask) != 0;
}

// first = table[index], second = table[index + 1]: the two doubles of a table's entries that
// lie side by side. A set of lanes whose loads of such pairs are quicker than two gathers
// provides gather_pairs; the others take two gathers.
template <class L>
LANES_INLINE void gather_pairs(const double *table, Mask<L> index, Vec<L> &first, Vec<L> &second) {
    if constexpr (requires { L::gather_pairs(table, index, first, second); }) {
        L::gather_pairs(table, index, first, second);
    } else {
        first = L::gather(table, index);
        second = L::gather(table + 1, index);
    }
}

// Two tables of the same length side by side, entry i of each at 2i and 2i + 1, for gather_pairs.
template <std::size_t N>
constexpr std::array<std::uint64_t, 2 * N> interleaved(const std::uint64_t (&first)[N],
                                                       const std::uint64_t (&second)[N]) {
    std::array<std::uint64_t, 2 * N> both{};
    for (std::size_t i = 0; i < N; ++i) {
        both[2 * i] = first[i];
        both[2 * i + 1] = second[i];
    }
    return both;
}

// first = first_table[index], second = second_table[index]; `both` is the two interleaved.
template <class L, std::size_t N>
LANES_INLINE void gather_two(const std::uint64_t (&first_table)[N], const std::uint64_t (&second_table)[N],
                             const std::array<std::uint64_t, 2 * N> &both, Mask<L> index, Vec<L> &first,
                             Vec<L> &second) {
    if constexpr (requires(const double *t, Mask<L> i, Vec<L> &a) { L::gather_pairs(t, i, a, a); }) {
        L::gather_pairs(reinterpret_cast<const double *>(both.data()), shift_left<L>(index, 1), first, second);
    } else {
        first = L::gather(reinterpret_cast<const double *>(first_table), index);
        second = L::gather(reinterpret_cast<const double *>(second_table), index);
    }
}

// The table reduction of Arm Optimized Routines' math/log.c and math/pow.c (MIT; see NOTICE).
// x = 2^k z for the log tables: z in [c, 2c) where `offset` has the bits of c, and the index of
// the 128 subintervals of [c, 2c) that holds z.
template <class L>
struct TableReduction {
    Mask<L> index;
    Vec<L> k;
    Vec<L> z;
};

template <class L>
LANES_INLINE TableReduction<L> table_reduction(Vec<L> x, std::uint64_t offset) {
    const Mask<L> ix = as_bits<L>(x);
    const Mask<L> tmp = subtract_bits<L>(ix, broadcast_integer<L>(static_cast<std::int64_t>(offset)));
    return {(Mask<L>)((typename L::U)tmp >> 45) & broadcast_integer<L>(127), L::top12_signed(tmp),
            as_doubles<L>(subtract_bits<L>(ix, tmp & broadcast_integer<L>(-0x10000000000000)))};
}

// Lanes with low <= x < high; false for NaN.
template <class L>
LANES_INLINE Mask<L> within(Vec<L> x, double low, double high) {
    return L::at_least(x, BROADCAST(Vec<L>, low)) & L::below(x, BROADCAST(Vec<L>, high));
}

// Lanes with low <= |x| < high; false for NaN.
template <class L>
LANES_INLINE Mask<L> magnitude_within(Vec<L> x, double low, double high) {
    return within<L>(as_doubles<L>(as_bits<L>(x) & broadcast_integer<L>(0x7fffffffffffffff)), low, high);
}

}  // namespace

#pragma GCC diagnostic pop
