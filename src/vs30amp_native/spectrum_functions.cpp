#include "vs30amp_native/spectrum_functions.hpp"

#include <cmath>
#include <cstddef>

#include "simd/simd.hpp"
#include "vs30amp_native/buffer_view.hpp"
#include "vs30amp_native/native_function.hpp"

namespace {

// The interpolation's nodes: the powers at j - 2 ... j + 3 for the points between bins j and j + 1.
constexpr std::size_t NODES = 8;
constexpr std::ptrdiff_t BELOW = 3;

// The power at bin i of a row of bins 0 ... half, even about both ends (a cosine sum).
inline double reflected(const double *row, std::ptrdiff_t i, std::ptrdiff_t half) {
    if (i < 0) i = -i;
    if (i > half) i = 2 * half - i;
    return row[i];
}

inline double amplitude(double power, double dt) { return std::sqrt(power > 0.0 ? power : 0.0) * dt; }

// The same of two at a time.
ALWAYS_INLINE inline Double2 amplitudes(Double2 power, Double2 dt) {
    const Double2 zero = {0.0, 0.0};
    return Double2(_mm_sqrt_pd(power > zero ? power : zero)) * dt;
}

// The points of bin j near either end, its nodes reflected there: out[0] at j, out[q] at
// j + q / steps by the weights' row q - 1, the sum in the nodes' order.
void points_near_end(const double *row, std::ptrdiff_t j, std::ptrdiff_t last, const double *weights,
                     std::size_t steps, double dt, double *out) {
    double near[NODES];
    for (std::size_t i = 0; i < NODES; ++i) near[i] = reflected(row, j - BELOW + static_cast<std::ptrdiff_t>(i), last);
    out[0] = amplitude(row[j], dt);
    for (std::size_t q = 1; q < steps; ++q) {
        const double *w = weights + (q - 1) * NODES;
        double value = near[0] * w[0];
        for (std::size_t i = 1; i < NODES; ++i) value += near[i] * w[i];
        out[q] = amplitude(value, dt);
    }
}

// The points of bins j and j + 1, away from the ends: the same operations, lane by lane.
void points_inside(const double *row, std::ptrdiff_t j, const double *weights, std::size_t steps, double dt,
                   double *out) {
    Double2 near[NODES];
    for (std::size_t i = 0; i < NODES; ++i) {
        near[i] = load_doubles<Double2>(row + j - BELOW + static_cast<std::ptrdiff_t>(i));
    }
    const Double2 step = {dt, dt};
    const Double2 own = amplitudes(load_doubles<Double2>(row + j), step);
    out[0] = own[0];
    out[steps] = own[1];
    for (std::size_t q = 1; q < steps; ++q) {
        const double *w = weights + (q - 1) * NODES;
        Double2 value = near[0] * w[0];
        for (std::size_t i = 1; i < NODES; ++i) value += near[i] * w[i];
        value = amplitudes(value, step);
        out[q] = value[0];
        out[steps + q] = value[1];
    }
}

// One row: out[j steps] the amplitude at bin j, out[j steps + q] at j + q / steps.
void refine_row(const double *row, std::size_t half, const double *weights, std::size_t steps, double dt,
                double *out) {
    const auto last = static_cast<std::ptrdiff_t>(half);
    const std::ptrdiff_t inner = last - (static_cast<std::ptrdiff_t>(NODES) - BELOW);  // j + nodes above <= last
    std::ptrdiff_t j = 0;
    for (; j < last && (j < BELOW || j > inner); ++j) {
        points_near_end(row, j, last, weights, steps, dt, out + static_cast<std::size_t>(j) * steps);
    }
    for (; j + 1 <= inner; j += 2) points_inside(row, j, weights, steps, dt, out + static_cast<std::size_t>(j) * steps);
    for (; j < last; ++j) points_near_end(row, j, last, weights, steps, dt, out + static_cast<std::size_t>(j) * steps);
    out[half * steps] = amplitude(row[half], dt);
}

constexpr TextSignature REFINED_AMPLITUDES = text_signature(
    "refined_amplitudes", {"powers", "weights", "dt", "out", "/"},
    "dt sqrt(max(P, 0)) of rows of powers (n, L/2 + 1) at the bins of a grid of steps L, the points "
    "between bins by weights (steps - 1, nodes) of the powers around them, into out (n, steps L / 2 + 1).");

PyObject *refined_amplitudes(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!takes_arguments(REFINED_AMPLITUDES, nargs)) return nullptr;
    BufferView powers, weights, out;
    if (!powers.acquire(args[0], "powers", 2, "d", false) || !weights.acquire(args[1], "weights", 2, "d", false))
        return nullptr;
    const double dt = PyFloat_AsDouble(args[2]);
    if (dt == -1.0 && PyErr_Occurred()) return nullptr;
    if (!out.acquire(args[3], "out", 2, "d", true)) return nullptr;
    const std::size_t rows = powers.shape(0), width = powers.shape(1), steps = weights.shape(0) + 1;
    if (width < 2 || weights.shape(1) != NODES || out.shape(0) != rows || out.shape(1) != steps * (width - 1) + 1) {
        PyErr_SetString(PyExc_ValueError, "refined_amplitudes: expected powers (n, L/2 + 1) with L/2 >= 1, "
                                          "weights (steps - 1, nodes) and out (n, steps L/2 + 1)");
        return nullptr;
    }
    const double *source = powers.data<double>(), *w = weights.data<double>();
    double *result = out.data<double>();
    Py_BEGIN_ALLOW_THREADS
    for (std::size_t r = 0; r < rows; ++r) {
        refine_row(source + r * width, width - 1, w, steps, dt, result + r * out.shape(1));
    }
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef refined_amplitudes_method() { return native_method(REFINED_AMPLITUDES, refined_amplitudes); }
