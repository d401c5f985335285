// Python -> native: recognising the input of encode and decode.
#pragma once

#include <Python.h>

#include "../conversion.hpp"
#include "../core/label_index.hpp"
#include "../core/transform.hpp"
#include "../python/ref.hpp"

namespace kavrel {

// Recognises `obj` by its type's name and converts it: a two-dimensional
// float64 array is copied, every other accepted table goes through the
// driver encode_object_array.  Throws py::PythonError or InternalFailure.
ConversionResult pyany_to_vec(py::Handle obj);

// Recognises `obj` as pyany_to_vec does and codes it with `learned`
// (transform_object_array), learning nothing.
ConversionResult transform_to_vec(py::Handle obj, const EncodingInfo& learned, LabelIndexes& indexes,
                                  const Coding& coding);

}  // namespace kavrel
