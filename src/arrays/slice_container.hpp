#pragma once

#include <cstddef>

#include "python_glue/python.hpp"

// Gives a natively allocated buffer back: (storage, length, capacity), length being the
// elements in use and capacity the elements allocated.
using ReleaseRoutine = void (*)(double *, std::size_t, std::size_t);

// Owner object of type builtins.PySliceContainer holding a native buffer on the Python heap;
// its deallocation runs the release routine once. On failure the buffer is released at once
// and nullptr is returned with _utils.InternalError set.
PyObject *new_slice_container(double *storage, std::size_t length, std::size_t capacity, ReleaseRoutine release);
