#include "models/bayless_abrahamson_2018.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

// Every product, quotient, sum and difference below is one double operation in the order
// written; the build disables contraction into fused multiply-add so that results agree to the
// last bit. Clamps use std::fmin, which yields the bound for a NaN value.

namespace {

constexpr double PI = 3.141592653589793;

// Vs30 (m/s) at and above which the linear power law is clamped.
constexpr double LINEAR_VS30_LIMIT = 1000.0;
// Reference Vs30 (m/s) of the nonlinear term and of the decay parameter.
constexpr double REFERENCE_VS30 = 760.0;
// Subtracted from the clamped site Vs30 in the nonlinear term; 760 - 360 is the reference offset.
constexpr double NL_VS30_SHIFT = 360.0;
constexpr double NL_REFERENCE_OFFSET = 400.0;

// PGA conversion to the reference condition: the 5.011872 Hz power-law exponent (row 170),
// 0.76 raised to it, and the exponent applied to the resulting ratio.
constexpr double PGA_VS30_EXPONENT = -0.484947178274669;
constexpr double PGA_REFERENCE_FACTOR = 1.1423498055712635;
constexpr double PGA_RATIO_EXPONENT = 0.846;

// Decay parameter kappa = (vs30 / 760)^-0.4 / e^3.5.
constexpr double KAPPA_VS30_EXPONENT = -0.4;
constexpr double KAPPA_DIVISOR = 33.11545195869231;

// Rows up to LAST_POWER_LAW_ROW use the power law; later rows freeze its exponent at that row's
// value and add the high-frequency decay anchored at DECAY_ANCHOR_HZ.
constexpr std::size_t LAST_POWER_LAW_ROW = 238;
constexpr double FROZEN_VS30_EXPONENT = 0.501182975301589;
constexpr double DECAY_ANCHOR_HZ = 24.0;

// What one site needs before the frequency pass.
struct Ba18Site {
    double reference_intensity;  // PGA carried from vs30_sim to the reference condition (g)
    double nl_vs30_offset;       // min(vs30, 760) - 360 (m/s)
    double nl_floor;             // smallest nonlinear factor over all rows, in totalOrder
    double nl_floor_frequency;   // frequency of the first row holding nl_floor (Hz)
    double kappa_site;           // decay parameter of vs30 (s)
    double kappa_sim;            // decay parameter of vs30_sim (s)
    double base_site;            // min(vs30 / 1000, 1)
    double base_sim;             // min(vs30_sim / 1000, 1)
    double anchor_site;          // base_site to the frozen exponent
    double anchor_sim;           // base_sim to the frozen exponent
};

double linear_base(double vs30) { return std::fmin(vs30 / LINEAR_VS30_LIMIT, 1.0); }

double reference_intensity(double vs30_sim, double pga) {
    const double s = linear_base(vs30_sim);
    const double p = std::pow(s, PGA_VS30_EXPONENT);
    const double q = PGA_REFERENCE_FACTOR / p;
    return std::pow(q, PGA_RATIO_EXPONENT) * pga;
}

double nl_vs30_offset(double vs30) { return std::fmin(vs30, REFERENCE_VS30) - NL_VS30_SHIFT; }

double nonlinear_factor(std::size_t k, double intensity, double offset) {
    const double f2 = BA18_NL_AMPLITUDE[k];
    const double f3 = BA18_NL_VS30_RATE[k];
    const double f4 = BA18_NL_INTENSITY_OFFSET[k];
    const double base = (intensity + f4) / f4;
    const double exponent = (std::exp(offset * f3) - std::exp(f3 * NL_REFERENCE_OFFSET)) * f2;
    return std::pow(base, exponent);
}

// Key whose signed order is the IEEE 754 totalOrder of the doubles.
std::int64_t total_order_key(double x) {
    std::int64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    if (bits < 0) bits ^= INT64_MAX;
    return bits;
}

bool total_order_before(double a, double b) { return total_order_key(a) < total_order_key(b); }

double kappa(double vs30) { return std::pow(vs30 / REFERENCE_VS30, KAPPA_VS30_EXPONENT) / KAPPA_DIVISOR; }

Ba18Site site_quantities(const SiteTriple &site) {
    Ba18Site q;
    q.reference_intensity = reference_intensity(site.vs30_sim, site.pga);
    q.nl_vs30_offset = nl_vs30_offset(site.vs30);

    // The first row in totalOrder, ties going to the lower frequency.
    q.nl_floor = nonlinear_factor(0, q.reference_intensity, q.nl_vs30_offset);
    q.nl_floor_frequency = BA18_FREQUENCIES[0];
    for (std::size_t k = 1; k < BA18_COLUMNS; ++k) {
        const double factor = nonlinear_factor(k, q.reference_intensity, q.nl_vs30_offset);
        if (total_order_before(factor, q.nl_floor)) {
            q.nl_floor = factor;
            q.nl_floor_frequency = BA18_FREQUENCIES[k];
        }
    }

    q.kappa_site = kappa(site.vs30);
    q.kappa_sim = kappa(site.vs30_sim);
    q.base_site = linear_base(site.vs30);
    q.base_sim = linear_base(site.vs30_sim);
    q.anchor_site = std::pow(q.base_site, FROZEN_VS30_EXPONENT);
    q.anchor_sim = std::pow(q.base_sim, FROZEN_VS30_EXPONENT);
    return q;
}

// Linear factor of row k above the power-law rows: the frozen power law times the decay.
double decayed_linear_factor(std::size_t k, double kappa_value, double anchor) {
    return std::exp((kappa_value * -PI) * (BA18_FREQUENCIES[k] - DECAY_ANCHOR_HZ)) * anchor;
}

double linear_factor_site(const Ba18Site &q, std::size_t k) {
    if (k <= LAST_POWER_LAW_ROW) return std::pow(q.base_site, BA18_VS30_EXPONENT[k]);
    return decayed_linear_factor(k, q.kappa_site, q.anchor_site);
}

double linear_factor_sim(const Ba18Site &q, std::size_t k) {
    if (k <= LAST_POWER_LAW_ROW) return std::pow(q.base_sim, BA18_VS30_EXPONENT[k]);
    return decayed_linear_factor(k, q.kappa_sim, q.anchor_sim);
}

// Below the floor's frequency a row keeps its own nonlinear factor; from there on it is held.
double held_nonlinear_factor(const Ba18Site &q, std::size_t k) {
    if (q.nl_floor_frequency > BA18_FREQUENCIES[k]) {
        return nonlinear_factor(k, q.reference_intensity, q.nl_vs30_offset);
    }
    return q.nl_floor;
}

}  // namespace

void ba18_site_row(const SiteTriple &site, Ba18RowView row) {
    const Ba18Site q = site_quantities(site);
    for (std::size_t k = 0; k < BA18_COLUMNS; ++k) {
        const double l_site = linear_factor_site(q, k);
        const double l_sim = linear_factor_sim(q, k);
        const double n = held_nonlinear_factor(q, k);
        row.first[static_cast<std::ptrdiff_t>(k) * row.stride] = (l_site / l_sim) * n;
    }
}

std::optional<AmplificationMatrix> ba18_amplification(const SiteTriple *sites, std::size_t n) {
    auto matrix = AmplificationMatrix::allocate(n, BA18_COLUMNS);
    if (!matrix) return std::nullopt;
    for (std::size_t i = 0; i < n; ++i) ba18_site_row(sites[i], Ba18RowView{matrix->row(i), 1});
    return matrix;
}
