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

#define BLOCK_TARGET __attribute__((target("avx2,fma")))

// The lanes of `result`, with the lanes not set in `served` replaced by the scalar call's.
template <class Scalar>
BLOCK_TARGET void store(Lanes result, Lanes served, double *out, std::size_t live, Scalar scalar) {
    double lanes[LANES];
    _mm256_storeu_pd(lanes, result);
    const int missed = ~_mm256_movemask_pd(served) & 0xf;
    for (std::size_t i = 0; i < live; ++i) out[i] = (missed >> i) & 1 ? scalar(i) : lanes[i];
}

// Up to four operands from x, the rest `pad`.
BLOCK_TARGET Lanes load(const double *x, std::size_t live, double pad) {
    if (live == LANES) return _mm256_loadu_pd(x);
    double lanes[LANES] = {pad, pad, pad, pad};
    for (std::size_t i = 0; i < live; ++i) lanes[i] = x[i];
    return _mm256_loadu_pd(lanes);
}

BLOCK_TARGET void vector_exp(const double *x, double *out, std::size_t n) {
    for (std::size_t start = 0; start < n; start += LANES) {
        const std::size_t live = n - start < LANES ? n - start : LANES;
        const double *xs = x + start;
        const Lanes v = load(xs, live, 1.0);
        const Lanes result = exp_table(v, _mm256_setzero_pd(), false);
        store(result, exp_table_path(v), out + start, live, [xs](std::size_t i) { return std::exp(xs[i]); });
    }
}

BLOCK_TARGET void vector_log(const double *x, double *out, std::size_t n) {
    for (std::size_t start = 0; start < n; start += LANES) {
        const std::size_t live = n - start < LANES ? n - start : LANES;
        const double *xs = x + start;
        const Lanes v = load(xs, live, 2.0);
        const Lanes near_one = log_near_one(v);
        Lanes result = log_table(v);
        if (!_mm256_testz_pd(near_one, near_one)) result = _mm256_blendv_pd(result, log_about_one(v), near_one);
        store(result, log_normal_path(v), out + start, live, [xs](std::size_t i) { return std::log(xs[i]); });
    }
}

BLOCK_TARGET void vector_pow(const double *x, const double *y, double *out, std::size_t n) {
    for (std::size_t start = 0; start < n; start += LANES) {
        const std::size_t live = n - start < LANES ? n - start : LANES;
        const double *xs = x + start;
        const double *ys = y + start;
        const Lanes vx = load(xs, live, 2.0);
        const Lanes vy = load(ys, live, 2.0);
        const Product e = pow_exponent(vy, pow_log(vx));
        const Lanes result = exp_table(e.hi, e.lo, true);
        const Lanes served = _mm256_and_pd(pow_main_path(vx, vy), exp_table_path(e.hi));
        store(result, served, out + start, live, [xs, ys](std::size_t i) { return std::pow(xs[i], ys[i]); });
    }
}

constexpr BatchMath vector_math{vector_exp, vector_log, vector_pow};

}  // namespace

const BatchMath &vector_batch_math() { return vector_math; }
