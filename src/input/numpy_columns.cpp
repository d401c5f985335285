#include "numpy_columns.hpp"

#include "../core/large_buffer.hpp"
#include "../python/errors.hpp"
#include "../python/ref.hpp"
#include "../python/utf8.hpp"
#include "cell_rules.hpp"
#include "pooled_cells.hpp"
#include "seen_strings.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <vector>

namespace kavrel {

namespace {

// A float16 NaN as numpy's float() of its scalar gives it, which the item
// read does: numpy keeps its sign and payload when it converts in software
// and quiets it when in hardware, which depends on how it was built.  NaN
// is rare: asking numpy costs nothing that matters.
[[gnu::noinline]] double half_nan_as_numpy_gives(std::uint16_t h) {
    py::Ref descr = py::check(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_HALF)));
    py::Ref scalar = py::check(PyArray_Scalar(&h, reinterpret_cast<PyArray_Descr*>(descr.get()), nullptr));
    const double value = PyFloat_AsDouble(scalar.get());
    if (value == -1.0 && PyErr_Occurred()) py::fail_with_python_error();
    return value;
}

double half_to_double(std::uint16_t h) {
    std::uint32_t sign = (h >> 15) & 1u, exponent = (h >> 10) & 0x1Fu, fraction = h & 0x3FFu;
    double magnitude;
    if (exponent == 0x1F) {
        if (fraction != 0) [[unlikely]]
            return half_nan_as_numpy_gives(h);
        magnitude = HUGE_VAL;
    } else if (exponent == 0) {
        magnitude = std::ldexp(static_cast<double>(fraction), -24);
    } else {
        magnitude = std::ldexp(static_cast<double>(fraction | 0x400u), static_cast<int>(exponent) - 25);
    }
    return sign ? -magnitude : magnitude;
}

// float16 elements, a type of their own: npy_half is the same type as
// npy_ushort.
struct Half {
    std::uint16_t bits;
};

template <class T>
void read_numeric_column(const char* base, npy_intp stride, std::size_t n_rows, double* out) {
    for (std::size_t r = 0; r < n_rows; ++r) {
        T element;
        std::memcpy(&element, base + static_cast<npy_intp>(r) * stride, sizeof(T));
        if constexpr (std::is_same_v<T, Half>)
            out[r] = half_to_double(element.bits);
        else
            out[r] = static_cast<double>(element);
    }
}

// Calls read(T{}) with the element type T of numpy type number `type`;
// false for a type that is not one of the real numbers read here.
template <class Read>
bool with_numeric_type(int type, Read&& read) {
    switch (type) {
        case NPY_BOOL: read(npy_bool{}); return true;
        case NPY_BYTE: read(npy_byte{}); return true;
        case NPY_UBYTE: read(npy_ubyte{}); return true;
        case NPY_SHORT: read(npy_short{}); return true;
        case NPY_USHORT: read(npy_ushort{}); return true;
        case NPY_INT: read(npy_int{}); return true;
        case NPY_UINT: read(npy_uint{}); return true;
        case NPY_LONG: read(npy_long{}); return true;
        case NPY_ULONG: read(npy_ulong{}); return true;
        case NPY_LONGLONG: read(npy_longlong{}); return true;
        case NPY_ULONGLONG: read(npy_ulonglong{}); return true;
        case NPY_HALF: read(Half{}); return true;
        case NPY_FLOAT: read(npy_float{}); return true;
        case NPY_DOUBLE: read(npy_double{}); return true;
        default: return false;
    }
}

// Fixed-width unicode: UCS4 code points, trailing NULs not part of the text.
// False, with nothing appended, for an element holding a value above
// U+10FFFF, which no str can hold.
bool append_ucs4(TextColumn& texts, const char* element, std::size_t width) {
    std::size_t length = width;
    auto code_at = [&](std::size_t i) {
        Py_UCS4 c;
        std::memcpy(&c, element + 4 * i, 4);
        return c;
    };
    while (length > 0 && code_at(length - 1) == 0) --length;
    for (std::size_t i = 0; i < length; ++i)
        if (code_at(i) > 0x10FFFF) return false;
    texts.push_back_written(9 * length, [&](char* dst) {
        char* out = dst;
        for (std::size_t i = 0; i < length; ++i) out = py::put_utf8(out, code_at(i));
        return static_cast<std::size_t>(out - dst);
    });
    return true;
}

// What the direct road relies on, read from the array (two-dimensional, or
// one column of a frame) before its first cell: code that a cell runs (its
// __str__ or __float__) may resize or reshape the array, and then none of
// it holds any more.
struct Layout {
    const char* data;
    int ndim;
    npy_intp dims[2];
    npy_intp strides[2];
    PyArray_Descr* descr;

    static Layout of(PyArrayObject* a) noexcept {
        const int ndim = PyArray_NDIM(a);
        return {PyArray_BYTES(a),
                ndim,
                {PyArray_DIM(a, 0), ndim == 2 ? PyArray_DIM(a, 1) : 1},
                {PyArray_STRIDE(a, 0), ndim == 2 ? PyArray_STRIDE(a, 1) : 0},
                PyArray_DESCR(a)};
    }
    bool still_holds(PyArrayObject* a) const noexcept {
        if (PyArray_NDIM(a) != ndim || data != PyArray_BYTES(a) || descr != PyArray_DESCR(a)) return false;
        for (int i = 0; i < ndim; ++i)
            if (dims[i] != PyArray_DIM(a, i) || strides[i] != PyArray_STRIDE(a, i)) return false;
        return true;
    }
};

// Reads the object cells of column c from row `from` on (the rows above
// it read already), which start at `column` in the buffer of `array` (laid
// out as `layout`) and lie `row_stride` apart.  With `native_only`, only
// cells whose reading runs no Python code: the read stops before any
// other.  Returns the first row it did not read: n_rows when it read them
// all, earlier when a cell's Python code changed the array's layout or,
// with `native_only`, at the first cell it refused.
std::size_t read_object_column(PyArrayObject* array, const Layout& layout, const char* column,
                               npy_intp row_stride, std::size_t n_rows, std::size_t c, ColumnLists& lists,
                               SeenStrings& seen, const ReadsNatively* native_only, std::size_t from) {
    auto element_at = [&](std::size_t r) {
        PyObject* element;
        std::memcpy(&element, column + static_cast<npy_intp>(r) * row_stride, sizeof element);
        return element;
    };
    seen.forget();
    if (from == 0) lists.reserve_numbers(c, n_rows);
    for (std::size_t r = from; r < n_rows; ++r) {
        // The cells of a column are scattered over the heap: a cache miss
        // each, unless fetched a few rows ahead.
        const bool text = lists.is_text(c);
        if (r + object_ahead < n_rows) {
            PyObject* ahead = element_at(r + object_ahead);
            prefetch_object(ahead);
            if (text) seen.prefetch(ahead);
        }
        PyObject* element = element_at(r);
        if (text) {
            if (std::optional<std::size_t> earlier = seen.entry_of(element)) {
                lists.text_column(c).push_back_shared(*earlier);
                continue;
            }
        }
        PyObject* cell = element != nullptr ? element : Py_None;
        if (runs_no_python_code(cell)) {
            add_cell(lists, c, cell);
            if (lists.is_text(c) && Py_TYPE(cell) == &PyUnicode_Type)
                seen.remember(cell, lists.texts(c).entry_of(lists.texts(c).size() - 1));
        } else if (native_only != nullptr) {
            // The header just read for the type is all the check costs.
            if (!(*native_only)(cell)) return r;
            add_cell(lists, c, cell);
        } else {
            // Held for the cell's reading, as the item read would: its
            // __str__ or __float__ may change the array.  Then an address
            // may name a new object, and the array may have moved or
            // changed its shape.  Letting go of the cell runs code too
            // (its __del__, when that code dropped the array's reference),
            // so the layout is checked only after it.
            {
                py::Ref held = py::Ref::borrow(cell);
                add_cell(lists, c, held.get());
            }
            seen.forget();
            if (!layout.still_holds(array)) return r + 1;
        }
    }
    return n_rows;
}

}  // namespace

void read_numeric_cells(PyArrayObject* array, std::size_t n_cols, ColumnLists& lists) {
    const char* data = PyArray_BYTES(array);
    const npy_intp row_stride = PyArray_STRIDE(array, 0), col_stride = PyArray_STRIDE(array, 1);
    for (std::size_t c = 0; c < n_cols; ++c)
        read_number_column(lists, c, PyArray_TYPE(array), data + static_cast<npy_intp>(c) * col_stride,
                           row_stride);
}

CellPosition read_unicode_cells(PyArrayObject* array, std::size_t n_rows, std::size_t n_cols,
                                ColumnLists& lists) {
    const char* data = PyArray_BYTES(array);
    const npy_intp row_stride = PyArray_STRIDE(array, 0), col_stride = PyArray_STRIDE(array, 1);
    const std::size_t width = static_cast<std::size_t>(PyArray_ITEMSIZE(array)) / 4;
    for (std::size_t c = 0; c < n_cols; ++c) {
        TextColumn& texts = lists.text_column(c);
        texts.reserve(n_rows);
        for (std::size_t r = 0; r < n_rows; ++r) {
            const char* element =
                data + static_cast<npy_intp>(r) * row_stride + static_cast<npy_intp>(c) * col_stride;
            if (!append_ucs4(texts, element, width)) return CellPosition{c, r};
        }
    }
    return CellPosition{n_cols, 0};
}

CellPosition read_object_cells(PyArrayObject* array, std::size_t n_rows, std::size_t n_cols,
                               ColumnLists& lists) {
    const Layout layout = Layout::of(array);
    // The pool reads every cell up to the first that it leaves to this
    // thread, in the reading order; the columns before that one are read
    // whole.  Until then no Python code has run, so they are what reading
    // them one by one gives.
    std::vector<ObjectColumn> columns(n_cols);
    for (std::size_t c = 0; c < n_cols; ++c)
        columns[c] = {c, layout.data + static_cast<npy_intp>(c) * layout.strides[1], layout.strides[0]};
    const std::vector<std::size_t> pooled = read_cells_on_pool(columns, n_rows, lists, true);
    std::size_t first = 0;
    while (first < n_cols && pooled[first] == n_rows) ++first;
    if (first == n_cols) return CellPosition{n_cols, 0};
    // From that cell on, this thread reads as it always has.
    SeenStrings seen(n_rows);
    for (std::size_t c = first; c < n_cols; ++c) {
        const char* column = columns[c].cells;
        std::size_t stop = read_object_column(array, layout, column, layout.strides[0], n_rows, c, lists, seen,
                                              nullptr, c == first ? pooled[c] : 0);
        if (stop < n_rows) return CellPosition{c, stop};
        lists.column_read(c);
        if (c + 1 < n_cols && !layout.still_holds(array)) return CellPosition{c + 1, 0};
    }
    return CellPosition{n_cols, 0};
}

bool is_numeric_type(int type) noexcept {
    return with_numeric_type(type, [](auto) {});
}

void read_numbers(int type, const char* base, npy_intp stride, std::size_t n_rows, NumberList& out) {
    out.resize(n_rows);
    with_numeric_type(type, [&]<class T>(T) { read_numeric_column<T>(base, stride, n_rows, out.data()); });
}

void read_number_column(ColumnLists& lists, std::size_t c, int type, const char* base, npy_intp stride) {
    double* out = lists.number_column(c);
    with_numeric_type(type, [&]<class T>(T) { read_numeric_column<T>(base, stride, lists.n_rows(), out); });
}

bool read_native_object_columns(const std::vector<std::pair<std::size_t, PyArrayObject*>>& arrays,
                                ColumnLists& lists, const ReadsNatively& reads_natively) {
    if (arrays.empty()) return true;
    const auto n_rows = static_cast<std::size_t>(PyArray_DIM(arrays.front().second, 0));
    std::vector<ObjectColumn> columns;
    columns.reserve(arrays.size());
    for (auto [c, array] : arrays) columns.push_back({c, PyArray_BYTES(array), PyArray_STRIDE(array, 0)});
    // No cell read here runs Python code: what the pool leaves to this
    // thread is read after it, in any order.
    const std::vector<std::size_t> pooled = read_cells_on_pool(columns, n_rows, lists, false);
    SeenStrings seen(n_rows);
    for (std::size_t i = 0; i < arrays.size(); ++i) {
        if (pooled[i] == n_rows) continue;
        auto [c, array] = arrays[i];
        const Layout layout = Layout::of(array);
        if (read_object_column(array, layout, layout.data, layout.strides[0], n_rows, c, lists, seen,
                               &reads_natively, pooled[i]) != n_rows)
            return false;
        lists.column_read(c);
    }
    return true;
}

}  // namespace kavrel
