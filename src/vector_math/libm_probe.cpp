// The probe of the gate: the candidate exp, log and pow against the scalar calls of the running
// process on inputs chosen to reach every table slot and every decision of the vector code. A
// library that computes any of them differently (another build, another path chosen at load
// time) differs on some of these inputs.

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "generated/libm_probe_inputs.hpp"
#include "generated/libm_tables.hpp"
#include "vector_math/libm_gate.hpp"

namespace {

constexpr std::size_t CAPACITY = 1 << 15;
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NAN_VALUE = std::numeric_limits<double>::quiet_NaN();

// Operands collected for one function; extra operands beyond the capacity are dropped.
struct Inputs {
    double x[CAPACITY];
    double y[CAPACITY];
    std::size_t n = 0;

    void add(double a, double b = 0.0) {
        if (n == CAPACITY) return;
        x[n] = a;
        y[n] = b;
        ++n;
    }
    // a and its neighbours up to `reach` steps either way.
    void add_around(double a, int reach, double b = 0.0) {
        double below = a, above = a;
        add(a, b);
        for (int i = 0; i < reach; ++i) {
            below = std::nextafter(below, -INF);
            above = std::nextafter(above, INF);
            add(below, b);
            add(above, b);
        }
    }
};

bool same(const double *a, const double *b, std::size_t n) { return std::memcmp(a, b, n * sizeof(double)) == 0; }

double from_bits(std::uint64_t bits) { return std::bit_cast<double>(bits); }

bool exp_agrees(const BatchMath &candidate, Inputs &in, double *got, double *want) {
    in.n = 0;
    const double invln2n = from_bits(LIBM_EXP_INVLN2N[0]);
    const double shift = from_bits(LIBM_EXP_SHIFT[0]);
    // Every table slot at several scales, with arguments at both ends of its reduction interval.
    for (int k = -128 * 3; k < 128 * 3; ++k) {
        in.add(k / invln2n);
        in.add_around((k + 0.5) / invln2n, 2);
    }
    // Rounding ties of k = round(x 128 / ln2): arguments where rounding the product on its own,
    // before the shift is added, picks another k than the fused operation.
    for (int k = -65000; k < 65000; k += 13) {
        double x = std::nextafter((k + 0.5) / invln2n, -INF);
        for (int i = 0; i < 3; ++i, x = std::nextafter(x, INF))
            if (std::fma(x, invln2n, shift) != x * invln2n + shift) in.add(x);
    }
    for (double bound : {0x1p-54, 512.0, 709.782712893384, 708.39641853226408, 0x1p-20, 1.0})
        for (double sign : {1.0, -1.0}) in.add_around(sign * bound, 3);
    for (double special : {0.0, -0.0, INF, -INF, NAN_VALUE, -745.1332191019412, 1e-310}) in.add(special);
    for (std::uint64_t bits : LIBM_PROBE_EXP) in.add(from_bits(bits));
    candidate.exp(in.x, got, in.n);
    for (std::size_t i = 0; i < in.n; ++i) want[i] = std::exp(in.x[i]);
    return same(got, want, in.n);
}

// Arguments at the ends and the middle of each of the 128 subintervals of a log table whose
// lowest argument has the bits `offset`, scaled by several powers of two.
void add_table_slots(Inputs &in, std::uint64_t offset, double y = 0.0) {
    constexpr std::uint64_t SLOT = std::uint64_t{1} << 45;
    for (std::uint64_t slot = 0; slot < 128; ++slot)
        for (std::uint64_t within : {std::uint64_t{0}, SLOT / 2 + 12345, SLOT - 1})
            for (std::int64_t exponent : {-1000, -5, 0, 1, 7, 1000})
                in.add(from_bits(offset + slot * SLOT + within + (static_cast<std::uint64_t>(exponent) << 52)), y);
}

bool log_agrees(const BatchMath &candidate, Inputs &in, double *got, double *want) {
    in.n = 0;
    add_table_slots(in, 0x3fe6000000000000);
    for (double bound : {1.0 - 0x1p-4, 1.0 + 0x1.09p-4, 1.0, 0x1p-1022, 0x1p1023}) in.add_around(bound, 3);
    for (int i = -64; i <= 64; ++i) in.add(1.0 + i * 0x1p-10);
    for (double special : {0.0, -0.0, -1.0, INF, -INF, NAN_VALUE, 1e-310, 5e-324}) in.add(special);
    for (std::uint64_t bits : LIBM_PROBE_LOG) in.add(from_bits(bits));
    candidate.log(in.x, got, in.n);
    for (std::size_t i = 0; i < in.n; ++i) want[i] = std::log(in.x[i]);
    return same(got, want, in.n);
}

bool pow_agrees(const BatchMath &candidate, Inputs &in, double *got, double *want) {
    in.n = 0;
    for (double y : {0.501182975301589, -0.4, 3.0, -1.5}) add_table_slots(in, 0x3fe6955500000000, y);
    // y at the bounds of the main path, and y log(x) at the bounds of exp's table path.
    for (double x : {0.76, 2.0, 1.0, 0.5, 1e-300}) {
        for (double bound : {0x1p-65, 0x1p63, -0x1p-65, -0x1p63}) {
            double y = std::nextafter(std::nextafter(bound, 0.0), 0.0);
            for (int i = 0; i < 5; ++i, y = std::nextafter(y, bound * 2)) in.add(x, y);
        }
    }
    for (double e : {512.0, -512.0, 0x1p-54, -0x1p-54, 709.78, -745.0}) {
        const double y = e / std::log(3.0);
        for (double step : {-INF, 0.0, INF}) in.add(3.0, step == 0.0 ? y : std::nextafter(y, step));
    }
    for (double x : {0.0, -0.0, -2.0, -0.5, INF, -INF, NAN_VALUE, 1e-310, 1.0})
        for (double y : {0.0, 2.0, 3.0, -1.0, 0.5, INF, NAN_VALUE}) in.add(x, y);
    for (std::size_t i = 0; i + 1 < std::size(LIBM_PROBE_POW); i += 2)
        in.add(from_bits(LIBM_PROBE_POW[i]), from_bits(LIBM_PROBE_POW[i + 1]));
    candidate.pow(in.x, in.y, got, in.n);
    for (std::size_t i = 0; i < in.n; ++i) want[i] = std::pow(in.x[i], in.y[i]);
    return same(got, want, in.n);
}

// Exponents of the kernels' kind, at the bounds of pow's main path, and ones that take y log x
// across the bounds of exp's table path for the larger and smaller bases.
constexpr double POW_OF_BASE_EXPONENTS[] = {0.501182975301589, -0.4, 3.0, -1.5, 0x1p-65, 0x1.fffffffffffffp-66,
                                            0x1p63, 0x1.fffffffffffffp62, -0x1p-65, 0.0, INF, NAN_VALUE,
                                            465.0, 466.0, -465.0, -466.0, 1e-17, -1e-17};

// Bases at every slot of pow's log table and at the bounds of its main path.
void add_pow_bases(Inputs &in) {
    add_table_slots(in, 0x3fe6955500000000);
    for (double base : {0.0, -0.0, -2.0, INF, NAN_VALUE, 1e-310, 0x1p-1022, 1.0, 3.0}) in.add(base);
}

// pow_of_base, for bases at every slot of pow's log table and at the bounds of its path, each
// with exponents at the bounds of the main path and of exp's table path.
bool pow_of_base_agrees(const BatchMath &candidate, Inputs &in, double *got, double *want) {
    in.n = 0;
    add_pow_bases(in);
    constexpr std::size_t count = std::size(POW_OF_BASE_EXPONENTS);
    for (std::size_t i = 0; i < in.n; ++i) {
        candidate.pow_of_base(in.x[i], POW_OF_BASE_EXPONENTS, got, count);
        for (std::size_t j = 0; j < count; ++j) want[j] = std::pow(in.x[i], POW_OF_BASE_EXPONENTS[j]);
        if (!same(got, want, count)) return false;
    }
    return true;
}

// pow_of_bases, for the same bases in groups of 64, each base meeting every exponent above and
// the exponents meeting the bases in an order that changes from block to block.
bool pow_of_bases_agrees(const BatchMath &candidate, Inputs &in, double *got, double *want) {
    in.n = 0;
    add_pow_bases(in);
    constexpr std::size_t GROUP = 64;
    constexpr std::size_t count = std::size(POW_OF_BASE_EXPONENTS);
    std::uint16_t base_of[GROUP * count];
    double exponent[GROUP * count];
    for (std::size_t first = 0; first < in.n; first += GROUP) {
        const std::size_t bases = in.n - first < GROUP ? in.n - first : GROUP;
        const std::size_t n = bases * count;
        for (std::size_t j = 0; j < n; ++j) {
            base_of[j] = static_cast<std::uint16_t>((j * 7) % bases);
            exponent[j] = POW_OF_BASE_EXPONENTS[(j / bases + j) % count];
        }
        candidate.pow_of_bases(in.x + first, bases, base_of, exponent, got, n);
        for (std::size_t j = 0; j < n; ++j) want[j] = std::pow(in.x[first + base_of[j]], exponent[j]);
        if (!same(got, want, n)) return false;
    }
    return true;
}

struct Work {
    Inputs inputs;
    double got[CAPACITY];
    double want[CAPACITY];
};

}  // namespace

bool probe_agrees(const BatchMath &candidate) {
    // Too large for the stack of every thread that may make the first call.
    std::unique_ptr<Work> work(new (std::nothrow) Work);
    if (!work) return false;
    return exp_agrees(candidate, work->inputs, work->got, work->want) &&
           log_agrees(candidate, work->inputs, work->got, work->want) &&
           pow_agrees(candidate, work->inputs, work->got, work->want) &&
           pow_of_base_agrees(candidate, work->inputs, work->got, work->want) &&
           pow_of_bases_agrees(candidate, work->inputs, work->got, work->want);
}
