#pragma once

// The NGA-East site amplification model, as factors from a simulation's Vs30 to a site's Vs30 on
// the model's 22 spectral periods, with the model's epistemic uncertainty.
//
// Linear: Stewart, J. P., Parker, G. A., Atkinson, G. M., Boore, D. M., Hashash, Y. M. A. and
// Silva, W. J. (2020). Ergodic site amplification model for central and eastern North America.
// Earthquake Spectra 36(1), 42-68. doi:10.1177/8755293019878185.
// Nonlinear: Hashash, Y. M. A., Ilhan, O., Harmon, J. A., Parker, G. A., Stewart, J. P., Rathje,
// E. M., Campbell, K. W. and Silva, W. J. (2020). Nonlinear site amplification model for ergodic
// seismic hazard analysis in central and eastern North America. Earthquake Spectra 36(1), 69-86.
// doi:10.1177/8755293019878193.
//
// In the papers' symbols, F = F_lin + F_nl is the ln amplification relative to 3000 m/s rock:
// - F_lin = f_v + f_760; f_760 = w_imp f760i + w_gr f760g, w_gr = 1 - w_imp, w_imp 0.1 below
//   400 m/s, 0.767 from 600 m/s, (0.767 - 0.1) ln(Vs30 / 400) / ln(600 / 400) + 0.1 between;
//   f_v = c ln(min(max(Vs30, V1), V2) / 760) up to 2000 m/s, f_v(2000) - (f_v(2000) + f_760)
//   ln(Vs30 / 2000) / ln(3000 / 2000) up to 3000 m/s, -f_760 from there (F_lin = 0);
// - F_nl = f2 ln((PGAr + f3) / f3) below Vc, zero from Vc; f2 = f4 (exp(f5 (min(Vs30, Vref) -
//   360)) - exp(f5 (Vref - 360))), Vref 760 m/s below 0.4 s and 3000 m/s from 0.4 s; PGAr the
//   PGA on 3000 m/s rock (g), the same at both velocities.
// Its epistemic sigma s = sqrt(sigma_760^2 + sigma_v^2 + (sigma_f2 ln((PGAr + f3) / f3))^2):
// sigma_760 weighted as f_760 from f760is and f760gs; sigma_v quadratic from sigma_L at 200 m/s
// to sigma_vc at Vf, sigma_vc to V2, quadratic up to sigma_U at 2000 m/s, falling in ln Vs30 to 0
// at 3000 m/s and 0 above; sigma_f2 = sigma_c below 300 m/s, falling in ln Vs30 to 0 at 1000 m/s.
//
// The conventions: "median", F itself; "collapsed", the USGS hazard model's median F + ln(0.185
// e^-s + 0.63 + 0.185 e^s), with f760i and f760is at 0.1 s smoothed as that model has them. A
// factor is exp(F(Vs30) - F(Vs30_sim)), moved by epsilon sigma: + epsilon (s(Vs30) - s(Vs30_sim)).
// Nothing is range-checked here: values outside the range of applicability are computed as given.

#include <cstddef>
#include <iterator>

#include "generated/nga_east_site_coefficients.hpp"
#include "models/model_table.hpp"
#include "models/site_triple.hpp"
#include "vector_math/batch_math.hpp"

inline constexpr std::size_t NGA_EAST_COLUMNS = NGA_EAST_ROWS;

// Generated from data/nga_east_site_coefficients.csv as arrays named after the columns' published
// symbols, in ascending frequency; the grid read by its role.
inline constexpr const auto &NGA_EAST_PERIODS = NGA_EAST_PERIOD_S;         // T (s)
inline constexpr const auto &NGA_EAST_FREQUENCIES = NGA_EAST_FREQUENCY_HZ;  // 1 / T (Hz)
static_assert(std::size(NGA_EAST_FREQUENCIES) == NGA_EAST_COLUMNS);

// The n rows of each convention written into storage of n x 22 doubles that the caller owns,
// row i for sites[i], every exp and log taken through `math`; the site's pga is PGAr.
void nga_east_median_rows(const SiteTriple *sites, std::size_t n, const BatchMath &math, double *rows);
void nga_east_collapsed_rows(const SiteTriple *sites, std::size_t n, const BatchMath &math, double *rows);
// The factors moved by epsilon sigma.
void nga_east_median_moved_rows(const SiteTriple *sites, std::size_t n, double epsilon, const BatchMath &math,
                                double *rows);
void nga_east_collapsed_moved_rows(const SiteTriple *sites, std::size_t n, double epsilon, const BatchMath &math,
                                   double *rows);
// |s(Vs30) - s(Vs30_sim)| (ln units).
void nga_east_median_sigma_rows(const SiteTriple *sites, std::size_t n, const BatchMath &math, double *rows);
void nga_east_collapsed_sigma_rows(const SiteTriple *sites, std::size_t n, const BatchMath &math, double *rows);

// The model's entry of the table (model_table.hpp): "nga_east", "median" then "collapsed".
extern const ModelEntry NGA_EAST_MODEL;
