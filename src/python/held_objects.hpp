// What calls ask Python for by name, made once per process and kept for its
// life: the attribute names the table roads read, interned, and pandas' own
// objects that tell its frames and dtypes apart.
//
// Made without a lock: a thread that finds them missing makes them while
// other threads may do the same (Python code runs then, which must not
// wait on a lock of ours), and the first to finish publishes its set with
// one atomic exchange; the others' sets go.  Published sets never change.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace kavrel::py {

struct Names {
    Ref shape, values, columns, copy, tolist;
    Ref items, dtype, to_numpy, storage, na_value, array, codes, categories;
    Ref arrow_array, arrow_c_stream;  // __arrow_array__, __arrow_c_stream__
    Ref setitem, isetitem;            // a frame column assigned by label, by position
    Ref pandas, DataFrame, Series, StringDtype, CategoricalDtype, NA, NaT;
    Ref polars;
};

// Borrowed, made on first need.  Throws PythonError when making them fails
// (no memory); a later call tries again.
const Names& names();

struct Pandas {
    Ref frame_type;         // pandas.DataFrame
    Ref series_type;        // pandas.Series
    Ref string_dtype;       // pandas.StringDtype
    Ref categorical_dtype;  // pandas.CategoricalDtype
    Ref na, nat;            // pandas.NA, pandas.NaT
};

// Borrowed; null while pandas has not been imported, and then nothing is one
// of its frames: kavrel never imports it to read a table.  Found at the
// first call after its import.  A failed lookup (pandas part imported, say)
// is null too and is tried again next call; MemoryError and what is not an
// Exception (KeyboardInterrupt) throw PythonError.
const Pandas* imported_pandas();

// The same, importing pandas when it is not yet, to make a frame.  Every
// failure throws PythonError.
const Pandas& import_pandas();

}  // namespace kavrel::py
