#include "ellipsoid/binding/numpy_calls.h"

#include <cstring>

#include "ellipsoid/binding/names.h"
#include "ellipsoid/binding/numpy_api.h"
#include "ellipsoid/binding/readers.h"
#include "ellipsoid/binding/typedview.h"

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

}  // namespace

bool remember_numpy(PyObject* numpy) noexcept {
    Py_XSETREF(state.numpy_module, Py_NewRef(numpy));
    Py_XSETREF(state.numpy_zeros, PyObject_GetAttr(numpy, state.c.zeros));
    Py_XSETREF(state.numpy_asarray, PyObject_GetAttr(numpy, state.c.asarray));
    return state.numpy_zeros != nullptr && state.numpy_asarray != nullptr;
}

bool direct_rows(PyObject* array, char** data, Py_ssize_t* rows, Py_ssize_t* row_stride,
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

Ref zeros_function(bool* own) noexcept {
    return numpy_function(state.c.zeros, state.numpy_zeros, own);
}

bool plain_length(PyObject* shape, Py_ssize_t* n) noexcept {
    npy_intp dims[NPY_MAXDIMS];
    int ndim;
    if (!plain_shape(shape, dims, &ndim) || ndim != 1) return false;
    *n = dims[0];
    return true;
}

Ref zeros(PyObject* shape, PyObject* dtype) noexcept {
    bool own;
    Ref function = zeros_function(&own);
    return function ? zeros(function, own, shape, dtype) : Ref();
}

Ref zeros(const Ref& function, bool own, PyObject* shape, PyObject* dtype) noexcept {
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

Ref zeros(Py_ssize_t n, PyObject* dtype) noexcept {
    Ref count = Ref::steal(PyLong_FromSsize_t(n));
    return count ? zeros(count.get(), dtype) : Ref();
}

Ref zeros_rows3(Py_ssize_t n, PyObject* dtype) noexcept {
    Ref shape = Ref::steal(Py_BuildValue("(ni)", n, 3));
    return shape ? zeros(shape.get(), dtype) : Ref();
}

Ref zeros_like(PyObject* x) noexcept {
    bool own;
    Ref function = numpy_function(state.c.zeros_like, nullptr, &own);
    if (!function) return {};
    PyObject* args[] = {x};
    return call(function, args, 1, nullptr);
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

}  // namespace quorvane::ellipsoid
