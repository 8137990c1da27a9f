#pragma once

// Site term of the Boore-Stewart-Seyhan-Atkinson (2014) ground-motion model, as amplification
// factors from a simulation's Vs30 to a site's Vs30 on the model's 105 spectral periods.
//
// Boore, D. M., Stewart, J. P., Seyhan, E. and Atkinson, G. M. (2014). NGA-West2 equations for
// predicting PGA, PGV, and 5% damped PSA for shallow crustal earthquakes. Earthquake Spectra
// 30(3), 1057-1085. doi:10.1193/070113EQS184M. Its site term is the model of Seyhan, E. and
// Stewart, J. P. (2014), Earthquake Spectra 30(3), 1241-1256.
//
// The factor of a cell is exp(F(Vs30) - F(Vs30_sim)), in the paper's symbols F = F_lin + F_nl:
// - F_lin = c ln(min(Vs30, Vc) / Vref), Vref = 760 m/s;
// - F_nl = f1 + f2 ln((PGAr + f3) / f3), f2 = f4 (exp(f5 (min(Vs30, 760) - 360)) - exp(f5 (760 - 360))),
//   PGAr the PGA on 760 m/s rock (g), the same at both velocities. f2 is zero from 760 m/s on,
//   and there F_nl is f1 whatever the PGA.
// The basin term (with z1) is not used. Published range of applicability: Vs30 from 150 to
// 1500 m/s. Nothing is range-checked here: values outside it are computed as given.

#include <cstddef>
#include <iterator>

#include "generated/bssa14_site_coefficients.hpp"
#include "models/model_table.hpp"
#include "models/site_triple.hpp"
#include "vector_math/batch_math.hpp"

inline constexpr std::size_t BSSA14_COLUMNS = BSSA14_ROWS;

// Generated from data/bssa14_site_coefficients.csv as arrays named after the columns' published
// symbols, in ascending frequency: BSSA14_C (c), BSSA14_VC (Vc, m/s), BSSA14_VREF (Vref, m/s),
// BSSA14_F1 to BSSA14_F5 (f1, f3 in g, f4, f5 in s/m), and the grid, read by its role. The table's
// PGA and PGV rows are not spectral periods and are not in it.
inline constexpr const auto &BSSA14_PERIODS = BSSA14_PERIOD_S;         // T (s)
inline constexpr const auto &BSSA14_FREQUENCIES = BSSA14_FREQUENCY_HZ;  // 1 / T (Hz)
static_assert(std::size(BSSA14_FREQUENCIES) == BSSA14_COLUMNS);

// The n rows written into storage of n x 105 doubles that the caller owns, row i for sites[i],
// every exp and log taken through `math`; the site's pga is PGAr.
void bssa14_rows(const SiteTriple *sites, std::size_t n, const BatchMath &math, double *rows);

// The model's entry of the table (model_table.hpp): "bssa14", one convention, "module".
extern const ModelEntry BSSA14_MODEL;
