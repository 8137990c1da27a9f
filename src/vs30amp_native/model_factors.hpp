#pragma once

#include "python_glue/python.hpp"

// The model functions of vs30amp._native, each declared by its text signature beside its code:
// model_factors(model, convention, vs30, vs30_sim, pga, out, /), model_column_factors(model,
// convention, vs30, vs30_sim, inputs, out, /), model_frequencies(model, out, /) and models().
PyMethodDef model_factors_method();
PyMethodDef model_column_factors_method();
PyMethodDef model_frequencies_method();
PyMethodDef models_method();
