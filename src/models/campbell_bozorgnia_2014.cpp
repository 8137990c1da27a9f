#include "models/campbell_bozorgnia_2014.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

#include "generated/model_constants.hpp"
#include "models/model_table.hpp"
#include "simd/simd.hpp"

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

constexpr double largest_k1() {
    double largest = CB14_K1[0];
    for (double k1 : CB14_K1) largest = k1 > largest ? k1 : largest;
    return largest;
}
// A site velocity above every k1 (or NaN) takes the upper branch in every column, which reads
// neither the rock PGA nor ln(c + A).
constexpr double LARGEST_K1 = largest_k1();

// ---- Sharing work between sites -------------------------------------------------------------
//
// A vector library call has a fixed cost that a batch of a few elements does not repay, so the
// sites go through in groups and each step makes one batch for the whole group: the logarithms
// of the velocities' ratios v / k1, their powers, the lower-branch logarithms at the simulation
// Vs30s, the rock-PGA exponentials, the sites' logarithms and the exponentials of every cell.
//
// What a velocity gives depends on its bit pattern alone, so the velocities of a group that are
// equal in bits share one slot of terms, and the two of the group's last site are carried into
// the next group: one simulation Vs30 for all sites is computed once per call, site classes
// once per group. Bit patterns, not numeric equality, so that the sign of zero and NaN payloads
// are kept.
//
// Whether v <= k1 varies from run to run and from site to site beyond what a branch predictor
// learns, so nothing branches on it: every candidate operand is stored into a batch and the
// count moves on only for the runs that take the lower branch, and both branch values of a
// column are computed and the one its branch names is kept. The other never reaches a cell.
// The loops over the runs and the columns are unrolled, making each k1 a constant operand.

constexpr std::size_t GROUP = 32;
// Distinct velocities of a group: two per site, and the two carried over.
constexpr std::size_t SLOTS = 2 * GROUP + 2;
static_assert(SLOTS < 256, "slots are named by a byte in the table of bit patterns");
// The operands of one batch, over the group's velocities and runs or over its sites' logarithms,
// and one more that packing may write and unpacking may read past the end of the batch.
constexpr std::size_t BATCH = SLOTS * LEADS + 1;
static_assert(GROUP * (1 + LEADS) < BATCH);
static_assert(BATCH <= 65536, "power_cell_ names a run of a slot in 16 bits");

// The exponent operand of the batched powers (v / k1)^n.
constexpr std::array<double, BATCH> NL_EXPONENTS = [] {
    std::array<double, BATCH> exponents{};
    exponents.fill(CB14_NL_EXPONENT);
    return exponents;
}();

// The k1 of each run, then a 1 to make the count even: the quotients v / k1 go two at a time.
constexpr std::size_t PAIRED_LEADS = (LEADS + 1) / 2 * 2;
constexpr std::array<double, PAIRED_LEADS> RUN_K1 = [] {
    std::array<double, PAIRED_LEADS> k1{};
    k1.fill(1.0);
    for (std::size_t r = 0; r < LEADS; ++r) k1[r] = CB14_K1[K1_RUNS.lead_column[r]];
    return k1;
}();

// The upper branch's slope of each column, k2 n + c11 (the same double as c11 + k2 n).
constexpr std::array<double, CB14_COLUMNS> UPPER_SLOPE = [] {
    std::array<double, CB14_COLUMNS> slope{};
    for (std::size_t j = 0; j < CB14_COLUMNS; ++j) slope[j] = CB14_K2[j] * CB14_NL_EXPONENT + CB14_C11[j];
    return slope;
}();

// 1 where v takes the lower branch at k1, else 0: how far to move over packed operands.
std::size_t lower(double v, double k1) { return v <= k1; }

// Two columns in the two lanes of a Double2 (simd/simd.hpp): each lane's product, sum,
// difference and comparison is the IEEE operation on that lane's doubles, as in scalar code.
static_assert(CB14_COLUMNS % 2 == 0);

// Columns j and j + 1 of a table over the columns.
Double2 columns(const double *table, std::size_t j) { return load_doubles<Double2>(table + j); }
// The runs of columns j and j + 1 in a table over the runs.
Double2 runs(const double *table, std::size_t j) {
    return Double2{table[K1_RUNS.run_of[j]], table[K1_RUNS.run_of[j + 1]]};
}

std::uint64_t bits_of(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

// What one velocity v gives every run of k1, whatever the PGA, and, once it serves as a
// simulation Vs30, its linear site terms and rock-PGA scale; one slot per distinct velocity.
struct VelocitySlots {
    std::uint64_t key[SLOTS];                 // bit pattern of v
    double velocity[SLOTS];
    double log_ratio[SLOTS][LEADS];           // ln(v / k1)
    double scaled_power[SLOTS][LEADS];        // (v / k1)^n * c where v <= k1, 0 elsewhere
    bool simulation_ready[SLOTS];             // the two below are filled, or will be in this group
    double linear_term[SLOTS][CB14_COLUMNS];  // the site term at v with a rock amplitude of zero
    double rock_scale[SLOTS];                 // exp(rock site term - linear PGA site term at v)

    void swap(std::size_t a, std::size_t b) {
        std::swap(key[a], key[b]);
        std::swap(velocity[a], velocity[b]);
        std::swap(log_ratio[a], log_ratio[b]);
        std::swap(scaled_power[a], scaled_power[b]);
        std::swap(simulation_ready[a], simulation_ready[b]);
        std::swap(linear_term[a], linear_term[b]);
        std::swap(rock_scale[a], rock_scale[b]);
    }
};

// Writes the rows of one call, a group of sites at a time.
class Cb14GroupWriter {
public:
    explicit Cb14GroupWriter(const BatchMath &math) : math_(math) {}

    // The rows of `count` (1 to GROUP) consecutive sites, from `rows` on.
    void write(const SiteTriple *sites, std::size_t count, double *rows) {
        assign_slots(sites, count);
        fill_velocity_terms();
        fill_simulation_terms();
        write_exponents(sites, count, rows);
        math_.exp(rows, rows, count * CB14_COLUMNS);
        carry_last_site(simulation_slot_[count - 1], site_slot_[count - 1]);
    }

private:
    // The entry of a bit pattern in the table (open addressing, Fibonacci hashing): the one
    // naming its slot, else the empty one where it would go.
    std::size_t entry_of(std::uint64_t key) const {
        std::size_t entry = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15u) >> (64 - TABLE_BITS));
        while (table_[entry] != 0 && slots_.key[table_[entry] - 1u] != key) entry = (entry + 1) % TABLE;
        return entry;
    }

    // The slot holding velocity v, taking a fresh one for a velocity new to the group.
    std::size_t slot_of(double v) {
        const std::uint64_t key = bits_of(v);
        const std::size_t entry = entry_of(key);
        if (table_[entry] != 0) return table_[entry] - 1u;
        table_[entry] = static_cast<std::uint8_t>(used_ + 1);
        slots_.key[used_] = key;
        slots_.velocity[used_] = v;
        slots_.simulation_ready[used_] = false;
        return used_++;
    }

    // The slots of the group's velocities, after the ones carried over. Left to fill: the
    // velocity terms of the slots from fresh_ on and the simulation terms of pending_slot_.
    void assign_slots(const SiteTriple *sites, std::size_t count) {
        std::memset(table_, 0, sizeof table_);
        for (std::size_t s = 0; s < used_; ++s) table_[entry_of(slots_.key[s])] = static_cast<std::uint8_t>(s + 1);
        fresh_ = used_;
        pending_ = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t simulation = slot_of(sites[i].vs30_sim);
            if (!slots_.simulation_ready[simulation]) {
                slots_.simulation_ready[simulation] = true;
                pending_slot_[pending_++] = simulation;
            }
            simulation_slot_[i] = simulation;
            site_slot_[i] = slot_of(sites[i].vs30);
        }
    }

    // ln(v / k1) of every run and (v / k1)^n * c of the runs where v <= k1, for the fresh
    // slots: one batch of logarithms, in place over the slots, and one of powers.
    void fill_velocity_terms() {
        std::size_t powers = 0;
        for (std::size_t s = fresh_; s < used_; ++s) {
            const double v = slots_.velocity[s];
            double ratio[PAIRED_LEADS];
            for (std::size_t r = 0; r < PAIRED_LEADS; ++r) ratio[r] = v / RUN_K1[r];
#pragma GCC unroll 13
            for (std::size_t r = 0; r < LEADS; ++r) {
                slots_.log_ratio[s][r] = ratio[r];
                slots_.scaled_power[s][r] = 0.0;
                batch_[powers] = ratio[r];
                power_cell_[powers] = static_cast<std::uint16_t>(s * LEADS + r);
                powers += lower(v, RUN_K1[r]);
            }
        }
        double *ratios = slots_.log_ratio[fresh_];
        math_.log(ratios, ratios, (used_ - fresh_) * LEADS);
        math_.pow(batch_, NL_EXPONENTS.data(), batch_, powers);
        double *scaled_power = slots_.scaled_power[0];
        for (std::size_t k = 0; k < powers; ++k) scaled_power[power_cell_[k]] = batch_[k] * CB14_NL_AMPLITUDE;
    }

    // The site terms at each new simulation Vs30 (rock amplitude zero) and its rock-PGA scale:
    // one batch of logarithms ln((v / k1)^n * c + 0) of the runs where v <= k1, and one of
    // exponentials.
    void fill_simulation_terms() {
        std::size_t logs = 0;
        for (std::size_t q = 0; q < pending_; ++q) {
            const std::size_t s = pending_slot_[q];
            const double v = slots_.velocity[s];
#pragma GCC unroll 13
            for (std::size_t r = 0; r < LEADS; ++r) {
                batch_[logs] = slots_.scaled_power[s][r] + 0.0;
                logs += lower(v, RUN_K1[r]);
            }
        }
        batch_[logs] = 0.0;
        math_.log(batch_, batch_, logs);
        double rock_exponent[GROUP];
        const double *next_log = batch_;
        for (std::size_t q = 0; q < pending_; ++q) rock_exponent[q] = fill_simulation_slot(pending_slot_[q], next_log);
        math_.exp(rock_exponent, rock_exponent, pending_);
        for (std::size_t q = 0; q < pending_; ++q) slots_.rock_scale[pending_slot_[q]] = rock_exponent[q];
    }

    // The linear terms of slot s from its logarithms, which start at next_log and which it moves
    // past; returns the exponent of the rock-PGA scale.
    double fill_simulation_slot(std::size_t s, const double *&next_log) {
        const double v = slots_.velocity[s];
        double lower_log[LEADS];  // ln((v / k1)^n * c + 0) - ln c of a run, where v <= k1
#pragma GCC unroll 13
        for (std::size_t r = 0; r < LEADS; ++r) {
            lower_log[r] = *next_log + CB14_MINUS_LN_NL_AMPLITUDE;
            next_log += lower(v, RUN_K1[r]);
        }
        const double *log_ratio = slots_.log_ratio[s];
#pragma GCC unroll 11
        for (std::size_t j = 0; j < CB14_COLUMNS; j += 2) {
            const Double2 k2 = columns(CB14_K2, j);
            const Double2 c11 = columns(CB14_C11, j);
            const Double2 lt = runs(log_ratio, j);
            const Double2 below = k2 * runs(lower_log, j) + c11 * lt;
            const Double2 above = lt * columns(UPPER_SLOPE.data(), j);
            store_doubles(slots_.linear_term[s] + j, BROADCAST(Double2, v) <= columns(CB14_K1, j) ? below : above);
        }
        const double lr = log_ratio[K1_RUNS.run_of[PGA_COLUMN]];
        const double fref =
            v <= PGA_K1 ? lr * PGA_C11 + lower_log[K1_RUNS.run_of[PGA_COLUMN]] * PGA_K2 : lr * CB14_PGA_LINEAR_SLOPE;
        return CB14_ROCK_SITE_TERM - fref;
    }

    // The exponents of the group's cells, into their rows, after one batch of the sites'
    // logarithms: ln(c + a), then ln((v / k1)^n * c + a) of the runs where vs30 <= k1; none for
    // a site above every k1.
    void write_exponents(const SiteTriple *sites, std::size_t count, double *rows) {
        std::size_t logs = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const double vs30 = sites[i].vs30;
            const double a = slots_.rock_scale[simulation_slot_[i]] * sites[i].pga;  // rock PGA
            batch_[logs] = CB14_NL_AMPLITUDE + a;
            logs += lower(vs30, LARGEST_K1);
            const double *scaled_power = slots_.scaled_power[site_slot_[i]];
#pragma GCC unroll 13
            for (std::size_t r = 0; r < LEADS; ++r) {
                batch_[logs] = scaled_power[r] + a;
                logs += lower(vs30, RUN_K1[r]);
            }
        }
        batch_[logs] = 0.0;
        math_.log(batch_, batch_, logs);
        const double *next_log = batch_;
        for (std::size_t i = 0; i < count; ++i)
            write_row_exponents(sites[i].vs30, site_slot_[i], simulation_slot_[i], next_log, rows + i * CB14_COLUMNS);
    }

    // One row's exponents f_site - f_sim from the site's logarithms, which start at next_log and
    // which it moves past.
    void write_row_exponents(double vs30, std::size_t own, std::size_t simulation, const double *&next_log,
                             double *row) const {
        const double log_amplitude = *next_log;  // ln(c + a)
        next_log += lower(vs30, LARGEST_K1);
        double lower_log[LEADS];  // ln((v / k1)^n * c + a) - ln(c + a) of a run, where vs30 <= k1
#pragma GCC unroll 13
        for (std::size_t r = 0; r < LEADS; ++r) {
            lower_log[r] = *next_log - log_amplitude;
            next_log += lower(vs30, RUN_K1[r]);
        }
        const double *log_ratio = slots_.log_ratio[own];
        const double *linear_term = slots_.linear_term[simulation];
#pragma GCC unroll 11
        for (std::size_t j = 0; j < CB14_COLUMNS; j += 2) {
            const Double2 ls = runs(log_ratio, j);
            const Double2 below = ls * columns(CB14_C11, j) + runs(lower_log, j) * columns(CB14_K2, j);
            const Double2 above = ls * columns(UPPER_SLOPE.data(), j);
            const Double2 f_site = BROADCAST(Double2, vs30) <= columns(CB14_K1, j) ? below : above;
            store_doubles(row + j, f_site - columns(linear_term, j));
        }
    }

    // Moves the slots of the group's last site to the front, where the next group starts.
    void carry_last_site(std::size_t simulation, std::size_t own) {
        slots_.swap(0, simulation);
        if (own == simulation) {
            used_ = 1;
            return;
        }
        slots_.swap(1, own == 0 ? simulation : own);  // slot 0's velocity is now where simulation's was
        used_ = 2;
    }

    static constexpr std::size_t TABLE_BITS = 8;
    static constexpr std::size_t TABLE = std::size_t{1} << TABLE_BITS;
    static_assert(TABLE >= 2 * SLOTS, "the table stays at most half full");

    const BatchMath &math_;
    VelocitySlots slots_;
    std::size_t used_ = 0;     // slots holding a velocity
    std::size_t fresh_ = 0;    // the group's first slot whose velocity terms are still to fill
    std::size_t pending_ = 0;  // the group's slots whose simulation terms are still to fill
    std::size_t pending_slot_[GROUP];
    std::size_t simulation_slot_[GROUP];  // of each site of the group
    std::size_t site_slot_[GROUP];
    std::uint8_t table_[TABLE];  // 1 + the slot holding a bit pattern; 0 for an empty entry
    double batch_[BATCH];
    std::uint16_t power_cell_[BATCH];  // the index in scaled_power of each batched power
};

}  // namespace

void cb14_rows(const SiteTriple *sites, std::size_t n, const BatchMath &math, double *rows) {
    Cb14GroupWriter writer(math);  // about 36 KiB
    for (std::size_t i = 0; i < n; i += GROUP)
        writer.write(sites + i, std::min(GROUP, n - i), rows + i * CB14_COLUMNS);
}

void cb14_amplification_into(const SiteTriple *sites, const BatchMath &math, AmplificationMatrix &matrix) {
    cb14_rows(sites, matrix.rows(), math, matrix.row(0));
}

namespace {
// The module's site term is the published one.
constexpr ModelConvention CONVENTIONS[] = {{"module", cb14_rows}};
}  // namespace

constinit const ModelEntry CB14_MODEL{"cb14", CB14_COLUMNS, CB14_FREQUENCIES, CONVENTIONS};

namespace {
RegisteredModel registered{CB14_MODEL};
}  // namespace
