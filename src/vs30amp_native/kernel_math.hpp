#pragma once

#include "vector_math/batch_math.hpp"

// The gate's choice for this process, made at the first call: the vector exp, log and pow where
// they are proven to return the C library's doubles, the scalar calls otherwise. The choice
// calls no Python, so a C++ static guards it.
const BatchMath &kernel_math();
