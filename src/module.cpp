// The module kavrel: its definition, its execution step and the Encoder
// type spec.
#include <Python.h>

#include "core/messages.hpp"
#include "encoder.hpp"
#include "python/errors.hpp"
#include "python/lazy_class.hpp"

namespace kavrel {

namespace {

PyMethodDef encoder_methods[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_encode)),
     METH_FASTCALL | METH_KEYWORDS, "encode($self, obj)\n--\n\n"},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_decode)),
     METH_FASTCALL | METH_KEYWORDS, "decode($self, obj)\n--\n\n"},
    {"transform", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_transform)),
     METH_FASTCALL | METH_KEYWORDS, "transform($self, obj, *, unknown=math.nan, missing=math.nan)\n--\n\n"},
    {"from_labels", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_from_labels)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "from_labels($cls, labels, n_columns, *, counts=None, sort=True)\n--\n\n"},
    {"__reduce__", encoder_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
    {"__setstate__", encoder_setstate, METH_O, "__setstate__($self, state, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef encoder_getset[] = {
    {"labels", encoder_labels, nullptr, nullptr, nullptr},
    {"counts", encoder_counts, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot encoder_slots[] = {
    {Py_tp_doc, const_cast<char*>("Encoder(encoding=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(encoder_dealloc)},
    {Py_tp_methods, encoder_methods},
    {Py_tp_getset, encoder_getset},
    {0, nullptr},
};

// The class declares no module of its own, so it reports "builtins".
PyType_Spec encoder_spec = {
    "builtins.Encoder",
    0,  // basic size, filled in before the class is created
    0,
    Py_TPFLAGS_DEFAULT,
    encoder_slots,
};

// New reference: the class, or null with RuntimeError set, whose cause is
// the error that kept it from being made.
PyObject* make_encoder_class() noexcept {
    encoder_spec.basicsize = static_cast<int>(encoder_basic_size);
    PyObject* cls = PyType_FromSpec(&encoder_spec);
    if (cls != nullptr) return cls;
    py::Ref cause = py::Ref::steal(PyErr_GetRaisedException());
    PyErr_Format(PyExc_RuntimeError, msg::class_init_failed, "Encoder");
    py::Ref error = py::Ref::steal(PyErr_GetRaisedException());
    PyException_SetCause(error.get(), cause.release());  // steals the cause
    PyErr_SetRaisedException(error.release());
    return nullptr;
}

// The class object, created by the first execution step of the process and
// handed to every later one (another import in the same process).
py::LazyClass encoder_class;

// The module's __all__ list, created empty when the module has none.
py::Ref all_list(py::Handle module) {
    PyObject* found = nullptr;
    py::check_status(PyObject_GetOptionalAttrString(module.get(), "__all__", &found));
    py::Ref all = py::Ref::steal(found);
    if (!all) {
        all = py::check(PyList_New(0));
        py::check_status(PyObject_SetAttrString(module.get(), "__all__", all.get()));
    }
    if (!PyList_Check(all.get())) py::raise_not_an_instance(all.get(), "list");
    return all;
}

int exec_module(PyObject* module) noexcept {
    return py::guard(-1, [&] {
        // CPython refuses the module (see module_slots) only in interpreters
        // that check extensions; a legacy one does not, so refuse it here,
        // before it would share the main interpreter's class.
        if (PyInterpreterState_Get() != PyInterpreterState_Main())
            py::raise(PyExc_ImportError, msg::subinterpreters_unsupported, "kavrel");
        if (!PyModule_Check(module)) py::raise_not_an_instance(module, "module");
        PyObject* cls = encoder_class.get(make_encoder_class);
        py::Ref all = all_list(module);
        py::Ref name = py::check(PyUnicode_FromString("Encoder"));
        if (PyList_Append(all.get(), name.get()) < 0) py::fail_with_python_error(msg::append_to_all_failed);
        py::check_status(PyObject_SetAttr(module, name.get(), cls));
        return 0;
    });
}

// The main interpreter only: the Encoder class and the pool are the
// process's, made once, and numpy, which every call needs, loads in no
// subinterpreter.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kavrel",
    "Label encoding of the text columns of numpy arrays and pandas frames, on a shared thread pool.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace kavrel

PyMODINIT_FUNC PyInit_kavrel() {
    return PyModuleDef_Init(&kavrel::module_def);
}
