// The results of the methods: allocating them with NumPy, writing elements and
// rows into them, and handing them back.
//
// While the module global `numpy` is NumPy itself, zeros of an exact shape and
// dtype and asarray of a typed view are made with the C API: the same arrays,
// without the cost of a keyword call and of reading the view's format string
// back. Any other `numpy` is called as the interpreter would call it.
#ifndef QUORVANE_ELLIPSOID_BINDING_RESULTS_H
#define QUORVANE_ELLIPSOID_BINDING_RESULTS_H

#include <Python.h>

#include <cstring>

#include "common/ref.h"
#include "ellipsoid/binding/views.h"

namespace quorvane::ellipsoid {

using py::Ref;
using py::View;

// Remembers NumPy's own module and functions (at import).
bool remember_numpy(PyObject* numpy) noexcept;

// numpy.zeros(shape=x.shape[0], dtype=numpy.double).
Ref zeros_column_of(PyObject* x) noexcept;
// numpy.zeros(shape=(x.shape[0], 3), dtype=numpy.double).
Ref zeros_rows_of(PyObject* x) noexcept;
// numpy.zeros_like(x).
Ref zeros_like(PyObject* x) noexcept;
// numpy.zeros(shape=<shape>, dtype=<module global dtype_name>) as a typed view.
View allocate_records(PyObject* shape, PyObject* dtype_name, const py::ElementSpec& spec) noexcept;

// numpy.asarray(obj[, dtype=dtype]).
Ref asarray(PyObject* obj, PyObject* dtype = nullptr) noexcept;
// numpy.asarray([v0, v1, v2]).
Ref asarray_vector3(const double* v) noexcept;
// numpy.asarray(view, dtype=<module global dtype_name>).
PyObject* return_records(const View& view, PyObject* dtype_name) noexcept;

// i is an index of the view's first axis; IndexError when it is not.
bool in_bounds(const View& view, Py_ssize_t i) noexcept;

// Where a method puts row i of its (N, 3) result. Rows the result has are
// written straight to memory; any other row takes the result's own way: the
// bounds errors of a typed view, or item assignment on an array.
class RowSink {
public:
    // The rows of a typed view of the result.
    explicit RowSink(const View& view) noexcept;
    // The rows of an array, by item assignment r[i, j] = value; an exact,
    // aligned, writable float64 ndarray (one the call allocated) is written
    // directly.
    explicit RowSink(PyObject* array) noexcept;

    // Rows 0 .. direct_length() - 1 go straight to memory (with memcpy: the
    // memory of a typed view need not be aligned).
    Py_ssize_t direct_length() const noexcept { return rows_; }
    // The rows, when they lie packed as three doubles one after the other.
    char* packed_rows() const noexcept {
        const bool packed = column_stride_ == sizeof(double) && row_stride_ == 3 * sizeof(double);
        return rows_ > 0 && packed ? data_ : nullptr;
    }
    bool write(Py_ssize_t i, const double* r) const noexcept {
        if (i < rows_) {
            char* row = data_ + i * row_stride_;
            for (int j = 0; j < 3; ++j) std::memcpy(row + j * column_stride_, &r[j], sizeof r[j]);
            return true;
        }
        return write_slow(i, r);
    }

private:
    bool write_slow(Py_ssize_t i, const double* r) const noexcept;
    const View* view_ = nullptr;
    PyObject* array_ = nullptr;
    char* data_ = nullptr;
    Py_ssize_t rows_ = 0, row_stride_ = 0, column_stride_ = 0;
};

}  // namespace quorvane::ellipsoid

#endif  // QUORVANE_ELLIPSOID_BINDING_RESULTS_H
