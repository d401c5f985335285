// Object cells read on the pool: the cells whose type is exactly str,
// float, int (of at most two of CPython's digits: below 2^60 in
// magnitude), bool, or None, read by
// the pool's threads straight from the objects, in blocks of rows, the
// columns and the blocks of each column at once.  Every other cell is left
// to the calling thread, with every cell after it in the reading order.
#pragma once

#include <Python.h>

#include "../core/column_lists.hpp"

#include <cstddef>
#include <vector>

namespace kavrel {

// An object column: the address of its first cell's PyObject* (null: None),
// the next row's `stride` bytes further.
struct ObjectColumn {
    std::size_t column;  // its place in the lists
    const char* cells;
    std::ptrdiff_t stride;
};

// Reads the first cells of `columns` (n_rows each, nothing written to them
// yet) on the pool, each from row 0 up to its first cell that the pool
// leaves to the calling thread, and leaves them in `lists` as reading them
// one by one with add_cell would: a column's numbers where number_column
// puts them, or its texts.  Each column read whole is handed on
// (column_read) as soon as its wave of columns is read.  Returns per column
// the first row not read, n_rows for a column read whole.  With
// `in_order`, the columns after the first that was not read whole are left
// as they were, unread (0), and none of them is handed on.
//
// The caller holds `lists` and every cell alive and runs nothing while the
// pool reads: no cell can change or be freed meanwhile, save by another
// thread writing into the table, which on a build without the GIL is a data
// race that the user must avoid, as for any numpy array.
std::vector<std::size_t> read_cells_on_pool(const std::vector<ObjectColumn>& columns, std::size_t n_rows,
                                            ColumnLists& lists, bool in_order);

}  // namespace kavrel
