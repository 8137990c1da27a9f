// Four lanes with AVX2 and FMA: the vector exp, log and pow of lane_batch_math.hpp on FourLanes.

#pragma GCC diagnostic ignored "-Wpsabi"

#include "vector_math/lanes_avx2.hpp"
// The set of lanes first: it says which instructions the rest is compiled for.
#include "vector_math/lane_batch_math.hpp"

const BatchMath &four_lane_batch_math() { return lane_batch_math<FourLanes>(); }
