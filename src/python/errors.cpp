#include "errors.hpp"

#include "lazy_class.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace kavrel::py {

void ensure_error_set() noexcept {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, msg::no_exception_set);
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

void clear_ordinary_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError))
        throw PythonError{};
    PyErr_Clear();
}

void raise(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Ref message = Ref::steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    if (message) PyErr_SetObject(type, message.get());
    throw PythonError{};
}

void raise_not_an_instance(Handle obj, const char* expected) {
    Ref type_name = check(PyType_GetName(Py_TYPE(obj.get())));
    raise(PyExc_TypeError, msg::not_an_instance, type_name.get(), expected);
}

namespace {

// The UTF-8 text of str(obj), or a placeholder when even that fails.
std::string text_of(Handle obj) {
    Ref s = Ref::steal(obj ? PyObject_Str(obj.get()) : nullptr);
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
    std::string out = "PyErr { type: " + text_of(type_name) + ", value: ";
    out += text_of(Ref::steal(PyObject_Repr(exc.get())));
    out += ", traceback: ";
    Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
    if (!tb) {
        out += "None";
    } else {
        Ref traceback = Ref::steal(PyImport_ImportModule("traceback"));
        Ref lines =
            traceback ? Ref::steal(PyObject_CallMethod(traceback.get(), "format_tb", "O", tb.get())) : Ref();
        Ref empty = Ref::steal(PyUnicode_FromString(""));
        Ref joined = lines && empty ? Ref::steal(PyUnicode_Join(empty.get(), lines.get())) : Ref();
        out += joined ? text_of(joined) : "<unavailable>";
        PyErr_Clear();
    }
    out += " }";
    return out;
}

LazyClass panic_exception;

// Borrowed.
PyObject* panic_exception_class() {
    return panic_exception.get([] {
        return PyErr_NewExceptionWithDoc(
            "kavrel.PanicException",
            "An internal failure of kavrel: a check that cannot fail for well-formed input failed.",
            PyExc_BaseException, nullptr);
    });
}

}  // namespace

void fail_with_python_error(std::string_view what, std::source_location where) {
    std::string message(what);
    message += ": ";
    message += render_pending_error();
    fail(message, where);
}

void raise_panic(const std::string& message) noexcept {
    try {
        PyObject* cls = panic_exception_class();
        Ref text =
            check(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
        PyErr_SetObject(cls, text.get());
    } catch (const PythonError&) {
        // The class or the message could not be made: that error is raised.
    } catch (...) {
        std::fputs(msg::uncaught_panic, stderr);
        std::abort();
    }
}

}  // namespace kavrel::py
