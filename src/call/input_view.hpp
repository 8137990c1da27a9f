#pragma once

#include <cstddef>

#include "python_glue/owned_ref.hpp"

// A 1-D float64 array accepted as an input: element i is the double stored (possibly
// unaligned) at data + i * stride. Holds a reference to the array; never writes through it.
struct InputView {
    OwnedRef array;
    const char *data = nullptr;
    std::size_t length = 0;
    std::ptrdiff_t stride = 0;
};

// Accepts object as a one-dimensional float64 ndarray (or subtype) for the named parameter.
// A refusal raises TypeError with the note "while processing '{parameter}'" and returns false.
bool accept_input(void **table, PyObject *object, const char *parameter, InputView &view);
