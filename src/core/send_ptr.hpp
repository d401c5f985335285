// The handle through which the pool's threads write the output buffer.
#pragma once

#include <cstddef>

namespace kavrel {

// Non-owning: the buffer belongs to the table driver.  Shared by every pool
// thread at once without a lock, which is sound because each cell of the
// buffer is written by exactly one task (its column's worker, in the
// iteration for its row) and nothing reads the buffer until the loop over
// columns has returned.
struct SendPtr {
    double* data;

    void write(std::size_t index, double value) const noexcept { data[index] = value; }
};

}  // namespace kavrel
