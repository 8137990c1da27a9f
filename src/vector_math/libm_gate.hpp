#pragma once

#include <array>
#include <cstdlib>
#include <string_view>

#include "simd/simd.hpp"
#include "vector_math/batch_math.hpp"

// Whether the vector exp, log and pow may stand in for the C library's in this process. They
// return the doubles of particular library builds, verified offline (./run verify-libm) and
// listed in data/verified_libm_builds.csv; any other process takes the scalar calls.

// The GNU build-id of the loaded object that holds exp, in lower-case hexadecimal; empty when
// it has none or cannot be found.
struct BuildId {
    std::array<char, 129> hex{};
    std::string_view text() const { return hex.data(); }
};
BuildId loaded_libm_build_id();

bool is_verified_libm_build(std::string_view build_id);

// Whether `candidate` returns the scalar calls' doubles on the probe's inputs: every table slot
// of each function, the bounds of the paths ported to vector code, exp's rounding ties and
// inputs on which the library's FMA and non-FMA builds differ. A few milliseconds.
bool probe_agrees(const BatchMath &candidate);

// The gate: one of MATH_PATHS, the scalar calls unless the loaded library (by its build-id,
// loaded_libm_build_id() in the module) is a verified build. A vector path is taken only where the
// CPU runs it and the probe agrees: eight native lanes where the CPU has AVX-512F, otherwise the
// faster of the AVX2 widths (PREFERRED_AVX2_PATH). `forced` (the value of VS30AMP_VECTOR_WIDTH,
// for tests and benchmarks; null or empty when unset) names the one path to try: the scalar
// calls when it cannot be taken or names no path. A few milliseconds: call once per process.
const MathPath &choose_math_path(std::string_view libm_build_id, const char *forced);

// choose_math_path's functions, with `forced` from the environment.
const BatchMath &choose_batch_math(std::string_view libm_build_id);

// The gate's choice for this process (choose_batch_math of the loaded library), made at the first
// call: what every model call takes. Either choice gives the same results; only the time differs.
// The choice calls no Python, so a C++ static guards it.
const BatchMath &process_batch_math();
