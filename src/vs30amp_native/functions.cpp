#include "vs30amp_native/functions.hpp"

#include "vs30amp_native/model_factors.hpp"
#include "vs30amp_native/response_functions.hpp"
#include "vs30amp_native/spectrum_functions.hpp"

PyMethodDef *native_functions() {
    static PyMethodDef table[] = {
        model_factors_method(),   model_column_factors_method(), model_basin_factors_method(), model_moved_factors_method(),
        model_sigma_method(),     model_frequencies_method(),    models_method(),
        response_spectrum_method(), rotd_method(),               refined_amplitudes_method(),
        refined_sums_method(),   {nullptr, nullptr, 0, nullptr},
    };
    return table;
}
