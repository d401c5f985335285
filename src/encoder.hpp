// The Encoder object: its instance layout, its borrow counter and its entry
// points.  Each entry point reads as its stages: arguments, borrow,
// input (pyany_to_vec), learned state, output (arr_to_out).
#pragma once

#include <Python.h>

namespace kavrel {

// The type's slots, for the PyType_Spec in module.cpp.
PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;
void encoder_dealloc(PyObject* self) noexcept;
PyObject* encoder_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* encoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
// transform(obj): codes a table with the learned state, under a shared borrow.
PyObject* encoder_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
// The class method from_labels(labels, n_columns).
PyObject* encoder_from_labels(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
// __reduce__ and __setstate__: pickling and copying.
PyObject* encoder_reduce(PyObject* self, PyObject* unused) noexcept;
PyObject* encoder_setstate(PyObject* self, PyObject* state) noexcept;
// The getter of the read-only attribute `labels`.
PyObject* encoder_labels(PyObject* self, void* closure) noexcept;
PyObject* encoder_counts(PyObject* self, void* closure) noexcept;
extern const Py_ssize_t encoder_basic_size;

}  // namespace kavrel
