#include "ellipsoid/binding/calls.h"

#include <cstdint>
#include <cstring>

#include "ellipsoid/binding/numpy_api.h"
#include "ellipsoid/binding/typedview.h"

namespace quorvane::ellipsoid {
namespace {

PyObject* intern(const char* s) noexcept {
    return PyUnicode_InternFromString(s);
}

// -- Direct element loads --------------------------------------------------------

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
    std::uint16_t h;
    std::memcpy(&h, p, sizeof h);
    const std::uint64_t sign = static_cast<std::uint64_t>(h >> 15) << 63;
    const int exponent = (h >> 10) & 0x1f;
    std::uint64_t mantissa = h & 0x3ff;
    std::uint64_t bits;
    if (exponent == 0x1f) {  // infinities and NaN, payload kept
        bits = sign | (0x7ffULL << 52) | (mantissa << 42);
    } else if (exponent != 0) {
        bits = sign | (static_cast<std::uint64_t>(exponent - 15 + 1023) << 52) | (mantissa << 42);
    } else if (mantissa == 0) {
        bits = sign;
    } else {  // subnormal half: normalise
        int e = -14;
        while (!(mantissa & 0x400)) {
            mantissa <<= 1;
            --e;
        }
        mantissa &= 0x3ff;
        bits = sign | (static_cast<std::uint64_t>(e + 1023) << 52) | (mantissa << 42);
    }
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
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

namespace {

bool read_item(PyObject* x, Py_ssize_t i, double* out) noexcept {
    Ref item = get_item(x, i);
    return item && to_double(item.get(), out);
}

// numpy.<name> of the module global `numpy`; *own tells whether it is the
// function NumPy itself had at import.
Ref numpy_function(PyObject* name, PyObject* original, bool* own) noexcept {
    Ref numpy = global(state.c.numpy);
    if (!numpy) return {};
    Ref function = Ref::steal(PyObject_GetAttr(numpy.get(), name));
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
    const Py_buffer& buffer = reinterpret_cast<py::TypedViewObject*>(view)->buffer;
    if (buffer.obj == nullptr || !PyArray_CheckExact(buffer.obj)) return {};
    PyArray_Descr* allocated = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(buffer.obj));
    PyArray_Descr* descr;
    if (dtype == nullptr) {
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

}  // namespace

bool create_constants() noexcept {
    Constants& c = state.c;
    c.numpy = intern("numpy");
    c.Real = intern("Real");
    c.SurfCoord_dtype = intern("SurfCoord_dtype");
    c.LLA_dtype = intern("LLA_dtype");
    c.ENU_dtype = intern("ENU_dtype");
    c.AER_dtype = intern("AER_dtype");
    c.zeros = intern("zeros");
    c.zeros_like = intern("zeros_like");
    c.asarray = intern("asarray");
    c.shape = intern("shape");
    c.ndim = intern("ndim");
    c.dtype = intern("dtype");
    c.double_ = intern("double");
    c.Re = intern("Re");
    c.f = intern("f");
    c.state = intern("state");
    c.one = PyLong_FromLong(1);
    c.two = PyLong_FromLong(2);
    c.three = PyLong_FromLong(3);
    if (!c.numpy || !c.Real || !c.SurfCoord_dtype || !c.LLA_dtype || !c.ENU_dtype || !c.AER_dtype ||
        !c.zeros || !c.zeros_like || !c.asarray || !c.shape || !c.ndim || !c.dtype || !c.double_ ||
        !c.Re || !c.f || !c.state || !c.one || !c.two || !c.three) {
        return false;
    }
    c.shape_dtype_kwnames = PyTuple_Pack(2, c.shape, c.dtype);
    c.dtype_kwnames = PyTuple_Pack(1, c.dtype);
    c.tuple_1 = PyTuple_Pack(1, c.one);
    c.tuple_3 = PyTuple_Pack(1, c.three);
    return c.shape_dtype_kwnames && c.dtype_kwnames && c.tuple_1 && c.tuple_3;
}

bool remember_numpy(PyObject* numpy) noexcept {
    Py_XSETREF(state.numpy_module, Py_NewRef(numpy));
    Py_XSETREF(state.numpy_zeros, PyObject_GetAttr(numpy, state.c.zeros));
    Py_XSETREF(state.numpy_asarray, PyObject_GetAttr(numpy, state.c.asarray));
    return state.numpy_zeros != nullptr && state.numpy_asarray != nullptr;
}

Ref global(PyObject* name) noexcept {
    PyObject* value = PyDict_GetItemWithError(state.globals, name);
    if (value != nullptr) return Ref::borrow(value);
    if (PyErr_Occurred()) return {};
    PyObject* builtin = nullptr;
    if (PyObject_GetOptionalAttr(state.builtins, name, &builtin) < 0) return {};
    if (builtin == nullptr) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref::steal(builtin);
}

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

int is_instance(PyObject* x, PyObject* cls) noexcept {
    return PyObject_IsInstance(x, cls);
}

bool shape_item(PyObject* x, Py_ssize_t k, Py_ssize_t* out) noexcept {
    Ref shape = Ref::steal(PyObject_GetAttr(x, state.c.shape));
    if (!shape) return false;
    Ref item = get_item(shape.get(), k);
    if (!item) return false;
    *out = PyNumber_AsSsize_t(item.get(), PyExc_OverflowError);
    return !(*out == -1 && PyErr_Occurred());
}

bool to_double(PyObject* o, double* out) noexcept {
    if (PyFloat_CheckExact(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    *out = PyFloat_AsDouble(o);
    return !(*out == -1.0 && PyErr_Occurred());
}

Ref zeros(PyObject* shape, PyObject* dtype) noexcept {
    bool own;
    Ref function = numpy_function(state.c.zeros, state.numpy_zeros, &own);
    if (!function) return {};
    npy_intp dims[NPY_MAXDIMS];
    int ndim;
    if (own && PyArray_DescrCheck(dtype) && plain_shape(shape, dims, &ndim)) {
        Py_INCREF(dtype);  // PyArray_Zeros takes the reference
        return Ref::steal(PyArray_Zeros(ndim, dims, reinterpret_cast<PyArray_Descr*>(dtype), 0));
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
    Ref list = Ref::steal(PyList_New(3));
    if (!list) return {};
    for (Py_ssize_t k = 0; k < 3; ++k) {
        PyObject* number = PyFloat_FromDouble(v[k]);
        if (number == nullptr) return {};
        PyList_SET_ITEM(list.get(), k, number);
    }
    return asarray(list.get());
}

void raise_out_of_bounds() noexcept {
    PyErr_SetString(PyExc_IndexError, "Out of bounds on buffer access (axis 0)");
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
