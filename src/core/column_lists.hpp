// The cells of a table, column by column, as the table reading leaves them
// for the encoding: native data only, read on the pool's threads.
#pragma once

#include "large_buffer.hpp"
#include "text_column.hpp"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace kavrel {

// For every column either its n_rows numbers or its n_rows texts, in row
// order, and the other list empty; or, for a column of numbers already in
// the result (see column_read), both lists empty.
struct ColumnLists {
    explicit ColumnLists(std::size_t n_cols)
        : column_is_text(n_cols, 0), number_cells(n_cols), text_cells(n_cols) {}

    // What texts kept as views point into (see TextColumn::push_back_view),
    // released with the lists.  Declared first, so released last.
    std::vector<std::shared_ptr<const void>> owners;
    std::vector<unsigned char> column_is_text;
    std::vector<std::vector<double>> number_cells;
    std::vector<TextColumn> text_cells;

    // Where the numbers of a column read whole may go at once (see
    // column_read): the result, column-major, n_rows to a column; null to
    // keep them in number_cells.
    double* numbers_out = nullptr;
    std::size_t n_rows = 0;
    // Told of each text column read whole, when set: its encoding may start
    // while later columns are read.
    std::function<void(std::size_t)> text_read;

    // Column c of the result, for a column of numbers written there as it
    // is read; null when the lists keep their numbers.
    double* result_column(std::size_t c) const noexcept {
        return numbers_out == nullptr ? nullptr : numbers_out + c * n_rows;
    }

    // Every list emptied, every column numeric again, as before any read.
    void reset() {
        ColumnLists fresh(column_is_text.size());
        fresh.numbers_out = numbers_out;
        fresh.n_rows = n_rows;
        fresh.text_read = std::move(text_read);
        *this = std::move(fresh);
    }

    // Column c has been read whole and will not change any more.  A column
    // of numbers goes to its place in the result now and its list is freed
    // (its worker then has nothing left to copy), so that the lists never
    // hold all of a table's numbers; a text column goes to text_read.
    void column_read(std::size_t c) {
        if (column_is_text[c]) {
            if (text_read) text_read(c);
        } else if (numbers_out != nullptr && number_cells[c].size() == n_rows) {
            std::copy(number_cells[c].begin(), number_cells[c].end(), result_column(c));
            release(number_cells[c]);
        }
    }
};

}  // namespace kavrel
