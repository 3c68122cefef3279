// What the companion modules of the ellipsoid that return records (_frames,
// _geodesic) take from the package when they are executed (record dtypes of
// quorvane.datamodel), and what their one-point calls share (plain numbers in,
// one record out); their skeleton is companion_module.h. Include after
// <numpy/arrayobject.h>, from the module's one translation unit (the NumPy C
// API table is that unit's).
#ifndef QUORVANE_ELLIPSOID_COMPANION_H
#define QUORVANE_ELLIPSOID_COMPANION_H

#include <Python.h>

#include <cstring>
#include <initializer_list>

#include "common/ref.h"
#include "ellipsoid/companion_module.h"

namespace quorvane::ellipsoid::companion {

// A dtype of quorvane.datamodel, checked to be a record of three doubles, as a
// new reference.
inline PyArray_Descr* record_dtype(PyObject* datamodel, const char* name) noexcept {
    py::Ref dtype = py::Ref::steal(PyObject_GetAttrString(datamodel, name));
    if (!dtype) return nullptr;
    if (!PyArray_DescrCheck(dtype.get()) ||
        PyDataType_ELSIZE(reinterpret_cast<PyArray_Descr*>(dtype.get())) != 3 * sizeof(double)) {
        PyErr_Format(PyExc_ImportError, "quorvane.datamodel.%s is not a record of three doubles",
                     name);
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

// The memory of a one-record result: three doubles, owned by a capsule that is
// the array's base (the way NumPy documents for arrays over memory of one's own).
inline constexpr const char* kRecordMemory = "quorvane record memory";

inline void free_record_memory(PyObject* capsule) noexcept {
    PyMem_Free(PyCapsule_GetPointer(capsule, kRecordMemory));
}

// A fresh one-record array of `dtype` (a record of three doubles) holding
// `values`, or nullptr with an exception set. NumPy allocating a structured
// array itself first walks the record's fields to learn how to zero its memory;
// over memory of our own it does not, and the call costs a third as much.
inline PyObject* one_record(PyArray_Descr* dtype, const double* values) noexcept {
    void* data = PyMem_Malloc(3 * sizeof(double));
    if (data == nullptr) return PyErr_NoMemory();
    std::memcpy(data, values, 3 * sizeof(double));
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
