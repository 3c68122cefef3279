// Traceback entries for compiled functions.
#ifndef QUORVANE_MATHTOOLS_ELLIPSOID_TRACEBACK_H
#define QUORVANE_MATHTOOLS_ELLIPSOID_TRACEBACK_H

#include <Python.h>

namespace quorvane::py {

// Appends an entry for `function` to the traceback of the pending exception,
// a frame whose globals are the module's dictionary.
// The caller holds the interpreter lock; the pending exception is preserved.
// Does nothing when no exception is pending.
void add_traceback(const char* function) noexcept;

// Prefix of every entry for an Ellipsoid method or kernel.
inline constexpr char kEllipsoidPrefix[] = "quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid.";

}  // namespace quorvane::py

#endif  // QUORVANE_MATHTOOLS_ELLIPSOID_TRACEBACK_H
