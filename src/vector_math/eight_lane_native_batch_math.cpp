// Eight native lanes with AVX-512F: the vector exp, log and pow of lane_batch_math.hpp on EightLanes.

#pragma GCC diagnostic ignored "-Wpsabi"

#include "vector_math/lanes_avx512.hpp"
// The set of lanes first: it says which instructions the rest is compiled for.
#include "vector_math/lane_batch_math.hpp"

const BatchMath &eight_lane_native_batch_math() { return lane_batch_math<EightLanes>(); }
