#pragma once

// Site term of the Bayless-Abrahamson (2018) model of the effective amplitude spectrum (EAS), as
// amplification factors from a simulation's Vs30 to a site's Vs30 on a grid of 301 frequencies.
//
// Bayless, J. and Abrahamson, N. A. (2018). An empirical model for Fourier amplitude spectra
// using the NGA-West2 database. PEER Report 2018/07, Pacific Earthquake Engineering Research
// Center, University of California, Berkeley. Summarised in Bayless, J. and Abrahamson, N. A.
// (2019), Bulletin of the Seismological Society of America 109(5), 2088-2105. doi:10.1785/0120190077
//
// The factor of a cell is (L(Vs30) / L(Vs30_sim)) x N. L is the exponential of the linear site
// term: (min(Vs30, 1000) / 1000)^c8 up to 23.988321 Hz; above, that power frozen at its
// 23.988321 Hz exponent times the high-frequency decay exp(-pi kappa (f - 24)), kappa from Vs30.
// N is the exponential of the nonlinear site term f2 (exp(f3 (min(Vs30, 760) - 360)) -
// exp(f3 400)) ln((PGA_ref + f4) / f4), driven by the PGA converted to the 760 m/s reference
// (PGA_ref), and held at its smallest value from the frequency where it is smallest on.
// Stated range of applicability: Vs30 from 180 to 1500 m/s, not well constrained above 1000 m/s.
// Nothing is range-checked here: values outside it are computed as given.

#include <cstddef>
#include <iterator>
#include <optional>

#include "generated/bayless_abrahamson_2018_coefficients.hpp"
#include "models/amplification_matrix.hpp"
#include "models/site_triple.hpp"
#include "vector_math/batch_math.hpp"

inline constexpr std::size_t BA18_COLUMNS = 301;

// From data/ba18_site_coefficients.csv, in ascending frequency: BA18_FREQUENCIES (Hz),
// BA18_VS30_EXPONENT (c8; NaN from row 239 on, never read), BA18_NL_AMPLITUDE (f2),
// BA18_NL_VS30_RATE (f3, s/m), BA18_NL_INTENSITY_OFFSET (f4, g).
static_assert(std::size(BA18_FREQUENCIES) == BA18_COLUMNS);

// n x 301 matrix, row i for sites[i], every exp, log and pow taken through `math`; nothing when
// the matrix cannot be allocated.
std::optional<AmplificationMatrix> ba18_amplification(const SiteTriple *sites, std::size_t n, const BatchMath &math);

// The same rows written into a matrix allocated beforehand with 301 columns, row i for sites[i] for
// each of its rows: a caller can secure the matrix before it gathers the sites.
void ba18_amplification_into(const SiteTriple *sites, const BatchMath &math, AmplificationMatrix &matrix);
