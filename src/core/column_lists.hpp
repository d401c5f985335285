// The cells of a table, column by column, as the table reading leaves them
// for the encoding: native data only, read on the pool's threads.
#pragma once

#include "text_column.hpp"

#include <cstddef>
#include <memory>
#include <vector>

namespace kavrel {

// For every column either its n_rows numbers or its n_rows texts, in row
// order, and the other list empty.
struct ColumnLists {
    explicit ColumnLists(std::size_t n_cols)
        : column_is_text(n_cols, 0), number_cells(n_cols), text_cells(n_cols) {}

    // What texts kept as views point into (see TextColumn::push_back_view),
    // released with the lists.  Declared first, so released last.
    std::vector<std::shared_ptr<const void>> owners;
    std::vector<unsigned char> column_is_text;
    std::vector<std::vector<double>> number_cells;
    std::vector<TextColumn> text_cells;
};

}  // namespace kavrel
