#pragma once

#include <cstddef>

#include "module/python.hpp"

// Frees a natively allocated buffer: (storage, capacity).
using ReleaseRoutine = void (*)(double *, std::size_t);

// Owner object of type builtins.PySliceContainer holding a native buffer on the Python heap;
// its deallocation runs the release routine once. On failure the buffer is released at once
// and nullptr is returned with _utils.InternalError set.
PyObject *new_slice_container(double *storage, std::size_t capacity, ReleaseRoutine release);
