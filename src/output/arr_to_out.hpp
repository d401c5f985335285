// Native -> Python: the object that encode and decode return.
#pragma once

#include <Python.h>

#include "../conversion.hpp"
#include "../python/ref.hpp"

namespace kavrel {

// New reference: a float64 array or a frame holding the matrix, and for
// decode (`info` given) with the learned text columns turned back into
// labels.  `out` is consumed.
py::Ref arr_to_out(const Matrix& matrix, OUT out, const EncodingInfo* info);

}  // namespace kavrel
