// numpy's variable-width string dtype (numpy.dtypes.StringDType): the
// strings of an exact ndarray read from numpy's own storage, through its C
// API, without making a Python string per cell.
#pragma once

#include <Python.h>

#include "numpy_columns.hpp"

#include <cstddef>
#include <optional>

namespace kavrel {

// Reads the cells of `array` (exactly numpy.ndarray, two-dimensional,
// n_rows x n_cols, dtype StringDType) into `lists`, with the outcome of the
// item reads.  Returns where the item reads must go on: (n_cols, 0) when it
// read every cell, the first cell it did not read when it met one that it
// cannot read the way an item read does.  Nothing when the array has no
// direct road: its missing-value object would run Python code.
std::optional<CellPosition> read_string_dtype_cells(PyArrayObject* array, std::size_t n_rows,
                                                    std::size_t n_cols, ColumnLists& lists);

}  // namespace kavrel
