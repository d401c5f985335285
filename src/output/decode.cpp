// Decode: the codes of the learned text columns back into their labels.
#include "decode.hpp"

#include "../core/failure.hpp"
#include "../python/errors.hpp"
#include "../python/numpy_api.hpp"
#include "../python/utf8.hpp"

#include <boost/unordered/unordered_flat_map.hpp>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>

namespace kavrel {

namespace {

// A float code back to an unsigned code: truncation toward zero, saturating
// at both ends.
std::uint64_t code_of(double v) noexcept {
    if (v < 0) return 0;
    if (v > 18446744073709549568.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(v);
}

// The labels of one column as Python strings, each made once per call and
// shared by every cell that carries it.  A column's codes are 0 .. m-1, so
// they index a table directly; a code beyond it is looked up in the map.
//
// A column with at least as many cells as labels will meet most of them:
// they are all made up front, in the map's own order, which reads the map's
// strings front to back instead of at random.  Cells of a column with many
// labels land on them at random, a cache miss each; `prefetch` lets the
// caller fetch the label of a cell some rows ahead.  A table with far fewer
// cells than the column has labels gets no table at all: the labels its
// cells meet are looked up and kept as they come, so the cost follows the
// table being decoded, not what was learned.
class LabelCache {
public:
    LabelCache(const ReverseMap& reverse, std::size_t n_cells)
        : reverse_(reverse), slots_(reverse.size() <= dense_factor * n_cells ? reverse.size() : 0) {
        const bool eager = reverse.size() <= n_cells;
        if (slots_.empty()) return;
        for (const auto& [code, text] : reverse) {
            if (code >= slots_.size()) continue;
            slots_[code] = {text, eager ? py::to_str(text) : py::Ref()};
        }
    }

    // Borrowed: the label of cell value `v`, or null when it has none (NaN,
    // or a code the column never gave out).
    PyObject* label_of(double v) {
        if (std::isnan(v)) return nullptr;
        std::uint64_t code = code_of(v);
        if (code < slots_.size()) {
            Slot& slot = slots_[code];
            if (slot.text.data() == nullptr) return nullptr;
            if (!slot.str) slot.str = py::to_str(slot.text);
            return slot.str.get();
        }
        auto [kept, inserted] = met_.try_emplace(code);
        if (inserted) {
            auto it = reverse_.find(code);
            if (it != reverse_.end()) kept->second = py::to_str(it->second);
        }
        return kept->second.get();
    }

    // Two steps, the first further ahead: the slot of value `v`, then the
    // label object it holds (whose reference count the cell will change).
    // Unconditional prefetches (of slot 0, or of null, for a value without
    // a slot): the compiler drops a prefetch that sits behind a branch.
    void prefetch_slot(double v) const noexcept { __builtin_prefetch(slots_.data() + slot_index(v)); }
    void prefetch_label(double v) const noexcept {
        __builtin_prefetch(has_slot(v) ? slots_[static_cast<std::size_t>(v)].str.get() : nullptr, 1);
    }

private:
    // A table of slots when the column has at most this many labels per
    // cell to decode.
    static constexpr std::size_t dense_factor = 4;

    bool has_slot(double v) const noexcept { return v >= 0 && v < static_cast<double>(slots_.size()); }
    std::size_t slot_index(double v) const noexcept { return has_slot(v) ? static_cast<std::size_t>(v) : 0; }

    struct Slot {
        std::string_view text;  // null data: a code the column never gave out
        py::Ref str;
    };
    const ReverseMap& reverse_;
    std::vector<Slot> slots_;
    // Codes without a slot, as met: their label, or null for none.
    boost::unordered_flat_map<std::uint64_t, py::Ref> met_;
};

// How many rows ahead the labels are fetched.
constexpr std::size_t slot_ahead = 16, label_ahead = 8;

const ReverseMap& reverse_map_of(const EncodingInfo& info, std::size_t col) {
    auto it = info.reverse_maps.find(col);
    if (it == info.reverse_maps.end()) fail(msg::no_entry_found);
    return it->second;
}

// The object array that this call made itself, when its type is exactly
// numpy.ndarray: its item assignment cannot be overridden, so its elements
// are replaced directly.  Null otherwise.
PyArrayObject* writable_object_array(PyObject* objects, const Matrix& matrix) {
    if (!PyArray_CheckExact(objects)) return nullptr;
    auto* array = reinterpret_cast<PyArrayObject*>(objects);
    if (PyArray_TYPE(array) != NPY_OBJECT || PyArray_NDIM(array) != 2 || !PyArray_ISWRITEABLE(array) ||
        !PyArray_ISALIGNED(array) || static_cast<std::size_t>(PyArray_DIM(array, 0)) != matrix.n_rows() ||
        static_cast<std::size_t>(PyArray_DIM(array, 1)) != matrix.n_cols())
        return nullptr;
    return array;
}

// Element (r, c) := a new reference to `value`; the old element is released.
void store_element(PyArrayObject* array, std::size_t r, std::size_t c, py::Handle value) {
    auto** slot = reinterpret_cast<PyObject**>(PyArray_BYTES(array) +
                                               static_cast<npy_intp>(r) * PyArray_STRIDE(array, 0) +
                                               static_cast<npy_intp>(c) * PyArray_STRIDE(array, 1));
    py::Ref old = py::Ref::steal(*slot);
    *slot = py::Ref::borrow(value.get()).release();
}

}  // namespace

py::Ref decode_array(py::Handle floats, const Matrix& matrix, const EncodingInfo& info) {
    py::Ref numpy = py::check(PyImport_ImportModule("numpy"));
    py::Ref copy = py::check(PyObject_CallMethod(numpy.get(), "array", "O", floats.get()));
    py::Ref objects = py::check(PyObject_CallMethod(copy.get(), "astype", "s", "object"));
    copy = py::Ref();

    py::Ref missing = py::check(PyUnicode_FromString("NaN"));
    const std::vector<std::size_t>& columns = info.object_columns;
    const std::size_t n_rows = matrix.n_rows();
    std::vector<LabelCache> labels;
    labels.reserve(columns.size());
    for (std::size_t col : columns) {
        labels.emplace_back(reverse_map_of(info, col), n_rows);
        if (n_rows > 0 && col >= matrix.n_cols()) fail(msg::ndarray_index_out_of_bounds);
    }
    auto text_of = [&](std::size_t k, std::size_t r) {
        PyObject* label = labels[k].label_of(matrix.at(r, columns[k]));
        return label ? label : missing.get();
    };

    if (PyArrayObject* direct = writable_object_array(objects.get(), matrix)) {
        // No Python code runs here, so the order of the stores is free: row
        // by row, the elements and the floats they replace are met in
        // memory order.
        for (std::size_t r = 0; r < n_rows; ++r) {
            for (std::size_t k = 0; k < columns.size(); ++k) {
                if (r + slot_ahead < n_rows) labels[k].prefetch_slot(matrix.at(r + slot_ahead, columns[k]));
                if (r + label_ahead < n_rows)
                    labels[k].prefetch_label(matrix.at(r + label_ahead, columns[k]));
                store_element(direct, r, columns[k], text_of(k, r));
            }
        }
        return objects;
    }
    for (std::size_t k = 0; k < columns.size(); ++k) {
        for (std::size_t r = 0; r < n_rows; ++r) {
            py::Ref key = py::check(
                Py_BuildValue("(nn)", static_cast<Py_ssize_t>(r), static_cast<Py_ssize_t>(columns[k])));
            py::check(PyObject_CallMethod(objects.get(), "__setitem__", "OO", key.get(), text_of(k, r)));
        }
    }
    return objects;
}

void decode_frame(py::Handle frame, const Matrix& matrix, const std::vector<std::string>& labels,
                  const EncodingInfo& info) {
    for (std::size_t col : info.object_columns) {
        const std::size_t n_rows = matrix.n_rows();
        LabelCache column_labels(reverse_map_of(info, col), n_rows);
        if (n_rows > 0 && col >= matrix.n_cols()) fail(msg::ndarray_index_out_of_bounds);
        py::Ref values = py::check(PyList_New(static_cast<Py_ssize_t>(n_rows)));
        for (std::size_t r = 0; r < n_rows; ++r) {
            if (r + slot_ahead < n_rows) column_labels.prefetch_slot(matrix.at(r + slot_ahead, col));
            if (r + label_ahead < n_rows) column_labels.prefetch_label(matrix.at(r + label_ahead, col));
            PyObject* label = column_labels.label_of(matrix.at(r, col));
            PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(r),
                            py::Ref::borrow(label ? label : Py_None).release());
        }
        py::Ref name = py::to_str(checked_at(labels, col));

        py::Ref column = py::check(PyObject_GetItem(frame.get(), name.get()));
        py::Ref converted = py::check(PyObject_CallMethod(column.get(), "astype", "s", "object"));
        py::check(PyObject_CallMethod(frame.get(), "__setitem__", "OO", name.get(), converted.get()));
        column = py::Ref();

        py::Ref loc = py::check(PyObject_GetAttrString(frame.get(), "loc"));
        py::Ref all_rows = py::check(PySlice_New(nullptr, nullptr, nullptr));
        py::Ref key = py::check(PyTuple_Pack(2, all_rows.get(), name.get()));
        py::check_status(PyObject_SetItem(loc.get(), key.get(), values.get()));
    }
}

}  // namespace kavrel
