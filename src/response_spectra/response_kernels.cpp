#include "response_spectra/response_kernels.hpp"

#include "response_spectra/between_samples.hpp"
#include "simd/simd.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

// Four lanes (Double4): two SSE2 operations each in the baseline copies, one AVX operation in
// the SIMD_TARGET copies, which run only where cpu_has_avx2_and_fma(). The helpers are
// ALWAYS_INLINE into both copies, so no vector crosses a function boundary and the ABI note GCC
// gives for a four-lane argument without AVX does not apply. (Eight lanes with AVX-512 came out
// slower here: GCC splits their compare-and-select into scalar code.)
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

// |x|: the sign bit cleared (one AND; a compare and blend otherwise).
template <typename V>
ALWAYS_INLINE inline V magnitude(V x) {
    return reinterpret_cast<V>(reinterpret_cast<Bits4>(x) & 0x7fffffffffffffffLL);
}
template <typename V>
ALWAYS_INLINE inline V larger(V x, V y) { return x > y ? x : y; }

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

// Group k of the bank (four lanes).
ALWAYS_INLINE inline Group<Double4> group(const OscillatorBank &bank, std::size_t k) {
    const double *f = bank.group_fields(k);
    return {load_doubles<Double4>(f), load_doubles<Double4>(f + 4), load_doubles<Double4>(f + 8),
            load_doubles<Double4>(f + 12), load_doubles<Double4>(f + 16), load_doubles<Double4>(f + 20),
            load_doubles<Double4>(f + 24), load_doubles<Double4>(f + 28)};
}

// The bound parameters of a group's lanes (see between_samples.hpp) and its refinement flags.
struct Bounds {
    Double4 inv_omega2, drift, zeta_omega, inv_omega_d, refined;
};
ALWAYS_INLINE inline Bounds bounds(const OscillatorBank &bank, std::size_t k) {
    const double *f = bank.group_fields(k) + 32;
    return {load_doubles<Double4>(f), load_doubles<Double4>(f + 4), load_doubles<Double4>(f + 8),
            load_doubles<Double4>(f + 12), load_doubles<Double4>(f + 16)};
}

// The shifted state at rest before the first sample.
template <typename V>
ALWAYS_INLINE inline void at_rest(const Group<V> &g, V &x, V &y, V p0) {
    x = -(g.d * p0);
    y = -(g.dp * p0);
}

// One step of the oscillators of a group; returns the new displacement.
template <typename V>
ALWAYS_INLINE inline V step(const Group<V> &g, V &x, V &y, V p0, V p1) {
    const V xn = g.a * x + g.b * y + g.e * p0;
    y = g.ap * x + g.bp * y + g.ep * p0;
    x = xn;
    return xn + g.d * p1;
}

// Peaks of |u| of `G` groups in one pass over the record: G independent recurrences in flight
// hide the latency of each one's dependency chain.
template <int G, typename V, typename T>
ALWAYS_INLINE inline void sweep_peaks(const T *acc, std::size_t samples, const Group<V> *g, V *peaks) {
    V x[G], y[G], peak[G];
    V p0 = BROADCAST(V, static_cast<double>(acc[0]));
#pragma GCC unroll 4
    for (int k = 0; k < G; ++k) {
        at_rest(g[k], x[k], y[k], p0);
        peak[k] = BROADCAST(V, 0.0);
    }
    for (std::size_t i = 1; i < samples; ++i) {
        const V p1 = BROADCAST(V, static_cast<double>(acc[i]));
#pragma GCC unroll 4
        for (int k = 0; k < G; ++k) peak[k] = larger(magnitude(step(g[k], x[k], y[k], p0, p1)), peak[k]);
        p0 = p1;
    }
#pragma GCC unroll 4
    for (int k = 0; k < G; ++k) peaks[k] = peak[k];
}

// Whether any lane of a refined group may peak above `peak` between samples i - 1 and i, from
// the state (u0, v0) at i - 1: the vector form of span_bound over the whole interval, compared
// without its square root.
ALWAYS_INLINE inline bool may_rise(const Bounds &b, Double4 u0, Double4 v0, Double4 p0, Double4 p1, Double4 peak,
                                   Bits4 &lanes) {
    const Double4 slope = p1 - p0, shift = b.drift * slope;
    const Double4 a0 = (shift - p0) * b.inv_omega2, a1 = (shift - p1) * b.inv_omega2;
    const Double4 h = u0 - a0, hv = v0 + slope * b.inv_omega2;
    const Double4 q = (hv + b.zeta_omega * h) * b.inv_omega_d;
    const Double4 gap = peak - larger(magnitude(a0), magnitude(a1)) * (1.0 + bound_margin);
    constexpr double grown = (1.0 + bound_margin) * (1.0 + bound_margin);
    const Double4 zero = BROADCAST(Double4, 0.0);
    lanes = ((gap <= zero) | ((h * h + q * q) * grown >= gap * gap)) & (b.refined > zero);
    long long any[4];
    std::memcpy(any, &lanes, sizeof any);
    return (any[0] | any[1] | any[2] | any[3]) != 0;
}

// The peak of |u| of one oscillator at the sub-step points of one interval, at least `peak`;
// `every`: at all of them, whatever the bound says.
__attribute__((noinline)) double peak_between(const LaneModel &m, double u0, double v0, double p0, double p1,
                                              double peak, bool every) {
    auto may_reach = [&](const Span *s) {
        return (std::fmax(std::fabs(s->alpha_start), std::fabs(s->alpha_end)) + s->amplitude) * (1.0 + bound_margin) >=
               peak;
    };
    auto leaf = [&](const double *u) { peak = std::fmax(peak, std::fabs(u[0])); };
    BetweenSamples<1, decltype(may_reach), decltype(leaf)> visit(m, &p0, &p1, may_reach, leaf, every);
    visit.run(&u0, &v0);
    return peak;
}

// Peaks of |u| of one refined group. The peaks at the samples come first, as for the plain
// groups; a second pass then looks between samples where the interval's bound reaches the
// peak so far (starting from the samples' peak, few intervals do).
template <typename T>
ALWAYS_INLINE inline Double4 sweep_refined(const T *acc, std::size_t samples, const OscillatorBank &bank, std::size_t k,
                                           Double4 peak) {
    const Group<Double4> g = group(bank, k);
    const Bounds b = bounds(bank, k);
    Double4 x, y;
    Double4 p0 = BROADCAST(Double4, static_cast<double>(acc[0]));
    at_rest(g, x, y, p0);
    for (std::size_t i = 1; i < samples; ++i) {
        const Double4 p1 = BROADCAST(Double4, static_cast<double>(acc[i]));
        const Double4 u0 = x + g.d * p0, v0 = y + g.dp * p0;
        peak = larger(magnitude(step(g, x, y, p0, p1)), peak);
        Bits4 lanes;
        // Every sub-step point: a threshold no bound is below.
        const Double4 threshold = bank.every_substep() ? BROADCAST(Double4, -INFINITY) : peak;
        if (may_rise(b, u0, v0, p0, p1, threshold, lanes)) {
            double u[4], v[4], top[4];
            long long chosen[4];
            store_doubles(u, u0);
            store_doubles(v, v0);
            store_doubles(top, peak);
            std::memcpy(chosen, &lanes, sizeof chosen);
            for (std::size_t l = 0; l < 4; ++l) {
                if (chosen[l] != 0) top[l] = peak_between(bank.lane(4 * k + l), u[l], v[l], p0[0], p1[0], top[l],
                                                        bank.every_substep());
            }
            peak = load_doubles<Double4>(top);
        }
        p0 = p1;
    }
    return peak;
}

template <typename T>
ALWAYS_INLINE inline double record_peak(const T *acc, std::size_t samples) {
    double peak = 0.0;
    for (std::size_t i = 0; i < samples; ++i) peak = std::fmax(peak, std::fabs(static_cast<double>(acc[i])));
    return peak;
}

ALWAYS_INLINE inline void write_group(const OscillatorBank &bank, std::size_t k, Double4 peaks, double *out) {
    double lanes[4];
    store_doubles(lanes, peaks);
    for (std::size_t l = 0; l < 4; ++l) {
        const std::ptrdiff_t p = bank.period_of(4 * k + l);
        if (p >= 0) out[p] = bank.omega2(4 * k + l) * lanes[l];
    }
}

template <typename T>
ALWAYS_INLINE inline void record_psa_body(const T *acc, std::size_t samples, const OscillatorBank &bank, double *out) {
    const std::size_t groups = bank.groups();
    for (std::size_t k = 0; k < groups;) {
        const std::size_t together = std::min<std::size_t>(3, groups - k);
        Group<Double4> g[3];
        for (std::size_t j = 0; j < together; ++j) g[j] = group(bank, k + j);
        Double4 peaks[3];
        if (together == 3) {
            sweep_peaks<3>(acc, samples, g, peaks);
        } else if (together == 2) {
            sweep_peaks<2>(acc, samples, g, peaks);
        } else {
            sweep_peaks<1>(acc, samples, g, peaks);
        }
        for (std::size_t j = 0; j < together; ++j) {
            if (k + j >= bank.plain_groups()) peaks[j] = sweep_refined(acc, samples, bank, k + j, peaks[j]);
            write_group(bank, k + j, peaks[j], out);
        }
        k += together;
    }
    if (!bank.ground_periods().empty()) {
        const double peak = record_peak(acc, samples);
        for (std::size_t p : bank.ground_periods()) out[p] = peak;
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

// The 180 peaks of a pair's rotated displacement, max |x cos theta + y sin theta|, as points
// (x, y) are added. A point closer to the origin than the smallest peak so far cannot raise
// any rotation's peak, so most points are never projected (`every`: all are, and every span is
// visited: the definition the shortcuts are tested against).
class RotatedPeaks {
public:
    explicit RotatedPeaks(bool every) : every_(every) {
        for (Double4 &m : maxima_) m = BROADCAST(Double4, 0.0);
    }

    // The samples at x[stride i], y[stride i]: the farthest of each block of them first, whose
    // peaks already come close to the final ones, then the others that reach beyond the smallest
    // peak so far (raised as it goes).
    template <typename T>
    ALWAYS_INLINE void add_samples(const T *x, const T *y, std::size_t stride, std::size_t samples) {
        constexpr std::size_t block = 32;
        for (std::size_t first = 0; first < samples; first += block) {
            std::size_t far = first;
            double largest = -1.0;
            for (std::size_t i = first; i < std::min(samples, first + block); ++i) {
                const double r2 = radius2(x, y, stride * i);
                if (r2 > largest) {
                    largest = r2;
                    far = i;
                }
            }
            project(x[stride * far], y[stride * far]);
        }
        update_lower();
        for (std::size_t first = 0; first < samples; first += block) {
            bool raised = false;
            for (std::size_t i = first; i < std::min(samples, first + block); ++i) {
                raised = add_point(x[stride * i], y[stride * i]) || raised;
            }
            if (raised) update_lower();
        }
    }

    // One point; true when it was projected.
    ALWAYS_INLINE bool add_point(double x, double y) {
        if (!every_ && x * x + y * y < lower_) return false;
        project(x, y);
        return true;
    }

    bool every() const { return every_; }

    // Whether the two components' spans can raise any rotation's peak: the rotated response is
    // the rotated line alpha (largest at an end) plus a free vibration no larger than the norm of
    // the components' amplitudes.
    ALWAYS_INLINE bool may_raise(const Span &s1, const Span &s2) const {
        const double slack = std::sqrt(s1.amplitude * s1.amplitude + s2.amplitude * s2.amplitude);
        // First the cheap test: all of it (within `slack` of the segment between the lines' ends)
        // inside the circle of the smallest peak, which every rotation's peak reaches.
        const double start = std::sqrt(s1.alpha_start * s1.alpha_start + s2.alpha_start * s2.alpha_start);
        const double end = std::sqrt(s1.alpha_end * s1.alpha_end + s2.alpha_end * s2.alpha_end);
        if ((std::fmax(start, end) + slack) * (1.0 + bound_margin) < smallest_) return false;
        const Rotations &r = rotations();
        const Double4 x0 = BROADCAST(Double4, s1.alpha_start), y0 = BROADCAST(Double4, s2.alpha_start);
        const Double4 x1 = BROADCAST(Double4, s1.alpha_end), y1 = BROADCAST(Double4, s2.alpha_end);
        for (int j = 0; j < 45; ++j) {
            const Double4 c = load_doubles<Double4>(r.cos + 4 * j), sn = load_doubles<Double4>(r.sin + 4 * j);
            const Double4 reach = larger(magnitude(x0 * c + y0 * sn), magnitude(x1 * c + y1 * sn)) + slack;
            const Bits4 up = reach * (1.0 + bound_margin) >= maxima_[j];
            long long lanes[4];
            std::memcpy(lanes, &up, sizeof lanes);
            if ((lanes[0] | lanes[1] | lanes[2] | lanes[3]) != 0) return true;
        }
        return false;
    }
    void update_lower() {
        alignas(32) double peaks[180];
        for (int j = 0; j < 45; ++j) store_doubles(peaks + 4 * j, maxima_[j]);
        smallest_ = *std::min_element(peaks, peaks + 180);
        // A point with r^2 below this has r (1 + 4 eps) below `smallest`: its projections
        // cannot reach any peak, whatever the rounding.
        lower_ = smallest_ * smallest_ * (1.0 - 1e-12);
    }

    // NumPy's default ("linear") percentile, with its two-sided interpolation.
    double percentile(double percentile) const {
        alignas(32) double peaks[180];
        for (int j = 0; j < 45; ++j) store_doubles(peaks + 4 * j, maxima_[j]);
        std::sort(peaks, peaks + 180);
        const double rank = percentile / 100.0 * 179.0;
        const std::size_t below = std::min<std::size_t>(static_cast<std::size_t>(rank), 179);
        const std::size_t above = std::min<std::size_t>(below + 1, 179);
        const double t = rank - static_cast<double>(below);
        const double lo = peaks[below], hi = peaks[above], diff = hi - lo;
        return t >= 0.5 ? hi - diff * (1.0 - t) : lo + diff * t;
    }

private:
    template <typename T>
    static double radius2(const T *x, const T *y, std::size_t i) {
        const double a = static_cast<double>(x[i]), b = static_cast<double>(y[i]);
        return a * a + b * b;
    }
    ALWAYS_INLINE void project(double x, double y) {
        const Rotations &r = rotations();
        const Double4 vx = BROADCAST(Double4, x), vy = BROADCAST(Double4, y);
        for (int j = 0; j < 45; ++j) {
            maxima_[j] =
                larger(magnitude(vx * load_doubles<Double4>(r.cos + 4 * j) + vy * load_doubles<Double4>(r.sin + 4 * j)),
                       maxima_[j]);
        }
    }

    Double4 maxima_[45];
    double smallest_ = 0.0, lower_ = 0.0;
    bool every_;
};

// Every sub-step point of every interval of one lane with k <= direct_substeps, each straight
// from the interval's start: u(j / k) = a u0 + b v0 + c p0 + d p(j / k) with the step of j / k.
// The bounds of a pair are loose there (the free vibration's whole ellipse against the arc of it
// one interval covers) and would let most intervals through at a higher cost per point.
template <typename T>
__attribute__((noinline)) void rotated_direct(const LaneModel &m, const T *h1, const T *h2, std::size_t samples,
                                              const double *u1, const double *u2, const double *v1,
                                              const double *v2, RotatedPeaks &peaks) {
    const std::size_t points = static_cast<std::size_t>(m.substeps) - 1;
    double fraction[direct_substeps];
    for (std::size_t j = 0; j < points; ++j) fraction[j] = static_cast<double>(j + 1) / static_cast<double>(m.substeps);
    for (std::size_t i = 1; i < samples; ++i) {
        const double p1 = static_cast<double>(h1[i - 1]), slope1 = static_cast<double>(h1[i]) - p1;
        const double p2 = static_cast<double>(h2[i - 1]), slope2 = static_cast<double>(h2[i]) - p2;
        const double x0 = u1[4 * (i - 1)], y0 = u2[4 * (i - 1)], vx = v1[4 * (i - 1)], vy = v2[4 * (i - 1)];
        bool raised = false;
        for (std::size_t j = 0; j < points; ++j) {
            const OscillatorStep &s = m.within[j];
            const double x = s.a * x0 + s.b * vx + s.c * p1 + s.d * (p1 + slope1 * fraction[j]);
            const double y = s.a * y0 + s.b * vy + s.c * p2 + s.d * (p2 + slope2 * fraction[j]);
            raised = peaks.add_point(x, y) || raised;
        }
        if (raised) peaks.update_lower();
    }
}

// The sub-step points of every interval of one refined lane whose bound reaches the smallest
// rotated peak so far. u and v hold both components' states at the samples, lane-interleaved.
template <typename T>
__attribute__((noinline)) void rotated_between(const LaneModel &m, const T *h1, const T *h2, std::size_t samples,
                                               const double *u1, const double *u2, const double *v1,
                                               const double *v2, RotatedPeaks &peaks) {
    bool raised = false;
    const bool every = peaks.every();
    auto may_reach = [&](const Span *s) { return peaks.may_raise(s[0], s[1]); };
    auto leaf = [&](const double *u) { raised = peaks.add_point(u[0], u[1]) || raised; };
    for (std::size_t i = 1; i < samples; ++i) {
        const double p0[2] = {static_cast<double>(h1[i - 1]), static_cast<double>(h2[i - 1])};
        const double p1[2] = {static_cast<double>(h1[i]), static_cast<double>(h2[i])};
        const double u[2] = {u1[4 * (i - 1)], u2[4 * (i - 1)]}, v[2] = {v1[4 * (i - 1)], v2[4 * (i - 1)]};
        if (!every) {
            const Span s[2] = {span(m, u[0], v[0], p0[0], p1[0], p1[0] - p0[0]),
                               span(m, u[1], v[1], p0[1], p1[1], p1[1] - p0[1])};
            if (!may_reach(s)) continue;
        }
        BetweenSamples<2, decltype(may_reach), decltype(leaf)> visit(m, p0, p1, may_reach, leaf, every);
        visit.run(u, v);
        if (raised) {
            peaks.update_lower();
            raised = false;
        }
    }
}

template <typename T>
ALWAYS_INLINE inline void pair_rotd_body(const T *h1, const T *h2, std::size_t samples, const OscillatorBank &bank,
                                         double percentile, double *workspace, double *out) {
    double *u1 = workspace, *u2 = workspace + 4 * samples;
    double *v1 = workspace + 8 * samples, *v2 = workspace + 12 * samples;
    for (std::size_t k = 0; k < bank.groups(); ++k) {
        const bool refined = k >= bank.plain_groups();
        const Group<Double4> g = group(bank, k);
        Double4 p10 = BROADCAST(Double4, static_cast<double>(h1[0]));
        Double4 p20 = BROADCAST(Double4, static_cast<double>(h2[0]));
        Double4 x1, y1, x2, y2;
        at_rest(g, x1, y1, p10);
        at_rest(g, x2, y2, p20);
        store_doubles(u1, BROADCAST(Double4, 0.0));
        store_doubles(u2, BROADCAST(Double4, 0.0));
        store_doubles(v1, BROADCAST(Double4, 0.0));
        store_doubles(v2, BROADCAST(Double4, 0.0));
        for (std::size_t i = 1; i < samples; ++i) {
            const Double4 p11 = BROADCAST(Double4, static_cast<double>(h1[i]));
            const Double4 p21 = BROADCAST(Double4, static_cast<double>(h2[i]));
            store_doubles(u1 + 4 * i, step(g, x1, y1, p10, p11));
            store_doubles(u2 + 4 * i, step(g, x2, y2, p20, p21));
            if (refined) {
                store_doubles(v1 + 4 * i, y1 + g.dp * p11);
                store_doubles(v2 + 4 * i, y2 + g.dp * p21);
            }
            p10 = p11;
            p20 = p21;
        }
        for (std::size_t l = 0; l < 4; ++l) {
            const std::ptrdiff_t p = bank.period_of(4 * k + l);
            if (p < 0) continue;
            RotatedPeaks peaks(bank.every_substep());
            peaks.add_samples(u1 + l, u2 + l, 4, samples);
            const LaneModel &m = bank.lane(4 * k + l);
            if (m.substeps > direct_substeps) {
                rotated_between(m, h1, h2, samples, u1 + l, u2 + l, v1 + l, v2 + l, peaks);
            } else if (m.substeps > 1) {
                rotated_direct(m, h1, h2, samples, u1 + l, u2 + l, v1 + l, v2 + l, peaks);
            }
            out[p] = bank.omega2(4 * k + l) * peaks.percentile(percentile);
        }
    }
    if (!bank.ground_periods().empty()) {
        RotatedPeaks peaks(bank.every_substep());
        peaks.add_samples(h1, h2, 1, samples);
        const double value = peaks.percentile(percentile);
        for (std::size_t p : bank.ground_periods()) out[p] = value;
    }
}

template <typename T>
SIMD_TARGET void record_psa_simd(const T *acc, std::size_t samples, const OscillatorBank &bank, double *out) {
    record_psa_body(acc, samples, bank, out);
}
template <typename T>
void record_psa_base(const T *acc, std::size_t samples, const OscillatorBank &bank, double *out) {
    record_psa_body(acc, samples, bank, out);
}
template <typename T>
SIMD_TARGET void pair_rotd_simd(const T *h1, const T *h2, std::size_t samples, const OscillatorBank &bank,
                                double percentile, double *workspace, double *out) {
    pair_rotd_body(h1, h2, samples, bank, percentile, workspace, out);
}
template <typename T>
void pair_rotd_base(const T *h1, const T *h2, std::size_t samples, const OscillatorBank &bank, double percentile,
                    double *workspace, double *out) {
    pair_rotd_body(h1, h2, samples, bank, percentile, workspace, out);
}

}  // namespace

template <typename T>
void record_psa(const T *acc, std::size_t samples, const OscillatorBank &bank, double *out) {
    if (cpu_has_avx2_and_fma()) {
        record_psa_simd(acc, samples, bank, out);
    } else {
        record_psa_base(acc, samples, bank, out);
    }
}

template <typename T>
void pair_rotd(const T *h1, const T *h2, std::size_t samples, const OscillatorBank &bank, double percentile,
               double *workspace, double *out) {
    if (cpu_has_avx2_and_fma()) {
        pair_rotd_simd(h1, h2, samples, bank, percentile, workspace, out);
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
