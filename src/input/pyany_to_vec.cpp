#include "pyany_to_vec.hpp"

#include "../python/compat.hpp"
#include "../python/errors.hpp"
#include "../python/held_objects.hpp"
#include "../python/numpy_api.hpp"
#include "../python/utf8.hpp"
#include "encode_object_array.hpp"
#include "polars_columns.hpp"
#include "result_matrix.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

namespace kavrel {

namespace {

// Iterates `seq`, which must be a sequence and not a str, calling
// read(item) for each item; false when it is not such a sequence.
template <class Read>
bool for_each_in_sequence(py::Handle seq, Read&& read) {
    if (!PySequence_Check(seq.get()) || PyUnicode_Check(seq.get())) return false;
    py::Ref iter = py::check(PyObject_GetIter(seq.get()));
    for (;;) {
        PyObject* raw = nullptr;
        int status = PyIter_NextItem(iter.get(), &raw);
        py::check_status(status);
        if (status == 0) return true;
        py::Ref item = py::Ref::steal(raw);
        read(item.get());
    }
}

// The labels when every one is a str with valid UTF-8 text; a PythonError
// otherwise.
std::vector<std::string> string_labels(py::Handle columns) {
    std::vector<std::string> labels;
    bool sequence = for_each_in_sequence(columns, [&](PyObject* item) {
        if (!PyUnicode_Check(item)) py::raise_not_an_instance(item, "str");
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item, &size);
        if (text == nullptr) throw py::PythonError{};
        labels.emplace_back(text, static_cast<std::size_t>(size));
    });
    if (!sequence) py::raise_not_an_instance(columns, "Sequence");
    return labels;
}

// The labels as decimal text of signed 64-bit integers, from columns.tolist().
std::vector<std::string> integer_labels(py::Handle columns) {
    py::Ref list = py::check(PyObject_CallMethodNoArgs(columns.get(), py::names().tolist.get()));
    std::vector<std::string> labels;
    bool sequence = for_each_in_sequence(list, [&](PyObject* item) {
        long long value = PyLong_AsLongLong(item);
        if (value == -1 && PyErr_Occurred()) throw py::PythonError{};
        labels.push_back(std::to_string(value));
    });
    if (!sequence) py::raise_not_an_instance(list, "Sequence");
    return labels;
}

// A frame's column labels: all strings, or else all integers.
std::vector<std::string> read_labels(py::Handle frame) {
    py::Ref columns = py::check(PyObject_GetAttr(frame.get(), py::names().columns.get()));
    try {
        return string_labels(columns);
    } catch (const py::PythonError&) {
        PyErr_Clear();
    }
    return integer_labels(columns);
}

[[noreturn]] void unsupported_type(const std::string& name) {
    std::fwrite(name.data(), 1, name.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    py::raise(PyExc_TypeError, msg::unsupported_type, name.c_str(), msg::supported_types);
}

// A copy of a two-dimensional float64 array, or nothing for any other input.
std::optional<ResultMatrix> copy_float64(py::Handle obj) {
    np::ensure_imported();
    if (!PyArray_Check(obj.get())) return std::nullopt;
    auto* array = reinterpret_cast<PyArrayObject*>(obj.get());
    if (PyArray_NDIM(array) != 2) return std::nullopt;
    // Equivalent to the native float64 descriptor: a byte-swapped one is not.
    py::Ref float64 = py::Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
    if (!PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(float64.get())))
        return std::nullopt;
    return copy_result_matrix(array);
}

// The output kind of an accepted input, by its type's name; TypeError for
// any other.
OUT recognise(py::Handle obj) {
    py::Ref name = py::check(PyType_GetName(Py_TYPE(obj.get())));
    py::Ref name_text = py::check(PyObject_Str(name.get()));
    std::string type_name = py::utf8_of(name_text.get());

    OUT out;
    if (type_name == "DataFrame") {
        // Of the frames by that name, polars' are told apart by their
        // class; any other is taken for pandas'.
        out.polars = is_polars_frame(obj);
        out.labels = read_labels(obj);
    } else if (type_name != "ndarray" && type_name != "memmap") {
        unsupported_type(type_name);
    }
    return out;
}

}  // namespace

ConversionResult pyany_to_vec(py::Handle obj) {
    OUT out = recognise(obj);
    if (std::optional<ResultMatrix> copy = copy_float64(obj))
        return {std::move(out), std::move(*copy), std::nullopt};
    DriverResult driven = encode_object_array(obj, out);
    return {std::move(out), std::move(driven.result), std::move(driven.info)};
}

ConversionResult transform_to_vec(py::Handle obj, const EncodingInfo& learned, LabelIndexes& indexes,
                                  const Coding& coding) {
    OUT out = recognise(obj);
    // A float64 array is read like any other table: its learned text
    // columns are coded from their numbers' texts.
    ResultMatrix result = transform_object_array(obj, out, learned, indexes, coding);
    return {std::move(out), std::move(result), std::nullopt};
}

}  // namespace kavrel
