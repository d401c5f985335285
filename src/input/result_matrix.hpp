// The result matrix of a conversion, made as the float64 array that the
// call returns, so that nothing is copied once the cells are written.
#pragma once

#include <Python.h>

#include "../conversion.hpp"
#include "../python/numpy_api.hpp"

#include <cstddef>

namespace kavrel {

// An n_rows x n_cols result, its cells unset: the caller writes every one
// before the array is seen.  Fails with "capacity overflow" before
// allocating when the size does not fit; MemoryError when the memory is not
// there.
ResultMatrix new_result_matrix(std::size_t n_rows, std::size_t n_cols);

// A copy of `array` (a 2-D array of native float64) as a result.
ResultMatrix copy_result_matrix(PyArrayObject* array);

}  // namespace kavrel
