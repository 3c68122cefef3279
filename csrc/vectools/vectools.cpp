// Three-vector routines, exported to compiled modules through __pyx_capi__.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>

#include "common/ref.h"
#include "quorvane/mathtools/vectools/vectools.h"

namespace {

// out = factor * v
void scale(double const factor, double* v, double* out) {
    out[0] = factor * v[0];
    out[1] = factor * v[1];
    out[2] = factor * v[2];
}

// out = u + v
void add(double* u, double* v, double* out) {
    out[0] = u[0] + v[0];
    out[1] = u[1] + v[1];
    out[2] = u[2] + v[2];
}

// out = u - v
void sub(double* u, double* v, double* out) {
    out[0] = u[0] - v[0];
    out[1] = u[1] - v[1];
    out[2] = u[2] - v[2];
}

// u . v, summed from the first component to the last
double dot(double* u, double* v) {
    return u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
}

// |u| = sqrt(u . u)
double norm(double* u) {
    return std::sqrt(dot(u, u));
}

struct Export {
    const char* name;
    void* address;
    const char* signature;
};

const Export exports[] = {
    {"scale", reinterpret_cast<void*>(&scale), QUORVANE_VEC_SCALE_SIGNATURE},
    {"add", reinterpret_cast<void*>(&add), QUORVANE_VEC_ADD_SIGNATURE},
    {"sub", reinterpret_cast<void*>(&sub), QUORVANE_VEC_SUB_SIGNATURE},
    {"dot", reinterpret_cast<void*>(&dot), QUORVANE_VEC_DOT_SIGNATURE},
    {"norm", reinterpret_cast<void*>(&norm), QUORVANE_VEC_NORM_SIGNATURE},
};

int vectools_exec(PyObject* module) noexcept {
    using quorvane::py::Ref;
    Ref capi = Ref::steal(PyDict_New());
    if (!capi) return -1;
    for (const Export& e : exports) {
        Ref capsule = Ref::steal(PyCapsule_New(e.address, e.signature, nullptr));
        if (!capsule || PyDict_SetItemString(capi.get(), e.name, capsule.get()) < 0) return -1;
    }
    return PyModule_Add(module, "__pyx_capi__", capi.release());
}

PyModuleDef_Slot vectools_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&vectools_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef vectools_module = {
    PyModuleDef_HEAD_INIT,
    "vectools",
    "Three-vector routines (scale, add, sub, dot, norm) for compiled modules.",
    0,
    nullptr,
    vectools_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_vectools() {
    return PyModuleDef_Init(&vectools_module);
}
