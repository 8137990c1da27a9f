// The road of an amplification call: bind, accept the three inputs, check their lengths,
// allocate the matrix, gather the site triples, run the model into the matrix, hand it to NumPy.

#include <optional>
#include <utility>

#include "arrays/matrix_array.hpp"
#include "call/arguments.hpp"
#include "call/input_view.hpp"
#include "call/gathered_sites.hpp"
#include "models/bayless_abrahamson_2018.hpp"
#include "models/campbell_bozorgnia_2014.hpp"
#include "module/functions.hpp"
#include "module/numpy_api.hpp"
#include "vector_math/libm_gate.hpp"

namespace {

// What an amplification function binds: its Python name and its model's entry, whose default
// convention it computes into a matrix of the model's width.
struct AmplificationFunction {
    const char *name;
    const ModelEntry &model;
};

// The call's matrix, allocated but not yet written, and its sites as triples.
struct PreparedCall {
    AmplificationMatrix matrix;
    GatheredSites triples;
};

// The matrix is allocated before the triples are gathered, so that a call whose result cannot
// exist fails at once instead of after writing 24 bytes per site. Nothing with an exception set
// on failure; the inputs are held only until the triples are gathered.
std::optional<PreparedCall> prepared_call(const AmplificationFunction &function, PyObject *const *args,
                                          Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *bound[parameter_count];
    if (!bind_arguments(function.name, args, nargs, kwnames, bound)) return std::nullopt;
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
    std::optional<AmplificationMatrix> matrix = AmplificationMatrix::allocate(n, function.model.columns);
    if (!matrix) {
        PyErr_NoMemory();
        return std::nullopt;
    }
    GatheredSites triples;
    if (!gather_sites(views[0], views[1], views[2], triples)) return std::nullopt;
    return PreparedCall{std::move(*matrix), std::move(triples)};
}

PyObject *amplify(const AmplificationFunction &function, PyObject *const *args, Py_ssize_t nargs,
                  PyObject *kwnames) {
    std::optional<PreparedCall> call = prepared_call(function, args, nargs, kwnames);
    if (!call) return nullptr;
    AmplificationMatrix &matrix = call->matrix;
    function.model.default_convention().rows(call->triples.get(), matrix.rows(), process_batch_math(), matrix.row(0));
    call->triples.reset();
    return matrix_to_array(std::move(call->matrix));
}

constexpr AmplificationFunction cb14{cb14_function_name, CB14_MODEL};
constexpr AmplificationFunction ba18{ba18_function_name, BA18_MODEL};

}  // namespace

PyObject *campbell_bozorgnia_2014(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return amplify(cb14, args, nargs, kwnames);
}

PyObject *bayless_abrahamson_2018_eas(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return amplify(ba18, args, nargs, kwnames);
}
