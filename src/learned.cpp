#include "learned.hpp"

#include "core/hashing.hpp"
#include "core/label_encode.hpp"
#include "python/compat.hpp"
#include "python/errors.hpp"
#include "python/utf8.hpp"

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace kavrel {

namespace {

// The format version that state_of writes; learned_from_state reads it and
// every earlier one, and refuses any later one.  Version 2 added the counts
// and keeps the labels in their code order, which need not be sorted.
constexpr int state_version = 2;

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

// Calls item(element) for every element of the iterable `given` (any
// iterable, a generator too).
template <class Item>
void for_each_item(py::Handle given, Item&& item) {
    py::Ref iter = py::check(PyObject_GetIter(given.get()));
    for (;;) {
        PyObject* raw = nullptr;
        int status = PyIter_NextItem(iter.get(), &raw);
        py::check_status(status);
        if (status == 0) break;
        item(py::Ref::steal(raw));
    }
}

// A count of column `col`: an int from 0 to 2**64 - 1.
std::uint64_t count_of(py::Handle count, std::size_t col) {
    if (!PyIndex_Check(count.get())) py::raise_not_an_instance(count, "int");
    py::Ref number = py::check(PyNumber_Index(count.get()));
    int sign = PyObject_RichCompareBool(number.get(), py::Ref::steal(PyLong_FromLong(0)).get(), Py_LT);
    py::check_status(sign);
    if (sign == 1) py::raise(PyExc_ValueError, msg::negative_count, count.get(), col);
    unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw py::PythonError{};
    return value;
}

// The labels of one column and their counts, in code order.
struct GivenColumn {
    Labels labels;
    Counts counts;
};

// The labels of column `col` from the iterable `given`, with the counts
// `counts` (one per label given; null: every count 0): sorted and
// de-duplicated, or with `sort` false as given, each once.
GivenColumn column_labels(py::Handle given, std::size_t col, const Counts* counts, bool sort) {
    // A str is an iterable of str, but never meant as one label per
    // character.
    if (PyUnicode_Check(given.get()) || PyBytes_Check(given.get()))
        py::raise(PyExc_TypeError, msg::labels_are_one_str, col);
    std::vector<std::string> texts;
    for_each_item(given, [&](py::Ref label) { texts.push_back(label_text(label, col)); });
    if (counts != nullptr && counts->size() != texts.size())
        py::raise(PyExc_ValueError, msg::counts_length, col, texts.size(), counts->size());
    std::vector<std::size_t> order(texts.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    Counts summed;
    if (sort) {
        // std::string orders by unsigned bytes: the order encode gives codes
        // in.  Stable, so that equal labels stay in the order given.
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return texts[a] < texts[b]; });
        std::vector<std::size_t> kept;
        for (std::size_t i : order) {
            const std::uint64_t count = counts != nullptr ? (*counts)[i] : 0;
            if (!kept.empty() && texts[kept.back()] == texts[i]) {
                if (__builtin_add_overflow(summed.back(), count, &summed.back()))
                    py::raise(PyExc_OverflowError, msg::count_overflow, col);
                continue;
            }
            kept.push_back(i);
            summed.push_back(count);
        }
        order = std::move(kept);
    } else {
        boost::unordered_flat_set<std::string_view, StringHash, StringEqual> seen;
        seen.reserve(texts.size());
        for (const std::string& label : texts)
            if (!seen.insert(label).second) py::raise(PyExc_ValueError, msg::label_repeated, py::to_str(label).get(), col);
        summed = counts != nullptr ? *counts : Counts(texts.size(), 0);
    }
    std::string text;
    std::vector<std::uint64_t> ends;
    ends.reserve(order.size());
    for (std::size_t i : order) {
        text += texts[i];
        ends.push_back(text.size());
    }
    return {Labels(std::move(text), std::move(ends)), std::move(summed)};
}

// The counts given to from_labels, by position, each as many as given.

bool is_mapping(py::Handle obj) {
    if (PyDict_Check(obj.get())) return true;
    py::Ref abc = py::check(PyImport_ImportModule("collections.abc"));
    py::Ref mapping = py::check(PyObject_GetAttrString(abc.get(), "Mapping"));
    int is = PyObject_IsInstance(obj.get(), mapping.get());
    py::check_status(is);
    return is == 1;
}

// Calls pair(position, value) for each item of the Mapping `given`, whose
// items must be (position, value) pairs; `what` names them in a refusal
// ("labels", "counts").
template <class Pair>
void for_each_pair(py::Handle given, const char* what, Pair&& pair) {
    if (!is_mapping(given)) py::raise_not_an_instance(given, "Mapping");
    // A list of pairs, made by the mapping itself: safe to walk while other
    // threads change the mapping.
    py::Ref items = py::check(PyMapping_Items(given.get()));
    const Py_ssize_t n_items = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n_items; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(item)) {
            py::Ref type_name = py::check(PyType_GetName(Py_TYPE(item)));
            py::raise(PyExc_TypeError, msg::item_not_a_tuple, what, what, type_name.get());
        }
        if (PyTuple_GET_SIZE(item) != 2)
            py::raise(PyExc_TypeError, msg::item_not_a_pair, what, what, PyTuple_GET_SIZE(item));
        pair(py::Handle(PyTuple_GET_ITEM(item, 0)), py::Handle(PyTuple_GET_ITEM(item, 1)));
    }
}

// The counts given to from_labels, by column.
boost::unordered_flat_map<std::size_t, Counts, WordHash> given_counts(PyObject* counts, std::size_t n_columns) {
    boost::unordered_flat_map<std::size_t, Counts, WordHash> by_column;
    if (counts == nullptr) return by_column;
    for_each_pair(py::Handle(counts), "counts", [&](py::Handle key, py::Handle given) {
        std::size_t col = position_of(key, n_columns);
        if (PyUnicode_Check(given.get()) || PyBytes_Check(given.get()))
            py::raise_not_an_instance(given, "Iterable[int]");
        Counts column;
        for_each_item(given, [&](py::Ref count) { column.push_back(count_of(count, col)); });
        if (!by_column.try_emplace(col, std::move(column)).second)
            py::raise(PyExc_ValueError, msg::position_repeated, col);
    });
    return by_column;
}

}  // namespace

py::Ref counts_dict(LearnedState* learned) {
    py::Ref dict = py::check(PyDict_New());
    if (learned == nullptr) return dict;
    for (std::size_t col : learned->info.object_columns) {
        const Counts& counts = learned->info.counts.at(col);
        py::Ref tuple = py::check(PyTuple_New(static_cast<Py_ssize_t>(counts.size())));
        for (std::size_t k = 0; k < counts.size(); ++k)
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), py::check(PyLong_FromUnsignedLongLong(counts[k])).release());
        py::Ref key = py::check(PyLong_FromSize_t(col));
        py::check_status(PyDict_SetItem(dict.get(), key.get(), tuple.get()));
    }
    return dict;
}

py::Ref labels_dict(LearnedState* learned) {
    py::Ref dict = py::check(PyDict_New());
    if (learned == nullptr) return dict;
    for (std::size_t col : learned->info.object_columns) {
        py::Ref key = py::check(PyLong_FromSize_t(col));
        py::check_status(PyDict_SetItem(dict.get(), key.get(), learned->tuple_of(col)));
    }
    return dict;
}

EncodingInfo info_from_labels(py::Handle labels, py::Handle n_columns, PyObject* counts, bool sort) {
    EncodingInfo info;
    info.n_columns = width_of(n_columns);
    if (!is_mapping(labels)) py::raise_not_an_instance(labels, "Mapping");
    auto counts_by_column = given_counts(counts, info.n_columns);
    for_each_pair(labels, "labels", [&](py::Handle key, py::Handle given) {
        std::size_t col = position_of(key, info.n_columns);
        auto counted = counts_by_column.find(col);
        GivenColumn column =
            column_labels(given, col, counted == counts_by_column.end() ? nullptr : &counted->second, sort);
        if (!info.labels.try_emplace(col, std::move(column.labels)).second)
            py::raise(PyExc_ValueError, msg::position_repeated, col);
        info.counts.emplace(col, std::move(column.counts));
        info.object_columns.push_back(col);
    });
    for (const auto& [col, unused] : counts_by_column)
        if (!info.labels.contains(col))
            py::raise(PyExc_ValueError, msg::counts_without_labels, py::check(PyLong_FromSize_t(col)).get());
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
    py::Ref counts = counts_dict(learned);
    return py::check(Py_BuildValue("(inOOO)", state_version, static_cast<Py_ssize_t>(info.n_columns),
                                   columns.get(), labels.get(), counts.get()));
}

std::unique_ptr<LearnedState> learned_from_state(py::Handle state) {
    if (state.get() == Py_None) return nullptr;
    if (!PyTuple_Check(state.get())) py::raise_not_an_instance(state, "tuple");
    const Py_ssize_t n_items = PyTuple_GET_SIZE(state.get());
    if (n_items == 0) py::raise(PyExc_ValueError, msg::state_length, state_version, n_items, Py_ssize_t{5});
    PyObject* version = PyTuple_GET_ITEM(state.get(), 0);
    if (!PyLong_CheckExact(version)) py::raise(PyExc_ValueError, msg::state_version_unknown, version);
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(version, &overflow);
    if (number == -1 && PyErr_Occurred()) throw py::PythonError{};
    if (overflow > 0 || number > state_version)
        py::raise(PyExc_ValueError, msg::state_too_new, version, state_version);
    if (number < 1) py::raise(PyExc_ValueError, msg::state_version_unknown, version);
    // Version 1: (1, n_columns, column labels, sorted labels).
    const Py_ssize_t expected = number == 1 ? 4 : 5;
    if (n_items != expected)
        py::raise(PyExc_ValueError, msg::state_length, static_cast<int>(number), expected, n_items);

    EncodingInfo info = number == 1
                            ? info_from_labels(PyTuple_GET_ITEM(state.get(), 3), PyTuple_GET_ITEM(state.get(), 1))
                            : info_from_labels(PyTuple_GET_ITEM(state.get(), 3), PyTuple_GET_ITEM(state.get(), 1),
                                               PyTuple_GET_ITEM(state.get(), 4), /*sort=*/false);
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
