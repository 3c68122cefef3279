// The extension module quorvane.mathtools.ellipsoid.ellipsoid and its
// Ellipsoid type: multi-phase initialisation, construction, the published
// kernel table and the refusal to be pickled.
#define QUORVANE_IMPORTS_NUMPY
#include "ellipsoid/binding/numpy_api.h"

#include <numpy/ufuncobject.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/args.h"
#include "ellipsoid/binding/docstrings.h"
#include "ellipsoid/binding/globals.h"
#include "ellipsoid/binding/method_type.h"
#include "ellipsoid/binding/numbers.h"
#include "ellipsoid/binding/results.h"
#include "ellipsoid/binding/views.h"
#include "ellipsoid/kernel_table.h"

namespace quorvane::ellipsoid {
namespace {

using Object = QuorvaneEllipsoidObject;

constexpr char kModuleName[] = "quorvane.mathtools.ellipsoid.ellipsoid";
constexpr char kInitName[] = "init quorvane.mathtools.ellipsoid.ellipsoid";
constexpr char kPickleMessage[] = "no default __reduce__ due to non-trivial __cinit__";

// -- Construction ----------------------------------------------------------------

// Parses (Re, f) for __cinit__ or __init__ and converts both, Re first. The
// values are held while converting: Re.__float__ may empty the keyword
// dictionary that held f.
bool parse_parameters(const char* function, PyObject* args, PyObject* kwargs, double* Re,
                      double* f) noexcept {
    PyObject* const names[] = {state.c.Re, state.c.f};
    Ref values[2];
    return py::parse_arguments({function, names}, args, kwargs, values) &&
           to_double(values[0].get(), Re) && to_double(values[1].get(), f);
}

void fail_with_entry(const char* function) noexcept {
    char name[96];
    PyOS_snprintf(name, sizeof name, "%s%s", kTracebackPrefix, function);
    add_traceback(name);
}

PyObject* ellipsoid_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    Object* o = reinterpret_cast<Object*>(self.get());
    o->kernels = &kernels::own_kernels;
    double Re, f;
    if (!parse_parameters("__cinit__", args, kwargs, &Re, &f)) {
        fail_with_entry("__cinit__");
        return nullptr;
    }
    // NaN fails both comparisons and is refused; -0.0 passes f >= 0.
    if (state.assertions && !(Re > 0)) {
        PyErr_SetNone(PyExc_AssertionError);
        fail_with_entry("__cinit__");
        return nullptr;
    }
    o->Re = Re;
    if (state.assertions && !(f >= 0 && f < 1)) {
        PyErr_SetNone(PyExc_AssertionError);
        fail_with_entry("__cinit__");
        return nullptr;
    }
    o->f = f;
    o->Rp = (1 - f) * Re;
    return self.release();
}

// __init__ checks its arguments like construction and changes nothing.
int ellipsoid_init(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    double Re, f;
    if (parse_parameters("__init__", args, kwargs, &Re, &f)) return 0;
    fail_with_entry("__init__");
    return -1;
}

void ellipsoid_dealloc(PyObject* self) noexcept {
    Py_TYPE(self)->tp_free(self);
}

PyMemberDef ellipsoid_members[] = {
    {"Re", Py_T_DOUBLE, offsetof(Object, Re), Py_READONLY, nullptr},
    {"f", Py_T_DOUBLE, offsetof(Object, f), Py_READONLY, nullptr},
    {"Rp", Py_T_DOUBLE, offsetof(Object, Rp), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject EllipsoidType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name =
        "quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid",
    .tp_basicsize = sizeof(Object),
    .tp_dealloc = ellipsoid_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = docs::kEllipsoid,
    .tp_members = ellipsoid_members,
    .tp_init = ellipsoid_init,
    .tp_new = ellipsoid_new,
};

// -- Pickling refusal -------------------------------------------------------------

PyObject* ellipsoid_reduce(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    if (py::parse_arguments({"__reduce__", {}}, args, nargs, kwnames, nullptr)) {
        PyErr_SetString(PyExc_TypeError, kPickleMessage);
    }
    fail_with_entry("__reduce__");
    return nullptr;
}

PyObject* ellipsoid_setstate(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
    PyObject* const names[] = {state.c.state};
    PyObject* value;
    if (py::parse_arguments({"__setstate__", names}, args, nargs, kwnames, &value)) {
        PyErr_SetString(PyExc_TypeError, kPickleMessage);
    }
    fail_with_entry("__setstate__");
    return nullptr;
}

PyMethodDef reduce_def = {
    "__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ellipsoid_reduce)),
    METH_FASTCALL | METH_KEYWORDS, "Ellipsoid.__reduce__(self)"};
PyMethodDef setstate_def = {
    "__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ellipsoid_setstate)),
    METH_FASTCALL | METH_KEYWORDS, "Ellipsoid.__setstate__(self, state)"};

// Stores the refusing pair unless the type pickles itself some other way.
bool install_pickling(PyTypeObject* type) noexcept {
    PyObject* dict = type->tp_dict;
    const int own_getstate = PyDict_ContainsString(dict, "__getstate__");
    if (own_getstate < 0) return false;
    Ref reduce_ex =
        Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__reduce_ex__"));
    Ref object_reduce_ex = Ref::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__reduce_ex__"));
    if (!reduce_ex || !object_reduce_ex) return false;
    if (own_getstate || reduce_ex.get() != object_reduce_ex.get()) return true;
    PyObject* found_reduce = nullptr;
    if (PyDict_GetItemStringRef(dict, "__reduce__", &found_reduce) < 0) return false;
    Ref own_reduce = Ref::steal(found_reduce);
    if (own_reduce && PyObject_TypeCheck(own_reduce.get(), &PyMethodDescr_Type)) return true;
    Ref reduce = Ref::steal(PyDescr_NewMethod(type, &reduce_def));
    Ref setstate = reduce ? Ref::steal(PyDescr_NewMethod(type, &setstate_def)) : Ref();
    if (!setstate || PyDict_SetItemString(dict, "__reduce__", reduce.get()) < 0 ||
        PyDict_SetItemString(dict, "__setstate__", setstate.get()) < 0) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s",
                         type->tp_name);
        }
        return false;
    }
    PyType_Modified(type);
    return true;
}

// -- Module initialisation ---------------------------------------------------------

int copy_spec_attribute(PyObject* spec, PyObject* module, const char* from, const char* to,
                        bool none_allowed) noexcept {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(spec, from, &value) < 0) return -1;
    if (value == nullptr) return 0;
    Ref owned = Ref::steal(value);
    if (!none_allowed && value == Py_None) return 0;
    return PyObject_SetAttrString(module, to, value);
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (state.interpreter == -1) {
        state.interpreter = current;
    } else if (state.interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.created != nullptr) return Py_NewRef(state.created);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    Ref module = name ? Ref::steal(PyModule_NewObject(name.get())) : Ref();
    if (!module) return nullptr;
    if (copy_spec_attribute(spec, module.get(), "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, module.get(), "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, module.get(), "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, module.get(), "submodule_search_locations", "__path__", false) <
            0) {
        return nullptr;
    }
    state.created = Py_NewRef(module.get());
    return module.release();
}

bool check_python_version() noexcept {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match",
                            major, minor) == 0;
}

bool set_assertion_switch() noexcept {
    state.assertions = true;
    Ref debug = Ref::steal(PyObject_GetAttrString(state.builtins, "__debug__"));
    if (!debug) return false;
    const int truth = PyObject_IsTrue(debug.get());
    if (truth < 0) return false;
    state.assertions = truth != 0;
    return true;
}

bool import_numpy_c_api() noexcept {
    if (_import_array() == 0) return true;
    PyObject* cause = PyErr_GetRaisedException();
    Ref text = Ref::steal(PyObject_Str(cause));
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError,
                 "numpy.core.multiarray failed to import: the NumPy C API could not be loaded "
                 "(%s); this module needs NumPy >= 1.20 with a C API of 2.x or older",
                 text ? PyUnicode_AsUTF8(text.get()) : "unknown error");
    if (PyErr_Occurred() && cause != nullptr) {
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetCause(error, cause);
        PyErr_SetRaisedException(error);
    } else {
        Py_XDECREF(cause);
    }
    return false;
}

bool register_in_sys_modules(PyObject* module) noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    const int present = PyDict_ContainsString(modules, kModuleName);
    if (present < 0) return false;
    return present || PyDict_SetItemString(modules, kModuleName, module) == 0;
}

bool check_builtins() noexcept {
    static const char* const names[] = {
        "AssertionError", "TypeError",   "ValueError",     "IndexError", "KeyError",
        "OverflowError",  "MemoryError", "ImportError",    "NameError",  "AttributeError",
        "RuntimeError",   "BufferError", "RuntimeWarning",
    };
    for (const char* name : names) {
        PyObject* value = nullptr;
        if (PyObject_GetOptionalAttrString(state.builtins, name, &value) < 0) return false;
        if (value == nullptr) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
            return false;
        }
        Py_DECREF(value);
    }
    return true;
}

bool publish_kernel_table(PyObject* module) noexcept {
    kernels::install_runtime_hooks();
    if (PyType_Ready(&EllipsoidType) < 0) return false;
    Ref capsule = Ref::steal(PyCapsule_New(
        const_cast<QuorvaneEllipsoidKernels*>(&kernels::own_kernels), nullptr, nullptr));
    if (!capsule ||
        PyDict_SetItemString(EllipsoidType.tp_dict, QUORVANE_ELLIPSOID_KERNELS_CAPSULE_KEY,
                             capsule.get()) < 0) {
        return false;
    }
    PyType_Modified(&EllipsoidType);
    if (PyModule_AddObjectRef(module, "Ellipsoid", reinterpret_cast<PyObject*>(&EllipsoidType)) <
        0) {
        return false;
    }
    return install_pickling(&EllipsoidType);
}

enum class SizeRule { Ignore, Warn };

// "<module>.<class> size changed, ...": an error when the type is smaller than
// this module was compiled for, a warning (or nothing) when it is larger.
bool check_type_size(PyObject* module, const char* module_name, const char* class_name,
                     Py_ssize_t expected, SizeRule larger) noexcept {
    Ref type = Ref::steal(PyObject_GetAttrString(module, class_name));
    if (!type) return false;
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name,
                     class_name);
        return false;
    }
    const Py_ssize_t size = reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize;
    if (size == expected || (size > expected && larger == SizeRule::Ignore)) return true;
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C "
        "header, got %zd from PyObject",
        module_name, class_name, expected, size));
    if (!message) return false;
    if (size < expected) {
        PyErr_SetObject(PyExc_ValueError, message.get());
        return false;
    }
    const char* text = PyUnicode_AsUTF8(message.get());
    return text != nullptr && PyErr_WarnEx(nullptr, text, 0) == 0;
}

bool check_type_sizes() noexcept {
    if (!check_type_size(state.builtins, "builtins", "type", sizeof(PyHeapTypeObject),
                         SizeRule::Warn)) {
        return false;
    }
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    struct Expected {
        const char* name;
        Py_ssize_t size;
        SizeRule larger;
    };
    const Expected types[] = {
        {"dtype", sizeof(PyArray_Descr), SizeRule::Ignore},
        {"flatiter", sizeof(PyArrayIterObject), SizeRule::Ignore},
        {"broadcast", sizeof(PyArrayMultiIterObject), SizeRule::Ignore},
        {"ndarray", sizeof(PyArrayObject_fields), SizeRule::Ignore},
        {"generic", sizeof(PyObject), SizeRule::Warn},
        {"number", sizeof(PyObject), SizeRule::Warn},
        {"integer", sizeof(PyObject), SizeRule::Warn},
        {"signedinteger", sizeof(PyObject), SizeRule::Warn},
        {"unsignedinteger", sizeof(PyObject), SizeRule::Warn},
        {"inexact", sizeof(PyObject), SizeRule::Warn},
        {"floating", sizeof(PyObject), SizeRule::Warn},
        {"complexfloating", sizeof(PyObject), SizeRule::Warn},
        {"flexible", sizeof(PyObject), SizeRule::Warn},
        {"character", sizeof(PyObject), SizeRule::Warn},
        {"ufunc", sizeof(PyUFuncObject), SizeRule::Ignore},
    };
    for (const Expected& t : types) {
        if (!check_type_size(numpy.get(), "numpy", t.name, t.size, t.larger)) return false;
    }
    return true;
}

// from <module> import <name> as module attribute <name>.
bool import_name(PyObject* module, const char* from, const char* name) noexcept {
    Ref source = Ref::steal(PyImport_ImportModule(from));
    if (!source) return false;
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(source.get(), name, &value) < 0) return false;
    if (value == nullptr) {
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, from);
        return false;
    }
    return PyModule_Add(module, name, value) == 0;
}

bool run_module_body(PyObject* module) noexcept {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy || PyModule_AddObjectRef(module, "numpy", numpy.get()) < 0 ||
        !remember_numpy(numpy.get())) {
        return false;
    }
    for (const char* dtype : {"SurfCoord_dtype", "LLA_dtype", "ENU_dtype", "AER_dtype"}) {
        if (!import_name(module, "quorvane.datamodel", dtype)) return false;
    }
    if (!import_name(module, "numbers", "Real")) return false;
    watch_lookups(numpy.get());
    Py_XSETREF(state.numbers_real, PyObject_GetAttrString(module, "Real"));
    if (state.numbers_real == nullptr) return false;
    for (const MethodSpec& spec : method_specs) {
        Ref method = Ref::steal(new_method(spec, &EllipsoidType));
        if (!method || PyDict_SetItemString(EllipsoidType.tp_dict, spec.name, method.get()) < 0) {
            return false;
        }
    }
    PyType_Modified(&EllipsoidType);
    return PyModule_Add(module, "__test__", PyDict_New()) == 0;
}

bool initialise(PyObject* module) noexcept {
    state.module = module;
    state.globals = PyModule_GetDict(module);
    Py_XSETREF(state.builtins, PyImport_ImportModule("builtins"));
    if (state.builtins == nullptr ||
        PyModule_AddObjectRef(module, "__builtins__", state.builtins) < 0) {
        return false;
    }
    if (!check_python_version()) return false;
    if (!create_constants()) return false;
    return set_assertion_switch() && import_numpy_c_api() && register_in_sys_modules(module) &&
           check_builtins() && publish_kernel_table(module) && py::ready_typed_view_type() &&
           ready_method_type() && check_type_sizes() && kernels::bind_vector_routines() &&
           run_module_body(module);
}

int module_exec(PyObject* module) noexcept {
    if (state.initialised) {
        if (module == state.module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'ellipsoid' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (initialise(module)) {
        state.initialised = true;
        return 0;
    }
    if (state.globals != nullptr && state.c.numpy != nullptr) add_traceback(kInitName);
    // Drop the module so that a later import builds a new one and tries again.
    Py_CLEAR(state.created);
    state.module = nullptr;
    state.globals = nullptr;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, kInitName);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ellipsoid",
    "Geodesy on a reference ellipsoid of revolution: the Ellipsoid type, its scalar\n"
    "kernels (published for other compiled modules) and its NumPy array methods.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorvane::ellipsoid

PyMODINIT_FUNC PyInit_ellipsoid() {
    return PyModuleDef_Init(&quorvane::ellipsoid::module_def);
}
