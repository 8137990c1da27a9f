#include "package/response_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

// Four doubles as one GCC vector: two SSE2 operations each on any x86-64, one AVX operation in
// the *_avx2 copies, which run only where the CPU has AVX2. All of it is inlined into those
// copies, so no vector crosses a function boundary. (Eight lanes with AVX-512 came out slower
// here: GCC splits their compare-and-select into scalar code.)
#pragma GCC diagnostic ignored "-Wpsabi"
#define INLINE __attribute__((always_inline)) static inline

namespace {

using Vec = double __attribute__((vector_size(32)));
using Bits = long long __attribute__((vector_size(32)));

template <typename V>
INLINE V load(const double *p) {
    V x;
    std::memcpy(&x, p, sizeof x);
    return x;
}
template <typename V>
INLINE void store(double *p, V x) { std::memcpy(p, &x, sizeof x); }
template <typename V = Vec>
INLINE V splat(double x) { return V{} + x; }
// |x|: the sign bit cleared (one AND; a compare and blend otherwise).
template <typename V>
INLINE V magnitude(V x) {
    return reinterpret_cast<V>(reinterpret_cast<Bits>(x) & 0x7fffffffffffffffLL);
}
template <typename V>
INLINE V larger(V x, V y) { return x > y ? x : y; }

// The recurrence in the shifted state x = u - d acc, y = v - dp acc, which takes each sample
// once per step (six products a step instead of eight):
//   x[i+1] = a x[i] + b y[i] + e acc[i],   y[i+1] = ap x[i] + bp y[i] + ep acc[i],
//   u[i+1] = x[i+1] + d acc[i+1],
// with e = a d + b dp + c and ep = ap d + bp dp + cp. For steps short against the period, where
// precision is hardest to keep, the terms of each share their sign: nothing cancels.
template <typename V>
struct Group {
    V a, b, e, d, ap, bp, ep, dp;
};

// Group k of W lanes: lanes k W ... k W + W - 1 of the bank, whose fields are stored eight
// lanes at a time.
template <typename V>
INLINE Group<V> group(const OscillatorBank &bank, std::size_t k) {
    constexpr std::size_t width = sizeof(V) / sizeof(double);
    const std::size_t first = k * width;
    const double *f = bank.coefficients() + first / 8 * OscillatorBank::group_fields + first % 8;
    return {load<V>(f), load<V>(f + 8), load<V>(f + 16), load<V>(f + 24),
            load<V>(f + 32), load<V>(f + 40), load<V>(f + 48), load<V>(f + 56)};
}

// The shifted state at rest before the first sample.
template <typename V>
INLINE void at_rest(const Group<V> &g, V &x, V &y, V p0) {
    x = -(g.d * p0);
    y = -(g.dp * p0);
}

// One step of the oscillators of a group; returns the new displacement.
template <typename V>
INLINE V step(const Group<V> &g, V &x, V &y, V p0, V p1) {
    const V xn = g.a * x + g.b * y + g.e * p0;
    y = g.ap * x + g.bp * y + g.ep * p0;
    x = xn;
    return xn + g.d * p1;
}

// Peaks of |u| of `G` groups in one pass over the record: G independent recurrences in flight
// hide the latency of each one's dependency chain.
template <int G, typename V, typename T>
INLINE void sweep_peaks(const T *acc, std::size_t samples, const Group<V> *g, V *peaks) {
    V x[G], y[G], peak[G];
    V p0 = splat<V>(static_cast<double>(acc[0]));
#pragma GCC unroll 4
    for (int k = 0; k < G; ++k) {
        at_rest(g[k], x[k], y[k], p0);
        peak[k] = splat<V>(0.0);
    }
    for (std::size_t i = 1; i < samples; ++i) {
        const V p1 = splat<V>(static_cast<double>(acc[i]));
#pragma GCC unroll 4
        for (int k = 0; k < G; ++k) peak[k] = larger(magnitude(step(g[k], x[k], y[k], p0, p1)), peak[k]);
        p0 = p1;
    }
#pragma GCC unroll 4
    for (int k = 0; k < G; ++k) peaks[k] = peak[k];
}

template <typename T>
INLINE void record_psa_body(const T *acc, std::size_t samples, const OscillatorBank &bank, double *out) {
    using V = Vec;
    constexpr std::size_t W = 4;
    const std::size_t groups = bank.lanes_padded() / W;
    for (std::size_t k = 0; k < groups;) {
        const std::size_t together = std::min<std::size_t>(3, groups - k);
        Group<V> g[3];
        for (std::size_t j = 0; j < together; ++j) g[j] = group<V>(bank, k + j);
        V peaks[3];
        if (together == 3) {
            sweep_peaks<3>(acc, samples, g, peaks);
        } else if (together == 2) {
            sweep_peaks<2>(acc, samples, g, peaks);
        } else {
            sweep_peaks<1>(acc, samples, g, peaks);
        }
        for (std::size_t j = 0; j < together; ++j) {
            double lanes[W];
            store(lanes, peaks[j]);
            for (std::size_t l = 0; l < W; ++l) {
                const std::size_t p = (k + j) * W + l;
                if (p < bank.periods()) out[p] = bank.omega2(p) * lanes[l];
            }
        }
        k += together;
    }
}

// cos and sin of 0, 1, ..., 179 degrees.
struct Rotations {
    alignas(32) double cos[180];
    alignas(32) double sin[180];
    Rotations() {
        for (int j = 0; j < 180; ++j) {
            cos[j] = std::cos(j * std::numbers::pi / 180.0);
            sin[j] = std::sin(j * std::numbers::pi / 180.0);
        }
    }
};

const Rotations &rotations() {
    static const Rotations table;
    return table;
}

INLINE void project(double x, double y, const Rotations &r, Vec *maxima) {
    const Vec vx = splat(x), vy = splat(y);
    for (int j = 0; j < 45; ++j) {
        maxima[j] = larger(magnitude(vx * load<Vec>(r.cos + 4 * j) + vy * load<Vec>(r.sin + 4 * j)), maxima[j]);
    }
}

// The 180 peaks of the rotated displacement (histories at u1[4 i], u2[4 i]) and their
// percentile. A sample closer to the origin than the smallest peak found so far cannot raise
// any rotation's peak: the samples far out are projected first (those beyond half the largest
// squared distance), then only those between the smallest peak and them.
INLINE double rotated_percentile(const double *u1, const double *u2, std::size_t samples, double percentile) {
    const Rotations &r = rotations();
    double largest = 0.0;
    for (std::size_t i = 0; i < samples; ++i) largest = std::max(largest, u1[4 * i] * u1[4 * i] + u2[4 * i] * u2[4 * i]);
    Vec maxima[45];
    for (Vec &m : maxima) m = splat(0.0);
    const double half = 0.5 * largest;
    for (std::size_t i = 0; i < samples; ++i) {
        if (u1[4 * i] * u1[4 * i] + u2[4 * i] * u2[4 * i] >= half) project(u1[4 * i], u2[4 * i], r, maxima);
    }
    alignas(32) double peaks[180];
    for (int j = 0; j < 45; ++j) store(peaks + 4 * j, maxima[j]);
    const double smallest = *std::min_element(peaks, peaks + 180);
    // A sample with r^2 below this has r (1 + 4 eps) below `smallest`: its projections cannot
    // reach any peak, whatever the rounding.
    const double lower = smallest * smallest * (1.0 - 1e-12);
    if (lower < half) {
        for (std::size_t i = 0; i < samples; ++i) {
            const double r2 = u1[4 * i] * u1[4 * i] + u2[4 * i] * u2[4 * i];
            if (r2 < half && r2 >= lower) project(u1[4 * i], u2[4 * i], r, maxima);
        }
        for (int j = 0; j < 45; ++j) store(peaks + 4 * j, maxima[j]);
    }
    std::sort(peaks, peaks + 180);
    // NumPy's default ("linear") percentile, with its two-sided interpolation.
    const double rank = percentile / 100.0 * 179.0;
    const std::size_t below = std::min<std::size_t>(static_cast<std::size_t>(rank), 179);
    const std::size_t above = std::min<std::size_t>(below + 1, 179);
    const double t = rank - static_cast<double>(below);
    const double lo = peaks[below], hi = peaks[above], diff = hi - lo;
    return t >= 0.5 ? hi - diff * (1.0 - t) : lo + diff * t;
}

template <typename T>
INLINE void pair_rotd_body(const T *h1, const T *h2, std::size_t samples, const OscillatorBank &bank, double percentile,
                           double *workspace, double *out) {
    double *u1 = workspace;
    double *u2 = workspace + 4 * samples;
    for (std::size_t k = 0; k < bank.lanes_padded() / 4; ++k) {
        const Group<Vec> g = group<Vec>(bank, k);
        Vec p10 = splat(static_cast<double>(h1[0])), p20 = splat(static_cast<double>(h2[0]));
        Vec x1, v1, x2, v2;
        at_rest(g, x1, v1, p10);
        at_rest(g, x2, v2, p20);
        store(u1, splat(0.0));
        store(u2, splat(0.0));
        for (std::size_t i = 1; i < samples; ++i) {
            const Vec p11 = splat(static_cast<double>(h1[i])), p21 = splat(static_cast<double>(h2[i]));
            store(u1 + 4 * i, step(g, x1, v1, p10, p11));
            store(u2 + 4 * i, step(g, x2, v2, p20, p21));
            p10 = p11;
            p20 = p21;
        }
        for (std::size_t l = 0; l < 4 && k * 4 + l < bank.periods(); ++l) {
            const std::size_t p = k * 4 + l;
            out[p] = bank.omega2(p) * rotated_percentile(u1 + l, u2 + l, samples, percentile);
        }
    }
}

bool has_avx2() {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}
template <typename T>
__attribute__((target("avx2"))) void record_psa_avx2(const T *acc, std::size_t samples, const OscillatorBank &bank,
                                                     double *out) {
    record_psa_body(acc, samples, bank, out);
}
template <typename T>
void record_psa_base(const T *acc, std::size_t samples, const OscillatorBank &bank, double *out) {
    record_psa_body(acc, samples, bank, out);
}
template <typename T>
__attribute__((target("avx2"))) void pair_rotd_avx2(const T *h1, const T *h2, std::size_t samples,
                                                    const OscillatorBank &bank, double percentile, double *workspace,
                                                    double *out) {
    pair_rotd_body(h1, h2, samples, bank, percentile, workspace, out);
}
template <typename T>
void pair_rotd_base(const T *h1, const T *h2, std::size_t samples, const OscillatorBank &bank, double percentile,
                    double *workspace, double *out) {
    pair_rotd_body(h1, h2, samples, bank, percentile, workspace, out);
}

}  // namespace

OscillatorBank::OscillatorBank(const double *periods, std::size_t count, double damping, double dt)
    : coefficients_((count + 7) / 8 * group_fields), omega2_(count) {
    rotations();  // the table is filled here, on the calling thread
    for (std::size_t slot = 0; slot < lanes_padded(); ++slot) {
        const std::size_t p = std::min(slot, count - 1);
        const OscillatorStep s = oscillator_step(periods[p], damping, dt);
        if (slot < count) omega2_[slot] = s.omega2;
        double *f = coefficients_.data() + slot / 8 * group_fields + slot % 8;
        const double e = s.a * s.d + s.b * s.dp + s.c, ep = s.ap * s.d + s.bp * s.dp + s.cp;
        const double fields[8] = {s.a, s.b, e, s.d, s.ap, s.bp, ep, s.dp};
        for (int j = 0; j < 8; ++j) f[j * 8] = fields[j];
    }
}

template <typename T>
void record_psa(const T *acc, std::size_t samples, const OscillatorBank &bank, double *out) {
    if (has_avx2()) {
        record_psa_avx2(acc, samples, bank, out);
    } else {
        record_psa_base(acc, samples, bank, out);
    }
}

template <typename T>
void pair_rotd(const T *h1, const T *h2, std::size_t samples, const OscillatorBank &bank, double percentile,
               double *workspace, double *out) {
    if (has_avx2()) {
        pair_rotd_avx2(h1, h2, samples, bank, percentile, workspace, out);
    } else {
        pair_rotd_base(h1, h2, samples, bank, percentile, workspace, out);
    }
}

template void record_psa<float>(const float *, std::size_t, const OscillatorBank &, double *);
template void record_psa<double>(const double *, std::size_t, const OscillatorBank &, double *);
template void pair_rotd<float>(const float *, const float *, std::size_t, const OscillatorBank &, double, double *,
                               double *);
template void pair_rotd<double>(const double *, const double *, std::size_t, const OscillatorBank &, double, double *,
                                double *);
