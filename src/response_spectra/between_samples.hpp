#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "response_spectra/oscillator_bank.hpp"

// The response at the sub-step points j = 1 ... k - 1 of one sample interval, computed only
// where it can matter. Over a span that starts in state (u, v) under acceleration p + s t,
// u = alpha + beta t + (a free vibration that decays), so |u| is at most
// max(|alpha|, |alpha + beta span|) plus the free vibration's amplitude. Spans whose bound is
// below what the caller already has (the peak so far) are skipped whole; the others are
// halved. The points are reached by steps of 2^m sub-steps (dyadic blocks of the k points):
// a few dozen steps reach any point, even where k is 10^12, and each point's value does not
// depend on which spans were skipped.

// Allowance for rounding in the bound and the values it is compared with.
constexpr double bound_margin = 0x1p-40;

// The response over a span: u = alpha + beta t (alpha_start to alpha_end) plus a free vibration
// of amplitude at most `amplitude`.
struct Span {
    double alpha_start, alpha_end, amplitude;
};

inline Span span(const LaneModel &m, double u, double v, double p_start, double p_end, double slope) {
    const double shift = m.drift * slope;
    const double a0 = (shift - p_start) * m.inv_omega2, a1 = (shift - p_end) * m.inv_omega2;
    const double h = u - a0, hv = v + slope * m.inv_omega2;
    const double q = (hv + m.zeta_omega * h) * m.inv_omega_d;
    return {a0, a1, std::sqrt(h * h + q * q)};
}

inline void advance(const OscillatorStep &s, double &u, double &v, double f0, double f1) {
    const double next = s.a * u + s.b * v + s.c * f0 + s.d * f1;
    v = s.ap * u + s.bp * v + s.cp * f0 + s.dp * f1;
    u = next;
}

// N components (1 for PSA, 2 for the two of a pair) of one oscillator over one interval.
// `may_reach(spans)` says whether a span (one per component) can matter and is visited;
// `leaf(u)` receives the displacements at each visited point. `every`: all points are visited,
// no span asked (the definition the bounds are tested against).
template <std::size_t N, typename MayReach, typename Leaf>
class BetweenSamples {
public:
    BetweenSamples(const LaneModel &m, const double *p0, const double *p1, MayReach &may_reach, Leaf &leaf,
                   bool every = false)
        : m_(m), may_reach_(may_reach), leaf_(leaf), every_(every) {
        for (std::size_t c = 0; c < N; ++c) {
            p0_[c] = p0[c];
            slope_[c] = p1[c] - p0[c];
        }
    }

    // From the state at the interval's start (its first sample).
    void run(const double *u_start, const double *v_start) {
        double u[N], v[N];
        for (std::size_t c = 0; c < N; ++c) {
            u[c] = u_start[c];
            v[c] = v_start[c];
        }
        std::uint64_t j0 = 0;
        for (int level = static_cast<int>(m_.levels.size()) - 1; level >= 0; --level) {
            if (((m_.substeps >> level) & 1U) == 0) continue;
            descend(j0, level, u, v);
            const std::uint64_t j1 = j0 + (std::uint64_t{1} << level);
            if (j1 == m_.substeps) break;
            step(level, j0, j1, u, v);
            j0 = j1;
        }
    }

private:
    double force(std::size_t c, std::uint64_t j) const { return grid_force(p0_[c], slope_[c], j, m_.substeps); }

    void step(int level, std::uint64_t j0, std::uint64_t j1, double *u, double *v) const {
        for (std::size_t c = 0; c < N; ++c) advance(m_.levels[level], u[c], v[c], force(c, j0), force(c, j1));
    }

    // Points j0 + 1 ... j0 + 2^level (those below k), from the state at j0.
    void descend(std::uint64_t j0, int level, const double *u, const double *v) {
        const std::uint64_t j1 = j0 + (std::uint64_t{1} << level);
        if (!every_) {
            Span spans[N];
            for (std::size_t c = 0; c < N; ++c) {
                spans[c] = span(m_, u[c], v[c], force(c, j0), force(c, j1), slope_[c]);
            }
            if (!may_reach_(static_cast<const Span *>(spans))) return;
        }
        double un[N], vn[N];
        for (std::size_t c = 0; c < N; ++c) {
            un[c] = u[c];
            vn[c] = v[c];
        }
        if (level == 0) {
            if (j1 == m_.substeps) return;  // the next sample: the caller has it
            step(0, j0, j1, un, vn);
            leaf_(static_cast<const double *>(un));
            return;
        }
        descend(j0, level - 1, u, v);
        const std::uint64_t middle = j0 + (std::uint64_t{1} << (level - 1));
        step(level - 1, j0, middle, un, vn);
        descend(middle, level - 1, un, vn);
    }

    const LaneModel &m_;
    MayReach &may_reach_;
    Leaf &leaf_;
    double p0_[N], slope_[N];
    bool every_;
};
