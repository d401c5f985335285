// Decode: turning the codes of the learned text columns back into their
// labels.  A code is truncated toward zero (saturating at both ends) and
// looked up among its column's labels, whose Python strs the learned state
// keeps and shares with every call and cell.
#pragma once

#include <Python.h>

#include "../core/matrix.hpp"
#include "../python/ref.hpp"
#include "label_strs.hpp"

#include <string>
#include <vector>

namespace kavrel {

// New reference: a C-contiguous 2-D array of dtype object, the matrix's
// shape, in which the learned columns hold their labels (the str "NaN" where
// a cell has none) and every other cell a Python float of its value.
py::Ref decode_array(MatrixView matrix, LearnedState& learned);

// New reference: a 1-D array of dtype object holding the labels of the
// learned column `col` of the matrix, None where a cell has none.
py::Ref decode_column(MatrixView matrix, std::size_t col, LearnedState& learned);

// Turns each learned column of `frame` (a frame of float64 columns that this
// call made, named by `labels`) into dtype object holding its labels, None
// where a cell has none.
void decode_frame(py::Handle frame, MatrixView matrix, const std::vector<std::string>& labels,
                  LearnedState& learned);

}  // namespace kavrel
