// A polars DataFrame: recognised without importing polars, and its columns
// read from their Arrow buffers, each exported through the Arrow PyCapsule
// interface (__arrow_c_stream__).  A null is a missing value, as a NaN is in
// a pandas frame.
#pragma once

#include <Python.h>

#include "../core/column_lists.hpp"
#include "../python/ref.hpp"

#include <cstddef>

namespace kavrel {

// Whether `obj` is a polars.DataFrame (or a subclass), when polars has been
// imported: kavrel never imports it to tell.
bool is_polars_frame(py::Handle obj);

// Reads every cell of the polars frame `frame` (n_rows x n_cols) into
// `lists`, column by column, each handed on when read whole.  String
// (string, large_string, string_view), Categorical and Enum (dictionaries
// of strings) columns are read from their buffers as texts; integer, float
// and boolean columns as numbers; a null as a missing value (a NaN number,
// which a text column holds as the marker "nan").  A column of any other
// type, or one whose buffers fail a check, is read from the Python objects
// that polars makes of it (Series.to_list()) by the cell rules, None being
// missing; a List or Array column from those of its to_pandas(), as a
// pandas frame of the same data holds them.
void read_polars_columns(py::Handle frame, std::size_t n_rows, std::size_t n_cols, ColumnLists& lists);

}  // namespace kavrel
