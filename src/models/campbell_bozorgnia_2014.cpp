#include "models/campbell_bozorgnia_2014.hpp"

#include <cmath>

#include "models/velocity_cache.hpp"

// Every product, sum and difference below is one double operation in the order written; the
// build disables contraction into fused multiply-add so that results agree to the last bit.
// Work is shared between columns and between sites only where the shared value is the same
// operation on the same operands, so every cell is the double the plain formulas give.

// Columns in ascending frequency; each frequency is the double quotient 1 / T of the model's
// spectral period T (10 s down to 0.001 s).
constexpr double CB14_FREQUENCIES[CB14_COLUMNS] = {
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

constexpr double CB14_K1[CB14_COLUMNS] = {
    400.0, 400.0, 400.0, 400.0, 400.0, 400.0, 400.0,  400.0,  410.0, 457.0, 503.0,
    587.0, 654.0, 748.0, 878.0, 1032.0, 1086.0, 1054.0, 908.0, 865.0, 865.0, 865.0,
};

constexpr double CB14_K2[CB14_COLUMNS] = {
    0.0,    0.0,    0.0,    0.0,    0.0,    -0.299, -1.025, -1.955, -2.401, -2.669, -2.657,
    -2.518, -2.381, -2.188, -1.931, -1.624, -1.471, -1.346, -1.273, -1.219, -1.186, -1.186,
};

constexpr double CB14_C11[CB14_COLUMNS] = {
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

// ---- Sharing work between columns ------------------------------------------------------------
//
// Everything a column computes from a velocity v before its k2 and c11 enter (v / k1, its
// logarithm, its power and the logarithm of that) depends on v and k1 alone. Columns with the
// k1 of the column before them (400 m/s in columns 0-7, 865 m/s in columns 19-21) take those
// values from it: the same C library call on the same argument returns the same double.

constexpr bool shares_k1(std::size_t j) { return j > 0 && CB14_K1[j] == CB14_K1[j - 1]; }

constexpr double largest_k1() {
    double largest = CB14_K1[0];
    for (double k1 : CB14_K1) largest = k1 > largest ? k1 : largest;
    return largest;
}
// A site velocity above every k1 (or NaN) takes the upper branch in every column, which reads
// neither the rock PGA nor ln(c + A).
constexpr double LARGEST_K1 = largest_k1();

// The rock-PGA step is the linear site term of its own column: r = vs30_sim / 865 is t of that
// column, so it shares the column's logarithms and power.
constexpr std::size_t PGA_COLUMN = CB14_COLUMNS - 1;
static_assert(CB14_K1[PGA_COLUMN] == PGA_K1 && CB14_K2[PGA_COLUMN] == PGA_K2 && CB14_C11[PGA_COLUMN] == PGA_C11);

// What one velocity v gives every column, whatever the PGA, and, once it has served as a
// simulation Vs30, its linear site terms and rock-PGA scale.
struct VelocityTerms {
    double log_ratio[CB14_COLUMNS];     // ln(v / k1)
    double scaled_power[CB14_COLUMNS];  // (v / k1)^n * c where v <= k1; unused elsewhere
    bool simulation_ready;              // the two members below are filled
    double linear_term[CB14_COLUMNS];   // the site term at v with a rock amplitude of zero
    double rock_scale;                  // exp(rock site term - linear PGA site term at v)
};

void fill_velocity_terms(double v, VelocityTerms &terms) {
    for (std::size_t j = 0; j < CB14_COLUMNS; ++j) {
        if (shares_k1(j)) {
            terms.log_ratio[j] = terms.log_ratio[j - 1];
            terms.scaled_power[j] = terms.scaled_power[j - 1];
            continue;
        }
        const double k1 = CB14_K1[j];
        const double s = v / k1;
        terms.log_ratio[j] = std::log(s);
        terms.scaled_power[j] = v <= k1 ? std::pow(s, NL_EXPONENT) * NL_AMPLITUDE : 0.0;
    }
    terms.simulation_ready = false;
}

// The site terms at the simulation's Vs30 (rock amplitude zero) and the rock-PGA scale.
void fill_simulation_terms(double v, VelocityTerms &terms) {
    double lower_log = 0.0;  // ln((v / k1)^n * c + 0) - ln c of the current k1, where v <= k1
    for (std::size_t j = 0; j < CB14_COLUMNS; ++j) {
        const double k1 = CB14_K1[j];
        const double k2 = CB14_K2[j];
        const double c11 = CB14_C11[j];
        const double lt = terms.log_ratio[j];
        if (v <= k1) {
            if (!shares_k1(j)) lower_log = std::log(terms.scaled_power[j] + 0.0) + MINUS_LN_NL_AMPLITUDE;
            terms.linear_term[j] = k2 * lower_log + c11 * lt;
        } else {
            terms.linear_term[j] = lt * (c11 + k2 * NL_EXPONENT);
        }
    }
    // lower_log is now that of the PGA column, the last one.
    const double lr = terms.log_ratio[PGA_COLUMN];
    const double fref = v <= PGA_K1 ? lr * PGA_C11 + lower_log * PGA_K2 : lr * PGA_LINEAR_SLOPE;
    terms.rock_scale = std::exp(PGA_ROCK_SITE_TERM - fref);
    terms.simulation_ready = true;
}

// The cells of one site from the terms of its two velocities.
void write_row(double vs30, double pga, const VelocityTerms &site, const VelocityTerms &simulation, double *row) {
    double a = 0.0;  // rock PGA
    double g = 0.0;  // ln(c + a)
    if (vs30 <= LARGEST_K1) {
        a = simulation.rock_scale * pga;
        g = std::log(NL_AMPLITUDE + a);
    }
    double lower_log = 0.0;  // ln((v / k1)^n * c + a) - g of the current k1, where vs30 <= k1
    for (std::size_t j = 0; j < CB14_COLUMNS; ++j) {
        const double k1 = CB14_K1[j];
        const double k2 = CB14_K2[j];
        const double c11 = CB14_C11[j];
        const double ls = site.log_ratio[j];
        double f_site;
        if (vs30 <= k1) {
            if (!shares_k1(j)) lower_log = std::log(site.scaled_power[j] + a) - g;
            f_site = ls * c11 + lower_log * k2;
        } else {
            f_site = ls * (k2 * NL_EXPONENT + c11);
        }
        row[j] = std::exp(f_site - simulation.linear_term[j]);
    }
}

// Per-call state: the terms of the velocities seen last.
class Cb14Pass {
public:
    void site_row(const SiteTriple &site, double *row) {
        VelocityTerms &simulation = cache_.get(site.vs30_sim, fill_velocity_terms);
        if (!simulation.simulation_ready) fill_simulation_terms(site.vs30_sim, simulation);
        const VelocityTerms &own = cache_.get(site.vs30, fill_velocity_terms);
        write_row(site.vs30, site.pga, own, simulation, row);
    }

private:
    VelocityCache<VelocityTerms> cache_;
};

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

void cb14_site_row(const SiteTriple &site, double *row) { Cb14Pass().site_row(site, row); }

std::optional<AmplificationMatrix> cb14_amplification(const SiteTriple *sites, std::size_t n) {
    auto matrix = AmplificationMatrix::allocate(n, CB14_COLUMNS);
    if (!matrix) return std::nullopt;
    Cb14Pass pass;
    for (std::size_t i = 0; i < n; ++i) pass.site_row(sites[i], matrix->row(i));
    return matrix;
}
