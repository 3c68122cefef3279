// Test-only extension: uses the Ellipsoid kernel table the way another
// compiled module would, from the installed headers alone.
//
//   call_kernel(e, name, *args)     one kernel through the published table
//   Replaced                        a compiled subclass whose own table replaces
//                                   surf_normal_vector, c_solve_reduced_lat_equation
//                                   and the (final) latitude slots
//   Failing                         a compiled subclass whose kernels delegate to
//                                   the module's, except the one named by
//                                   set_failing(name), which raises RuntimeError
//   Unbuilt                         a compiled subclass whose tp_new is
//                                   PyType_GenericNew: Ellipsoid's never runs,
//                                   and its instances have no kernel table
//   threaded_lla(e, r, threads)     c_lla_from_pos and c_pos_from_lla from native
//                                   threads without the interpreter lock
//   exec_on_new_module(m)           runs the module's exec on another module object
//   FormatBuffer(format, itemsize, shape)  a writable buffer with any format string
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "quorvane/mathtools/ellipsoid/ellipsoid.h"

namespace {

PyTypeObject* ellipsoid_type = nullptr;  // owned
const QuorvaneEllipsoidKernels* base_kernels = nullptr;

const QuorvaneEllipsoidKernels* table_of(PyObject* type) {
    PyObject* capsule = PyObject_GetAttrString(type, QUORVANE_ELLIPSOID_KERNELS_CAPSULE_KEY);
    if (capsule == nullptr) return nullptr;
    auto* table =
        static_cast<const QuorvaneEllipsoidKernels*>(PyCapsule_GetPointer(capsule, nullptr));
    Py_DECREF(capsule);
    return table;
}

QuorvaneEllipsoid as_ellipsoid(PyObject* o) {
    if (!PyObject_TypeCheck(o, ellipsoid_type)) {
        PyErr_SetString(PyExc_TypeError, "an Ellipsoid is required");
        return nullptr;
    }
    return reinterpret_cast<QuorvaneEllipsoid>(o);
}

bool vector3(PyObject* seq, double* out) {
    for (Py_ssize_t i = 0; i < 3; ++i) {
        PyObject* item = PySequence_GetItem(seq, i);
        if (item == nullptr) return false;
        out[i] = PyFloat_AsDouble(item);
        Py_DECREF(item);
        if (out[i] == -1.0 && PyErr_Occurred()) return false;
    }
    return true;
}

PyObject* tuple_of(const double* v, int n) {
    PyObject* t = PyTuple_New(n);
    for (int i = 0; t && i < n; ++i) PyTuple_SET_ITEM(t, i, PyFloat_FromDouble(v[i]));
    return t;
}

// call_kernel(e, name, *args): vectors as 3-sequences, records as tuples.
PyObject* call_kernel(PyObject*, PyObject* args) {
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n < 2) {
        PyErr_SetString(PyExc_TypeError, "call_kernel(e, name, *args)");
        return nullptr;
    }
    QuorvaneEllipsoid e = as_ellipsoid(PyTuple_GET_ITEM(args, 0));
    const char* name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(args, 1));
    if (e == nullptr || name == nullptr) return nullptr;
    const QuorvaneEllipsoidKernels* k = e->kernels;
    auto arg = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(args, i + 2); };
    auto num = [&](Py_ssize_t i) { return PyFloat_AsDouble(arg(i)); };
    std::string s(name);
    double a[3], b[3], out[9];
    ENU_Frame frame;
    LLA lla;
    AER aer;
    SurfCoord point;
    // Outputs a failing kernel leaves unwritten keep this value.
    constexpr double kSentinel = 777.0;
    for (double& v : out) v = kSentinel;
    for (double* v : {&lla.lat, &lla.lon, &lla.alt, &aer.azimuth, &aer.elevation, &aer.range,
                      &point.lat, &point.lon}) {
        *v = kSentinel;
    }
    for (int i = 0; i < 3; ++i) frame.u_east[i] = frame.u_north[i] = frame.u_up[i] = kSentinel;
    int count = 0;
    PyObject* result = nullptr;
    (void)point;
    if (s == "c_reduced_lat_from_geodetic_lat") {
        double x = num(0);
        if (!PyErr_Occurred()) out[0] = k->c_reduced_lat_from_geodetic_lat(e, x);
        count = 1;
    } else if (s == "c_geodetic_lat_from_reduced_lat") {
        double x = num(0);
        if (!PyErr_Occurred()) out[0] = k->c_geodetic_lat_from_reduced_lat(e, x);
        count = 1;
    } else if (s == "surf_normal_vector") {
        SurfCoord p{num(0), num(1)};
        k->surf_normal_vector(e, p, out);
        count = 3;
    } else if (s == "surf_tangent_vector") {
        SurfCoord p{num(0), num(1)};
        k->surf_tangent_vector(e, p, out, out + 3);
        count = 6;
    } else if (s == "c_enu") {
        SurfCoord p{num(0), num(1)};
        k->c_enu(e, p, &frame);
        std::memcpy(out, &frame, sizeof frame);
        count = 9;
    } else if (s == "c_surf_pos_from_surf_coord") {
        SurfCoord p{num(0), num(1)};
        k->c_surf_pos_from_surf_coord(e, p, out);
        count = 3;
    } else if (s == "c_surf_coord_from_surf_pos") {
        if (!vector3(arg(0), a)) return nullptr;
        k->c_surf_coord_from_surf_pos(e, a, &point);
        out[0] = point.lat;
        out[1] = point.lon;
        count = 2;
    } else if (s == "c_solve_reduced_lat_equation") {
        if (!vector3(arg(0), a)) return nullptr;
        out[0] = k->c_solve_reduced_lat_equation(e, a);
        count = 1;
    } else if (s == "c_lla_from_pos") {
        if (!vector3(arg(0), a)) return nullptr;
        k->c_lla_from_pos(e, a, &lla);
        std::memcpy(out, &lla, sizeof lla);
        count = 3;
    } else if (s == "c_pos_from_lla") {
        LLA in{num(0), num(1), num(2)};
        k->c_pos_from_lla(e, in, out);
        count = 3;
    } else if (s == "c_surf_pos_of_ray_first_intersection") {
        if (!vector3(arg(0), a) || !vector3(arg(1), b)) return nullptr;
        k->c_surf_pos_of_ray_first_intersection(e, a, b, out);
        count = 3;
    } else if (s == "c_aer_coords") {
        if (!vector3(arg(0), a)) return nullptr;
        LLA obs{num(1), num(2), num(3)};
        k->c_aer_coords(e, a, obs, &aer);
        std::memcpy(out, &aer, sizeof aer);
        count = 3;
    } else {
        PyErr_Format(PyExc_ValueError, "no kernel %s", name);
        return nullptr;
    }
    result = tuple_of(out, count);
    if (PyErr_Occurred()) {
        // Hand the outputs back with the error, to show what stayed unwritten.
        PyObject* error = PyErr_GetRaisedException();
        if (result != nullptr) PyObject_SetAttrString(error, "outputs", result);
        Py_XDECREF(result);
        PyErr_SetRaisedException(error);
        return nullptr;
    }
    return result;
}

// -- A subclass with some kernels replaced ---------------------------------------

double replaced_solve(QuorvaneEllipsoid, const double*) {
    return 0.5;
}
void replaced_normal(QuorvaneEllipsoid, SurfCoord, double* u) {
    u[0] = 0.0;
    u[1] = 0.0;
    u[2] = 1.0;
}
double poisoned_latitude(QuorvaneEllipsoid, double) {
    return 1234.0;
}

QuorvaneEllipsoidKernels replaced_kernels;

// -- A subclass with a failing kernel ----------------------------------------------

std::string failing;  // the name of the kernel that raises
QuorvaneEllipsoidKernels failing_kernels;

bool fail_here(const char* name) {
    if (failing != name) return false;
    PyGILState_STATE gil = PyGILState_Ensure();
    PyErr_Format(PyExc_RuntimeError, "%s failed", name);
    PyGILState_Release(gil);
    return true;
}

#define FAILING_WRAPPER(ret, name, params, call) \
    ret failing_##name params {                  \
        if (fail_here(#name)) return ret();      \
        return base_kernels->name call;          \
    }
FAILING_WRAPPER(void, surf_normal_vector, (QuorvaneEllipsoid s, SurfCoord p, double* u), (s, p, u))
FAILING_WRAPPER(void, surf_tangent_vector, (QuorvaneEllipsoid s, SurfCoord p, double* e, double* n),
                (s, p, e, n))
FAILING_WRAPPER(void, c_enu, (QuorvaneEllipsoid s, SurfCoord p, ENU_Frame* f), (s, p, f))
FAILING_WRAPPER(void, c_surf_pos_from_surf_coord, (QuorvaneEllipsoid s, SurfCoord p, double* r),
                (s, p, r))
FAILING_WRAPPER(void, c_surf_coord_from_surf_pos,
                (QuorvaneEllipsoid s, const double* r, SurfCoord* p), (s, r, p))
FAILING_WRAPPER(double, c_solve_reduced_lat_equation, (QuorvaneEllipsoid s, const double* r),
                (s, r))
FAILING_WRAPPER(void, c_lla_from_pos, (QuorvaneEllipsoid s, const double* r, LLA* l), (s, r, l))
FAILING_WRAPPER(void, c_pos_from_lla, (QuorvaneEllipsoid s, LLA l, double* r), (s, l, r))
FAILING_WRAPPER(void, c_surf_pos_of_ray_first_intersection,
                (QuorvaneEllipsoid s, const double* r, const double* u, double* o), (s, r, u, o))
FAILING_WRAPPER(void, c_aer_coords, (QuorvaneEllipsoid s, const double* r, LLA l, AER* a),
                (s, r, l, a))
#undef FAILING_WRAPPER

PyObject* set_failing(PyObject*, PyObject* name) {
    const char* s = PyUnicode_AsUTF8(name);
    if (s == nullptr) return nullptr;
    failing = s;
    Py_RETURN_NONE;
}

// A subclass whose tp_new installs `table` after the base's allocation.
template <const QuorvaneEllipsoidKernels* table>
PyObject* subclass_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* self = ellipsoid_type->tp_new(type, args, kwargs);
    if (self != nullptr) reinterpret_cast<QuorvaneEllipsoidObject*>(self)->kernels = table;
    return self;
}

PyObject* make_subclass(const char* name, newfunc tp_new, const QuorvaneEllipsoidKernels* table) {
    PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void*>(tp_new)}, {0, nullptr}};
    PyType_Spec spec = {name, static_cast<int>(sizeof(QuorvaneEllipsoidObject)), 0,
                        Py_TPFLAGS_DEFAULT, slots};
    PyObject* bases = PyTuple_Pack(1, reinterpret_cast<PyObject*>(ellipsoid_type));
    if (bases == nullptr) return nullptr;
    PyObject* type = PyType_FromSpecWithBases(&spec, bases);
    Py_DECREF(bases);
    if (type == nullptr || table == nullptr) return type;
    // Publish the subclass's own table the way the base publishes its own.
    PyObject* capsule =
        PyCapsule_New(const_cast<QuorvaneEllipsoidKernels*>(table), nullptr, nullptr);
    if (capsule == nullptr ||
        PyObject_SetAttrString(type, QUORVANE_ELLIPSOID_KERNELS_CAPSULE_KEY, capsule) < 0) {
        Py_XDECREF(capsule);
        Py_DECREF(type);
        return nullptr;
    }
    Py_DECREF(capsule);
    return type;
}

// -- Native threads ------------------------------------------------------------------

// threaded_lla(e, positions, threads): every thread converts all positions to
// LLA and back through the table, without the interpreter lock; returns the
// LLA of the first thread and whether all threads agreed bit for bit.
PyObject* threaded_lla(PyObject*, PyObject* args) {
    PyObject *obj, *positions;
    int threads;
    if (!PyArg_ParseTuple(args, "OOi", &obj, &positions, &threads)) return nullptr;
    QuorvaneEllipsoid e = as_ellipsoid(obj);
    if (e == nullptr) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(positions, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return nullptr;
    const Py_ssize_t n = view.len / static_cast<Py_ssize_t>(3 * sizeof(double));
    const double* r = static_cast<const double*>(view.buf);
    std::vector<std::vector<double>> results(threads, std::vector<double>(6 * n));
    Py_BEGIN_ALLOW_THREADS std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (Py_ssize_t i = 0; i < n; ++i) {
                LLA lla;
                e->kernels->c_lla_from_pos(e, r + 3 * i, &lla);
                double back[3];
                e->kernels->c_pos_from_lla(e, lla, back);
                double* out = results[t].data() + 6 * i;
                std::memcpy(out, &lla, sizeof lla);
                std::memcpy(out + 3, back, sizeof back);
            }
        });
    }
    for (std::thread& th : pool) th.join();
    Py_END_ALLOW_THREADS PyBuffer_Release(&view);
    bool agree = true;
    for (int t = 1; t < threads; ++t) {
        agree = agree && std::memcmp(results[t].data(), results[0].data(),
                                     results[0].size() * sizeof(double)) == 0;
    }
    PyObject* list = PyList_New(n);
    for (Py_ssize_t i = 0; list && i < n; ++i) {
        PyList_SET_ITEM(list, i, tuple_of(results[0].data() + 6 * i, 6));
    }
    return Py_BuildValue("(NO)", list, agree ? Py_True : Py_False);
}

// -- Re-initialisation on another module object ------------------------------------

PyObject* exec_on_new_module(PyObject*, PyObject* module) {
    PyModuleDef* def = PyModule_GetDef(module);
    if (def == nullptr) return nullptr;
    PyObject* other = PyModule_New("other");
    if (other == nullptr) return nullptr;
    const int rc = PyModule_ExecDef(other, def);
    Py_DECREF(other);
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

// -- A buffer with any format string -------------------------------------------------

struct FormatBuffer {
    PyObject_HEAD char* format;
    Py_ssize_t itemsize;
    int ndim;
    Py_ssize_t shape[4];
    Py_ssize_t strides[4];
    Py_ssize_t suboffsets[4];
    bool indirect;
    char* data;
};

void format_buffer_dealloc(PyObject* self) {
    auto* b = reinterpret_cast<FormatBuffer*>(self);
    PyMem_Free(b->format);
    PyMem_Free(b->data);
    Py_TYPE(self)->tp_free(self);
}

// FormatBuffer(format, itemsize, shape, indirect=False)
PyObject* format_buffer_new(PyTypeObject* type, PyObject* args, PyObject*) {
    const char* format;
    Py_ssize_t itemsize;
    PyObject* shape;
    int indirect = 0;
    if (!PyArg_ParseTuple(args, "snO|p", &format, &itemsize, &shape, &indirect)) return nullptr;
    auto* b = reinterpret_cast<FormatBuffer*>(type->tp_alloc(type, 0));
    if (b == nullptr) return nullptr;
    b->format = static_cast<char*>(PyMem_Malloc(std::strlen(format) + 1));
    std::strcpy(b->format, format);
    b->itemsize = itemsize;
    b->ndim = static_cast<int>(PySequence_Size(shape));
    Py_ssize_t total = itemsize;
    for (int d = b->ndim - 1; d >= 0; --d) {
        PyObject* item = PySequence_GetItem(shape, d);
        b->shape[d] = PyLong_AsSsize_t(item);
        Py_XDECREF(item);
        b->strides[d] = total;
        b->suboffsets[d] = indirect ? 0 : -1;
        total *= b->shape[d];
    }
    b->indirect = indirect;
    b->data = static_cast<char*>(PyMem_Calloc(total > 0 ? total : 1, 1));
    return reinterpret_cast<PyObject*>(b);
}

int format_buffer_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* b = reinterpret_cast<FormatBuffer*>(self);
    if (b->indirect && (flags & PyBUF_INDIRECT) != PyBUF_INDIRECT) {
        PyErr_SetString(PyExc_BufferError, "indirect buffer");
        return -1;
    }
    view->buf = b->data;
    view->obj = Py_NewRef(self);
    Py_ssize_t len = b->itemsize;
    for (int d = 0; d < b->ndim; ++d) len *= b->shape[d];
    view->len = len;
    view->readonly = 0;
    view->itemsize = b->itemsize;
    view->format = b->format;
    view->ndim = b->ndim;
    view->shape = b->shape;
    view->strides = b->strides;
    view->suboffsets = b->indirect ? b->suboffsets : nullptr;
    view->internal = nullptr;
    return 0;
}

PyBufferProcs format_buffer_procs = {format_buffer_getbuffer, nullptr};

PyMethodDef functions[] = {
    {"call_kernel", call_kernel, METH_VARARGS, nullptr},
    {"set_failing", set_failing, METH_O, nullptr},
    {"threaded_lla", threaded_lla, METH_VARARGS, nullptr},
    {"exec_on_new_module", exec_on_new_module, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject FormatBufferType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "_kernelprobe.FormatBuffer",
    .tp_basicsize = sizeof(FormatBuffer),
    .tp_dealloc = format_buffer_dealloc,
    .tp_as_buffer = &format_buffer_procs,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_new = format_buffer_new,
};

int probe_exec(PyObject* module) {
    PyObject* ellipsoid = PyImport_ImportModule("quorvane.mathtools.ellipsoid.ellipsoid");
    if (ellipsoid == nullptr) return -1;
    ellipsoid_type =
        reinterpret_cast<PyTypeObject*>(PyObject_GetAttrString(ellipsoid, "Ellipsoid"));
    Py_DECREF(ellipsoid);
    if (ellipsoid_type == nullptr) return -1;
    base_kernels = table_of(reinterpret_cast<PyObject*>(ellipsoid_type));
    if (base_kernels == nullptr) return -1;

    replaced_kernels = *base_kernels;
    replaced_kernels.c_reduced_lat_from_geodetic_lat = poisoned_latitude;
    replaced_kernels.c_geodetic_lat_from_reduced_lat = poisoned_latitude;
    replaced_kernels.surf_normal_vector = replaced_normal;
    replaced_kernels.c_solve_reduced_lat_equation = replaced_solve;

    failing_kernels = *base_kernels;
    failing_kernels.surf_normal_vector = failing_surf_normal_vector;
    failing_kernels.surf_tangent_vector = failing_surf_tangent_vector;
    failing_kernels.c_enu = failing_c_enu;
    failing_kernels.c_surf_pos_from_surf_coord = failing_c_surf_pos_from_surf_coord;
    failing_kernels.c_surf_coord_from_surf_pos = failing_c_surf_coord_from_surf_pos;
    failing_kernels.c_solve_reduced_lat_equation = failing_c_solve_reduced_lat_equation;
    failing_kernels.c_lla_from_pos = failing_c_lla_from_pos;
    failing_kernels.c_pos_from_lla = failing_c_pos_from_lla;
    failing_kernels.c_surf_pos_of_ray_first_intersection =
        failing_c_surf_pos_of_ray_first_intersection;
    failing_kernels.c_aer_coords = failing_c_aer_coords;

    PyObject* replaced =
        make_subclass("_kernelprobe.Replaced", subclass_new<&replaced_kernels>, &replaced_kernels);
    if (PyModule_Add(module, "Replaced", replaced) < 0) return -1;
    PyObject* failing_type =
        make_subclass("_kernelprobe.Failing", subclass_new<&failing_kernels>, &failing_kernels);
    if (PyModule_Add(module, "Failing", failing_type) < 0) return -1;
    PyObject* unbuilt = make_subclass("_kernelprobe.Unbuilt", PyType_GenericNew, nullptr);
    if (PyModule_Add(module, "Unbuilt", unbuilt) < 0) return -1;
    if (PyType_Ready(&FormatBufferType) < 0) return -1;
    return PyModule_AddObjectRef(module, "FormatBuffer",
                                 reinterpret_cast<PyObject*>(&FormatBufferType));
}

PyModuleDef_Slot probe_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(probe_exec)}, {0, nullptr}};
PyModuleDef probe_module = {PyModuleDef_HEAD_INIT, "_kernelprobe", nullptr, 0,      functions,
                            probe_slots,           nullptr,        nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__kernelprobe() {
    return PyModuleDef_Init(&probe_module);
}
