#pragma once

#include "python_glue/python.hpp"

// The functions of vs30amp._native, each declared by its text signature beside its code; the
// table ends with a zeroed record. Built at the first call.
PyMethodDef *native_functions();
