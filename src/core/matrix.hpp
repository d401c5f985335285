// The numeric result of a conversion.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace kavrel {

// An n_rows x n_cols matrix of doubles in one row-major buffer: element
// r * n_cols + c is row r, column c.
class Matrix {
public:
    Matrix() = default;
    // A zero-filled matrix.  Fails with "capacity overflow" when the element
    // count or byte size does not fit, before allocating; throws
    // std::bad_alloc when the memory is not there.
    static Matrix zeros(std::size_t n_rows, std::size_t n_cols);

    std::size_t n_rows() const noexcept { return n_rows_; }
    std::size_t n_cols() const noexcept { return n_cols_; }
    double* data() noexcept { return data_.get(); }
    const double* data() const noexcept { return data_.get(); }
    double at(std::size_t r, std::size_t c) const noexcept { return data_[r * n_cols_ + c]; }

private:
    struct Free {
        void operator()(double* p) const noexcept { std::free(p); }
    };
    std::size_t n_rows_ = 0;
    std::size_t n_cols_ = 0;
    std::unique_ptr<double[], Free> data_;
};

}  // namespace kavrel
