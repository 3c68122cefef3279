#include "ellipsoid/binding/results.h"

#include <cstring>

#include "ellipsoid/binding/arguments.h"
#include "ellipsoid/binding/globals.h"
#include "ellipsoid/binding/numpy_api.h"

namespace quorvane::ellipsoid {

namespace {

// numpy.<name> of the module global `numpy`; *own tells whether it is the
// function NumPy itself had at import.
Ref numpy_function(PyObject* name, PyObject* original, bool* own) noexcept {
    Ref numpy = global(state.c.numpy);
    if (!numpy) return {};
    // An attribute of NumPy's own (plain) module is an entry of its dictionary.
    const bool plain = numpy.get() == state.numpy_module && PyModule_CheckExact(numpy.get());
    if (PyObject* cached = plain ? cached_lookup(state.numpy_module, name) : nullptr) {
        *own = cached == original;
        return Ref::borrow(cached);
    }
    Ref function = Ref::steal(PyObject_GetAttr(numpy.get(), name));
    if (plain && function) remember_lookup(state.numpy_module, name, function.get());
    *own = function && numpy.get() == state.numpy_module && function.get() == original;
    return function;
}

Ref call(const Ref& function, PyObject* const* args, size_t nargs, PyObject* kwnames) noexcept {
    return Ref::steal(PyObject_Vectorcall(function.get(), args, nargs, kwnames));
}

// The dimensions of an exact int or tuple of exact ints, all non-negative;
// false for anything NumPy should look at itself.
bool plain_shape(PyObject* shape, npy_intp* dims, int* ndim) noexcept {
    auto dimension = [](PyObject* o, npy_intp* out) {
        if (!PyLong_CheckExact(o)) return false;
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow != 0 || value < 0 || (value == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        *out = static_cast<npy_intp>(value);
        return true;
    };
    if (PyLong_CheckExact(shape)) {
        *ndim = 1;
        return dimension(shape, dims);
    }
    if (!PyTuple_CheckExact(shape) || PyTuple_GET_SIZE(shape) > NPY_MAXDIMS) return false;
    *ndim = static_cast<int>(PyTuple_GET_SIZE(shape));
    for (int d = 0; d < *ndim; ++d) {
        if (!dimension(PyTuple_GET_ITEM(shape, d), &dims[d])) return false;
    }
    return true;
}

// numpy.asarray(view[, dtype]) as an array over the view's memory whose base
// is the view; nullptr (no error) when NumPy should make it itself.
Ref array_over_view(PyObject* view, PyObject* dtype) noexcept {
    const py::TypedViewObject* typed = reinterpret_cast<py::TypedViewObject*>(view);
    const Py_buffer& buffer = typed->buffer;
    if (buffer.obj == nullptr || !PyArray_CheckExact(buffer.obj)) return {};
    PyArray_Descr* allocated = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(buffer.obj));
    PyArray_Descr* descr;
    if (typed->dtype != nullptr) {  // records held by plain doubles: only their own dtype
        if (dtype != typed->dtype) return {};
        descr = reinterpret_cast<PyArray_Descr*>(Py_NewRef(dtype));
    } else if (dtype == nullptr) {
        if (allocated->type_num != NPY_DOUBLE || !PyArray_ISNBO(allocated->byteorder)) return {};
        descr = PyArray_DescrFromType(NPY_DOUBLE);
    } else {
        if (!PyArray_DescrCheck(dtype)) return {};
        descr = reinterpret_cast<PyArray_Descr*>(dtype);
        if (!PyArray_EquivTypes(allocated, descr)) return {};
        Py_INCREF(descr);
    }
    Ref array =
        Ref::steal(PyArray_NewFromDescr(&PyArray_Type, descr, buffer.ndim, buffer.shape,
                                        buffer.strides, buffer.buf, NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) return {};
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), Py_NewRef(view)) < 0) {
        return {};
    }
    return array;
}

// At most a few hundred elements in all (a one-point result, a short array).
bool few_elements(const npy_intp* dims, int ndim) noexcept {
    npy_intp count = 1;
    for (int d = 0; d < ndim; ++d) {
        if (dims[d] > 256) return false;
        count *= dims[d];
    }
    return count <= 256;
}

// When `array` is an exact, writable, aligned float64 ndarray of shape (N, k),
// k >= 3, fills its data pointer, N and strides and returns true.
bool writable_rows(PyObject* array, char** data, Py_ssize_t* rows, Py_ssize_t* row_stride,
                   Py_ssize_t* column_stride) noexcept {
    if (!PyArray_CheckExact(array)) return false;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(array);
    if (PyArray_NDIM(a) != 2 || PyArray_TYPE(a) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(a) ||
        !PyArray_ISWRITEABLE(a) || !PyArray_ISALIGNED(a) || PyArray_DIM(a, 1) < 3) {
        return false;
    }
    *data = PyArray_BYTES(a);
    *rows = PyArray_DIM(a, 0);
    *row_stride = PyArray_STRIDE(a, 0);
    *column_stride = PyArray_STRIDE(a, 1);
    return true;
}

// numpy.zeros as looked up now; *own tells whether it is NumPy's own.
Ref zeros_function(bool* own) noexcept {
    return numpy_function(state.c.zeros, state.numpy_zeros, own);
}

// The length of a one-dimensional shape that is an exact int or a 1-tuple of one.
bool plain_length(PyObject* shape, Py_ssize_t* n) noexcept {
    npy_intp dims[NPY_MAXDIMS];
    int ndim;
    if (!plain_shape(shape, dims, &ndim) || ndim != 1) return false;
    *n = dims[0];
    return true;
}

// numpy.zeros(shape=shape, dtype=dtype) with numpy.zeros looked up already.
Ref zeros_with(const Ref& function, bool own, PyObject* shape, PyObject* dtype) noexcept {
    npy_intp dims[NPY_MAXDIMS];
    int ndim;
    if (own && PyArray_DescrCheck(dtype) && plain_shape(shape, dims, &ndim)) {
        PyArray_Descr* descr = reinterpret_cast<PyArray_Descr*>(dtype);
        Py_INCREF(descr);  // both constructors take the reference
        if (few_elements(dims, ndim) && !PyDataType_REFCHK(descr)) {
            // PyArray_Zeros looks up a zero-filling loop for record dtypes on
            // every call; for a handful of plain elements clearing the memory
            // is the same array at a fraction of the cost.
            Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, descr, ndim, dims, nullptr,
                                                        nullptr, 0, nullptr));
            if (array) {
                PyArrayObject* a = reinterpret_cast<PyArrayObject*>(array.get());
                std::memset(PyArray_DATA(a), 0, PyArray_NBYTES(a));
            }
            return array;
        }
        return Ref::steal(PyArray_Zeros(ndim, dims, descr, 0));
    }
    PyObject* args[] = {shape, dtype};
    return call(function, args, 0, state.c.shape_dtype_kwnames);
}

// numpy.double, looked up at the call.
Ref numpy_double() noexcept {
    Ref numpy = global(state.c.numpy);
    return numpy ? Ref::steal(PyObject_GetAttr(numpy.get(), state.c.double_)) : Ref();
}

// numpy.zeros(shape=shape, dtype=dtype).
Ref zeros(PyObject* shape, PyObject* dtype) noexcept {
    bool own;
    Ref function = zeros_function(&own);
    return function ? zeros_with(function, own, shape, dtype) : Ref();
}

}  // namespace

bool remember_numpy(PyObject* numpy) noexcept {
    Py_XSETREF(state.numpy_module, Py_NewRef(numpy));
    Py_XSETREF(state.numpy_zeros, PyObject_GetAttr(numpy, state.c.zeros));
    Py_XSETREF(state.numpy_zeros_like, PyObject_GetAttr(numpy, state.c.zeros_like));
    Py_XSETREF(state.numpy_asarray, PyObject_GetAttr(numpy, state.c.asarray));
    return state.numpy_zeros != nullptr && state.numpy_zeros_like != nullptr &&
           state.numpy_asarray != nullptr;
}

Ref zeros_column_of(PyObject* x) noexcept {
    Ref rows = first_dimension(x);
    Ref dtype = rows ? numpy_double() : Ref();
    return dtype ? zeros(rows.get(), dtype.get()) : Ref();
}

Ref zeros_rows_of(PyObject* x) noexcept {
    Ref rows = first_dimension(x);
    if (!rows) return {};
    Ref shape = Ref::steal(PyTuple_Pack(2, rows.get(), state.c.three));
    Ref dtype = shape ? numpy_double() : Ref();
    return dtype ? zeros(shape.get(), dtype.get()) : Ref();
}

Ref zeros_like(PyObject* x) noexcept {
    bool own;
    Ref function = numpy_function(state.c.zeros_like, state.numpy_zeros_like, &own);
    if (!function) return {};
    if (own && PyArray_CheckExact(x) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(x)) == 1) {
        // Of an exact one-dimensional array of NumPy's own float64: a float64
        // array of its length, the same as zeros_like makes, but allocated
        // zeroed (fresh pages from the system are not written twice).
        PyArrayObject* a = reinterpret_cast<PyArrayObject*>(x);
        Ref float64 = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
        if (float64 && float64.get() == reinterpret_cast<PyObject*>(PyArray_DESCR(a))) {
            return Ref::steal(PyArray_ZEROS(1, PyArray_DIMS(a), NPY_DOUBLE, 0));
        }
    }
    PyObject* args[] = {x};
    return call(function, args, 1, nullptr);
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
    Ref array = zeros_with(function, own, shape, dtype.get());
    return array ? View::acquire(array.get(), spec, 1) : View();
}

Ref asarray(PyObject* obj, PyObject* dtype) noexcept {
    bool own;
    Ref function = numpy_function(state.c.asarray, state.numpy_asarray, &own);
    if (!function) return {};
    if (own && Py_IS_TYPE(obj, py::typed_view_type())) {
        Ref array = array_over_view(obj, dtype);
        if (array || PyErr_Occurred()) return array;
    }
    PyObject* args[] = {obj, dtype};
    return call(function, args, 1, dtype ? state.c.dtype_kwnames : nullptr);
}

Ref asarray_vector3(const double* v) noexcept {
    bool own;
    Ref function = numpy_function(state.c.asarray, state.numpy_asarray, &own);
    if (!function) return {};
    if (own) {  // the array NumPy would make of the list, made directly
        npy_intp three = 3;
        Ref array = Ref::steal(PyArray_SimpleNew(1, &three, NPY_DOUBLE));
        if (array) {
            double* data =
                static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
            for (int k = 0; k < 3; ++k) data[k] = v[k];
        }
        return array;
    }
    Ref list = Ref::steal(PyList_New(3));
    if (!list) return {};
    for (Py_ssize_t k = 0; k < 3; ++k) {
        PyObject* number = PyFloat_FromDouble(v[k]);
        if (number == nullptr) return {};
        PyList_SET_ITEM(list.get(), k, number);
    }
    PyObject* args[] = {list.get()};
    return call(function, args, 1, nullptr);
}

PyObject* return_records(const View& view, PyObject* dtype_name) noexcept {
    Ref dtype = global(dtype_name);
    return dtype ? asarray(view.object(), dtype.get()).release() : nullptr;
}

bool in_bounds(const View& view, Py_ssize_t i) noexcept {
    if (i < view.length()) return true;
    py::raise_out_of_bounds(0);
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
    if (!writable_rows(array, &data_, &rows_, &row_stride_, &column_stride_)) rows_ = 0;
}

bool RowSink::write_slow(Py_ssize_t i, const double* r) const noexcept {
    if (view_ != nullptr) {
        if (in_bounds(*view_, i)) py::raise_out_of_bounds(1);
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
