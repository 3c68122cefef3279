// Typed views: writable, strided windows on the memory of a result array.
//
// A view holds one acquired buffer of the array whose format, dimensions and
// item size were checked against an element type (a double or one of the
// geodetic records). Methods write through it and hand the view object to
// numpy.asarray; the returned array keeps the view alive as its base, and the
// view's item access converts single records to and from dictionaries.
#ifndef QUORVANE_ELLIPSOID_BINDING_VIEWS_H
#define QUORVANE_ELLIPSOID_BINDING_VIEWS_H

#include <Python.h>

#include <utility>

#include "common/ref.h"
#include "ellipsoid/binding/buffer_format.h"

namespace quorvane::py {

struct TypedViewObject {
    PyObject_HEAD
    Py_buffer buffer;        // released when the view object is freed; never moved
    PyObject* format_owner;  // the bytes buffer.format points into, when not the exporter's
    PyObject* dtype;         // the record dtype of memory allocated as plain doubles, or nullptr
    const ElementSpec* spec;
    // The lengths and strides of the buffer's dimensions, as the exporter gave
    // them (C-contiguous strides when it gave none).
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};

// IndexError "Out of bounds on buffer access (axis <axis>)": an index a view,
// or a result written like one, does not have.
void raise_out_of_bounds(int axis) noexcept;

// Makes the view type ready; called once at import.
bool ready_typed_view_type() noexcept;
// The view type (internal, not a module attribute).
PyTypeObject* typed_view_type() noexcept;

// A view held by a method for the duration of a call: one strong reference to
// the view object, dropped with the View. Move-only.
class View {
public:
    View() noexcept = default;

    // Acquires `array` as a view of `ndim` dimensions of `spec` elements.
    // On failure returns an empty View with the exception set.
    static View acquire(PyObject* array, const ElementSpec& spec, int ndim) noexcept;

    // A view of n zeroed elements of `spec`, made for a record dtype whose
    // layout was verified before: what acquiring numpy.zeros(n, dtype) would
    // give, with the memory held by a plain float64 array (NumPy builds
    // record arrays at several times the cost). An empty View, with no
    // exception set, when the dtype is not the one verified for `spec`.
    static View allocate_verified(Py_ssize_t n, PyObject* dtype, const ElementSpec& spec) noexcept;

    explicit operator bool() const noexcept { return static_cast<bool>(owner_); }
    PyObject* object() const noexcept { return owner_.get(); }
    Py_ssize_t length(int dim = 0) const noexcept { return view()->shape[dim]; }
    char* data() const noexcept { return static_cast<char*>(view()->buffer.buf); }
    Py_ssize_t stride(int dim = 0) const noexcept { return view()->strides[dim]; }

    template <class T>
    T* element(Py_ssize_t i) const noexcept {
        return reinterpret_cast<T*>(data() + i * stride(0));
    }

private:
    explicit View(Ref owner) noexcept : owner_(std::move(owner)) {}
    const TypedViewObject* view() const noexcept {
        return reinterpret_cast<const TypedViewObject*>(owner_.get());
    }
    Ref owner_;  // the TypedViewObject
};

}  // namespace quorvane::py

#endif  // QUORVANE_ELLIPSOID_BINDING_VIEWS_H
