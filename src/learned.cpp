#include "learned.hpp"

#include "core/label_encode.hpp"
#include "python/compat.hpp"
#include "python/errors.hpp"
#include "python/utf8.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace kavrel {

namespace {

// The format version that state_of writes; learned_from_state reads it and
// refuses any later one.
constexpr int state_version = 1;

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

// The UTF-8 text of `label`, a str, in column `col`; ValueError for one
// without (a lone surrogate).  Not through
// PyUnicode_AsUTF8AndSize, which would leave a UTF-8 copy inside the
// caller's str.
std::string utf8_text(py::Handle label, std::size_t col) {
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
    return text;
}

// The UTF-8 text of label `label` of column `col`.
std::string label_text(py::Handle label, std::size_t col) {
    std::string text = utf8_text(label, col);
    if (is_missing_marker(text)) py::raise(PyExc_ValueError, msg::marker_as_label, label.get(), col);
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
        if (!PyTuple_Check(item)) {
            py::Ref type_name = py::check(PyType_GetName(Py_TYPE(item)));
            py::raise(PyExc_TypeError, msg::labels_item_not_a_tuple, type_name.get());
        }
        if (PyTuple_GET_SIZE(item) != 2)
            py::raise(PyExc_TypeError, msg::labels_item_not_a_pair, PyTuple_GET_SIZE(item));
        std::size_t col = position_of(PyTuple_GET_ITEM(item, 0), info.n_columns);
        Labels column = column_labels(PyTuple_GET_ITEM(item, 1), col);
        if (!info.labels.try_emplace(col, std::move(column)).second)
            py::raise(PyExc_ValueError, msg::position_repeated, col);
        info.object_columns.push_back(col);
    }
    std::sort(info.object_columns.begin(), info.object_columns.end());
    return info;
}

py::Ref state_of(LearnedState* learned) {
    if (learned == nullptr) return py::Ref::borrow(Py_None);
    const EncodingInfo& info = learned->info;
    py::Ref columns = py::Ref::borrow(Py_None);
    if (info.frame_columns) {
        const std::vector<std::string>& names = *info.frame_columns;
        columns = py::check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
        for (std::size_t i = 0; i < names.size(); ++i)
            PyTuple_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(i), py::to_str(names[i]).release());
    }
    py::Ref labels = labels_dict(learned);
    return py::check(Py_BuildValue("(inOO)", state_version, static_cast<Py_ssize_t>(info.n_columns),
                                   columns.get(), labels.get()));
}

std::unique_ptr<LearnedState> learned_from_state(py::Handle state) {
    if (state.get() == Py_None) return nullptr;
    if (!PyTuple_Check(state.get())) py::raise_not_an_instance(state, "tuple");
    if (PyTuple_GET_SIZE(state.get()) != 4) py::raise(PyExc_ValueError, msg::state_length, PyTuple_GET_SIZE(state.get()));
    PyObject* version = PyTuple_GET_ITEM(state.get(), 0);
    if (!PyLong_CheckExact(version)) py::raise(PyExc_ValueError, msg::state_version_unknown, version);
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(version, &overflow);
    if (number == -1 && PyErr_Occurred()) throw py::PythonError{};
    if (overflow > 0 || number > state_version)
        py::raise(PyExc_ValueError, msg::state_too_new, version, state_version);
    if (number != state_version) py::raise(PyExc_ValueError, msg::state_version_unknown, version);

    EncodingInfo info = info_from_labels(PyTuple_GET_ITEM(state.get(), 3), PyTuple_GET_ITEM(state.get(), 1));
    PyObject* columns = PyTuple_GET_ITEM(state.get(), 2);
    if (columns != Py_None) {
        if (!PyTuple_Check(columns)) py::raise_not_an_instance(columns, "tuple");
        const std::size_t n_names = static_cast<std::size_t>(PyTuple_GET_SIZE(columns));
        if (n_names != info.n_columns) py::raise(PyExc_ValueError, msg::state_column_count, n_names, info.n_columns);
        std::vector<std::string> names;
        names.reserve(n_names);
        for (std::size_t i = 0; i < n_names; ++i)
            names.push_back(utf8_text(PyTuple_GET_ITEM(columns, static_cast<Py_ssize_t>(i)), i));
        info.frame_columns = std::move(names);
    }
    return std::make_unique<LearnedState>(std::move(info));
}

}  // namespace kavrel
