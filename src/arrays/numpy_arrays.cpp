#include "arrays/numpy_arrays.hpp"

#include "module/errors.hpp"
#include "module/internal_error.hpp"
#include "module/numpy_api.hpp"

PyObject *new_float64_array(void **table, int nd, const npy_intp *dims, const npy_intp *strides, void *data,
                            int flags) {
    PyObject *descr = numpy::float64_descr(table);
    PyObject *array = descr ? numpy::new_from_descr(table, numpy::array_type(table), descr, nd, dims, strides, data, flags)
                            : nullptr;
    if (array != nullptr) return array;
    ensure_error_set();
    PyErr_WriteUnraisable(nullptr);
    return raise_internal_error("NumPy could not create a float64 array");
}
