#include "amplification_matrix.hpp"

#include <cstdint>
#include <cstdlib>

namespace {
// Stands in for the storage of an empty matrix: non-null and aligned for doubles.
alignas(double) double empty_placeholder[1];

constexpr std::size_t max_bytes = static_cast<std::size_t>(PTRDIFF_MAX);
}  // namespace

std::optional<AmplificationMatrix> AmplificationMatrix::allocate(std::size_t rows, std::size_t columns) {
    if (rows == 0 || columns == 0) return AmplificationMatrix(empty_placeholder, rows, columns, 0);
    if (rows > max_bytes / sizeof(double) / columns) return std::nullopt;
    const std::size_t count = rows * columns;
    auto *storage = static_cast<double *>(std::calloc(count, sizeof(double)));
    if (storage == nullptr) return std::nullopt;
    return AmplificationMatrix(storage, rows, columns, count);
}

AmplificationMatrix::AmplificationMatrix(AmplificationMatrix &&other) noexcept
    : storage_(other.storage_), rows_(other.rows_), columns_(other.columns_), capacity_(other.capacity_) {
    other.storage_ = empty_placeholder;
    other.capacity_ = 0;
}

AmplificationMatrix::~AmplificationMatrix() { release_storage(storage_, capacity_); }

double *AmplificationMatrix::release() {
    double *storage = storage_;
    storage_ = empty_placeholder;
    capacity_ = 0;
    return storage;
}

void AmplificationMatrix::release_storage(double *storage, std::size_t capacity) {
    if (capacity != 0) std::free(storage);
}
