// The NumPy C API as this module uses it: the 1.20 feature level, one shared
// API table (imported in module.cpp).
#ifndef QUORVANE_ELLIPSOID_BINDING_NUMPY_API_H
#define QUORVANE_ELLIPSOID_BINDING_NUMPY_API_H

#define NPY_NO_DEPRECATED_API NPY_1_20_API_VERSION
#ifndef NPY_TARGET_VERSION
#define NPY_TARGET_VERSION NPY_1_20_API_VERSION
#endif
#define PY_ARRAY_UNIQUE_SYMBOL quorvane_ellipsoid_ARRAY_API
#ifndef QUORVANE_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#endif  // QUORVANE_ELLIPSOID_BINDING_NUMPY_API_H
