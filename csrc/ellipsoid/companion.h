// What the companion modules of the ellipsoid (_frames, _geodesic) take from the
// package when they are executed: the Ellipsoid type, and record dtypes of
// quorvane.datamodel. Include after <numpy/arrayobject.h>, from the module's one
// translation unit (the NumPy C API table is that unit's).
#ifndef QUORVANE_ELLIPSOID_COMPANION_H
#define QUORVANE_ELLIPSOID_COMPANION_H

#include <Python.h>

#include <initializer_list>

#include "common/ref.h"

namespace quorvane::ellipsoid::companion {

// quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid, checked to be a type; an
// empty Ref with an exception set on failure.
inline py::Ref ellipsoid_type() noexcept {
    py::Ref module =
        py::Ref::steal(PyImport_ImportModule("quorvane.mathtools.ellipsoid.ellipsoid"));
    if (!module) return {};
    py::Ref type = py::Ref::steal(PyObject_GetAttrString(module.get(), "Ellipsoid"));
    if (!type) return {};
    if (!PyType_Check(type.get())) {
        PyErr_SetString(PyExc_ImportError, "Ellipsoid is not a type");
        return {};
    }
    return type;
}

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

}  // namespace quorvane::ellipsoid::companion

#endif  // QUORVANE_ELLIPSOID_COMPANION_H
