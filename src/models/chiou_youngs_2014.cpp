#include "models/chiou_youngs_2014.hpp"

#include <cmath>
#include <limits>

#include "models/velocity_cache.hpp"

// Every product, quotient, sum and difference below is one double operation in the order
// written; the build disables contraction into fused multiply-add so that results agree to the
// last bit. A value is shared only when it is the same operation on the same operands.

namespace {

constexpr std::size_t COLUMNS = CY14_COLUMNS;

// The reference rock and the nonlinear term's shift (m/s).
constexpr double REFERENCE_VS30 = 1130.0;
constexpr double NL_VS30_SHIFT = 360.0;

// The California Z1 reference: ln Z1ref = -7.15/4 ln((v^4 + 570.94^4) / (1360^4 + 570.94^4)), Z1 in m
// (570.94, not the paper's rounded 571, as the verification figures were computed).
constexpr double Z1_REF_SLOPE = -7.15 / 4.0;
constexpr double Z1_REF_KNEE = 570.94;
constexpr double Z1_REF_ANCHOR = 1360.0;
constexpr double FOURTH_POWER = 4.0;

constexpr bool frequencies_are_reciprocal_periods() {
    for (std::size_t j = 0; j < COLUMNS; ++j)
        if (CY14_FREQUENCIES[j] != 1.0 / CY14_PERIODS[j]) return false;
    return true;
}
static_assert(frequencies_are_reciprocal_periods());

// What one velocity v gives every column, whatever y_ref.
struct VelocityTerms {
    double linear[COLUMNS];  // phi1 min(ln(v / 1130), 0)
    double slope[COLUMNS];   // phi2 (exp(phi3 (v - 360)) - exp(phi3 770)) where v < 1130 m/s, else unset
    bool nonlinear;
};

class Cy14Writer {
public:
    // The per-column constants exp(phi3 (1130 - 360)), through `math`.
    explicit Cy14Writer(const BatchMath &math) : math_(math) {
        for (std::size_t j = 0; j < COLUMNS; ++j) exp_reference_[j] = CY14_PHI3[j] * (REFERENCE_VS30 - NL_VS30_SHIFT);
        math_.exp(exp_reference_, exp_reference_, COLUMNS);
        math_.pow(&Z1_REF_KNEE, &FOURTH_POWER, &knee4_, 1);
        math_.pow(&Z1_REF_ANCHOR, &FOURTH_POWER, &anchor4_, 1);
    }

    // The exponent F(Vs30) - F(Vs30_sim) of every column of a site's row, y_ref being y[j * step].
    void write_exponents(const SiteTriple &site, const double *y, std::size_t step, double *row) {
        auto fill = [this](double v, VelocityTerms &terms) { fill_terms(v, terms); };
        const VelocityTerms &simulation = cache_.get(site.vs30_sim, fill);
        const VelocityTerms &own = cache_.get(site.vs30, fill);
        if (own.nonlinear || simulation.nonlinear) {  // ln((y_ref + phi4) / phi4), read by a nonlinear velocity
            for (std::size_t j = 0; j < COLUMNS; ++j) nl_log_[j] = (y[j * step] + CY14_PHI4[j]) / CY14_PHI4[j];
            math_.log(nl_log_, nl_log_, COLUMNS);
        }
        for (std::size_t j = 0; j < COLUMNS; ++j) row[j] = total(own, j) - total(simulation, j);
    }

    // The same with the basin term of both velocities inside: (F(Vs30) + B(Vs30, z1)) -
    // (F(Vs30_sim) + B(Vs30_sim, z1_sim)), a NaN depth meaning dZ1 = 0 (B = 0).
    void write_basin_exponents(const SiteTriple &site, const double *y, double z1, double z1_sim, double *row) {
        write_exponents(site, y, 1, row);
        const auto fill = [this](double v, VelocityTerms &terms) { fill_terms(v, terms); };
        const VelocityTerms &simulation = cache_.get(site.vs30_sim, fill);
        const VelocityTerms &own = cache_.get(site.vs30, fill);
        basin(site.vs30, z1, basin_own_);
        if (!(site.vs30_sim == simulation_vs30_ && z1_sim == simulation_z1_)) {  // one simulation: computed once
            basin(site.vs30_sim, z1_sim, basin_simulation_);
            simulation_vs30_ = site.vs30_sim;
            simulation_z1_ = z1_sim;
        }
        for (std::size_t j = 0; j < COLUMNS; ++j)
            row[j] = (total(own, j) + basin_own_[j]) - (total(simulation, j) + basin_simulation_[j]);
    }

private:
    double total(const VelocityTerms &terms, std::size_t j) const {
        return terms.nonlinear ? terms.linear[j] + terms.slope[j] * nl_log_[j] : terms.linear[j];
    }

    // One logarithm ln(v / 1130) for every column (NaN stays NaN), and below 1130 m/s one batch of
    // exponentials for the nonlinear slope.
    void fill_terms(double v, VelocityTerms &terms) const {
        const double ratio = v / REFERENCE_VS30;
        double log_ratio;
        math_.log(&ratio, &log_ratio, 1);
        const double clamped = log_ratio > 0.0 ? 0.0 : log_ratio;
        for (std::size_t j = 0; j < COLUMNS; ++j) terms.linear[j] = CY14_PHI1[j] * clamped;
        terms.nonlinear = v < REFERENCE_VS30;
        if (!terms.nonlinear) return;
        for (std::size_t j = 0; j < COLUMNS; ++j) terms.slope[j] = CY14_PHI3[j] * (v - NL_VS30_SHIFT);
        math_.exp(terms.slope, terms.slope, COLUMNS);
        for (std::size_t j = 0; j < COLUMNS; ++j)
            terms.slope[j] = CY14_PHI2[j] * (terms.slope[j] - exp_reference_[j]);
    }

    // B(v, z1) = phi5 (1 - exp(-dZ1 / phi6)) of every column, dZ1 = z1 - Z1ref(v); zero for a NaN z1.
    void basin(double v, double z1, double *terms) const {
        if (std::isnan(z1)) {
            for (std::size_t j = 0; j < COLUMNS; ++j) terms[j] = 0.0;
            return;
        }
        double v4;
        math_.pow(&v, &FOURTH_POWER, &v4, 1);
        double z1_ref = (v4 + knee4_) / (anchor4_ + knee4_);
        math_.log(&z1_ref, &z1_ref, 1);
        z1_ref = Z1_REF_SLOPE * z1_ref;
        math_.exp(&z1_ref, &z1_ref, 1);
        const double depth = z1 - z1_ref;
        for (std::size_t j = 0; j < COLUMNS; ++j) terms[j] = -depth / CY14_PHI6[j];
        math_.exp(terms, terms, COLUMNS);
        for (std::size_t j = 0; j < COLUMNS; ++j) terms[j] = CY14_PHI5[j] * (1.0 - terms[j]);
    }

    const BatchMath &math_;
    double knee4_ = 0.0, anchor4_ = 0.0;  // 570.94^4 and 1360^4, the C library's pow
    double basin_own_[COLUMNS] = {}, basin_simulation_[COLUMNS] = {};
    double simulation_vs30_ = std::numeric_limits<double>::quiet_NaN(), simulation_z1_ = simulation_vs30_;  // of basin_simulation_
    double exp_reference_[COLUMNS];  // exp(phi3 (1130 - 360))
    double nl_log_[COLUMNS] = {};    // ln((y_ref + phi4) / phi4) of the current site
    VelocityCache<VelocityTerms> cache_;
};

}  // namespace

void cy14_rows(const SiteTriple *sites, std::size_t n, const BatchMath &math, double *rows) {
    if (n == 0) return;
    Cy14Writer writer(math);
    for (std::size_t i = 0; i < n; ++i) writer.write_exponents(sites[i], &sites[i].pga, 0, rows + i * COLUMNS);
    math.exp(rows, rows, n * COLUMNS);
}

void cy14_column_rows(const SiteTriple *sites, const double *y_ref, std::size_t n, const BatchMath &math,
                      double *rows) {
    if (n == 0) return;
    Cy14Writer writer(math);
    for (std::size_t i = 0; i < n; ++i)
        writer.write_exponents(sites[i], y_ref + i * COLUMNS, 1, rows + i * COLUMNS);
    math.exp(rows, rows, n * COLUMNS);
}

void cy14_basin_rows(const SiteTriple *sites, const double *y_ref, const double *z1, const double *z1_sim,
                     std::size_t n, const BatchMath &math, double *rows) {
    if (n == 0) return;
    Cy14Writer writer(math);
    for (std::size_t i = 0; i < n; ++i)
        writer.write_basin_exponents(sites[i], y_ref + i * COLUMNS, z1[i], z1_sim[i], rows + i * COLUMNS);
    math.exp(rows, rows, n * COLUMNS);
}

namespace {
// The published site term; with Z1 given, its basin term too (outside Japan).
constexpr ModelConvention CONVENTIONS[] = {
    {.name = "module", .rows = cy14_rows, .column_rows = cy14_column_rows, .basin_rows = cy14_basin_rows}};
}  // namespace

constinit const ModelEntry CY14_MODEL{"cy14", CY14_COLUMNS, CY14_FREQUENCIES, CONVENTIONS};

namespace {
RegisteredModel registered{CY14_MODEL};
}  // namespace
