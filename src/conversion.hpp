// What the stages of one call hand each other: the input adaptation gives a
// ConversionResult, the entry point keeps its learned state, and the output
// building consumes its output kind.
#pragma once

#include <Python.h>

#include "core/encoding_info.hpp"
#include "core/matrix.hpp"
#include "python/ref.hpp"

#include <optional>
#include <string>
#include <vector>

namespace kavrel {

// The output kind: the array kind carries nothing, the table kind the
// column labels of the input frame, one per column, in column order.
struct OUT {
    std::optional<std::vector<std::string>> labels;  // absent: array kind
    bool polars = false;                             // a polars frame (with labels)

    bool is_table() const noexcept { return labels.has_value(); }
};

// The numeric result: a fresh float64 ndarray in Fortran order that no
// Python code has seen, and the matrix over its buffer, through which the
// conversion fills it.
struct ResultMatrix {
    py::Ref array;
    Matrix matrix;
};

struct ConversionResult {
    OUT out;
    ResultMatrix result;
    std::optional<EncodingInfo> info;  // absent only after the float64 copy
};

}  // namespace kavrel
