#include "vs30amp_native/response_functions.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <new>
#include <vector>

#include "python_glue/owned_ref.hpp"
#include "response_spectra/response_kernels.hpp"
#include "vs30amp_native/buffer_view.hpp"
#include "vs30amp_native/native_function.hpp"
#include "vs30amp_native/parallel_items.hpp"

namespace {

// Records of float64 ("d") or float32 ("f"): true with `is_float` set, or false with the
// error set.
bool acquire_records(PyObject *object, const char *name, BufferView &doubles, BufferView &floats, bool &is_float) {
    if (doubles.acquire(object, name, 2, "d", false)) {
        is_float = false;
        return true;
    }
    PyErr_Clear();
    if (floats.acquire(object, name, 2, "f", false)) {
        is_float = true;
        return true;
    }
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s: expected a C-contiguous two-dimensional float64 or float32 array", name);
    return false;
}

struct Scalars {
    double dt, damping, percentile;
    std::size_t threads;
};

bool read_scalars(PyObject *dt, PyObject *damping, PyObject *percentile, PyObject *threads, Scalars &s) {
    s.dt = PyFloat_AsDouble(dt);
    if (s.dt == -1.0 && PyErr_Occurred()) return false;
    s.damping = PyFloat_AsDouble(damping);
    if (s.damping == -1.0 && PyErr_Occurred()) return false;
    s.percentile = percentile == nullptr ? 50.0 : PyFloat_AsDouble(percentile);
    if (s.percentile == -1.0 && PyErr_Occurred()) return false;
    const Py_ssize_t count = PyLong_AsSsize_t(threads);
    if (count == -1 && PyErr_Occurred()) return false;
    s.threads = count < 1 ? 1 : static_cast<std::size_t>(count);
    // The caller validates; these guard the kernels against values they cannot take.
    if (!(std::isfinite(s.dt) && s.dt > 0.0)) {
        PyErr_SetString(PyExc_ValueError, "dt: expected a finite, positive sample interval");
        return false;
    }
    if (!(s.damping >= 0.0 && s.damping < 1.0)) {
        PyErr_SetString(PyExc_ValueError, "damping: expected a ratio in [0, 1)");
        return false;
    }
    if (!(s.percentile >= 0.0 && s.percentile <= 100.0)) {
        PyErr_SetString(PyExc_ValueError, "percentile: expected a value in [0, 100]");
        return false;
    }
    return true;
}

bool check_periods(const BufferView &periods) {
    const double *p = periods.data<double>();
    for (std::size_t j = 0; j < periods.size(); ++j) {
        if (!(std::isfinite(p[j]) && p[j] > 0.0)) {
            OwnedRef value(PyFloat_FromDouble(p[j]));
            if (value) {
                PyErr_Format(PyExc_ValueError, "periods: expected finite, positive periods, got %R at index %zd",
                             value.get(), static_cast<Py_ssize_t>(j));
            }
            return false;
        }
    }
    if (periods.size() == 0) {
        PyErr_SetString(PyExc_ValueError, "periods: expected at least one period");
        return false;
    }
    return true;
}

bool check_output(const BufferView &out, std::size_t rows, std::size_t columns) {
    if (out.shape(0) != rows || out.shape(1) != columns) {
        PyErr_Format(PyExc_ValueError, "out: expected shape (%zd, %zd)", static_cast<Py_ssize_t>(rows),
                     static_cast<Py_ssize_t>(columns));
        return false;
    }
    return true;
}

// 0 (False): the samples only; 1 (True): also between them where a bound says the peak can be;
// 2: at every sub-step point (the definition the tests hold the bounds to).
bool read_substeps(PyObject *object, Substeps &where) {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || value > 2) {
        PyErr_SetString(PyExc_ValueError, "between_samples: expected 0, 1 or 2");
        return false;
    }
    where = value == 0 ? Substeps::none : value == 1 ? Substeps::bounded : Substeps::every;
    return true;
}

// The arguments both functions take after their records and scalars: the periods, out and
// between_samples, each checked in that order.
struct PeriodsAndOutput {
    BufferView periods, out;
    Substeps where = Substeps::none;

    bool acquire(PyObject *periods_object, PyObject *out_object, PyObject *substeps) {
        return periods.acquire(periods_object, "periods", 1, "d", false) && check_periods(periods) &&
               out.acquire(out_object, "out", 2, "d", true) && read_substeps(substeps, where);
    }
};

PyObject *raise_from(const std::exception_ptr &failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return nullptr;
}

constexpr TextSignature RESPONSE_SPECTRUM = text_signature(
    "response_spectrum", {"records", "dt", "periods", "damping", "out", "threads", "between_samples", "/"},
    "PSA of n records (n, m) of float32 or float64 at P periods into out (n, P) float64 (see "
    "vs30amp.response_spectrum).");

PyObject *response_spectrum(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!takes_arguments(RESPONSE_SPECTRUM, nargs)) return nullptr;
    BufferView doubles, floats;
    bool is_float = false;
    Scalars s{};
    PeriodsAndOutput given;
    if (!acquire_records(args[0], "records", doubles, floats, is_float) ||
        !read_scalars(args[1], args[3], nullptr, args[5], s) || !given.acquire(args[2], args[4], args[6])) {
        return nullptr;
    }
    const BufferView &periods = given.periods, &out = given.out;
    const Substeps where = given.where;
    const BufferView &records = is_float ? floats : doubles;
    const std::size_t n = records.shape(0), m = records.shape(1), count = periods.size();
    if (!check_output(out, n, count)) return nullptr;
    try {
        const OscillatorBank bank(periods.data<double>(), count, s.damping, s.dt, where);
        double *result = out.data<double>();
        Py_BEGIN_ALLOW_THREADS
        for_each_item(m > 0 ? n : 0, s.threads, [&](std::size_t, std::size_t i) {
            if (is_float) {
                record_psa(records.data<float>() + i * m, m, bank, result + i * count);
            } else {
                record_psa(records.data<double>() + i * m, m, bank, result + i * count);
            }
        });
        Py_END_ALLOW_THREADS
    } catch (...) {
        return raise_from(std::current_exception());
    }
    Py_RETURN_NONE;
}

constexpr TextSignature ROTD = text_signature(
    "rotd", {"h1", "h2", "dt", "periods", "damping", "percentile", "out", "threads", "between_samples", "/"},
    "RotDnn PSA of n pairs of records (n, m), both float32 or both float64, at P periods into out (n, P) float64 "
    "(see vs30amp.rotd).");

PyObject *rotd(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!takes_arguments(ROTD, nargs)) return nullptr;
    BufferView doubles1, floats1, doubles2, floats2;
    bool float1 = false, float2 = false;
    Scalars s{};
    PeriodsAndOutput given;
    if (!acquire_records(args[0], "h1", doubles1, floats1, float1) ||
        !acquire_records(args[1], "h2", doubles2, floats2, float2) ||
        !read_scalars(args[2], args[4], args[5], args[7], s) || !given.acquire(args[3], args[6], args[8])) {
        return nullptr;
    }
    const BufferView &periods = given.periods, &out = given.out;
    const Substeps where = given.where;
    const BufferView &h1 = float1 ? floats1 : doubles1;
    const BufferView &h2 = float2 ? floats2 : doubles2;
    if (float1 != float2 || h1.shape(0) != h2.shape(0) || h1.shape(1) != h2.shape(1)) {
        PyErr_SetString(PyExc_ValueError, "h2: expected the shape and dtype of h1");
        return nullptr;
    }
    const std::size_t n = h1.shape(0), m = h1.shape(1), count = periods.size();
    if (!check_output(out, n, count)) return nullptr;
    try {
        const OscillatorBank bank(periods.data<double>(), count, s.damping, s.dt, where);
        const std::size_t threads = std::max<std::size_t>(1, std::min(s.threads, n));
        std::vector<double> workspace(threads * rotd_workspace(m));
        double *result = out.data<double>();
        const double percentile = s.percentile;
        Py_BEGIN_ALLOW_THREADS
        for_each_item(m > 0 ? n : 0, threads, [&](std::size_t worker, std::size_t i) {
            double *own = workspace.data() + worker * rotd_workspace(m);
            if (float1) {
                pair_rotd(h1.data<float>() + i * m, h2.data<float>() + i * m, m, bank, percentile, own,
                          result + i * count);
            } else {
                pair_rotd(h1.data<double>() + i * m, h2.data<double>() + i * m, m, bank, percentile, own,
                          result + i * count);
            }
        });
        Py_END_ALLOW_THREADS
    } catch (...) {
        return raise_from(std::current_exception());
    }
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef response_spectrum_method() { return native_method(RESPONSE_SPECTRUM, response_spectrum); }
PyMethodDef rotd_method() { return native_method(ROTD, rotd); }
