#include "arrays/matrix_array.hpp"

#include "arrays/numpy_arrays.hpp"
#include "arrays/slice_container.hpp"
#include "module/errors.hpp"
#include "module/numpy_api.hpp"
#include "python_glue/owned_ref.hpp"

PyObject *matrix_to_array(AmplificationMatrix matrix) {
    const npy_intp rows = static_cast<npy_intp>(matrix.rows());
    const npy_intp columns = static_cast<npy_intp>(matrix.columns());
    const std::size_t length = matrix.length();
    const std::size_t capacity = matrix.capacity();
    double *storage = matrix.release();
    OwnedRef owner(new_slice_container(storage, length, capacity, AmplificationMatrix::release_storage));
    if (!owner) return nullptr;

    void **table = numpy_api_table();
    if (table == nullptr) return nullptr;
    const npy_intp dims[2] = {rows, columns};
    const npy_intp row_stride = rows == 0 ? 0 : columns * npy_intp{sizeof(double)};
    const npy_intp strides[2] = {row_stride, rows == 0 ? 0 : npy_intp{sizeof(double)}};
    OwnedRef array(new_float64_array(table, 2, dims, strides, storage, NPY_ARRAY_WRITEABLE));
    if (!array) return nullptr;
    if (numpy::set_base_object(table, array.get(), owner.take()) < 0) {
        ensure_error_set();
        return nullptr;
    }
    return array.take();
}
