#pragma once

#include "python_glue/python.hpp"

// The model functions of vs30amp._native, each declared by its text signature beside its code:
// model_factors(model, convention, vs30, vs30_sim, pga, out, /), for a model with an input per
// column model_column_factors(model, convention, vs30, vs30_sim, inputs, out, /), for a model with
// uncertainty model_moved_factors(model, convention, epsilon, vs30, vs30_sim, pga, out, /) and
// model_sigma(model, convention, vs30, vs30_sim, pga, out, /), model_frequencies(model, out, /)
// and models().
PyMethodDef model_factors_method();
PyMethodDef model_column_factors_method();
PyMethodDef model_basin_factors_method();
PyMethodDef model_moved_factors_method();
PyMethodDef model_sigma_method();
PyMethodDef model_frequencies_method();
PyMethodDef models_method();
