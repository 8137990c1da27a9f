#include "models/campbell_bozorgnia_2014.hpp"

#include <array>

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
// values from it: the same C library call on the same argument returns the same double. The
// first column of each run of equal k1 leads it and computes for the run.

constexpr bool shares_k1(std::size_t j) { return j > 0 && CB14_K1[j] == CB14_K1[j - 1]; }

constexpr std::size_t count_leads() {
    std::size_t leads = 0;
    for (std::size_t j = 0; j < CB14_COLUMNS; ++j) leads += shares_k1(j) ? 0 : 1;
    return leads;
}
constexpr std::size_t LEADS = count_leads();

// The columns that lead a run, and for every column the index of its run's lead among them.
struct K1Runs {
    std::size_t lead_column[LEADS];
    std::size_t run_of[CB14_COLUMNS];
};

constexpr K1Runs make_k1_runs() {
    K1Runs runs{};
    std::size_t run = 0;
    for (std::size_t j = 0; j < CB14_COLUMNS; ++j) {
        if (!shares_k1(j)) runs.lead_column[run++] = j;
        runs.run_of[j] = run - 1;
    }
    return runs;
}
constexpr K1Runs K1_RUNS = make_k1_runs();

// The exponent operand of the batched powers (v / k1)^n.
constexpr std::array<double, LEADS> NL_EXPONENTS = [] {
    std::array<double, LEADS> exponents{};
    exponents.fill(CB14_NL_EXPONENT);
    return exponents;
}();

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

// The library calls of one velocity go out as one batch of logarithms over the runs and one of
// powers over the runs where v <= k1.
void fill_velocity_terms(double v, VelocityTerms &terms, const BatchMath &math) {
    double ratio[LEADS];
    double log_ratio[LEADS];
    double lower_ratio[LEADS];  // v / k1 of the runs where v <= k1, packed
    std::size_t lower_run[LEADS];
    std::size_t lower = 0;
    for (std::size_t r = 0; r < LEADS; ++r) {
        const double k1 = CB14_K1[K1_RUNS.lead_column[r]];
        ratio[r] = v / k1;
        if (v <= k1) {
            lower_ratio[lower] = ratio[r];
            lower_run[lower++] = r;
        }
    }
    math.log(ratio, log_ratio, LEADS);
    double power[LEADS];
    math.pow(lower_ratio, NL_EXPONENTS.data(), power, lower);
    double scaled_power[LEADS] = {};
    for (std::size_t i = 0; i < lower; ++i) scaled_power[lower_run[i]] = power[i] * CB14_NL_AMPLITUDE;
    for (std::size_t j = 0; j < CB14_COLUMNS; ++j) {
        terms.log_ratio[j] = log_ratio[K1_RUNS.run_of[j]];
        terms.scaled_power[j] = scaled_power[K1_RUNS.run_of[j]];
    }
    terms.simulation_ready = false;
}

// The site terms at the simulation's Vs30 (rock amplitude zero) and the rock-PGA scale.
void fill_simulation_terms(double v, VelocityTerms &terms, const BatchMath &math) {
    // ln((v / k1)^n * c + 0) of the runs where v <= k1, in one batch.
    double shifted[LEADS];
    std::size_t lower_run[LEADS];
    std::size_t lower = 0;
    for (std::size_t r = 0; r < LEADS; ++r) {
        const std::size_t j = K1_RUNS.lead_column[r];
        if (v <= CB14_K1[j]) {
            shifted[lower] = terms.scaled_power[j] + 0.0;
            lower_run[lower++] = r;
        }
    }
    math.log(shifted, shifted, lower);
    double lower_log[LEADS];  // ln((v / k1)^n * c + 0) - ln c of a run, where v <= k1
    for (std::size_t i = 0; i < lower; ++i) lower_log[lower_run[i]] = shifted[i] + CB14_MINUS_LN_NL_AMPLITUDE;

    for (std::size_t j = 0; j < CB14_COLUMNS; ++j) {
        const double k2 = CB14_K2[j];
        const double c11 = CB14_C11[j];
        const double lt = terms.log_ratio[j];
        if (v <= CB14_K1[j]) {
            terms.linear_term[j] = k2 * lower_log[K1_RUNS.run_of[j]] + c11 * lt;
        } else {
            terms.linear_term[j] = lt * (c11 + k2 * CB14_NL_EXPONENT);
        }
    }
    const double lr = terms.log_ratio[PGA_COLUMN];
    const double fref =
        v <= PGA_K1 ? lr * PGA_C11 + lower_log[K1_RUNS.run_of[PGA_COLUMN]] * PGA_K2 : lr * CB14_PGA_LINEAR_SLOPE;
    // One exponential, and the site's logarithms wait for it: a batch of one.
    const double rock_exponent = CB14_ROCK_SITE_TERM - fref;
    math.exp(&rock_exponent, &terms.rock_scale, 1);
    terms.simulation_ready = true;
}

// The cells of one site from the terms of its two velocities: one batch of logarithms (ln(c + a)
// and those of the runs where vs30 <= k1), then the 22 exponentials straight into the row.
void write_row(double vs30, double pga, const VelocityTerms &site, const VelocityTerms &simulation, double *row,
               const BatchMath &math) {
    double logs[1 + LEADS];  // ln(c + a), then ln((v / k1)^n * c + a) of the lower runs, packed
    std::size_t lower_run[LEADS];
    std::size_t lower = 0;
    if (vs30 <= LARGEST_K1) {
        const double a = simulation.rock_scale * pga;  // rock PGA
        logs[0] = CB14_NL_AMPLITUDE + a;
        for (std::size_t r = 0; r < LEADS; ++r) {
            const std::size_t j = K1_RUNS.lead_column[r];
            if (vs30 <= CB14_K1[j]) {
                logs[1 + lower] = site.scaled_power[j] + a;
                lower_run[lower++] = r;
            }
        }
        math.log(logs, logs, 1 + lower);
    }
    double lower_log[LEADS];  // ln((v / k1)^n * c + a) - ln(c + a) of a run, where vs30 <= k1
    for (std::size_t i = 0; i < lower; ++i) lower_log[lower_run[i]] = logs[1 + i] - logs[0];

    double exponent[CB14_COLUMNS];
    for (std::size_t j = 0; j < CB14_COLUMNS; ++j) {
        const double k2 = CB14_K2[j];
        const double c11 = CB14_C11[j];
        const double ls = site.log_ratio[j];
        double f_site;
        if (vs30 <= CB14_K1[j]) {
            f_site = ls * c11 + lower_log[K1_RUNS.run_of[j]] * k2;
        } else {
            f_site = ls * (k2 * CB14_NL_EXPONENT + c11);
        }
        exponent[j] = f_site - simulation.linear_term[j];
    }
    math.exp(exponent, row, CB14_COLUMNS);
}

// Writes the rows of one call, keeping the terms of the velocities seen last.
class Cb14RowWriter {
public:
    explicit Cb14RowWriter(const BatchMath &math) : math_(math) {}

    void write(const SiteTriple &site, double *row) {
        const auto fill = [this](double v, VelocityTerms &terms) { fill_velocity_terms(v, terms, math_); };
        VelocityTerms &simulation = cache_.get(site.vs30_sim, fill);
        if (!simulation.simulation_ready) fill_simulation_terms(site.vs30_sim, simulation, math_);
        const VelocityTerms &own = cache_.get(site.vs30, fill);
        write_row(site.vs30, site.pga, own, simulation, row, math_);
    }

private:
    const BatchMath &math_;
    VelocityCache<VelocityTerms> cache_;
};

}  // namespace

std::optional<AmplificationMatrix> cb14_amplification(const SiteTriple *sites, std::size_t n,
                                                      const BatchMath &math) {
    auto matrix = AmplificationMatrix::allocate(n, CB14_COLUMNS);
    if (!matrix) return std::nullopt;
    Cb14RowWriter writer(math);
    for (std::size_t i = 0; i < n; ++i) writer.write(sites[i], matrix->row(i));
    return matrix;
}
