#pragma once

// Site term of the Bayless-Abrahamson (2018) EAS model, as amplification factors from a
// simulation's Vs30 to a site's Vs30 on a grid of 301 frequencies.

#include <cstddef>
#include <optional>

#include "amplification_matrix.hpp"
#include "site_triple.hpp"

inline constexpr std::size_t BA18_COLUMNS = 301;

// Published coefficients, generated at build time from data/ba18_site_coefficients.csv.
extern const double BA18_FREQUENCIES[BA18_COLUMNS];          // Hz, ascending
extern const double BA18_VS30_EXPONENT[BA18_COLUMNS];        // NaN from row 239 on (never read)
extern const double BA18_NL_AMPLITUDE[BA18_COLUMNS];
extern const double BA18_NL_VS30_RATE[BA18_COLUMNS];         // s/m
extern const double BA18_NL_INTENSITY_OFFSET[BA18_COLUMNS];  // g

// A writable row of 301 cells: cell k lives at first[k * stride].
struct Ba18RowView {
    double *first;
    std::ptrdiff_t stride;
};

void ba18_site_row(const SiteTriple &site, Ba18RowView row);

// n x 301 matrix, row i for sites[i]; nothing when the matrix cannot be allocated.
std::optional<AmplificationMatrix> ba18_amplification(const SiteTriple *sites, std::size_t n);
