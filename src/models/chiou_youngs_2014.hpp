#pragma once

// Site term of the Chiou and Youngs (2014) ground-motion model, as amplification factors from a
// simulation's Vs30 to a site's Vs30 on the model's 24 spectral periods.
//
// Chiou, B. S.-J. and Youngs, R. R. (2014). Update of the Chiou and Youngs NGA model for the
// average horizontal component of peak ground motion and response spectra. Earthquake Spectra
// 30(3), 1117-1153. doi:10.1193/072813EQS219M.
//
// The factor of a cell is exp(F(Vs30) - F(Vs30_sim)), in the paper's symbols (its equation 13b
// without eta and the basin term)
//   F = phi1 min(ln(Vs30 / 1130), 0)
//       + phi2 (exp(phi3 (min(Vs30, 1130) - 360)) - exp(phi3 (1130 - 360))) ln((y_ref + phi4) / phi4),
// y_ref the PSA (g) on 1130 m/s rock at the same period, the same at both velocities. From
// 1130 m/s on both terms are zero, the nonlinear one whatever y_ref. With the sites' Z1 (m) given
// at both velocities (cy14_basin_rows) the basin term B = phi5 (1 - exp(-dZ1 / phi6)) enters the
// one exp: exp((F + B)(Vs30, z1) - (F + B)(Vs30_sim, z1_sim)), dZ1 = Z1 - Z1ref(Vs30) with the
// California reference; a NaN Z1 is not given, dZ1 = 0 and B = 0, as the model's default. The
// Japan reference is not offered. Published range of applicability:
// Vs30 from 180 to 1500 m/s. Nothing is range-checked here.

#include <cstddef>
#include <iterator>

#include "generated/cy14_site_coefficients.hpp"
#include "models/model_table.hpp"
#include "models/site_triple.hpp"
#include "vector_math/batch_math.hpp"

inline constexpr std::size_t CY14_COLUMNS = CY14_ROWS;

// Generated from data/cy14_site_coefficients.csv in ascending frequency: CY14_PHI1 to CY14_PHI4
// (phi3 in s/m, phi4 in g) and the grid, read by its role.
inline constexpr const auto &CY14_PERIODS = CY14_PERIOD_S;         // T (s)
inline constexpr const auto &CY14_FREQUENCIES = CY14_FREQUENCY_HZ;  // 1 / T (Hz)
static_assert(std::size(CY14_FREQUENCIES) == CY14_COLUMNS);

// The n rows written into storage of n x 24 doubles that the caller owns, row i for sites[i],
// every exp and log taken through `math`: with the site's pga as y_ref at every period, or with
// y_ref[i * 24 + j] at period j.
void cy14_rows(const SiteTriple *sites, std::size_t n, const BatchMath &math, double *rows);
void cy14_column_rows(const SiteTriple *sites, const double *y_ref, std::size_t n, const BatchMath &math, double *rows);
// The same as cy14_column_rows with the basin term: z1[i] and z1_sim[i] (m, NaN for not given).
void cy14_basin_rows(const SiteTriple *sites, const double *y_ref, const double *z1, const double *z1_sim,
                     std::size_t n, const BatchMath &math, double *rows);

// The model's entry of the table (model_table.hpp): "cy14", one convention, "module".
extern const ModelEntry CY14_MODEL;
