#include "models/stewart_hashash_2020.hpp"

#include <cmath>

#include "models/velocity_cache.hpp"

// Every product, quotient, sum and difference below is one double operation in the order
// written; the build disables contraction into fused multiply-add so that results agree to the
// last bit. A value is shared only when it is the same operation on the same operands.

namespace {

constexpr std::size_t COLUMNS = NGA_EAST_COLUMNS;

// Velocities of the linear model (m/s): its reference, the ends of the sigma_v quadratics, the
// hard-rock reference, and the two ends of the f_760 weights with their weights of impedance.
constexpr double V_REF = 760.0, V_L = 200.0, V_U = 2000.0, V_HARD = 3000.0;
constexpr double V_W1 = 600.0, V_W2 = 400.0, WT_1 = 0.767, WT_2 = 0.1;
// The nonlinear term: its velocity shift, its references below and from 0.4 s, and the
// velocities between which sigma_f2 falls from sigma_c to 0 (m/s).
constexpr double NL_SHIFT = 360.0, NL_SHORT_PERIOD_LIMIT = 0.4;
constexpr double SIGMA_F2_LOW = 300.0, SIGMA_F2_HIGH = 1000.0;
// The collapsed median's weights of the -1, 0 and +1 sigma branches.
constexpr double TAIL_WEIGHT = 0.185, CENTRE_WEIGHT = 0.63;

constexpr bool frequencies_are_reciprocal_periods() {
    for (std::size_t j = 0; j < COLUMNS; ++j)
        if (NGA_EAST_FREQUENCIES[j] != 1.0 / NGA_EAST_PERIODS[j]) return false;
    return true;
}
static_assert(frequencies_are_reciprocal_periods());

// What differs between the conventions: f760i and f760is, and whether the median is collapsed.
struct Convention {
    const double *f760i;
    const double *f760is;
    bool collapsed;
};
constexpr Convention MEDIAN{NGA_EAST_F760I, NGA_EAST_F760IS, false};
constexpr Convention COLLAPSED{NGA_EAST_F760I_SMOOTHED, NGA_EAST_F760IS_SMOOTHED, true};

// What a writer writes: the factors, the moved factors or |s(Vs30) - s(Vs30_sim)|.
enum class Output { FACTORS, MOVED, SIGMA };

// What one velocity v gives every column, whatever the PGA.
struct VelocityTerms {
    double linear[COLUMNS];          // F_lin
    double linear_variance[COLUMNS]; // sigma_760^2 + sigma_v^2
    double f2[COLUMNS];              // where v < Vc
    double sigma_f2[COLUMNS];        // where v < 1000 m/s
    double v;
};

// The logarithms a velocity needs: ln(v / 760), ln(v / 2000), ln(v / 400), ln(v / 300).
enum VelocityLog { OVER_REF, OVER_U, OVER_W2, OVER_F2_LOW, VELOCITY_LOGS };

class NgaEastWriter {
public:
    // The per-column and scalar constants, through `math`.
    NgaEastWriter(const BatchMath &math, const Convention &convention) : math_(math), convention_(convention) {
        for (std::size_t j = 0; j < COLUMNS; ++j) {
            fv_low_[j] = NGA_EAST_V1[j] / V_REF;
            fv_high_[j] = NGA_EAST_V2[j] / V_REF;
            nl_reference_[j] = NGA_EAST_PERIODS[j] < NL_SHORT_PERIOD_LIMIT ? V_REF : V_HARD;
            exp_reference_[j] = NGA_EAST_F5[j] * (nl_reference_[j] - NL_SHIFT);
        }
        math_.log(fv_low_, fv_low_, COLUMNS);
        math_.log(fv_high_, fv_high_, COLUMNS);
        math_.exp(exp_reference_, exp_reference_, COLUMNS);
        for (std::size_t j = 0; j < COLUMNS; ++j) {
            fv_low_[j] = NGA_EAST_C[j] * fv_low_[j];    // c ln(V1 / 760)
            fv_high_[j] = NGA_EAST_C[j] * fv_high_[j];  // c ln(V2 / 760), f_v(2000)
        }
        const double ratios[3] = {V_HARD / V_U, V_W1 / V_W2, SIGMA_F2_HIGH / SIGMA_F2_LOW};
        math_.log(ratios, scalar_logs_, 3);
    }

    // The row of a site: the exponent of its factors (moved by epsilon sigma for MOVED) or its sigma.
    void write(const SiteTriple &site, Output output, double epsilon, double *row) {
        auto fill = [this](double v, VelocityTerms &terms) { fill_terms(v, terms); };
        const VelocityTerms &simulation = cache_.get(site.vs30_sim, fill);
        const VelocityTerms &own = cache_.get(site.vs30, fill);
        double rock[COLUMNS];  // ln((PGAr + f3) / f3)
        for (std::size_t j = 0; j < COLUMNS; ++j) rock[j] = (site.pga + NGA_EAST_F3[j]) / NGA_EAST_F3[j];
        math_.log(rock, rock, COLUMNS);
        double own_f[COLUMNS], own_s[COLUMNS], sim_f[COLUMNS], sim_s[COLUMNS];
        totals(own, rock, own_f, own_s);
        totals(simulation, rock, sim_f, sim_s);
        for (std::size_t j = 0; j < COLUMNS; ++j) {
            if (output == Output::SIGMA) {
                row[j] = std::fabs(own_s[j] - sim_s[j]);
            } else if (output == Output::MOVED) {
                row[j] = own_f[j] - sim_f[j] + epsilon * (own_s[j] - sim_s[j]);
            } else {
                row[j] = own_f[j] - sim_f[j];
            }
        }
    }

private:
    // F (collapsed where the convention says) and s of every column of one velocity.
    void totals(const VelocityTerms &terms, const double *rock, double *f, double *s) const {
        for (std::size_t j = 0; j < COLUMNS; ++j) {
            const double f_nl = terms.v < NGA_EAST_VC[j] ? terms.f2[j] * rock[j] : 0.0;
            const double sigma_nl = terms.v < SIGMA_F2_HIGH ? terms.sigma_f2[j] * rock[j] : 0.0;
            f[j] = terms.linear[j] + f_nl;
            s[j] = std::sqrt(terms.linear_variance[j] + sigma_nl * sigma_nl);
        }
        if (!convention_.collapsed) return;
        double below[COLUMNS], above[COLUMNS];
        for (std::size_t j = 0; j < COLUMNS; ++j) below[j] = -s[j];
        math_.exp(below, below, COLUMNS);
        math_.exp(s, above, COLUMNS);
        for (std::size_t j = 0; j < COLUMNS; ++j)
            below[j] = TAIL_WEIGHT * below[j] + CENTRE_WEIGHT + TAIL_WEIGHT * above[j];
        math_.log(below, below, COLUMNS);
        for (std::size_t j = 0; j < COLUMNS; ++j) f[j] = f[j] + below[j];
    }

    // w_imp of f_760's weights. The branches are ordered so that a NaN velocity reaches a
    // logarithm of it and stays NaN, here and below.
    double impedance_weight(double v, const double *logs) const {
        if (v < V_W2) return WT_2;
        if (v >= V_W1) return WT_1;
        return (WT_1 - WT_2) * (logs[OVER_W2] / scalar_logs_[1]) + WT_2;
    }

    // f_v of column j, f760 its f_760.
    double fv(double v, std::size_t j, double f760, const double *logs) const {
        if (v <= NGA_EAST_V1[j]) return fv_low_[j];
        if (v <= NGA_EAST_V2[j]) return NGA_EAST_C[j] * logs[OVER_REF];
        if (v <= V_U) return fv_high_[j];
        if (v >= V_HARD) return -f760;
        return fv_high_[j] - (fv_high_[j] + f760) * (logs[OVER_U] / scalar_logs_[0]);
    }

    // sigma_v of column j.
    double sigma_v(double v, std::size_t j, const double *logs) const {
        const double vc = NGA_EAST_SIGMA_VC[j];
        if (v < NGA_EAST_VF[j]) {
            const double spread = NGA_EAST_SIGMA_L[j] - vc;
            const double d = (v - V_L) / (NGA_EAST_VF[j] - V_L);
            return NGA_EAST_SIGMA_L[j] - 2.0 * spread * d + spread * (d * d);
        }
        if (v <= NGA_EAST_V2[j]) return vc;
        if (v <= V_U) {
            const double d = (v - NGA_EAST_V2[j]) / (V_U - NGA_EAST_V2[j]);
            return vc + (NGA_EAST_SIGMA_U[j] - vc) * (d * d);
        }
        if (v >= V_HARD) return 0.0;
        return NGA_EAST_SIGMA_U[j] * (1.0 - logs[OVER_U] / scalar_logs_[0]);
    }

    // sigma_f2 of column j.
    double sigma_f2(double v, std::size_t j, const double *logs) const {
        const double c = NGA_EAST_SIGMA_C[j];
        if (v < SIGMA_F2_LOW) return c;
        return c - c / scalar_logs_[2] * logs[OVER_F2_LOW];
    }

    void fill_terms(double v, VelocityTerms &terms) const {
        const double ratios[VELOCITY_LOGS] = {v / V_REF, v / V_U, v / V_W2, v / SIGMA_F2_LOW};
        double logs[VELOCITY_LOGS];
        math_.log(ratios, logs, VELOCITY_LOGS);
        terms.v = v;
        const double w_imp = impedance_weight(v, logs);
        const double w_gr = 1.0 - w_imp;
        for (std::size_t j = 0; j < COLUMNS; ++j) {
            const double f760 = w_imp * convention_.f760i[j] + w_gr * NGA_EAST_F760G[j];
            const double sigma_760 = w_imp * convention_.f760is[j] + w_gr * NGA_EAST_F760GS[j];
            const double s_v = sigma_v(v, j, logs);
            terms.linear[j] = fv(v, j, f760, logs) + f760;
            terms.linear_variance[j] = sigma_760 * sigma_760 + s_v * s_v;
            terms.sigma_f2[j] = v < SIGMA_F2_HIGH ? sigma_f2(v, j, logs) : 0.0;
            const double bounded = v < nl_reference_[j] ? v : nl_reference_[j];
            terms.f2[j] = NGA_EAST_F5[j] * (bounded - NL_SHIFT);
        }
        math_.exp(terms.f2, terms.f2, COLUMNS);
        for (std::size_t j = 0; j < COLUMNS; ++j) terms.f2[j] = NGA_EAST_F4[j] * (terms.f2[j] - exp_reference_[j]);
    }

    const BatchMath &math_;
    const Convention &convention_;
    double fv_low_[COLUMNS];         // c ln(V1 / 760)
    double fv_high_[COLUMNS];        // c ln(V2 / 760)
    double nl_reference_[COLUMNS];   // Vref of f2
    double exp_reference_[COLUMNS];  // exp(f5 (Vref - 360))
    double scalar_logs_[3];          // ln(3000 / 2000), ln(600 / 400), ln(1000 / 300)
    VelocityCache<VelocityTerms> cache_;
};

void write_rows(const SiteTriple *sites, std::size_t n, const BatchMath &math, const Convention &convention,
                Output output, double epsilon, double *rows) {
    if (n == 0) return;
    NgaEastWriter writer(math, convention);  // about 3 KiB
    for (std::size_t i = 0; i < n; ++i) writer.write(sites[i], output, epsilon, rows + i * COLUMNS);
    if (output != Output::SIGMA) math.exp(rows, rows, n * COLUMNS);
}

}  // namespace

void nga_east_median_rows(const SiteTriple *sites, std::size_t n, const BatchMath &math, double *rows) {
    write_rows(sites, n, math, MEDIAN, Output::FACTORS, 0.0, rows);
}

void nga_east_collapsed_rows(const SiteTriple *sites, std::size_t n, const BatchMath &math, double *rows) {
    write_rows(sites, n, math, COLLAPSED, Output::FACTORS, 0.0, rows);
}

void nga_east_median_moved_rows(const SiteTriple *sites, std::size_t n, double epsilon, const BatchMath &math,
                                double *rows) {
    write_rows(sites, n, math, MEDIAN, epsilon == 0.0 ? Output::FACTORS : Output::MOVED, epsilon, rows);
}

void nga_east_collapsed_moved_rows(const SiteTriple *sites, std::size_t n, double epsilon, const BatchMath &math,
                                   double *rows) {
    write_rows(sites, n, math, COLLAPSED, epsilon == 0.0 ? Output::FACTORS : Output::MOVED, epsilon, rows);
}

void nga_east_median_sigma_rows(const SiteTriple *sites, std::size_t n, const BatchMath &math, double *rows) {
    write_rows(sites, n, math, MEDIAN, Output::SIGMA, 0.0, rows);
}

void nga_east_collapsed_sigma_rows(const SiteTriple *sites, std::size_t n, const BatchMath &math, double *rows) {
    write_rows(sites, n, math, COLLAPSED, Output::SIGMA, 0.0, rows);
}

namespace {
// "median", the published median and the default; "collapsed", the USGS hazard model's.
constexpr ModelConvention CONVENTIONS[] = {
    {.name = "median", .rows = nga_east_median_rows, .moved = nga_east_median_moved_rows,
     .sigma = nga_east_median_sigma_rows},
    {.name = "collapsed", .rows = nga_east_collapsed_rows, .moved = nga_east_collapsed_moved_rows,
     .sigma = nga_east_collapsed_sigma_rows},
};
}  // namespace

constinit const ModelEntry NGA_EAST_MODEL{"nga_east", NGA_EAST_COLUMNS, NGA_EAST_FREQUENCIES, CONVENTIONS};

namespace {
RegisteredModel registered{NGA_EAST_MODEL};
}  // namespace
