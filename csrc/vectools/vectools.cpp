// Three-vector routines, exported to compiled modules through __pyx_capi__.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/ref.h"
#include "quorvane/mathtools/vectools/vectools.h"
#include "vectools/routines.h"

namespace {

using namespace quorvane::vectools;

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
        if (!capsule ||
            PyCapsule_SetContext(capsule.get(), const_cast<char*>(kPackageContext)) < 0 ||
            PyDict_SetItemString(capi.get(), e.name, capsule.get()) < 0) {
            return -1;
        }
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
