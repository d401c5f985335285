// Native -> Python: a polars DataFrame, for a polars frame given.
#pragma once

#include <Python.h>

#include "../conversion.hpp"
#include "../python/ref.hpp"
#include "label_strs.hpp"

#include <string>
#include <vector>

namespace kavrel {

// New reference: a polars DataFrame holding the matrix's columns, named by
// `labels`, made through polars' own API: a Float64 column each, and for
// decode (`learned` given) a String column of labels (null where a cell has
// none) for each learned column.  polars is imported already: its frame
// was the input.
py::Ref polars_frame(const ResultMatrix& result, const std::vector<std::string>& labels, LearnedState* learned);

}  // namespace kavrel
