// The module's globals as the methods see them: the interned names and small
// constants, the lookup of a module-level name, and the watchers that let a
// lookup be remembered until a dictionary changes.
#ifndef QUORVANE_ELLIPSOID_BINDING_GLOBALS_H
#define QUORVANE_ELLIPSOID_BINDING_GLOBALS_H

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

}  // namespace quorvane::ellipsoid

#endif  // QUORVANE_ELLIPSOID_BINDING_GLOBALS_H
