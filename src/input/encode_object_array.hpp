// The table driver: reads every cell of a table on the calling thread, then
// encodes its columns on the pool.
#pragma once

#include <Python.h>

#include "../conversion.hpp"
#include "../python/ref.hpp"

namespace kavrel {

struct DriverResult {
    ResultMatrix result;
    EncodingInfo info;
};

// `kind` says whether `obj` is a frame, whose cells are read through its
// "values".  Every failure is an internal failure.
DriverResult encode_object_array(py::Handle obj, const OUT& kind);

}  // namespace kavrel
