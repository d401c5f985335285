// Decode: turning the codes of the learned text columns back into their
// labels.  A code is truncated toward zero (saturating at both ends) and
// looked up in its column's reverse map; each label becomes one Python str
// per call, shared by every cell that carries it.
#pragma once

#include <Python.h>

#include "../core/encoding_info.hpp"
#include "../core/matrix.hpp"
#include "../python/ref.hpp"

#include <string>
#include <vector>

namespace kavrel {

// New reference: numpy.array(floats).astype(object) with the learned
// columns holding their labels, the str "NaN" where a cell has none.
py::Ref decode_array(py::Handle floats, const Matrix& matrix, const EncodingInfo& info);

// Turns each learned column of `frame` (named by `labels`) into dtype
// object holding its labels, None where a cell has none.
void decode_frame(py::Handle frame, const Matrix& matrix, const std::vector<std::string>& labels,
                  const EncodingInfo& info);

}  // namespace kavrel
