#pragma once

// The one way the binding code includes CPython's API.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
