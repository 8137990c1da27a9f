#pragma once

#include "python_glue/python.hpp"

// The module's functions, in the order they are bound and listed in __all__.
inline constexpr int function_count = 4;
extern PyMethodDef function_table[function_count];

// Python names of the two amplification functions.
inline constexpr char cb14_function_name[] = "_campbell_bozorgnia_2014";
inline constexpr char ba18_function_name[] = "_bayless_abrahamson_2018_eas";

// Entry points, defined beside the code they run.
PyObject *bayless_abrahamson_2018_eas(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *bayless_abrahamson_2018_frequencies(PyObject *, PyObject *);
PyObject *campbell_bozorgnia_2014_frequencies(PyObject *, PyObject *);
PyObject *campbell_bozorgnia_2014(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
