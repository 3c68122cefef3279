// Module-level names as the methods see them, and the assertions they make.
#ifndef QUORVANE_ELLIPSOID_BINDING_NAMES_H
#define QUORVANE_ELLIPSOID_BINDING_NAMES_H

#include <Python.h>

#include "common/ref.h"
#include "ellipsoid/state.h"

namespace quorvane::ellipsoid {

using py::Ref;

// The interned names and small constants of state.c.
bool create_constants() noexcept;

// A module-level name: the module's globals first, then the builtins;
// NameError "name '...' is not defined" when neither has it.
Ref global(PyObject* name) noexcept;

// Watches the module globals and NumPy's module dictionary (at import), so
// that the lookups below may be remembered until either changes.
void watch_lookups(PyObject* numpy_module) noexcept;
// A value looked up by name in `scope` (the module globals, or NumPy's module)
// and unchanged since, or nullptr.
PyObject* cached_lookup(PyObject* scope, PyObject* name) noexcept;
void remember_lookup(PyObject* scope, PyObject* name, PyObject* value) noexcept;

// Raises AssertionError (no message) unless `a == b` is true. The comparison
// is the interpreter's, on whatever objects the attributes are.
bool check_equal(PyObject* a, PyObject* b) noexcept;

// isinstance(x, cls) as 1 or 0; -1 with an exception.
int is_instance(PyObject* x, PyObject* cls) noexcept;

// Raised when a loop would step past the end of its result.
void raise_out_of_bounds() noexcept;

}  // namespace quorvane::ellipsoid

#endif  // QUORVANE_ELLIPSOID_BINDING_NAMES_H
