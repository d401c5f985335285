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

}  // namespace kavrel
