#include "frame_columns.hpp"

#include "../python/errors.hpp"
#include "../python/held_objects.hpp"
#include "../python/numpy_api.hpp"
#include "arrow_strings.hpp"
#include "cell_rules.hpp"
#include "numpy_columns.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavrel {

namespace {

// The result of a Python call that may fail for a column that has no road
// here: null after an ordinary exception (cleared); MemoryError and what is
// not an Exception end the call.
py::Ref or_no_road(PyObject* result) {
    if (result == nullptr) py::clear_ordinary_error();
    return py::Ref::steal(result);
}

py::Ref attribute(PyObject* obj, const py::Ref& name) {
    return or_no_road(PyObject_GetAttr(obj, name.get()));
}

py::Ref call_method(PyObject* obj, const py::Ref& name) {
    return or_no_road(PyObject_CallMethodNoArgs(obj, name.get()));
}

using Pandas = py::Pandas;

// What "values" holds for a missing cell of a column: a float NaN (a number
// while the column is numeric, its str() "nan" after) or pandas.NA (never a
// number; its str()).
struct Missing {
    bool number = true;
    std::string text = "nan";
};

std::optional<Missing> missing_of(PyObject* na_value, const Pandas& pandas) {
    if (Py_TYPE(na_value) == &PyFloat_Type && std::isnan(PyFloat_AS_DOUBLE(na_value))) return Missing{};
    if (na_value != pandas.na.get()) return std::nullopt;
    py::Ref text = or_no_road(PyObject_Str(na_value));
    if (!text || !PyUnicode_CheckExact(text.get())) return std::nullopt;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) {
        py::clear_ordinary_error();
        return std::nullopt;
    }
    return Missing{false, std::string(utf8, static_cast<std::size_t>(size))};
}

// `obj` as a one-dimensional array of n_rows elements whose type is
// exactly numpy.ndarray and whose dtype is `type`; null otherwise.
PyArrayObject* exact_vector(PyObject* obj, std::size_t n, int type) noexcept {
    if (obj == nullptr || !PyArray_CheckExact(obj)) return nullptr;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 1 || static_cast<std::size_t>(PyArray_DIM(array, 0)) != n ||
        PyArray_TYPE(array) != type || !PyArray_ISNOTSWAPPED(array))
        return nullptr;
    return array;
}

PyArrayObject* as_array(const py::Ref& ref) noexcept {
    return reinterpret_cast<PyArrayObject*>(ref.get());
}

// One column and the storage it is read from.
struct Source {
    enum class Kind { numbers, object_cells, arrow_strings, categorical };
    Kind kind = Kind::numbers;
    py::Ref series;      // keeps the column's storage alive while it is read
    py::Ref array;       // numbers and object cells: the column; categorical: its codes
    py::Ref exporter;    // Arrow strings: what exports the stream of them
    py::Ref categories;  // categorical: numbers, or exact str/float/int/bool
    Missing missing;     // Arrow strings and categorical
};

// Exact numpy number scalars: their float protocol and str() are numpy's
// own compiled code, which runs nothing of Python's and never warns
// (complex and longdouble may warn in float(), so they are not here).
bool is_numpy_number_type(PyTypeObject* type) noexcept {
    return type == &PyBoolArrType_Type || type == &PyByteArrType_Type || type == &PyUByteArrType_Type ||
           type == &PyShortArrType_Type || type == &PyUShortArrType_Type || type == &PyIntArrType_Type ||
           type == &PyUIntArrType_Type || type == &PyLongArrType_Type || type == &PyULongArrType_Type ||
           type == &PyLongLongArrType_Type || type == &PyULongLongArrType_Type ||
           type == &PyHalfArrType_Type || type == &PyFloatArrType_Type || type == &PyDoubleArrType_Type;
}

// Whether reading `cell` runs no Python code that could change the frame:
// exact str, float, int, bool and None, the numpy scalars above, and
// pandas' own singletons pd.NA and pd.NaT (compiled, and the identity rules
// out subclasses).  Not Timestamp: its str() asks its tzinfo, which may be
// Python code.  Any other cell may write into the frame, which the columns'
// own storage shows otherwise than "values" does: then only "values" gives
// the right cells.
bool reads_without_frame_code(PyObject* cell, const Pandas& pandas) noexcept {
    return runs_no_python_code(cell) || is_numpy_number_type(Py_TYPE(cell)) || cell == pandas.na.get() ||
           cell == pandas.nat.get();
}

// Whether "values" would give the column's numbers exactly as they are read
// here, whatever it casts them to.  A float16 NaN keeps or loses its sign
// and payload depending on the cast (to float64, float32 or object) and on
// how numpy was built; a float32 signalling NaN makes the cast to float64
// warn.  Quiet float32 NaN, the usual missing value, casts silently.
bool values_cast_exact(PyArrayObject* array) noexcept {
    const int type = PyArray_TYPE(array);
    if (type != NPY_HALF && type != NPY_FLOAT) return true;
    const char* data = PyArray_BYTES(array);
    const npy_intp stride = PyArray_STRIDE(array, 0), n = PyArray_DIM(array, 0);
    if (type == NPY_HALF) {
        for (npy_intp r = 0; r < n; ++r) {
            std::uint16_t bits;
            std::memcpy(&bits, data + r * stride, sizeof bits);
            if ((bits & 0x7C00u) == 0x7C00u && (bits & 0x3FFu) != 0) return false;
        }
        return true;
    }
    bool signalling = false;
    for (npy_intp r = 0; r < n; ++r) {
        std::uint32_t bits;
        std::memcpy(&bits, data + r * stride, sizeof bits);
        // Exponent all ones, quiet bit clear, some other fraction bit set.
        signalling |= (bits & 0x7FC00000u) == 0x7F800000u && (bits & 0x3FFFFFu) != 0;
    }
    return !signalling;
}

// A numpy dtype: bool, integers and floats are numbers, objects are cells.
std::optional<Source> numpy_source(py::Ref series, PyArray_Descr* dtype, std::size_t n_rows) {
    const int type = dtype->type_num;
    if (type != NPY_OBJECT && !is_numeric_type(type)) return std::nullopt;
    py::Ref array = call_method(series.get(), py::names().to_numpy);
    if (!exact_vector(array.get(), n_rows, type)) return std::nullopt;
    // Object cells are checked as they are read (read_frame_columns).
    if (type != NPY_OBJECT && !values_cast_exact(as_array(array))) return std::nullopt;
    Source s;
    s.kind = type == NPY_OBJECT ? Source::Kind::object_cells : Source::Kind::numbers;
    s.series = std::move(series);
    s.array = std::move(array);
    return s;
}

// pandas' string dtypes: Python strings in an object array, or Arrow.
std::optional<Source> string_source(py::Ref series, PyObject* dtype, std::size_t n_rows,
                                    const Pandas& pandas) {
    py::Ref storage = attribute(dtype, py::names().storage);
    py::Ref na_value = attribute(dtype, py::names().na_value);
    py::Ref values = attribute(series.get(), py::names().array);
    if (!storage || !na_value || !values || !PyUnicode_CheckExact(storage.get())) return std::nullopt;
    Source s;
    if (PyUnicode_CompareWithASCIIString(storage.get(), "python") == 0) {
        // Its object array holds the strings, and the dtype's missing value
        // where one is missing: the cells of "values".
        py::Ref array = or_no_road(PyArray_FromAny(values.get(), nullptr, 0, 0, 0, nullptr));
        if (!exact_vector(array.get(), n_rows, NPY_OBJECT)) return std::nullopt;
        s.kind = Source::Kind::object_cells;
        s.array = std::move(array);
    } else if (PyUnicode_CompareWithASCIIString(storage.get(), "pyarrow") == 0 ||
               PyUnicode_CompareWithASCIIString(storage.get(), "pyarrow_numpy") == 0) {
        std::optional<Missing> missing = missing_of(na_value.get(), pandas);
        py::Ref chunked = call_method(values.get(), py::names().arrow_array);
        if (!missing || !chunked) return std::nullopt;
        s.kind = Source::Kind::arrow_strings;
        s.exporter = std::move(chunked);
        s.missing = std::move(*missing);
    } else {
        return std::nullopt;
    }
    s.series = std::move(series);
    return s;
}

bool is_code_type(int type) noexcept {
    return type == NPY_BYTE || type == NPY_SHORT || type == NPY_INT || type == NPY_LONG ||
           type == NPY_LONGLONG;
}

// Calls read(code) for each code of `codes` (a signed integer array).
template <class Read>
void for_each_code(PyArrayObject* codes, Read&& read) {
    const char* data = PyArray_BYTES(codes);
    const npy_intp stride = PyArray_STRIDE(codes, 0), n = PyArray_DIM(codes, 0);
    auto loop = [&]<class T>(T) {
        for (npy_intp i = 0; i < n; ++i) {
            T code;
            std::memcpy(&code, data + i * stride, sizeof code);
            read(static_cast<std::int64_t>(code));
        }
    };
    switch (PyArray_TYPE(codes)) {
        case NPY_BYTE: return loop(npy_byte{});
        case NPY_SHORT: return loop(npy_short{});
        case NPY_INT: return loop(npy_int{});
        case NPY_LONG: return loop(npy_long{});
        default: return loop(npy_longlong{});
    }
}

bool has_missing_code(PyArrayObject* codes) {
    bool missing = false;
    for_each_code(codes, [&](std::int64_t code) { missing |= code < 0; });
    return missing;
}

// A Categorical: its codes, and its categories when they are numbers, or
// objects whose reading runs no Python code.
std::optional<Source> categorical_source(py::Ref series, std::size_t n_rows, const Pandas& pandas) {
    py::Ref values = attribute(series.get(), py::names().array);
    py::Ref codes = values ? attribute(values.get(), py::names().codes) : py::Ref();
    py::Ref index = values ? attribute(values.get(), py::names().categories) : py::Ref();
    py::Ref index_dtype = index ? attribute(index.get(), py::names().dtype) : py::Ref();
    if (!codes || !index_dtype) return std::nullopt;
    auto* code_array = reinterpret_cast<PyArrayObject*>(codes.get());
    if (!PyArray_CheckExact(codes.get()) || !is_code_type(PyArray_TYPE(code_array)) ||
        !exact_vector(codes.get(), n_rows, PyArray_TYPE(code_array)))
        return std::nullopt;

    // "values" fills a missing cell with NaN, or with the missing value of
    // pandas' string dtype when the categories have it.
    std::optional<Missing> missing = Missing{};
    int category_type = NPY_OBJECT;
    if (PyArray_DescrCheck(index_dtype.get())) {
        category_type = reinterpret_cast<PyArray_Descr*>(index_dtype.get())->type_num;
        if (category_type != NPY_OBJECT && !is_numeric_type(category_type)) return std::nullopt;
    } else if (Py_TYPE(index_dtype.get()) == reinterpret_cast<PyTypeObject*>(pandas.string_dtype.get())) {
        py::Ref na_value = attribute(index_dtype.get(), py::names().na_value);
        missing = na_value ? missing_of(na_value.get(), pandas) : std::nullopt;
    } else {
        return std::nullopt;
    }
    if (!missing) return std::nullopt;
    py::Ref categories = call_method(index.get(), py::names().to_numpy);
    if (!categories || !PyArray_CheckExact(categories.get())) return std::nullopt;
    const auto n_categories = static_cast<std::size_t>(PyArray_SIZE(as_array(categories)));
    if (!exact_vector(categories.get(), n_categories, category_type)) return std::nullopt;
    if (category_type == NPY_OBJECT) {
        auto* array = as_array(categories);
        for (std::size_t i = 0; i < n_categories; ++i) {
            PyObject* category;
            std::memcpy(&category, PyArray_GETPTR1(array, static_cast<npy_intp>(i)), sizeof category);
            if (category == nullptr || category == Py_None || !runs_no_python_code(category))
                return std::nullopt;
        }
    }
    // Integer or bool categories with a missing cell: "values" holds NaN, or
    // an integer or bool made of it (True) when the frame's other columns
    // make it an integer or bool array.  Only "values" knows.  Float
    // categories keep the NaN, and objects and strings become objects.
    const bool cast_by_others = PyTypeNum_ISINTEGER(category_type) || PyTypeNum_ISBOOL(category_type);
    if (cast_by_others && has_missing_code(code_array)) return std::nullopt;
    Source s;
    s.kind = Source::Kind::categorical;
    s.series = std::move(series);
    s.array = std::move(codes);
    s.categories = std::move(categories);
    s.missing = std::move(*missing);
    return s;
}

std::optional<Source> column_source(py::Ref series, std::size_t n_rows, const Pandas& pandas) {
    py::Ref dtype = attribute(series.get(), py::names().dtype);
    if (!dtype) return std::nullopt;
    if (PyArray_DescrCheck(dtype.get()))
        return numpy_source(std::move(series), reinterpret_cast<PyArray_Descr*>(dtype.get()), n_rows);
    PyTypeObject* type = Py_TYPE(dtype.get());
    if (type == reinterpret_cast<PyTypeObject*>(pandas.string_dtype.get()))
        return string_source(std::move(series), dtype.get(), n_rows, pandas);
    if (type == reinterpret_cast<PyTypeObject*>(pandas.categorical_dtype.get()))
        return categorical_source(std::move(series), n_rows, pandas);
    return std::nullopt;
}

// Every column's source, in column order, or nothing when one has no road.
std::optional<std::vector<Source>> column_sources(PyObject* frame, std::size_t n_rows, std::size_t n_cols,
                                                  const Pandas& pandas) {
    py::Ref items = call_method(frame, py::names().items);
    py::Ref iterator = items ? or_no_road(PyObject_GetIter(items.get())) : py::Ref();
    if (!iterator) return std::nullopt;
    std::vector<Source> sources;
    sources.reserve(n_cols);
    for (;;) {
        py::Ref item = py::Ref::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) {
                py::clear_ordinary_error();
                return std::nullopt;
            }
            break;
        }
        if (!PyTuple_CheckExact(item.get()) || PyTuple_GET_SIZE(item.get()) != 2 || sources.size() == n_cols)
            return std::nullopt;
        std::optional<Source> source =
            column_source(py::Ref::borrow(PyTuple_GET_ITEM(item.get(), 1)), n_rows, pandas);
        if (!source) return std::nullopt;
        sources.push_back(std::move(*source));
    }
    if (sources.size() != n_cols) return std::nullopt;
    return sources;
}

// Adds a cell known natively to column c, by the rules of add_cell: a
// number while the column is numeric, else `text`, the str() that "values"
// would give the cell.
inline void add_native_cell(ColumnLists& lists, std::size_t c, bool number, double value,
                            std::string_view text) {
    if (number && !lists.is_text(c))
        lists.add_number(c, value);
    else
        lists.text_column(c).push_back(text);
}

// False when the stream is not one of the string layouts, or holds a
// string that no Python string could hold: "values" shows what then.
bool read_arrow_strings(const Source& s, std::size_t c, std::size_t n_rows, ColumnLists& lists) {
    std::optional<ArrowStrings> strings = ArrowStrings::open(s.exporter);
    if (!strings || strings->length() != n_rows) return false;
    // The texts stay in the Arrow buffers, which the lists keep alive.
    auto owner = std::make_shared<const ArrowStrings>(std::move(*strings));
    lists.keep_alive(owner);
    // The usual column, one chunk without a missing value: its own offsets
    // tell its texts, and nothing is stored per cell.
    const bool whole = owner->as_offsets([&](const char* data, const auto* offsets, std::int64_t length) {
        lists.text_column(c).assign_offsets(data, offsets, static_cast<std::size_t>(length));
    });
    if (whole) return true;
    const double nan = std::nan("");
    const std::string_view missing_text = s.missing.text;
    const bool missing_number = s.missing.number;
    // Until its first string the column may still be one of numbers: its
    // missing values may be NaN.
    lists.reserve_texts(c, n_rows);
    return owner->for_each(
        [&](std::string_view text) {
            lists.text_column(c).push_back_view(text);
        },
        [&] { add_native_cell(lists, c, missing_number, nan, missing_text); });
}

// Each category read once; every cell is then the category its code names,
// or the missing value for code -1.  False for a code that names none.
bool read_categorical(const Source& s, std::size_t c, std::size_t n_rows, ColumnLists& lists) {
    auto* categories = as_array(s.categories);
    const auto n_categories = static_cast<std::int64_t>(PyArray_DIM(categories, 0));
    NumberList values;
    std::vector<unsigned char> is_number;
    TextColumn texts;
    if (PyArray_TYPE(categories) == NPY_OBJECT) {
        // Exact str, float, int and bool: their float protocol and str()
        // run no Python code, so reading each once is reading it per cell.
        values.resize(static_cast<std::size_t>(n_categories));
        is_number.resize(static_cast<std::size_t>(n_categories));
        texts.reserve(static_cast<std::size_t>(n_categories));
        for (std::int64_t i = 0; i < n_categories; ++i) {
            PyObject* category;
            std::memcpy(&category, PyArray_GETPTR1(categories, i), sizeof category);
            is_number[i] = read_number(category, values[i]);
            append_cell_text(texts, category);
        }
    } else {
        read_numbers(PyArray_TYPE(categories), PyArray_BYTES(categories), PyArray_STRIDE(categories, 0),
                     static_cast<std::size_t>(n_categories), values);
        is_number.assign(static_cast<std::size_t>(n_categories), 1);
    }

    bool codes_valid = true;
    const double nan = std::nan("");
    lists.reserve_numbers(c, n_rows);
    for_each_code(as_array(s.array), [&](std::int64_t code) {
        if (code < 0) {
            codes_valid &= code == -1;
            add_native_cell(lists, c, s.missing.number, nan, s.missing.text);
        } else if (code < n_categories) {
            const auto i = static_cast<std::size_t>(code);
            // Numeric categories never meet a non-number: no text needed.
            add_native_cell(lists, c, is_number[i], values[i], texts.empty() ? "" : texts[i]);
        } else {
            codes_valid = false;
            add_native_cell(lists, c, true, nan, "");
        }
    });
    return codes_valid;
}

}  // namespace

bool read_frame_columns(py::Handle frame, std::size_t n_rows, std::size_t n_cols, ColumnLists& lists) {
    np::ensure_imported();
    const Pandas* pandas = py::imported_pandas();
    if (pandas == nullptr || Py_TYPE(frame.get()) != reinterpret_cast<PyTypeObject*>(pandas->frame_type.get()))
        return false;
    // Without a cell, only "values" tells what the frame gives: it may
    // raise.
    if (n_rows == 0 || n_cols == 0) return false;
    std::optional<std::vector<Source>> sources = column_sources(frame.get(), n_rows, n_cols, *pandas);
    if (!sources) return false;

    // No cell read here runs Python code, so every column is read as it was
    // when the call began, as "values" would have copied it.  First the
    // columns that may still send the call to "values" before any is handed
    // on; then those that only an object cell may send there, in column
    // order, each handed on as soon as it is read, so that the pool encodes
    // it while the next is read.
    for (std::size_t c = 0; c < n_cols; ++c) {
        const Source& s = (*sources)[c];
        bool read = true;
        switch (s.kind) {
            case Source::Kind::numbers: {
                auto* array = as_array(s.array);
                read_number_column(lists, c, PyArray_TYPE(array), PyArray_BYTES(array), PyArray_STRIDE(array, 0));
                break;
            }
            case Source::Kind::arrow_strings: read = read_arrow_strings(s, c, n_rows, lists); break;
            case Source::Kind::categorical: read = read_categorical(s, c, n_rows, lists); break;
            case Source::Kind::object_cells: break;
        }
        if (!read) return false;
        if (s.kind == Source::Kind::numbers) lists.column_read(c);
    }
    for (std::size_t c = 0; c < n_cols; ++c) {
        const Source& s = (*sources)[c];
        if (s.kind == Source::Kind::arrow_strings || s.kind == Source::Kind::categorical) lists.column_read(c);
    }
    const ReadsNatively reads_natively = [&](PyObject* cell) { return reads_without_frame_code(cell, *pandas); };
    std::vector<std::pair<std::size_t, PyArrayObject*>> object_columns;
    for (std::size_t c = 0; c < n_cols; ++c)
        if ((*sources)[c].kind == Source::Kind::object_cells) object_columns.emplace_back(c, as_array((*sources)[c].array));
    return read_native_object_columns(object_columns, lists, reads_natively);
}

}  // namespace kavrel
