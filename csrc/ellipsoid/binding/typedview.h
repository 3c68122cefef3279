// Typed views: writable, strided windows on the memory of a result array.
//
// A view holds one acquired buffer of the array whose format, dimensions and
// item size were checked against an element type (a double or one of the
// geodetic records). Methods write through it and hand the view object to
// numpy.asarray; the returned array keeps the view alive as its base, and the
// view's item access converts single records to and from dictionaries.
#ifndef QUORVANE_MATHTOOLS_ELLIPSOID_TYPEDVIEW_H
#define QUORVANE_MATHTOOLS_ELLIPSOID_TYPEDVIEW_H

#include <Python.h>

#include <atomic>

#include "ellipsoid/binding/bufformat.h"
#include "common/ref.h"

namespace quorvane::py {

struct TypedViewObject {
    PyObject_HEAD
    Py_buffer buffer;  // released when the view object is freed; never moved
    const ElementSpec* spec;
    std::atomic<int> acquisition_count;
    // The lengths and strides of the buffer's dimensions, as the exporter gave
    // them (C-contiguous strides when it gave none).
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};

// Makes the view type ready; called once at import.
bool ready_typed_view_type() noexcept;
// The view type (internal, not a module attribute).
PyTypeObject* typed_view_type() noexcept;

// One acquisition of a view, held by a method for the duration of a call.
// Releasing it gives back its unit of the acquisition count and, at zero, the
// method's reference to the view.
class View {
public:
    View() noexcept = default;
    View(View&& other) noexcept : view_(other.view_) { other.view_ = nullptr; }
    View& operator=(View&& other) noexcept {
        if (this != &other) {
            release();
            view_ = other.view_;
            other.view_ = nullptr;
        }
        return *this;
    }
    View(const View&) = delete;
    ~View() { release(); }

    // Acquires `array` as a view of `ndim` dimensions of `spec` elements.
    // On failure returns an empty View with the exception set.
    static View acquire(PyObject* array, const ElementSpec& spec, int ndim) noexcept;

    explicit operator bool() const noexcept { return view_ != nullptr; }
    PyObject* object() const noexcept { return reinterpret_cast<PyObject*>(view_); }
    Py_ssize_t length(int dim = 0) const noexcept { return view_->shape[dim]; }
    char* data() const noexcept { return static_cast<char*>(view_->buffer.buf); }
    Py_ssize_t stride(int dim = 0) const noexcept { return view_->strides[dim]; }

    template <class T>
    T* element(Py_ssize_t i) const noexcept {
        return reinterpret_cast<T*>(data() + i * stride(0));
    }
    double* at(Py_ssize_t i, Py_ssize_t j) const noexcept {
        return reinterpret_cast<double*>(data() + i * stride(0) + j * stride(1));
    }

    void release() noexcept;

private:
    explicit View(TypedViewObject* view) noexcept : view_(view) {}
    TypedViewObject* view_ = nullptr;  // one strong reference while acquired
};

}  // namespace quorvane::py

#endif  // QUORVANE_MATHTOOLS_ELLIPSOID_TYPEDVIEW_H
