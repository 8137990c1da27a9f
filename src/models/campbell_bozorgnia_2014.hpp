#pragma once

// Shallow-site term of the Campbell-Bozorgnia (2014) ground-motion model, as amplification
// factors from a simulation's Vs30 to a site's Vs30 on a grid of 22 frequencies.

#include <cstddef>
#include <optional>

#include "amplification_matrix.hpp"
#include "site_triple.hpp"

inline constexpr std::size_t CB14_COLUMNS = 22;

extern const double CB14_FREQUENCIES[CB14_COLUMNS];  // Hz, ascending: 1 / period
extern const double CB14_K1[CB14_COLUMNS];           // m/s
extern const double CB14_K2[CB14_COLUMNS];
extern const double CB14_C11[CB14_COLUMNS];

// Rock PGA (Vs30 1100 m/s) from the simulation's Vs30 and PGA.
double cb14_rock_pga(double vs30_sim, double pga);

// Writes the 22 factors of one site into row[0..21].
void cb14_site_row(const SiteTriple &site, double *row);

// n x 22 matrix, row i for sites[i]; nothing when the matrix cannot be allocated.
std::optional<AmplificationMatrix> cb14_amplification(const SiteTriple *sites, std::size_t n);
