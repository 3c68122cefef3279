// The argument parser shared by construction and every method.
//
// All parameters are required and may be given positionally or by keyword.
// Positional arguments fill the first parameters; keywords are then matched by
// name; a parameter still missing is reported with the number of parameters
// supplied before it.
#ifndef QUORVANE_MATHTOOLS_ELLIPSOID_ARGS_H
#define QUORVANE_MATHTOOLS_ELLIPSOID_ARGS_H

#include <Python.h>

#include <span>

namespace quorvane::py {

struct Parameters {
    const char* function;              // bare name used in messages, e.g. "aer_coords"
    std::span<PyObject* const> names;  // interned parameter names, in order
};

// Vectorcall form: args[0..nargs) positional, then one value per name in kwnames.
// On success out[0..names.size()) holds borrowed references.
bool parse_arguments(const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out) noexcept;

// Tuple-and-dictionary form (tp_new, tp_init); kwargs may be nullptr.
bool parse_arguments(const Parameters& params, PyObject* args, PyObject* kwargs,
                     PyObject** out) noexcept;

}  // namespace quorvane::py

#endif  // QUORVANE_MATHTOOLS_ELLIPSOID_ARGS_H
