#include "vs30amp_native/kernel_math.hpp"

#include "vector_math/libm_gate.hpp"

const BatchMath &kernel_math() {
    static const BatchMath &math = choose_batch_math(loaded_libm_build_id().text());
    return math;
}
