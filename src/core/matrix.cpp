#include "matrix.hpp"

#include "failure.hpp"
#include "large_buffer.hpp"

#include <cstddef>
#include <cstdint>
#include <new>

namespace kavrel {

void Matrix::check_size(std::size_t n_rows, std::size_t n_cols) {
    std::size_t count = 0;
    if (__builtin_mul_overflow(n_rows, n_cols, &count) ||
        count > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(double)) {
        fail(msg::capacity_overflow);
    }
}

Matrix Matrix::zeros(std::size_t n_rows, std::size_t n_cols) {
    check_size(n_rows, n_cols);
    Matrix m = over(nullptr, n_rows, n_cols);
    const std::size_t count = n_rows * n_cols;
    if (count == 0) return m;  // nothing to hold: no allocation
    void* data = std::calloc(count, sizeof(double));
    if (data == nullptr) throw std::bad_alloc();
    prefer_huge_pages(data, count * sizeof(double));
    // calloc's zero bytes are the double 0.0.
    m.owned_.reset(static_cast<double*>(data));
    m.data_ = m.owned_.get();
    return m;
}

Matrix Matrix::over(double* data, std::size_t n_rows, std::size_t n_cols) noexcept {
    Matrix m;
    m.n_rows_ = n_rows;
    m.n_cols_ = n_cols;
    m.data_ = data;
    return m;
}

}  // namespace kavrel
