// The two frequency-grid functions: a fresh 1-D float64 array per call, copied from the grid.

#include <cstring>

#include "arrays/numpy_arrays.hpp"
#include "models/bayless_abrahamson_2018.hpp"
#include "models/campbell_bozorgnia_2014.hpp"
#include "module/functions.hpp"
#include "module/numpy_api.hpp"

namespace {

PyObject *grid_array(const ModelEntry &model) {
    const std::size_t count = model.columns;
    void **table = numpy_api_table();
    if (table == nullptr) return nullptr;
    const npy_intp dims[1] = {static_cast<npy_intp>(count)};
    PyObject *array = new_float64_array(table, 1, dims, nullptr, nullptr, 0);
    if (array != nullptr) std::memcpy(numpy::fields(array)->data, model.frequencies, count * sizeof(double));
    return array;
}

}  // namespace

PyObject *bayless_abrahamson_2018_frequencies(PyObject *, PyObject *) {
    return grid_array(BA18_MODEL);
}

PyObject *campbell_bozorgnia_2014_frequencies(PyObject *, PyObject *) {
    return grid_array(CB14_MODEL);
}
