#include "ellipsoid/binding/numbers.h"

#include <cstring>

#include "ellipsoid/binding/numpy_api.h"
#include <numpy/halffloat.h>

namespace quorvane::ellipsoid {

namespace {

template <class T>
double load(const char* p) noexcept {
    T value;
    std::memcpy(&value, p, sizeof value);
    return static_cast<double>(value);
}

double load_bool(const char* p) noexcept {
    return *p != 0 ? 1.0 : 0.0;
}

// IEEE binary16 to double; every half is exactly representable.
double load_half(const char* p) noexcept {
    npy_half h;
    std::memcpy(&h, p, sizeof h);
    return npy_half_to_double(h);
}

// The conversion of a NumPy element type to double, or nullptr.
using Loader = double (*)(const char*);

Loader element_loader(int type_num) noexcept {
    switch (type_num) {
        case NPY_BOOL: return load_bool;
        case NPY_BYTE: return load<npy_byte>;
        case NPY_UBYTE: return load<npy_ubyte>;
        case NPY_SHORT: return load<npy_short>;
        case NPY_USHORT: return load<npy_ushort>;
        case NPY_INT: return load<npy_int>;
        case NPY_UINT: return load<npy_uint>;
        case NPY_LONG: return load<npy_long>;
        case NPY_ULONG: return load<npy_ulong>;
        case NPY_LONGLONG: return load<npy_longlong>;
        case NPY_ULONGLONG: return load<npy_ulonglong>;
        case NPY_HALF: return load_half;
        case NPY_FLOAT: return load<npy_float>;
        case NPY_DOUBLE: return load<npy_double>;
        default: return nullptr;
    }
}

// Whether an exact ndarray of `ndim` dimensions can be read directly, and the
// conversion of its elements (nullptr for float64, which is read inline).
bool direct_loader(PyObject* x, int ndim, Loader* loader) noexcept {
    *loader = nullptr;
    if (!PyArray_CheckExact(x)) return false;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(x);
    if (PyArray_NDIM(a) != ndim || !PyArray_ISNOTSWAPPED(a)) return false;
    if (PyArray_TYPE(a) == NPY_DOUBLE) return true;
    *loader = element_loader(PyArray_TYPE(a));
    return *loader != nullptr;
}

}  // namespace

Ref get_item(PyObject* x, Py_ssize_t i) noexcept {
    PySequenceMethods* sq = Py_TYPE(x)->tp_as_sequence;
    if (sq != nullptr && sq->sq_item != nullptr) return Ref::steal(sq->sq_item(x, i));
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    if (!index) return {};
    return Ref::steal(PyObject_GetItem(x, index.get()));
}

namespace {

bool read_item(PyObject* x, Py_ssize_t i, double* out) noexcept {
    Ref item = get_item(x, i);
    return item && to_double(item.get(), out);
}

}  // namespace

bool to_double(PyObject* o, double* out) noexcept {
    if (PyFloat_CheckExact(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    *out = PyFloat_AsDouble(o);
    return !(*out == -1.0 && PyErr_Occurred());
}

Column::Column(PyObject* x) noexcept : x_(x) {
    if (!direct_loader(x, 1, &load_)) return;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(x);
    fast_ = true;
    data_ = PyArray_BYTES(a);
    length_ = PyArray_DIM(a, 0);
    stride_ = PyArray_STRIDE(a, 0);
}

bool Column::read_slow(Py_ssize_t i, double* out) const noexcept {
    return read_item(x_, i, out);
}

Rows::Rows(PyObject* x) noexcept : x_(x) {
    if (!direct_loader(x, 2, &load_)) return;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(x);
    if (PyArray_DIM(a, 1) < 3) return;
    fast_ = true;
    data_ = PyArray_BYTES(a);
    rows_ = PyArray_DIM(a, 0);
    row_stride_ = PyArray_STRIDE(a, 0);
    column_stride_ = PyArray_STRIDE(a, 1);
}

bool Rows::read_slow(Py_ssize_t i, double* out) const noexcept {
    for (Py_ssize_t j = 0; j < 3; ++j) {
        Ref row = get_item(x_, i);
        if (!row || !read_item(row.get(), j, &out[j])) return false;
    }
    return true;
}

bool read_vector3(PyObject* x, double* out) noexcept {
    const Column column(x);
    for (Py_ssize_t i = 0; i < 3; ++i) {
        if (!column.read(i, &out[i])) return false;
    }
    return true;
}

}  // namespace quorvane::ellipsoid
