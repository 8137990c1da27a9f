#pragma once

#include "module/python.hpp"

// ba18_factors(vs30, vs30_sim, pga, out, convention): writes the Bayless-Abrahamson (2018)
// factors of n sites under the named convention ("module" or "published") into out, a
// C-contiguous float64 array of shape (n, 301); the three inputs are C-contiguous float64 arrays
// of length n. Returns None.
PyObject *ba18_factors(PyObject *, PyObject *const *args, Py_ssize_t nargs);
