#include "arr_to_out.hpp"

#include "../python/errors.hpp"
#include "../python/held_objects.hpp"
#include "../python/numpy_api.hpp"
#include "../python/utf8.hpp"
#include "decode.hpp"

#include <utility>

namespace kavrel {

namespace {

py::Ref array_output(ResultMatrix result, const EncodingInfo* info) {
    if (info == nullptr) return std::move(result.array);
    return decode_array(result.matrix.view(), *info);
}

py::Ref table_output(ResultMatrix result, const std::vector<std::string>& labels, const EncodingInfo* info) {
    py::Ref kwargs = py::check(PyDict_New());
    py::Ref label_list = py::check(PyList_New(static_cast<Py_ssize_t>(labels.size())));
    for (std::size_t i = 0; i < labels.size(); ++i)
        PyList_SET_ITEM(label_list.get(), static_cast<Py_ssize_t>(i), py::to_str(labels[i]).release());
    py::check_status(PyDict_SetItemString(kwargs.get(), "columns", label_list.get()));

    py::Ref args = py::check(PyTuple_Pack(1, result.array.get()));
    py::Ref frame = py::check(PyObject_Call(py::import_pandas().frame_type.get(), args.get(), kwargs.get()));
    if (info == nullptr) return frame;

    // The codes are read from the matrix, which `result` keeps alive.
    decode_frame(frame, result.matrix.view(), labels, *info);
    return frame;
}

}  // namespace

py::Ref arr_to_out(ResultMatrix result, OUT out, const EncodingInfo* info) {
    if (!out.is_table()) return array_output(std::move(result), info);
    if (info != nullptr && info->object_columns.empty()) info = nullptr;
    return table_output(std::move(result), *out.labels, info);
}

}  // namespace kavrel
