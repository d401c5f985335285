// What the stages of one call hand each other: the input adaptation gives a
// ConversionResult, the entry point keeps its learned state, and the output
// building consumes its output kind.
#pragma once

#include "core/encoding_info.hpp"
#include "core/matrix.hpp"

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

}  // namespace kavrel
