// NumPy's C API, shared by every unit of the module (imported once by the module frame).
#pragma once
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL quorlin_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#ifndef QUORLIN_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
