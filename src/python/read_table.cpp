#include "read_table.hpp"

#include "errors.hpp"
#include "render_number.hpp"
#include "text.hpp"

#include "../lib/failure.hpp"

namespace kavrel {

namespace {

std::size_t read_dimension(PyObject* item) {
    std::size_t n = PyLong_AsSize_t(item);
    if (n == static_cast<std::size_t>(-1) && PyErr_Occurred()) py::fail_with_python_error();
    return n;
}

// Cell (r, c), a new reference.
py::Ref read_cell(PyObject* source, std::size_t r, std::size_t c) {
    py::Ref key = py::Ref::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(r), static_cast<Py_ssize_t>(c)));
    if (!key) py::fail_with_python_error();
    py::Ref cell = py::Ref::steal(PyObject_GetItem(source, key.get()));
    if (!cell) py::fail_with_python_error();
    return cell;
}

// Whether `cell` is a number, by the float protocol; its value in `value`.
bool read_number(PyObject* cell, double& value) {
    if (PyFloat_CheckExact(cell)) {
        value = PyFloat_AS_DOUBLE(cell);
        return true;
    }
    value = PyFloat_AsDouble(cell);
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

void append_cell_text(TextColumn& texts, PyObject* cell) {
    py::Ref text = py::Ref::steal(PyObject_Str(cell));
    if (!text) py::fail_with_python_error("cant convert to str");
    py::append_utf8(texts, text.get());
}

}  // namespace

std::pair<std::size_t, std::size_t> read_shape(PyObject* obj) {
    py::Ref shape = py::Ref::steal(PyObject_GetAttrString(obj, "shape"));
    if (!shape) py::fail_with_python_error();
    if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 2) {
        PyErr_Format(PyExc_TypeError, "shape %R is not a pair of integers", shape.get());
        py::fail_with_python_error();
    }
    return {read_dimension(PyTuple_GET_ITEM(shape.get(), 0)), read_dimension(PyTuple_GET_ITEM(shape.get(), 1))};
}

py::Ref read_values(PyObject* frame) {
    py::Ref values = py::Ref::steal(PyObject_GetAttrString(frame, "values"));
    if (!values) py::fail_with_python_error();
    return values;
}

void read_cells(PyObject* source, std::size_t n_rows, std::size_t n_cols, ColumnLists& lists) {
    for (std::size_t c = 0; c < n_cols; ++c) {
        auto& numbers = lists.number_cells[c];
        auto& texts = lists.text_cells[c];
        numbers.reserve(n_rows);
        for (std::size_t r = 0; r < n_rows; ++r) {
            py::Ref cell = read_cell(source, r, c);
            if (lists.column_is_text[c]) {
                append_cell_text(texts, cell.get());
                continue;
            }
            double value;
            if (read_number(cell.get(), value)) {
                numbers.push_back(value);
                continue;
            }
            // The first cell that is not a number: the column is text.
            lists.column_is_text[c] = 1;
            texts.reserve(n_rows);
            for (double number : numbers) texts.push_back(render_number(number));
            numbers = {};
            append_cell_text(texts, cell.get());
        }
    }
}

}  // namespace kavrel
