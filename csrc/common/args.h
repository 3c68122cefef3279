// The argument parser of compiled functions and constructors.
//
// All parameters are required and may be given positionally or by keyword.
// Positional arguments fill the first parameters; keywords are then matched by
// name; a parameter still missing is reported with the number of parameters
// supplied before it.
#ifndef QUORVANE_COMMON_ARGS_H
#define QUORVANE_COMMON_ARGS_H

#include <Python.h>

#include <span>

#include "common/ref.h"

namespace quorvane::py {

struct Parameters {
    const char* function;              // bare name used in messages, e.g. "aer_coords"
    std::span<PyObject* const> names;  // interned parameter names, in order
};

// Vectorcall form: args[0..nargs) positional, then one value per name in kwnames.
// On success out[0..names.size()) holds borrowed references: the caller of a
// vectorcall keeps its arguments alive for the length of the call.
bool parse_arguments(const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out) noexcept;

// Tuple-and-dictionary form (tp_new, tp_init); kwargs may be nullptr.
// On success out[0..names.size()) holds strong references: converting one
// value may run code that empties the dictionary, and the others must outlive it.
bool parse_arguments(const Parameters& params, PyObject* args, PyObject* kwargs, Ref* out) noexcept;

}  // namespace quorvane::py

#endif  // QUORVANE_COMMON_ARGS_H
