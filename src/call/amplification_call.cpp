// The road of an amplification call: bind, accept the three inputs, check their lengths,
// gather the site triples, run the model, hand its matrix to NumPy.

#include <cstdint>

#include "arrays/matrix_array.hpp"
#include "call/arguments.hpp"
#include "call/input_view.hpp"
#include "call/site_triples.hpp"
#include "models/bayless_abrahamson_2018.hpp"
#include "models/campbell_bozorgnia_2014.hpp"
#include "module/functions.hpp"
#include "module/numpy_api.hpp"

namespace {

using Kernel = std::optional<AmplificationMatrix> (*)(const SiteTriple *, std::size_t);

struct Model {
    const char *function_name;
    Kernel kernel;
    std::size_t columns;
};

// The sites as triples, or nothing with an exception set. The inputs are held only until the
// triples are gathered.
std::optional<std::pair<SiteTriples, std::size_t>> site_triples_of(const Model &model, PyObject *const *args,
                                                                   Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *bound[parameter_count];
    if (!bind_arguments(model.function_name, args, nargs, kwnames, bound)) return std::nullopt;
    void **table = numpy_api_table();
    if (table == nullptr) return std::nullopt;
    InputView views[parameter_count];
    for (int i = 0; i < parameter_count; ++i) {
        if (!accept_input(table, bound[i], parameter_names[i], views[i])) return std::nullopt;
    }
    const std::size_t n = views[0].length;
    if (views[1].length != n || views[2].length != n) {
        PyErr_SetString(PyExc_ValueError, "vs30, vs30_sim, and pga arrays must have the same length");
        return std::nullopt;
    }
    // Fail before gathering when the matrix could never be allocated.
    if (n > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(double) / model.columns) {
        PyErr_NoMemory();
        return std::nullopt;
    }
    SiteTriples triples;
    if (!gather_site_triples(views[0], views[1], views[2], triples)) return std::nullopt;
    return std::make_pair(std::move(triples), n);
}

PyObject *amplify(const Model &model, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    auto sites = site_triples_of(model, args, nargs, kwnames);
    if (!sites) return nullptr;
    std::optional<AmplificationMatrix> matrix = model.kernel(sites->first.get(), sites->second);
    if (!matrix) return PyErr_NoMemory();
    return matrix_to_array(std::move(*matrix));
}

constexpr Model cb14{"_campbell_bozorgnia_2014", cb14_amplification, CB14_COLUMNS};
constexpr Model ba18{"_bayless_abrahamson_2018_eas", ba18_amplification, BA18_COLUMNS};

}  // namespace

PyObject *campbell_bozorgnia_2014(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return amplify(cb14, args, nargs, kwnames);
}

PyObject *bayless_abrahamson_2018_eas(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return amplify(ba18, args, nargs, kwnames);
}
