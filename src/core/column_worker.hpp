// The per-column worker of the table driver and its parallel writers.
#pragma once

#include "column_lists.hpp"
#include "encoding_info.hpp"
#include "label_encode.hpp"
#include "send_ptr.hpp"

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace kavrel {

// The learned state of one text column.
struct ColumnResult {
    std::size_t column;
    Labels labels;
    Counts counts;
};

// Read-only inputs shared by all workers of one loop over columns.
struct ColumnContext {
    const ColumnLists& lists;
    SendPtr out;
};

// Fills column `col` of the output; returns the learned state of a text
// column and nothing for a numeric one.
std::optional<ColumnResult> encode_column(const ColumnContext& ctx, std::size_t col);

// Row j of column `col` := values[j], in parallel.
void copy_numbers(const ColumnContext& ctx, std::size_t col, const NumberList& values);

}  // namespace kavrel
