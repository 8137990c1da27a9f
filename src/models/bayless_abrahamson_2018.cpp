#include "models/bayless_abrahamson_2018.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>

#include "generated/model_constants.hpp"
#include "models/velocity_cache.hpp"

// Every product, quotient, sum and difference below is one double operation in the order
// written; the build disables contraction into fused multiply-add so that results agree to the
// last bit. A clamp min(value, bound) yields the bound for every NaN value (see at_most).
//
// The kernel does less work than the plain formulas describe, never other work: a value is
// shared only when it is the same operation on the same operands, and a C library call is
// skipped only when IEEE 754 fixes its result for every operand that can reach it.

namespace {

constexpr double PI = std::numbers::pi;

// The PGA conversion raises the clamped simulation Vs30 to the power-law exponent of 5.011872 Hz.
constexpr std::size_t PGA_ROW = 170;
static_assert(BA18_FREQUENCIES[PGA_ROW] == 5.011872);

// Rows up to LAST_POWER_LAW_ROW (the last with a power-law exponent, 23.988321 Hz) use the
// power law; later rows freeze its exponent at that row's value and add the high-frequency
// decay anchored at BA18_DECAY_ANCHOR_HZ.
constexpr std::size_t LAST_POWER_LAW_ROW = 238;
static_assert(BA18_VS30_EXPONENT[LAST_POWER_LAW_ROW] == BA18_VS30_EXPONENT[LAST_POWER_LAW_ROW] &&
              BA18_VS30_EXPONENT[LAST_POWER_LAW_ROW + 1] != BA18_VS30_EXPONENT[LAST_POWER_LAW_ROW + 1]);

// min(value, bound), and the bound when value is NaN, signalling NaNs included: the C library's
// fmin returns NaN for a signalling one, and a clamp must never yield NaN. For every other value
// the result is fmin's.
double at_most(double value, double bound) { return value < bound ? value : bound; }

double linear_base(double vs30) { return at_most(vs30 / BA18_LINEAR_VS30_LIMIT, 1.0); }

// pow(q, 0.846) of the PGA conversion; the reference intensity is this times the PGA.
double intensity_scale(double vs30_sim) {
    const double s = linear_base(vs30_sim);
    const double p = std::pow(s, BA18_VS30_EXPONENT[PGA_ROW]);
    const double q = BA18_PGA_REFERENCE_FACTOR / p;
    return std::pow(q, BA18_PGA_RATIO_EXPONENT);
}

double nl_vs30_offset(double vs30) { return at_most(vs30, BA18_REFERENCE_VS30) - BA18_NL_VS30_SHIFT; }

// Key whose signed order is the IEEE 754 totalOrder of the doubles.
std::int64_t total_order_key(double x) {
    std::int64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    if (bits < 0) bits ^= INT64_MAX;
    return bits;
}

double kappa(double vs30) { return std::pow(vs30 / BA18_REFERENCE_VS30, BA18_KAPPA_VS30_EXPONENT) / BA18_KAPPA_DIVISOR; }

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// ---- What the coefficient table allows to share, worked out once per process ---------------

struct RowConstants {
    // exp(F3[k] * 400): the second exponential of row k's nonlinear exponent, the same for
    // every site.
    double reference_decay[BA18_COLUMNS];
    // F3[k] has the bits of F3[k - 1], so exp(o * F3[k]) is the previous row's.
    bool repeats_rate[BA18_COLUMNS];
    // F2, F3 and F4 of row k have the bits of row k - 1, so its nonlinear factor is the
    // previous row's (rows 1-40 and a few near 100 Hz).
    bool repeats_row[BA18_COLUMNS];
    // Every reference_decay and every F2 is finite. Then at o = 400 each exponent is zero:
    // o * F3 is the product F3 * 400, the two exponentials are one finite number, their
    // difference is +0 and its product with F2 is +0 or -0.
    bool reference_offset_gives_one;
};

RowConstants make_row_constants() {
    RowConstants rows;
    rows.reference_offset_gives_one = true;
    for (std::size_t k = 0; k < BA18_COLUMNS; ++k) {
        const double f3 = BA18_NL_VS30_RATE[k];
        rows.reference_decay[k] = std::exp(f3 * BA18_NL_REFERENCE_OFFSET);
        rows.repeats_rate[k] = k > 0 && same_bits(f3, BA18_NL_VS30_RATE[k - 1]);
        rows.repeats_row[k] = rows.repeats_rate[k] && same_bits(BA18_NL_AMPLITUDE[k], BA18_NL_AMPLITUDE[k - 1]) &&
                              same_bits(BA18_NL_INTENSITY_OFFSET[k], BA18_NL_INTENSITY_OFFSET[k - 1]);
        if (!std::isfinite(rows.reference_decay[k]) || !std::isfinite(BA18_NL_AMPLITUDE[k]))
            rows.reference_offset_gives_one = false;
    }
    return rows;
}

const RowConstants &row_constants() {
    static const RowConstants rows = make_row_constants();
    return rows;
}

// ---- Nonlinear factors and their floor -------------------------------------------------------
//
// pow(x, +-0) is 1 for every x, NaN included, and pow(1, y) is 1 for every y, NaN included. The
// C library makes an exception only for signalling NaN operands, and no operand of these pow
// calls is one: each is the result of an arithmetic operation, or a finite table constant.

struct NonlinearPart {
    double factors[BA18_COLUMNS];  // nonlinear_factor(k); read only below the floor's row
    double floor;                  // nl_floor
    std::size_t floor_row;         // the row of nl_floor_frequency
};

void find_nonlinear_part(double intensity, double offset, NonlinearPart &part) {
    const RowConstants &rows = row_constants();
    if (offset == BA18_NL_REFERENCE_OFFSET && rows.reference_offset_gives_one) {
        // Every factor is pow(base, +-0) = 1, so the floor is 1 at the first row and every
        // row receives it; the factors are not read.
        part.floor = 1.0;
        part.floor_row = 0;
        return;
    }
    double rate_decay = 0.0;  // exp(o * F3[k]), valid when have_rate_decay
    bool have_rate_decay = false;
    std::int64_t floor_key = 0;
    for (std::size_t k = 0; k < BA18_COLUMNS; ++k) {
        double factor;
        if (rows.repeats_row[k]) {
            factor = part.factors[k - 1];
        } else {
            if (!rows.repeats_rate[k]) have_rate_decay = false;
            const double f4 = BA18_NL_INTENSITY_OFFSET[k];
            const double base = (intensity + f4) / f4;
            if (base == 1.0) {
                factor = 1.0;  // pow(1, exponent)
            } else {
                if (!have_rate_decay) {
                    rate_decay = std::exp(offset * BA18_NL_VS30_RATE[k]);
                    have_rate_decay = true;
                }
                const double exponent = (rate_decay - rows.reference_decay[k]) * BA18_NL_AMPLITUDE[k];
                factor = exponent == 0.0 ? 1.0 : std::pow(base, exponent);
            }
        }
        part.factors[k] = factor;
        // The first row in totalOrder, ties going to the lower frequency.
        const std::int64_t key = total_order_key(factor);
        if (k == 0 || key < floor_key) {
            floor_key = key;
            part.floor = factor;
            part.floor_row = k;
        }
    }
}

// ---- Linear factors --------------------------------------------------------------------------

// The linear factor of one velocity in every row; a row of the site's Vs30 or of the
// simulation's, whichever the velocity serves as.
struct LinearRow {
    double factor[BA18_COLUMNS];
    bool intensity_ready;     // intensity_scale is filled
    double intensity_scale;   // intensity_scale() of the velocity as a simulation Vs30
};

void fill_linear_row(double vs30, LinearRow &row) {
    const double base = linear_base(vs30);
    // At the clamp (vs30 of 1000 m/s or more, or NaN) every power of the base is pow(1, E) = 1.
    const bool clamped = base == 1.0;
    for (std::size_t k = 0; k <= LAST_POWER_LAW_ROW; ++k)
        row.factor[k] = clamped ? 1.0 : std::pow(base, BA18_VS30_EXPONENT[k]);
    const double kappa_value = kappa(vs30);
    const double anchor = clamped ? 1.0 : std::pow(base, BA18_VS30_EXPONENT[LAST_POWER_LAW_ROW]);
    for (std::size_t k = LAST_POWER_LAW_ROW + 1; k < BA18_COLUMNS; ++k)
        row.factor[k] = std::exp((kappa_value * -PI) * (BA18_FREQUENCIES[k] - BA18_DECAY_ANCHOR_HZ)) * anchor;
    row.intensity_ready = false;
}

// Cell k = (L_site / L_sim) x N. A row below the floor's frequency keeps its own nonlinear
// factor, and the floor's row and every row above it receive nl_floor; as the grid strictly
// ascends, "nl_floor_frequency > f_k" is "k is below the floor's row". The two plain loops
// let the compiler use vector division and multiplication, which round as the scalar ones do.
void write_cells(const double *l_site, const double *l_sim, const NonlinearPart &part, double *cells) {
    for (std::size_t k = 0; k < part.floor_row; ++k) cells[k] = (l_site[k] / l_sim[k]) * part.factors[k];
    const double floor = part.floor;
    for (std::size_t k = part.floor_row; k < BA18_COLUMNS; ++k) cells[k] = (l_site[k] / l_sim[k]) * floor;
}

// Writes the rows of one call, keeping the linear rows of the velocities seen last and room for
// one site's nonlinear factors.
class Ba18RowWriter {
public:
    void write(const SiteTriple &site, double *row) {
        LinearRow &simulation = cache_.get(site.vs30_sim, fill_linear_row);
        if (!simulation.intensity_ready) {
            simulation.intensity_scale = intensity_scale(site.vs30_sim);
            simulation.intensity_ready = true;
        }
        const LinearRow &own = cache_.get(site.vs30, fill_linear_row);
        find_nonlinear_part(simulation.intensity_scale * site.pga, nl_vs30_offset(site.vs30), nonlinear_);
        write_cells(own.factor, simulation.factor, nonlinear_, row);
    }

private:
    VelocityCache<LinearRow> cache_;
    NonlinearPart nonlinear_;
};

}  // namespace

std::optional<AmplificationMatrix> ba18_amplification(const SiteTriple *sites, std::size_t n) {
    auto matrix = AmplificationMatrix::allocate(n, BA18_COLUMNS);
    if (!matrix) return std::nullopt;
    Ba18RowWriter writer;
    for (std::size_t i = 0; i < n; ++i) writer.write(sites[i], matrix->row(i));
    return matrix;
}
