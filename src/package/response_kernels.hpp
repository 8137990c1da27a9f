#pragma once

#include <cstddef>
#include <vector>

#include "package/oscillator_step.hpp"

// The oscillators of one call, laid out for the vector loops: each coefficient of eight periods
// together (the last eight padded with copies of the last period, whose results are dropped).
class OscillatorBank {
public:
    OscillatorBank(const double *periods, std::size_t count, double damping, double dt);
    std::size_t periods() const { return omega2_.size(); }
    std::size_t lanes_padded() const { return coefficients_.size() / group_fields * 8; }
    const double *coefficients() const { return coefficients_.data(); }
    double omega2(std::size_t period) const { return omega2_[period]; }

    static constexpr std::size_t group_fields = 8 * 8;  // a, b, c, d, ap, bp, cp, dp of eight periods

private:
    std::vector<double> coefficients_;
    std::vector<double> omega2_;
};

// Pseudo-spectral acceleration, omega^2 max |u| over the samples, of one record at every
// period of the bank: out[p] for period p. The record is float or double.
template <typename T>
void record_psa(const T *acc, std::size_t samples, const OscillatorBank &bank, double *out);

// RotDnn of one pair of records: omega^2 times the `percentile` (0-100, linear between the
// ranks as NumPy's default) of the 180 peaks max |u1 cos theta + u2 sin theta| for theta = 0,
// 1, ..., 179 degrees. `workspace` holds rotd_workspace(samples) doubles.
template <typename T>
void pair_rotd(const T *h1, const T *h2, std::size_t samples, const OscillatorBank &bank, double percentile,
               double *workspace, double *out);

inline std::size_t rotd_workspace(std::size_t samples) { return 2 * 4 * samples; }
