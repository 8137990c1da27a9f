#pragma once

#include "python_glue/python.hpp"

// Qualified name of the object's type, or "<failed to extract type name>"; never fails.
PyObject *type_name_of(PyObject *object);

// TypeError "'{type}' object is not an instance of '{target}'", or
// "'None' is not an instance of '{target}'" for None. Always returns nullptr.
PyObject *raise_not_instance(PyObject *object, const char *target);
PyObject *raise_not_instance(PyObject *object, PyObject *target_name);

// For a CPython call that failed: makes sure an exception is set, as SystemError
// "attempted to fetch exception but none was set" when the callee set none.
void ensure_error_set();
