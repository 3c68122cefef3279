// What the companion modules of the ellipsoid that return records (_frames,
// _geodesic, _fast) take from the package when they are executed (record dtypes of
// quorvane.datamodel), and what their one-point calls share (plain numbers in,
// one record or vector out); their skeleton is companion_module.h. Include after
// <numpy/arrayobject.h>, from the module's one translation unit (the NumPy C
// API table is that unit's).
#ifndef QUORVANE_ELLIPSOID_COMPANION_H
#define QUORVANE_ELLIPSOID_COMPANION_H

#include <Python.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "common/ref.h"
#include "ellipsoid/companion_module.h"

namespace quorvane::ellipsoid::companion {

// A dtype of quorvane.datamodel, checked to be a record of two to nine
// doubles, as a new reference.
inline PyArray_Descr* record_dtype(PyObject* datamodel, const char* name) noexcept {
    py::Ref dtype = py::Ref::steal(PyObject_GetAttrString(datamodel, name));
    if (!dtype) return nullptr;
    const bool doubles = PyArray_DescrCheck(dtype.get()) && [&] {
        const auto size = static_cast<std::size_t>(
            PyDataType_ELSIZE(reinterpret_cast<PyArray_Descr*>(dtype.get())));
        return size % sizeof(double) == 0 && size >= 2 * sizeof(double) &&
               size <= 9 * sizeof(double);
    }();
    if (!doubles) {
        PyErr_Format(PyExc_ImportError,
                     "quorvane.datamodel.%s is not a record of two to nine doubles", name);
        return nullptr;
    }
    return reinterpret_cast<PyArray_Descr*>(dtype.release());
}

// One record dtype to fetch: its name in quorvane.datamodel, and the state slot
// that takes the strong reference.
struct RecordDtype {
    const char* name;
    PyArray_Descr** slot;
};

// Fills every slot in order; false with an exception set at the first failure
// (the slots filled before it keep their references, for the module's clear).
inline bool record_dtypes(std::initializer_list<RecordDtype> wanted) noexcept {
    py::Ref datamodel = py::Ref::steal(PyImport_ImportModule("quorvane.datamodel"));
    if (!datamodel) return false;
    for (const RecordDtype& record : wanted) {
        *record.slot = record_dtype(datamodel.get(), record.name);
        if (*record.slot == nullptr) return false;
    }
    return true;
}

// `o` as numpy.asarray reads a plain number: a float (NumPy's float64 is one), or
// an int within int64. False for anything else, with no error set.
inline bool plain_number(PyObject* o, double* out) noexcept {
    if (PyFloat_Check(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (!PyLong_CheckExact(o)) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0) return false;
    *out = static_cast<double>(v);
    return true;
}

// A list or tuple of three plain numbers, or a float64 ndarray of shape (3,) in
// this machine's byte order, into v. False for anything else, with no error set.
inline bool plain_vector(PyObject* o, double* v) noexcept {
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        if (PySequence_Fast_GET_SIZE(o) != 3) return false;
        PyObject** items = PySequence_Fast_ITEMS(o);
        return plain_number(items[0], &v[0]) && plain_number(items[1], &v[1]) &&
               plain_number(items[2], &v[2]);
    }
    if (!PyArray_CheckExact(o)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(a) != 1 || PyArray_DIM(a, 0) != 3 || PyArray_TYPE(a) != NPY_DOUBLE ||
        !PyArray_ISNOTSWAPPED(a)) {
        return false;
    }
    const char* data = PyArray_BYTES(a);
    for (int k = 0; k < 3; ++k) std::memcpy(&v[k], data + k * PyArray_STRIDE(a, 0), sizeof(double));
    return true;
}

// A fresh (3,) float64 array holding `values`, or nullptr with an exception set.
inline PyObject* one_vector(const double* values) noexcept {
    npy_intp length = 3;
    py::Ref array = py::Ref::steal(PyArray_SimpleNew(1, &length, NPY_DOUBLE));
    if (!array) return nullptr;
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), values,
                3 * sizeof(double));
    return array.release();
}

// The memory of a one-record result: three doubles, owned by a capsule that is
// the array's base (the way NumPy documents for arrays over memory of one's own).
inline constexpr const char* kRecordMemory = "quorvane record memory";

inline void free_record_memory(PyObject* capsule) noexcept {
    PyMem_Free(PyCapsule_GetPointer(capsule, kRecordMemory));
}

// A fresh one-record array of `dtype` (a record of doubles, as record_dtype
// checks) holding `values`, or nullptr with an exception set. NumPy allocating a
// structured array itself first walks the record's fields to learn how to zero
// its memory; over memory of our own it does not, and the call costs a third as
// much.
inline PyObject* one_record(PyArray_Descr* dtype, const double* values) noexcept {
    const std::size_t size = std::size_t(PyDataType_ELSIZE(dtype));
    void* data = PyMem_Malloc(size);
    if (data == nullptr) return PyErr_NoMemory();
    std::memcpy(data, values, size);
    py::Ref memory = py::Ref::steal(PyCapsule_New(data, kRecordMemory, free_record_memory));
    if (!memory) {
        PyMem_Free(data);
        return nullptr;
    }
    npy_intp one = 1;
    Py_INCREF(dtype);  // PyArray_NewFromDescr takes this reference, also when it fails
    py::Ref record = py::Ref::steal(PyArray_NewFromDescr(&PyArray_Type, dtype, 1, &one, nullptr,
                                                         data, NPY_ARRAY_CARRAY, nullptr));
    if (!record) return nullptr;
    // PyArray_SetBaseObject takes the reference to the base, also when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(record.get()), memory.release()) < 0)
        return nullptr;
    return record.release();
}

}  // namespace quorvane::ellipsoid::companion

#endif  // QUORVANE_ELLIPSOID_COMPANION_H
