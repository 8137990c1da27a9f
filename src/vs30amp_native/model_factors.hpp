#pragma once

#include "python_glue/python.hpp"

// cb14_factors(vs30, vs30_sim, pga, out): writes the Campbell-Bozorgnia (2014) factors of n sites
// into out, a C-contiguous float64 array of shape (n, 22); the three inputs are C-contiguous
// float64 arrays of length n. The same kernel and math as _utils' function, so the same bits on
// every Python version. Returns None.
PyObject *cb14_factors(PyObject *, PyObject *const *args, Py_ssize_t nargs);

// model_frequencies(model, out): writes the frequencies (Hz) of "cb14" (22) or "ba18" (301) into
// out, a C-contiguous float64 array of that length. Returns None.
PyObject *model_frequencies(PyObject *, PyObject *const *args, Py_ssize_t nargs);
