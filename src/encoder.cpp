#include "encoder.hpp"

#include "core/messages.hpp"
#include "core/transform.hpp"
#include "input/pyany_to_vec.hpp"
#include "learned.hpp"
#include "output/arr_to_out.hpp"
#include "python/errors.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

namespace kavrel {

namespace {

// The instance.  `learned` is read and written only while `borrow` is held:
// replaced only under the exclusive hold of encode (and of the state's
// restoring), read under the shared hold of decode and of the readers of
// what was learned, which may make its strs (LabelStrs takes care of
// several at once).  `borrow` is 0 when free, all bits set while an encode
// holds the instance, and n while n readers do.
struct EncoderObject {
    PyObject_HEAD LearnedState* learned;  // owned; null when nothing has been learned
    std::atomic<std::uintptr_t> borrow;
};

constexpr std::uintptr_t exclusively_held = ~std::uintptr_t{0};

EncoderObject* as_encoder(PyObject* self) noexcept {
    return reinterpret_cast<EncoderObject*>(self);
}

// Adds "while processing '<parameter>'" to the pending exception, and
// throws it on.
[[noreturn]] void rethrow_with_argument_note(const char* parameter) {
    py::Ref exc = py::Ref::steal(PyErr_GetRaisedException());
    py::Ref note = py::Ref::steal(PyUnicode_FromFormat(msg::argument_note, parameter));
    py::Ref added =
        note ? py::Ref::steal(PyObject_CallMethod(exc.get(), "add_note", "O", note.get())) : py::Ref();
    if (!added) PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
    throw py::PythonError{};
}

const char* was_or_were(Py_ssize_t given) noexcept {
    return given == 1 ? "was" : "were";
}

// --- Arguments --------------------------------------------------------------

// The required parameters `names` of a method, in their order, from a fast
// call: given by position or by keyword, each once, and no other.
template <std::size_t N>
std::array<PyObject*, N> parse_required(const char* name, const std::array<const char*, N>& names,
                                        PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static_assert(N > 0 && N < 10);
    static constexpr char count[] = {static_cast<char>('0' + N), '\0'};
    if (nargs > static_cast<Py_ssize_t>(N))
        py::raise(PyExc_TypeError, msg::too_many_positional, name, count, nargs, was_or_were(nargs));
    std::array<PyObject*, N> given{};
    for (Py_ssize_t i = 0; i < nargs; ++i) given[static_cast<std::size_t>(i)] = args[i];
    Py_ssize_t n_keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n_keywords; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        std::size_t k = 0;
        while (k < N && !PyUnicode_EqualToUTF8(keyword, names[k])) ++k;
        if (k == N) py::raise(PyExc_TypeError, msg::unexpected_keyword, name, keyword);
        if (given[k] != nullptr) py::raise(PyExc_TypeError, msg::multiple_values, name, names[k]);
        given[k] = args[nargs + i];
    }
    for (std::size_t k = 0; k < N; ++k)
        if (given[k] == nullptr) py::raise(PyExc_TypeError, msg::missing_argument, name, names[k]);
    return given;
}

// The parameters of from_labels: "labels" and "n_columns", and the
// keyword-only "counts" (null when not given) and "sort".
struct FromLabelsArguments {
    PyObject* labels = nullptr;
    PyObject* n_columns = nullptr;
    PyObject* counts = nullptr;
    bool sort = true;
};

FromLabelsArguments parse_from_labels(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const char* name = "Encoder.from_labels()";
    if (nargs > 2) py::raise(PyExc_TypeError, msg::too_many_positional, name, "2", nargs, was_or_were(nargs));
    FromLabelsArguments given;
    PyObject* sort = nullptr;
    std::array<PyObject**, 4> slots = {&given.labels, &given.n_columns, &given.counts, &sort};
    static constexpr std::array<const char*, 4> names = {"labels", "n_columns", "counts", "sort"};
    for (Py_ssize_t i = 0; i < nargs; ++i) *slots[static_cast<std::size_t>(i)] = args[i];
    Py_ssize_t n_keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n_keywords; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        std::size_t k = 0;
        while (k < names.size() && !PyUnicode_EqualToUTF8(keyword, names[k])) ++k;
        if (k == names.size()) py::raise(PyExc_TypeError, msg::unexpected_keyword, name, keyword);
        if (*slots[k] != nullptr) py::raise(PyExc_TypeError, msg::multiple_values, name, names[k]);
        *slots[k] = args[nargs + i];
    }
    for (std::size_t k = 0; k < 2; ++k)
        if (*slots[k] == nullptr) py::raise(PyExc_TypeError, msg::missing_argument, name, names[k]);
    if (given.counts == Py_None) given.counts = nullptr;
    if (sort != nullptr) {
        int truth = PyObject_IsTrue(sort);
        py::check_status(truth);
        given.sort = truth == 1;
    }
    return given;
}

// The one required parameter "obj" of encode, decode and transform.
PyObject* parse_obj(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return parse_required<1>(name, {"obj"}, args, nargs, kwnames)[0];
}

// The parameters of transform: "obj", and the keyword-only "unknown" and
// "missing"; null when not given.
struct TransformArguments {
    PyObject* obj = nullptr;
    PyObject* unknown = nullptr;
    PyObject* missing = nullptr;
};

TransformArguments parse_transform(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const char* name = "Encoder.transform()";
    if (nargs > 1) py::raise(PyExc_TypeError, msg::too_many_positional, name, "1", nargs, was_or_were(nargs));
    TransformArguments given;
    if (nargs == 1) given.obj = args[0];
    Py_ssize_t n_keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n_keywords; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        PyObject** slot = nullptr;
        const char* parameter = nullptr;
        for (auto [p, s] : {std::pair{"obj", &given.obj}, std::pair{"unknown", &given.unknown},
                            std::pair{"missing", &given.missing}})
            if (PyUnicode_EqualToUTF8(keyword, p)) {
                parameter = p;
                slot = s;
            }
        if (slot == nullptr) py::raise(PyExc_TypeError, msg::unexpected_keyword, name, keyword);
        if (*slot != nullptr) py::raise(PyExc_TypeError, msg::multiple_values, name, parameter);
        *slot = args[nargs + i];
    }
    if (given.obj == nullptr) py::raise(PyExc_TypeError, msg::missing_argument, name, "obj");
    return given;
}

// A code given as a number (a float, or anything float() takes without a
// str); `parameter` names it in the note of a TypeError.
double code_argument(PyObject* value, const char* parameter) {
    try {
        // float() would read a str's number; a code is never given as text.
        if (PyUnicode_Check(value)) py::raise_not_an_instance(value, "float");
        double code = PyFloat_AsDouble(value);
        if (code == -1.0 && PyErr_Occurred()) throw py::PythonError{};
        return code;
    } catch (const py::PythonError&) {
        rethrow_with_argument_note(parameter);
    }
}

// What transform gives a text without a code: unknown and missing default
// to encode's NaN; unknown="error" makes a text that is no label an error.
Coding coding_of(const TransformArguments& given) {
    Coding coding;
    if (given.unknown != nullptr) {
        if (PyUnicode_Check(given.unknown)) {
            if (!PyUnicode_EqualToUTF8(given.unknown, "error"))
                py::raise(PyExc_ValueError, msg::unknown_not_error, given.unknown);
            coding.unknown_fails = true;
        } else {
            coding.unknown = code_argument(given.unknown, "unknown");
        }
    }
    if (given.missing != nullptr) coding.missing = code_argument(given.missing, "missing");
    return coding;
}

// The optional parameter "encoding" of the constructor; null when not given.
PyObject* parse_encoding(PyObject* args, PyObject* kwargs) {
    const char* name = "Encoder.__new__()";
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 1)
        py::raise(PyExc_TypeError, msg::too_many_positional_range, name, 0, 1, nargs, was_or_were(nargs));
    PyObject* encoding = nargs == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
    if (kwargs != nullptr) {
        PyObject* keyword;
        PyObject* value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &keyword, &value)) {
            if (!PyUnicode_Check(keyword) || !PyUnicode_EqualToUTF8(keyword, "encoding"))
                py::raise(PyExc_TypeError, msg::unexpected_keyword, name, keyword);
            if (encoding != nullptr) py::raise(PyExc_TypeError, msg::multiple_values, name, "encoding");
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
    if (std::string_view(text, static_cast<std::size_t>(size)) != "label")
        py::raise(PyExc_ValueError, msg::unsupported_strategy, encoding);
}

// --- Borrowing --------------------------------------------------------------

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(EncoderObject* self) : self_(self) {
        std::uintptr_t expected = 0;
        if (!self_->borrow.compare_exchange_strong(expected, exclusively_held))
            py::raise(PyExc_RuntimeError, msg::already_borrowed);
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
            if (seen == exclusively_held) py::raise(PyExc_RuntimeError, msg::already_mutably_borrowed);
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

namespace {

// A new encoder that has learned nothing.
py::Ref make_encoder(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    py::Ref self = py::check(alloc(type, 0));
    EncoderObject* encoder = as_encoder(self.get());
    encoder->learned = nullptr;
    new (&encoder->borrow) std::atomic<std::uintptr_t>(0);
    return self;
}

}  // namespace

PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        check_encoding(parse_encoding(args, kwargs));
        return make_encoder(type).release();
    });
}

PyObject* encoder_from_labels(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const FromLabelsArguments given = parse_from_labels(args, nargs, kwnames);
        auto learned = std::make_unique<LearnedState>(
            info_from_labels(given.labels, given.n_columns, given.counts, given.sort));
        py::Ref self = make_encoder(reinterpret_cast<PyTypeObject*>(type));
        as_encoder(self.get())->learned = learned.release();
        return self.release();
    });
}

void encoder_dealloc(PyObject* self) noexcept {
    delete as_encoder(self)->learned;
    PyTypeObject* type = Py_TYPE(self);
    // Every instance of a heap type holds a reference to its type.
    py::Ref type_reference = py::Ref::steal(reinterpret_cast<PyObject*>(type));
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
}

PyObject* encoder_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::Handle obj = parse_obj("Encoder.encode()", args, nargs, kwnames);
        EncoderObject* encoder = as_encoder(self);
        ExclusiveBorrow hold(encoder);
        ConversionResult conversion = pyany_to_vec(obj);
        // The new state replaces the old before the output is built, and
        // stays even if building the output fails.
        LearnedState* learned = nullptr;
        if (conversion.info) {
            conversion.info->n_columns = conversion.result.matrix.n_cols();
            conversion.info->frame_columns = conversion.out.labels;
            learned = new LearnedState(std::move(*conversion.info));
        }
        delete std::exchange(encoder->learned, learned);
        return arr_to_out(std::move(conversion.result), std::move(conversion.out), nullptr).release();
    });
}

PyObject* encoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::Handle obj = parse_obj("Encoder.decode()", args, nargs, kwnames);
        EncoderObject* encoder = as_encoder(self);
        SharedBorrow hold(encoder);
        ConversionResult conversion = pyany_to_vec(obj);
        conversion.info.reset();  // what decode reads from its own input is never kept
        return arr_to_out(std::move(conversion.result), std::move(conversion.out), encoder->learned).release();
    });
}

PyObject* encoder_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const TransformArguments given = parse_transform(args, nargs, kwnames);
        const Coding coding = coding_of(given);
        EncoderObject* encoder = as_encoder(self);
        SharedBorrow hold(encoder);
        if (encoder->learned == nullptr) py::raise(PyExc_ValueError, msg::nothing_learned);
        ConversionResult conversion =
            transform_to_vec(given.obj, encoder->learned->info, encoder->learned->indexes, coding);
        return arr_to_out(std::move(conversion.result), std::move(conversion.out), nullptr).release();
    });
}

PyObject* encoder_labels(PyObject* self, void*) noexcept {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        EncoderObject* encoder = as_encoder(self);
        SharedBorrow hold(encoder);
        return labels_dict(encoder->learned).release();
    });
}

PyObject* encoder_counts(PyObject* self, void*) noexcept {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        EncoderObject* encoder = as_encoder(self);
        SharedBorrow hold(encoder);
        return counts_dict(encoder->learned).release();
    });
}

// Pickle finds a class by its module and name, and this one reports the
// module "builtins", where it is not.  So the encoder is rebuilt by a chain
// of functions that pickle does find: reduce(call, ("kavrel:Encoder",
// None), resolve_name) is Encoder(None), made through resolve_name
// ("kavrel:Encoder"), and pickle then hands it the state.
PyObject* encoder_reduce(PyObject* self, PyObject*) noexcept {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        EncoderObject* encoder = as_encoder(self);
        SharedBorrow hold(encoder);
        py::Ref state = state_of(encoder->learned);
        auto function = [](const char* module_name, const char* name) {
            py::Ref module = py::check(PyImport_ImportModule(module_name));
            return py::check(PyObject_GetAttrString(module.get(), name));
        };
        py::Ref reduce = function("functools", "reduce");
        py::Ref call = function("operator", "call");
        py::Ref resolve_name = function("pkgutil", "resolve_name");
        py::Ref steps = py::check(Py_BuildValue("(sO)", "kavrel:Encoder", Py_None));
        py::Ref args = py::check(PyTuple_Pack(3, call.get(), steps.get(), resolve_name.get()));
        if (state.get() == Py_None) return py::check(PyTuple_Pack(2, reduce.get(), args.get())).release();
        return py::check(PyTuple_Pack(3, reduce.get(), args.get(), state.get())).release();
    });
}

PyObject* encoder_setstate(PyObject* self, PyObject* state) noexcept {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        // Checked whole before the encoder is touched: a refused state
        // keeps what was learned.
        std::unique_ptr<LearnedState> learned = learned_from_state(state);
        EncoderObject* encoder = as_encoder(self);
        ExclusiveBorrow hold(encoder);
        delete std::exchange(encoder->learned, learned.release());
        return py::Ref::borrow(Py_None).release();
    });
}

}  // namespace kavrel
