#include "common/args.h"

namespace quorvane::py {
namespace {

// The most parameters a tuple-and-dictionary signature may have.
constexpr size_t kMaxParameters = 8;

void raise_count(const Parameters& params, Py_ssize_t given) noexcept {
    const Py_ssize_t n = static_cast<Py_ssize_t>(params.names.size());
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 params.function, "exactly", n, n == 1 ? "" : "s", given);
}

// Index of the parameter called `key`, or -1.
Py_ssize_t find(const Parameters& params, PyObject* key) noexcept {
    const Py_ssize_t n = static_cast<Py_ssize_t>(params.names.size());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (params.names[i] == key) return i;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_Compare(params.names[i], key) == 0) return i;
    }
    return -1;
}

bool check_positional(const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                      PyObject** out) noexcept {
    if (nargs > static_cast<Py_ssize_t>(params.names.size())) {
        raise_count(params, nargs);
        return false;
    }
    for (size_t i = 0; i < params.names.size(); ++i) {
        out[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
    }
    return true;
}

bool match_keyword(const Parameters& params, Py_ssize_t nargs, PyObject* key, PyObject* value,
                   PyObject** out) noexcept {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", params.function);
        return false;
    }
    const Py_ssize_t i = find(params, key);
    if (i < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     params.function, key);
        return false;
    }
    if (i < nargs || out[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     params.function, key);
        return false;
    }
    out[i] = value;
    return true;
}

bool check_missing(const Parameters& params, PyObject** out) noexcept {
    for (size_t i = 0; i < params.names.size(); ++i) {
        if (out[i] == nullptr) {
            raise_count(params, static_cast<Py_ssize_t>(i));
            return false;
        }
    }
    return true;
}

}  // namespace

bool parse_arguments(const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out) noexcept {
    if (!check_positional(params, args, nargs, out)) return false;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!match_keyword(params, nargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) {
            return false;
        }
    }
    return check_missing(params, out);
}

bool parse_arguments(const Parameters& params, PyObject* args, PyObject* kwargs,
                     Ref* out) noexcept {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* found[kMaxParameters];
    if (params.names.size() > kMaxParameters) {
        PyErr_Format(PyExc_SystemError, "%.200s() has too many parameters", params.function);
        return false;
    }
    if (!check_positional(params, &PyTuple_GET_ITEM(args, 0), nargs, found)) return false;
    if (kwargs != nullptr) {
        // Matching runs no code (keys are compared as strings), so the values
        // found stay in the dictionary until they are referenced below.
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!match_keyword(params, nargs, key, value, found)) return false;
        }
    }
    if (!check_missing(params, found)) return false;
    for (size_t i = 0; i < params.names.size(); ++i) out[i] = Ref::borrow(found[i]);
    return true;
}

}  // namespace quorvane::py
