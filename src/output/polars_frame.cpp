#include "polars_frame.hpp"

#include "../core/failure.hpp"
#include "../python/errors.hpp"
#include "../python/utf8.hpp"
#include "decode.hpp"

#include <vector>

namespace kavrel {

py::Ref polars_frame(const ResultMatrix& result, const std::vector<std::string>& labels, LearnedState* learned) {
    const MatrixView matrix = result.matrix.view();
    const std::size_t n_cols = matrix.n_cols;
    if (labels.size() != n_cols) fail(msg::polars_columns_differ);
    std::vector<unsigned char> decoded(n_cols, 0);
    if (learned != nullptr) {
        for (std::size_t col : learned->info.object_columns) {
            if (col < n_cols)
                decoded[col] = 1;
            else if (matrix.n_rows > 0)
                fail(msg::ndarray_index_out_of_bounds);
        }
    }
    py::Ref polars = py::check(PyImport_ImportModule("polars"));
    py::Ref series_type = py::check(PyObject_GetAttrString(polars.get(), "Series"));
    py::Ref frame_type = py::check(PyObject_GetAttrString(polars.get(), "DataFrame"));
    py::Ref string_kwargs;
    if (learned != nullptr) {
        py::Ref string_type = py::check(PyObject_GetAttrString(polars.get(), "String"));
        string_kwargs = py::check(Py_BuildValue("{s:O}", "dtype", string_type.get()));
    }
    py::Ref all_rows = py::check(PySlice_New(nullptr, nullptr, nullptr));
    py::Ref columns = py::check(PyList_New(static_cast<Py_ssize_t>(n_cols)));
    for (std::size_t c = 0; c < n_cols; ++c) {
        py::Ref name = py::to_str(labels[c]);
        py::Ref values;
        if (decoded[c]) {
            // As a list: polars takes an object array for a column of
            // Python objects when it starts with None.
            values = py::check(PySequence_List(decode_column(matrix, c, *learned).get()));
        } else {
            // Column c of the Fortran-order result: one contiguous view.
            py::Ref key = py::check(Py_BuildValue("(On)", all_rows.get(), static_cast<Py_ssize_t>(c)));
            values = py::check(PyObject_GetItem(result.array.get(), key.get()));
        }
        py::Ref args = py::check(PyTuple_Pack(2, name.get(), values.get()));
        PyList_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(c),
                        py::check(PyObject_Call(series_type.get(), args.get(),
                                                decoded[c] ? string_kwargs.get() : nullptr))
                            .release());
    }
    return py::check(PyObject_CallOneArg(frame_type.get(), columns.get()));
}

}  // namespace kavrel
