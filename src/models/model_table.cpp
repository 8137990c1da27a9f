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

void rows_of_columns(BlockKernel rows, std::size_t columns, const double *vs30, const double *vs30_sim,
                     const double *pga, std::size_t n, const BatchMath &math, double *out) noexcept {
    SiteTriple sites[BLOCK_SITES];
    for (std::size_t start = 0; start < n; start += BLOCK_SITES) {
        const std::size_t count = std::min(BLOCK_SITES, n - start);
        for (std::size_t i = 0; i < count; ++i)
            sites[i] = SiteTriple{vs30[start + i], vs30_sim[start + i], pga[start + i]};
        rows(sites, count, math, out + start * columns);
    }
}

void rows_of_column_inputs(ColumnInputKernel rows, std::size_t columns, const double *vs30, const double *vs30_sim,
                           const double *inputs, std::size_t n, const BatchMath &math, double *out) noexcept {
    SiteTriple sites[BLOCK_SITES];
    for (std::size_t start = 0; start < n; start += BLOCK_SITES) {
        const std::size_t count = std::min(BLOCK_SITES, n - start);
        for (std::size_t i = 0; i < count; ++i) sites[i] = SiteTriple{vs30[start + i], vs30_sim[start + i], 0.0};
        rows(sites, inputs + start * columns, count, math, out + start * columns);
    }
}
