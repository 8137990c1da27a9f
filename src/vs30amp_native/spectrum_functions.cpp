#include "vs30amp_native/spectrum_functions.hpp"

#include <cmath>
#include <cstddef>
#include <new>
#include <vector>

#include "simd/simd.hpp"
#include "vs30amp_native/buffer_view.hpp"
#include "vs30amp_native/native_function.hpp"

namespace {

// The interpolation's nodes: the powers at j - 3 ... j + 4 for the points between bins j and j + 1
// (vs30amp._zoom.NODES).
constexpr std::size_t NODES = 8;
constexpr std::ptrdiff_t BELOW = 3;

// The power at bin i of a row of bins 0 ... half, even about both ends and of period 2 half (a
// cosine sum), at any i: a row of few bins too.
inline double reflected(const double *row, std::ptrdiff_t i, std::ptrdiff_t half) {
    i = (i < 0 ? -i : i) % (2 * half);
    return row[i > half ? 2 * half - i : i];
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

// Bins j0 ... j1 - 1 of a row of bins 0 ... last: out[(j - j0) steps] the amplitude at bin j,
// out[(j - j0) steps + q] at j + q / steps.
void refine_points(const double *row, std::ptrdiff_t last, const double *weights, std::size_t steps, double dt,
                   std::ptrdiff_t j0, std::ptrdiff_t j1, double *out) {
    const std::ptrdiff_t inner = last - (static_cast<std::ptrdiff_t>(NODES) - BELOW);  // j + nodes above <= last
    const auto at = [&](std::ptrdiff_t j) { return out + static_cast<std::size_t>(j - j0) * steps; };
    std::ptrdiff_t j = j0;
    for (; j < j1 && (j < BELOW || j > inner); ++j) points_near_end(row, j, last, weights, steps, dt, at(j));
    for (; j + 1 < j1 && j + 1 <= inner; j += 2) points_inside(row, j, weights, steps, dt, at(j));
    for (; j < j1; ++j) points_near_end(row, j, last, weights, steps, dt, at(j));
}

// The arrays of both functions, checked: powers (n, L/2 + 1) with L/2 >= 1, weights
// (steps - 1, NODES). False with the error set otherwise.
bool acquire_powers(PyObject *const *args, const char *function, BufferView &powers, BufferView &weights, double &dt) {
    if (!powers.acquire(args[0], "powers", 2, "d", false) || !weights.acquire(args[1], "weights", 2, "d", false)) {
        return false;
    }
    dt = PyFloat_AsDouble(args[2]);
    if (dt == -1.0 && PyErr_Occurred()) return false;
    if (powers.shape(1) < 2 || weights.shape(1) != NODES) {
        PyErr_Format(PyExc_ValueError, "%s: expected powers (n, L/2 + 1) with L/2 >= 1 and weights (steps - 1, %zu)",
                     function, NODES);
        return false;
    }
    return true;
}

constexpr TextSignature REFINED_AMPLITUDES = text_signature(
    "refined_amplitudes", {"powers", "weights", "dt", "out", "/"},
    "dt sqrt(max(P, 0)) of rows of powers (n, L/2 + 1) at the bins of a grid of steps L, the points "
    "between bins by weights (steps - 1, nodes) of the powers around them, into out (n, steps L / 2 + 1).");

PyObject *refined_amplitudes(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!takes_arguments(REFINED_AMPLITUDES, nargs)) return nullptr;
    BufferView powers, weights, out;
    double dt = 0.0;
    if (!acquire_powers(args, "refined_amplitudes", powers, weights, dt) ||
        !out.acquire(args[3], "out", 2, "d", true)) {
        return nullptr;
    }
    const std::size_t rows = powers.shape(0), width = powers.shape(1), steps = weights.shape(0) + 1;
    if (out.shape(0) != rows || out.shape(1) != steps * (width - 1) + 1) {
        PyErr_SetString(PyExc_ValueError, "refined_amplitudes: expected out (n, steps L/2 + 1)");
        return nullptr;
    }
    const double *source = powers.data<double>(), *w = weights.data<double>();
    double *result = out.data<double>();
    const auto last = static_cast<std::ptrdiff_t>(width - 1);
    Py_BEGIN_ALLOW_THREADS
    for (std::size_t r = 0; r < rows; ++r) {
        double *own = result + r * out.shape(1);
        refine_points(source + r * width, last, w, steps, dt, 0, last, own);
        own[(width - 1) * steps] = amplitude(source[r * width + width - 1], dt);
    }
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// Bins a chunk at a time: their points stay in the cache from interpolation to sum.
constexpr std::ptrdiff_t CHUNK = 256;

// The sum of x[0 ... n - 1], four running sums apart so that the additions overlap.
double range_sum(const double *x, std::size_t n) {
    double a = 0.0, b = 0.0, c = 0.0, d = 0.0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        a += x[i];
        b += x[i + 1];
        c += x[i + 2];
        d += x[i + 3];
    }
    for (; i < n; ++i) a += x[i];
    return (a + b) + (c + d);
}

// One row's group sums: group g the points starts[g] + 1 ... starts[g + 1] (the last to the end).
class GroupSums {
public:
    GroupSums(const long *starts, std::size_t groups, std::size_t end, double *out)
        : starts_(starts), groups_(groups), end_(end), out_(out), boundary_(next(0)) {}

    // Points p0 ... p0 + n - 1, in order.
    void add(const double *points, std::size_t p0, std::size_t n) {
        std::size_t i = p0;
        const std::size_t begin = static_cast<std::size_t>(starts_[0]) + 1, p1 = p0 + n;
        if (i < begin) i = begin < p1 ? begin : p1;
        while (i < p1) {
            const std::size_t stop = boundary_ < p1 ? boundary_ : p1;
            sum_ += range_sum(points + (i - p0), stop - i);
            i = stop;
            if (i == boundary_) {
                out_[group_] = sum_;
                sum_ = 0.0;
                boundary_ = next(++group_);
            }
        }
    }

private:
    std::size_t next(std::size_t g) const {
        return g + 1 < groups_ ? static_cast<std::size_t>(starts_[g + 1]) + 1 : end_;
    }

    const long *starts_;
    std::size_t groups_, end_;
    double *out_;
    std::size_t boundary_, group_ = 0;
    double sum_ = 0.0;
};

void sum_row(const double *row, std::ptrdiff_t last, const double *weights, std::size_t steps, double dt,
             const long *starts, std::size_t groups, double *chunk, double *out) {
    const std::size_t end = static_cast<std::size_t>(last) * steps + 1;
    GroupSums sums(starts, groups, end, out);
    for (std::ptrdiff_t j0 = 0; j0 < last; j0 += CHUNK) {
        const std::ptrdiff_t j1 = j0 + CHUNK < last ? j0 + CHUNK : last;
        refine_points(row, last, weights, steps, dt, j0, j1, chunk);
        sums.add(chunk, static_cast<std::size_t>(j0) * steps, static_cast<std::size_t>(j1 - j0) * steps);
    }
    // The last point alone; padded so that no compiler takes range_sum's unrolled reads past it.
    const double top[4] = {amplitude(row[last], dt), 0.0, 0.0, 0.0};
    sums.add(top, end - 1, 1);
}

constexpr TextSignature REFINED_SUMS = text_signature(
    "refined_sums", {"powers", "weights", "dt", "starts", "out", "/"},
    "The sums of refined_amplitudes' points 1 ... steps L / 2 in groups from the points starts + 1 "
    "(int64, ascending, from 0), into out (n, groups): without the amplitudes in memory.");

PyObject *refined_sums(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!takes_arguments(REFINED_SUMS, nargs)) return nullptr;
    BufferView powers, weights, starts, out;
    double dt = 0.0;
    if (!acquire_powers(args, "refined_sums", powers, weights, dt) ||
        !starts.acquire(args[3], "starts", 1, "l", false) || !out.acquire(args[4], "out", 2, "d", true)) {
        return nullptr;
    }
    const std::size_t rows = powers.shape(0), width = powers.shape(1), steps = weights.shape(0) + 1;
    const std::size_t groups = starts.size(), points = (width - 1) * steps;
    const long *first = starts.data<long>();
    bool ascending = groups > 0 && first[0] >= 0;
    for (std::size_t g = 1; ascending && g < groups; ++g) ascending = first[g] > first[g - 1];
    if (!ascending || static_cast<std::size_t>(first[groups - 1]) >= points || out.shape(0) != rows ||
        out.shape(1) != groups) {
        PyErr_SetString(PyExc_ValueError, "refined_sums: expected starts ascending from 0 within the points and out "
                                          "(n, groups)");
        return nullptr;
    }
    try {
        std::vector<double> chunk(static_cast<std::size_t>(CHUNK) * steps);
        const double *source = powers.data<double>(), *w = weights.data<double>();
        double *result = out.data<double>();
        const auto last = static_cast<std::ptrdiff_t>(width - 1);
        Py_BEGIN_ALLOW_THREADS
        for (std::size_t r = 0; r < rows; ++r) {
            sum_row(source + r * width, last, w, steps, dt, first, groups, chunk.data(), result + r * groups);
        }
        Py_END_ALLOW_THREADS
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef refined_amplitudes_method() { return native_method(REFINED_AMPLITUDES, refined_amplitudes); }
PyMethodDef refined_sums_method() { return native_method(REFINED_SUMS, refined_sums); }
