#include "ellipsoid/binding/results.h"

#include "ellipsoid/binding/method_args.h"
#include "ellipsoid/binding/names.h"
#include "ellipsoid/binding/numpy_calls.h"

namespace quorvane::ellipsoid {

Ref numpy_double() noexcept {
    Ref numpy = global(state.c.numpy);
    return numpy ? Ref::steal(PyObject_GetAttr(numpy.get(), state.c.double_)) : Ref();
}

Ref zeros_rows_of(PyObject* x) noexcept {
    Ref rows = first_dimension(x);
    if (!rows) return {};
    Ref shape = Ref::steal(PyTuple_Pack(2, rows.get(), state.c.three));
    Ref dtype = shape ? numpy_double() : Ref();
    return dtype ? zeros(shape.get(), dtype.get()) : Ref();
}

View allocate_records(PyObject* shape, PyObject* dtype_name, const py::ElementSpec& spec) noexcept {
    Ref dtype = global(dtype_name);
    if (!dtype) return View();
    bool own;
    Ref function = zeros_function(&own);
    if (!function) return View();
    Py_ssize_t n;
    if (own && plain_length(shape, &n)) {
        View view = View::allocate_verified(n, dtype.get(), spec);
        if (view || PyErr_Occurred()) return view;
    }
    Ref array = zeros(function, own, shape, dtype.get());
    return array ? View::acquire(array.get(), spec, 1) : View();
}

PyObject* return_records(const View& view, PyObject* dtype_name) noexcept {
    Ref dtype = global(dtype_name);
    return dtype ? asarray(view.object(), dtype.get()).release() : nullptr;
}

bool in_bounds(const View& view, Py_ssize_t i) noexcept {
    if (i < view.length()) return true;
    raise_out_of_bounds();
    return false;
}

RowSink::RowSink(const View& view) noexcept : view_(&view) {
    if (view.length(1) < 3) return;
    data_ = view.data();
    rows_ = view.length(0);
    row_stride_ = view.stride(0);
    column_stride_ = view.stride(1);
}

RowSink::RowSink(PyObject* array) noexcept : array_(array) {
    if (!ellipsoid::direct_rows(array, &data_, &rows_, &row_stride_, &column_stride_)) rows_ = 0;
}

bool RowSink::write_slow(Py_ssize_t i, const double* r) const noexcept {
    if (view_ != nullptr) {
        if (!in_bounds(*view_, i)) return false;
        PyErr_SetString(PyExc_IndexError, "Out of bounds on buffer access (axis 1)");
        return false;
    }
    for (Py_ssize_t j = 0; j < 3; ++j) {
        Ref key = Ref::steal(Py_BuildValue("(nn)", i, j));
        Ref value = key ? Ref::steal(PyFloat_FromDouble(r[j])) : Ref();
        if (!value || PyObject_SetItem(array_, key.get(), value.get()) < 0) return false;
    }
    return true;
}

}  // namespace quorvane::ellipsoid
