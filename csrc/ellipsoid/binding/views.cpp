#include "ellipsoid/binding/views.h"

#include <utility>

#include "common/strided.h"
#include "ellipsoid/binding/numbers.h"
#include "ellipsoid/binding/numpy_api.h"
#include "ellipsoid/state.h"

namespace quorvane::py {
namespace {

// -- Acquisition -------------------------------------------------------------------

bool check_buffer(const Py_buffer& buffer, const ElementSpec& spec, int ndim) noexcept {
    if (buffer.ndim != ndim) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                     buffer.ndim);
        return false;
    }
    // Asked for with PyBUF_FULL; an exporter that leaves it out breaks the protocol.
    if (buffer.shape == nullptr) {
        PyErr_SetString(PyExc_BufferError, "the exporter gave no shape");
        return false;
    }
    if (!check_format(buffer.format, spec)) return false;
    if (buffer.itemsize != spec.size) {
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                     static_cast<size_t>(buffer.itemsize), buffer.itemsize == 1 ? "" : "s",
                     spec.name, static_cast<size_t>(spec.size), spec.size == 1 ? "" : "s");
        return false;
    }
    if (buffer.len > 0 && buffer.suboffsets != nullptr) {
        for (int d = 0; d < buffer.ndim; ++d) {
            if (buffer.suboffsets[d] >= 0) {
                PyErr_Format(PyExc_ValueError,
                             "Buffer not compatible with direct access in dimension %d.", d);
                return false;
            }
        }
    }
    return true;
}

// -- Verified layouts ---------------------------------------------------------------

using ellipsoid::state;
using ellipsoid::VerifiedLayout;

// An exact, aligned, writable ndarray in native byte order, whose buffer
// NumPy exports without a release hook: one the methods allocate.
PyArrayObject* plain_array(PyObject* array) noexcept {
    if (!PyArray_CheckExact(array)) return nullptr;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(array);
    const PyBufferProcs* procs = Py_TYPE(array)->tp_as_buffer;
    if (procs == nullptr || procs->bf_releasebuffer != nullptr) return nullptr;
    const int required = NPY_ARRAY_ALIGNED | NPY_ARRAY_WRITEABLE;
    if ((PyArray_FLAGS(a) & required) != required || !PyArray_ISNBO(PyArray_DESCR(a)->byteorder)) {
        return nullptr;
    }
    return a;
}

VerifiedLayout* layout_of(const ElementSpec& spec) noexcept {
    for (VerifiedLayout& layout : state.layouts) {
        if (layout.element == &spec || layout.element == nullptr) return &layout;
    }
    return nullptr;
}

// The field names of a record dtype, or nullptr: renaming the fields of a
// dtype (dtype.names = ...) changes them in place, and a new tuple with them.
PyObject* names_of(PyArray_Descr* descr) noexcept {
    return PyDataType_NAMES(descr);
}

// The layout verified for `spec`, if `descr` is its dtype with its names then.
const VerifiedLayout* verified(PyArray_Descr* descr, const ElementSpec& spec) noexcept {
    const VerifiedLayout* layout = layout_of(spec);
    if (layout == nullptr || layout->element != &spec ||
        layout->dtype != reinterpret_cast<PyObject*>(descr) || layout->names != names_of(descr)) {
        return nullptr;
    }
    return layout;
}

// After a full check of the buffer of `array`: its dtype is verified for `spec`.
void remember_layout(const TypedViewObject* view, PyObject* array,
                     const ElementSpec& spec) noexcept {
    PyArrayObject* a = plain_array(array);
    VerifiedLayout* layout = a ? layout_of(spec) : nullptr;
    if (layout == nullptr || view->buffer.format == nullptr) return;
    PyObject* format = PyBytes_FromString(view->buffer.format);
    if (format == nullptr) {  // only a shortcut missed
        PyErr_Clear();
        return;
    }
    PyObject* names = names_of(PyArray_DESCR(a));
    layout->element = &spec;
    Py_XSETREF(layout->dtype, Py_NewRef(reinterpret_cast<PyObject*>(PyArray_DESCR(a))));
    Py_XSETREF(layout->names, Py_XNewRef(names));
    Py_XSETREF(layout->format, format);
}

// The view of an array whose dtype object is the one verified last for
// `spec`: the buffer NumPy would export, filled in from the array itself.
bool acquire_verified(TypedViewObject* view, PyObject* array, const ElementSpec& spec,
                      int ndim) noexcept {
    PyArrayObject* a = plain_array(array);
    if (a == nullptr || PyArray_NDIM(a) != ndim) return false;
    const VerifiedLayout* layout = verified(PyArray_DESCR(a), spec);
    if (layout == nullptr) return false;
    for (int d = 0; d < ndim; ++d) {
        view->shape[d] = PyArray_DIM(a, d);
        view->strides[d] = PyArray_STRIDE(a, d);
    }
    Py_buffer& buffer = view->buffer;
    buffer.buf = PyArray_DATA(a);
    buffer.len = PyArray_NBYTES(a);
    buffer.itemsize = PyArray_ITEMSIZE(a);
    buffer.readonly = 0;
    buffer.ndim = ndim;
    buffer.format = PyBytes_AS_STRING(layout->format);
    buffer.shape = view->shape;
    buffer.strides = view->strides;
    buffer.suboffsets = nullptr;
    buffer.internal = nullptr;
    buffer.obj = Py_NewRef(array);
    view->format_owner = Py_NewRef(layout->format);
    return true;
}

// -- Record converters -------------------------------------------------------------

Ref record_to_item(const ElementSpec& spec, const char* record) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return {};
    for (const FieldSpec& field : spec.fields) {
        // Read by memcpy: the array numpy.zeros gave may lie at any address.
        const char* values = record + field.offset;
        Ref value;
        if (field.count == 1) {
            value = Ref::steal(PyFloat_FromDouble(common::read_double(values)));
        } else {
            value = Ref::steal(PyList_New(field.count));
            for (Py_ssize_t k = 0; value && k < field.count; ++k) {
                PyObject* number = PyFloat_FromDouble(
                    common::read_double(values + k * Py_ssize_t(sizeof(double))));
                if (number == nullptr) return {};
                PyList_SET_ITEM(value.get(), k, number);
            }
        }
        if (!value || PyDict_SetItemString(dict.get(), field.name, value.get()) < 0) return {};
    }
    return dict;
}

// mapping[name], turning a missing key into the record's ValueError (raised
// while the KeyError is being handled).
Ref lookup_field(PyObject* mapping, const char* name) noexcept {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) return {};
    Ref value;
    if (PyDict_CheckExact(mapping)) {
        value = Ref::borrow(PyDict_GetItemWithError(mapping, key.get()));
        if (!value && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.get());
    } else {
        value = Ref::steal(PyObject_GetItem(mapping, key.get()));
    }
    if (!value && PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyObject* key_error = PyErr_GetRaisedException();
        PyErr_Format(PyExc_ValueError, "No value specified for struct attribute '%s'", name);
        PyObject* value_error = PyErr_GetRaisedException();
        PyException_SetContext(value_error, key_error);  // steals key_error
        PyErr_SetRaisedException(value_error);
    }
    return value;
}

// IndexError for a field of `expected` numbers given `found` (at least one
// more than expected when the values were counted one by one).
void raise_value_count(Py_ssize_t expected, Py_ssize_t found) noexcept {
    if (found > expected) {
        PyErr_Format(PyExc_IndexError,
                     "too many values found during array assignment, expected %zd", expected);
    } else {
        PyErr_Format(PyExc_IndexError,
                     "not enough values found during array assignment, expected %zd, got %zd",
                     expected, found);
    }
}

// Exactly `count` numbers from a sized value or an iteration.
bool to_doubles(PyObject* o, Py_ssize_t count, double* out) noexcept {
    const Py_ssize_t size = PyObject_Size(o);
    if (size < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();  // not sized: count what the iteration yields
    } else if (size != count) {
        raise_value_count(count, size);
        return false;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(o));
    if (!iterator) return false;
    Py_ssize_t found = 0;
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) return false;
            break;
        }
        if (found == count) {
            raise_value_count(count, found + 1);
            return false;
        }
        if (!ellipsoid::to_double(item.get(), &out[found])) return false;
        ++found;
    }
    if (found < count) {
        raise_value_count(count, found);
        return false;
    }
    return true;
}

bool item_to_record(const ElementSpec& spec, PyObject* item, char* record) noexcept {
    if (!PyMapping_Check(item)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "a mapping",
                     Py_TYPE(item)->tp_name);
        return false;
    }
    double values[9];  // the largest record, ENU_Frame, has nine doubles
    double* next = values;
    for (const FieldSpec& field : spec.fields) {
        Ref value = lookup_field(item, field.name);
        if (!value) return false;
        const bool ok = field.count == 1 ? ellipsoid::to_double(value.get(), next)
                                         : to_doubles(value.get(), field.count, next);
        if (!ok) return false;
        next += field.count;
    }
    // Every field converted: only now is the element overwritten.
    next = values;
    for (const FieldSpec& field : spec.fields) {
        for (Py_ssize_t k = 0; k < field.count; ++k) {
            common::write_double(record + field.offset + k * Py_ssize_t(sizeof(double)), *next++);
        }
    }
    return true;
}

// -- The view type -----------------------------------------------------------------

TypedViewObject* as_view(PyObject* self) noexcept {
    return reinterpret_cast<TypedViewObject*>(self);
}

void view_dealloc(PyObject* self) noexcept {
    PyBuffer_Release(&as_view(self)->buffer);
    Py_XDECREF(as_view(self)->format_owner);
    Py_XDECREF(as_view(self)->dtype);
    Py_TYPE(self)->tp_free(self);
}

// The view exports the very buffer it acquired, so numpy.asarray(view) is an
// array over the method's result memory.
int view_getbuffer(PyObject* self, Py_buffer* out, int flags) noexcept {
    TypedViewObject* view = as_view(self);
    *out = view->buffer;
    out->obj = Py_NewRef(self);
    out->readonly = 0;
    out->shape = view->shape;
    out->strides = view->strides;
    out->suboffsets = nullptr;
    out->internal = nullptr;
    if (!(flags & PyBUF_FORMAT)) out->format = nullptr;
    if ((flags & PyBUF_STRIDES) != PyBUF_STRIDES) {
        if (!PyBuffer_IsContiguous(out, 'C')) {
            Py_CLEAR(out->obj);
            PyErr_SetString(PyExc_BufferError, "the view is not C-contiguous");
            return -1;
        }
        out->strides = nullptr;
    }
    if ((flags & PyBUF_ND) != PyBUF_ND) out->shape = nullptr;
    return 0;
}

Py_ssize_t view_length(PyObject* self) noexcept {
    return as_view(self)->shape[0];
}

// The address of element `key` (an integer, or a pair for two dimensions).
char* element_address(PyObject* self, PyObject* key) noexcept {
    const TypedViewObject* view = as_view(self);
    const Py_buffer& buffer = view->buffer;
    Py_ssize_t index[2] = {0, 0};
    if (buffer.ndim == 2) {
        if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2) {
            PyErr_SetString(PyExc_TypeError, "a two-dimensional view takes an index pair");
            return nullptr;
        }
        for (int d = 0; d < 2; ++d) {
            index[d] = PyNumber_AsSsize_t(PyTuple_GET_ITEM(key, d), PyExc_IndexError);
            if (index[d] == -1 && PyErr_Occurred()) return nullptr;
        }
    } else {
        index[0] = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (index[0] == -1 && PyErr_Occurred()) return nullptr;
    }
    char* address = static_cast<char*>(buffer.buf);
    for (int d = 0; d < buffer.ndim; ++d) {
        Py_ssize_t i = index[d];
        if (i < 0) i += view->shape[d];
        if (i < 0 || i >= view->shape[d]) {
            raise_out_of_bounds(d);
            return nullptr;
        }
        address += i * view->strides[d];
    }
    return address;
}

PyObject* view_subscript(PyObject* self, PyObject* key) noexcept {
    char* address = element_address(self, key);
    if (address == nullptr) return nullptr;
    const ElementSpec& spec = *as_view(self)->spec;
    if (!spec.is_record()) return PyFloat_FromDouble(common::read_double(address));
    return record_to_item(spec, address).release();
}

int view_ass_subscript(PyObject* self, PyObject* key, PyObject* value) noexcept {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "cannot delete view elements");
        return -1;
    }
    char* address = element_address(self, key);
    if (address == nullptr) return -1;
    const ElementSpec& spec = *as_view(self)->spec;
    if (!spec.is_record()) {
        // Converted first: a failed conversion leaves the element as it was.
        double converted;
        if (!ellipsoid::to_double(value, &converted)) return -1;
        common::write_double(address, converted);
        return 0;
    }
    return item_to_record(spec, value, address) ? 0 : -1;
}

PyBufferProcs view_as_buffer = {view_getbuffer, nullptr};
PyMappingMethods view_as_mapping = {view_length, view_subscript, view_ass_subscript};

PyTypeObject TypedViewType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name =
        "quorvane.mathtools.ellipsoid.ellipsoid._TypedView",
    .tp_basicsize = sizeof(TypedViewObject),
    .tp_dealloc = view_dealloc,
    .tp_as_mapping = &view_as_mapping,
    .tp_as_buffer = &view_as_buffer,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Typed window on a result array, with record converters for single elements.",
};

}  // namespace

void raise_out_of_bounds(int axis) noexcept {
    PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
}

bool ready_typed_view_type() noexcept {
    return PyType_Ready(&TypedViewType) == 0;
}

PyTypeObject* typed_view_type() noexcept {
    return &TypedViewType;
}

View View::acquire(PyObject* array, const ElementSpec& spec, int ndim) noexcept {
    TypedViewObject* view = PyObject_New(TypedViewObject, &TypedViewType);
    if (view == nullptr) return View();
    view->buffer.obj = nullptr;  // nothing for the deallocator to release yet
    view->format_owner = nullptr;
    view->dtype = nullptr;
    view->spec = &spec;
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(view));  // dropped on failure
    if (acquire_verified(view, array, spec, ndim)) return View(std::move(owner));
    // The buffer is acquired in place and never moved: an exporter may point
    // its shape or strides into the Py_buffer itself (array.array points the
    // strides at the item size, PyBuffer_FillInfo the shape at the length).
    if (PyObject_GetBuffer(array, &view->buffer, PyBUF_FULL) < 0) {
        view->buffer.obj = nullptr;
        return View();
    }
    if (!check_buffer(view->buffer, spec, ndim)) return View();
    // Some exporters (ctypes) give no strides even when asked: then the
    // buffer is C-contiguous.
    Py_ssize_t stride = view->buffer.itemsize;
    for (int d = ndim - 1; d >= 0; --d) {
        view->shape[d] = view->buffer.shape[d];
        view->strides[d] = view->buffer.strides ? view->buffer.strides[d] : stride;
        if (d > 0 && __builtin_mul_overflow(stride, view->shape[d], &stride)) {
            PyErr_SetString(PyExc_BufferError, "the exporter gave an impossible shape");
            return View();
        }
    }
    remember_layout(view, array, spec);
    return View(std::move(owner));
}

View View::allocate_verified(Py_ssize_t n, PyObject* dtype, const ElementSpec& spec) noexcept {
    const PyBufferProcs* procs = PyArray_Type.tp_as_buffer;
    if (!PyArray_DescrCheck(dtype) || !spec.is_record() || n < 0 || procs == nullptr ||
        procs->bf_releasebuffer != nullptr) {
        return View();
    }
    const VerifiedLayout* layout = verified(reinterpret_cast<PyArray_Descr*>(dtype), spec);
    if (layout == nullptr) return View();
    npy_intp count;
    if (__builtin_mul_overflow(static_cast<npy_intp>(n), spec.size / npy_intp(sizeof(double)),
                               &count)) {
        return View();  // NumPy says what is wrong with the size
    }
    Ref storage = Ref::steal(PyArray_ZEROS(1, &count, NPY_DOUBLE, 0));
    if (!storage) return View();
    TypedViewObject* view = PyObject_New(TypedViewObject, &TypedViewType);
    if (view == nullptr) return View();
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(view));
    view->spec = &spec;
    view->shape[0] = n;
    view->strides[0] = spec.size;
    Py_buffer& buffer = view->buffer;
    buffer.buf = PyArray_DATA(reinterpret_cast<PyArrayObject*>(storage.get()));
    buffer.len = n * spec.size;
    buffer.itemsize = spec.size;
    buffer.readonly = 0;
    buffer.ndim = 1;
    buffer.format = PyBytes_AS_STRING(layout->format);
    buffer.shape = view->shape;
    buffer.strides = view->strides;
    buffer.suboffsets = nullptr;
    buffer.internal = nullptr;
    buffer.obj = storage.release();
    view->format_owner = Py_NewRef(layout->format);
    view->dtype = Py_NewRef(dtype);
    return View(std::move(owner));
}

}  // namespace quorvane::py
