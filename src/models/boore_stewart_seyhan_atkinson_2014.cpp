#include "models/boore_stewart_seyhan_atkinson_2014.hpp"

#include "models/velocity_cache.hpp"

// Every product, quotient, sum and difference below is one double operation in the order
// written; the build disables contraction into fused multiply-add so that results agree to the
// last bit. A value is shared only when it is the same operation on the same operands.

namespace {

constexpr std::size_t COLUMNS = BSSA14_COLUMNS;

// F_nl's velocity bound and shift (m/s): f2 = f4 (exp(f5 (min(Vs30, 760) - 360)) - exp(f5 400)).
constexpr double NL_VS30_LIMIT = 760.0;
constexpr double NL_VS30_SHIFT = 360.0;

constexpr bool frequencies_are_reciprocal_periods() {
    for (std::size_t j = 0; j < COLUMNS; ++j)
        if (BSSA14_FREQUENCIES[j] != 1.0 / BSSA14_PERIODS[j]) return false;
    return true;
}
static_assert(frequencies_are_reciprocal_periods());

// One Vref and one f3 for every period: ln(Vs30 / Vref) serves every column where Vs30 <= Vc,
// and ln((PGAr + f3) / f3) every column of a site.
constexpr bool same_in_every_column(const double (&column)[COLUMNS]) {
    for (double value : column)
        if (value != column[0]) return false;
    return true;
}
static_assert(same_in_every_column(BSSA14_VREF) && same_in_every_column(BSSA14_F3));
constexpr double VREF = BSSA14_VREF[0];
constexpr double F3 = BSSA14_F3[0];

// What one velocity v gives every column, whatever the PGA.
struct VelocityTerms {
    double linear[COLUMNS];  // F_lin = c ln(min(v, Vc) / Vref)
    double f2[COLUMNS];      // where v < 760 m/s (nonlinear), else unset
    bool nonlinear;
};

class Bssa14Writer {
public:
    // The per-column constants ln(Vc / Vref) and exp(f5 (760 - 360)), through `math`.
    explicit Bssa14Writer(const BatchMath &math) : math_(math) {
        for (std::size_t j = 0; j < COLUMNS; ++j) {
            log_vc_ratio_[j] = BSSA14_VC[j] / VREF;
            exp_reference_[j] = BSSA14_F5[j] * (NL_VS30_LIMIT - NL_VS30_SHIFT);
        }
        math_.log(log_vc_ratio_, log_vc_ratio_, COLUMNS);
        math_.exp(exp_reference_, exp_reference_, COLUMNS);
    }

    // The exponent F(Vs30) - F(Vs30_sim) of every column of a site's row.
    void write_exponents(const SiteTriple &site, double *row) {
        auto fill = [this](double v, VelocityTerms &terms) { fill_terms(v, terms); };
        const VelocityTerms &simulation = cache_.get(site.vs30_sim, fill);
        const VelocityTerms &own = cache_.get(site.vs30, fill);
        double nl_log = 0.0;  // ln((PGAr + f3) / f3), read only by a nonlinear velocity
        if (own.nonlinear || simulation.nonlinear) {
            const double base = (site.pga + F3) / F3;
            math_.log(&base, &nl_log, 1);
        }
        for (std::size_t j = 0; j < COLUMNS; ++j)
            row[j] = total(own, j, nl_log) - total(simulation, j, nl_log);
    }

private:
    // F = F_lin + F_nl of one column.
    static double total(const VelocityTerms &terms, std::size_t j, double nl_log) {
        const double f_nl = terms.nonlinear ? BSSA14_F1[j] + terms.f2[j] * nl_log : BSSA14_F1[j];
        return terms.linear[j] + f_nl;
    }

    // One logarithm ln(v / Vref) for the columns where v <= Vc (NaN stays NaN), and below
    // 760 m/s one batch of exponentials for f2.
    void fill_terms(double v, VelocityTerms &terms) const {
        const double ratio = v / VREF;
        double log_ratio;
        math_.log(&ratio, &log_ratio, 1);
        for (std::size_t j = 0; j < COLUMNS; ++j)
            terms.linear[j] = BSSA14_C[j] * (BSSA14_VC[j] < v ? log_vc_ratio_[j] : log_ratio);
        terms.nonlinear = v < NL_VS30_LIMIT;
        if (!terms.nonlinear) return;
        for (std::size_t j = 0; j < COLUMNS; ++j) terms.f2[j] = BSSA14_F5[j] * (v - NL_VS30_SHIFT);
        math_.exp(terms.f2, terms.f2, COLUMNS);
        for (std::size_t j = 0; j < COLUMNS; ++j) terms.f2[j] = BSSA14_F4[j] * (terms.f2[j] - exp_reference_[j]);
    }

    const BatchMath &math_;
    double log_vc_ratio_[COLUMNS];   // ln(Vc / Vref)
    double exp_reference_[COLUMNS];  // exp(f5 (760 - 360))
    VelocityCache<VelocityTerms> cache_;
};

}  // namespace

void bssa14_rows(const SiteTriple *sites, std::size_t n, const BatchMath &math, double *rows) {
    if (n == 0) return;
    Bssa14Writer writer(math);  // about 8 KiB
    for (std::size_t i = 0; i < n; ++i) writer.write_exponents(sites[i], rows + i * COLUMNS);
    math.exp(rows, rows, n * COLUMNS);
}

namespace {
// The module's site term is the published one.
constexpr ModelConvention CONVENTIONS[] = {{"module", bssa14_rows}};
}  // namespace

constinit const ModelEntry BSSA14_MODEL{"bssa14", BSSA14_COLUMNS, BSSA14_FREQUENCIES, CONVENTIONS};

namespace {
RegisteredModel registered{BSSA14_MODEL};
}  // namespace
