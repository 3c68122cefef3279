// Traceback entries for compiled functions.
#ifndef QUORVANE_MATHTOOLS_ELLIPSOID_TRACEBACK_H
#define QUORVANE_MATHTOOLS_ELLIPSOID_TRACEBACK_H

#include <Python.h>

namespace quorvane::py {

// Sets the globals of the frames that the entries are attached to (the module
// dictionary, borrowed; it lives as long as the process).
void set_traceback_globals(PyObject* globals) noexcept;

// Appends an entry for `function` to the traceback of the pending exception.
// The caller holds the interpreter lock; the pending exception is preserved.
// Does nothing when no exception is pending.
void add_traceback(const char* function) noexcept;

// Prefix of every entry for an Ellipsoid method or kernel.
inline constexpr char kEllipsoidPrefix[] = "quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid.";

}  // namespace quorvane::py

#endif  // QUORVANE_MATHTOOLS_ELLIPSOID_TRACEBACK_H
