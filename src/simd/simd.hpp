#pragma once

// The one way native code here writes vector code (x86-64).
//
// Vectors are GCC vectors of doubles: their operators +, -, *, /, comparisons and ?: are the IEEE
// operations lane by lane, as scalar code does them, and Intel's intrinsics take and return the
// same types (__m128d, __m256d and __m256i are these types), for what no operator says.
//
// Instructions beyond the x86-64 baseline (SSE2) are compiled only into functions marked
// SIMD_TARGET and the SIMD_INLINE helpers and lambdas they inline, and such a function runs only
// after cpu_has_avx2_and_fma() said yes; the eight-lane vector math on AVX-512F likewise with
// SIMD512_ISA after cpu_has_avx512f(). Everything else runs on any x86-64 CPU: two-lane vectors
// are SSE2 operations there, and four-lane ones two SSE2 operations each, or one AVX operation
// once inlined into a SIMD_TARGET function. The build disables contraction into fused
// multiply-add, so that enabling FMA changes no result: only an explicit fused intrinsic fuses.

#include <immintrin.h>

#include <cstddef>
#include <cstring>

using Double2 = double __attribute__((vector_size(2 * sizeof(double))));
using Double4 = double __attribute__((vector_size(4 * sizeof(double))));
using Double8 = double __attribute__((vector_size(8 * sizeof(double))));
// The 64-bit patterns of a Double4's lanes, and a Double4 comparison's result; the same at eight.
using Bits4 = long long __attribute__((vector_size(4 * sizeof(long long))));
using Bits8 = long long __attribute__((vector_size(8 * sizeof(long long))));
// Their unsigned twins, where integer sums and shifts wrap as the instructions do.
using Unsigned4 = unsigned long long __attribute__((vector_size(4 * sizeof(long long))));
using Unsigned8 = unsigned long long __attribute__((vector_size(8 * sizeof(long long))));

// The types of a set of lanes (vector_math/lanes.hpp): the doubles V, their 64-bit patterns B (also
// a comparison's result) and B's unsigned twin U, and the width N.
template <typename Doubles, typename Bits, typename Unsigned>
struct LaneTypes {
    using V = Doubles;
    using B = Bits;
    using U = Unsigned;
    static constexpr std::size_t N = sizeof(Doubles) / sizeof(double);
};

// The instructions of SIMD_TARGET code.
#define SIMD_ISA "avx2,fma"
// A function compiled for SIMD_ISA: called only when cpu_has_avx2_and_fma().
#define SIMD_TARGET __attribute__((target(SIMD_ISA)))
// A helper (declared inline, inside an anonymous namespace) or a lambda compiled for SIMD_ISA and
// always inlined into its SIMD_TARGET caller, so that no vector crosses a call. Internal linkage
// keeps the linker from picking a copy compiled for SIMD_ISA for a caller elsewhere.
#define SIMD_INLINE __attribute__((target(SIMD_ISA), always_inline))
// A helper written with the vector types alone, always inlined into its caller whichever
// instructions that caller is compiled for: one source for a kernel's SIMD_TARGET copy and its
// baseline copy.
#define ALWAYS_INLINE __attribute__((always_inline))

// The instructions of the eight-lane code on AVX-512 (vector_math/lanes_avx512.hpp), which runs
// only after cpu_has_avx512f() said yes.
#define SIMD512_ISA "avx512f,avx2,fma"

// Whether this CPU runs SIMD_TARGET code; asked once per process.
inline bool cpu_has_avx2_and_fma() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }();
    return has;
}

// Whether this CPU also runs SIMD512_ISA code.
inline bool cpu_has_avx512f() {
    static const bool has = [] {
        __builtin_cpu_init();
        return cpu_has_avx2_and_fma() && __builtin_cpu_supports("avx512f");
    }();
    return has;
}

// A vector of type V with every lane x, bit for bit (the sign of a zero and a NaN's payload kept):
// the one way code here broadcasts a value. A macro, so that it is compiled for the instructions
// of the function it stands in: Clang refuses a vector result from a function compiled for other
// instructions, even one always inlined.
#define BROADCAST(V, x)                                                        \
    (__extension__({                                                           \
        const double broadcast_value_ = (x);                                   \
        V broadcast_{};                                                        \
        for (std::size_t i_ = 0; i_ < sizeof(V) / sizeof(double); ++i_)        \
            broadcast_[i_] = broadcast_value_;                                 \
        broadcast_;                                                            \
    }))

// The vector of V's width at p, which need not be aligned, and its store. Always inlined, so no
// vector crosses a call: the ABI note GCC gives for a four-lane vector in code without AVX does
// not apply.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
template <typename V>
ALWAYS_INLINE inline V load_doubles(const double *p) {
    V x;
    std::memcpy(&x, p, sizeof x);
    return x;
}
template <typename V>
ALWAYS_INLINE inline void store_doubles(double *p, V x) {
    std::memcpy(p, &x, sizeof x);
}
#pragma GCC diagnostic pop
