#include "errors.hpp"

#include "../lib/failure.hpp"

namespace kavrel::py {

void ensure_error_set() noexcept {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
}

Ref check(PyObject* p) {
    if (p == nullptr) [[unlikely]] {
        ensure_error_set();
        throw PythonError{};
    }
    return Ref::steal(p);
}

void check_status(int status) {
    if (status < 0) [[unlikely]] {
        ensure_error_set();
        throw PythonError{};
    }
}

void raise_not_an_instance(PyObject* obj, const char* expected) {
    Ref type_name = check(PyType_GetName(Py_TYPE(obj)));
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", type_name.get(), expected);
    throw PythonError{};
}

namespace {

// The UTF-8 text of str(obj), or a placeholder when even that fails.
std::string text_of(PyObject* obj) {
    Ref s = Ref::steal(obj ? PyObject_Str(obj) : nullptr);
    Py_ssize_t size = 0;
    const char* data = s ? PyUnicode_AsUTF8AndSize(s.get(), &size) : nullptr;
    if (data == nullptr) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return std::string(data, static_cast<std::size_t>(size));
}

std::string render_pending_error() {
    ensure_error_set();
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(exc.get())));
    std::string out = "PyErr { type: " + text_of(type_name.get()) + ", value: ";
    out += text_of(Ref::steal(PyObject_Repr(exc.get())).get());
    out += ", traceback: ";
    Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
    if (!tb) {
        out += "None";
    } else {
        Ref traceback = Ref::steal(PyImport_ImportModule("traceback"));
        Ref lines = traceback ? Ref::steal(PyObject_CallMethod(traceback.get(), "format_tb", "O", tb.get()))
                              : Ref();
        Ref empty = Ref::steal(PyUnicode_FromString(""));
        Ref joined = lines && empty ? Ref::steal(PyUnicode_Join(empty.get(), lines.get())) : Ref();
        out += joined ? text_of(joined.get()) : "<unavailable>";
        PyErr_Clear();
    }
    out += " }";
    return out;
}

}  // namespace

void fail_with_python_error(std::string_view what, std::source_location where) {
    std::string message(what);
    message += ": ";
    message += render_pending_error();
    fail(std::move(message), where);
}

}  // namespace kavrel::py
