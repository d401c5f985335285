#include "boundary.hpp"

#include <cstdio>
#include <cstdlib>

namespace kavrel {

namespace {

// Created once per process, on first need, and kept until the process ends.
// PyMutex detaches a waiting thread from the interpreter, so two threads
// that need the class at once cannot deadlock, with or without a GIL.
PyObject* panic_exception_class() {
    static PyMutex lock;
    static PyObject* cls = nullptr;
    PyMutex_Lock(&lock);
    if (cls == nullptr) {
        cls = PyErr_NewExceptionWithDoc(
            "kavrel.PanicException",
            "An internal failure of kavrel: a check that cannot fail for well-formed input failed.",
            PyExc_BaseException, nullptr);
    }
    PyObject* result = cls;
    PyMutex_Unlock(&lock);
    if (result == nullptr) throw py::PythonError{};
    return result;
}

}  // namespace

void raise_panic(const std::string& message) noexcept {
    try {
        PyObject* cls = panic_exception_class();
        py::Ref text = py::check(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                                      "replace"));
        PyErr_SetObject(cls, text.get());
    } catch (const py::PythonError&) {
        // The class or the message could not be made: that error is raised.
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

}  // namespace kavrel
