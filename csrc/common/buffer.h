// A held view of a C-contiguous float64 buffer of rows, for the companion
// modules' loops, whose Python side prepares such arrays.
#ifndef QUORVANE_COMMON_BUFFER_H
#define QUORVANE_COMMON_BUFFER_H

#include <Python.h>

#include <cstring>

namespace quorvane::py {

class DoubleRows {
public:
    DoubleRows() noexcept = default;
    DoubleRows(const DoubleRows&) = delete;
    DoubleRows& operator=(const DoubleRows&) = delete;
    ~DoubleRows() {
        if (held_) PyBuffer_Release(&view_);
    }

    // The buffer of `object`: shape (N,) when `columns` is 0, else (N, columns);
    // `name` names it in the ValueError otherwise.
    bool acquire(PyObject* object, const char* name, int columns, bool writable) noexcept {
        int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;
        if (writable) flags |= PyBUF_WRITABLE;
        if (PyObject_GetBuffer(object, &view_, flags) < 0) return false;
        held_ = true;
        const bool is_double =
            view_.format != nullptr && view_.itemsize == sizeof(double) &&
            (std::strcmp(view_.format, "d") == 0 || std::strcmp(view_.format, "=d") == 0 ||
             std::strcmp(view_.format, "@d") == 0);
        const bool shaped =
            columns == 0 ? view_.ndim == 1 : view_.ndim == 2 && view_.shape[1] == columns;
        if (!is_double || !shaped) {
            if (columns == 0) {
                PyErr_Format(PyExc_ValueError, "%s must be a C-contiguous (N,) float64 array",
                             name);
            } else {
                PyErr_Format(PyExc_ValueError, "%s must be a C-contiguous (N, %d) float64 array",
                             name, columns);
            }
            return false;
        }
        return true;
    }
    Py_ssize_t rows() const noexcept { return view_.shape[0]; }
    double* data() const noexcept { return static_cast<double*>(view_.buf); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace quorvane::py

#endif  // QUORVANE_COMMON_BUFFER_H
