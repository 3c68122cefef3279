// A held view of a float64 buffer for the companion modules' loops: a column
// (N,) or rows (N, K), of any strides and alignment, read and written through
// the strided accessors of common/strided.h.
#ifndef QUORVANE_COMMON_BUFFER_H
#define QUORVANE_COMMON_BUFFER_H

#include <Python.h>

#include <cstring>

#include "common/strided.h"

namespace quorvane::py {

class DoubleBuffer {
public:
    DoubleBuffer() noexcept = default;
    DoubleBuffer(const DoubleBuffer&) = delete;
    DoubleBuffer& operator=(const DoubleBuffer&) = delete;
    ~DoubleBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // The buffer of `object`: shape (N,) when `columns` is 0, else (N, 3) (`columns` 3),
    // native float64, written to when `writable`. What is not such a buffer is
    // refused as the public functions refuse it, naming it `name`: a TypeError
    // for an object without a buffer (a number, None), a ValueError for one of
    // another shape or type, or read-only where it is written. Other failures
    // (MemoryError) pass through as they are.
    bool acquire(PyObject* object, const char* name, int columns, bool writable) noexcept {
        if (!PyObject_CheckBuffer(object)) {
            PyErr_Format(PyExc_TypeError, "%s must be %s float64 array, got %.200s", name,
                         shape_text(columns), Py_TYPE(object)->tp_name);
            return false;
        }
        if (PyObject_GetBuffer(object, &view_, writable ? PyBUF_RECORDS : PyBUF_RECORDS_RO) < 0) {
            // A read-only buffer asked for writing: NumPy says ValueError, other
            // exporters BufferError.
            if (writable && (PyErr_ExceptionMatches(PyExc_BufferError) ||
                             PyErr_ExceptionMatches(PyExc_ValueError))) {
                PyErr_Clear();
                PyErr_Format(PyExc_ValueError, "%s must be a writable %s float64 array", name,
                             shape_text(columns) + 3);  // without the article
            }
            return false;
        }
        held_ = true;
        const char* format = view_.format;
        const bool is_double = format != nullptr && view_.itemsize == sizeof(double) &&
                               (std::strcmp(format, "d") == 0 || std::strcmp(format, "=d") == 0 ||
                                std::strcmp(format, "@d") == 0);
        const bool shaped =
            columns == 0 ? view_.ndim == 1 : view_.ndim == 2 && view_.shape[1] == columns;
        if (!is_double || !shaped || view_.strides == nullptr) {
            PyErr_Format(PyExc_ValueError, "%s must be %s float64 array", name,
                         shape_text(columns));
            return false;
        }
        return true;
    }

    Py_ssize_t rows() const noexcept { return view_.shape[0]; }
    // A buffer of one row stands for every row (step 0).
    Py_ssize_t row_step() const noexcept { return rows() == 1 ? 0 : view_.strides[0]; }

    common::Column column() const noexcept { return {bytes(), row_step()}; }
    common::OutColumn out_column() const noexcept { return {bytes(), view_.strides[0]}; }
    common::Rows row_view() const noexcept { return {bytes(), row_step(), view_.strides[1]}; }
    common::OutRows out_rows() const noexcept {
        return {bytes(), view_.strides[0], view_.strides[1]};
    }

private:
    // "an (N,)" or "an (N, 3)": the shapes the loops take.
    static const char* shape_text(int columns) noexcept {
        return columns == 0 ? "an (N,)" : "an (N, 3)";
    }

    char* bytes() const noexcept { return static_cast<char*>(view_.buf); }

    Py_buffer view_{};
    bool held_ = false;
};

// The input column `name` from `o` into `in`: n rows, or one that every row shares; false
// with the error set (a ValueError naming it when its rows are neither).
inline bool acquire_column(DoubleBuffer& in, PyObject* o, const char* name, Py_ssize_t n) noexcept {
    if (!in.acquire(o, name, 0, false)) return false;
    if (in.rows() != n && in.rows() != 1) {
        PyErr_Format(PyExc_ValueError, "%s must have the rows of out or one", name);
        return false;
    }
    return true;
}

}  // namespace quorvane::py

#endif  // QUORVANE_COMMON_BUFFER_H
