// Decode: the codes of the learned text columns back into their labels.
#include "decode.hpp"

#include "../core/failure.hpp"
#include "../python/cached_arrays.hpp"
#include "../python/errors.hpp"
#include "../python/held_objects.hpp"
#include "../python/numpy_api.hpp"
#include "../python/utf8.hpp"
#include "label_strs.hpp"

#include <boost/unordered/unordered_flat_map.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

namespace kavrel {

namespace {

// A float code back to an unsigned code: truncation toward zero, saturating
// at both ends.
std::uint64_t code_of(double v) noexcept {
    if (v < 0) return 0;
    if (v > 18446744073709549568.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(v);
}

// How many rows ahead the labels are fetched.
constexpr std::size_t slot_ahead = 16, label_ahead = 8;

// The labels of one column as Python strs for one call.  A column's codes
// are 0 .. m-1, so they index the learned state's tuple of strs directly.
//
// A column with at least as many cells as labels will meet most of them: it
// uses the state's tuple, made by the first call that needs it and shared by
// every later one.  Cells of a column with many labels land on them at
// random, a cache miss each; `prefetch` lets the caller fetch the label of a
// cell some rows ahead.  A table with far fewer cells than the column has
// labels does not make the tuple: the labels its cells meet are made and
// kept for the call as they come, so the cost follows the table being
// decoded, not what was learned (unless the tuple is already there).
class LabelCache {
public:
    LabelCache(LearnedState& learned, std::size_t col, std::size_t n_cells) : labels_(learned.labels_of(col)) {
        PyObject* tuple = learned.made_tuple_of(col);
        if (tuple == nullptr && labels_.size() <= n_cells) tuple = learned.tuple_of(col);
        if (tuple == nullptr) return;
        strs_ = PySequence_Fast_ITEMS(tuple);
        n_strs_ = labels_.size();
    }

    // Borrowed: the label of cell value `v`, or null when it has none (NaN,
    // or a code the column never gave out).  Inline for the cells whose
    // label is in the tuple; the rest take the call.
    PyObject* label_of(double v) {
        if (has_slot(v)) [[likely]]
            return strs_[static_cast<std::size_t>(v)];
        return make_label(v);
    }

    // Two steps, the first further ahead: the tuple entry of value `v`, then
    // the label object it holds (whose reference count the cell will
    // change).  Unconditional prefetches (of entry 0, or of null, for a
    // value without one): the compiler drops a prefetch behind a branch.
    void prefetch_slot(double v) const noexcept { __builtin_prefetch(strs_ + slot_index(v)); }
    void prefetch_label(double v) const noexcept {
        __builtin_prefetch(has_slot(v) ? strs_[static_cast<std::size_t>(v)] : nullptr, 1);
    }

private:
    bool has_slot(double v) const noexcept { return v >= 0 && v < static_cast<double>(n_strs_); }
    std::size_t slot_index(double v) const noexcept { return has_slot(v) ? static_cast<std::size_t>(v) : 0; }

    [[gnu::noinline]] PyObject* make_label(double v) {
        if (std::isnan(v)) return nullptr;
        std::uint64_t code = code_of(v);
        if (code >= labels_.size()) return nullptr;
        if (code < n_strs_) return strs_[code];
        py::Ref& kept = met_[code];
        if (!kept) kept = label_str(labels_[code]);
        return kept.get();
    }

    const Labels& labels_;
    // The tuple's items (borrowed from the learned state), when it is used.
    PyObject** strs_ = nullptr;
    std::size_t n_strs_ = 0;
    // Without the tuple: the labels met so far, by code.
    boost::unordered_flat_map<std::uint64_t, py::Ref> met_;
};

// Rows per band of the array kind's filling: 64 rows of a table with 8
// columns is 4 KiB of elements.
constexpr std::size_t band_rows = 64;

// An element of an object array := `value` (owned by the array from now
// on); whatever the element held before is released.
void put(PyObject** element, py::Ref value) noexcept {
    py::Ref old = py::Ref::steal(std::exchange(*element, value.release()));
}

// Whether no label occurs twice: a frame's item read and assignment with a
// label then address exactly one column.
bool distinct_labels(const std::vector<std::string>& labels) {
    std::vector<std::string_view> sorted(labels.begin(), labels.end());
    std::sort(sorted.begin(), sorted.end());
    return std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
}

// The label of cell (r, col), or None, fetching those of later rows.
py::Ref label_at(LabelCache& labels, MatrixView matrix, std::size_t r, std::size_t col) {
    const std::size_t n_rows = matrix.n_rows;
    if (r + slot_ahead < n_rows) labels.prefetch_slot(matrix.at(r + slot_ahead, col));
    if (r + label_ahead < n_rows) labels.prefetch_label(matrix.at(r + label_ahead, col));
    PyObject* label = labels.label_of(matrix.at(r, col));
    return py::Ref::borrow(label ? label : Py_None);
}

}  // namespace

py::Ref decode_column(MatrixView matrix, std::size_t col, LearnedState& learned) {
    const std::size_t n_rows = matrix.n_rows;
    LabelCache column_labels(learned, col, n_rows);
    if (n_rows > 0 && col >= matrix.n_cols) fail(msg::ndarray_index_out_of_bounds);
    npy_intp length = static_cast<npy_intp>(n_rows);
    py::Ref values = np::cached_object_array(1, &length);
    auto** elements = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(values.get())));
    for (std::size_t r = 0; r < n_rows; ++r) put(elements + r, label_at(column_labels, matrix, r, col));
    return values;
}

py::Ref decode_array(MatrixView matrix, LearnedState& learned) {
    const EncodingInfo& info = learned.info;
    py::Ref missing = py::check(PyUnicode_FromString("NaN"));
    const std::vector<std::size_t>& columns = info.object_columns;
    const std::size_t n_rows = matrix.n_rows, n_cols = matrix.n_cols;
    std::vector<LabelCache> labels;
    labels.reserve(columns.size());
    // The labels of each matrix column, null for a column of numbers.  A
    // learned column beyond the matrix is only possible without rows.
    std::vector<LabelCache*> labels_of(n_cols, nullptr);
    for (std::size_t col : columns) {
        labels.emplace_back(learned, col, n_rows);
        if (n_rows > 0 && col >= n_cols) fail(msg::ndarray_index_out_of_bounds);
    }
    for (std::size_t k = 0; k < columns.size(); ++k)
        if (columns[k] < n_cols) labels_of[columns[k]] = &labels[k];

    npy_intp dims[2] = {static_cast<npy_intp>(n_rows), static_cast<npy_intp>(n_cols)};
    py::Ref objects = np::cached_object_array(2, dims);
    std::vector<std::size_t> number_columns;
    for (std::size_t c = 0; c < n_cols; ++c)
        if (labels_of[c] == nullptr) number_columns.push_back(c);
    // A fresh C-contiguous array that no Python code has seen: its element
    // (r, c) is the matrix's cell (r, c).  It is filled a band of rows at a
    // time: the band's elements stay in cache.  Within the band each learned
    // column runs as one simple loop, and the floats are made row by row,
    // in the order in which the array's release will free them, so that
    // the allocator hands out and takes back its blocks in sequence.  A
    // failure half way leaves null elements, which the array's release
    // skips.
    auto** elements = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(objects.get())));
    for (std::size_t band = 0; band < n_rows; band += band_rows) {
        const std::size_t band_end = std::min(n_rows, band + band_rows);
        for (std::size_t c = 0; c < n_cols; ++c) {
            LabelCache* column_labels = labels_of[c];
            if (column_labels == nullptr) continue;
            PyObject** element = elements + band * n_cols + c;
            for (std::size_t r = band; r < band_end; ++r, element += n_cols) {
                if (r + slot_ahead < n_rows) column_labels->prefetch_slot(matrix.at(r + slot_ahead, c));
                if (r + label_ahead < n_rows) column_labels->prefetch_label(matrix.at(r + label_ahead, c));
                PyObject* label = column_labels->label_of(matrix.at(r, c));
                put(element, py::Ref::borrow(label ? label : missing.get()));
            }
        }
        // What numpy's float64 -> object conversion makes: a float with
        // the cell's very bits (sign of zero, NaN payload).
        for (std::size_t r = band; r < band_end; ++r)
            for (std::size_t c : number_columns)
                put(elements + r * n_cols + c, py::check(PyFloat_FromDouble(matrix.at(r, c))));
    }
    return objects;
}

void decode_frame(py::Handle frame, MatrixView matrix, const std::vector<std::string>& labels,
                  LearnedState& learned) {
    const EncodingInfo& info = learned.info;
    // Each learned column is replaced whole by a column of dtype object
    // that already holds its labels.  With distinct labels it is assigned
    // by its label; a label that names several columns would make pandas
    // assign all of them at once, so there it is assigned by position.
    const bool by_label = distinct_labels(labels);
    const py::Names& names = py::names();
    // Explicitly dtype object: pandas would otherwise infer a string dtype
    // from an object array of strings.  No copy: the array is this call's
    // alone.
    py::Ref series_kwargs = py::check(Py_BuildValue("{s:s,s:O}", "dtype", "object", "copy", Py_False));
    for (std::size_t col : info.object_columns) {
        py::Ref values = decode_column(matrix, col, learned);
        const std::string& label = checked_at(labels, col);
        py::Ref key = by_label ? py::to_str(label) : py::check(PyLong_FromSize_t(col));
        py::Ref args = py::check(PyTuple_Pack(1, values.get()));
        py::Ref column =
            py::check(PyObject_Call(py::import_pandas().series_type.get(), args.get(), series_kwargs.get()));
        // Called as a method, as Python code calls it: pandas takes a frame
        // reached with fewer references for a temporary one and warns of
        // chained assignment.
        py::check(PyObject_CallMethodObjArgs(frame.get(), by_label ? names.setitem.get() : names.isetitem.get(),
                                             key.get(), column.get(), nullptr));
    }
}

}  // namespace kavrel
