// Coding a table with labels learned before, without learning: the native
// half of Encoder.transform.  No Python object is involved, so it runs on
// the pool and is tested without an interpreter.
#pragma once

#include "column_lists.hpp"
#include "encoding_info.hpp"
#include "matrix.hpp"
#include "text_column.hpp"

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace kavrel {

// The code of `text` among `labels` (sorted byte-wise, as encode leaves
// them), or nothing for a text that is not one of them; the missing-value
// markers never are.
std::optional<std::size_t> find_label(const Labels& labels, std::string_view text) noexcept;

// out[i] := the code of cell i's text, NaN when it has none.  Each entry of
// the column is looked up once, on the pool.
void code_by_labels(const TextColumn& cells, const Labels& labels, std::span<double> out);

// Writes every column of `lists` into `out` (n_rows x n_cols): a column that
// `learned` has labels for is coded by them and must have been read as text;
// any other keeps its numbers and must have been read as numbers (the caller
// refuses the other cases first).  A column of another length than the
// matrix's, or of the wrong kind, is an internal failure.
void transform_columns(const ColumnLists& lists, const EncodingInfo& learned, Matrix& out);

}  // namespace kavrel
