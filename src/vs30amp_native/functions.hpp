#pragma once

#include "python_glue/python.hpp"

// The functions of vs30amp._native, each defined beside the code it runs; the table ends with
// a zeroed record.
extern PyMethodDef native_functions[];
