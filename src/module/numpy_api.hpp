#pragma once

#include "module/numpy_abi.hpp"
#include "python_glue/python.hpp"

// NumPy's array API table, imported once per process on first request. Returns nullptr with
// _utils.InternalError set when NumPy's C interface cannot be imported or is unusable.
void **numpy_api_table();

// Typed entries of the table.
namespace numpy {

inline PyTypeObject *array_type(void **table) {
    return static_cast<PyTypeObject *>(table[numpy_api_index::ArrayType]);
}

// New reference to the float64 descriptor, or nullptr with an exception set.
inline PyObject *float64_descr(void **table) {
    using Fn = PyObject *(*)(int);
    return reinterpret_cast<Fn>(table[numpy_api_index::DescrFromType])(NPY_DOUBLE);
}

inline bool equivalent_types(void **table, PyObject *a, PyObject *b) {
    using Fn = unsigned char (*)(PyObject *, PyObject *);
    return reinterpret_cast<Fn>(table[numpy_api_index::EquivTypes])(a, b) != 0;
}

// Steals descr, also on failure.
inline PyObject *new_from_descr(void **table, PyTypeObject *type, PyObject *descr, int nd, const npy_intp *dims,
                                const npy_intp *strides, void *data, int flags) {
    using Fn = PyObject *(*)(PyTypeObject *, PyObject *, int, const npy_intp *, const npy_intp *, void *, int,
                             PyObject *);
    return reinterpret_cast<Fn>(table[numpy_api_index::NewFromDescr])(type, descr, nd, dims, strides, data, flags,
                                                                       nullptr);
}

// Steals base, also on failure.
inline int set_base_object(void **table, PyObject *array, PyObject *base) {
    using Fn = int (*)(PyObject *, PyObject *);
    return reinterpret_cast<Fn>(table[numpy_api_index::SetBaseObject])(array, base);
}

inline NumpyArrayFields *fields(PyObject *array) { return reinterpret_cast<NumpyArrayFields *>(array); }

}  // namespace numpy
