#pragma once

// Site term of the Bayless-Abrahamson (2018) model of the effective amplitude spectrum (EAS), as
// amplification factors from a simulation's Vs30 to a site's Vs30 on a grid of 301 frequencies.
//
// Bayless, J. and Abrahamson, N. A. (2018). An empirical model for Fourier amplitude spectra
// using the NGA-West2 database. PEER Report 2018/07, Pacific Earthquake Engineering Research
// Center, University of California, Berkeley. Summarised in Bayless, J. and Abrahamson, N. A.
// (2019), Bulletin of the Seismological Society of America 109(5), 2088-2105. doi:10.1785/0120190077
//
// The factor of a cell is (L(Vs30) / L(Vs30_sim)) x N, in the paper's symbols:
// - L is exp(f_SL), the linear site term f_SL = c8 ln(min(Vs30, 1000) / 1000), up to 23.988321 Hz;
//   above, that power frozen at its 23.988321 Hz exponent times the high-frequency decay
//   exp(-pi kappa (f - f_anchor)), kappa from Vs30.
// - N is exp(f_NL), the nonlinear site term f_NL = f2 ln((I_R + f3) / f3) with
//   f2 = f4 (exp(f5 (min(Vs30, 760) - 360)) - exp(f5 400)), driven by the intensity I_R, the PGA
//   converted to a reference condition, and held at its smallest value from the frequency where it
//   is smallest on. (f2 is a term, not a column of the table.)
// The reference of I_R and f_anchor are the convention's: 760 m/s and 24 Hz in the module's,
// 1000 m/s and 23.988321 Hz in the published model's.
// Stated range of applicability: Vs30 from 180 to 1500 m/s, not well constrained above 1000 m/s.
// Nothing is range-checked here: values outside it are computed as given.

#include <cstddef>
#include <iterator>

#include "generated/ba18_site_coefficients.hpp"
#include "generated/model_constants.hpp"
#include "models/amplification_matrix.hpp"
#include "models/model_table.hpp"
#include "models/site_triple.hpp"
#include "vector_math/batch_math.hpp"

inline constexpr std::size_t BA18_COLUMNS = BA18_ROWS;

// The coefficient table, generated from data/ba18_site_coefficients.csv as arrays named after the
// columns' published symbols, in ascending frequency. The kernel reads them by their roles; their
// symbols in the paper (and in other implementations that follow it), used in the comments here:
inline constexpr const auto &BA18_FREQUENCIES = BA18_FREQUENCY_HZ;  // f (Hz)
inline constexpr const auto &BA18_VS30_EXPONENT = BA18_C8;          // c8 (NaN from row 239 on, never read)
inline constexpr const auto &BA18_NL_AMPLITUDE = BA18_F4;           // f4
inline constexpr const auto &BA18_NL_VS30_RATE = BA18_F5;           // f5 (s/m)
inline constexpr const auto &BA18_NL_INTENSITY_OFFSET = BA18_F3;    // f3 (g)
// Other documents of this model name the last three F2, F3 and F4 in that order: their F2 is the
// paper's f4, F3 is f5 and F4 is f3.
static_assert(std::size(BA18_FREQUENCIES) == BA18_COLUMNS);

// The two choices in which the module's model and the published one differ, as data for the one
// kernel (data/model_constants.csv derives each value).
struct Ba18Convention {
    // The linear factor of the PGA row at the reference condition of the intensity: the
    // simulation's PGA is carried to that condition before it drives the nonlinear term.
    double pga_reference_factor;
    // Frequency (Hz) at which the high-frequency decay above the power law is 1.
    double decay_anchor_hz;
};

// The module's: intensity at the 760 m/s reference, decay anchored at 24 Hz.
inline constexpr Ba18Convention BA18_MODULE_CONVENTION{BA18_PGA_REFERENCE_FACTOR, BA18_DECAY_ANCHOR_HZ};
// The published model's: intensity at its 1000 m/s reference (no Vs30 scaling), decay anchored
// at the last frequency of the power law.
inline constexpr Ba18Convention BA18_PUBLISHED_CONVENTION{BA18_PUBLISHED_PGA_REFERENCE_FACTOR,
                                                          BA18_PUBLISHED_DECAY_ANCHOR_HZ};

// The n rows written into storage of n x 301 doubles that the caller owns, row i for sites[i],
// every exp, log and pow taken through `math`.
void ba18_rows(const SiteTriple *sites, std::size_t n, const BatchMath &math, const Ba18Convention &convention,
               double *rows);

// The model's entry of the table (model_table.hpp): "ba18", conventions "module" (the default)
// and "published".
extern const ModelEntry BA18_MODEL;
