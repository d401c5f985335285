// The handle through which the pool's threads write the output buffer.
#pragma once

#include <cstddef>

namespace kavrel {

// Non-owning: the buffer belongs to the table driver.  Shared by every pool
// thread at once without a lock, which is sound because each cell of the
// buffer is written by exactly one task (its column's worker, in the
// iteration for its row) and nothing reads the buffer until the loop over
// columns has returned.  The buffer is column-major, n_rows to a column.
struct SendPtr {
    double* data;
    std::size_t n_rows;

    double* column(std::size_t c) const noexcept { return data + c * n_rows; }
};

}  // namespace kavrel
