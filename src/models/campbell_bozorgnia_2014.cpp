#include "models/campbell_bozorgnia_2014.hpp"

#include <cmath>

#include "generated/model_constants.hpp"
#include "models/velocity_cache.hpp"

// Every product, sum and difference below is one double operation in the order written; the
// build disables contraction into fused multiply-add so that results agree to the last bit.
// Work is shared between columns and between sites only where the shared value is the same
// operation on the same operands, so every cell is the double the plain formulas give.

namespace {

// CB14_NL_AMPLITUDE (c) and CB14_NL_EXPONENT (n) serve every column and the rock-PGA step; the
// linear lower branches add CB14_MINUS_LN_NL_AMPLITUDE (-ln c).

// The rock-PGA step is the linear site term of PGA, the last column: r = vs30_sim / k1 there
// is t of that column, so it shares the column's logarithms and power.
constexpr std::size_t PGA_COLUMN = CB14_COLUMNS - 1;
constexpr double PGA_K1 = CB14_K1[PGA_COLUMN];
constexpr double PGA_K2 = CB14_K2[PGA_COLUMN];
constexpr double PGA_C11 = CB14_C11[PGA_COLUMN];
// Its upper branch has the slope CB14_PGA_LINEAR_SLOPE (c11 + k2 n) and the value
// CB14_ROCK_SITE_TERM at 1100 m/s.

// Each column's frequency is the double quotient 1 / T of its period.
constexpr bool frequencies_are_reciprocal_periods() {
    for (std::size_t j = 0; j < CB14_COLUMNS; ++j)
        if (CB14_FREQUENCIES[j] != 1.0 / CB14_PERIODS[j]) return false;
    return true;
}
static_assert(frequencies_are_reciprocal_periods());

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
        terms.scaled_power[j] = v <= k1 ? std::pow(s, CB14_NL_EXPONENT) * CB14_NL_AMPLITUDE : 0.0;
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
            if (!shares_k1(j)) lower_log = std::log(terms.scaled_power[j] + 0.0) + CB14_MINUS_LN_NL_AMPLITUDE;
            terms.linear_term[j] = k2 * lower_log + c11 * lt;
        } else {
            terms.linear_term[j] = lt * (c11 + k2 * CB14_NL_EXPONENT);
        }
    }
    // lower_log is now that of the PGA column, the last one.
    const double lr = terms.log_ratio[PGA_COLUMN];
    const double fref = v <= PGA_K1 ? lr * PGA_C11 + lower_log * PGA_K2 : lr * CB14_PGA_LINEAR_SLOPE;
    terms.rock_scale = std::exp(CB14_ROCK_SITE_TERM - fref);
    terms.simulation_ready = true;
}

// The cells of one site from the terms of its two velocities.
void write_row(double vs30, double pga, const VelocityTerms &site, const VelocityTerms &simulation, double *row) {
    double a = 0.0;  // rock PGA
    double g = 0.0;  // ln(c + a)
    if (vs30 <= LARGEST_K1) {
        a = simulation.rock_scale * pga;
        g = std::log(CB14_NL_AMPLITUDE + a);
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
            f_site = ls * (k2 * CB14_NL_EXPONENT + c11);
        }
        row[j] = std::exp(f_site - simulation.linear_term[j]);
    }
}

// Writes the rows of one call, keeping the terms of the velocities seen last.
class Cb14RowWriter {
public:
    void write(const SiteTriple &site, double *row) {
        VelocityTerms &simulation = cache_.get(site.vs30_sim, fill_velocity_terms);
        if (!simulation.simulation_ready) fill_simulation_terms(site.vs30_sim, simulation);
        const VelocityTerms &own = cache_.get(site.vs30, fill_velocity_terms);
        write_row(site.vs30, site.pga, own, simulation, row);
    }

private:
    VelocityCache<VelocityTerms> cache_;
};

}  // namespace

std::optional<AmplificationMatrix> cb14_amplification(const SiteTriple *sites, std::size_t n) {
    auto matrix = AmplificationMatrix::allocate(n, CB14_COLUMNS);
    if (!matrix) return std::nullopt;
    Cb14RowWriter writer;
    for (std::size_t i = 0; i < n; ++i) writer.write(sites[i], matrix->row(i));
    return matrix;
}
