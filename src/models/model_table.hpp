#pragma once

// The table of the site models: one entry per model, declared in the model's own .cpp and linked
// into the table as the program starts (RegisteredModel), so that adding a model touches no other
// native file. Both modules reach every model through it.

#include <cstddef>
#include <span>
#include <string_view>

#include "models/site_triple.hpp"
#include "vector_math/batch_math.hpp"

// Writes the rows of n sites, row i for sites[i], into storage of n x columns doubles the caller
// owns, every exp, log and pow taken through `math`. Any n gives the bits of n calls of one site.
using BlockKernel = void (*)(const SiteTriple *sites, std::size_t n, const BatchMath &math, double *rows);

// The same for a model whose nonlinear input is one value per site and column (CY14's y_ref, the
// PSA on rock at each period): row i reads inputs[i * columns + j] at column j and not sites[i].pga.
using ColumnInputKernel = void (*)(const SiteTriple *sites, const double *inputs, std::size_t n, const BatchMath &math,
                                   double *rows);

// The same with each site's basin depth at both velocities (CY14's Z1, m): row i reads z1[i] and
// z1_sim[i], NaN for one not given (the model's default).
using BasinKernel = void (*)(const SiteTriple *sites, const double *inputs, const double *z1, const double *z1_sim,
                             std::size_t n, const BatchMath &math, double *rows);

// A model with epistemic uncertainty (sigma s, ln units) writes exp(F(Vs30) - F(Vs30_sim) +
// epsilon (s(Vs30) - s(Vs30_sim))): the median moved by epsilon sigma, the site and the simulation
// taken on one branch of the model. With epsilon 0 it writes the bits of the convention's rows.
using MovedKernel = void (*)(const SiteTriple *sites, std::size_t n, double epsilon, const BatchMath &math,
                             double *rows);

// A named way of computing a model's factors. `rows` takes the site's pga as the input of every
// column; `column_rows`, where the model has one, takes an input per column. A model with
// uncertainty also gives the moved factors and |s(Vs30) - s(Vs30_sim)| (ln units, no exp).
// Entries name the kernels they have: {.name = ..., .rows = ..., .moved = ...}.
struct ModelConvention {
    const char *name;
    BlockKernel rows;
    ColumnInputKernel column_rows = nullptr;
    MovedKernel moved = nullptr;
    BlockKernel sigma = nullptr;
    BasinKernel basin_rows = nullptr;
};

struct ModelEntry {
    const char *name;                 // as the package names it: "ba18"
    std::size_t columns;              // the grid's size, the width of a row of factors
    const double *frequencies;        // the grid (Hz), ascending, `columns` of them
    std::span<const ModelConvention> conventions;  // the default first

    const ModelConvention &default_convention() const { return conventions.front(); }
    // The convention of that name, or nullptr.
    const ModelConvention *convention(std::string_view name) const;
};

// Links `entry` into the table, kept in the order of the models' names: one line in the model's
// .cpp, `namespace { RegisteredModel registered{ENTRY}; }` (not const: the table links through it).
class RegisteredModel {
public:
    explicit RegisteredModel(const ModelEntry &entry) noexcept;
    RegisteredModel(const RegisteredModel &) = delete;
    RegisteredModel &operator=(const RegisteredModel &) = delete;

    const ModelEntry &entry() const { return entry_; }
    const RegisteredModel *next() const { return next_; }

private:
    const ModelEntry &entry_;
    RegisteredModel *next_ = nullptr;
};

// The entries of the table in name order, for range-for: `for (const ModelEntry &m : all_models())`.
struct ModelList {
    struct Iterator {
        const RegisteredModel *at;
        const ModelEntry &operator*() const { return at->entry(); }
        Iterator &operator++() {
            at = at->next();
            return *this;
        }
        bool operator!=(const Iterator &other) const { return at != other.at; }
    };
    const RegisteredModel *first;
    Iterator begin() const { return {first}; }
    Iterator end() const { return {nullptr}; }
};
ModelList all_models();

// The model of that name, or nullptr.
const ModelEntry *model_named(std::string_view name);

// The rows of n sites given as three columns, a block of sites at a time gathered into triples and
// written straight into `out` (n x the model's columns). Allocates nothing and never throws, so it
// runs with the interpreter lock released.
void rows_of_columns(BlockKernel rows, std::size_t columns, const double *vs30, const double *vs30_sim,
                     const double *pga, std::size_t n, const BatchMath &math, double *out) noexcept;

// The same for a kernel with an input per column: `inputs` holds n x columns doubles.
void rows_of_column_inputs(ColumnInputKernel rows, std::size_t columns, const double *vs30, const double *vs30_sim,
                           const double *inputs, std::size_t n, const BatchMath &math, double *out) noexcept;

// The same for a kernel with an input per column and the basin depths of both velocities.
void rows_of_basin_inputs(BasinKernel rows, std::size_t columns, const double *vs30, const double *vs30_sim,
                          const double *inputs, const double *z1, const double *z1_sim, std::size_t n,
                          const BatchMath &math, double *out) noexcept;

// The same with the moved factors of a model with uncertainty.
void moved_rows_of_columns(MovedKernel moved, double epsilon, std::size_t columns, const double *vs30,
                           const double *vs30_sim, const double *pga, std::size_t n, const BatchMath &math,
                           double *out) noexcept;
