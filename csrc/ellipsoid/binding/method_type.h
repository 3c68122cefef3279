// The function type of the Ellipsoid methods, and the table of the ten methods
// (defined in methods.cpp).
//
// Each computing method is an instance of one small function type that binds
// to an Ellipsoid like a Python function (class access gives the function,
// instance access a bound method) and carries __name__, __qualname__,
// __module__, __doc__ and __annotations__. A call parses its arguments with
// the shared parser and, on any failure, appends the method's traceback entry.
#ifndef QUORVANE_ELLIPSOID_BINDING_METHOD_TYPE_H
#define QUORVANE_ELLIPSOID_BINDING_METHOD_TYPE_H

#include <Python.h>

#include "quorvane/mathtools/ellipsoid/ellipsoid.h"

namespace quorvane::ellipsoid {

inline constexpr int kMaxParameters = 4;

struct Annotation {
    const char* name;  // a parameter, or "return"
    const char* text;
};

struct MethodSpec {
    const char* name;
    const char* parameters[kMaxParameters];  // nullptr-terminated when shorter
    Annotation annotations[kMaxParameters + 1];
    const char* doc;
    // Called with the instance and one borrowed object per parameter.
    PyObject* (*impl)(QuorvaneEllipsoidObject* self, PyObject* const* args) noexcept;
};

inline constexpr int kMethodCount = 10;

// The ten methods in the type's order of definition.
extern const MethodSpec method_specs[kMethodCount];

bool ready_method_type() noexcept;

// A new function object for `spec`, a method of `owner` (borrowed).
PyObject* new_method(const MethodSpec& spec, PyTypeObject* owner) noexcept;

}  // namespace quorvane::ellipsoid

#endif  // QUORVANE_ELLIPSOID_BINDING_METHOD_TYPE_H
