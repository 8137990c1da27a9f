#pragma once

// Eight lanes as two four-lane halves with AVX2 and FMA: the leaf operations of lanes.hpp, each
// FourLanes' on the two halves. Runs wherever four lanes run, so the eight-lane logic of the
// vector math and of its callers is proven on every machine with AVX2, with or without AVX-512.

#include <cstring>

#include "vector_math/lanes_avx2.hpp"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

struct EightLanesAsHalves : LaneTypes<Double8, Bits8, Unsigned8> {
    template <class Half>
    struct Halves {
        Half low, high;
    };
    template <class Half, class Whole>
    SIMD_INLINE static Halves<Half> split(Whole x) {
        Halves<Half> h;
        std::memcpy(&h, &x, sizeof x);
        return h;
    }
    SIMD_INLINE static V join(Double4 low, Double4 high) {
        const Halves<Double4> h{low, high};
        V x;
        std::memcpy(&x, &h, sizeof x);
        return x;
    }

    SIMD_INLINE static V load(const double *p) { return join(_mm256_loadu_pd(p), _mm256_loadu_pd(p + 4)); }
    SIMD_INLINE static void store(double *p, V x) {
        const auto h = split<Double4>(x);
        _mm256_storeu_pd(p, h.low);
        _mm256_storeu_pd(p + 4, h.high);
    }
    SIMD_INLINE static V fma(V a, V b, V c) {
        const auto ha = split<Double4>(a), hb = split<Double4>(b), hc = split<Double4>(c);
        return join(FourLanes::fma(ha.low, hb.low, hc.low), FourLanes::fma(ha.high, hb.high, hc.high));
    }
    SIMD_INLINE static V fms(V a, V b, V c) {
        const auto ha = split<Double4>(a), hb = split<Double4>(b), hc = split<Double4>(c);
        return join(FourLanes::fms(ha.low, hb.low, hc.low), FourLanes::fms(ha.high, hb.high, hc.high));
    }
    SIMD_INLINE static V fnma(V a, V b, V c) {
        const auto ha = split<Double4>(a), hb = split<Double4>(b), hc = split<Double4>(c);
        return join(FourLanes::fnma(ha.low, hb.low, hc.low), FourLanes::fnma(ha.high, hb.high, hc.high));
    }
    SIMD_INLINE static V gather(const double *table, B index) {
        const auto h = split<Bits4>(index);
        return join(FourLanes::gather(table, h.low), FourLanes::gather(table, h.high));
    }
    SIMD_INLINE static V top12_signed(B bits) {
        const auto h = split<Bits4>(bits);
        return join(FourLanes::top12_signed(h.low), FourLanes::top12_signed(h.high));
    }
    // GCC would compare a vector wider than its instructions lane by lane.
    SIMD_INLINE static B at_least(V a, V b) {
        const auto ha = split<Double4>(a), hb = split<Double4>(b);
        return (B)join((Double4)FourLanes::at_least(ha.low, hb.low), (Double4)FourLanes::at_least(ha.high, hb.high));
    }
    SIMD_INLINE static B below(V a, V b) {
        const auto ha = split<Double4>(a), hb = split<Double4>(b);
        return (B)join((Double4)FourLanes::below(ha.low, hb.low), (Double4)FourLanes::below(ha.high, hb.high));
    }
    SIMD_INLINE static unsigned lanes_set(B mask) {
        const auto h = split<Bits4>(mask);
        return FourLanes::lanes_set(h.low) | FourLanes::lanes_set(h.high) << 4;
    }
};

}  // namespace

#pragma GCC diagnostic pop
