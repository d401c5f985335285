#include "label_strs.hpp"

#include "../core/failure.hpp"
#include "../python/errors.hpp"
#include "../python/utf8.hpp"

#include <algorithm>
#include <cstring>

namespace kavrel {

// Labels are mostly short and ASCII: a text of two or more ASCII bytes is
// copied straight into a new ASCII str, without the decoder's dispatch.
// Shorter texts go to the decoder, which hands out the interpreter's shared
// empty and one-character strs.
py::Ref label_str(std::string_view text) {
    unsigned high_bits = 0;
    for (unsigned char byte : text) high_bits |= byte & 0x80u;
    if (high_bits != 0 || text.size() < 2) return py::to_str(text);
    py::Ref str = py::check(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    std::memcpy(PyUnicode_DATA(str.get()), text.data(), text.size());
    return str;
}

LabelStrs::LabelStrs(std::size_t n_text_columns)
    : tuples_(std::make_unique<std::atomic<PyObject*>[]>(n_text_columns)), size_(n_text_columns) {
    for (std::size_t k = 0; k < size_; ++k) tuples_[k].store(nullptr, std::memory_order_relaxed);
}

LabelStrs::~LabelStrs() {
    for (std::size_t k = 0; k < size_; ++k) py::Ref::steal(tuples_[k].load(std::memory_order_relaxed));
}

PyObject* LabelStrs::tuple(std::size_t k, const Labels& labels) {
    if (PyObject* tuple = made(k)) return tuple;
    py::Ref tuple = py::check(PyTuple_New(static_cast<Py_ssize_t>(labels.size())));
    for (std::size_t code = 0; code < labels.size(); ++code)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(code), label_str(labels[code]).release());
    PyObject* expected = nullptr;
    // Release: a reader that sees the pointer sees the strs in it.
    if (tuples_[k].compare_exchange_strong(expected, tuple.get(), std::memory_order_acq_rel))
        return tuple.release();
    return expected;  // another thread's, equal to ours, which is dropped
}

std::size_t LearnedState::rank_of(std::size_t col) const {
    const std::vector<std::size_t>& columns = info.object_columns;
    auto it = std::lower_bound(columns.begin(), columns.end(), col);
    if (it == columns.end() || *it != col) fail(msg::no_entry_found);
    return static_cast<std::size_t>(it - columns.begin());
}

const Labels& LearnedState::labels_of(std::size_t col) const {
    auto it = info.labels.find(col);
    if (it == info.labels.end()) fail(msg::no_entry_found);
    return it->second;
}

PyObject* LearnedState::tuple_of(std::size_t col) {
    return strs.tuple(rank_of(col), labels_of(col));
}

PyObject* LearnedState::made_tuple_of(std::size_t col) const {
    return strs.made(rank_of(col));
}

}  // namespace kavrel
