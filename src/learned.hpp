// What an encoder learned, as Python objects: the `labels` attribute, the
// learned state that from_labels builds, and the state that pickling keeps.
#pragma once

#include <Python.h>

#include "core/encoding_info.hpp"
#include "output/label_strs.hpp"
#include "python/ref.hpp"

namespace kavrel {

// New reference: a new dict {column position: tuple of label strs in code
// order}; empty without a learned state.
py::Ref labels_dict(LearnedState* learned);

// The state that Encoder.from_labels(labels, n_columns) gives: per column
// position, its labels de-duplicated and sorted byte-wise by their UTF-8
// text, as an encode of an ndarray of that width would have learned them.
// Raises TypeError or ValueError for anything else.
EncodingInfo info_from_labels(py::Handle labels, py::Handle n_columns);

}  // namespace kavrel
