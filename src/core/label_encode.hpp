// Label encoding of one text column.
#pragma once

#include "encoding_info.hpp"
#include "large_buffer.hpp"
#include "text_column.hpp"

#include <bit>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kavrel {

// The code of a missing-value marker: the quiet NaN 0x7FF8000000000000.
inline constexpr double missing_code = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

// "<NA>", "nan" and "NaN", matched on the whole string, byte for byte.
constexpr bool is_missing_marker(std::string_view s) noexcept {
    return s == "<NA>" || s == "nan" || s == "NaN";
}

// Left uninitialised by resize: the pool's threads write every code, and
// zero-filling first would touch every page once more, on one thread.
using CodeList = std::vector<double, LargeBufferAllocator<double, /*value_initialize=*/false>>;

struct LabelEncoding {
    CodeList codes;  // one per cell, in cell order
    Labels labels;   // by code
    Counts counts;   // by code: how many cells hold each label
};

// Codes are the byte-wise ranks of the distinct non-marker strings, counted
// from 0; markers get no code and encode as missing_code.  Writes the code of
// cell j to codes[j] (codes holds one slot per cell), how many cells hold
// each label to `counts` (markers are not counted), and returns the labels
// by code.  Runs its inner loops on the pool; may be called for several
// columns at once.
Labels label_encode(const TextColumn& strings, std::span<double> codes, Counts& counts);

// The same, into a code list of its own.
LabelEncoding label_encode(const TextColumn& strings);

}  // namespace kavrel
