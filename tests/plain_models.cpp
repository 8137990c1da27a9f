// Both models exactly as their formulas read: every quantity computed where the formulas name
// it, nothing shared between cells or sites, nothing skipped. The tests compile this file with
// the module's floating-point flags and load it with ctypes, so that the module's kernels, which
// share and skip work, can be compared with it bit for bit on many sites.
//
// Sites are n records of three doubles (vs30, vs30_sim, pga); results are n rows of 22 or 301
// doubles.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// ---- Campbell-Bozorgnia (2014) ----------------------------------------------------------------

constexpr std::size_t CB14_COLUMNS = 22;
const double CB14_K1[CB14_COLUMNS] = {400.0, 400.0, 400.0, 400.0, 400.0,  400.0,  400.0,  400.0,
                                      410.0, 457.0, 503.0, 587.0, 654.0,  748.0,  878.0,  1032.0,
                                      1086.0, 1054.0, 908.0, 865.0, 865.0, 865.0};
const double CB14_K2[CB14_COLUMNS] = {0.0,    0.0,    0.0,    0.0,    0.0,    -0.299, -1.025, -1.955,
                                      -2.401, -2.669, -2.657, -2.518, -2.381, -2.188, -1.931, -1.624,
                                      -1.471, -1.346, -1.273, -1.219, -1.186, -1.186};
const double CB14_C11[CB14_COLUMNS] = {-0.576, -0.664, -0.748, -0.793, -0.848, -0.514, 0.33,  1.447,
                                       1.995,  2.355,  2.398,  2.306,  2.205,  2.069,  1.877, 1.615,
                                       1.535,  1.449,  1.29,   1.149,  1.094,  1.09};

double cb14_rock_pga(double vs30_sim, double pga) {
    const double r = vs30_sim / 865.0;
    const double lr = std::log(r);
    double fref;
    if (vs30_sim <= 865.0) {
        fref = lr * 1.09 + (std::log(std::pow(r, 1.18) * 1.88 + 0.0) + -0.6312717768418578) * -1.186;
    } else {
        fref = lr * -0.30947999999999976;
    }
    return std::exp(-0.07437917037995617 - fref) * pga;
}

void cb14_row(const double *site, double *row) {
    const double v = site[0], vsim = site[1], p = site[2];
    const double a = cb14_rock_pga(vsim, p);
    const double g = std::log(1.88 + a);
    for (std::size_t j = 0; j < CB14_COLUMNS; ++j) {
        const double k1 = CB14_K1[j], k2 = CB14_K2[j], c11 = CB14_C11[j];
        const double s = v / k1;
        const double ls = std::log(s);
        double f_site;
        if (v <= k1) {
            f_site = ls * c11 + (std::log(std::pow(s, 1.18) * 1.88 + a) - g) * k2;
        } else {
            f_site = ls * (k2 * 1.18 + c11);
        }
        const double t = vsim / k1;
        const double lt = std::log(t);
        double f_sim;
        if (vsim <= k1) {
            f_sim = k2 * (std::log(std::pow(t, 1.18) * 1.88 + 0.0) + -0.6312717768418578) + c11 * lt;
        } else {
            f_sim = lt * (c11 + k2 * 1.18);
        }
        row[j] = std::exp(f_site - f_sim);
    }
}

// ---- Bayless-Abrahamson (2018) ----------------------------------------------------------------

constexpr std::size_t BA18_COLUMNS = 301;
double FREQUENCY[BA18_COLUMNS], EXPONENT[BA18_COLUMNS], F2[BA18_COLUMNS], F3[BA18_COLUMNS], F4[BA18_COLUMNS];
constexpr double PI = 3.141592653589793;

double nonlinear_factor(std::size_t k, double intensity, double offset) {
    const double base = (intensity + F4[k]) / F4[k];
    const double exponent = (std::exp(offset * F3[k]) - std::exp(F3[k] * 400.0)) * F2[k];
    return std::pow(base, exponent);
}

std::int64_t total_order_key(double x) {
    std::int64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    if (bits < 0) bits ^= INT64_MAX;
    return bits;
}

// min(value, bound); the bound for every NaN value, signalling ones included.
double at_most(double value, double bound) { return value < bound ? value : bound; }

double linear_factor(std::size_t k, double base, double kappa, double anchor) {
    if (k <= 238) return std::pow(base, EXPONENT[k]);
    return std::exp((kappa * -PI) * (FREQUENCY[k] - 24.0)) * anchor;
}

void ba18_row(const double *site, double *row) {
    const double vs30 = site[0], vs30_sim = site[1], pga = site[2];
    const double s = at_most(vs30_sim / 1000.0, 1.0);
    const double p = std::pow(s, -0.484947178274669);
    const double q = 1.1423498055712635 / p;
    const double intensity = std::pow(q, 0.846) * pga;
    const double offset = at_most(vs30, 760.0) - 360.0;

    double floor = nonlinear_factor(0, intensity, offset);
    double floor_frequency = FREQUENCY[0];
    for (std::size_t k = 1; k < BA18_COLUMNS; ++k) {
        const double factor = nonlinear_factor(k, intensity, offset);
        if (total_order_key(factor) < total_order_key(floor)) {
            floor = factor;
            floor_frequency = FREQUENCY[k];
        }
    }

    const double kappa_site = std::pow(vs30 / 760.0, -0.4) / 33.11545195869231;
    const double kappa_sim = std::pow(vs30_sim / 760.0, -0.4) / 33.11545195869231;
    const double base_site = at_most(vs30 / 1000.0, 1.0);
    const double base_sim = at_most(vs30_sim / 1000.0, 1.0);
    const double anchor_site = std::pow(base_site, 0.501182975301589);
    const double anchor_sim = std::pow(base_sim, 0.501182975301589);
    for (std::size_t k = 0; k < BA18_COLUMNS; ++k) {
        const double l_site = linear_factor(k, base_site, kappa_site, anchor_site);
        const double l_sim = linear_factor(k, base_sim, kappa_sim, anchor_sim);
        const double n = floor_frequency > FREQUENCY[k] ? nonlinear_factor(k, intensity, offset) : floor;
        row[k] = (l_site / l_sim) * n;
    }
}

}  // namespace

extern "C" {

// Reads the coefficient table (comment lines, a header, 301 rows of five numbers); returns the
// number of rows read.
int plain_ba18_load(const char *csv_path) {
    std::FILE *file = std::fopen(csv_path, "r");
    if (file == nullptr) return -1;
    char line[512];
    std::size_t rows = 0;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (line[0] == '#' || std::strncmp(line, "frequency_hz", 12) == 0 || line[0] == '\n') continue;
        if (rows == BA18_COLUMNS) {
            rows = BA18_COLUMNS + 1;
            break;
        }
        double *columns[5] = {FREQUENCY, EXPONENT, F2, F3, F4};
        char *cursor = line;
        for (double *column : columns) {
            column[rows] = std::strtod(cursor, &cursor);
            if (*cursor == ',') ++cursor;
        }
        ++rows;
    }
    std::fclose(file);
    return static_cast<int>(rows);
}

void plain_cb14(const double *sites, std::size_t n, double *out) {
    for (std::size_t i = 0; i < n; ++i) cb14_row(sites + 3 * i, out + CB14_COLUMNS * i);
}

void plain_ba18(const double *sites, std::size_t n, double *out) {
    for (std::size_t i = 0; i < n; ++i) ba18_row(sites + 3 * i, out + BA18_COLUMNS * i);
}
}
