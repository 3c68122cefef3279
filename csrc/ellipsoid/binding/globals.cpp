#include "ellipsoid/binding/globals.h"

namespace quorvane::ellipsoid {

namespace {

int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++state.lookups.changes;
    return 0;
}

}  // namespace

void watch_lookups(PyObject* numpy_module) noexcept {
    LookupCache& cache = state.lookups;
    const int watcher = cache.watcher >= 0 ? cache.watcher : PyDict_AddWatcher(count_change);
    PyObject* numpy_dict = PyModule_Check(numpy_module) ? PyModule_GetDict(numpy_module) : nullptr;
    if (watcher < 0 || numpy_dict == nullptr || PyDict_Watch(watcher, state.globals) < 0 ||
        PyDict_Watch(watcher, numpy_dict) < 0) {
        PyErr_Clear();  // every lookup is then made afresh
        return;
    }
    cache.watcher = watcher;
    ++cache.changes;  // nothing remembered from an earlier attempt holds
}

PyObject* cached_lookup(PyObject* scope, PyObject* name) noexcept {
    const LookupCache& cache = state.lookups;
    if (cache.watcher < 0) return nullptr;
    for (const LookupCache::Entry& e : cache.entries) {
        if (e.name == name && e.scope == scope && e.at == cache.changes) return e.value;
    }
    return nullptr;
}

void remember_lookup(PyObject* scope, PyObject* name, PyObject* value) noexcept {
    LookupCache& cache = state.lookups;
    if (cache.watcher < 0) return;
    LookupCache::Entry* slot = nullptr;
    for (LookupCache::Entry& e : cache.entries) {
        if ((e.name == name && e.scope == scope) || e.at != cache.changes) {
            slot = &e;
            break;
        }
    }
    if (slot != nullptr) *slot = {scope, name, value, cache.changes};
}

namespace {

PyObject* intern(const char* s) noexcept {
    return PyUnicode_InternFromString(s);
}

}  // namespace

bool create_constants() noexcept {
    Constants& c = state.c;
    c.numpy = intern("numpy");
    c.Real = intern("Real");
    c.SurfCoord_dtype = intern("SurfCoord_dtype");
    c.LLA_dtype = intern("LLA_dtype");
    c.ENU_dtype = intern("ENU_dtype");
    c.AER_dtype = intern("AER_dtype");
    c.zeros = intern("zeros");
    c.zeros_like = intern("zeros_like");
    c.asarray = intern("asarray");
    c.shape = intern("shape");
    c.ndim = intern("ndim");
    c.dtype = intern("dtype");
    c.double_ = intern("double");
    c.Re = intern("Re");
    c.f = intern("f");
    c.state = intern("state");
    c.one = PyLong_FromLong(1);
    c.two = PyLong_FromLong(2);
    c.three = PyLong_FromLong(3);
    if (!c.numpy || !c.Real || !c.SurfCoord_dtype || !c.LLA_dtype || !c.ENU_dtype || !c.AER_dtype ||
        !c.zeros || !c.zeros_like || !c.asarray || !c.shape || !c.ndim || !c.dtype || !c.double_ ||
        !c.Re || !c.f || !c.state || !c.one || !c.two || !c.three) {
        return false;
    }
    c.shape_dtype_kwnames = PyTuple_Pack(2, c.shape, c.dtype);
    c.dtype_kwnames = PyTuple_Pack(1, c.dtype);
    c.tuple_1 = PyTuple_Pack(1, c.one);
    c.tuple_3 = PyTuple_Pack(1, c.three);
    return c.shape_dtype_kwnames && c.dtype_kwnames && c.tuple_1 && c.tuple_3;
}

Ref global(PyObject* name) noexcept {
    if (PyObject* cached = cached_lookup(state.globals, name)) return Ref::borrow(cached);
    PyObject* value = PyDict_GetItemWithError(state.globals, name);
    if (value != nullptr) {
        remember_lookup(state.globals, name, value);
        return Ref::borrow(value);
    }
    if (PyErr_Occurred()) return {};
    PyObject* builtin = nullptr;
    if (PyObject_GetOptionalAttr(state.builtins, name, &builtin) < 0) return {};
    if (builtin == nullptr) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref::steal(builtin);
}

}  // namespace quorvane::ellipsoid
