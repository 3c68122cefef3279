// The extension module quorvane.mathtools.ellipsoid._geodesic: element loops of
// the geodesic problems for quorvane.mathtools.ellipsoid.geodesic, which checks
// and prepares their arguments.
//
// Every function takes the Ellipsoid first and reads its equatorial radius and
// flattening from the object. The loops then take C-contiguous float64 columns
// of N values or of one value (one value serves every row), and write rows of
// three float64 into a C-contiguous (N, 3) buffer. They run without the
// interpreter lock, split over threads for long loops; the kernels cannot fail
// (bad rows come out NaN). The one-pair functions take the arguments as the
// user gave them and, when they are plain numbers, return the one-record result
// themselves (else None): a single call costs little more than its kernel.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_20_API_VERSION
#define NPY_TARGET_VERSION NPY_1_20_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL quorvane_geodesic_ARRAY_API
#include <numpy/arrayobject.h>

#include <new>
#include <type_traits>

#include "common/buffer.h"
#include "common/parallel.h"
#include "common/ref.h"
#include "ellipsoid/companion.h"
#include "ellipsoid/geodesic/kernels.h"
#include "quorvane/mathtools/ellipsoid/ellipsoid.h"

namespace quorvane::geodesic {
namespace {

using py::Ref;

// The module's state: the Ellipsoid type, the dtypes of the records, and the
// constants of the ellipsoid of the last one-pair call (zeroed memory at first,
// a Geodesic built in place by geodesic_for).
static_assert(std::is_trivially_destructible_v<Geodesic>);
struct GeodesicState {
    PyTypeObject* ellipsoid_type;  // strong
    PyArray_Descr* inverse_dtype;  // strong
    PyArray_Descr* direct_dtype;   // strong
    double last_a, last_f;
    bool has_last;
    alignas(Geodesic) unsigned char last[sizeof(Geodesic)];
};

GeodesicState* state_of(PyObject* module) noexcept {
    return static_cast<GeodesicState*>(PyModule_GetState(module));
}

// The ellipsoid of args[0], checked: an Ellipsoid (of any flattening it accepts;
// the check guards the kernels' domain, 0 <= f < 1).
bool read_ellipsoid(PyObject* module, PyObject* ell, double& a, double& f) noexcept {
    if (!PyObject_TypeCheck(ell, state_of(module)->ellipsoid_type)) {
        PyErr_Format(PyExc_TypeError, "ell must be an Ellipsoid, got %.200s",
                     Py_TYPE(ell)->tp_name);
        return false;
    }
    const auto* self = reinterpret_cast<const QuorvaneEllipsoidObject*>(ell);
    a = self->Re, f = self->f;
    if (!Geodesic::supports(f)) {
        PyErr_Format(PyExc_ValueError,
                     "ell: geodesics are computed for flattenings 0 <= f < 1, got f = %R",
                     Ref::steal(PyFloat_FromDouble(f)).get());
        return false;
    }
    return true;
}

// One input column: N values, or one value for every row.
struct Column {
    const double* data;
    Py_ssize_t step;  // 1, or 0 for a single value
    double operator[](Py_ssize_t i) const noexcept { return data[i * step]; }
};

enum class Problem { inverse, direct };

// A pair costs some hundreds of nanoseconds (the inverse problem's Newton
// iteration a varying number of steps), so a thread pays for itself from a few
// hundred pairs on; blocks taken in turn even out the iterations, and threads
// slowed by other processes.
constexpr common::Split kPairs{.threshold = 2000, .min_chunk = 1000, .block = 512};

// (ell, c0, c1, c2, c3, out): the problem row by row into out.
template <Problem problem>
PyObject* solve(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 6) {
        PyErr_SetString(PyExc_TypeError, "expected 6 arguments (ell, four columns, out)");
        return nullptr;
    }
    double a, f;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    static constexpr const char* names[2][4] = {{"lat1", "lon1", "lat2", "lon2"},
                                                {"lat1", "lon1", "azi1", "s12"}};
    py::DoubleRows in[4], out;
    if (!out.acquire(args[5], "out", 3, true)) return nullptr;
    const Py_ssize_t n = out.rows();
    Column c[4];
    for (int k = 0; k < 4; ++k) {
        const char* name = names[problem == Problem::direct][k];
        if (!in[k].acquire(args[1 + k], name, 0, false)) return nullptr;
        if (in[k].rows() != n && in[k].rows() != 1) {
            PyErr_Format(PyExc_ValueError, "%s must have the rows of out or one", name);
            return nullptr;
        }
        c[k] = Column{in[k].data(), in[k].rows() == 1 ? 0 : 1};
    }
    double* dst = out.data();
    const Geodesic g(a, f);
    const py::AllowThreads unlocked;
    const auto rows = [&](Py_ssize_t begin, Py_ssize_t end) {
        if constexpr (problem == Problem::inverse) {
            for (Py_ssize_t i = begin; i < end; ++i) {
                const InverseResult r = inverse(g, c[0][i], c[1][i], c[2][i], c[3][i]);
                double* row = dst + 3 * i;
                row[0] = r.s12, row[1] = r.azi1, row[2] = r.azi2;
            }
        } else if (c[0].step == 0 && c[1].step == 0 && c[2].step == 0) {
            const Line line(g, c[0][0], c[1][0], c[2][0]);  // one geodesic, many distances
            for (Py_ssize_t i = begin; i < end; ++i) {
                double* row = dst + 3 * i;
                line.position(g, c[3][i], row[0], row[1], row[2]);
            }
        } else {
            for (Py_ssize_t i = begin; i < end; ++i) {
                const DirectResult r = direct(g, c[0][i], c[1][i], c[2][i], c[3][i]);
                double* row = dst + 3 * i;
                row[0] = r.lat2, row[1] = r.lon2, row[2] = r.azi2;
            }
        }
    };
    common::parallel_for(n, rows, kPairs);
    Py_RETURN_NONE;
}

// Degrees to radians and back, as math.radians and numpy.radians compute them.
constexpr double kRadians = kPi / 180.0;
constexpr double kDegrees = 180.0 / kPi;

// The constants of an ellipsoid for a one-pair call: those of the last call's
// ellipsoid are kept, since computing them costs a third of a direct problem.
const Geodesic& geodesic_for(GeodesicState* state, double a, double f) noexcept {
    if (!state->has_last || state->last_a != a || state->last_f != f) {
        ::new (static_cast<void*>(state->last)) Geodesic(a, f);
        state->last_a = a, state->last_f = f, state->has_last = true;
    }
    return *std::launder(reinterpret_cast<const Geodesic*>(state->last));
}

// (ell, lat1, lon1, x, y, degrees): one pair of plain numbers (floats, or ints
// within int64) gives its one-record result here, with no array built but the
// result, and the bits of the element loop; anything else gives None, and
// geodesic.py takes the array path, which also reports every error.
template <Problem problem>
PyObject* solve_one(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 6) {
        PyErr_SetString(PyExc_TypeError, "expected 6 arguments (ell, four numbers, degrees)");
        return nullptr;
    }
    double a, f, v[4];
    for (int k = 0; k < 4; ++k)
        if (!ellipsoid::companion::plain_number(args[1 + k], &v[k])) Py_RETURN_NONE;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    const int degrees = PyObject_IsTrue(args[5]);
    if (degrees < 0) return nullptr;
    // Angles in: all four for the inverse problem, the first three for the direct one.
    const int angles = problem == Problem::inverse ? 4 : 3;
    if (degrees)
        for (int k = 0; k < angles; ++k) v[k] *= kRadians;
    GeodesicState* state = state_of(module);
    const Geodesic& g = geodesic_for(state, a, f);
    double row[3];
    int first_angle;  // angles out: azi1, azi2, or lat2, lon2, azi2
    PyArray_Descr* dtype;
    if constexpr (problem == Problem::inverse) {
        const InverseResult r = inverse(g, v[0], v[1], v[2], v[3]);
        row[0] = r.s12, row[1] = r.azi1, row[2] = r.azi2;
        first_angle = 1, dtype = state->inverse_dtype;
    } else {
        const DirectResult r = direct(g, v[0], v[1], v[2], v[3]);
        row[0] = r.lat2, row[1] = r.lon2, row[2] = r.azi2;
        first_angle = 0, dtype = state->direct_dtype;
    }
    if (degrees)
        for (int k = first_angle; k < 3; ++k) row[k] *= kDegrees;
    return ellipsoid::companion::one_record(dtype, row);
}

// (ell, lat, lon, closed, signed) -> (area, length): a path of geodesic edges.
// With `closed`, the polygon's area (to the left of the path; with `signed`,
// counter-clockwise positive, the smaller side) and perimeter; else the path's
// length and NaN.
PyObject* path(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "expected 5 arguments (ell, lat, lon, closed, signed)");
        return nullptr;
    }
    double a, f;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    py::DoubleRows lat, lon;
    if (!lat.acquire(args[1], "lat", 0, false) || !lon.acquire(args[2], "lon", 0, false))
        return nullptr;
    if (lat.rows() != lon.rows()) {
        PyErr_SetString(PyExc_ValueError, "lat and lon must have the same length");
        return nullptr;
    }
    const int closed = PyObject_IsTrue(args[3]);
    const int signed_area = PyObject_IsTrue(args[4]);
    if (closed < 0 || signed_area < 0) return nullptr;
    const Py_ssize_t n = lat.rows();
    const double* y = lat.data();
    const double* x = lon.data();
    double area = std::numeric_limits<double>::quiet_NaN(), length;
    {
        const Geodesic g(a, f);
        const py::AllowThreads unlocked(n > 64);
        if (closed) {
            Polygon polygon(g);
            for (Py_ssize_t i = 0; i < n; ++i) {
                const Py_ssize_t j = i + 1 < n ? i + 1 : 0;
                polygon.add_edge(g, y[i], x[i], y[j], x[j]);
            }
            area = n == 0 ? 0 : polygon.final_area(g, signed_area != 0);
            length = n == 0 ? 0 : polygon.final_perimeter();
        } else {
            Accumulator sum;
            for (Py_ssize_t i = 0; i + 1 < n; ++i)
                sum.add(inverse(g, y[i], x[i], y[i + 1], x[i + 1]).s12);
            length = sum.value();
        }
    }
    return Py_BuildValue("(dd)", area, length);
}

#define QUORVANE_GEODESIC_FUNCTION(NAME, FUNCTION, DOC)                                          \
    {NAME, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(FUNCTION)), METH_FASTCALL, \
     DOC}

PyMethodDef functions[] = {
    QUORVANE_GEODESIC_FUNCTION("inverse", &solve<Problem::inverse>,
                               "(ell, lat1, lon1, lat2, lon2, out): s12, azi1, azi2 rows."),
    QUORVANE_GEODESIC_FUNCTION("direct", &solve<Problem::direct>,
                               "(ell, lat1, lon1, azi1, s12, out): lat2, lon2, azi2 rows."),
    QUORVANE_GEODESIC_FUNCTION(
        "inverse_one", &solve_one<Problem::inverse>,
        "(ell, lat1, lon1, lat2, lon2, degrees): one inverse record, or None."),
    QUORVANE_GEODESIC_FUNCTION(
        "direct_one", &solve_one<Problem::direct>,
        "(ell, lat1, lon1, azi1, s12, degrees): one direct record, or None."),
    QUORVANE_GEODESIC_FUNCTION("path", &path, "(ell, lat, lon, closed, signed) -> (area, length)."),
    {nullptr, nullptr, 0, nullptr},
};
#undef QUORVANE_GEODESIC_FUNCTION

// The Ellipsoid type and the record dtypes, into the module's state.
int geodesic_exec(PyObject* module) noexcept {
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    Ref type = ellipsoid::companion::ellipsoid_type();
    if (!type) return -1;
    GeodesicState* state = state_of(module);
    if (!ellipsoid::companion::record_dtypes({{"GeodesicInverse_dtype", &state->inverse_dtype},
                                              {"GeodesicDirect_dtype", &state->direct_dtype}})) {
        return -1;
    }
    state->ellipsoid_type = reinterpret_cast<PyTypeObject*>(type.release());
    return 0;
}

int geodesic_traverse(PyObject* module, visitproc visit, void* arg) noexcept {
    GeodesicState* state = state_of(module);
    Py_VISIT(state->ellipsoid_type);
    Py_VISIT(state->inverse_dtype);
    Py_VISIT(state->direct_dtype);
    return 0;
}

int geodesic_clear(PyObject* module) noexcept {
    GeodesicState* state = state_of(module);
    Py_CLEAR(state->ellipsoid_type);
    Py_CLEAR(state->inverse_dtype);
    Py_CLEAR(state->direct_dtype);
    return 0;
}

void geodesic_free(void* module) noexcept {
    geodesic_clear(static_cast<PyObject*>(module));
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&geodesic_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quorvane.mathtools.ellipsoid._geodesic",
    .m_doc = "Element loops of the geodesic problems (see quorvane.mathtools.ellipsoid.geodesic).",
    .m_size = sizeof(GeodesicState),
    .m_methods = functions,
    .m_slots = slots,
    .m_traverse = geodesic_traverse,
    .m_clear = geodesic_clear,
    .m_free = geodesic_free,
};

}  // namespace
}  // namespace quorvane::geodesic

PyMODINIT_FUNC PyInit__geodesic() {
    return PyModuleDef_Init(&quorvane::geodesic::module_def);
}
