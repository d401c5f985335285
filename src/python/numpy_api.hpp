// numpy's C API, imported once per process on first use.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL kavrel_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#ifndef KAVREL_DEFINE_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace kavrel::np {

// Imports numpy's array API if that has not happened yet; throws
// py::PythonError when numpy cannot be imported.
void ensure_imported();

}  // namespace kavrel::np
