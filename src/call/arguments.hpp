#pragma once

#include "python_glue/python.hpp"

inline constexpr int parameter_count = 3;
inline constexpr const char *parameter_names[parameter_count] = {"vs30_py", "vs30_sim_py", "pga_py"};

// Fills bound[0..2] (borrowed references) from a fast-call argument vector, like CPython's own
// binding of (vs30_py, vs30_sim_py, pga_py). Returns false with TypeError set on the first
// violation; function_name names the function in the messages.
bool bind_arguments(const char *function_name, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                    PyObject *bound[parameter_count]);
