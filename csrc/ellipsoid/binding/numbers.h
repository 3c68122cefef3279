// The number readers: one object, the elements of 1-D inputs, the rows of (N, 3) inputs.
#ifndef QUORVANE_ELLIPSOID_BINDING_NUMBERS_H
#define QUORVANE_ELLIPSOID_BINDING_NUMBERS_H

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

#include "common/ref.h"

namespace quorvane::ellipsoid {

using py::Ref;

// The interpreter's float conversion (an exact float is read directly).
bool to_double(PyObject* o, double* out) noexcept;

// x[i]: the sequence slot when the type has one, as for any integer subscript.
Ref get_item(PyObject* x, Py_ssize_t i) noexcept;

// -- Reading inputs element by element ----------------------------------------------
//
// Every number is fetched by integer indexing and converted to a double. When
// every array input of a call is an exact numpy.ndarray of a plain numeric
// dtype in native byte order, no interpreter code can run between the reads,
// and the readers take the numbers straight from memory instead: the same
// values (a C++ conversion of an integer, boolean or float is exactly what the
// interpreter's float conversion of the element gives). Any index the array
// does not have is still read through the interpreter, which raises its error.

inline double load_double(const char* p) noexcept {
    double value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// Inputs whose elements lie packed in memory as float64, the common case of
// contiguous arrays: element i of input k is `Width` doubles at
// base[k] + i * Width * 8.
template <size_t Inputs, size_t Width>
struct PackedDoubles {
    static constexpr Py_ssize_t kStride = Width * sizeof(double);
    std::array<const char*, Inputs> base{};  // all nullptr unless every input is packed

    explicit operator bool() const noexcept { return base[0] != nullptr; }
    // Whether every input lies at addresses aligned for doubles; chunks handed
    // over by Dask or pyarrow need not.
    bool aligned() const noexcept {
        for (const char* b : base) {
            if (reinterpret_cast<std::uintptr_t>(b) % alignof(double) != 0) return false;
        }
        return true;
    }
    // The doubles of element i of aligned inputs: in place for one input, else
    // gathered into `scratch` (Inputs * Width doubles).
    const double* element(Py_ssize_t i, double* scratch) const noexcept {
        if constexpr (Inputs == 1) {
            return reinterpret_cast<const double*>(base[0] + i * kStride);
        } else {
            read(i, scratch);
            return scratch;
        }
    }
    // Element i copied into out, from any byte address.
    void read(Py_ssize_t i, double* out) const noexcept {
        for (size_t k = 0; k < Inputs; ++k) {
            std::memcpy(out + k * Width, base[k] + i * kStride, Width * sizeof(double));
        }
    }
};

class Column {  // x[i]
public:
    explicit Column(PyObject* x) noexcept;
    bool fast() const noexcept { return fast_; }
    void set_fast(bool fast) noexcept { fast_ = fast_ && fast; }
    // Elements read straight from memory (0 unless fast).
    Py_ssize_t fast_length() const noexcept { return fast_ ? length_ : 0; }
    // The elements, when they are read directly as packed float64.
    PackedDoubles<1, 1> packed() const noexcept {
        const bool packed = fast_ && load_ == nullptr && stride_ == sizeof(double);
        return packed ? PackedDoubles<1, 1>{{data_}} : PackedDoubles<1, 1>{};
    }
    bool read(Py_ssize_t i, double* out) const noexcept {
        if (fast_ && i < length_) {
            *out = load(data_ + i * stride_);
            return true;
        }
        return read_slow(i, out);
    }

private:
    bool read_slow(Py_ssize_t i, double* out) const noexcept;
    // float64, the common case, inline; other dtypes through their converter.
    double load(const char* p) const noexcept { return load_ ? load_(p) : load_double(p); }
    PyObject* x_;
    bool fast_ = false;
    const char* data_ = nullptr;
    Py_ssize_t length_ = 0, stride_ = 0;
    double (*load_)(const char*) = nullptr;  // nullptr for float64
};

// Several 1-D inputs read together, element i of each in turn: straight from
// memory only when every one of them can be (and `allowed`), so that no
// interpreter code runs between the reads of one that is read directly.
template <size_t N>
class Columns {
public:
    Columns(std::array<PyObject*, N> xs, bool allowed) noexcept
        : columns_{make(xs, std::make_index_sequence<N>())} {
        bool fast = allowed;
        for (const Column& c : columns_) fast = fast && c.fast();
        for (Column& c : columns_) c.set_fast(fast);
    }
    bool read(Py_ssize_t i, double* out) const noexcept {
        for (size_t k = 0; k < N; ++k) {
            if (!columns_[k].read(i, &out[k])) return false;
        }
        return true;
    }
    Py_ssize_t fast_length() const noexcept {
        Py_ssize_t length = columns_[0].fast_length();
        for (const Column& c : columns_) length = std::min(length, c.fast_length());
        return length;
    }
    PackedDoubles<N, 1> packed() const noexcept {
        PackedDoubles<N, 1> packed;
        for (size_t k = 0; k < N; ++k) {
            packed.base[k] = columns_[k].packed().base[0];
            if (packed.base[k] == nullptr) return {};
        }
        return packed;
    }

private:
    template <size_t... I>
    static std::array<Column, N> make(std::array<PyObject*, N> xs,
                                      std::index_sequence<I...>) noexcept {
        return {Column(xs[I])...};
    }
    std::array<Column, N> columns_;
};

class Rows {  // x[i][j] for j = 0, 1, 2, the row fetched anew for every element
public:
    explicit Rows(PyObject* x) noexcept;
    bool fast() const noexcept { return fast_; }
    void set_fast(bool fast) noexcept { fast_ = fast_ && fast; }
    Py_ssize_t fast_length() const noexcept { return fast_ ? rows_ : 0; }
    // Rows of three float64 one after the other, read directly.
    PackedDoubles<1, 3> packed() const noexcept {
        const bool packed = fast_ && load_ == nullptr && column_stride_ == sizeof(double) &&
                            row_stride_ == 3 * sizeof(double);
        return packed ? PackedDoubles<1, 3>{{data_}} : PackedDoubles<1, 3>{};
    }
    bool read(Py_ssize_t i, double* out) const noexcept {
        if (fast_ && i < rows_) {
            const char* row = data_ + i * row_stride_;
            out[0] = load(row);
            out[1] = load(row + column_stride_);
            out[2] = load(row + 2 * column_stride_);
            return true;
        }
        return read_slow(i, out);
    }

private:
    bool read_slow(Py_ssize_t i, double* out) const noexcept;
    double load(const char* p) const noexcept { return load_ ? load_(p) : load_double(p); }
    PyObject* x_;
    bool fast_ = false;
    const char* data_ = nullptr;
    Py_ssize_t rows_ = 0, row_stride_ = 0, column_stride_ = 0;
    double (*load_)(const char*) = nullptr;  // nullptr for float64
};

// x[i] for i = 0, 1, 2 of a single 3-vector.
bool read_vector3(PyObject* x, double* out) noexcept;

}  // namespace quorvane::ellipsoid

#endif  // QUORVANE_ELLIPSOID_BINDING_NUMBERS_H
