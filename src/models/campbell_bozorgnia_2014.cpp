#include "models/campbell_bozorgnia_2014.hpp"

#include <cmath>

// Every product, sum and difference below is one double operation in the order written; the
// build disables contraction into fused multiply-add so that results agree to the last bit.

// Columns in ascending frequency; each frequency is the double quotient 1 / T of the model's
// spectral period T (10 s down to 0.001 s).
const double CB14_FREQUENCIES[CB14_COLUMNS] = {
    0.1,                 // T = 10
    0.13333333333333333, // T = 7.5
    0.2,                 // T = 5
    0.25,                // T = 4
    0.3333333333333333,  // T = 3
    0.5,                 // T = 2
    0.6666666666666666,  // T = 1.5
    1.0,                 // T = 1
    1.3333333333333333,  // T = 0.75
    2.0,                 // T = 0.5
    2.5,                 // T = 0.4
    3.3333333333333335,  // T = 0.3
    4.0,                 // T = 0.25
    5.0,                 // T = 0.2
    6.666666666666667,   // T = 0.15
    10.0,                // T = 0.1
    13.333333333333334,  // T = 0.075
    20.0,                // T = 0.05
    33.333333333333336,  // T = 0.03
    50.0,                // T = 0.02
    100.0,               // T = 0.01
    1000.0,              // T = 0.001 (PGA)
};

const double CB14_K1[CB14_COLUMNS] = {
    400.0, 400.0, 400.0, 400.0, 400.0, 400.0, 400.0,  400.0,  410.0, 457.0, 503.0,
    587.0, 654.0, 748.0, 878.0, 1032.0, 1086.0, 1054.0, 908.0, 865.0, 865.0, 865.0,
};

const double CB14_K2[CB14_COLUMNS] = {
    0.0,    0.0,    0.0,    0.0,    0.0,    -0.299, -1.025, -1.955, -2.401, -2.669, -2.657,
    -2.518, -2.381, -2.188, -1.931, -1.624, -1.471, -1.346, -1.273, -1.219, -1.186, -1.186,
};

const double CB14_C11[CB14_COLUMNS] = {
    -0.576, -0.664, -0.748, -0.793, -0.848, -0.514, 0.33,  1.447, 1.995, 2.355, 2.398,
    2.306,  2.205,  2.069,  1.877,  1.615,  1.535,  1.449, 1.29,  1.149, 1.094, 1.09,
};

namespace {

// Shared by every column and by the rock-PGA step.
constexpr double NL_AMPLITUDE = 1.88;  // c
constexpr double NL_EXPONENT = 1.18;   // n
// ln c, as a double; the linear lower branches add its negation.
constexpr double MINUS_LN_NL_AMPLITUDE = -0.6312717768418578;

// Site term of PGA (the 1000 Hz column) as the rock-PGA step uses it.
constexpr double PGA_K1 = 865.0;
constexpr double PGA_K2 = -1.186;
constexpr double PGA_C11 = 1.09;
// c11 + k2 * n of PGA, as a double: the slope of the upper branch.
constexpr double PGA_LINEAR_SLOPE = -0.30947999999999976;
// The linear PGA site term at 1100 m/s: PGA_LINEAR_SLOPE * ln(1100 / 865), as a double.
constexpr double PGA_ROCK_SITE_TERM = -0.07437917037995617;

// Site term of one column at velocity v with rock amplitude a. The lower branch subtracts
// g = ln(c + a), computed once per site by the caller.
double site_term(double v, double k1, double k2, double c11, double a, double g) {
    const double s = v / k1;
    const double ls = std::log(s);
    if (v <= k1) {
        return ls * c11 + (std::log(std::pow(s, NL_EXPONENT) * NL_AMPLITUDE + a) - g) * k2;
    }
    return ls * (k2 * NL_EXPONENT + c11);
}

// Site term of one column at velocity v with a rock amplitude of zero (the linear form).
double linear_site_term(double v, double k1, double k2, double c11) {
    const double t = v / k1;
    const double lt = std::log(t);
    if (v <= k1) {
        return k2 * (std::log(std::pow(t, NL_EXPONENT) * NL_AMPLITUDE + 0.0) + MINUS_LN_NL_AMPLITUDE) +
               c11 * lt;
    }
    return lt * (c11 + k2 * NL_EXPONENT);
}

}  // namespace

double cb14_rock_pga(double vs30_sim, double pga) {
    const double r = vs30_sim / PGA_K1;
    const double lr = std::log(r);
    double fref;
    if (vs30_sim <= PGA_K1) {
        fref = lr * PGA_C11 +
               (std::log(std::pow(r, NL_EXPONENT) * NL_AMPLITUDE + 0.0) + MINUS_LN_NL_AMPLITUDE) * PGA_K2;
    } else {
        fref = lr * PGA_LINEAR_SLOPE;
    }
    return std::exp(PGA_ROCK_SITE_TERM - fref) * pga;
}

void cb14_site_row(const SiteTriple &site, double *row) {
    const double a = cb14_rock_pga(site.vs30_sim, site.pga);
    const double g = std::log(NL_AMPLITUDE + a);
    for (std::size_t j = 0; j < CB14_COLUMNS; ++j) {
        const double k1 = CB14_K1[j];
        const double k2 = CB14_K2[j];
        const double c11 = CB14_C11[j];
        const double f_site = site_term(site.vs30, k1, k2, c11, a, g);
        const double f_sim = linear_site_term(site.vs30_sim, k1, k2, c11);
        row[j] = std::exp(f_site - f_sim);
    }
}

std::optional<AmplificationMatrix> cb14_amplification(const SiteTriple *sites, std::size_t n) {
    auto matrix = AmplificationMatrix::allocate(n, CB14_COLUMNS);
    if (!matrix) return std::nullopt;
    for (std::size_t i = 0; i < n; ++i) cb14_site_row(sites[i], matrix->row(i));
    return matrix;
}
