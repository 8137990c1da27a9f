#include <cmath>

#include "vector_math/batch_math.hpp"

namespace {

void scalar_exp(const double *x, double *out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::exp(x[i]);
}

void scalar_log(const double *x, double *out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::log(x[i]);
}

void scalar_pow(const double *x, const double *y, double *out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::pow(x[i], y[i]);
}

void scalar_pow_of_base(double x, const double *y, double *out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::pow(x, y[i]);
}

void scalar_pow_of_bases(const double *bases, std::size_t, const std::uint16_t *base_of, const double *y, double *out,
                         std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::pow(bases[base_of[i]], y[i]);
}

constexpr BatchMath scalar_math{scalar_exp, scalar_log, scalar_pow, scalar_pow_of_base, scalar_pow_of_bases};

}  // namespace

const BatchMath &scalar_batch_math() { return scalar_math; }
