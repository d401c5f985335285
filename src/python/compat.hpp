// The few C-API functions of CPython 3.14 that 3.13 lacks, so that one
// source builds on both.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030E0000
// 1 and a new reference in *item, 0 at the end, -1 with an exception set.
static inline int PyIter_NextItem(PyObject* iter, PyObject** item) {
    *item = PyIter_Next(iter);
    if (*item != nullptr) return 1;
    return PyErr_Occurred() ? -1 : 0;
}
#endif
