#include <cmath>
#include <cstddef>

#include "vector_math/batch_math.hpp"
#include "vector_math/exp_lanes.hpp"
#include "vector_math/log_lanes.hpp"
#include "vector_math/pow_lanes.hpp"

// Blocks of four lanes. A lane outside the paths ported here is recomputed by the scalar call,
// so each lane is the C library's double whatever the operand. A last partial block is padded
// with operands of the main paths and only its live lanes are stored.

namespace {

constexpr std::size_t LANES = 4;

// Lanes below `live` set.
SIMD_TARGET Bits4 live_mask(std::size_t live) {
    return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(live)), _mm256_setr_epi64x(0, 1, 2, 3));
}

// Up to four operands from x, the rest `pad`. A masked load reads nothing past the live lanes.
SIMD_TARGET Double4 load(const double *x, std::size_t live, double pad) {
    if (live == LANES) return _mm256_loadu_pd(x);
    const Bits4 mask = live_mask(live);
    return _mm256_blendv_pd(broadcast(pad), _mm256_maskload_pd(x, mask), as_doubles(mask));
}

// The live lanes of `result`, those not set in `served` replaced by the scalar call's.
template <class Scalar>
SIMD_TARGET void store(Double4 result, Double4 served, double *out, std::size_t live, Scalar scalar) {
    const int missed = ~_mm256_movemask_pd(served) & 0xf;
    if (missed == 0) {
        if (live == LANES) _mm256_storeu_pd(out, result);
        else _mm256_maskstore_pd(out, live_mask(live), result);
        return;
    }
    double lanes[LANES];
    _mm256_storeu_pd(lanes, result);
    for (std::size_t i = 0; i < live; ++i) out[i] = (missed >> i) & 1 ? scalar(i) : lanes[i];
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
template <class Block>
SIMD_TARGET void for_blocks(std::size_t n, Block block) {
    std::size_t start = 0;
    for (; start + 2 * LANES <= n; start += 2 * LANES) {
        block(start, LANES);
        block(start + LANES, LANES);
    }
    for (; start < n; start += LANES) block(start, n - start < LANES ? n - start : LANES);
}

SIMD_TARGET void vector_exp(const double *x, double *out, std::size_t n) {
    if (took_scalar_calls(n, [x, out](std::size_t i) { out[i] = std::exp(x[i]); })) return;
    for_blocks(n, [x, out](std::size_t start, std::size_t live) SIMD_INLINE {
        const double *xs = x + start;
        const Double4 v = load(xs, live, 1.0);
        const Double4 result = exp_table(v, _mm256_setzero_pd(), false);
        store(result, exp_table_path(v), out + start, live, [xs](std::size_t i) { return std::exp(xs[i]); });
    });
}

SIMD_TARGET void vector_log(const double *x, double *out, std::size_t n) {
    if (took_scalar_calls(n, [x, out](std::size_t i) { out[i] = std::log(x[i]); })) return;
    for_blocks(n, [x, out](std::size_t start, std::size_t live) SIMD_INLINE {
        const double *xs = x + start;
        const Double4 v = load(xs, live, 2.0);
        const Double4 near_one = log_near_one(v);
        Double4 result = log_table(v);
        if (!_mm256_testz_pd(near_one, near_one)) result = _mm256_blendv_pd(result, log_about_one(v), near_one);
        store(result, log_normal_path(v), out + start, live, [xs](std::size_t i) { return std::log(xs[i]); });
    });
}

SIMD_TARGET void vector_pow(const double *x, const double *y, double *out, std::size_t n) {
    if (took_scalar_calls(n, [x, y, out](std::size_t i) { out[i] = std::pow(x[i], y[i]); })) return;
    for_blocks(n, [x, y, out](std::size_t start, std::size_t live) SIMD_INLINE {
        const double *xs = x + start;
        const double *ys = y + start;
        const Double4 vx = load(xs, live, 2.0);
        const Double4 vy = load(ys, live, 2.0);
        const Product e = pow_exponent(vy, pow_log(vx));
        const Double4 result = exp_table(e.hi, e.lo, true);
        const Double4 served = _mm256_and_pd(pow_main_path(vx, vy), exp_table_path(e.hi));
        store(result, served, out + start, live, [xs, ys](std::size_t i) { return std::pow(xs[i], ys[i]); });
    });
}

// The logarithm of the base is the same in every lane and every block, so it is computed once:
// the same operations on the same operand give the same hi and tail as each call would.
SIMD_TARGET void vector_pow_of_base(double x, const double *y, double *out, std::size_t n) {
    if (took_scalar_calls(n, [x, y, out](std::size_t i) { out[i] = std::pow(x, y[i]); })) return;
    const Double4 vx = broadcast(x);
    if (_mm256_movemask_pd(pow_base_served(vx)) != 0xf) {
        for (std::size_t i = 0; i < n; ++i) out[i] = std::pow(x, y[i]);
        return;
    }
    const LogParts log_x = pow_log(vx);
    for_blocks(n, [x, y, out, log_x](std::size_t start, std::size_t live) SIMD_INLINE {
        const double *ys = y + start;
        const Double4 vy = load(ys, live, 2.0);
        const Product e = pow_exponent(vy, log_x);
        const Double4 result = exp_table(e.hi, e.lo, true);
        const Double4 served = _mm256_and_pd(pow_exponent_served(vy), exp_table_path(e.hi));
        store(result, served, out + start, live, [x, ys](std::size_t i) { return std::pow(x, ys[i]); });
    });
}

// Bases beyond this count take the scalar calls.
constexpr std::size_t MOST_BASES = 512;

// The logarithm of each base is computed once, into a table that the lanes then gather from. A
// base off pow's main path gets a NaN logarithm, which sends every lane that uses it to the
// scalar call (no NaN product is on exp's table path).
SIMD_TARGET void vector_pow_of_bases(const double *bases, std::size_t base_count, const std::uint16_t *base_of,
                                      const double *y, double *out, std::size_t n) {
    const auto scalar = [bases, base_of, y, out](std::size_t i) { out[i] = std::pow(bases[base_of[i]], y[i]); };
    if (base_count > MOST_BASES) {
        for (std::size_t i = 0; i < n; ++i) scalar(i);
        return;
    }
    if (took_scalar_calls(n, scalar)) return;
    alignas(32) double log_hi[MOST_BASES];
    alignas(32) double log_tail[MOST_BASES];
    for_blocks(base_count, [bases, &log_hi, &log_tail](std::size_t start, std::size_t live) SIMD_INLINE {
        const Double4 x = load(bases + start, live, 2.0);
        const LogParts parts = pow_log(x);
        _mm256_store_pd(log_hi + start, _mm256_blendv_pd(broadcast(__builtin_nan("")), parts.hi, pow_base_served(x)));
        _mm256_store_pd(log_tail + start, parts.tail);
    });
    for_blocks(n, [bases, base_of, y, out, &log_hi, &log_tail](std::size_t start, std::size_t live) SIMD_INLINE {
        const std::uint16_t *indices = base_of + start;
        Bits4 index;
        if (live == LANES) {
            index = _mm256_cvtepu16_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(indices)));
        } else {
            alignas(32) std::int64_t at[LANES] = {0, 0, 0, 0};
            for (std::size_t i = 0; i < live; ++i) at[i] = indices[i];
            index = _mm256_load_si256(reinterpret_cast<const __m256i *>(at));
        }
        const double *ys = y + start;
        const Double4 vy = load(ys, live, 2.0);
        const LogParts log_x{_mm256_i64gather_pd(log_hi, index, 8), _mm256_i64gather_pd(log_tail, index, 8)};
        const Product e = pow_exponent(vy, log_x);
        const Double4 result = exp_table(e.hi, e.lo, true);
        const Double4 served = _mm256_and_pd(pow_exponent_served(vy), exp_table_path(e.hi));
        store(result, served, out + start, live,
              [bases, indices, ys](std::size_t i) { return std::pow(bases[indices[i]], ys[i]); });
    });
}

constexpr BatchMath vector_math{vector_exp, vector_log, vector_pow, vector_pow_of_base, vector_pow_of_bases};

}  // namespace

const BatchMath &vector_batch_math() { return vector_math; }
