#include "encoder.hpp"

#include "../python/conversion.hpp"
#include "boundary.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kavrel {

namespace {

// The instance.  `info` is read and written only while `borrow` is held:
// written only under the exclusive hold of encode, read under the shared
// hold of decode.  `borrow` is 0 when free, all bits set while an encode
// holds the instance, and n while n decodes do.
struct EncoderObject {
    PyObject_HEAD
    EncodingInfo* info;  // owned; null when nothing has been learned
    std::atomic<std::uintptr_t> borrow;
};

constexpr std::uintptr_t exclusively_held = ~std::uintptr_t{0};

EncoderObject* as_encoder(PyObject* self) noexcept { return reinterpret_cast<EncoderObject*>(self); }

// --- The messages of argument handling and borrowing ----------------------

[[noreturn]] void raise_type_error(PyObject* message) {
    if (message != nullptr) {
        PyErr_SetObject(PyExc_TypeError, message);
        Py_DECREF(message);
    }
    throw py::PythonError{};
}

[[noreturn]] void too_many_positional(const char* name, const char* allowed, Py_ssize_t given) {
    raise_type_error(PyUnicode_FromFormat("%s takes %s positional arguments but %zd %s given", name, allowed,
                                          given, given == 1 ? "was" : "were"));
}

[[noreturn]] void unexpected_keyword(const char* name, PyObject* keyword) {
    raise_type_error(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'", name, keyword));
}

[[noreturn]] void multiple_values(const char* name, const char* parameter) {
    raise_type_error(PyUnicode_FromFormat("%s got multiple values for argument '%s'", name, parameter));
}

[[noreturn]] void missing_argument(const char* name, const char* parameter) {
    raise_type_error(
        PyUnicode_FromFormat("%s missing 1 required positional argument: '%s'", name, parameter));
}

// Adds "while processing '<parameter>'" to the pending exception.
[[noreturn]] void rethrow_with_argument_note(const char* parameter) {
    py::Ref exc = py::Ref::steal(PyErr_GetRaisedException());
    py::Ref note = py::Ref::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
    if (note) {
        py::Ref done = py::Ref::steal(PyObject_CallMethod(exc.get(), "add_note", "O", note.get()));
        if (!done) PyErr_Clear();
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc.release());
    throw py::PythonError{};
}

[[noreturn]] void unsupported_strategy(PyObject* encoding) {
    PyErr_Format(PyExc_ValueError, "%U is not a supported encoding strategy for strings!", encoding);
    throw py::PythonError{};
}

[[noreturn]] void runtime_error(const char* message) {
    PyErr_SetString(PyExc_RuntimeError, message);
    throw py::PythonError{};
}

// --- Arguments --------------------------------------------------------------

// The one required parameter "obj" of encode and decode, from a fast call.
PyObject* parse_obj(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > 1) too_many_positional(name, "1", nargs);
    PyObject* obj = nargs == 1 ? args[0] : nullptr;
    Py_ssize_t n_keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n_keywords; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_EqualToUTF8(keyword, "obj")) unexpected_keyword(name, keyword);
        if (obj != nullptr) multiple_values(name, "obj");
        obj = args[nargs + i];
    }
    if (obj == nullptr) missing_argument(name, "obj");
    return obj;
}

// The optional parameter "encoding" of the constructor; null when not given.
PyObject* parse_encoding(PyObject* args, PyObject* kwargs) {
    const char* name = "Encoder.__new__()";
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 1) {
        raise_type_error(PyUnicode_FromFormat("%s takes from 0 to 1 positional arguments but %zd %s given",
                                              name, nargs, nargs == 1 ? "was" : "were"));
    }
    PyObject* encoding = nargs == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
    if (kwargs != nullptr) {
        PyObject* keyword;
        PyObject* value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &keyword, &value)) {
            if (!PyUnicode_Check(keyword) || !PyUnicode_EqualToUTF8(keyword, "encoding"))
                unexpected_keyword(name, keyword);
            if (encoding != nullptr) multiple_values(name, "encoding");
            encoding = value;
        }
    }
    return encoding;
}

// Label encoding is the only strategy: the argument is checked, then dropped.
void check_encoding(PyObject* encoding) {
    if (encoding == nullptr || encoding == Py_None) return;
    if (!PyUnicode_Check(encoding)) {
        try {
            py::raise_not_an_instance(encoding, "str");
        } catch (const py::PythonError&) {
            rethrow_with_argument_note("encoding");
        }
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(encoding, &size);
    if (text == nullptr) rethrow_with_argument_note("encoding");
    if (std::string_view(text, static_cast<std::size_t>(size)) != "label") unsupported_strategy(encoding);
}

// --- Borrowing --------------------------------------------------------------

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(EncoderObject* self) : self_(self) {
        std::uintptr_t expected = 0;
        if (!self_->borrow.compare_exchange_strong(expected, exclusively_held)) runtime_error("Already borrowed");
    }
    ~ExclusiveBorrow() { self_->borrow.store(0); }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    EncoderObject* self_;
};

class SharedBorrow {
public:
    explicit SharedBorrow(EncoderObject* self) : self_(self) {
        std::uintptr_t seen = self_->borrow.load();
        do {
            if (seen == exclusively_held) runtime_error("Already mutably borrowed");
        } while (!self_->borrow.compare_exchange_weak(seen, seen + 1));
    }
    ~SharedBorrow() { self_->borrow.fetch_sub(1); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    EncoderObject* self_;
};

}  // namespace

const Py_ssize_t encoder_basic_size = sizeof(EncoderObject);

PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        check_encoding(parse_encoding(args, kwargs));
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = py::check(alloc(type, 0)).release();
        as_encoder(self)->info = nullptr;
        new (&as_encoder(self)->borrow) std::atomic<std::uintptr_t>(0);
        return self;
    });
}

void encoder_dealloc(PyObject* self) noexcept {
    delete as_encoder(self)->info;
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyObject* encoder_encode(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* obj = parse_obj("Encoder.encode()", args, nargs, kwnames);
        EncoderObject* self = as_encoder(self_obj);
        ExclusiveBorrow hold(self);
        ConversionResult conversion = pyany_to_vec(obj);
        // The new state replaces the old before the output is built, and
        // stays even if building the output fails.
        auto* learned = conversion.info ? new EncodingInfo(std::move(*conversion.info)) : nullptr;
        delete std::exchange(self->info, learned);
        return arr_to_out(conversion.matrix, std::move(conversion.out), nullptr).release();
    });
}

PyObject* encoder_decode(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* obj = parse_obj("Encoder.decode()", args, nargs, kwnames);
        EncoderObject* self = as_encoder(self_obj);
        SharedBorrow hold(self);
        ConversionResult conversion = pyany_to_vec(obj);
        conversion.info.reset();  // what decode reads from its own input is never kept
        return arr_to_out(conversion.matrix, std::move(conversion.out), self->info).release();
    });
}

}  // namespace kavrel
