// What a cell is, by the rules every road reads a table with: a number when
// Python's float protocol accepts it, else a text, str() of the cell; a
// column turns text at its first cell that is not a number.
#pragma once

#include <Python.h>

#include "../core/column_lists.hpp"
#include "../core/text_column.hpp"

#include <cstddef>

namespace kavrel {

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

}  // namespace kavrel
