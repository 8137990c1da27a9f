// vs30amp._native's model functions, driven by the model table (models/model_table.hpp): every
// model's factors under any of its conventions, its frequencies and the list of the models. With
// them the package needs nothing of _utils, which exists on Python 3.15 and later only.

#include <algorithm>
#include <string_view>

#include "models/model_table.hpp"
#include "python_glue/owned_ref.hpp"
#include "vector_math/libm_gate.hpp"
#include "vs30amp_native/native_function.hpp"
#include "vs30amp_native/site_arrays.hpp"
#include "vs30amp_native/str_argument.hpp"

namespace {

// "'a', 'b'" of name_of(item) for each of `items`, for a message; nullptr with an exception set.
template <class Items, class Name>
OwnedRef quoted_names(const Items &items, Name name_of) {
    OwnedRef text(PyUnicode_FromString(""));
    for (const auto &item : items) {
        if (!text) return text;
        text.reset(PyUnicode_FromFormat(PyUnicode_GetLength(text.get()) ? "%U, '%s'" : "%U'%s'", text.get(),
                                        name_of(item)));
    }
    return text;
}

const char *name_of_model(const ModelEntry &model) { return model.name; }
const char *name_of_convention(const ModelConvention &convention) { return convention.name; }

// The model args[0] names; ValueError "model: unknown model 'x'; choose one of ..." otherwise.
const ModelEntry *model_argument(PyObject *object) {
    std::string_view name;
    if (!str_argument(object, "model", name)) return nullptr;
    if (const ModelEntry *model = model_named(name)) return model;
    OwnedRef choices = quoted_names(all_models(), name_of_model);
    if (choices) PyErr_Format(PyExc_ValueError, "model: unknown model %R; choose one of %U", object, choices.get());
    return nullptr;
}

const ModelConvention *convention_argument(const ModelEntry &model, PyObject *object) {
    std::string_view name;
    if (!str_argument(object, "convention", name)) return nullptr;
    if (const ModelConvention *convention = model.convention(name)) return convention;
    OwnedRef choices = quoted_names(model.conventions, name_of_convention);
    if (choices) {
        PyErr_Format(PyExc_ValueError, "convention: unknown convention %R for %s; choose one of %U", object,
                     model.name, choices.get());
    }
    return nullptr;
}

constexpr TextSignature MODEL_FACTORS = text_signature(
    "model_factors", {"model", "convention", "vs30", "vs30_sim", "pga", "out", "/"},
    "The factors of n sites under the model's named convention, written into out (n x the model's columns);\n"
    "vs30, vs30_sim and pga are C-contiguous float64 arrays of length n. Runs without the GIL.");

PyObject *model_factors(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!takes_arguments(MODEL_FACTORS, nargs)) return nullptr;
    const ModelEntry *model = model_argument(args[0]);
    const ModelConvention *convention = model ? convention_argument(*model, args[1]) : nullptr;
    SiteArrays sites;
    if (convention == nullptr || !sites.acquire(args + 2, model->columns)) return nullptr;
    const std::size_t n = sites.sites();
    Py_BEGIN_ALLOW_THREADS
    rows_of_columns(convention->rows, model->columns, sites.vs30.data<double>(), sites.vs30_sim.data<double>(),
                    sites.pga.data<double>(), n, process_batch_math(), sites.out.data<double>());
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

constexpr TextSignature MODEL_COLUMN_FACTORS = text_signature(
    "model_column_factors", {"model", "convention", "vs30", "vs30_sim", "inputs", "out", "/"},
    "The factors of n sites of a model whose nonlinear input is one value per site and column (cy14's y_ref),\n"
    "written into out (n x the model's columns); vs30 and vs30_sim are C-contiguous float64 arrays of length n,\n"
    "inputs a C-contiguous float64 array of out's shape. Runs without the GIL.");

PyObject *model_column_factors(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!takes_arguments(MODEL_COLUMN_FACTORS, nargs)) return nullptr;
    const ModelEntry *model = model_argument(args[0]);
    const ModelConvention *convention = model ? convention_argument(*model, args[1]) : nullptr;
    if (convention == nullptr) return nullptr;
    if (convention->column_rows == nullptr) {
        PyErr_Format(PyExc_ValueError, "inputs: %s takes no input per column", model->name);
        return nullptr;
    }
    BufferView vs30, vs30_sim, inputs, out;
    if (!vs30.acquire(args[2], "vs30", 1, "d", false) || !vs30_sim.acquire(args[3], "vs30_sim", 1, "d", false) ||
        !inputs.acquire(args[4], "inputs", 2, "d", false) || !out.acquire(args[5], "out", 2, "d", true))
        return nullptr;
    const std::size_t n = vs30.size();
    if (vs30_sim.size() != n || inputs.shape(0) != n || inputs.shape(1) != model->columns || out.shape(0) != n ||
        out.shape(1) != model->columns) {
        PyErr_Format(PyExc_ValueError, "expected two arrays of one length n, inputs and out of shape (n, %zu)",
                     model->columns);
        return nullptr;
    }
    Py_BEGIN_ALLOW_THREADS
    rows_of_column_inputs(convention->column_rows, model->columns, vs30.data<double>(), vs30_sim.data<double>(),
                          inputs.data<double>(), n, process_batch_math(), out.data<double>());
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

constexpr TextSignature MODEL_BASIN_FACTORS = text_signature(
    "model_basin_factors", {"model", "convention", "vs30", "vs30_sim", "inputs", "z1", "z1_sim", "out", "/"},
    "As model_column_factors with the basin depths of the sites and of the simulation (cy14's Z1, m; NaN for\n"
    "one not given), C-contiguous float64 arrays of length n. Runs without the GIL.");

PyObject *model_basin_factors(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!takes_arguments(MODEL_BASIN_FACTORS, nargs)) return nullptr;
    const ModelEntry *model = model_argument(args[0]);
    const ModelConvention *convention = model ? convention_argument(*model, args[1]) : nullptr;
    if (convention == nullptr) return nullptr;
    if (convention->basin_rows == nullptr) {
        PyErr_Format(PyExc_ValueError, "z1: %s takes no basin depth", model->name);
        return nullptr;
    }
    BufferView vs30, vs30_sim, inputs, z1, z1_sim, out;
    if (!vs30.acquire(args[2], "vs30", 1, "d", false) || !vs30_sim.acquire(args[3], "vs30_sim", 1, "d", false) ||
        !inputs.acquire(args[4], "inputs", 2, "d", false) || !z1.acquire(args[5], "z1", 1, "d", false) ||
        !z1_sim.acquire(args[6], "z1_sim", 1, "d", false) || !out.acquire(args[7], "out", 2, "d", true))
        return nullptr;
    const std::size_t n = vs30.size();
    if (vs30_sim.size() != n || z1.size() != n || z1_sim.size() != n || inputs.shape(0) != n ||
        inputs.shape(1) != model->columns || out.shape(0) != n || out.shape(1) != model->columns) {
        PyErr_Format(PyExc_ValueError, "expected four arrays of one length n, inputs and out of shape (n, %zu)",
                     model->columns);
        return nullptr;
    }
    Py_BEGIN_ALLOW_THREADS
    rows_of_basin_inputs(convention->basin_rows, model->columns, vs30.data<double>(), vs30_sim.data<double>(),
                         inputs.data<double>(), z1.data<double>(), z1_sim.data<double>(), n, process_batch_math(),
                         out.data<double>());
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// The convention of args[0] and args[1] if the model has uncertainty; ValueError otherwise.
const ModelConvention *uncertain_convention(PyObject *const *args, const ModelEntry *&model) {
    model = model_argument(args[0]);
    const ModelConvention *convention = model ? convention_argument(*model, args[1]) : nullptr;
    if (convention != nullptr && (convention->moved == nullptr || convention->sigma == nullptr)) {
        PyErr_Format(PyExc_ValueError, "epsilon: %s has no uncertainty", model->name);
        return nullptr;
    }
    return convention;
}

constexpr TextSignature MODEL_MOVED_FACTORS = text_signature(
    "model_moved_factors", {"model", "convention", "epsilon", "vs30", "vs30_sim", "pga", "out", "/"},
    "As model_factors, the factors of a model with uncertainty moved by epsilon (a float) times its sigma:\n"
    "exp(F(vs30) - F(vs30_sim) + epsilon (s(vs30) - s(vs30_sim))). Runs without the GIL.");

PyObject *model_moved_factors(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!takes_arguments(MODEL_MOVED_FACTORS, nargs)) return nullptr;
    const ModelEntry *model = nullptr;
    const ModelConvention *convention = uncertain_convention(args, model);
    if (convention == nullptr) return nullptr;
    const double epsilon = PyFloat_AsDouble(args[2]);
    if (epsilon == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "epsilon: expected a number, got %R", args[2]);
        }
        return nullptr;
    }
    SiteArrays sites;
    if (!sites.acquire(args + 3, model->columns)) return nullptr;
    const std::size_t n = sites.sites();
    Py_BEGIN_ALLOW_THREADS
    moved_rows_of_columns(convention->moved, epsilon, model->columns, sites.vs30.data<double>(),
                          sites.vs30_sim.data<double>(), sites.pga.data<double>(), n, process_batch_math(),
                          sites.out.data<double>());
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

constexpr TextSignature MODEL_SIGMA = text_signature(
    "model_sigma", {"model", "convention", "vs30", "vs30_sim", "pga", "out", "/"},
    "|s(vs30) - s(vs30_sim)| of a model with uncertainty, s its sigma (ln units), written into out as\n"
    "model_factors writes the factors. Runs without the GIL.");

PyObject *model_sigma(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!takes_arguments(MODEL_SIGMA, nargs)) return nullptr;
    const ModelEntry *model = nullptr;
    const ModelConvention *convention = uncertain_convention(args, model);
    SiteArrays sites;
    if (convention == nullptr || !sites.acquire(args + 2, model->columns)) return nullptr;
    const std::size_t n = sites.sites();
    Py_BEGIN_ALLOW_THREADS
    rows_of_columns(convention->sigma, model->columns, sites.vs30.data<double>(), sites.vs30_sim.data<double>(),
                    sites.pga.data<double>(), n, process_batch_math(), sites.out.data<double>());
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

constexpr TextSignature MODEL_FREQUENCIES = text_signature(
    "model_frequencies", {"model", "out", "/"},
    "The model's frequencies (Hz), ascending, written into out (C-contiguous float64 of the model's columns).");

PyObject *model_frequencies(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!takes_arguments(MODEL_FREQUENCIES, nargs)) return nullptr;
    const ModelEntry *model = model_argument(args[0]);
    if (model == nullptr) return nullptr;
    BufferView out;
    if (!out.acquire(args[1], "out", 1, "d", true)) return nullptr;
    if (out.size() != model->columns) {
        PyErr_Format(PyExc_ValueError, "out: expected %zu frequencies, got %zu", model->columns, out.size());
        return nullptr;
    }
    std::copy(model->frequencies, model->frequencies + model->columns, out.data<double>());
    Py_RETURN_NONE;
}

constexpr TextSignature MODELS = text_signature(
    "models", {}, "(name, columns, conventions) of every model of the native table, the default convention first.");

// (name, columns, (convention, ...)) of one model; nullptr with an exception set.
PyObject *model_record(const ModelEntry &model) {
    OwnedRef conventions(PyTuple_New(static_cast<Py_ssize_t>(model.conventions.size())));
    for (std::size_t i = 0; conventions && i < model.conventions.size(); ++i) {
        PyObject *name = PyUnicode_FromString(model.conventions[i].name);
        if (name == nullptr) return nullptr;
        PyTuple_SET_ITEM(conventions.get(), static_cast<Py_ssize_t>(i), name);
    }
    if (!conventions) return nullptr;
    return Py_BuildValue("(snO)", model.name, static_cast<Py_ssize_t>(model.columns), conventions.get());
}

PyObject *models(PyObject *, PyObject *const *, Py_ssize_t nargs) {
    if (!takes_arguments(MODELS, nargs)) return nullptr;
    OwnedRef records(PyList_New(0));
    for (const ModelEntry &model : all_models()) {
        if (!records) return nullptr;
        OwnedRef record(model_record(model));
        if (!record || PyList_Append(records.get(), record.get()) < 0) return nullptr;
    }
    return records ? PyList_AsTuple(records.get()) : nullptr;
}

}  // namespace

PyMethodDef model_factors_method() { return native_method(MODEL_FACTORS, model_factors); }
PyMethodDef model_column_factors_method() { return native_method(MODEL_COLUMN_FACTORS, model_column_factors); }
PyMethodDef model_basin_factors_method() { return native_method(MODEL_BASIN_FACTORS, model_basin_factors); }
PyMethodDef model_moved_factors_method() { return native_method(MODEL_MOVED_FACTORS, model_moved_factors); }
PyMethodDef model_sigma_method() { return native_method(MODEL_SIGMA, model_sigma); }
PyMethodDef model_frequencies_method() { return native_method(MODEL_FREQUENCIES, model_frequencies); }
PyMethodDef models_method() { return native_method(MODELS, models); }
