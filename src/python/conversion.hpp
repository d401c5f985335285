// The contracts between the entry points, the input adaptation and the
// output building.
#pragma once

#include <Python.h>

#include "encoding_info.hpp"
#include "pyref.hpp"

#include <optional>
#include <string>
#include <vector>

namespace kavrel {

// The output kind: the array kind carries nothing, the table kind the
// column labels of the input frame, one per column, in column order.
struct OUT {
    std::optional<std::vector<std::string>> labels;  // absent: array kind

    bool is_table() const noexcept { return labels.has_value(); }
};

struct ConversionResult {
    OUT out;
    Matrix matrix;
    std::optional<EncodingInfo> info;  // absent only after the float64 copy
};

// Recognises `obj` (borrowed) and converts it: a two-dimensional float64
// array is copied, every other accepted table goes through the driver.
// Throws py::PythonError or InternalFailure.
ConversionResult pyany_to_vec(PyObject* obj);

// Builds the result object (a new reference).  `out` is consumed; `info` is
// the learned state for decode, or null.
py::Ref arr_to_out(const Matrix& matrix, OUT out, const EncodingInfo* info);

// The table driver: reads every cell of `obj` and encodes its text columns.
struct DriverResult {
    Matrix matrix;
    EncodingInfo info;
};
DriverResult encode_object_array(PyObject* obj, const OUT& kind);

}  // namespace kavrel
