#pragma once

#include "module/numpy_abi.hpp"
#include "python_glue/python.hpp"

// A new float64 array of exactly NumPy's array type (PyArray_NewFromDescr with the float64
// descriptor). When NumPy refuses, its exception is reported as unraisable and the call
// fails with _utils.InternalError.
PyObject *new_float64_array(void **table, int nd, const npy_intp *dims, const npy_intp *strides, void *data,
                            int flags);
