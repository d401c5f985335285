// Reading a Python table into native per-column lists, on the calling
// thread, before any parallel work starts.
#pragma once

#include <Python.h>

#include "../core/column_lists.hpp"
#include "../python/numpy_api.hpp"
#include "../python/ref.hpp"

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

namespace kavrel {

// (n_rows, n_cols) from the attribute "shape"; anything but a pair of
// non-negative machine-word integers is an internal failure.
std::pair<std::size_t, std::size_t> read_shape(py::Handle obj);

// A frame's "values" (new reference); a failure is an internal failure.
py::Ref read_values(py::Handle frame);

// Reads every cell source[(r, c)], column by column, into `lists`: a column
// turns text at its first cell that is not a number; the numbers read before
// it are rendered as text, every cell from it on goes through str().
void read_cells(py::Handle source, std::size_t n_rows, std::size_t n_cols, ColumnLists& lists);

// A cell's place in the reading order, column by column: the cell of
// `column` and `row`.
struct CellPosition {
    std::size_t column;
    std::size_t row;
};

// --- Steps of the cell reading, for the roads that read a table's columns
// from their own storage (frame_columns.cpp, string_dtype.cpp).

// After a failed Python call whose ordinary exception has a meaning of its
// own ("not a number", "no direct road"): clears it.  MemoryError and what
// is not an Exception at all (KeyboardInterrupt, SystemExit) end the call
// and reach the caller as they are: throws py::PythonError.
void clear_ordinary_error();

// Whether `cell` is a number, by the float protocol; its value in `value`.
// Exact str, int and bool are decided without raising and clearing an
// exception.  An ordinary exception means "not a number"; MemoryError and
// what is not an Exception (KeyboardInterrupt) throw py::PythonError.
bool read_number(PyObject* cell, double& value);

// Appends str(cell) as UTF-8; exact str, float, int and bool without making
// a Python object.  A failing str() is an internal failure.
void append_cell_text(TextColumn& texts, PyObject* cell);

// Whether reading `cell` runs no Python code: an exact str, float, int or
// bool, or None (whose str() is built in).
bool runs_no_python_code(PyObject* cell) noexcept;

// Adds `cell` (borrowed) to column c: a number while the column is numeric,
// else its text; its first non-number turns the column into text.  Runs
// the cell's own Python code, if any.
void add_cell(ColumnLists& lists, std::size_t c, PyObject* cell);

// Turns column c into a text column: the numbers read so far become their
// render_number texts.
void turn_text(ColumnLists& lists, std::size_t c);

// Whether numpy type number `type` is a real number type that read_numbers
// reads (bool, the integers, float16/32/64).
bool is_numeric_type(int type) noexcept;

// The n_rows elements of that type at `base`, `stride` bytes apart, as
// doubles into `out`, as float() of each element's numpy scalar gives them:
// for a float16 NaN numpy itself is asked (a failure there throws).
void read_numbers(int type, const char* base, npy_intp stride, std::size_t n_rows, std::vector<double>& out);

// The same as column c of the lists, a column of numbers read whole: into
// its place in the result when the lists have one, else into its list.
void read_number_column(ColumnLists& lists, std::size_t c, int type, const char* base, npy_intp stride);

// Decides whether an object cell that runs_no_python_code does not accept
// is read without running Python code all the same.
using ReadsNatively = std::function<bool(PyObject* cell)>;

// Reads the cells of `array`, a one-dimensional array whose type is exactly
// numpy.ndarray and whose dtype is object, as column c, directly, as the
// rows of a two-dimensional one are read, while each cell is one whose
// reading runs no Python code: accepted by runs_no_python_code or by
// `reads_natively`.  Returns false at the first other cell, with neither it
// nor any cell after it read, and column c left part read: no Python code
// of any cell has run.
bool read_native_object_column(PyArrayObject* array, std::size_t c, ColumnLists& lists,
                               const ReadsNatively& reads_natively);

}  // namespace kavrel
