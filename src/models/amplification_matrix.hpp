#pragma once

#include <cstddef>
#include <optional>

// An n x F matrix of doubles in C order, allocated zero-filled. It owns its storage until
// release() hands it on (to the result array's owner); a matrix with nothing allocated
// (n = 0) points at an aligned placeholder that is never read or freed.
class AmplificationMatrix {
public:
    // Nothing when n x columns doubles do not fit the address space or the allocation fails.
    static std::optional<AmplificationMatrix> allocate(std::size_t rows, std::size_t columns);

    AmplificationMatrix(AmplificationMatrix &&other) noexcept;
    AmplificationMatrix &operator=(AmplificationMatrix &&) = delete;
    AmplificationMatrix(const AmplificationMatrix &) = delete;
    ~AmplificationMatrix();

    std::size_t rows() const { return rows_; }
    std::size_t columns() const { return columns_; }
    std::size_t length() const { return rows_ * columns_; }  // elements in use
    std::size_t capacity() const { return capacity_; }
    double *row(std::size_t i) const { return storage_ + i * columns_; }

    // Gives up ownership of the storage; the caller frees it with release_storage().
    double *release();

    // Frees storage obtained from release(); length and capacity are the matrix's length() and
    // capacity(). Nothing is freed when capacity is 0.
    static void release_storage(double *storage, std::size_t length, std::size_t capacity);

private:
    AmplificationMatrix(double *storage, std::size_t rows, std::size_t columns, std::size_t capacity)
        : storage_(storage), rows_(rows), columns_(columns), capacity_(capacity) {}

    double *storage_;
    std::size_t rows_;
    std::size_t columns_;
    std::size_t capacity_;
};
