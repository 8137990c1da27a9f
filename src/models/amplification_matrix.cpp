#include "amplification_matrix.hpp"

#include <cstdint>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {
// Stands in for the storage of an empty matrix: non-null and aligned for doubles.
alignas(double) double empty_placeholder[1];

constexpr std::size_t max_bytes = static_cast<std::size_t>(PTRDIFF_MAX);

// A large matrix is fresh memory that the kernel fills once, page by page; where the system
// gives transparent huge pages on request, the 2 MiB-aligned interior takes one fault per 2 MiB
// instead of one per 4 KiB. Only a hint: nothing changes if the system declines.
constexpr std::uintptr_t HUGE_PAGE = 2u << 20;

void ask_for_huge_pages(void *storage, std::size_t bytes) {
    const auto start = (reinterpret_cast<std::uintptr_t>(storage) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(storage) + bytes) & ~(HUGE_PAGE - 1);
#if defined(MADV_HUGEPAGE)
    if (end > start) madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
#else
    (void)start, (void)end;  // no such hint here (Windows)
#endif
}
}  // namespace

std::optional<AmplificationMatrix> AmplificationMatrix::allocate(std::size_t rows, std::size_t columns) {
    if (rows == 0 || columns == 0) return AmplificationMatrix(empty_placeholder, rows, columns, 0);
    if (rows > max_bytes / sizeof(double) / columns) return std::nullopt;
    const std::size_t count = rows * columns;
    auto *storage = static_cast<double *>(std::calloc(count, sizeof(double)));
    if (storage == nullptr) return std::nullopt;
    ask_for_huge_pages(storage, count * sizeof(double));
    return AmplificationMatrix(storage, rows, columns, count);
}

AmplificationMatrix::AmplificationMatrix(AmplificationMatrix &&other) noexcept
    : storage_(other.storage_), rows_(other.rows_), columns_(other.columns_), capacity_(other.capacity_) {
    other.storage_ = empty_placeholder;
    other.capacity_ = 0;
}

AmplificationMatrix::~AmplificationMatrix() { release_storage(storage_, length(), capacity_); }

double *AmplificationMatrix::release() {
    double *storage = storage_;
    storage_ = empty_placeholder;
    capacity_ = 0;
    return storage;
}

void AmplificationMatrix::release_storage(double *storage, std::size_t, std::size_t capacity) {
    if (capacity != 0) std::free(storage);
}
