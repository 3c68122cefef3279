// The NumPy calls that allocate and return results.
#ifndef QUORVANE_ELLIPSOID_BINDING_NUMPY_CALLS_H
#define QUORVANE_ELLIPSOID_BINDING_NUMPY_CALLS_H

#include <Python.h>

#include "common/ref.h"

namespace quorvane::ellipsoid {

using py::Ref;

// Remembers NumPy's own module and functions (at import).
bool remember_numpy(PyObject* numpy) noexcept;

// When `array` is an exact, writable, aligned float64 ndarray of shape (N, k),
// k >= 3, fills its data pointer, N and strides and returns true.
bool direct_rows(PyObject* array, char** data, Py_ssize_t* rows, Py_ssize_t* row_stride,
                 Py_ssize_t* column_stride) noexcept;

// numpy.zeros(shape=shape, dtype=dtype), numpy.zeros_like(x), numpy.asarray(...).
// While `numpy` is NumPy itself, zeros of an exact shape and dtype and asarray
// of a typed view are made with the C API: the same array, without the cost of
// a keyword call and of reading the view's format string back.
Ref zeros(PyObject* shape, PyObject* dtype) noexcept;
// The same with numpy.zeros looked up already: zeros_function tells whether
// it is NumPy's own.
Ref zeros_function(bool* own) noexcept;
Ref zeros(const Ref& function, bool own, PyObject* shape, PyObject* dtype) noexcept;
// The length of a one-dimensional shape that is an exact int or a 1-tuple of one.
bool plain_length(PyObject* shape, Py_ssize_t* n) noexcept;
Ref zeros(Py_ssize_t n, PyObject* dtype) noexcept;
Ref zeros_rows3(Py_ssize_t n, PyObject* dtype) noexcept;  // shape (n, 3)
Ref zeros_like(PyObject* x) noexcept;
Ref asarray(PyObject* obj, PyObject* dtype = nullptr) noexcept;
Ref asarray_vector3(const double* v) noexcept;  // numpy.asarray([v0, v1, v2])

}  // namespace quorvane::ellipsoid

#endif  // QUORVANE_ELLIPSOID_BINDING_NUMPY_CALLS_H
