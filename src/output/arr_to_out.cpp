#include "arr_to_out.hpp"

#include "../python/errors.hpp"
#include "../python/held_objects.hpp"
#include "../python/numpy_api.hpp"
#include "../python/utf8.hpp"
#include "decode.hpp"
#include "polars_frame.hpp"

#include <utility>

namespace kavrel {

namespace {

py::Ref array_output(ResultMatrix result, LearnedState* learned) {
    if (learned == nullptr) return std::move(result.array);
    return decode_array(result.matrix.view(), *learned);
}

py::Ref table_output(ResultMatrix result, const std::vector<std::string>& labels, LearnedState* learned) {
    py::Ref kwargs = py::check(PyDict_New());
    py::Ref label_list = py::check(PyList_New(static_cast<Py_ssize_t>(labels.size())));
    for (std::size_t i = 0; i < labels.size(); ++i)
        PyList_SET_ITEM(label_list.get(), static_cast<Py_ssize_t>(i), py::to_str(labels[i]).release());
    py::check_status(PyDict_SetItem(kwargs.get(), py::names().columns.get(), label_list.get()));
    // The frame takes the result as its storage: nothing else holds the
    // array, and pandas 3 would otherwise copy every cell once more.
    py::check_status(PyDict_SetItem(kwargs.get(), py::names().copy.get(), Py_False));

    py::Ref args = py::check(PyTuple_Pack(1, result.array.get()));
    py::Ref frame = py::check(PyObject_Call(py::import_pandas().frame_type.get(), args.get(), kwargs.get()));
    if (learned == nullptr) return frame;

    // The codes are read from the matrix, which `result` keeps alive.
    decode_frame(frame, result.matrix.view(), labels, *learned);
    return frame;
}

}  // namespace

py::Ref arr_to_out(ResultMatrix result, OUT out, LearnedState* learned) {
    if (!out.is_table()) return array_output(std::move(result), learned);
    if (learned != nullptr && learned->info.object_columns.empty()) learned = nullptr;
    if (out.polars) return polars_frame(result, *out.labels, learned);
    return table_output(std::move(result), *out.labels, learned);
}

}  // namespace kavrel
