#include "read_table.hpp"

#include "../core/failure.hpp"
#include "../python/errors.hpp"
#include "../python/held_objects.hpp"
#include "cell_rules.hpp"
#include "numpy_columns.hpp"
#include "string_dtype.hpp"

#include <optional>

namespace kavrel {

namespace {

std::size_t read_dimension(PyObject* item) {
    std::size_t n = PyLong_AsSize_t(item);
    if (n == static_cast<std::size_t>(-1) && PyErr_Occurred()) py::fail_with_python_error();
    return n;
}

// Cell (r, c), a new reference.
py::Ref read_cell(PyObject* source, std::size_t r, std::size_t c) {
    py::Ref key =
        py::Ref::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(r), static_cast<Py_ssize_t>(c)));
    if (!key) py::fail_with_python_error();
    py::Ref cell = py::Ref::steal(PyObject_GetItem(source, key.get()));
    if (!cell) py::fail_with_python_error();
    return cell;
}

// Reads the cells of an exactly-numpy.ndarray source directly, and returns
// where the item reads must go on: past the last cell when the direct road
// read them all, the first cell it did not read when it had to stop (a cell
// that runs Python code changed the array, or a cell that it cannot read
// the way an item read does).  Nothing when its dtype has no direct road.
std::optional<CellPosition> read_array_cells(PyObject* source, std::size_t n_rows, std::size_t n_cols,
                                             ColumnLists& lists) {
    np::ensure_imported();
    if (!PyArray_CheckExact(source)) return std::nullopt;
    auto* array = reinterpret_cast<PyArrayObject*>(source);
    if (PyArray_NDIM(array) != 2 || static_cast<std::size_t>(PyArray_DIM(array, 0)) != n_rows ||
        static_cast<std::size_t>(PyArray_DIM(array, 1)) != n_cols || !PyArray_ISNOTSWAPPED(array))
        return std::nullopt;
    const int type = PyArray_TYPE(array);
    if (is_numeric_type(type)) {
        read_numeric_cells(array, n_cols, lists);
        return CellPosition{n_cols, 0};
    }
    switch (type) {
        case NPY_UNICODE: return read_unicode_cells(array, n_rows, n_cols, lists);
        case NPY_OBJECT: return read_object_cells(array, n_rows, n_cols, lists);
        case NPY_VSTRING: return read_string_dtype_cells(array, n_rows, n_cols, lists);
        default: return std::nullopt;
    }
}

}  // namespace

std::pair<std::size_t, std::size_t> read_shape(py::Handle obj) {
    py::Ref shape = py::Ref::steal(PyObject_GetAttr(obj.get(), py::names().shape.get()));
    if (!shape) py::fail_with_python_error();
    if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 2) {
        PyErr_Format(PyExc_TypeError, msg::shape_not_a_pair, shape.get());
        py::fail_with_python_error();
    }
    return {read_dimension(PyTuple_GET_ITEM(shape.get(), 0)),
            read_dimension(PyTuple_GET_ITEM(shape.get(), 1))};
}

py::Ref read_values(py::Handle frame) {
    py::Ref values = py::Ref::steal(PyObject_GetAttr(frame.get(), py::names().values.get()));
    if (!values) py::fail_with_python_error();
    return values;
}

void read_cells(py::Handle source, std::size_t n_rows, std::size_t n_cols, ColumnLists& lists) {
    if (n_rows == 0 || n_cols == 0) return;
    const CellPosition from =
        read_array_cells(source.get(), n_rows, n_cols, lists).value_or(CellPosition{0, 0});
    for (std::size_t c = from.column; c < n_cols; ++c) {
        lists.reserve_numbers(c, n_rows);
        for (std::size_t r = c == from.column ? from.row : 0; r < n_rows; ++r) {
            py::Ref cell = read_cell(source.get(), r, c);
            add_cell(lists, c, cell.get());
        }
        lists.column_read(c);
    }
}

}  // namespace kavrel
