#include "polars_columns.hpp"

#include "../core/failure.hpp"
#include "../python/errors.hpp"
#include "../python/held_objects.hpp"
#include "arrow_strings.hpp"
#include "cell_rules.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

namespace kavrel {

namespace {

// What a text column holds for a null: a marker, which gets no code, as
// the NaN of a pandas frame's cell does once its column is text.
constexpr std::string_view missing_text = "nan";

void add_missing(ColumnLists& lists, std::size_t c) {
    if (lists.is_text(c))
        lists.text_column(c).push_back_view(missing_text);
    else
        lists.add_number(c, std::nan(""));
}

bool is_valid(const ArrowArray& chunk, std::int64_t i) noexcept {
    if (chunk.null_count == 0 || chunk.buffers[0] == nullptr) return true;
    const auto* bits = static_cast<const std::uint8_t*>(chunk.buffers[0]);
    const std::int64_t j = chunk.offset + i;
    return (bits[j >> 3] >> (j & 7)) & 1;
}

// Whether `chunk` is a fixed-width array of `n_buffers` buffers (validity,
// then values) that can be addressed: a validity bitmap wherever it has
// nulls, values wherever it has rows.  That the buffers are long enough for
// offset + length rows is the producer's promise (the interface passes no
// sizes).
bool fixed_width(const ArrowArray& chunk, std::int64_t n_buffers) noexcept {
    if (chunk.length < 0 || chunk.offset < 0 || chunk.n_children != 0 || chunk.n_buffers != n_buffers)
        return false;
    if (chunk.offset > std::numeric_limits<std::int64_t>::max() - chunk.length) return false;
    if (n_buffers == 0) return true;
    if (chunk.buffers == nullptr || chunk.null_count < -1 || chunk.null_count > chunk.length) return false;
    if (chunk.null_count != 0 && chunk.buffers[0] == nullptr && chunk.null_count != -1) return false;
    return chunk.length == 0 || n_buffers < 2 || chunk.buffers[1] != nullptr;
}

// The rows of every chunk, when they add up to n_rows.
bool has_rows(const ArrowStream& s, std::size_t n_rows) noexcept {
    std::size_t rows = 0;
    for (const arrow::Array& chunk : s.chunks) {
        if (chunk->length < 0 || static_cast<std::uint64_t>(chunk->length) > n_rows - rows) return false;
        rows += static_cast<std::size_t>(chunk->length);
    }
    return rows == n_rows;
}

// Calls f(T{}) with the C++ type of an Arrow integer or float format;
// false for any other format.
template <class F>
bool with_number_type(const char* format, F&& f) {
    if (format == nullptr || format[0] == '\0' || format[1] != '\0') return false;
    switch (format[0]) {
        case 'c': f(std::int8_t{}); return true;
        case 'C': f(std::uint8_t{}); return true;
        case 's': f(std::int16_t{}); return true;
        case 'S': f(std::uint16_t{}); return true;
        case 'i': f(std::int32_t{}); return true;
        case 'I': f(std::uint32_t{}); return true;
        case 'l': f(std::int64_t{}); return true;
        case 'L': f(std::uint64_t{}); return true;
        case 'f': f(float{}); return true;
        case 'g': f(double{}); return true;
        default: return false;
    }
}

bool is_format(const char* format, const char* expected) noexcept {
    return format != nullptr && std::strcmp(format, expected) == 0;
}

// Integer, float, boolean and null columns: every row goes to `out` as a
// double, a null as NaN (as to_pandas() casts them).  False, with nothing
// written, when the stream is no such column.
bool read_numbers(const ArrowStream& s, std::size_t n_rows, ColumnLists& lists, std::size_t c) {
    const char* format = s.schema->format;
    const bool boolean = is_format(format, "b"), null = is_format(format, "n");
    const bool number = with_number_type(format, [](auto) {});
    if (!(boolean || null || number) || s.schema->dictionary != nullptr || s.schema->n_children != 0 ||
        !has_rows(s, n_rows))
        return false;
    for (const arrow::Array& chunk : s.chunks)
        if (chunk->dictionary != nullptr || !fixed_width(*chunk, null ? 0 : 2)) return false;

    double* out = lists.number_column(c);
    const double nan = std::nan("");
    for (const arrow::Array& held : s.chunks) {
        const ArrowArray& chunk = *held;
        const std::int64_t n = chunk.length;
        if (null) {
            std::fill(out, out + n, nan);
        } else if (boolean) {
            const auto* bits = static_cast<const std::uint8_t*>(chunk.buffers[1]);
            for (std::int64_t i = 0; i < n; ++i) {
                const std::int64_t j = chunk.offset + i;
                out[i] = is_valid(chunk, i) ? static_cast<double>((bits[j >> 3] >> (j & 7)) & 1) : nan;
            }
        } else {
            with_number_type(format, [&]<class T>(T) {
                const T* values = static_cast<const T*>(chunk.buffers[1]) + chunk.offset;
                if (chunk.null_count == 0 || chunk.buffers[0] == nullptr) {
                    for (std::int64_t i = 0; i < n; ++i) out[i] = static_cast<double>(values[i]);
                } else {
                    for (std::int64_t i = 0; i < n; ++i)
                        out[i] = is_valid(chunk, i) ? static_cast<double>(values[i]) : nan;
                }
            });
        }
        out += n;
    }
    lists.column_read(c);
    return true;
}

// Strings read in place; the texts stay in the Arrow buffers, which the
// lists keep alive.  False, with nothing read, when the stream is not one
// of the string layouts or a chunk is not readable.
bool read_strings(ArrowStream s, std::size_t n_rows, ColumnLists& lists, std::size_t c) {
    if (!has_rows(s, n_rows)) return false;
    std::optional<ArrowStrings> strings = ArrowStrings::of(std::move(s));
    if (!strings) return false;
    auto owner = std::make_shared<const ArrowStrings>(std::move(*strings));
    lists.keep_alive(owner);
    const bool whole = owner->as_offsets([&](const char* data, const auto* offsets, std::int64_t length) {
        lists.text_column(c).assign_offsets(data, offsets, static_cast<std::size_t>(length));
    });
    if (!whole) {
        // Until its first string a column of nulls is a column of NaN.
        lists.reserve_texts(c, n_rows);
        const bool utf8 = owner->for_each([&](std::string_view text) { lists.text_column(c).push_back_view(text); },
                                          [&] { add_missing(lists, c); });
        // polars holds only UTF-8; what another producer streams is read
        // from its objects instead, as any column whose buffers fail a check.
        if (!utf8) {
            lists.forget_column(c);
            return false;
        }
    }
    lists.column_read(c);
    return true;
}

// Whether two chunks' dictionaries are the same array: the same buffers,
// offset and length.  The chunks of one column mostly share one (polars
// exports its categories once); an exporter keeps what it exported
// unchanged, so equal buffers hold equal entries.  A view layout's last
// buffer, the sizes of its data buffers, is made anew for each export:
// there the sizes are compared instead.
bool same_dictionary(const ArrowArray* a, const ArrowArray* b, bool views) noexcept {
    if (a == nullptr || b == nullptr) return false;
    if (a == b) return true;
    if (a->length != b->length || a->offset != b->offset || a->null_count != b->null_count ||
        a->n_buffers != b->n_buffers || a->n_buffers < (views ? 3 : 0) || a->buffers == nullptr ||
        b->buffers == nullptr)
        return false;
    const std::int64_t shared = views ? a->n_buffers - 1 : a->n_buffers;
    if (!std::equal(a->buffers, a->buffers + shared, b->buffers)) return false;
    if (!views) return true;
    const void* sizes_a = a->buffers[shared];
    const void* sizes_b = b->buffers[shared];
    const auto n_sizes = static_cast<std::size_t>(a->n_buffers - 3);
    if (n_sizes == 0) return true;
    return sizes_a != nullptr && sizes_b != nullptr &&
           std::memcmp(sizes_a, sizes_b, n_sizes * sizeof(std::int64_t)) == 0;
}

// A dictionary of strings per chunk (Categorical, Enum) and the index of
// each row in it.  Every dictionary and index is checked before any row is
// read; a dictionary that chunks share is checked and read once, and only
// one dictionary is held decoded at a time, so the cost follows the rows
// and the distinct dictionaries, not chunks times entries.  A cell whose
// text was met before under the same dictionary shares that cell's entry.
// False, with nothing read, when the stream is no such column.
bool read_dictionary(ArrowStream s, std::size_t n_rows, ColumnLists& lists, std::size_t c) {
    const ArrowSchema& schema = *s.schema;
    const char* format = schema.format;
    bool integer = false;
    with_number_type(format, [&]<class T>(T) { integer = std::is_integral_v<T>; });
    if (!integer || schema.dictionary == nullptr || schema.n_children != 0 || !has_rows(s, n_rows)) return false;

    // The checks: each dictionary's entries (well-formed UTF-8 strings),
    // then each chunk's indices against its dictionary's size.
    const bool views = is_format(schema.dictionary->format, "vu");
    const ArrowArray* checked = nullptr;
    std::uint64_t size = 0;
    for (const arrow::Array& held : s.chunks) {
        const ArrowArray& chunk = *held;
        if (chunk.dictionary == nullptr || !fixed_width(chunk, 2)) return false;
        if (!same_dictionary(chunk.dictionary, checked, views)) {
            size = 0;
            if (!ArrowStrings::for_each_in(*schema.dictionary, *chunk.dictionary, [&](std::string_view) { ++size; },
                                           [&] { ++size; }))
                return false;
            checked = chunk.dictionary;
        }
        bool in_range = true;
        with_number_type(format, [&]<class T>(T) {
            const T* indices = static_cast<const T*>(chunk.buffers[1]) + chunk.offset;
            for (std::int64_t i = 0; i < chunk.length; ++i) {
                const bool valid = is_valid(chunk, i);
                // A negative index is out of range as its unsigned value.
                in_range &= !valid || static_cast<std::uint64_t>(indices[i]) < size;
            }
        });
        if (!in_range) return false;
    }

    // The texts stay in the dictionaries' buffers, which the lists keep
    // alive (moving the structs moves no buffer).
    auto owner = std::make_shared<const ArrowStream>(std::move(s));
    lists.keep_alive(owner);
    // The dictionary read last: its texts (nullopt for a null entry), and
    // the first cell of each entry met under it.  No room reserved for
    // n_rows texts: most cells share an entry.
    constexpr std::size_t unmet = std::numeric_limits<std::size_t>::max();
    const ArrowArray* decoded = nullptr;
    std::vector<std::optional<std::string_view>> texts;
    std::vector<std::size_t> first_cell;
    for (const arrow::Array& held : owner->chunks) {
        const ArrowArray& chunk = *held;
        if (!same_dictionary(chunk.dictionary, decoded, views)) {
            texts.clear();
            // Checked above: it reads whole.
            ArrowStrings::for_each_in(*schema.dictionary, *chunk.dictionary,
                                      [&](std::string_view text) { texts.emplace_back(text); },
                                      [&] { texts.emplace_back(); });
            first_cell.assign(texts.size(), unmet);
            decoded = chunk.dictionary;
        }
        with_number_type(format, [&]<class T>(T) {
            const T* indices = static_cast<const T*>(chunk.buffers[1]) + chunk.offset;
            for (std::int64_t i = 0; i < chunk.length; ++i) {
                const auto index = static_cast<std::size_t>(indices[i]);
                if (!is_valid(chunk, i) || !texts[index]) {
                    add_missing(lists, c);
                    continue;
                }
                TextColumn& column = lists.text_column(c);
                if (first_cell[index] != unmet) {
                    column.push_back_copy_of(first_cell[index]);
                } else {
                    first_cell[index] = column.size();
                    column.push_back_view(*texts[index]);
                }
            }
        });
    }
    lists.column_read(c);
    return true;
}

// Whether `format` is one of Arrow's list types (list, large list, fixed
// size list, list views): polars' List and Array.
bool is_list_format(const char* format) noexcept {
    if (format == nullptr || format[0] != '+') return false;
    const std::string_view rest(format + 1);
    return rest == "l" || rest == "L" || rest.starts_with("w:") || rest == "vl" || rest == "vL";
}

// Any other column: Python objects, read by the cell rules, None being
// missing.  Those polars makes of its rows (Series.to_list()), except for
// a list column, whose cells are those of the pandas Series that
// to_pandas() makes of it (numpy arrays, where to_list() gives lists), so
// that a table has one set of labels whether it comes as polars or pandas.
void read_objects(PyObject* series, std::size_t n_rows, ColumnLists& lists, std::size_t c, bool as_pandas) {
    py::Ref cells;
    if (as_pandas) {
        py::Ref pandas_series = py::check(PyObject_CallMethod(series, "to_pandas", nullptr));
        cells = py::check(PyObject_CallMethod(pandas_series.get(), "tolist", nullptr));
    } else {
        cells = py::check(PyObject_CallMethod(series, "to_list", nullptr));
    }
    if (!PyList_CheckExact(cells.get()) || static_cast<std::size_t>(PyList_GET_SIZE(cells.get())) != n_rows)
        fail(msg::polars_columns_differ);
    lists.reserve_numbers(c, n_rows);
    for (std::size_t r = 0; r < n_rows; ++r) {
        // Held: a cell's str() runs its own code.
        py::Ref cell = py::Ref::borrow(PyList_GET_ITEM(cells.get(), static_cast<Py_ssize_t>(r)));
        if (cell.get() == Py_None)
            add_missing(lists, c);
        else
            add_cell(lists, c, cell.get());
    }
    lists.column_read(c);
}

void read_column(PyObject* series, std::size_t n_rows, ColumnLists& lists, std::size_t c) {
    std::optional<ArrowStream> stream = read_arrow_stream(series);
    bool list = false;
    if (stream) {
        list = is_list_format(stream->schema->format);
        if (stream->schema->dictionary != nullptr) {
            if (read_dictionary(std::move(*stream), n_rows, lists, c)) return;
        } else if (read_numbers(*stream, n_rows, lists, c) || read_strings(std::move(*stream), n_rows, lists, c)) {
            return;
        }
    }
    read_objects(series, n_rows, lists, c, list);
}

}  // namespace

bool is_polars_frame(py::Handle obj) {
    py::Ref polars = py::Ref::steal(PyImport_GetModule(py::names().polars.get()));
    if (!polars) {
        if (PyErr_Occurred()) throw py::PythonError{};
        return false;
    }
    py::Ref frame_type = py::Ref::steal(PyObject_GetAttr(polars.get(), py::names().DataFrame.get()));
    if (!frame_type) {
        // polars part imported (its own import failed half way): not one.
        py::clear_ordinary_error();
        return false;
    }
    return PyType_Check(frame_type.get()) &&
           PyType_IsSubtype(Py_TYPE(obj.get()), reinterpret_cast<PyTypeObject*>(frame_type.get()));
}

void read_polars_columns(py::Handle frame, std::size_t n_rows, std::size_t n_cols, ColumnLists& lists) {
    if (n_rows == 0 || n_cols == 0) return;
    py::Ref columns = py::check(PyObject_CallMethod(frame.get(), "get_columns", nullptr));
    if (!PyList_CheckExact(columns.get()) || static_cast<std::size_t>(PyList_GET_SIZE(columns.get())) != n_cols)
        fail(msg::polars_columns_differ);
    for (std::size_t c = 0; c < n_cols; ++c) {
        py::Ref series = py::Ref::borrow(PyList_GET_ITEM(columns.get(), static_cast<Py_ssize_t>(c)));
        read_column(series.get(), n_rows, lists, c);
    }
}

}  // namespace kavrel
