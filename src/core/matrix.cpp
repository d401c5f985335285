#include "matrix.hpp"

#include "failure.hpp"
#include "buffer_cache.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
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
    const std::size_t bytes = count * sizeof(double);
    m.owned_ = std::unique_ptr<double[], Free>(static_cast<double*>(buffers::allocate(bytes)), Free{bytes});
    std::memset(m.owned_.get(), 0, bytes);  // zero bytes are the double 0.0
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
