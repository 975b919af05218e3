// Every binding file includes this first: the Python and NumPy C APIs with one
// shared NumPy API table for the whole module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL orvik_ARRAY_API
#ifndef ORVIK_IMPORT_ARRAY_HERE
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
