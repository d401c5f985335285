// Native -> Python: the object that encode and decode return.
#pragma once

#include <Python.h>

#include "../conversion.hpp"
#include "../python/ref.hpp"
#include "label_strs.hpp"

namespace kavrel {

// New reference: a float64 array or a frame holding the matrix, and for
// decode (`learned` given) with the learned text columns turned back into
// labels.  Consumes `result` (the float64 array of encode is returned as
// it is) and `out`.
py::Ref arr_to_out(ResultMatrix result, OUT out, LearnedState* learned);

}  // namespace kavrel
