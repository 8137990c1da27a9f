#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "response_spectra/oscillator_step.hpp"

// Time is measured in sample intervals inside the kernels (dt = 1, omega = 2 pi dt / T): the
// response in pseudo-acceleration depends on T / dt only, and no period, however short, makes
// omega^2 overflow.
//
// Peaks between samples: the record is the polygon through its samples, and the peak of |u| is
// taken over sub-steps of dt / k inside every interval, k = ceil(10 dt / T), i.e. a step of at
// most T / 10: the usual rule of time-stepping response-spectrum codes, and the one that
// reproduces the NGA-West2 database's published spectra to their printed digits (the tests).

// Up to this k, a pair's sub-step points are each computed straight from the interval's start
// (RotD): cheaper there than bounding the intervals.
constexpr std::uint64_t direct_substeps = 8;

// Everything the scalar refinement of one oscillator needs.
struct LaneModel {
    OscillatorStep sample;               // one sample interval
    std::vector<OscillatorStep> levels;  // 2^m sub-steps of 1 / k, m = 0 ... bit length of k - 1
    std::vector<OscillatorStep> within;  // j sub-steps of 1 / k, j = 1 ... k - 1, where k <= direct_substeps
    std::uint64_t substeps = 1;          // k
    // The response within a step under acceleration p + s t: u = alpha + beta t plus a decaying
    // free vibration, alpha = (drift s - p) inv_omega2, beta = -s inv_omega2, drift = 2 zeta / omega.
    double inv_omega2 = 0.0, drift = 0.0, zeta_omega = 0.0, inv_omega_d = 0.0;
};

// Where the peak is looked for: at the samples only (k = 1 for every period); also at the
// sub-step points a bound says can matter; or at every sub-step point, the definition the bounds
// are tested against (same values, visited exhaustively).
enum class Substeps { none, bounded, every };

class OscillatorBank {
public:
    OscillatorBank(const double *periods, std::size_t count, double damping, double dt, Substeps substeps);

    std::size_t periods() const { return count_; }
    // Groups of four lanes: the first plain_groups() step at the samples only, the others are
    // refined between samples.
    std::size_t groups() const { return lanes_.size() / 4; }
    std::size_t plain_groups() const { return plain_groups_; }
    const double *group_fields(std::size_t group) const { return fields_.data() + group * fields_per_group; }
    // The period (output column) of a lane, or -1 for a padding lane.
    std::ptrdiff_t period_of(std::size_t lane) const { return lanes_[lane]; }
    const LaneModel &lane(std::size_t lane) const { return models_[lane]; }
    double omega2(std::size_t lane) const { return omega2_[lane]; }
    // Periods so short against dt that the oscillator follows the ground to double precision:
    // their PSA is the record's peak (T -> 0), RotD the rotated records' peaks.
    const std::vector<std::size_t> &ground_periods() const { return ground_; }
    // Every sub-step point is visited, whatever the bounds say.
    bool every_substep() const { return every_; }

    // Per group, four lanes each of: a, b, e, d, ap, bp, ep, dp (the shifted recurrence), then
    // inv_omega2, drift, zeta_omega, inv_omega_d and a refinement flag (1 or 0).
    static constexpr std::size_t fields_per_lane = 13;
    static constexpr std::size_t fields_per_group = 4 * fields_per_lane;

private:
    std::size_t count_ = 0, plain_groups_ = 0;
    bool every_ = false;
    std::vector<std::ptrdiff_t> lanes_;
    std::vector<LaneModel> models_;
    std::vector<double> omega2_, fields_;
    std::vector<std::size_t> ground_;
};

// One step of `count` sub-steps from grid point j0 of an interval whose acceleration goes from
// p0 by `slope` per sample interval: the forcing at grid point j is p0 + slope (j / k).
inline double grid_force(double p0, double slope, std::uint64_t j, std::uint64_t k) {
    return p0 + slope * (static_cast<double>(j) / static_cast<double>(k));
}
