// The argument checks of the methods, once the arguments are parsed: one
// number or arrays, the shape assertions (made only while the interpreter's
// assertions are on), and the lengths the element loops run over.
#ifndef QUORVANE_ELLIPSOID_BINDING_ARGUMENTS_H
#define QUORVANE_ELLIPSOID_BINDING_ARGUMENTS_H

#include <Python.h>

#include <initializer_list>

#include "common/ref.h"

namespace quorvane::ellipsoid {

using py::Ref;

// Every one of `xs` passes isinstance(x, Real), tested left to right while
// they hold, and is then converted, left to right, into out[0], out[1], ...:
// 1 (one point), 0 (the array branch) or -1 with an exception.
int real_numbers(std::initializer_list<PyObject*> xs, double* out) noexcept;

// x.<attr> == value, as a branch test (not an assertion): 1, 0 or -1.
int attr_equals(PyObject* x, PyObject* attr, PyObject* value) noexcept;

// Assertion x.<attr> == value.
bool check_attr(PyObject* x, PyObject* attr, PyObject* value) noexcept;

// Assertions x.ndim == 2 and x.shape[1] == 3, for an (N, 3) input.
bool check_rows3(PyObject* x) noexcept;

// Assertions for the array branch of the methods taking angle arrays:
// xs[0].ndim == xs[1].ndim [== xs[2].ndim] == 1, then the shapes equal.
bool check_columns(std::initializer_list<PyObject*> xs) noexcept;

// x.shape[0] as the object it is (what numpy.zeros is given).
Ref first_dimension(PyObject* x) noexcept;

// x.shape[k] converted with the interpreter's index conversion.
bool shape_item(PyObject* x, Py_ssize_t k, Py_ssize_t* out) noexcept;

}  // namespace quorvane::ellipsoid

#endif  // QUORVANE_ELLIPSOID_BINDING_ARGUMENTS_H
