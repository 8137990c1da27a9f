// The models exactly as their formulas read: every quantity computed where the formulas name
// it, nothing shared between cells or sites, nothing skipped. The build compiles this file with
// the module's floating-point flags and the same generated model data (VS30AMP_PLAIN_MODELS), and
// the tests load it with ctypes, so that the module's kernels, which share and skip work, can be
// compared with it bit for bit on many sites.
//
// Sites are n records of three doubles (vs30, vs30_sim, pga); results are n rows of the model's
// columns.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <numbers>

#include "plain_models.hpp"

#include "generated/ba18_site_coefficients.hpp"
#include "generated/bssa14_site_coefficients.hpp"
#include "generated/cb14_site_coefficients.hpp"
#include "generated/cy14_site_coefficients.hpp"
#include "generated/model_constants.hpp"
#include "generated/nga_east_site_coefficients.hpp"

namespace {

// ---- Campbell-Bozorgnia (2014) ----------------------------------------------------------------
//
// The shallow-site term f_site,G of the paper's equation 18 (equation 17 without the Japan term):
// c11 ln(V / k1) + k2 (ln(A1100 + c (V / k1)^n) - ln(A1100 + c)) where V <= k1, and
// (c11 + k2 n) ln(V / k1) above; k1, k2, c11 per period, c = 1.88 and n = 1.18 for all.

constexpr std::size_t CB14_COLUMNS = 22;
constexpr double c = CB14_NL_AMPLITUDE, n = CB14_NL_EXPONENT;
constexpr double PGA_K1 = CB14_K1[21], PGA_K2 = CB14_K2[21], PGA_C11 = CB14_C11[21];

double cb14_rock_pga(double vs30_sim, double pga) {
    const double r = vs30_sim / PGA_K1;
    const double lr = std::log(r);
    double fref;
    if (vs30_sim <= PGA_K1) {
        fref = lr * PGA_C11 + (std::log(std::pow(r, n) * c + 0.0) + CB14_MINUS_LN_NL_AMPLITUDE) * PGA_K2;
    } else {
        fref = lr * CB14_PGA_LINEAR_SLOPE;
    }
    return std::exp(CB14_ROCK_SITE_TERM - fref) * pga;
}

void cb14_row(const double *site, double *row) {
    const double v = site[0], vsim = site[1], p = site[2];
    const double a = cb14_rock_pga(vsim, p);
    const double g = std::log(c + a);  // ln(A1100 + c)
    for (std::size_t j = 0; j < CB14_COLUMNS; ++j) {
        const double k1 = CB14_K1[j], k2 = CB14_K2[j], c11 = CB14_C11[j];
        const double s = v / k1;
        const double ls = std::log(s);
        double f_site;
        if (v <= k1) {
            f_site = ls * c11 + (std::log(std::pow(s, n) * c + a) - g) * k2;
        } else {
            f_site = ls * (k2 * n + c11);
        }
        const double t = vsim / k1;
        const double lt = std::log(t);
        double f_sim;
        if (vsim <= k1) {
            f_sim = k2 * (std::log(std::pow(t, n) * c + 0.0) + CB14_MINUS_LN_NL_AMPLITUDE) + c11 * lt;
        } else {
            f_sim = lt * (c11 + k2 * n);
        }
        row[j] = std::exp(f_site - f_sim);
    }
}

// ---- Bayless-Abrahamson (2018) ----------------------------------------------------------------
//
// The site term in the paper's symbols: the linear f_SL = c8 ln(min(Vs30, 1000) / 1000), and the
// nonlinear f_NL = f2 ln((I_R + f3) / f3) with f2 = f4 (exp(f5 (min(Vs30, 760) - 360)) -
// exp(f5 (760 - 360))), the intensity I_R being the simulation's PGA carried to the reference.

constexpr std::size_t BA18_COLUMNS = 301;
constexpr const double *FREQUENCY = BA18_FREQUENCY_HZ, *c8 = BA18_C8, *f3 = BA18_F3, *f4 = BA18_F4, *f5 = BA18_F5;
constexpr double PI = std::numbers::pi;
constexpr double PGA_EXPONENT = c8[170], FROZEN_EXPONENT = c8[238];

// exp(f_NL) of row k, offset being min(Vs30, 760) - 360.
double nonlinear_factor(std::size_t k, double intensity, double offset) {
    const double base = (intensity + f3[k]) / f3[k];
    const double f2 = (std::exp(offset * f5[k]) - std::exp(f5[k] * BA18_NL_REFERENCE_OFFSET)) * f4[k];
    return std::pow(base, f2);
}

std::int64_t total_order_key(double x) {
    std::int64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    if (bits < 0) bits ^= INT64_MAX;
    return bits;
}

// min(value, bound); the bound for every NaN value, signalling ones included.
double at_most(double value, double bound) { return value < bound ? value : bound; }

// The two values in which the module's convention and the published model differ.
struct Convention {
    double pga_reference_factor;
    double decay_anchor_hz;
};
constexpr Convention MODULE{BA18_PGA_REFERENCE_FACTOR, BA18_DECAY_ANCHOR_HZ};
constexpr Convention PUBLISHED{BA18_PUBLISHED_PGA_REFERENCE_FACTOR, BA18_PUBLISHED_DECAY_ANCHOR_HZ};

double linear_factor(std::size_t k, double base, double kappa, double anchor, double decay_anchor_hz) {
    if (k <= 238) return std::pow(base, c8[k]);  // exp(f_SL)
    return std::exp((kappa * -PI) * (FREQUENCY[k] - decay_anchor_hz)) * anchor;
}

void ba18_row(const double *site, double *row, const Convention &convention) {
    const double vs30 = site[0], vs30_sim = site[1], pga = site[2];
    const double s = at_most(vs30_sim / BA18_LINEAR_VS30_LIMIT, 1.0);
    const double p = std::pow(s, PGA_EXPONENT);
    const double q = convention.pga_reference_factor / p;
    const double intensity = std::pow(q, BA18_PGA_RATIO_EXPONENT) * pga;
    const double offset = at_most(vs30, BA18_REFERENCE_VS30) - BA18_NL_VS30_SHIFT;

    double floor = nonlinear_factor(0, intensity, offset);
    double floor_frequency = FREQUENCY[0];
    for (std::size_t k = 1; k < BA18_COLUMNS; ++k) {
        const double factor = nonlinear_factor(k, intensity, offset);
        if (total_order_key(factor) < total_order_key(floor)) {
            floor = factor;
            floor_frequency = FREQUENCY[k];
        }
    }

    const double kappa_site = std::pow(vs30 / BA18_REFERENCE_VS30, BA18_KAPPA_VS30_EXPONENT) / BA18_KAPPA_DIVISOR;
    const double kappa_sim = std::pow(vs30_sim / BA18_REFERENCE_VS30, BA18_KAPPA_VS30_EXPONENT) / BA18_KAPPA_DIVISOR;
    const double base_site = at_most(vs30 / BA18_LINEAR_VS30_LIMIT, 1.0);
    const double base_sim = at_most(vs30_sim / BA18_LINEAR_VS30_LIMIT, 1.0);
    const double anchor_site = std::pow(base_site, FROZEN_EXPONENT);
    const double anchor_sim = std::pow(base_sim, FROZEN_EXPONENT);
    for (std::size_t k = 0; k < BA18_COLUMNS; ++k) {
        const double l_site = linear_factor(k, base_site, kappa_site, anchor_site, convention.decay_anchor_hz);
        const double l_sim = linear_factor(k, base_sim, kappa_sim, anchor_sim, convention.decay_anchor_hz);
        const double n = floor_frequency > FREQUENCY[k] ? nonlinear_factor(k, intensity, offset) : floor;
        row[k] = (l_site / l_sim) * n;
    }
}

// ---- Boore-Stewart-Seyhan-Atkinson (2014) ---------------------------------------------------
//
// F = F_lin + F_nl: F_lin = c ln(min(Vs30, Vc) / Vref), F_nl = f1 + f2 ln((PGAr + f3) / f3) with
// f2 = f4 (exp(f5 (min(Vs30, 760) - 360)) - exp(f5 (760 - 360))), zero from 760 m/s on, where
// F_nl is f1 whatever the PGA; the factor is exp(F(Vs30) - F(Vs30_sim)), one PGAr for both.

constexpr std::size_t BSSA14_COLUMNS = 105;

double bssa14_total(std::size_t j, double v, double pga_r) {
    const double vc = BSSA14_VC[j];
    const double f_lin = BSSA14_C[j] * std::log((vc < v ? vc : v) / BSSA14_VREF[j]);
    double f_nl = BSSA14_F1[j];
    if (v < 760.0) {
        const double f2 = BSSA14_F4[j] * (std::exp(BSSA14_F5[j] * (v - 360.0)) - std::exp(BSSA14_F5[j] * (760.0 - 360.0)));
        f_nl = BSSA14_F1[j] + f2 * std::log((pga_r + BSSA14_F3[j]) / BSSA14_F3[j]);
    }
    return f_lin + f_nl;
}

void bssa14_row(const double *site, double *row) {
    for (std::size_t j = 0; j < BSSA14_COLUMNS; ++j)
        row[j] = std::exp(bssa14_total(j, site[0], site[2]) - bssa14_total(j, site[1], site[2]));
}

// ---- Chiou-Youngs (2014) --------------------------------------------------------------------
//
// F = phi1 min(ln(Vs30 / 1130), 0) + phi2 (exp(phi3 (min(Vs30, 1130) - 360)) - exp(phi3 (1130 - 360)))
// ln((y_ref + phi4) / phi4), the nonlinear term zero from 1130 m/s on whatever y_ref; the factor
// is exp(F(Vs30) - F(Vs30_sim)), one y_ref for both. min(x, b) is written x > b ? b : x, so that
// NaN stays NaN.

constexpr std::size_t CY14_COLUMNS = 24;

double cy14_total(std::size_t j, double v, double y_ref) {
    const double l = std::log(v / 1130.0);
    const double f_lin = CY14_PHI1[j] * (l > 0.0 ? 0.0 : l);
    if (!(v < 1130.0)) return f_lin;
    const double f2 = CY14_PHI2[j] * (std::exp(CY14_PHI3[j] * (v - 360.0)) - std::exp(CY14_PHI3[j] * (1130.0 - 360.0)));
    return f_lin + f2 * std::log((y_ref + CY14_PHI4[j]) / CY14_PHI4[j]);
}

void cy14_row(const double *site, const double *y_ref, std::size_t step, double *row) {
    for (std::size_t j = 0; j < CY14_COLUMNS; ++j)
        row[j] = std::exp(cy14_total(j, site[0], y_ref[j * step]) - cy14_total(j, site[1], y_ref[j * step]));
}

// The basin term B = phi5 (1 - exp(-(z1 - Z1ref(v)) / phi6)), ln Z1ref = -7.15/4 ln((v^4 + 570.94^4) /
// (1360^4 + 570.94^4)); 0 for a NaN z1 (not given: dZ1 = 0). Inside the one exp with F.
double cy14_basin(std::size_t j, double v, double z1) {
    if (std::isnan(z1)) return 0.0;
    const double knee = std::pow(570.94, 4.0);
    const double z1_ref = std::exp(-7.15 / 4.0 * std::log((std::pow(v, 4.0) + knee) / (std::pow(1360.0, 4.0) + knee)));
    return CY14_PHI5[j] * (1.0 - std::exp(-(z1 - z1_ref) / CY14_PHI6[j]));
}

void cy14_basin_row(const double *site, const double *y_ref, double z1, double z1_sim, double *row) {
    for (std::size_t j = 0; j < CY14_COLUMNS; ++j)
        row[j] = std::exp((cy14_total(j, site[0], y_ref[j]) + cy14_basin(j, site[0], z1)) -
                          (cy14_total(j, site[1], y_ref[j]) + cy14_basin(j, site[1], z1_sim)));
}

// ---- NGA-East: Stewart et al. (2020), Hashash et al. (2020) ---------------------------------
//
// F = F_lin + F_nl relative to 3000 m/s rock: F_lin = f_v + f_760, f_760 = w_imp f760i + w_gr
// f760g; f_v = c ln(V1 / 760) up to V1, c ln(Vs30 / 760) up to V2, c ln(V2 / 760) up to 2000 m/s,
// f_v(2000) - (f_v(2000) + f_760) ln(Vs30 / 2000) / ln(3000 / 2000) up to 3000 m/s, -f_760 from
// there; F_nl = f2 ln((PGAr + f3) / f3) below Vc, f2 = f4 (exp(f5 (min(Vs30, Vref) - 360)) -
// exp(f5 (Vref - 360))), Vref 760 m/s below 0.4 s, 3000 m/s from it. The sigma s = sqrt(sigma_760^2
// + sigma_v^2 + (sigma_f2 ln((PGAr + f3) / f3))^2); "collapsed" adds ln(0.185 e^-s + 0.63 +
// 0.185 e^s) and takes the smoothed f760i, f760is.

constexpr std::size_t NGA_EAST_COLUMNS = 22;
// The epsilon of the plain moved factors, plain_nga_east*_epsilon (the tests pass the same).
constexpr double NGA_EAST_TEST_EPSILON = -1.25;

// The C library's log and exp of a constant, never the compiler's folded value.
double library_log(double x) {
    volatile double at = x;
    return std::log(at);
}
double library_exp(double x) {
    volatile double at = x;
    return std::exp(at);
}

struct NgaEastValue {
    double f;  // F (collapsed where asked)
    double s;  // sigma
};

NgaEastValue nga_east_value(std::size_t j, double v, double pga_r, bool collapsed) {
    const double *f760i = collapsed ? NGA_EAST_F760I_SMOOTHED : NGA_EAST_F760I;
    const double *f760is = collapsed ? NGA_EAST_F760IS_SMOOTHED : NGA_EAST_F760IS;
    const double c = NGA_EAST_C[j], v1 = NGA_EAST_V1[j], v2 = NGA_EAST_V2[j], vf = NGA_EAST_VF[j];
    const double sigma_l = NGA_EAST_SIGMA_L[j], sigma_vc = NGA_EAST_SIGMA_VC[j], sigma_u = NGA_EAST_SIGMA_U[j];

    double w_imp;
    if (v < 400.0) {
        w_imp = 0.1;
    } else if (v >= 600.0) {
        w_imp = 0.767;
    } else {
        w_imp = (0.767 - 0.1) * (std::log(v / 400.0) / library_log(600.0 / 400.0)) + 0.1;
    }
    const double w_gr = 1.0 - w_imp;
    const double f_760 = w_imp * f760i[j] + w_gr * NGA_EAST_F760G[j];
    const double sigma_760 = w_imp * f760is[j] + w_gr * NGA_EAST_F760GS[j];

    double f_v;
    if (v <= v1) {
        f_v = c * library_log(v1 / 760.0);
    } else if (v <= v2) {
        f_v = c * std::log(v / 760.0);
    } else if (v <= 2000.0) {
        f_v = c * library_log(v2 / 760.0);
    } else if (v >= 3000.0) {
        f_v = -f_760;
    } else {
        const double f_2000 = c * library_log(v2 / 760.0);
        f_v = f_2000 - (f_2000 + f_760) * (std::log(v / 2000.0) / library_log(3000.0 / 2000.0));
    }

    double sigma_v;
    if (v < vf) {
        const double spread = sigma_l - sigma_vc;
        const double d = (v - 200.0) / (vf - 200.0);
        sigma_v = sigma_l - 2.0 * spread * d + spread * (d * d);
    } else if (v <= v2) {
        sigma_v = sigma_vc;
    } else if (v <= 2000.0) {
        const double d = (v - v2) / (2000.0 - v2);
        sigma_v = sigma_vc + (sigma_u - sigma_vc) * (d * d);
    } else if (v >= 3000.0) {
        sigma_v = 0.0;
    } else {
        sigma_v = sigma_u * (1.0 - std::log(v / 2000.0) / library_log(3000.0 / 2000.0));
    }

    const double sigma_c = NGA_EAST_SIGMA_C[j];
    double sigma_f2 = 0.0;
    if (v < 1000.0) sigma_f2 = v < 300.0 ? sigma_c : sigma_c - sigma_c / library_log(1000.0 / 300.0) * std::log(v / 300.0);

    const double f3 = NGA_EAST_F3[j], f5 = NGA_EAST_F5[j];
    const double v_ref = NGA_EAST_PERIOD_S[j] < 0.4 ? 760.0 : 3000.0;
    const double rock = std::log((pga_r + f3) / f3);
    const double f2 = NGA_EAST_F4[j] * (std::exp(f5 * ((v < v_ref ? v : v_ref) - 360.0)) - library_exp(f5 * (v_ref - 360.0)));
    const double f_nl = v < NGA_EAST_VC[j] ? f2 * rock : 0.0;
    const double sigma_nl = v < 1000.0 ? sigma_f2 * rock : 0.0;

    const double f = (f_v + f_760) + f_nl;
    const double s = std::sqrt((sigma_760 * sigma_760 + sigma_v * sigma_v) + sigma_nl * sigma_nl);
    if (!collapsed) return {f, s};
    return {f + std::log(0.185 * std::exp(-s) + 0.63 + 0.185 * std::exp(s)), s};
}

enum class NgaEastOutput { FACTORS, MOVED, SIGMA };

void nga_east_row(const double *site, double *row, bool collapsed, NgaEastOutput output) {
    for (std::size_t j = 0; j < NGA_EAST_COLUMNS; ++j) {
        const NgaEastValue own = nga_east_value(j, site[0], site[2], collapsed);
        const NgaEastValue sim = nga_east_value(j, site[1], site[2], collapsed);
        if (output == NgaEastOutput::SIGMA) {
            row[j] = std::fabs(own.s - sim.s);
        } else if (output == NgaEastOutput::MOVED) {
            row[j] = std::exp(own.f - sim.f + NGA_EAST_TEST_EPSILON * (own.s - sim.s));
        } else {
            row[j] = std::exp(own.f - sim.f);
        }
    }
}

void nga_east_rows(const double *sites, std::size_t n, double *out, bool collapsed, NgaEastOutput output) {
    for (std::size_t i = 0; i < n; ++i) nga_east_row(sites + 3 * i, out + NGA_EAST_COLUMNS * i, collapsed, output);
}

}  // namespace

extern "C" {

void plain_cb14(const double *sites, std::size_t n, double *out) {
    for (std::size_t i = 0; i < n; ++i) cb14_row(sites + 3 * i, out + CB14_COLUMNS * i);
}

void plain_ba18(const double *sites, std::size_t n, double *out) {
    for (std::size_t i = 0; i < n; ++i) ba18_row(sites + 3 * i, out + BA18_COLUMNS * i, MODULE);
}

void plain_ba18_published(const double *sites, std::size_t n, double *out) {
    for (std::size_t i = 0; i < n; ++i) ba18_row(sites + 3 * i, out + BA18_COLUMNS * i, PUBLISHED);
}

void plain_bssa14(const double *sites, std::size_t n, double *out) {
    for (std::size_t i = 0; i < n; ++i) bssa14_row(sites + 3 * i, out + BSSA14_COLUMNS * i);
}

void plain_cy14(const double *sites, std::size_t n, double *out) {
    for (std::size_t i = 0; i < n; ++i) cy14_row(sites + 3 * i, sites + 3 * i + 2, 0, out + CY14_COLUMNS * i);
}

// y_ref per site and period: n x 24 values.
void plain_cy14_columns(const double *sites, const double *y_ref, std::size_t n, double *out) {
    for (std::size_t i = 0; i < n; ++i) cy14_row(sites + 3 * i, y_ref + CY14_COLUMNS * i, 1, out + CY14_COLUMNS * i);
}

// With the basin depths of the sites and of the simulation, z1[i] and z1_sim[i] (m, NaN not given).
void plain_cy14_basin(const double *sites, const double *y_ref, const double *z1, const double *z1_sim, std::size_t n,
                      double *out) {
    for (std::size_t i = 0; i < n; ++i)
        cy14_basin_row(sites + 3 * i, y_ref + CY14_COLUMNS * i, z1[i], z1_sim[i], out + CY14_COLUMNS * i);
}

void plain_nga_east(const double *sites, std::size_t n, double *out) {
    nga_east_rows(sites, n, out, false, NgaEastOutput::FACTORS);
}

void plain_nga_east_collapsed(const double *sites, std::size_t n, double *out) {
    nga_east_rows(sites, n, out, true, NgaEastOutput::FACTORS);
}

// The factors moved by NGA_EAST_TEST_EPSILON sigma, and |s(Vs30) - s(Vs30_sim)|.
void plain_nga_east_epsilon(const double *sites, std::size_t n, double *out) {
    nga_east_rows(sites, n, out, false, NgaEastOutput::MOVED);
}

void plain_nga_east_collapsed_epsilon(const double *sites, std::size_t n, double *out) {
    nga_east_rows(sites, n, out, true, NgaEastOutput::MOVED);
}

void plain_nga_east_sigma(const double *sites, std::size_t n, double *out) {
    nga_east_rows(sites, n, out, false, NgaEastOutput::SIGMA);
}

void plain_nga_east_collapsed_sigma(const double *sites, std::size_t n, double *out) {
    nga_east_rows(sites, n, out, true, NgaEastOutput::SIGMA);
}

// Every model and convention above, for the programs that check the kernels by name
// (tests/kernel_check.cpp); the tests reach the functions by their names, plain_<model> and
// plain_<model>_<convention>.
const PlainModel plain_model_table[] = {
    {"ba18", "module", plain_ba18},
    {"ba18", "published", plain_ba18_published},
    {"bssa14", "module", plain_bssa14},
    {"cb14", "module", plain_cb14},
    {"cy14", "module", plain_cy14},
    {"nga_east", "median", plain_nga_east},
    {"nga_east", "collapsed", plain_nga_east_collapsed},
};
const std::size_t plain_model_count = sizeof plain_model_table / sizeof plain_model_table[0];
}
