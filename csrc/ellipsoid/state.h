// The process-wide state of the ellipsoid module, all in one place.
//
// The module supports one interpreter per process, by design: a second
// interpreter is refused at import. Everything here is written while the
// module is imported and only read afterwards, but for the caches (traceback
// code objects, verified layouts, lookups), which calls fill with the
// interpreter lock held. The references it holds are
// deliberately never released: static destructors would run after the
// interpreter has shut down, and releasing them then would touch freed memory.
#ifndef QUORVANE_ELLIPSOID_STATE_H
#define QUORVANE_ELLIPSOID_STATE_H

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "common/traceback.h"
#include "quorvane/mathtools/vectools/vectools.h"

namespace quorvane::ellipsoid {

// What the kernels need from outside the arithmetic, filled at import.
struct KernelRuntime {
    // True when an interpreter error is pending; takes the interpreter lock for
    // the test only (re-entrantly when the calling thread holds it).
    bool (*error_pending)() noexcept = nullptr;
    // The same test for a thread known to hold the interpreter lock.
    bool (*error_pending_held)() noexcept = nullptr;
    // Appends a traceback entry with this function name; takes the lock.
    void (*add_traceback)(const char* function) noexcept = nullptr;
    // The vector routines the kernels call, bound from
    // quorvane.mathtools.vectools.vectools (scale and add are bound too, but
    // no kernel calls them).
    quorvane_vec_sub_fn sub = nullptr;
    quorvane_vec_dot_fn dot = nullptr;
    quorvane_vec_norm_fn norm = nullptr;
    // Every routine bound is the package's own code (its capsule's context
    // says so): loops may then call the same routines inline, without probes.
    bool own_routines = false;
};

// Interned strings and small constants, created at import.
struct Constants {
    PyObject* numpy;
    PyObject* Real;
    PyObject* SurfCoord_dtype;
    PyObject* LLA_dtype;
    PyObject* ENU_dtype;
    PyObject* AER_dtype;
    PyObject* zeros;
    PyObject* zeros_like;
    PyObject* asarray;
    PyObject* shape;
    PyObject* ndim;
    PyObject* dtype;
    PyObject* double_;
    PyObject* shape_dtype_kwnames;  // ("shape", "dtype")
    PyObject* dtype_kwnames;        // ("dtype",)
    PyObject* tuple_1;              // (1,)
    PyObject* tuple_3;              // (3,)
    PyObject* one;
    PyObject* two;
    PyObject* three;
    PyObject* Re;  // parameter names of the constructor and of __setstate__
    PyObject* f;
    PyObject* state;
};

// Element layouts already verified on arrays the methods allocated: for each
// element type, the last dtype whose buffer format passed the check, and that
// format. A later array of the very same dtype object is taken without asking
// NumPy for its buffer again; any other dtype (the module global rebound) is
// checked in full and then replaces the entry.
struct VerifiedLayout {
    const void* element = nullptr;  // the element type (a py::ElementSpec)
    PyObject* dtype = nullptr;
    PyObject* names = nullptr;   // its field names then
    PyObject* format = nullptr;  // bytes
};

// Lookups of module globals, and of attributes of NumPy's own module, made
// again only after one of the two dictionaries has changed: a dictionary
// watcher counts their changes, and an entry holds while the count it was made
// at is the count now. The values are borrowed: any change to the dictionary
// that holds them moves the count first.
struct LookupCache {
    int watcher = -1;  // no caching without one
    std::uint64_t changes = 1;
    struct Entry {
        PyObject* scope = nullptr;  // the module globals, or NumPy's module
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        std::uint64_t at = 0;
    };
    Entry entries[12];
};

struct ModuleState {
    std::int64_t interpreter = -1;  // the one interpreter the module serves
    bool initialised = false;       // the module body has run
    PyObject* created = nullptr;    // the module object made for the first import
    PyObject* module = nullptr;     // the module object whose body has run
    PyObject* globals = nullptr;    // its dictionary (also the traceback entries' globals)
    PyObject* builtins = nullptr;
    bool assertions = true;            // the interpreter's __debug__ at import
    PyObject* numbers_real = nullptr;  // numbers.Real as imported
    // NumPy and its functions as imported: while the module global `numpy` and
    // its attributes are these, the C API stands in for the calls.
    PyObject* numpy_module = nullptr;
    PyObject* numpy_zeros = nullptr;
    PyObject* numpy_zeros_like = nullptr;
    PyObject* numpy_asarray = nullptr;
    Constants c{};
    KernelRuntime runtime{};
    py::TracebackEntries traceback{"<compiled quorvane.mathtools.ellipsoid.ellipsoid>"};
    VerifiedLayout layouts[8]{};
    LookupCache lookups{};
};

inline ModuleState state;

// Appends the traceback entry of `function` (a full name) to the pending
// exception, a frame in the module's globals.
inline void add_traceback(const char* function) noexcept {
    state.traceback.add(state.globals, function);
}

}  // namespace quorvane::ellipsoid

#endif  // QUORVANE_ELLIPSOID_STATE_H
