#include "response_spectra/oscillator_bank.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>

namespace {

// Beyond this omega dt (T below 5.7e-12 dt) the oscillator follows the ground: u = -acc / omega^2
// plus terms of relative order 2 zeta / (omega dt) < 1e-13, and PSA is the record's peak. (The
// peak between samples is found there too, but ever more points lie within rounding of it.)
constexpr double ground_omega = 0x1p40;

// k = ceil(10 dt / T); a ratio within 1e-12 of an integer counts as that integer, so that
// T = 0.05 s at dt = 0.005 s (a ratio of 1 + 2e-16 in doubles) takes one step, not two.
std::uint64_t substeps(double period_in_samples) {
    const double ratio = 10.0 / period_in_samples;
    return ratio <= 1.0 ? 1 : static_cast<std::uint64_t>(std::ceil(ratio * (1.0 - 1e-12)));
}

LaneModel lane_model(double period, double damping, std::uint64_t k) {
    LaneModel m;
    m.sample = oscillator_step(period, damping, 1.0);
    m.substeps = k;
    for (int level = 0; k > 1 && (k >> level) != 0; ++level) {
        m.levels.push_back(oscillator_step(period, damping, std::ldexp(1.0, level) / static_cast<double>(k)));
    }
    for (std::uint64_t j = 1; k <= direct_substeps && j < k; ++j) {
        m.within.push_back(oscillator_step(period, damping, static_cast<double>(j) / static_cast<double>(k)));
    }
    const double omega = 2.0 * std::numbers::pi / period;
    m.inv_omega2 = 1.0 / m.sample.omega2;
    m.drift = 2.0 * damping / omega;
    m.zeta_omega = damping * omega;
    m.inv_omega_d = 1.0 / (omega * std::sqrt(1.0 - damping * damping));
    return m;
}

}  // namespace

OscillatorBank::OscillatorBank(const double *periods, std::size_t count, double damping, double dt,
                               Substeps where)
    : count_(count), every_(where == Substeps::every) {
    std::vector<std::size_t> stepped;
    std::vector<std::uint64_t> k(count, 1);
    for (std::size_t p = 0; p < count; ++p) {
        const double in_samples = periods[p] / dt;
        if (!(2.0 * std::numbers::pi / in_samples < ground_omega)) {
            ground_.push_back(p);
            continue;
        }
        if (where != Substeps::none) k[p] = substeps(in_samples);
        stepped.push_back(p);
    }
    // Plain lanes first, then the refined ones, each padded to whole groups with copies of
    // their last lane.
    std::stable_partition(stepped.begin(), stepped.end(), [&](std::size_t p) { return k[p] == 1; });
    const std::size_t plain = static_cast<std::size_t>(
        std::count_if(stepped.begin(), stepped.end(), [&](std::size_t p) { return k[p] == 1; }));
    auto add_run = [&](std::size_t first, std::size_t last) {
        for (std::size_t j = first; j < last; ++j) lanes_.push_back(static_cast<std::ptrdiff_t>(stepped[j]));
        while (lanes_.size() % 4 != 0) lanes_.push_back(-1);
    };
    add_run(0, plain);
    plain_groups_ = lanes_.size() / 4;
    add_run(plain, stepped.size());

    models_.resize(lanes_.size());
    omega2_.resize(lanes_.size());
    fields_.assign(groups() * fields_per_group, 0.0);
    for (std::size_t lane = 0; lane < lanes_.size(); ++lane) {
        // A padding lane repeats the last real lane before it (results dropped).
        std::size_t source = lane;
        while (lanes_[source] < 0) --source;
        const std::size_t p = static_cast<std::size_t>(lanes_[source]);
        if (source == lane) {
            models_[lane] = lane_model(periods[p] / dt, damping, k[p]);
        } else {
            models_[lane] = models_[source];
        }
        const LaneModel &m = models_[lane];
        const OscillatorStep &s = m.sample;
        omega2_[lane] = s.omega2;
        const double e = s.a * s.d + s.b * s.dp + s.c, ep = s.ap * s.d + s.bp * s.dp + s.cp;
        const double values[fields_per_lane] = {s.a,          s.b,        e,          s.d,
                                                s.ap,         s.bp,       ep,         s.dp,
                                                m.inv_omega2, m.drift,    m.zeta_omega, m.inv_omega_d,
                                                lanes_[lane] >= 0 && m.substeps > 1 ? 1.0 : 0.0};
        double *f = fields_.data() + lane / 4 * fields_per_group + lane % 4;
        for (std::size_t j = 0; j < fields_per_lane; ++j) f[4 * j] = values[j];
    }
}
