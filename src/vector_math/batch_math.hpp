#pragma once

#include <cstddef>
#include <cstdint>

// The C library's exp, log and pow over arrays: out[i] is, bit for bit, the double that the
// scalar call returns for the operands at index i. The kernels take every exp, log and pow
// through one of these, so that a faster set that returns the same doubles can stand in for the
// scalar calls. out may be the same array as an operand; otherwise the arrays do not overlap.
struct BatchMath {
    void (*exp)(const double *x, double *out, std::size_t n);
    void (*log)(const double *x, double *out, std::size_t n);
    void (*pow)(const double *x, const double *y, double *out, std::size_t n);
    // out[i] = pow(x, y[i]): one base, many exponents.
    void (*pow_of_base)(double x, const double *y, double *out, std::size_t n);
    // out[i] = pow(bases[base_of[i]], y[i]): a few bases, each with many exponents. base_of[i] is
    // below base_count.
    void (*pow_of_bases)(const double *bases, std::size_t base_count, const std::uint16_t *base_of, const double *y,
                         double *out, std::size_t n);
};

// One scalar call per element.
const BatchMath &scalar_batch_math();

// The vector exp, log and pow, each lane the double of the C library builds listed in
// data/verified_libm_builds.csv; lanes outside the ranges the vector code covers go to the scalar
// call. Only for a CPU that runs them and a C library that passed the gate (libm_gate.hpp). The
// same algorithm (lane_batch_math.hpp) at three widths:
// four lanes with AVX2 and FMA,
const BatchMath &four_lane_batch_math();
// eight lanes as two four-lane halves with AVX2 and FMA,
const BatchMath &eight_lane_halves_batch_math();
// eight lanes native with AVX-512F.
const BatchMath &eight_lane_native_batch_math();

// One way of computing exp, log and pow: its name (as VS30AMP_VECTOR_WIDTH gives it: "scalar",
// "4", "2x4" or "8"), whether this CPU runs it, and its functions.
struct MathPath {
    const char *name;
    bool (*cpu_runs)();
    const BatchMath &(*math)();
};

// Every path of this build: the scalar calls first, then the vector widths.
extern const MathPath MATH_PATHS[4];
