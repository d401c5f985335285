// Records shared by the input adaptation, the encoding core and the output
// building.  Pure C++: no Python object appears in them.
#pragma once

#include "../lib/hashing.hpp"
#include "../lib/text_column.hpp"

#include <boost/unordered/unordered_flat_map.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

namespace kavrel {

// What an encoder learned from one table.  Invariant: the keys of both outer
// maps are exactly the entries of object_columns.
struct EncodingInfo {
    std::vector<std::size_t> object_columns;  // text columns, ascending
    boost::unordered_flat_map<std::size_t, ForwardMap, WordHash> forward_maps;
    boost::unordered_flat_map<std::size_t, ReverseMap, WordHash> reverse_maps;
};

// An n_rows x n_cols matrix of doubles in one row-major buffer: element
// r * n_cols + c is row r, column c.
class Matrix {
public:
    Matrix() = default;
    // A zero-filled matrix.  Fails with "capacity overflow" when the element
    // count or byte size does not fit, before allocating; throws
    // std::bad_alloc when the memory is not there.
    static Matrix zeros(std::size_t n_rows, std::size_t n_cols);

    std::size_t n_rows() const noexcept { return n_rows_; }
    std::size_t n_cols() const noexcept { return n_cols_; }
    double* data() noexcept { return data_.get(); }
    const double* data() const noexcept { return data_.get(); }
    double at(std::size_t r, std::size_t c) const noexcept { return data_[r * n_cols_ + c]; }

private:
    struct Free {
        void operator()(double* p) const noexcept { std::free(p); }
    };
    std::size_t n_rows_ = 0;
    std::size_t n_cols_ = 0;
    std::unique_ptr<double[], Free> data_;
};

// The cells of a table, column by column, as the table reading leaves them:
// for every column either its n_rows numbers or its n_rows texts, in row
// order, and the other list empty.
struct ColumnLists {
    explicit ColumnLists(std::size_t n_cols)
        : column_is_text(n_cols, 0), number_cells(n_cols), text_cells(n_cols) {}

    std::vector<unsigned char> column_is_text;
    std::vector<std::vector<double>> number_cells;
    std::vector<TextColumn> text_cells;
};

}  // namespace kavrel
