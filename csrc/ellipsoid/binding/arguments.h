// The argument checks of the methods: one number or arrays, and the shape
// assertions (made only while the interpreter's assertions are on).
#ifndef QUORVANE_ELLIPSOID_BINDING_METHOD_ARGS_H
#define QUORVANE_ELLIPSOID_BINDING_METHOD_ARGS_H

#include <Python.h>

#include <initializer_list>

#include "common/ref.h"

namespace quorvane::ellipsoid {

using py::Ref;

// Every one of `xs` passes isinstance(x, Real), tested left to right while
// they hold: 1, 0 or -1 with an exception.
int all_real(std::initializer_list<PyObject*> xs) noexcept;

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

}  // namespace quorvane::ellipsoid

#endif  // QUORVANE_ELLIPSOID_BINDING_METHOD_ARGS_H
