#include "vector_math/batch_math.hpp"

// Placeholder until the vector functions land: the scalar calls.
const BatchMath &vector_batch_math() { return scalar_batch_math(); }
