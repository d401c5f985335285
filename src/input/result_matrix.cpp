#include "result_matrix.hpp"

#include "../python/errors.hpp"
#include "../python/cached_arrays.hpp"
#include "../python/numpy_api.hpp"

#include <utility>

namespace kavrel {

namespace {

ResultMatrix over(py::Ref array) {
    auto* floats = reinterpret_cast<PyArrayObject*>(array.get());
    const auto n_rows = static_cast<std::size_t>(PyArray_DIM(floats, 0));
    const auto n_cols = static_cast<std::size_t>(PyArray_DIM(floats, 1));
    auto* data = n_rows * n_cols == 0 ? nullptr : static_cast<double*>(PyArray_DATA(floats));
    return {std::move(array), Matrix::over(data, n_rows, n_cols)};
}

}  // namespace

ResultMatrix new_result_matrix(std::size_t n_rows, std::size_t n_cols) {
    Matrix::check_size(n_rows, n_cols);
    return over(np::cached_float64_array(n_rows, n_cols));
}

ResultMatrix copy_result_matrix(PyArrayObject* array) {
    ResultMatrix result = new_result_matrix(static_cast<std::size_t>(PyArray_DIM(array, 0)),
                                            static_cast<std::size_t>(PyArray_DIM(array, 1)));
    py::check_status(PyArray_CopyInto(reinterpret_cast<PyArrayObject*>(result.array.get()), array));
    return result;
}

}  // namespace kavrel
