// The numeric result of a conversion.
#pragma once

#include "buffer_cache.hpp"

#include <cstddef>
#include <memory>

namespace kavrel {

// A read-only look at an n_rows x n_cols column-major buffer of doubles.
struct MatrixView {
    const double* data = nullptr;
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;

    const double* column(std::size_t c) const noexcept { return data + c * n_rows; }
    double at(std::size_t r, std::size_t c) const noexcept { return data[c * n_rows + r]; }
};

// An n_rows x n_cols matrix of doubles in one column-major buffer: column c
// is the n_rows elements from c * n_rows on.  Each column is then written by
// its own worker without sharing a cache line with another column's, and
// the buffer can be a Fortran-ordered numpy array as it stands.
class Matrix {
public:
    Matrix() = default;
    // Fails with "capacity overflow" when the element count or byte size of
    // an n_rows x n_cols matrix does not fit.
    static void check_size(std::size_t n_rows, std::size_t n_cols);
    // A zero-filled matrix of its own.  Checks the size before allocating;
    // throws std::bad_alloc when the memory is not there.
    static Matrix zeros(std::size_t n_rows, std::size_t n_cols);
    // A matrix over n_rows x n_cols doubles at `data` (null when there are
    // none), which the caller owns and keeps alive as long as the matrix.
    static Matrix over(double* data, std::size_t n_rows, std::size_t n_cols) noexcept;

    std::size_t n_rows() const noexcept { return n_rows_; }
    std::size_t n_cols() const noexcept { return n_cols_; }
    double* data() noexcept { return data_; }
    const double* data() const noexcept { return data_; }
    double* column(std::size_t c) noexcept { return data_ + c * n_rows_; }
    double at(std::size_t r, std::size_t c) const noexcept { return data_[c * n_rows_ + r]; }
    MatrixView view() const noexcept { return {data_, n_rows_, n_cols_}; }

private:
    struct Free {
        std::size_t bytes;  // of the buffer owned
        void operator()(double* p) const noexcept { buffers::deallocate(p, bytes); }
    };
    std::size_t n_rows_ = 0;
    std::size_t n_cols_ = 0;
    double* data_ = nullptr;
    std::unique_ptr<double[], Free> owned_;  // data_ when the matrix owns it
};

}  // namespace kavrel
