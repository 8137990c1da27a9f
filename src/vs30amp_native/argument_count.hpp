#pragma once

#include "python_glue/python.hpp"

// A fastcall function's check of its number of arguments: TypeError "{call} takes {expected}
// arguments ({given} given)" and false unless `given` is `expected`.
inline bool argument_count(const char *call, Py_ssize_t given, Py_ssize_t expected) {
    if (given == expected) return true;
    PyErr_Format(PyExc_TypeError, "%s takes %zd arguments (%zd given)", call, expected, given);
    return false;
}
