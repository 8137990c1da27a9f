// vs30amp._native.ba18_factors: Bayless-Abrahamson (2018) factors under a named convention, into
// an n x 301 array the package allocates. The same kernel and math as _utils' function, which
// computes the module's convention.

#include <algorithm>
#include <string_view>

#include "models/bayless_abrahamson_2018.hpp"
#include "vs30amp_native/argument_count.hpp"
#include "vs30amp_native/ba18_conventions.hpp"
#include "vs30amp_native/site_arrays.hpp"
#include "vs30amp_native/str_argument.hpp"
#include "vs30amp_native/kernel_math.hpp"

namespace {

const Ba18Convention *convention_named(std::string_view name) {
    if (name == "module") return &BA18_MODULE_CONVENTION;
    if (name == "published") return &BA18_PUBLISHED_CONVENTION;
    return nullptr;
}

// Sites are gathered a block at a time and their rows written straight into `out`; each block's
// velocity cache starts afresh, which costs at most one repeated linear row per block.
constexpr std::size_t BLOCK_SITES = 128;

// Fills out (n x 301) from the three columns. Runs without the interpreter lock and allocates
// nothing, so nothing can escape it.
void compute(const double *vs30, const double *vs30_sim, const double *pga, std::size_t n, double *out,
             const Ba18Convention &convention) noexcept {
    SiteTriple sites[BLOCK_SITES];
    const BatchMath &math = kernel_math();
    for (std::size_t start = 0; start < n; start += BLOCK_SITES) {
        const std::size_t count = std::min(BLOCK_SITES, n - start);
        for (std::size_t i = 0; i < count; ++i)
            sites[i] = SiteTriple{vs30[start + i], vs30_sim[start + i], pga[start + i]};
        ba18_rows(sites, count, math, convention, out + start * BA18_COLUMNS);
    }
}

}  // namespace

PyObject *ba18_factors(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!argument_count("ba18_factors()", nargs, 5)) return nullptr;
    std::string_view name;
    if (!str_argument(args[4], "convention", name)) return nullptr;
    const Ba18Convention *convention = convention_named(name);
    if (convention == nullptr) {
        PyErr_Format(PyExc_ValueError, "convention: unknown convention %R; choose one of 'module', 'published'",
                     args[4]);
        return nullptr;
    }
    SiteArrays sites;
    if (!sites.acquire(args, BA18_COLUMNS)) return nullptr;
    const std::size_t n = sites.sites();
    Py_BEGIN_ALLOW_THREADS
    compute(sites.vs30.data<double>(), sites.vs30_sim.data<double>(), sites.pga.data<double>(), n,
            sites.out.data<double>(), *convention);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}
