#include "models/model_table.hpp"

#include <algorithm>
#include <cstring>

namespace {

// Constant-initialised, so that models registering from other files' static initialisers find it
// ready whatever the order in which those run.
constinit RegisteredModel *head = nullptr;

// A block's triples live on the stack; each block starts its kernel afresh, which costs at most
// the sharing of values between its first sites and the previous block's last.
constexpr std::size_t BLOCK_SITES = 128;

}  // namespace

const ModelConvention *ModelEntry::convention(std::string_view wanted) const {
    for (const ModelConvention &candidate : conventions)
        if (wanted == candidate.name) return &candidate;
    return nullptr;
}

RegisteredModel::RegisteredModel(const ModelEntry &entry) noexcept : entry_(entry) {
    RegisteredModel **link = &head;
    while (*link != nullptr && std::strcmp((*link)->entry_.name, entry.name) < 0) link = &(*link)->next_;
    next_ = *link;
    *link = this;
}

ModelList all_models() { return {head}; }

const ModelEntry *model_named(std::string_view name) {
    for (const ModelEntry &model : all_models())
        if (name == model.name) return &model;
    return nullptr;
}

namespace {

// The block loop: write(sites, count, rows) for each block of sites gathered into triples (a pga
// of 0 without `pga`, for a kernel that takes its input per column).
template <class Write>
void blocks_of_columns(std::size_t columns, const double *vs30, const double *vs30_sim, const double *pga,
                       std::size_t n, double *out, Write write) noexcept {
    SiteTriple sites[BLOCK_SITES];
    for (std::size_t start = 0; start < n; start += BLOCK_SITES) {
        const std::size_t count = std::min(BLOCK_SITES, n - start);
        for (std::size_t i = 0; i < count; ++i)
            sites[i] = SiteTriple{vs30[start + i], vs30_sim[start + i], pga ? pga[start + i] : 0.0};
        write(sites, count, out + start * columns);
    }
}

}  // namespace

void rows_of_columns(BlockKernel rows, std::size_t columns, const double *vs30, const double *vs30_sim,
                     const double *pga, std::size_t n, const BatchMath &math, double *out) noexcept {
    blocks_of_columns(columns, vs30, vs30_sim, pga, n, out,
                      [&](const SiteTriple *sites, std::size_t count, double *block) { rows(sites, count, math, block); });
}

void moved_rows_of_columns(MovedKernel moved, double epsilon, std::size_t columns, const double *vs30,
                           const double *vs30_sim, const double *pga, std::size_t n, const BatchMath &math,
                           double *out) noexcept {
    blocks_of_columns(columns, vs30, vs30_sim, pga, n, out, [&](const SiteTriple *sites, std::size_t count,
                                                                double *block) { moved(sites, count, epsilon, math, block); });
}

void rows_of_column_inputs(ColumnInputKernel rows, std::size_t columns, const double *vs30, const double *vs30_sim,
                           const double *inputs, std::size_t n, const BatchMath &math, double *out) noexcept {
    blocks_of_columns(columns, vs30, vs30_sim, nullptr, n, out, [&](const SiteTriple *sites, std::size_t count,
                                                                    double *block) {
        rows(sites, inputs + (block - out), count, math, block);
    });
}

void rows_of_basin_inputs(BasinKernel rows, std::size_t columns, const double *vs30, const double *vs30_sim,
                          const double *inputs, const double *z1, const double *z1_sim, std::size_t n,
                          const BatchMath &math, double *out) noexcept {
    blocks_of_columns(columns, vs30, vs30_sim, nullptr, n, out, [&](const SiteTriple *sites, std::size_t count,
                                                                    double *block) {
        const std::size_t first = static_cast<std::size_t>(block - out) / columns;
        rows(sites, inputs + (block - out), z1 + first, z1_sim + first, count, math, block);
    });
}
