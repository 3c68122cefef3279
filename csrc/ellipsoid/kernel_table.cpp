// The runtime the kernels of the module's table need, filled at import: the
// pending-error probes, the traceback entry of a failing kernel, and the
// vector routines bound from the vector module.
#include "ellipsoid/kernel_table.h"

#include <cstring>

#include "common/ref.h"
#include "vectools/routines.h"

namespace quorvane::ellipsoid::kernels {
namespace {

using py::Ref;

constexpr char kVectoolsName[] = "quorvane.mathtools.vectools.vectools";

bool error_pending() noexcept {
    py::GilGuard gil;
    return PyErr_Occurred() != nullptr;
}

bool error_pending_held() noexcept {
    return PyErr_Occurred() != nullptr;
}

void kernel_traceback(const char* function) noexcept {
    py::GilGuard gil;
    add_traceback(function);
}

void raise_missing_routine(const char* name) noexcept {
    PyErr_Format(PyExc_ImportError, "%.200s does not export expected C function %.200s",
                 kVectoolsName, name);
}

// Binds one routine of the vector module by name and exact signature string;
// *own stays true only while the routines are the package's own.
void* bind_routine(PyObject* capi, const char* name, const char* signature, bool* own) noexcept {
    PyObject* found_capsule = nullptr;
    if (PyDict_GetItemStringRef(capi, name, &found_capsule) < 0) return nullptr;
    Ref owner = Ref::steal(found_capsule);
    PyObject* capsule = owner.get();
    if (capsule == nullptr) {
        raise_missing_routine(name);
        return nullptr;
    }
    if (!PyCapsule_IsValid(capsule, signature)) {
        const char* found = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : nullptr;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "C function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     kVectoolsName, name, signature, found ? found : "(null)");
        return nullptr;
    }
    const void* context = PyCapsule_GetContext(capsule);
    *own = *own && context != nullptr &&
           std::strcmp(static_cast<const char*>(context), vectools::kPackageContext) == 0;
    return PyCapsule_GetPointer(capsule, signature);
}

}  // namespace

bool bind_vector_routines() noexcept {
    Ref vectools = Ref::steal(PyImport_ImportModule(kVectoolsName));
    Ref capi =
        vectools ? Ref::steal(PyObject_GetAttrString(vectools.get(), "__pyx_capi__")) : Ref();
    if (!capi) return false;
    if (!PyDict_Check(capi.get())) {
        raise_missing_routine("scale");
        return false;
    }
    // scale and add are bound, in this order, only to check that the vector
    // module exports them as its interface says: no kernel calls them, so
    // their addresses are not kept.
    bool own = true;
    void* scale = bind_routine(capi.get(), "scale", QUORVANE_VEC_SCALE_SIGNATURE, &own);
    void* add = scale ? bind_routine(capi.get(), "add", QUORVANE_VEC_ADD_SIGNATURE, &own) : nullptr;
    void* sub = add ? bind_routine(capi.get(), "sub", QUORVANE_VEC_SUB_SIGNATURE, &own) : nullptr;
    void* dot = sub ? bind_routine(capi.get(), "dot", QUORVANE_VEC_DOT_SIGNATURE, &own) : nullptr;
    void* norm =
        dot ? bind_routine(capi.get(), "norm", QUORVANE_VEC_NORM_SIGNATURE, &own) : nullptr;
    if (norm == nullptr) return false;
    state.runtime.own_routines = own;
    state.runtime.sub = reinterpret_cast<quorvane_vec_sub_fn>(sub);
    state.runtime.dot = reinterpret_cast<quorvane_vec_dot_fn>(dot);
    state.runtime.norm = reinterpret_cast<quorvane_vec_norm_fn>(norm);
    return true;
}

void install_runtime_hooks() noexcept {
    state.runtime.error_pending = error_pending;
    state.runtime.error_pending_held = error_pending_held;
    state.runtime.add_traceback = kernel_traceback;
}

}  // namespace quorvane::ellipsoid::kernels
