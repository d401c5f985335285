// Reading a Python table into native per-column lists, on the calling
// thread, before any parallel work starts: the road is chosen here, the
// direct read of an exact numpy array where it has one (numpy_columns,
// string_dtype), else item reads of every cell (cell_rules).
#pragma once

#include <Python.h>

#include "../core/column_lists.hpp"
#include "../python/ref.hpp"

#include <cstddef>
#include <utility>

namespace kavrel {

// (n_rows, n_cols) from the attribute "shape"; anything but a pair of
// non-negative machine-word integers is an internal failure.
std::pair<std::size_t, std::size_t> read_shape(py::Handle obj);

// A frame's "values" (new reference); a failure is an internal failure.
py::Ref read_values(py::Handle frame);

// Reads every cell source[(r, c)], column by column, into `lists`: a column
// turns text at its first cell that is not a number; the numbers read before
// it are rendered as text, every cell from it on goes through str().
void read_cells(py::Handle source, std::size_t n_rows, std::size_t n_cols, ColumnLists& lists);

}  // namespace kavrel
