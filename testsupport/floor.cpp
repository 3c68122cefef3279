// The benchmark floor: a plain C++ loop over the Ellipsoid kernels, nothing else.
//
// Built by floor_adapter.py at run time against the installed headers, with the module's own
// compiler flags. The kernel table is taken from the type's dictionary (the "__pyx_vtable__"
// capsule), so the loop calls exactly the kernels a compiled consumer of the module would call.
//
//   run(e, kernel, out, in0, in1=None, in2=None, hold_gil=False)
//
// `out` and the inputs are C-contiguous buffers of doubles (structured result arrays are
// read as raw bytes: their records are packed doubles). The loop runs with the
// interpreter lock released unless `hold_gil` is true. Kernels and their operands:
//
//   reduced_lat   x[N]                        -> double[N]
//   geodetic_lat  x[N]                        -> double[N]
//   enu           lat[N], lon[N]              -> ENU_Frame[N]
//   surf_pos      lat[N], lon[N]              -> double[N][3]
//   surf_coord    r[N][3]                     -> SurfCoord[N]
//   solve         r[N][3]                     -> double[N]
//   lla           r[N][3]                     -> LLA[N]
//   pos           lat[N], lon[N], alt[N]      -> double[N][3]
//   ray           r_source[3], u[N][3]        -> double[N][3]
//   aer           r[N][3], lla_obs[3]         -> AER[N]  (observer recomputed per target)
//   aer_once      r[N][3], lla_obs[3]         -> AER[N]  the observer's position and frame from
//                 the kernels once, then per target a subtraction, three dot products, a norm,
//                 an atan2 and an asin (of the quotient clamped to [-1, 1]) written out here
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <cstring>

#include "quorvane/mathtools/ellipsoid/ellipsoid.h"

namespace {

struct Buffer {
    Py_buffer view{};
    bool held = false;
    ~Buffer() {
        if (held) PyBuffer_Release(&view);
    }
    bool get(PyObject* o, bool writable, const char* what) {
        int flags = PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(o, &view, flags) != 0) return false;
        held = true;
        if (view.len % static_cast<Py_ssize_t>(sizeof(double)) != 0) {
            PyErr_Format(PyExc_ValueError, "%s: not a buffer of doubles", what);
            return false;
        }
        return true;
    }
    Py_ssize_t doubles() const { return view.len / static_cast<Py_ssize_t>(sizeof(double)); }
    double* data() const { return static_cast<double*>(view.buf); }
};

enum class Kernel {
    reduced_lat,
    geodetic_lat,
    enu,
    surf_pos,
    surf_coord,
    solve,
    lla,
    pos,
    ray,
    aer,
    aer_once
};

struct KernelInfo {
    const char* name;
    Kernel kernel;
    int inputs;    // number of input buffers
    int out_size;  // doubles per point in the result
};

constexpr KernelInfo kKernels[] = {
    {"reduced_lat", Kernel::reduced_lat, 1, 1},
    {"geodetic_lat", Kernel::geodetic_lat, 1, 1},
    {"enu", Kernel::enu, 2, 9},
    {"surf_pos", Kernel::surf_pos, 2, 3},
    {"surf_coord", Kernel::surf_coord, 1, 2},
    {"solve", Kernel::solve, 1, 1},
    {"lla", Kernel::lla, 1, 3},
    {"pos", Kernel::pos, 3, 3},
    {"ray", Kernel::ray, 2, 3},
    {"aer", Kernel::aer, 2, 3},
    {"aer_once", Kernel::aer_once, 2, 3},
};

// Doubles per point of each input (0: a fixed 3-vector shared by all points).
int input_size(Kernel k, int i) {
    switch (k) {
        case Kernel::surf_coord:
        case Kernel::solve:
        case Kernel::lla: return 3;
        case Kernel::ray: return i == 0 ? 0 : 3;
        case Kernel::aer:
        case Kernel::aer_once: return i == 0 ? 3 : 0;
        default: return 1;
    }
}

void loop(Kernel kernel, QuorvaneEllipsoid e, const QuorvaneEllipsoidKernels* k, Py_ssize_t n,
          double* out, const double* a, const double* b, const double* c) {
    switch (kernel) {
        case Kernel::reduced_lat:
            for (Py_ssize_t i = 0; i < n; ++i) out[i] = k->c_reduced_lat_from_geodetic_lat(e, a[i]);
            break;
        case Kernel::geodetic_lat:
            for (Py_ssize_t i = 0; i < n; ++i) out[i] = k->c_geodetic_lat_from_reduced_lat(e, a[i]);
            break;
        case Kernel::enu: {
            auto* frames = reinterpret_cast<ENU_Frame*>(out);
            for (Py_ssize_t i = 0; i < n; ++i) k->c_enu(e, SurfCoord{a[i], b[i]}, &frames[i]);
            break;
        }
        case Kernel::surf_pos:
            for (Py_ssize_t i = 0; i < n; ++i)
                k->c_surf_pos_from_surf_coord(e, SurfCoord{a[i], b[i]}, out + 3 * i);
            break;
        case Kernel::surf_coord: {
            auto* points = reinterpret_cast<SurfCoord*>(out);
            for (Py_ssize_t i = 0; i < n; ++i)
                k->c_surf_coord_from_surf_pos(e, a + 3 * i, &points[i]);
            break;
        }
        case Kernel::solve:
            for (Py_ssize_t i = 0; i < n; ++i)
                out[i] = k->c_solve_reduced_lat_equation(e, a + 3 * i);
            break;
        case Kernel::lla: {
            auto* records = reinterpret_cast<LLA*>(out);
            for (Py_ssize_t i = 0; i < n; ++i) k->c_lla_from_pos(e, a + 3 * i, &records[i]);
            break;
        }
        case Kernel::pos:
            for (Py_ssize_t i = 0; i < n; ++i)
                k->c_pos_from_lla(e, LLA{a[i], b[i], c[i]}, out + 3 * i);
            break;
        case Kernel::ray:
            for (Py_ssize_t i = 0; i < n; ++i)
                k->c_surf_pos_of_ray_first_intersection(e, a, b + 3 * i, out + 3 * i);
            break;
        case Kernel::aer: {
            auto* records = reinterpret_cast<AER*>(out);
            const LLA obs{b[0], b[1], b[2]};
            for (Py_ssize_t i = 0; i < n; ++i) k->c_aer_coords(e, a + 3 * i, obs, &records[i]);
            break;
        }
        case Kernel::aer_once: {
            auto* records = reinterpret_cast<AER*>(out);
            const LLA obs{b[0], b[1], b[2]};
            double r_obs[3];
            ENU_Frame frame;
            k->c_pos_from_lla(e, obs, r_obs);
            k->c_enu(e, SurfCoord{obs.lat, obs.lon}, &frame);
            for (Py_ssize_t i = 0; i < n; ++i) {
                const double* t = a + 3 * i;
                const double d[3] = {t[0] - r_obs[0], t[1] - r_obs[1], t[2] - r_obs[2]};
                const double east =
                    d[0] * frame.u_east[0] + d[1] * frame.u_east[1] + d[2] * frame.u_east[2];
                const double north =
                    d[0] * frame.u_north[0] + d[1] * frame.u_north[1] + d[2] * frame.u_north[2];
                const double up =
                    d[0] * frame.u_up[0] + d[1] * frame.u_up[1] + d[2] * frame.u_up[2];
                const double range = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
                double q = up / range;
                q = q > 1.0 ? 1.0 : (q < -1.0 ? -1.0 : q);  // NaN stays NaN
                records[i].range = range;
                records[i].azimuth = std::atan2(east, north);
                records[i].elevation = std::asin(q);
            }
            break;
        }
    }
}

PyObject* run(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"e",   "kernel", "out",      "in0",
                                     "in1", "in2",    "hold_gil", nullptr};
    PyObject *obj, *out_obj, *in_obj[3] = {Py_None, Py_None, Py_None};
    const char* name;
    int hold_gil = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OsOO|OOp", const_cast<char**>(keywords), &obj,
                                     &name, &out_obj, &in_obj[0], &in_obj[1], &in_obj[2],
                                     &hold_gil))
        return nullptr;

    // The kernel table of the object's type, from its published capsule.
    PyObject* capsule = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)),
                                               QUORVANE_ELLIPSOID_KERNELS_CAPSULE_KEY);
    if (capsule == nullptr) return nullptr;
    auto* table =
        static_cast<const QuorvaneEllipsoidKernels*>(PyCapsule_GetPointer(capsule, nullptr));
    Py_DECREF(capsule);
    if (table == nullptr) return nullptr;
    auto e = reinterpret_cast<QuorvaneEllipsoid>(obj);

    const KernelInfo* info = nullptr;
    for (const auto& candidate : kKernels)
        if (std::strcmp(candidate.name, name) == 0) info = &candidate;
    if (info == nullptr) {
        PyErr_Format(PyExc_ValueError, "unknown kernel %s", name);
        return nullptr;
    }

    Buffer out, in[3];
    if (!out.get(out_obj, true, "out")) return nullptr;
    Py_ssize_t n = out.doubles() / info->out_size;
    if (n * info->out_size != out.doubles()) {
        PyErr_SetString(PyExc_ValueError, "out: size is not a whole number of results");
        return nullptr;
    }
    for (int i = 0; i < 3; ++i) {
        if (i >= info->inputs) {
            if (in_obj[i] != Py_None) {
                PyErr_Format(PyExc_TypeError, "%s takes %d inputs", name, info->inputs);
                return nullptr;
            }
            continue;
        }
        if (!in[i].get(in_obj[i], false, "input")) return nullptr;
        int size = input_size(info->kernel, i);
        Py_ssize_t expected = size == 0 ? 3 : n * size;
        if (in[i].doubles() != expected) {
            PyErr_Format(PyExc_ValueError, "input %d of %s: %zd doubles, expected %zd", i, name,
                         in[i].doubles(), expected);
            return nullptr;
        }
    }

    const double* a = info->inputs > 0 ? in[0].data() : nullptr;
    const double* b = info->inputs > 1 ? in[1].data() : nullptr;
    const double* c = info->inputs > 2 ? in[2].data() : nullptr;
    if (hold_gil) {
        loop(info->kernel, e, table, n, out.data(), a, b, c);
    } else {
        Py_BEGIN_ALLOW_THREADS loop(info->kernel, e, table, n, out.data(), a, b, c);
        Py_END_ALLOW_THREADS
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(run)),
     METH_VARARGS | METH_KEYWORDS,
     "run(e, kernel, out, in0, in1=None, in2=None, hold_gil=False): loop one kernel."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "_bench_floor",
                      "A plain C++ loop over the Ellipsoid kernels.", -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit__bench_floor(void) {
    return PyModule_Create(&module);
}
