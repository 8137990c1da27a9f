// The module's kernels on each of their math paths and the parts of the math gate, for the tests
// (loaded with ctypes; built beside the module with VS30AMP_PLAIN_MODELS). The module itself
// exposes neither: it takes the path its gate chose, and a caller sees no difference.

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "generated/libm_tables.hpp"
#include "model_kernel_matrices.hpp"
#include "models/model_table.hpp"
#include "vector_math/batch_math.hpp"
#include "vector_math/libm_gate.hpp"

namespace {

// Operands on which a deliberately altered vector function returns the double next to the
// library's: a table slot of exp, of log or of pow's log (in pow, pow_of_base or pow_of_bases),
// exp's rounding ties, or the last doubles below the bound of log's polynomial about 1.
enum Alteration {
    NONE, EXP_SLOT, EXP_TIES, LOG_SLOT, LOG_NEAR_ONE_BOUND, POW_SLOT, POW_OF_BASE_SLOT, POW_OF_BASES_SLOT
};

Alteration alteration = NONE;
const MathPath *altered_path = &MATH_PATHS[1];
std::uint64_t altered_slot = 0;

double nudged(double value) { return std::nextafter(value, INFINITY); }

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

bool exp_altered(double x) {
    const double invln2n = std::bit_cast<double>(LIBM_EXP_INVLN2N[0]);
    const double shift = std::bit_cast<double>(LIBM_EXP_SHIFT[0]);
    const double shifted = std::fma(x, invln2n, shift);
    if (alteration == EXP_SLOT) return std::fabs(x) < 512 && (bits(shifted) & 127) == altered_slot;
    return alteration == EXP_TIES && std::fabs(x) < 512 && shifted != x * invln2n + shift;
}

void altered_exp(const double *x, double *out, std::size_t n) {
    altered_path->math().exp(x, out, n);
    for (std::size_t i = 0; i < n; ++i)
        if (exp_altered(x[i])) out[i] = nudged(out[i]);
}

void altered_log(const double *x, double *out, std::size_t n) {
    altered_path->math().log(x, out, n);
    for (std::size_t i = 0; i < n; ++i) {
        const bool slot = alteration == LOG_SLOT && x[i] > 0 && ((bits(x[i]) - 0x3fe6000000000000) >> 45 & 127) == altered_slot &&
                          !(x[i] >= 1 - 0x1p-4 && x[i] < 1 + 0x1.09p-4);
        const bool bound = alteration == LOG_NEAR_ONE_BOUND && x[i] < 1 + 0x1.09p-4 && x[i] >= std::nextafter(1 + 0x1.09p-4, 0) - 0x1p-50;
        if (slot || bound) out[i] = nudged(out[i]);
    }
}

void altered_pow(const double *x, const double *y, double *out, std::size_t n) {
    altered_path->math().pow(x, y, out, n);
    for (std::size_t i = 0; i < n; ++i)
        if (alteration == POW_SLOT && x[i] > 0 && std::isfinite(out[i]) &&
            ((bits(x[i]) - 0x3fe6955500000000) >> 45 & 127) == altered_slot)
            out[i] = nudged(out[i]);
}

void altered_pow_of_base(double x, const double *y, double *out, std::size_t n) {
    altered_path->math().pow_of_base(x, y, out, n);
    for (std::size_t i = 0; i < n; ++i)
        if (alteration == POW_OF_BASE_SLOT && x > 0 && std::isfinite(out[i]) &&
            ((bits(x) - 0x3fe6955500000000) >> 45 & 127) == altered_slot)
            out[i] = nudged(out[i]);
}

void altered_pow_of_bases(const double *bases, std::size_t base_count, const std::uint16_t *base_of, const double *y,
                          double *out, std::size_t n) {
    altered_path->math().pow_of_bases(bases, base_count, base_of, y, out, n);
    for (std::size_t i = 0; i < n; ++i) {
        const double x = bases[base_of[i]];
        if (alteration == POW_OF_BASES_SLOT && x > 0 && std::isfinite(out[i]) &&
            ((bits(x) - 0x3fe6955500000000) >> 45 & 127) == altered_slot)
            out[i] = nudged(out[i]);
    }
}

// The path numbered as in MATH_PATHS: 0 scalar, 1 four lanes, 2 eight as halves, 3 eight native.
const BatchMath &math_of(int path) { return MATH_PATHS[path].math(); }

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int kernel_paths_cpu_has_avx2_and_fma() { return cpu_has_avx2_and_fma(); }

// The name of path number `path` (MATH_PATHS), or NULL past the last; whether this CPU runs it.
__attribute__((visibility("default"))) const char *kernel_paths_path_name(int path) {
    return path >= 0 && path < static_cast<int>(std::size(MATH_PATHS)) ? MATH_PATHS[path].name : nullptr;
}
__attribute__((visibility("default"))) int kernel_paths_cpu_runs(int path) { return MATH_PATHS[path].cpu_runs(); }

// The name of the path the gate chooses given `build_id` (NULL: the loaded library's) and
// `forced` (NULL: VS30AMP_VECTOR_WIDTH's value).
__attribute__((visibility("default"))) const char *kernel_paths_gate_choice(const char *build_id, const char *forced) {
    const BuildId loaded = loaded_libm_build_id();
    const std::string_view id = build_id ? std::string_view(build_id) : loaded.text();
    return choose_math_path(id, forced ? forced : std::getenv("VS30AMP_VECTOR_WIDTH")).name;
}

// One function of path number `path` over n operands: 0 exp(x), 1 log(x), 2 pow(x, y),
// 3 pow(x[0], y), 4 pow(x[i % 8], y).
__attribute__((visibility("default"))) void kernel_paths_math(int path, int function, const double *x, const double *y,
                                                             double *out, std::size_t n) {
    const BatchMath &math = math_of(path);
    static constexpr std::uint16_t BASE_OF[] = {0, 1, 2, 3, 4, 5, 6, 7};
    switch (function) {
    case 0: return math.exp(x, out, n);
    case 1: return math.log(x, out, n);
    case 2: return math.pow(x, y, out, n);
    case 3: return math.pow_of_base(x[0], y, out, n);
    default:
        for (std::size_t start = 0; start < n; start += 8) {
            const std::size_t count = n - start < 8 ? n - start : 8;
            math.pow_of_bases(x + start, count, BASE_OF, y + start, out + start, count);
        }
    }
}

__attribute__((visibility("default"))) int kernel_paths_build_id(char *out, std::size_t size) {
    const BuildId id = loaded_libm_build_id();
    if (id.text().size() + 1 > size) return 0;
    std::memcpy(out, id.hex.data(), id.text().size() + 1);
    return 1;
}

// 1 when the probe agrees with vector path number `path` altered as `mode` (an Alteration) at `slot`.
__attribute__((visibility("default"))) int kernel_paths_probe_agrees_altered(int path, int mode, int slot) {
    altered_path = &MATH_PATHS[path];
    alteration = static_cast<Alteration>(mode);
    altered_slot = static_cast<std::uint64_t>(slot);
    static constexpr BatchMath altered{altered_exp, altered_log, altered_pow, altered_pow_of_base,
                                        altered_pow_of_bases};
    const int agrees = probe_agrees(altered);
    alteration = NONE;
    return agrees;
}

// Runs a model's kernel (0 CB14, 1 BA18, 2 BA18 under the published convention) on the math path (numbered as
// in MATH_PATHS) over n sites of
// three doubles and copies the matrix to out (unless out is NULL, for timing the kernel alone);
// 0 when the matrix could not be allocated.
__attribute__((visibility("default"))) int kernel_paths_run(int model, int path, const double *sites, std::size_t n,
                                                            double *out) {
    const auto *triples = reinterpret_cast<const SiteTriple *>(sites);
    auto matrix = model == 0   ? cb14_amplification(triples, n, math_of(path))
                  : model == 1 ? ba18_amplification(triples, n, math_of(path), BA18_MODULE_CONVENTION)
                               : ba18_amplification(triples, n, math_of(path), BA18_PUBLISHED_CONVENTION);
    if (!matrix) return 0;
    if (out != nullptr && n != 0) std::memcpy(out, matrix->row(0), n * matrix->columns() * sizeof(double));
    return 1;
}

// Runs model `model`'s kernel under `convention`, found in the model table, on the math path
// (numbered as in MATH_PATHS) over n sites of three doubles into out (n x the model's columns);
// 0 for a model or convention the table does not have.
__attribute__((visibility("default"))) int kernel_paths_run_named(const char *model, const char *convention, int path,
                                                                  const double *sites, std::size_t n, double *out) {
    const ModelEntry *entry = model_named(model);
    const ModelConvention *chosen = entry == nullptr ? nullptr : entry->convention(convention);
    if (chosen == nullptr) return 0;
    if (n != 0) chosen->rows(reinterpret_cast<const SiteTriple *>(sites), n, math_of(path), out);
    return 1;
}

// The same for a kernel with an input per column (n x the model's columns in `inputs`); 0 for a
// model, convention or kernel the table does not have.
__attribute__((visibility("default"))) int kernel_paths_run_columns(const char *model, const char *convention, int path,
                                                                    const double *sites, const double *inputs,
                                                                    std::size_t n, double *out) {
    const ModelEntry *entry = model_named(model);
    const ModelConvention *chosen = entry == nullptr ? nullptr : entry->convention(convention);
    if (chosen == nullptr || chosen->column_rows == nullptr) return 0;
    if (n != 0) chosen->column_rows(reinterpret_cast<const SiteTriple *>(sites), inputs, n, math_of(path), out);
    return 1;
}

// The same for a kernel with an input per column and the basin depths z1, z1_sim (n each); 0 for a
// model, convention or kernel the table does not have.
__attribute__((visibility("default"))) int kernel_paths_run_basin(const char *model, const char *convention, int path,
                                                                  const double *sites, const double *inputs,
                                                                  const double *z1, const double *z1_sim,
                                                                  std::size_t n, double *out) {
    const ModelEntry *entry = model_named(model);
    const ModelConvention *chosen = entry == nullptr ? nullptr : entry->convention(convention);
    if (chosen == nullptr || chosen->basin_rows == nullptr) return 0;
    if (n != 0)
        chosen->basin_rows(reinterpret_cast<const SiteTriple *>(sites), inputs, z1, z1_sim, n, math_of(path), out);
    return 1;
}

// As kernel_paths_run_named, the moved factors (what 0, by `epsilon` sigma) or the sigma (what 1)
// of a model with uncertainty; 0 for a model or convention without them.
__attribute__((visibility("default"))) int kernel_paths_run_uncertain(const char *model, const char *convention,
                                                                      int what, double epsilon, int path,
                                                                      const double *sites, std::size_t n,
                                                                      double *out) {
    const ModelEntry *entry = model_named(model);
    const ModelConvention *chosen = entry == nullptr ? nullptr : entry->convention(convention);
    if (chosen == nullptr || chosen->moved == nullptr || chosen->sigma == nullptr) return 0;
    const auto *triples = reinterpret_cast<const SiteTriple *>(sites);
    if (n != 0 && what == 0) chosen->moved(triples, n, epsilon, math_of(path), out);
    if (n != 0 && what == 1) chosen->sigma(triples, n, math_of(path), out);
    return 1;
}
}
