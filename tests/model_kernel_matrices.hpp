#pragma once

// The models' kernels as whole matrices, for the tests and the benchmark (kernel_paths.cpp): the
// module itself writes into a matrix it secured before gathering the sites.

#include <cstddef>
#include <optional>

#include "models/amplification_matrix.hpp"
#include "models/bayless_abrahamson_2018.hpp"
#include "models/campbell_bozorgnia_2014.hpp"

// n x 22 matrix, row i for sites[i], every exp, log and pow taken through `math`; nothing when
// the matrix cannot be allocated.
inline std::optional<AmplificationMatrix> cb14_amplification(const SiteTriple *sites, std::size_t n,
                                                             const BatchMath &math) {
    auto matrix = AmplificationMatrix::allocate(n, CB14_COLUMNS);
    if (matrix) cb14_amplification_into(sites, math, *matrix);
    return matrix;
}

// n x 301 matrix, row i for sites[i] under `convention`; nothing when the matrix cannot be
// allocated.
inline std::optional<AmplificationMatrix> ba18_amplification(const SiteTriple *sites, std::size_t n,
                                                             const BatchMath &math, const Ba18Convention &convention) {
    auto matrix = AmplificationMatrix::allocate(n, BA18_COLUMNS);
    if (matrix && n > 0) ba18_rows(sites, n, math, convention, matrix->row(0));
    return matrix;
}
