#include "arr_to_out.hpp"

#include "../python/errors.hpp"
#include "../python/numpy_api.hpp"
#include "../python/utf8.hpp"
#include "decode.hpp"

#include <cstring>

namespace kavrel {

namespace {

// A new float64 array holding a copy of the matrix.
py::Ref float_array(const Matrix& matrix) {
    np::ensure_imported();
    npy_intp dims[2] = {static_cast<npy_intp>(matrix.n_rows()), static_cast<npy_intp>(matrix.n_cols())};
    py::Ref array = py::check(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
    std::size_t count = matrix.n_rows() * matrix.n_cols();
    if (count != 0)
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), matrix.data(),
                    count * sizeof(double));
    return array;
}

py::Ref array_output(const Matrix& matrix, const EncodingInfo* info) {
    if (info == nullptr) return float_array(matrix);
    return decode_array(matrix, *info);
}

py::Ref table_output(const Matrix& matrix, const std::vector<std::string>& labels, const EncodingInfo* info) {
    py::Ref pandas = py::check(PyImport_ImportModule("pandas"));
    py::Ref kwargs = py::check(PyDict_New());
    py::Ref label_list = py::check(PyList_New(static_cast<Py_ssize_t>(labels.size())));
    for (std::size_t i = 0; i < labels.size(); ++i)
        PyList_SET_ITEM(label_list.get(), static_cast<Py_ssize_t>(i), py::to_str(labels[i]).release());
    py::check_status(PyDict_SetItemString(kwargs.get(), "columns", label_list.get()));

    py::Ref frame_type = py::check(PyObject_GetAttrString(pandas.get(), "DataFrame"));
    py::Ref frame;
    {
        py::Ref floats = float_array(matrix);
        py::Ref args = py::check(PyTuple_Pack(1, floats.get()));
        frame = py::check(PyObject_Call(frame_type.get(), args.get(), kwargs.get()));
    }
    if (info == nullptr) return frame;

    decode_frame(frame, matrix, labels, *info);
    return frame;
}

}  // namespace

py::Ref arr_to_out(const Matrix& matrix, OUT out, const EncodingInfo* info) {
    if (!out.is_table()) return array_output(matrix, info);
    if (info != nullptr && info->object_columns.empty()) info = nullptr;
    return table_output(matrix, *out.labels, info);
}

}  // namespace kavrel
