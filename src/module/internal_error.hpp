#pragma once

#include "python_glue/python.hpp"

// Raises _utils.InternalError (a direct subclass of BaseException, created on first need)
// with the message as its only argument. Always returns nullptr.
PyObject *raise_internal_error(PyObject *message);
PyObject *raise_internal_error(const char *message);
