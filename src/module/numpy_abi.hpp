#pragma once

// The parts of NumPy's C interface that the module uses, declared here so that building
// needs no NumPy headers. Layouts and indices are those of NumPy's published C API, stable
// since 1.15 and across 2.x.

#include "python_glue/python.hpp"

using npy_intp = Py_ssize_t;

// Leading fields of every ndarray object.
struct NumpyArrayFields {
    PyObject_HEAD
    char *data;
    int nd;
    npy_intp *dimensions;
    npy_intp *strides;
    PyObject *base;
    PyObject *descr;
    int flags;
};

inline constexpr int NPY_DOUBLE = 12;
inline constexpr int NPY_ARRAY_WRITEABLE = 0x0400;
inline constexpr int NPY_CPU_LITTLE = 1;

// Entries of the array API table, by index.
namespace numpy_api_index {
inline constexpr int GetNDArrayCVersion = 0;
inline constexpr int ArrayType = 2;
inline constexpr int DescrFromType = 45;
inline constexpr int NewFromDescr = 94;
inline constexpr int EquivTypes = 182;
inline constexpr int GetEndianness = 210;
inline constexpr int GetNDArrayCFeatureVersion = 211;
inline constexpr int SetBaseObject = 282;
}  // namespace numpy_api_index
