// The columns of a pandas DataFrame read from their own storage (numpy
// arrays, Arrow buffers, the categories of a Categorical), instead of from
// the frame's consolidated "values", which makes a Python object per cell
// first.  The outcome is the one "values" gives: the same numbers, the same
// texts, the same missing values.
#pragma once

#include <Python.h>

#include "../core/column_lists.hpp"
#include "../python/ref.hpp"

#include <cstddef>

namespace kavrel {

// Reads every cell of `frame` into `lists` (n_cols empty entries) when its
// type is exactly pandas.DataFrame, it has cells, every column's dtype has a
// road here, no cell's reading runs Python code and "values" would not cast
// a number otherwise than it is read here.  False when not, found before
// any cell's Python code has run, but maybe after some columns were read
// and handed on through lists.column_read: the caller then forgets those,
// empties the lists and reads the frame's "values".  Failures are those of
// the cell reading.
bool read_frame_columns(py::Handle frame, std::size_t n_rows, std::size_t n_cols, ColumnLists& lists);

}  // namespace kavrel
