#pragma once

#include "python_glue/python.hpp"

// vs30amp._native.response_spectrum(records, dt, periods, damping, out, threads): PSA of n
// records (n, m) of float32 or float64 at P periods into out (n, P) float64.
PyObject *native_response_spectrum(PyObject *, PyObject *const *args, Py_ssize_t nargs);

// vs30amp._native.rotd(h1, h2, dt, periods, damping, percentile, out, threads): RotDnn of n
// pairs of records (n, m) (both float32 or both float64) at P periods into out (n, P) float64.
PyObject *native_rotd(PyObject *, PyObject *const *args, Py_ssize_t nargs);
