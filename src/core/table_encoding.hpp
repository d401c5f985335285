// The native half of the table driver: from the per-column lists to the
// result matrix and the learned state.  No Python object is involved, so it
// runs on the pool and is tested without an interpreter.
#pragma once

#include "column_lists.hpp"
#include "encoding_info.hpp"
#include "matrix.hpp"

namespace kavrel {

// Runs encode_column over all columns in parallel, writing into `out`
// (n_rows x lists.column_is_text.size(), as made by Matrix::zeros), and
// gathers the text columns' maps.  An internal failure on any thread is
// raised again here, on the calling thread.
EncodingInfo encode_columns(const ColumnLists& lists, Matrix& out);

}  // namespace kavrel
