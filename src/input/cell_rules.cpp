#include "cell_rules.hpp"

#include "../core/failure.hpp"
#include "../python/errors.hpp"
#include "../python/utf8.hpp"

#include <charconv>

namespace kavrel {

bool read_number(PyObject* cell, double& value) {
    PyTypeObject* type = Py_TYPE(cell);
    if (type == &PyFloat_Type) {
        value = PyFloat_AS_DOUBLE(cell);
        return true;
    }
    if (type == &PyUnicode_Type) return false;
    value = type == &PyLong_Type || type == &PyBool_Type ? PyLong_AsDouble(cell) : PyFloat_AsDouble(cell);
    if (value == -1.0 && PyErr_Occurred()) {
        // An ordinary exception says "not a number".
        py::clear_ordinary_error();
        return false;
    }
    return true;
}

void append_cell_text(TextColumn& texts, PyObject* cell) {
    PyTypeObject* type = Py_TYPE(cell);
    if (type == &PyUnicode_Type) {
        py::append_utf8(texts, cell);
        return;
    }
    if (type == &PyFloat_Type) {
        char* repr = PyOS_double_to_string(PyFloat_AS_DOUBLE(cell), 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (repr != nullptr) {
            texts.push_back(repr);
            PyMem_Free(repr);
            return;
        }
        PyErr_Clear();
    } else if (type == &PyBool_Type) {
        texts.push_back(cell == Py_True ? "True" : "False");
        return;
    } else if (type == &PyLong_Type) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(cell, &overflow);
        if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
            char digits[24];
            auto end = std::to_chars(digits, digits + sizeof digits, v).ptr;
            texts.push_back(std::string_view(digits, static_cast<std::size_t>(end - digits)));
            return;
        }
        PyErr_Clear();
    }
    py::Ref text = py::Ref::steal(PyObject_Str(cell));
    if (!text) py::fail_with_python_error(msg::cant_convert_to_str);
    py::append_utf8(texts, text.get());
}

void add_cell(ColumnLists& lists, std::size_t c, PyObject* cell) {
    double value;
    if (!lists.is_text(c) && read_number(cell, value)) {
        lists.add_number(c, value);
        return;
    }
    append_cell_text(lists.text_column(c), cell);
}

bool runs_no_python_code(PyObject* cell) noexcept {
    PyTypeObject* type = Py_TYPE(cell);
    return type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyLong_Type || type == &PyBool_Type ||
           cell == Py_None;
}

}  // namespace kavrel
