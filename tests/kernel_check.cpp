// The kernels against the plain formulas (tests/plain_models.cpp), bit for bit, as a program of
// its own: for a platform where no Python of ours runs (Windows x86-64, built with mingw-w64 and
// run under Wine or on Windows by tools/windows.sh). There the C library is not glibc, so the
// gate must find no build-id and choose the scalar calls; every exp, log and pow is then that
// library's, in the kernels and in the plain formulas alike. Prints a summary; exits 1 on any
// difference.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <limits>
#include <vector>

#include "models/model_table.hpp"
#include "plain_models.hpp"
#include "vector_math/libm_gate.hpp"

namespace {

// Velocities and intensities where branches and clamps change, special values and a spread of
// realistic sites from a fixed generator, as rows of (vs30, vs30_sim, pga).
std::vector<double> make_sites() {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    const double velocities[] = {0.0, -0.0, -1.0, 1e-300, 150.0, 180.0, 360.0, 400.0, 760.0, std::nextafter(760.0, 0.0),
                                 865.0, 1000.0, std::nextafter(1000.0, inf), 1086.0, 1100.0, 1500.0, 3000.0, inf, nan};
    const double pgas[] = {0.0, -0.0, 1e-300, 1e-17, 0.3, 1.5, -0.2, -1.0, 1e300, inf, nan};
    std::vector<double> sites;
    for (double v : velocities)
        for (double v_sim : velocities)
            for (double a : pgas) sites.insert(sites.end(), {v, v_sim, a});
    std::uint64_t state = 20260;
    auto uniform = [&state](double low, double high) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return low + (high - low) * static_cast<double>(state >> 11) * 0x1p-53;
    };
    for (int i = 0; i < 20000; ++i) sites.insert(sites.end(), {uniform(150, 1500), uniform(150, 1500), uniform(0, 1.5)});
    return sites;
}

// Cells that differ: in their bits where both are numbers, in being NaN otherwise (a NaN's
// payload and sign are not fixed by the source).
std::size_t differing(const std::vector<double> &got, const std::vector<double> &expected) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        std::uint64_t a, b;
        std::memcpy(&a, &got[i], 8);
        std::memcpy(&b, &expected[i], 8);
        const bool nan = std::isnan(expected[i]);
        if (std::isnan(got[i]) != nan || (!nan && a != b)) ++count;
    }
    return count;
}

std::vector<SiteTriple> as_triples(const std::vector<double> &sites) {
    std::vector<SiteTriple> triples(sites.size() / 3);
    for (std::size_t i = 0; i < triples.size(); ++i)
        triples[i] = SiteTriple{sites[3 * i], sites[3 * i + 1], sites[3 * i + 2]};
    return triples;
}

}  // namespace

int main() {
    const BuildId id = loaded_libm_build_id();
    const BatchMath &math = choose_batch_math(id.text());
    const bool scalar = &math == &scalar_batch_math();
    std::printf("C library build-id: '%s'; the gate chose the %s calls\n", id.hex.data(), scalar ? "scalar" : "vector");
    const std::vector<double> sites = make_sites();
    const std::vector<SiteTriple> triples = as_triples(sites);
    const std::size_t n = triples.size();
    int failures = 0;

    // Every model and convention of the table against its plain formulas, reached by name as
    // the modules reach them.
    const std::span<const PlainModel> checks(plain_model_table, plain_model_count);
    for (const auto &check : checks) {
        const ModelEntry *model = model_named(check.model);
        const ModelConvention *convention = model == nullptr ? nullptr : model->convention(check.convention);
        if (convention == nullptr) {
            std::printf("%s %s: not in the model table\n", check.model, check.convention);
            ++failures;
            continue;
        }
        std::vector<double> plain(n * model->columns), got(n * model->columns);
        check.rows(sites.data(), n, plain.data());
        convention->rows(triples.data(), n, math, got.data());
        const std::size_t bad = differing(got, plain);
        std::printf("%s %s: %zu sites, %zu cells differ from the plain formulas\n", check.model, check.convention, n, bad);
        failures += bad != 0;
    }
    std::size_t models = 0;
    for (const ModelEntry &model : all_models()) models += model.conventions.size();
    if (models != checks.size()) {
        std::printf("the table has %zu conventions of models, %zu are checked\n", models, checks.size());
        ++failures;
    }
#if !defined(__GLIBC__)
    // Without glibc there is no verified library: the portable path is the scalar calls.
    if (!scalar || !id.text().empty()) {
        std::puts("the gate must choose the scalar calls without glibc");
        ++failures;
    }
#endif
    std::puts(failures == 0 ? "kernel check: passed" : "kernel check: FAILED");
    return failures == 0 ? 0 : 1;
}
