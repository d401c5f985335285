#include "learned.hpp"

#include "python/compat.hpp"
#include "python/errors.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace kavrel {

namespace {

bool is_marker(std::string_view text) noexcept {
    return text == "<NA>" || text == "nan" || text == "NaN";
}

std::size_t width_of(py::Handle n_columns) {
    if (!PyIndex_Check(n_columns.get())) py::raise_not_an_instance(n_columns, "int");
    Py_ssize_t width = PyNumber_AsSsize_t(n_columns.get(), PyExc_ValueError);
    if (width == -1 && PyErr_Occurred()) throw py::PythonError{};
    if (width < 0) py::raise(PyExc_ValueError, msg::negative_width, width);
    return static_cast<std::size_t>(width);
}

std::size_t position_of(py::Handle key, std::size_t n_columns) {
    if (!PyIndex_Check(key.get())) py::raise_not_an_instance(key, "int");
    // Clipped to the range of Py_ssize_t: a position beyond it is out of
    // range as much as the clipped one.
    Py_ssize_t position = PyNumber_AsSsize_t(key.get(), nullptr);
    if (position == -1 && PyErr_Occurred()) throw py::PythonError{};
    if (position < 0 || static_cast<std::size_t>(position) >= n_columns)
        py::raise(PyExc_ValueError, msg::position_out_of_range, key.get(), n_columns);
    return static_cast<std::size_t>(position);
}

// The UTF-8 text of label `label` of column `col`.  Not through
// PyUnicode_AsUTF8AndSize, which would leave a UTF-8 copy inside the
// caller's str.
std::string label_text(py::Handle label, std::size_t col) {
    if (!PyUnicode_Check(label.get())) py::raise_not_an_instance(label, "str");
    std::string text;
    if (PyUnicode_IS_ASCII(label.get())) {
        text.assign(static_cast<const char*>(PyUnicode_DATA(label.get())),
                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(label.get())));
    } else {
        py::Ref bytes = py::Ref::steal(PyUnicode_AsUTF8String(label.get()));
        if (!bytes) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::PythonError{};
            PyErr_Clear();
            py::raise(PyExc_ValueError, msg::label_not_utf8, label.get(), col);
        }
        text.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    }
    if (is_marker(text)) py::raise(PyExc_ValueError, msg::marker_as_label, label.get(), col);
    return text;
}

// The labels of column `col` from the iterable `given`, in code order.
Labels column_labels(py::Handle given, std::size_t col) {
    // A str is an iterable of str, but never meant as one label per
    // character.
    if (PyUnicode_Check(given.get()) || PyBytes_Check(given.get()))
        py::raise(PyExc_TypeError, msg::labels_are_one_str, col);
    py::Ref iter = py::check(PyObject_GetIter(given.get()));
    std::vector<std::string> texts;
    for (;;) {
        PyObject* raw = nullptr;
        int status = PyIter_NextItem(iter.get(), &raw);
        py::check_status(status);
        if (status == 0) break;
        py::Ref label = py::Ref::steal(raw);
        texts.push_back(label_text(label, col));
    }
    // std::string orders by unsigned bytes: the order encode gives codes in.
    std::sort(texts.begin(), texts.end());
    texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
    std::string text;
    std::vector<std::uint64_t> ends;
    ends.reserve(texts.size());
    for (const std::string& label : texts) {
        text += label;
        ends.push_back(text.size());
    }
    return Labels(std::move(text), std::move(ends));
}

bool is_mapping(py::Handle obj) {
    if (PyDict_Check(obj.get())) return true;
    py::Ref abc = py::check(PyImport_ImportModule("collections.abc"));
    py::Ref mapping = py::check(PyObject_GetAttrString(abc.get(), "Mapping"));
    int is = PyObject_IsInstance(obj.get(), mapping.get());
    py::check_status(is);
    return is == 1;
}

}  // namespace

py::Ref labels_dict(LearnedState* learned) {
    py::Ref dict = py::check(PyDict_New());
    if (learned == nullptr) return dict;
    for (std::size_t col : learned->info.object_columns) {
        py::Ref key = py::check(PyLong_FromSize_t(col));
        py::check_status(PyDict_SetItem(dict.get(), key.get(), learned->tuple_of(col)));
    }
    return dict;
}

EncodingInfo info_from_labels(py::Handle labels, py::Handle n_columns) {
    EncodingInfo info;
    info.n_columns = width_of(n_columns);
    if (!is_mapping(labels)) py::raise_not_an_instance(labels, "Mapping");
    // A list of pairs, made by the mapping itself: safe to walk while other
    // threads change the mapping.
    py::Ref items = py::check(PyMapping_Items(labels.get()));
    const Py_ssize_t n_items = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n_items; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) py::raise_not_an_instance(item, "tuple");
        std::size_t col = position_of(PyTuple_GET_ITEM(item, 0), info.n_columns);
        Labels column = column_labels(PyTuple_GET_ITEM(item, 1), col);
        if (!info.labels.try_emplace(col, std::move(column)).second)
            py::raise(PyExc_ValueError, msg::position_repeated, col);
        info.object_columns.push_back(col);
    }
    std::sort(info.object_columns.begin(), info.object_columns.end());
    return info;
}

}  // namespace kavrel
