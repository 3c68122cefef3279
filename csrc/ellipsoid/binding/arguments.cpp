#include "ellipsoid/binding/arguments.h"

#include "ellipsoid/binding/globals.h"
#include "ellipsoid/binding/numbers.h"
#include "ellipsoid/binding/numpy_api.h"

namespace quorvane::ellipsoid {

namespace {

// Raises AssertionError (no message) unless `a == b` is true. The comparison
// is the interpreter's, on whatever objects the attributes are.
bool check_equal(PyObject* a, PyObject* b) noexcept {
    Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    if (!result) return false;
    const int truth = PyObject_IsTrue(result.get());
    if (truth < 0) return false;
    if (truth == 0) {
        PyErr_SetNone(PyExc_AssertionError);
        return false;
    }
    return true;
}

// isinstance(x, Real), answering the common numbers without the ABC machinery
// while Real is the numbers.Real the module imported.
int is_real(PyObject* x, PyObject* Real) noexcept {
    if (Real == state.numbers_real &&
        (PyFloat_CheckExact(x) || PyLong_CheckExact(x) || PyBool_Check(x))) {
        return 1;
    }
    return PyObject_IsInstance(x, Real);
}

// x.ndim == 1 or x.shape == (3,) for an exact ndarray, whose shape and ndim
// are its own, answered without making the tuple: 1 or 0, or -1 when the
// question is another one.
int known_answer(PyObject* x, PyObject* attr, PyObject* value) noexcept {
    if (!PyArray_CheckExact(x)) return -1;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(x);
    if (attr == state.c.ndim && value == state.c.one) return PyArray_NDIM(a) == 1;
    if (attr == state.c.shape && value == state.c.tuple_3) {
        return PyArray_NDIM(a) == 1 && PyArray_DIM(a, 0) == 3;
    }
    return -1;
}

// Assertion x.shape[1] == 3.
bool check_three_columns(PyObject* x) noexcept {
    Ref shape = Ref::steal(PyObject_GetAttr(x, state.c.shape));
    if (!shape) return false;
    Ref columns = get_item(shape.get(), 1);
    return columns && check_equal(columns.get(), state.c.three);
}

// Assertion a.<attr> == b.<attr> [== c.<attr>] [== last], chained as the
// interpreter chains comparisons: each attribute read only while the
// comparisons before it hold.
bool check_chain(PyObject* attr, std::initializer_list<PyObject*> xs, PyObject* last) noexcept {
    Ref previous;
    for (PyObject* x : xs) {
        Ref current = Ref::steal(PyObject_GetAttr(x, attr));
        if (!current) return false;
        if (previous && !check_equal(previous.get(), current.get())) return false;
        previous = std::move(current);
    }
    return last == nullptr || check_equal(previous.get(), last);
}

// Every one of `xs` passes the Real test, tested left to right while they hold.
int all_real(std::initializer_list<PyObject*> xs) noexcept {
    Ref Real = global(state.c.Real);
    if (!Real) return -1;
    for (PyObject* x : xs) {
        const int real = is_real(x, Real.get());
        if (real <= 0) return real;
    }
    return 1;
}

}  // namespace

int real_numbers(std::initializer_list<PyObject*> xs, double* out) noexcept {
    const int real = all_real(xs);
    if (real <= 0) return real;
    for (PyObject* x : xs) {
        if (!to_double(x, out++)) return -1;
    }
    return 1;
}

int attr_equals(PyObject* x, PyObject* attr, PyObject* value) noexcept {
    const int known = known_answer(x, attr, value);
    if (known >= 0) return known;
    Ref a = Ref::steal(PyObject_GetAttr(x, attr));
    if (!a) return -1;
    Ref eq = Ref::steal(PyObject_RichCompare(a.get(), value, Py_EQ));
    return eq ? PyObject_IsTrue(eq.get()) : -1;
}

bool check_attr(PyObject* x, PyObject* attr, PyObject* value) noexcept {
    if (known_answer(x, attr, value) == 1) return true;  // a failure still raises below
    Ref a = Ref::steal(PyObject_GetAttr(x, attr));
    return a && check_equal(a.get(), value);
}

bool check_rows3(PyObject* x) noexcept {
    if (!state.assertions) return true;
    return check_attr(x, state.c.ndim, state.c.two) && check_three_columns(x);
}

bool check_columns(std::initializer_list<PyObject*> xs) noexcept {
    if (!state.assertions) return true;
    return check_chain(state.c.ndim, xs, state.c.one) && check_chain(state.c.shape, xs, nullptr);
}

Ref first_dimension(PyObject* x) noexcept {
    Ref shape = Ref::steal(PyObject_GetAttr(x, state.c.shape));
    return shape ? get_item(shape.get(), 0) : Ref();
}

bool shape_item(PyObject* x, Py_ssize_t k, Py_ssize_t* out) noexcept {
    Ref shape = Ref::steal(PyObject_GetAttr(x, state.c.shape));
    if (!shape) return false;
    Ref item = get_item(shape.get(), k);
    if (!item) return false;
    *out = PyNumber_AsSsize_t(item.get(), PyExc_OverflowError);
    return !(*out == -1 && PyErr_Occurred());
}

}  // namespace quorvane::ellipsoid
