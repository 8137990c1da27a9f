#pragma once

#include "models/amplification_matrix.hpp"
#include "python_glue/python.hpp"

// The matrix as a 2-D float64 NumPy array that uses its storage in place, owned by a
// PySliceContainer base. Takes the storage in every case; on failure it is freed and
// nullptr is returned with an exception set.
PyObject *matrix_to_array(AmplificationMatrix matrix);
