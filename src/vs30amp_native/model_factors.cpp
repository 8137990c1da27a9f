// vs30amp._native's CB14 factors and the models' frequencies: with ba18_factors, everything the
// package needs of the models without _utils (which exists on Python 3.15 and later only).

#include "vs30amp_native/model_factors.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <optional>
#include <string_view>

#include "models/bayless_abrahamson_2018.hpp"
#include "models/campbell_bozorgnia_2014.hpp"
#include "vs30amp_native/argument_count.hpp"
#include "vs30amp_native/site_arrays.hpp"
#include "vs30amp_native/str_argument.hpp"
#include "vs30amp_native/kernel_math.hpp"

namespace {

// Sites are gathered a block at a time into a block's matrix and copied into `out`.
constexpr std::size_t BLOCK_SITES = 128;

// Fills out (n x 22) through the two matrices allocated beforehand: `full` of BLOCK_SITES rows
// (fewer when n is smaller) and `tail` of the n % BLOCK_SITES rows left at the end. Runs without
// the interpreter lock and allocates nothing.
void compute(const double *vs30, const double *vs30_sim, const double *pga, std::size_t n, double *out,
             AmplificationMatrix &full, AmplificationMatrix &tail) noexcept {
    SiteTriple sites[BLOCK_SITES];
    const BatchMath &math = kernel_math();
    for (std::size_t start = 0; start < n; start += BLOCK_SITES) {
        const std::size_t count = std::min(BLOCK_SITES, n - start);
        for (std::size_t i = 0; i < count; ++i)
            sites[i] = SiteTriple{vs30[start + i], vs30_sim[start + i], pga[start + i]};
        AmplificationMatrix &matrix = count == full.rows() ? full : tail;
        cb14_amplification_into(sites, math, matrix);
        std::memcpy(out + start * CB14_COLUMNS, matrix.row(0), matrix.length() * sizeof(double));
    }
}

}  // namespace

PyObject *cb14_factors(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!argument_count("cb14_factors()", nargs, 4)) return nullptr;
    SiteArrays sites;
    if (!sites.acquire(args, CB14_COLUMNS)) return nullptr;
    const std::size_t n = sites.sites();
    std::optional<AmplificationMatrix> full = AmplificationMatrix::allocate(std::min(n, BLOCK_SITES), CB14_COLUMNS);
    std::optional<AmplificationMatrix> tail =
        AmplificationMatrix::allocate(n > BLOCK_SITES ? n % BLOCK_SITES : 0, CB14_COLUMNS);
    if (!full || !tail) return PyErr_NoMemory();
    Py_BEGIN_ALLOW_THREADS
    compute(sites.vs30.data<double>(), sites.vs30_sim.data<double>(), sites.pga.data<double>(), n,
            sites.out.data<double>(), *full, *tail);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyObject *model_frequencies(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!argument_count("model_frequencies()", nargs, 2)) return nullptr;
    std::string_view model;
    if (!str_argument(args[0], "model", model)) return nullptr;
    const double *first = model == "cb14" ? std::begin(CB14_FREQUENCIES)
                          : model == "ba18" ? std::begin(BA18_FREQUENCIES) : nullptr;
    const std::size_t count = model == "cb14" ? CB14_COLUMNS : BA18_COLUMNS;
    if (first == nullptr) {
        PyErr_Format(PyExc_ValueError, "model: unknown model %R; choose one of 'ba18', 'cb14'", args[0]);
        return nullptr;
    }
    BufferView out;
    if (!out.acquire(args[1], "out", 1, "d", true)) return nullptr;
    if (out.size() != count) {
        PyErr_Format(PyExc_ValueError, "out: expected %zu frequencies, got %zu", count, out.size());
        return nullptr;
    }
    std::copy(first, first + count, out.data<double>());
    Py_RETURN_NONE;
}
