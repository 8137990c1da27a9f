#include "models/bayless_abrahamson_2018.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <numbers>

#include "models/model_table.hpp"
#include "models/velocity_cache.hpp"
#include "simd/simd.hpp"

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
// decay anchored at the convention's frequency.
constexpr std::size_t LAST_POWER_LAW_ROW = 238;
static_assert(BA18_VS30_EXPONENT[LAST_POWER_LAW_ROW] == BA18_VS30_EXPONENT[LAST_POWER_LAW_ROW] &&
              BA18_VS30_EXPONENT[LAST_POWER_LAW_ROW + 1] != BA18_VS30_EXPONENT[LAST_POWER_LAW_ROW + 1]);

// min(value, bound), and the bound when value is NaN, signalling NaNs included: the C library's
// fmin returns NaN for a signalling one, and a clamp must never yield NaN. For every other value
// the result is fmin's.
double at_most(double value, double bound) { return value < bound ? value : bound; }

double linear_base(double vs30) { return at_most(vs30 / BA18_LINEAR_VS30_LIMIT, 1.0); }

// pow(q, 0.846) of the PGA conversion; the reference intensity is this times the PGA. The first
// power, pow(s, E) of the PGA row with s the clamped simulation Vs30 over 1000 m/s, is the
// linear factor of that row at the simulation's Vs30. The second waits for it: a batch of one.
double intensity_scale(double pga_row_factor, const Ba18Convention &convention, const BatchMath &math) {
    const double q = convention.pga_reference_factor / pga_row_factor;
    double scale;
    math.pow(&q, &BA18_PGA_RATIO_EXPONENT, &scale, 1);
    return scale;
}

double nl_vs30_offset(double vs30) { return at_most(vs30, BA18_REFERENCE_VS30) - BA18_NL_VS30_SHIFT; }

// Key whose signed order is the IEEE 754 totalOrder of the doubles.
std::int64_t total_order_key(double x) {
    std::int64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    if (bits < 0) bits ^= INT64_MAX;
    return bits;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// ---- What the coefficient table allows to share, worked out once per process ---------------

struct RowConstants {
    // Row k repeats the nonlinear factor of row k - 1 when its f3, f4 and f5 have that row's
    // bits (rows 1-40 and a few near 100 Hz). The other rows compute their own: the "own" rows,
    // packed in ascending order with the coefficients they read.
    std::size_t own_count;
    std::size_t own_of_row[BA18_COLUMNS];  // the own row whose factor row k takes
    std::size_t first_row_of_own[BA18_COLUMNS];  // the row an own row is
    double own_amplitude[BA18_COLUMNS];    // f4
    // Own rows with the bits of one f3 have one nonlinear base, (intensity + f3) / f3, whose
    // logarithm pow_of_bases computes once.
    std::size_t offset_count;
    double offset[BA18_COLUMNS];                // the distinct f3
    std::uint16_t own_offset_index[BA18_COLUMNS];  // the f3 of an own row, as an index into offset
    // exp(f5 * 400): the second exponential of f2, the same for every site.
    double own_reference_decay[BA18_COLUMNS];
    // Consecutive rows with the bits of one f5 form a run; exp(o * f5) is computed once a run.
    std::size_t own_run[BA18_COLUMNS];
    std::size_t run_count;
    double run_rate[BA18_COLUMNS];  // f5
    // Every reference decay and every f4 is finite. Then at o = 400 each exponent f2 is zero:
    // o * f5 is the product f5 * 400, the two exponentials are one finite number, their
    // difference is +0 and its product with f4 is +0 or -0.
    bool reference_offset_gives_one;
};

RowConstants make_row_constants() {
    RowConstants rows{};
    rows.reference_offset_gives_one = true;
    for (std::size_t k = 0; k < BA18_COLUMNS; ++k) {
        const double f5 = BA18_NL_VS30_RATE[k];
        const double reference_decay = std::exp(f5 * BA18_NL_REFERENCE_OFFSET);
        if (!std::isfinite(reference_decay) || !std::isfinite(BA18_NL_AMPLITUDE[k]))
            rows.reference_offset_gives_one = false;
        const bool repeats_rate = k > 0 && same_bits(f5, BA18_NL_VS30_RATE[k - 1]);
        if (repeats_rate && same_bits(BA18_NL_AMPLITUDE[k], BA18_NL_AMPLITUDE[k - 1]) &&
            same_bits(BA18_NL_INTENSITY_OFFSET[k], BA18_NL_INTENSITY_OFFSET[k - 1])) {
            rows.own_of_row[k] = rows.own_count - 1;
            continue;
        }
        if (!repeats_rate) rows.run_rate[rows.run_count++] = f5;
        const std::size_t own = rows.own_count++;
        rows.own_of_row[k] = own;
        rows.first_row_of_own[own] = k;
        rows.own_amplitude[own] = BA18_NL_AMPLITUDE[k];
        const double f3 = BA18_NL_INTENSITY_OFFSET[k];
        std::size_t index = 0;
        while (index < rows.offset_count && !same_bits(rows.offset[index], f3)) ++index;
        if (index == rows.offset_count) rows.offset[rows.offset_count++] = f3;
        rows.own_offset_index[own] = static_cast<std::uint16_t>(index);
        rows.own_reference_decay[own] = reference_decay;
        rows.own_run[own] = rows.run_count - 1;
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
// calls is one: each is the result of an arithmetic operation, or a finite table constant. So
// the factor of a row with a base of 1 or an exponent of zero is computed with the others: the
// call returns the 1 that skipping it would give.

struct NonlinearPart {
    // The nonlinear factor each cell takes: nonlinear_factor(k) below the floor's row, nl_floor
    // from it on.
    double factors[BA18_COLUMNS];
    double floor;                  // nl_floor
    std::size_t floor_row;         // the row of nl_floor_frequency
};

// The factors of the own rows: one batch of exponentials over the runs, then one of powers over
// the own rows. When every base is 1 every factor is, and no call is needed.
void find_own_factors(double intensity, double offset, double *factors, const BatchMath &math) {
    const RowConstants &rows = row_constants();
    double base[BA18_COLUMNS];  // of each distinct f3
    bool every_base_is_one = true;
    for (std::size_t i = 0; i < rows.offset_count; ++i) {
        base[i] = (intensity + rows.offset[i]) / rows.offset[i];
        every_base_is_one = every_base_is_one && base[i] == 1.0;
    }
    if (every_base_is_one) {
        for (std::size_t i = 0; i < rows.own_count; ++i) factors[i] = 1.0;
        return;
    }
    double decay[BA18_COLUMNS];  // exp(o * f5) of each run
    for (std::size_t r = 0; r < rows.run_count; ++r) decay[r] = offset * rows.run_rate[r];
    math.exp(decay, decay, rows.run_count);
    double exponent[BA18_COLUMNS];
    for (std::size_t i = 0; i < rows.own_count; ++i)
        exponent[i] = (decay[rows.own_run[i]] - rows.own_reference_decay[i]) * rows.own_amplitude[i];
    math.pow_of_bases(base, rows.offset_count, rows.own_offset_index, exponent, factors, rows.own_count);
}

void find_nonlinear_part(double intensity, double offset, NonlinearPart &part, const BatchMath &math) {
    const RowConstants &rows = row_constants();
    if (offset == BA18_NL_REFERENCE_OFFSET && rows.reference_offset_gives_one) {
        // Every factor is pow(base, +-0) = 1, so the floor is 1 at the first row and every
        // row receives it.
        part.floor = 1.0;
        part.floor_row = 0;
        std::fill(std::begin(part.factors), std::end(part.factors), 1.0);
        return;
    }
    double own_factors[BA18_COLUMNS];
    find_own_factors(intensity, offset, own_factors, math);
    // The first row in totalOrder, ties going to the lower frequency. A row that repeats an own
    // row's factor comes after that row, so the first own row with the least factor leads to it.
    std::size_t floor_own = 0;
    std::int64_t floor_key = total_order_key(own_factors[0]);
    for (std::size_t i = 1; i < rows.own_count; ++i) {
        const std::int64_t key = total_order_key(own_factors[i]);
        if (key < floor_key) {
            floor_key = key;
            floor_own = i;
        }
    }
    part.floor = own_factors[floor_own];
    part.floor_row = rows.first_row_of_own[floor_own];
    for (std::size_t k = 0; k < part.floor_row; ++k) part.factors[k] = own_factors[rows.own_of_row[k]];
    std::fill(part.factors + part.floor_row, std::end(part.factors), part.floor);
}

// ---- Linear factors --------------------------------------------------------------------------

// The linear factor of one velocity in every row; a row of the site's Vs30 or of the
// simulation's, whichever the velocity serves as.
struct LinearRow {
    double factor[BA18_COLUMNS];
    bool intensity_ready;     // intensity_scale is filled
    double intensity_scale;   // intensity_scale() of the velocity as a simulation Vs30
};

// The first row of the high-frequency decay.
constexpr std::size_t FIRST_DECAY_ROW = LAST_POWER_LAW_ROW + 1;
constexpr std::size_t DECAY_ROWS = BA18_COLUMNS - FIRST_DECAY_ROW;

// The power law's powers of one base (the log of the base is shared by the whole batch), kappa's
// power, then one batch of the decay's exponentials.
void fill_linear_row(double vs30, LinearRow &row, double decay_anchor_hz, const BatchMath &math) {
    const double base = linear_base(vs30);
    // At the clamp (vs30 of 1000 m/s or more, or NaN) every power of the base is pow(1, E) = 1,
    // and only kappa's power is computed.
    const bool clamped = base == 1.0;
    if (clamped) {
        for (std::size_t k = 0; k < FIRST_DECAY_ROW; ++k) row.factor[k] = 1.0;
    } else {
        math.pow_of_base(base, BA18_VS30_EXPONENT, row.factor, FIRST_DECAY_ROW);
    }
    const double kappa_base = vs30 / BA18_REFERENCE_VS30;
    double kappa_power;
    math.pow(&kappa_base, &BA18_KAPPA_VS30_EXPONENT, &kappa_power, 1);
    const double kappa_value = kappa_power / BA18_KAPPA_DIVISOR;
    // pow(base, E) of LAST_POWER_LAW_ROW, the same call as that row's.
    const double anchor = row.factor[LAST_POWER_LAW_ROW];
    double *decay = row.factor + FIRST_DECAY_ROW;
    for (std::size_t i = 0; i < DECAY_ROWS; ++i)
        decay[i] = (kappa_value * -PI) * (BA18_FREQUENCIES[FIRST_DECAY_ROW + i] - decay_anchor_hz);
    math.exp(decay, decay, DECAY_ROWS);
    for (std::size_t i = 0; i < DECAY_ROWS; ++i) decay[i] = decay[i] * anchor;
    row.intensity_ready = false;
}

// Cell k = (L_site / L_sim) x N. A row below the floor's frequency keeps its own nonlinear
// factor, and the floor's row and every row above it receive nl_floor; as the grid strictly
// ascends, "nl_floor_frequency > f_k" is "k is below the floor's row". Two cells at a time in a
// Double2 (simd/simd.hpp): its division and multiplication round each lane as the scalar
// operations do.
void write_cells(const double *l_site, const double *l_sim, const NonlinearPart &part, double *cells) {
    std::size_t k = 0;
    for (; k + 2 <= BA18_COLUMNS; k += 2) {
        const Double2 ratio = load_doubles<Double2>(l_site + k) / load_doubles<Double2>(l_sim + k);
        store_doubles(cells + k, ratio * load_doubles<Double2>(part.factors + k));
    }
    for (; k < BA18_COLUMNS; ++k) cells[k] = (l_site[k] / l_sim[k]) * part.factors[k];
}

// Writes the rows of one call, keeping the linear rows of the velocities seen last and room for
// one site's nonlinear factors.
class Ba18RowWriter {
public:
    Ba18RowWriter(const BatchMath &math, const Ba18Convention &convention) : math_(math), convention_(convention) {}

    void write(const SiteTriple &site, double *row) {
        const auto fill = [this](double v, LinearRow &linear) {
            fill_linear_row(v, linear, convention_.decay_anchor_hz, math_);
        };
        LinearRow &simulation = cache_.get(site.vs30_sim, fill);
        if (!simulation.intensity_ready) {
            simulation.intensity_scale = intensity_scale(simulation.factor[PGA_ROW], convention_, math_);
            simulation.intensity_ready = true;
        }
        const LinearRow &own = cache_.get(site.vs30, fill);
        find_nonlinear_part(simulation.intensity_scale * site.pga, nl_vs30_offset(site.vs30), nonlinear_, math_);
        write_cells(own.factor, simulation.factor, nonlinear_, row);
    }

private:
    const BatchMath &math_;
    const Ba18Convention convention_;
    VelocityCache<LinearRow> cache_;
    NonlinearPart nonlinear_;
};

}  // namespace

void ba18_rows(const SiteTriple *sites, std::size_t n, const BatchMath &math, const Ba18Convention &convention,
               double *rows) {
    Ba18RowWriter writer(math, convention);
    for (std::size_t i = 0; i < n; ++i) writer.write(sites[i], rows + i * BA18_COLUMNS);
}

namespace {

template <const Ba18Convention &convention>
void rows_under(const SiteTriple *sites, std::size_t n, const BatchMath &math, double *rows) {
    ba18_rows(sites, n, math, convention, rows);
}

constexpr ModelConvention CONVENTIONS[] = {{"module", rows_under<BA18_MODULE_CONVENTION>},
                                           {"published", rows_under<BA18_PUBLISHED_CONVENTION>}};

}  // namespace

constinit const ModelEntry BA18_MODEL{"ba18", BA18_COLUMNS, BA18_FREQUENCIES, CONVENTIONS};

namespace {
RegisteredModel registered{BA18_MODEL};
}  // namespace
