#pragma once

// Shallow-site term of the Campbell-Bozorgnia (2014) ground-motion model, as amplification
// factors from a simulation's Vs30 to a site's Vs30 on a grid of 22 frequencies.
//
// Campbell, K. W. and Bozorgnia, Y. (2014). NGA-West2 ground motion model for the average
// horizontal components of PGA, PGV, and 5% damped linear acceleration response spectra.
// Earthquake Spectra 30(3), 1087-1115. doi:10.1193/062913EQS175M
//
// The factor of a cell is exp(f_site,G(Vs30, A1100) - f_site,G(Vs30_sim, 0)), with f_site,G the
// shallow-site term of the model's site response (equations 17 and 18: its linear scaling above
// k1, its nonlinear term below) and A1100 the PGA on rock of 1100 m/s, here the simulation's PGA
// moved to that rock with the linear site term of PGA. The Japan adjustment (S_J, equation 19)
// is not used.
// Published range of applicability: Vs30 from 150 to 1500 m/s. Nothing is range-checked here:
// values outside it are computed as given.

#include <cstddef>
#include <iterator>

#include "generated/cb14_site_coefficients.hpp"
#include "models/amplification_matrix.hpp"
#include "models/model_table.hpp"
#include "models/site_triple.hpp"
#include "vector_math/batch_math.hpp"

inline constexpr std::size_t CB14_COLUMNS = CB14_ROWS;

// Generated from data/cb14_site_coefficients.csv as arrays named after the columns' published
// symbols, in ascending frequency: CB14_K1 (k1, m/s), CB14_K2 (k2), CB14_C11 (c11), and the grid,
// read by its role. The last row is PGA.
inline constexpr const auto &CB14_PERIODS = CB14_PERIOD_S;         // T (s)
inline constexpr const auto &CB14_FREQUENCIES = CB14_FREQUENCY_HZ;  // 1 / T (Hz)
static_assert(std::size(CB14_FREQUENCIES) == CB14_COLUMNS);

// The n rows written into storage of n x 22 doubles that the caller owns, row i for sites[i], every
// exp, log and pow taken through `math`; and the same into a matrix allocated beforehand with 22
// columns, one row for each of its rows, so that a caller can secure the matrix before it gathers
// the sites.
void cb14_rows(const SiteTriple *sites, std::size_t n, const BatchMath &math, double *rows);
void cb14_amplification_into(const SiteTriple *sites, const BatchMath &math, AmplificationMatrix &matrix);

// The model's entry of the table (model_table.hpp): "cb14", one convention, "module".
extern const ModelEntry CB14_MODEL;
