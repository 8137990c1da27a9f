// The long verification of the vector exp, log and pow (and pow of one base, or of a table of
// bases, over many exponents) against the C library of this machine: at least 10^8 operands per function, drawn from classes that reach every path and table slot
// (uniform and log-uniform ranges, arguments near 1, near overflow and underflow, near the
// boundaries of the table subintervals, exp's rounding ties, random bit patterns). Prints the
// loaded libm's GNU build-id and the glibc version, the count and the differences of each class,
// and, when nothing differs, the line to add to data/verified_libm_builds.csv.
//
//   verify_libm [--count N] [--list-differences K] [--width 4|2x4|8]
//
// --width picks the vector path checked (MATH_PATHS; default 4): each is verified on its own.
// --list-differences prints up to K differing operands per function as name,index,bits lines
// (pow as x then y), the form of data/libm_probe_inputs.csv: run under
// GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA it lists operands on which the library's FMA and
// non-FMA builds differ.

#include <gnu/libc-version.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "generated/libm_tables.hpp"
#include "vector_math/batch_math.hpp"
#include "vector_math/libm_gate.hpp"

namespace {

struct Rng {
    std::uint64_t state;
    std::uint64_t next() {  // splitmix64
        std::uint64_t z = (state += 0x9e3779b97f4a7c15);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        return z ^ (z >> 31);
    }
    double uniform() { return (next() >> 11) * 0x1p-53; }
    double between(double a, double b) { return a + (b - a) * uniform(); }
    double log_uniform(double low_exponent, double high_exponent) {
        return std::exp2(between(low_exponent, high_exponent));
    }
    double bits() { return std::bit_cast<double>(next()); }
    double sign() { return next() & 1 ? -1.0 : 1.0; }
};

double from_bits(std::uint64_t bits) { return std::bit_cast<double>(bits); }

// One class of operands: fills x (and y for pow) from the generator.
struct Class {
    const char *name;
    void (*fill)(Rng &, double &x, double &y);
};

// A point in a log table's subinterval: the slot's lowest bits `offset`, a random slot, a random
// place within it or at its ends, a random binade.
double table_point(Rng &g, std::uint64_t offset, int low_exponent, int high_exponent) {
    const std::uint64_t slot = g.next() % 128;
    const std::uint64_t place = g.next() % 4;
    const std::uint64_t slot_width = std::uint64_t{1} << 45;
    const std::uint64_t within = place == 0 ? 0 : place == 1 ? slot_width - 1 : g.next() % slot_width;
    const std::int64_t exponent = low_exponent + static_cast<std::int64_t>(g.next() % (high_exponent - low_exponent));
    return from_bits(offset + slot * slot_width + within + (static_cast<std::uint64_t>(exponent) << 52));
}

const Class EXP_CLASSES[] = {
    {"uniform [-745, 710]", [](Rng &g, double &x, double &) { x = g.between(-745.2, 709.8); }},
    {"uniform [-30, 30]", [](Rng &g, double &x, double &) { x = g.between(-30, 30); }},
    {"log-uniform 2^-60..2^10", [](Rng &g, double &x, double &) { x = g.sign() * g.log_uniform(-60, 10); }},
    {"near overflow and underflow", [](Rng &g, double &x, double &) {
         x = g.next() & 1 ? g.between(700, 709.8) : g.between(-745.2, -700); }},
    {"table points k ln2/128", [](Rng &g, double &x, double &) {
         const double k = static_cast<double>(static_cast<std::int64_t>(g.next() % 200000) - 100000);
         x = (k + (g.next() % 3) * 0.5) / from_bits(LIBM_EXP_INVLN2N[0]);
         for (std::uint64_t steps = g.next() % 5; steps > 0; --steps) x = std::nextafter(x, g.sign() * INFINITY); }},
    {"rounding ties", [](Rng &g, double &x, double &) {
         const double invln2n = from_bits(LIBM_EXP_INVLN2N[0]), shift = from_bits(LIBM_EXP_SHIFT[0]);
         for (int tries = 0;; ++tries) {
             const double k = static_cast<double>(static_cast<std::int64_t>(g.next() % 190000) - 95000);
             x = (k + 0.5) / invln2n;
             for (std::uint64_t steps = g.next() % 3; steps > 0; --steps) x = std::nextafter(x, g.sign() * INFINITY);
             if (std::fma(x, invln2n, shift) != x * invln2n + shift || tries == 20) return;
         } }},
    {"random bits", [](Rng &g, double &x, double &) { x = g.bits(); }},
};

const Class LOG_CLASSES[] = {
    {"uniform (0, 2000]", [](Rng &g, double &x, double &) { x = g.between(0, 2000); }},
    {"log-uniform 2^-1022..2^1024", [](Rng &g, double &x, double &) { x = g.log_uniform(-1022, 1024); }},
    {"near 1 (within 2^-4)", [](Rng &g, double &x, double &) { x = 1.0 + g.between(-0x1p-4, 0x1.1p-4); }},
    {"very near 1", [](Rng &g, double &x, double &) { x = 1.0 + g.sign() * g.log_uniform(-53, -4); }},
    {"table subinterval ends", [](Rng &g, double &x, double &) { x = table_point(g, 0x3fe6000000000000, -1000, 1000); }},
    {"subnormal", [](Rng &g, double &x, double &) { x = from_bits(g.next() & 0x000fffffffffffff); }},
    {"random bits", [](Rng &g, double &x, double &) { x = g.bits(); }},
};

const Class POW_CLASSES[] = {
    {"x log-uniform, y in [-10, 10]", [](Rng &g, double &x, double &y) { x = g.log_uniform(-60, 60); y = g.between(-10, 10); }},
    {"x in (0.1, 2], y in [-1, 1]", [](Rng &g, double &x, double &y) { x = g.between(0.1, 2); y = g.between(-1, 1); }},
    {"x near 1, large y", [](Rng &g, double &x, double &y) {
         x = 1.0 + g.sign() * g.log_uniform(-50, -3); y = g.sign() * g.log_uniform(0, 50); }},
    {"near overflow and underflow", [](Rng &g, double &x, double &y) {
         x = g.log_uniform(-20, 20);
         const double e = g.next() & 1 ? g.between(500, 709.8) : g.between(-745.2, -500);
         y = e / std::log(x); }},
    {"table subinterval ends", [](Rng &g, double &x, double &y) {
         x = table_point(g, 0x3fe6955500000000, -1000, 1000); y = g.between(-2, 2) / (1 + std::fabs(std::log(x))); }},
    {"integers and halves", [](Rng &g, double &x, double &y) {
         x = g.sign() * g.log_uniform(-10, 10); y = static_cast<double>(static_cast<int>(g.next() % 64) - 32) * 0.5; }},
    {"random bits", [](Rng &g, double &x, double &y) { x = g.bits(); y = g.bits(); }},
};

enum class Kind { EXP, LOG, POW, POW_OF_BASE, POW_OF_BASES };

struct Function {
    const char *name;
    Kind kind;
    const Class *classes;
    std::size_t class_count;
};

struct Tally {
    std::uint64_t count = 0;
    std::uint64_t differences = 0;
};

constexpr std::size_t BLOCK = 4096;
// Exponents per base for pow_of_base: full and partial blocks of four lanes.
constexpr std::size_t BASE_RUN = 23;
// Bases per table for pow_of_bases.
constexpr std::size_t BASE_TABLE = 90;

bool differs(double a, double b) { return std::memcmp(&a, &b, sizeof a) != 0; }

// Runs `count` operands of one class on one thread; records differences (up to `keep`).
Tally run_class(const BatchMath &vector, Kind kind, const Class &c, std::uint64_t count,
                std::uint64_t seed, std::vector<std::pair<double, double>> &kept, std::size_t keep, std::mutex &lock) {
    Rng g{seed};
    std::vector<double> x(BLOCK), y(BLOCK), got(BLOCK), bases_used(BLOCK);
    std::vector<std::uint16_t> base_of(BLOCK);
    Tally tally;
    while (tally.count < count) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(BLOCK, count - tally.count));
        for (std::size_t i = 0; i < n; ++i) c.fill(g, x[i], y[i]);
        if (kind == Kind::EXP) {
            vector.exp(x.data(), got.data(), n);
        } else if (kind == Kind::LOG) {
            vector.log(x.data(), got.data(), n);
        } else if (kind == Kind::POW) {
            vector.pow(x.data(), y.data(), got.data(), n);
        } else if (kind == Kind::POW_OF_BASES) {
            // A table of bases, drawn in random order: pow(x[base_of[i]], y[i]).
            const std::size_t bases = std::min<std::size_t>(BASE_TABLE, n);
            for (std::size_t i = 0; i < n; ++i) base_of[i] = static_cast<std::uint16_t>(g.next() % bases);
            vector.pow_of_bases(x.data(), bases, base_of.data(), y.data(), got.data(), n);
            for (std::size_t i = 0; i < n; ++i) bases_used[i] = x[base_of[i]];
            std::copy(bases_used.begin(), bases_used.begin() + n, x.begin());
        } else {
            // One base for a run of exponents: pow(x[start], y[i]) for the run's i.
            for (std::size_t start = 0; start < n; start += BASE_RUN) {
                const std::size_t run = std::min(BASE_RUN, n - start);
                for (std::size_t i = start + 1; i < start + run; ++i) x[i] = x[start];
                vector.pow_of_base(x[start], y.data() + start, got.data() + start, run);
            }
        }
        for (std::size_t i = 0; i < n; ++i) {
            const double want = kind == Kind::EXP ? std::exp(x[i]) : kind == Kind::LOG ? std::log(x[i]) : std::pow(x[i], y[i]);
            if (!differs(got[i], want)) continue;
            ++tally.differences;
            std::lock_guard<std::mutex> hold(lock);
            if (kept.size() < keep) kept.emplace_back(x[i], y[i]);
        }
        tally.count += n;
    }
    return tally;
}

}  // namespace

// The vector path of MATH_PATHS named `name`, or null.
const MathPath *vector_path(const char *name) {
    for (std::size_t i = 1; i < std::size(MATH_PATHS); ++i)
        if (std::strcmp(name, MATH_PATHS[i].name) == 0) return &MATH_PATHS[i];
    return nullptr;
}

int main(int argc, char **argv) {
    std::uint64_t count = 100'000'000;
    std::size_t keep = 0;
    const MathPath *path = &MATH_PATHS[1];
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--count") == 0) count = std::strtoull(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--list-differences") == 0) keep = std::strtoull(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--width") == 0 && vector_path(argv[i + 1])) path = vector_path(argv[i + 1]);
        else {
            std::fprintf(stderr, "usage: verify_libm [--count N] [--list-differences K] [--width 4|2x4|8]\n");
            return 2;
        }
    }
    if (!path->cpu_runs()) {
        std::fprintf(stderr, "verify_libm: this CPU cannot run the %s-lane vector code\n", path->name);
        return 2;
    }
    const BatchMath &vector = path->math();
    const std::string build_id = std::string(loaded_libm_build_id().text());
    std::printf("libm GNU build-id %s, glibc %s, vector width %s\n", build_id.c_str(), gnu_get_libc_version(),
                path->name);
    const Function functions[] = {
        {"exp", Kind::EXP, EXP_CLASSES, std::size(EXP_CLASSES)},
        {"log", Kind::LOG, LOG_CLASSES, std::size(LOG_CLASSES)},
        {"pow", Kind::POW, POW_CLASSES, std::size(POW_CLASSES)},
        {"pow_of_base", Kind::POW_OF_BASE, POW_CLASSES, std::size(POW_CLASSES)},
        {"pow_of_bases", Kind::POW_OF_BASES, POW_CLASSES, std::size(POW_CLASSES)},
    };
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::uint64_t total_differences = 0;
    std::string listed;
    for (const Function &f : functions) {
        std::vector<std::pair<double, double>> kept;
        std::mutex lock;
        std::uint64_t function_count = 0;
        for (std::size_t c = 0; c < f.class_count; ++c) {
            const std::uint64_t per_class = (count + f.class_count - 1) / f.class_count;
            std::vector<Tally> tallies(threads);
            std::vector<std::thread> workers;
            for (unsigned t = 0; t < threads; ++t)
                workers.emplace_back([&, t] {
                    tallies[t] = run_class(vector, f.kind, f.classes[c], per_class / threads + 1,
                                           0x5eed0000 + 1000 * c + t + 7919 * f.name[0], kept, keep, lock);
                });
            for (auto &w : workers) w.join();
            Tally sum;
            for (const Tally &t : tallies) sum.count += t.count, sum.differences += t.differences;
            std::printf("%-12s  %-32s %12llu operands  %llu differ\n", f.name, f.classes[c].name,
                        static_cast<unsigned long long>(sum.count), static_cast<unsigned long long>(sum.differences));
            std::fflush(stdout);
            function_count += sum.count;
            total_differences += sum.differences;
        }
        std::printf("%-12s  %-32s %12llu operands\n", f.name, "all classes", static_cast<unsigned long long>(function_count));
        for (std::size_t i = 0; i < kept.size(); ++i) {
            char line[160];
            if (f.kind == Kind::POW_OF_BASE || f.kind == Kind::POW_OF_BASES)
                continue;  // the probe's pow operands come from pow itself
            if (f.kind == Kind::POW)
                std::snprintf(line, sizeof line, "pow,%zu,%#018llx\npow,%zu,%#018llx\n", 2 * i,
                              static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(kept[i].first)), 2 * i + 1,
                              static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(kept[i].second)));
            else
                std::snprintf(line, sizeof line, "%s,%zu,%#018llx\n", f.name, i,
                              static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(kept[i].first)));
            listed += line;
        }
    }
    std::printf("probe against the live library: %s\n", probe_agrees(vector) ? "agrees" : "DIFFERS");
    if (!listed.empty()) std::printf("differing operands:\n%s", listed.c_str());
    if (total_differences != 0) {
        std::printf("FAILED: %llu operands differ; do not list this build\n", static_cast<unsigned long long>(total_differences));
        return 1;
    }
    std::printf("verified; line for data/verified_libm_builds.csv:\n%s,%s,verify-libm --width %s: %llu operands per function, none differ\n",
                build_id.c_str(), gnu_get_libc_version(), path->name, static_cast<unsigned long long>(count));
    return 0;
}
