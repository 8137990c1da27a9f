#pragma once

#include <cstddef>
#include <vector>

#include "response_spectra/oscillator_bank.hpp"

// Pseudo-spectral acceleration, omega^2 max |u| (over the samples, and between them where the
// bank says so), of one record at every period of the bank: out[p] for period p. The record is
// float or double.
template <typename T>
void record_psa(const T *acc, std::size_t samples, const OscillatorBank &bank, double *out);

// RotDnn of one pair of records: omega^2 times the `percentile` (0-100, linear between the
// ranks as NumPy's default) of the 180 peaks max |u1 cos theta + u2 sin theta| for theta = 0,
// 1, ..., 179 degrees. `workspace` holds rotd_workspace(samples) doubles.
template <typename T>
void pair_rotd(const T *h1, const T *h2, std::size_t samples, const OscillatorBank &bank, double percentile,
               double *workspace, double *out);

inline std::size_t rotd_workspace(std::size_t samples) { return 4 * 4 * samples; }
