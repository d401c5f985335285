// The direct road of numpy arrays whose type is exactly numpy.ndarray: their
// item access cannot be overridden from Python, so their elements are read
// where they lie, with the outcome that item reads and the cell rules
// (cell_rules.hpp) give, without a Python object per cell.
#pragma once

#include <Python.h>

#include "../core/column_lists.hpp"
#include "../python/numpy_api.hpp"

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

namespace kavrel {

// A cell's place in the reading order, column by column: the cell of
// `column` and `row`.  A direct road that has to stop returns the first
// cell it did not read, where the item reads go on; (n_cols, 0) when it read
// them all.
struct CellPosition {
    std::size_t column;
    std::size_t row;
};

// --- Numbers

// Whether numpy type number `type` is a real number type that read_numbers
// reads (bool, the integers, float16/32/64).
bool is_numeric_type(int type) noexcept;

// The n_rows elements of that type at `base`, `stride` bytes apart, as
// doubles into `out`, as float() of each element's numpy scalar gives them:
// for a float16 NaN numpy itself is asked (a failure there throws).
void read_numbers(int type, const char* base, npy_intp stride, std::size_t n_rows, NumberList& out);

// The same as column c of the lists, a column of numbers read whole: into
// its place in the result when the lists have one, else into its list.
void read_number_column(ColumnLists& lists, std::size_t c, int type, const char* base, npy_intp stride);

// --- Two-dimensional arrays (n_rows x n_cols, native byte order), by dtype

// A real number dtype (is_numeric_type): every column, handed on.
void read_numeric_cells(PyArrayObject* array, std::size_t n_cols, ColumnLists& lists);

// Fixed-width unicode: every column text.  Stops at an element holding a
// value above U+10FFFF, which no str can hold: the item read then fails as
// it would on the other road.
CellPosition read_unicode_cells(PyArrayObject* array, std::size_t n_rows, std::size_t n_cols,
                                ColumnLists& lists);

// Object cells, each column handed on once read.  Stops after a cell whose
// own Python code changed the array's layout.
CellPosition read_object_cells(PyArrayObject* array, std::size_t n_rows, std::size_t n_cols,
                               ColumnLists& lists);

// --- One column of a frame

// Decides whether an object cell that runs_no_python_code does not accept
// is read without running Python code all the same.
using ReadsNatively = std::function<bool(PyObject* cell)>;

// Reads the object columns `arrays` of a frame (column c, a
// one-dimensional array of n_rows objects whose type is exactly
// numpy.ndarray) directly, as the rows of a two-dimensional one are read,
// while each cell is one whose reading runs no Python code: accepted by
// runs_no_python_code or by `reads_natively`.  Each column read whole is
// handed on.  Returns false at the first other cell met, with the columns
// not read whole left part read: no Python code of any cell has run.
bool read_native_object_columns(const std::vector<std::pair<std::size_t, PyArrayObject*>>& arrays,
                                ColumnLists& lists, const ReadsNatively& reads_natively);

}  // namespace kavrel
