// The cells of a table, column by column, as the table reading leaves them
// for the encoding: native data only, read on the pool's threads.
#pragma once

#include "failure.hpp"
#include "large_buffer.hpp"
#include "render_number.hpp"
#include "text_column.hpp"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace kavrel {

// A column's numbers: a million rows take 8 MB, which the buffer cache
// hands from call to call.
using NumberList = LargeVector<double>;

// Every road that reads a table writes here, and only through these
// members, so that what the encoding relies on holds whoever wrote:
// - a column is either numbers or texts: its numbers in row order and no
//   text, or its texts in row order and no number; or, for a column of
//   numbers already in the result (see column_read), neither;
// - a column turns text once and for good, and its numbers read so far
//   become their render_number texts then;
// - a column read whole is handed on by column_read: its numbers to the
//   result, its texts to the encoding.
// One calling thread writes; the pool's threads only read columns that
// column_read has handed on, which no writer touches again.
class ColumnLists {
public:
    explicit ColumnLists(std::size_t n_cols)
        : column_is_text_(n_cols, 0), text_from_(n_cols, 0), number_cells_(n_cols), text_cells_(n_cols) {}

    // Numbers of a column read whole go at once to `result`, column-major,
    // n_rows to a column; with a null result, or without this, they stay in
    // the lists.
    void write_numbers_to(double* result, std::size_t n_rows) noexcept {
        numbers_out_ = result;
        n_rows_ = n_rows;
    }
    // Told of each text column read whole: its encoding may start while
    // later columns are read.
    void on_text_read(std::function<void(std::size_t)> text_read) { text_read_ = std::move(text_read); }

    std::size_t n_cols() const noexcept { return column_is_text_.size(); }
    // The rows of a column read whole, and where their numbers go (see
    // write_numbers_to).
    std::size_t n_rows() const noexcept { return n_rows_; }
    const double* numbers_out() const noexcept { return numbers_out_; }
    // Bounds-checked: a column the lists do not have is an internal failure.
    bool is_text(std::size_t c) const { return checked_at(column_is_text_, c) != 0; }
    const NumberList& numbers(std::size_t c) const { return checked_at(number_cells_, c); }
    const TextColumn& texts(std::size_t c) const { return checked_at(text_cells_, c); }
    // The row of a text column's first cell that is not a number: the
    // numbers read before it are the ones it turned into texts.
    std::size_t text_from(std::size_t c) const { return checked_at(text_from_, c); }
    // The cells column c holds so far; none for a column without a list,
    // which the checked lookups above report.
    std::size_t size(std::size_t c) const noexcept {
        if (column_is_text_[c]) return c < text_cells_.size() ? text_cells_[c].size() : 0;
        return c < number_cells_.size() ? number_cells_[c].size() : 0;
    }

    // --- Writing, by the reading roads on the calling thread

    // Appends a number to column c, which is still a column of numbers (the
    // caller asked is_text: a text column takes the cell's text instead).
    void add_number(std::size_t c, double value) { number_cells_[c].push_back(value); }
    void reserve_numbers(std::size_t c, std::size_t n) { number_cells_[c].reserve(n); }
    // Room for texts, for a column that may turn text; it does not yet.
    void reserve_texts(std::size_t c, std::size_t n) { text_cells_[c].reserve(n); }

    // Column c's texts, to append to: a column of numbers turns text first.
    TextColumn& text_column(std::size_t c) {
        if (!column_is_text_[c]) turn_text(c);
        return text_cells_[c];
    }

    // Column c's numbers read whole at once: where to write its n_rows
    // numbers, its place in the result when the lists have one, else its
    // list, made n_rows long.
    double* number_column(std::size_t c) {
        if (numbers_out_ != nullptr) return numbers_out_ + c * n_rows_;
        number_cells_[c].resize(n_rows_);
        return number_cells_[c].data();
    }

    // Column c's first cells, read elsewhere (on the pool) by the rules
    // that the members above keep: `texts` the texts of its first cells, the
    // first that was not a number at row `text_from` (the ones above it
    // already as their render_number texts).  Only on a column nothing was
    // written to yet, but its number_column.
    void adopt_texts(std::size_t c, TextColumn&& texts, std::size_t text_from) {
        checked_at(column_is_text_, c) = 1;
        text_from_[c] = text_from;
        release(number_cells_[c]);
        text_cells_[c] = std::move(texts);
    }
    // Column c's first `count` cells are numbers, written where
    // number_column(c) said; they become its list, for the cells after them
    // to be added one by one.  Only on a column nothing else was written to.
    void keep_numbers(std::size_t c, std::size_t count) {
        NumberList& list = checked_at(number_cells_, c);
        if (numbers_out_ != nullptr) {
            list.reserve(n_rows_);
            list.assign(numbers_out_ + c * n_rows_, numbers_out_ + c * n_rows_ + count);
        } else {
            list.resize(count);
        }
    }

    // Keeps alive what texts kept as views point into (see
    // TextColumn::push_back_view), for as long as the lists.
    void keep_alive(std::shared_ptr<const void> owner) { owners_.push_back(std::move(owner)); }

    // Column c has been read whole and will not change any more.  A column
    // of numbers goes to its place in the result now and its list is freed
    // (its worker then has nothing left to copy), so that the lists never
    // hold all of a table's numbers; a text column goes to on_text_read.
    void column_read(std::size_t c) {
        if (column_is_text_[c]) {
            if (text_read_) text_read_(c);
        } else if (numbers_out_ != nullptr && number_cells_[c].size() == n_rows_) {
            std::copy(number_cells_[c].begin(), number_cells_[c].end(), numbers_out_ + c * n_rows_);
            release(number_cells_[c]);
        }
    }

    // Frees column c's texts once its encoding is done with them, so that
    // the lists of a wide table are not all held until its last column is
    // encoded.  Called by the column's own job, which alone reads the column
    // from its column_read on; the column stays a text column.
    void release_texts(std::size_t c) { checked_at(text_cells_, c).clear(); }

    // Column c, read in part by a road that then gave up on it, as before
    // any read: numeric again, its lists empty, for another road to read
    // it whole.  Only before its column_read.
    void forget_column(std::size_t c) {
        checked_at(column_is_text_, c) = 0;
        text_from_[c] = 0;
        release(number_cells_[c]);
        text_cells_[c].clear();
    }

    // Every list emptied, every column numeric again, as before any read;
    // where numbers go and who is told of text columns stay.
    void reset() {
        ColumnLists fresh(n_cols());
        fresh.write_numbers_to(numbers_out_, n_rows_);
        fresh.text_read_ = std::move(text_read_);
        *this = std::move(fresh);
    }

private:
    // Tests break the invariants on purpose, to reach the encoding's own
    // guards (tests/core/helpers.hpp).
    friend struct ColumnListsTesting;

    void turn_text(std::size_t c) {
        column_is_text_[c] = 1;
        text_from_[c] = number_cells_[c].size();
        // No room reserved for n_rows texts: cells that repeat a str share
        // its entry, so most columns need far fewer.
        for (double number : number_cells_[c]) text_cells_[c].push_back(render_number(number));
        release(number_cells_[c]);
    }

    // Declared first, so released last: the texts may be views into them.
    std::vector<std::shared_ptr<const void>> owners_;
    std::vector<unsigned char> column_is_text_;
    std::vector<std::size_t> text_from_;
    std::vector<NumberList> number_cells_;
    std::vector<TextColumn> text_cells_;
    double* numbers_out_ = nullptr;
    std::size_t n_rows_ = 0;
    std::function<void(std::size_t)> text_read_;
};

}  // namespace kavrel
