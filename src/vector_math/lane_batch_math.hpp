#pragma once

// The vector exp, log and pow over arrays, on one set of lanes L (lanes.hpp), in blocks of L::N.
// A lane outside the paths ported here is recomputed by the scalar call, so each lane is the C
// library's double whatever the operand. A last partial block is padded with operands of the
// main paths and only its live lanes are stored. The including file includes the header of its
// set of lanes first, and calls lane_batch_math<L>() once.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "vector_math/batch_math.hpp"
#include "vector_math/exp_lanes.hpp"
#include "vector_math/log_lanes.hpp"
#include "vector_math/pow_lanes.hpp"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

// An entry point compiled for LANES_ISA: called only when the CPU runs it.
#define LANES_TARGET __attribute__((target(LANES_ISA)))

namespace {

// Up to L::N operands from x, the rest `pad`; nothing is read past the live lanes.
template <class L>
LANES_INLINE Vec<L> load_lanes(const double *x, std::size_t live, double pad) {
    if (live == L::N) return L::load(x);
    double lanes[L::N];
    for (std::size_t i = 0; i < L::N; ++i) lanes[i] = i < live ? x[i] : pad;
    return L::load(lanes);
}

// The live lanes of `result`, those not set in `served` replaced by the scalar call's.
template <class L, class Scalar>
LANES_INLINE void store_lanes(Vec<L> result, Mask<L> served, double *out, std::size_t live, Scalar scalar) {
    const unsigned missed = ~L::lanes_set(served) & ((1u << L::N) - 1);
    if (missed == 0 && live == L::N) return L::store(out, result);
    double lanes[L::N];
    L::store(lanes, result);
    for (std::size_t i = 0; i < live; ++i) out[i] = (missed >> i) & 1 ? scalar(i) : lanes[i];
}

// Up to L::N base indices as 64-bit lanes, the rest 0.
template <class L>
LANES_INLINE Mask<L> load_indices(const std::uint16_t *indices, std::size_t live) {
    std::int64_t at[L::N] = {};
    for (std::size_t i = 0; i < live; ++i) at[i] = indices[i];
    Mask<L> index;
    std::memcpy(&index, at, sizeof index);
    return index;
}

// A single operand is quicker through the scalar call than through a padded block, whose long
// chain of dependent operations the call would wait for. Returns whether `scalar(i)` has written
// each of the n elements.
constexpr std::size_t FEWEST_LANES = 2;

template <class Scalar>
bool took_scalar_calls(std::size_t n, Scalar scalar) {
    if (n >= FEWEST_LANES) return false;
    for (std::size_t i = 0; i < n; ++i) scalar(i);
    return true;
}

// block(start, live) for the blocks of n elements, two full blocks at a time: each block is a
// long chain of dependent operations, and two independent chains keep the units busy.
template <class L, class Block>
LANES_INLINE void for_blocks(std::size_t n, Block block) {
    constexpr std::size_t N = L::N;
    std::size_t start = 0;
    for (; start + 2 * N <= n; start += 2 * N) {
        block(start, N);
        block(start + N, N);
    }
    for (; start < n; start += N) block(start, n - start < N ? n - start : N);
}

// out[i] = f(x[i]) a block of lanes at a time: lanes(v, result, served) gives the vector results of
// a block padded with `pad` and the lanes they serve; scalar(a), the C library's call, gives the
// others, and every element of an array too short for lanes.
template <class L, class Lanes, class Scalar>
LANES_INLINE void unary_lanes(const double *x, double *out, std::size_t n, double pad, Lanes lanes, Scalar scalar) {
    if (took_scalar_calls(n, [x, out, scalar](std::size_t i) { out[i] = scalar(x[i]); })) return;
    for_blocks<L>(n, [x, out, pad, lanes, scalar](std::size_t start, std::size_t live) LANES_LAMBDA {
        const double *xs = x + start;
        Vec<L> result;
        Mask<L> served;
        lanes(load_lanes<L>(xs, live, pad), result, served);
        store_lanes<L>(result, served, out + start, live, [xs, scalar](std::size_t i) { return scalar(xs[i]); });
    });
}

template <class L>
LANES_TARGET void lane_exp(const double *x, double *out, std::size_t n) {
    const auto lanes = [](Vec<L> v, Vec<L> &result, Mask<L> &served) LANES_LAMBDA {
        result = exp_table<L>(v, v, false);
        served = exp_table_path<L>(v);
    };
    unary_lanes<L>(x, out, n, 1.0, lanes, [](double a) { return std::exp(a); });
}

template <class L>
LANES_TARGET void lane_log(const double *x, double *out, std::size_t n) {
    const auto lanes = [](Vec<L> v, Vec<L> &result, Mask<L> &served) LANES_LAMBDA {
        const Mask<L> near_one = log_near_one<L>(v);
        result = log_table<L>(v);
        if (any<L>(near_one)) result = blend<L>(near_one, log_about_one<L>(v), result);
        served = log_normal_path<L>(v);
    };
    unary_lanes<L>(x, out, n, 2.0, lanes, [](double a) { return std::log(a); });
}

template <class L>
LANES_TARGET void lane_pow(const double *x, const double *y, double *out, std::size_t n) {
    if (took_scalar_calls(n, [x, y, out](std::size_t i) { out[i] = std::pow(x[i], y[i]); })) return;
    for_blocks<L>(n, [x, y, out](std::size_t start, std::size_t live) LANES_LAMBDA {
        const double *xs = x + start;
        const double *ys = y + start;
        const Vec<L> vx = load_lanes<L>(xs, live, 2.0);
        const Vec<L> vy = load_lanes<L>(ys, live, 2.0);
        const Product<L> e = pow_exponent<L>(vy, pow_log<L>(vx));
        const Vec<L> result = exp_table<L>(e.hi, e.lo, true);
        const Mask<L> served = pow_main_path<L>(vx, vy) & exp_table_path<L>(e.hi);
        store_lanes<L>(result, served, out + start, live, [xs, ys](std::size_t i) { return std::pow(xs[i], ys[i]); });
    });
}

// The logarithm of the base is the same in every lane and every block, so it is computed once:
// the same operations on the same operand give the same hi and tail as each call would.
template <class L>
LANES_TARGET void lane_pow_of_base(double x, const double *y, double *out, std::size_t n) {
    if (took_scalar_calls(n, [x, y, out](std::size_t i) { out[i] = std::pow(x, y[i]); })) return;
    const Vec<L> vx = BROADCAST(Vec<L>, x);
    if (!any<L>(pow_base_served<L>(vx))) {
        for (std::size_t i = 0; i < n; ++i) out[i] = std::pow(x, y[i]);
        return;
    }
    const LogParts<L> log_x = pow_log<L>(vx);
    for_blocks<L>(n, [x, y, out, log_x](std::size_t start, std::size_t live) LANES_LAMBDA {
        const double *ys = y + start;
        const Vec<L> vy = load_lanes<L>(ys, live, 2.0);
        const Product<L> e = pow_exponent<L>(vy, log_x);
        const Vec<L> result = exp_table<L>(e.hi, e.lo, true);
        const Mask<L> served = pow_exponent_served<L>(vy) & exp_table_path<L>(e.hi);
        store_lanes<L>(result, served, out + start, live, [x, ys](std::size_t i) { return std::pow(x, ys[i]); });
    });
}

// Bases beyond this count take the scalar calls (a multiple of every width).
constexpr std::size_t MOST_BASES = 512;

// The logarithm of each base is computed once, into a table that the lanes then gather from. A
// base off pow's main path gets a NaN logarithm, which sends every lane that uses it to the
// scalar call (no NaN product is on exp's table path).
template <class L>
LANES_TARGET void lane_pow_of_bases(const double *bases, std::size_t base_count, const std::uint16_t *base_of,
                                    const double *y, double *out, std::size_t n) {
    const auto scalar = [bases, base_of, y, out](std::size_t i) { out[i] = std::pow(bases[base_of[i]], y[i]); };
    if (base_count > MOST_BASES) {
        for (std::size_t i = 0; i < n; ++i) scalar(i);
        return;
    }
    if (took_scalar_calls(n, scalar)) return;
    double log_hi[MOST_BASES];
    double log_tail[MOST_BASES];
    for_blocks<L>(base_count, [bases, &log_hi, &log_tail](std::size_t start, std::size_t live) LANES_LAMBDA {
        const Vec<L> x = load_lanes<L>(bases + start, live, 2.0);
        const LogParts<L> parts = pow_log<L>(x);
        L::store(log_hi + start, blend<L>(pow_base_served<L>(x), parts.hi, BROADCAST(Vec<L>, __builtin_nan(""))));
        L::store(log_tail + start, parts.tail);
    });
    for_blocks<L>(n, [bases, base_of, y, out, &log_hi, &log_tail](std::size_t start, std::size_t live) LANES_LAMBDA {
        const std::uint16_t *indices = base_of + start;
        const Mask<L> index = load_indices<L>(indices, live);
        const double *ys = y + start;
        const Vec<L> vy = load_lanes<L>(ys, live, 2.0);
        const LogParts<L> log_x{L::gather(log_hi, index), L::gather(log_tail, index)};
        const Product<L> e = pow_exponent<L>(vy, log_x);
        const Vec<L> result = exp_table<L>(e.hi, e.lo, true);
        const Mask<L> served = pow_exponent_served<L>(vy) & exp_table_path<L>(e.hi);
        store_lanes<L>(result, served, out + start, live,
                       [bases, indices, ys](std::size_t i) { return std::pow(bases[indices[i]], ys[i]); });
    });
}

template <class L>
const BatchMath &lane_batch_math() {
    static constexpr BatchMath math{lane_exp<L>, lane_log<L>, lane_pow<L>, lane_pow_of_base<L>, lane_pow_of_bases<L>};
    return math;
}

}  // namespace

#pragma GCC diagnostic pop
