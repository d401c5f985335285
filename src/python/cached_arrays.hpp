// numpy arrays whose buffers come from the buffer cache: a large one's
// pages are reused by the next call instead of being mapped afresh, and go
// back to the cache when numpy frees the array.
#pragma once

#include <Python.h>

#include "numpy_api.hpp"
#include "ref.hpp"

#include <cstddef>

namespace kavrel::np {

// An uninitialised n_rows x n_cols Fortran-ordered float64 array.
py::Ref cached_float64_array(std::size_t n_rows, std::size_t n_cols);

// A C-ordered object array of shape `dims`, every element null.
py::Ref cached_object_array(int ndim, npy_intp* dims);

}  // namespace kavrel::np
