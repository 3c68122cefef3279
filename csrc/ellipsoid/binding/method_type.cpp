#include "ellipsoid/binding/method_type.h"

#include <cstddef>
#include <cstdio>

#include "common/args.h"
#include "common/ref.h"
#include "ellipsoid/kernels/dispatch.h"
#include "ellipsoid/state.h"

namespace quorvane::ellipsoid {
namespace {

using py::Ref;

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodSpec* spec;
    PyTypeObject* owner;  // borrowed: the Ellipsoid type is static
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* parameter_names[kMaxParameters];
    Py_ssize_t parameter_count;
    char traceback_name[160];
};

MethodObject* as_method(PyObject* o) noexcept {
    return reinterpret_cast<MethodObject*>(o);
}

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) noexcept {
    MethodObject* m = as_method(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", m->qualname);
        add_traceback(m->traceback_name);
        return nullptr;
    }
    if (!PyObject_TypeCheck(args[0], m->owner)) {
        PyErr_Format(PyExc_TypeError,
                     "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object",
                     m->name, m->owner->tp_name, Py_TYPE(args[0])->tp_name);
        add_traceback(m->traceback_name);
        return nullptr;
    }
    // A compiled subclass whose tp_new never ran Ellipsoid's has no kernel
    // table: refused as the frames functions refuse it.
    if (reinterpret_cast<QuorvaneEllipsoidObject*>(args[0])->kernels == nullptr) {
        PyErr_SetString(PyExc_TypeError, "self has no kernel table");
        add_traceback(m->traceback_name);
        return nullptr;
    }
    PyObject* values[kMaxParameters] = {};
    const py::Parameters params{m->spec->name,
                                {m->parameter_names, static_cast<size_t>(m->parameter_count)}};
    PyObject* result = nullptr;
    if (py::parse_arguments(params, args + 1, nargs - 1, kwnames, values)) {
        result = m->spec->impl(reinterpret_cast<QuorvaneEllipsoidObject*>(args[0]), values);
    }
    if (result == nullptr) add_traceback(m->traceback_name);
    return result;
}

PyObject* method_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* method_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_method(self)->qualname, self);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_method(self)->annotations);
    Py_VISIT(as_method(self)->doc);
    return 0;
}

int method_clear(PyObject* self) noexcept {
    Py_CLEAR(as_method(self)->annotations);
    return 0;
}

void method_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    MethodObject* m = as_method(self);
    Py_CLEAR(m->name);
    Py_CLEAR(m->qualname);
    Py_CLEAR(m->module);
    Py_CLEAR(m->doc);
    Py_CLEAR(m->annotations);
    for (PyObject*& p : m->parameter_names) Py_CLEAR(p);
    PyObject_GC_Del(self);
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
    MethodObject* m = as_method(self);
    if (m->annotations == nullptr) {
        m->annotations = PyDict_New();
        if (m->annotations == nullptr) return nullptr;
    }
    return Py_NewRef(m->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_method(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyMemberDef method_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(MethodObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(MethodObject, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(MethodObject, module), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(MethodObject, doc), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef method_getset[] = {
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject MethodType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name =
        "quorvane.mathtools.ellipsoid.ellipsoid.ellipsoid_method",
    .tp_basicsize = sizeof(MethodObject),
    .tp_dealloc = method_dealloc,
    .tp_vectorcall_offset = offsetof(MethodObject, vectorcall),
    .tp_repr = method_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE,
    .tp_doc = "A method of Ellipsoid implemented in C++.",
    .tp_traverse = method_traverse,
    .tp_clear = method_clear,
    .tp_members = method_members,
    .tp_getset = method_getset,
    .tp_descr_get = method_get,
};

}  // namespace

bool ready_method_type() noexcept {
    return PyType_Ready(&MethodType) == 0;
}

PyObject* new_method(const MethodSpec& spec, PyTypeObject* owner) noexcept {
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(MethodObject, &MethodType)));
    if (!self) return nullptr;
    MethodObject* m = as_method(self.get());
    m->vectorcall = method_vectorcall;
    m->spec = &spec;
    m->owner = owner;
    m->name = m->qualname = m->module = m->doc = m->annotations = nullptr;
    m->parameter_count = 0;
    for (PyObject*& p : m->parameter_names) p = nullptr;
    std::snprintf(m->traceback_name, sizeof m->traceback_name, "%s%s", kTracebackPrefix, spec.name);
    PyObject_GC_Track(self.get());

    m->name = PyUnicode_InternFromString(spec.name);
    m->qualname = PyUnicode_FromFormat("Ellipsoid.%s", spec.name);
    m->module = PyUnicode_FromString("quorvane.mathtools.ellipsoid.ellipsoid");
    m->doc = PyUnicode_FromString(spec.doc);
    m->annotations = PyDict_New();
    if (!m->name || !m->qualname || !m->module || !m->doc || !m->annotations) return nullptr;
    for (const char* parameter : spec.parameters) {
        if (parameter == nullptr) break;
        PyObject* name = PyUnicode_InternFromString(parameter);
        if (name == nullptr) return nullptr;
        m->parameter_names[m->parameter_count++] = name;
    }
    for (const Annotation& a : spec.annotations) {
        if (a.name == nullptr) break;
        Ref text = Ref::steal(PyUnicode_FromString(a.text));
        if (!text || PyDict_SetItemString(m->annotations, a.name, text.get()) < 0) return nullptr;
    }
    return self.release();
}

}  // namespace quorvane::ellipsoid
