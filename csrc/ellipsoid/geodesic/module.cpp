// The extension module quorvane.mathtools.ellipsoid._geodesic: element loops of
// the geodesic problems for quorvane.mathtools.ellipsoid.geodesic, which checks
// and prepares their arguments.
//
// The loops take the ellipsoid as its equatorial radius a and flattening f, then
// C-contiguous float64 columns of N values or of one value (one value serves
// every row), and write rows of three float64 into a C-contiguous (N, 3)
// buffer. They run without the interpreter lock, split over threads for long
// loops; the kernels cannot fail (bad rows come out NaN).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/buffer.h"
#include "common/parallel.h"
#include "common/ref.h"
#include "ellipsoid/geodesic/kernels.h"

namespace quorvane::geodesic {
namespace {

// One input column: N values, or one value for every row.
struct Column {
    const double* data;
    Py_ssize_t step;  // 1, or 0 for a single value
    double operator[](Py_ssize_t i) const noexcept { return data[i * step]; }
};

bool read_ellipsoid(PyObject* const* args, double& a, double& f) noexcept {
    a = PyFloat_AsDouble(args[0]);
    if (a == -1 && PyErr_Occurred()) return false;
    f = PyFloat_AsDouble(args[1]);
    if (f == -1 && PyErr_Occurred()) return false;
    if (!(a > 0 && std::isfinite(a)) || !Geodesic::supports(f)) {
        PyErr_Format(PyExc_ValueError,
                     "geodesics need 0 < Re < inf and 0 <= f <= 1/50 (the series' range), got "
                     "Re = %R, f = %R",
                     args[0], args[1]);
        return false;
    }
    return true;
}

enum class Problem { inverse, direct };

// (a, f, c0, c1, c2, c3, out): the problem row by row into out.
template <Problem problem>
PyObject* solve(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 7) {
        PyErr_SetString(PyExc_TypeError, "expected 7 arguments (a, f, four columns, out)");
        return nullptr;
    }
    double a, f;
    if (!read_ellipsoid(args, a, f)) return nullptr;
    static const char* const names[2][4] = {{"lat1", "lon1", "lat2", "lon2"},
                                            {"lat1", "lon1", "azi1", "s12"}};
    py::DoubleRows in[4], out;
    if (!out.acquire(args[6], "out", 3, true)) return nullptr;
    const Py_ssize_t n = out.rows();
    Column c[4];
    for (int k = 0; k < 4; ++k) {
        const char* name = names[problem == Problem::direct][k];
        if (!in[k].acquire(args[2 + k], name, 0, false)) return nullptr;
        if (in[k].rows() != n && in[k].rows() != 1) {
            PyErr_Format(PyExc_ValueError, "%s must have the rows of out or one", name);
            return nullptr;
        }
        c[k] = Column{in[k].data(), in[k].rows() == 1 ? 0 : 1};
    }
    double* dst = out.data();
    const Geodesic g(a, f);
    const py::AllowThreads unlocked;
    common::parallel_for(n, [&](Py_ssize_t begin, Py_ssize_t end) {
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
    });
    Py_RETURN_NONE;
}

// (a, f, lat1, lon1, lat2, lon2) -> (s12, azi1, azi2): one pair, no arrays.
PyObject* inverse_one(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 6) {
        PyErr_SetString(PyExc_TypeError, "expected 6 arguments (a, f, lat1, lon1, lat2, lon2)");
        return nullptr;
    }
    double a, f, v[4];
    if (!read_ellipsoid(args, a, f)) return nullptr;
    for (int k = 0; k < 4; ++k) {
        v[k] = PyFloat_AsDouble(args[2 + k]);
        if (v[k] == -1 && PyErr_Occurred()) return nullptr;
    }
    const InverseResult r = inverse(Geodesic(a, f), v[0], v[1], v[2], v[3]);
    return Py_BuildValue("(ddd)", r.s12, r.azi1, r.azi2);
}

// (a, f, lat1, lon1, azi1, s12) -> (lat2, lon2, azi2): one point, no arrays.
PyObject* direct_one(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 6) {
        PyErr_SetString(PyExc_TypeError, "expected 6 arguments (a, f, lat1, lon1, azi1, s12)");
        return nullptr;
    }
    double a, f, v[4];
    if (!read_ellipsoid(args, a, f)) return nullptr;
    for (int k = 0; k < 4; ++k) {
        v[k] = PyFloat_AsDouble(args[2 + k]);
        if (v[k] == -1 && PyErr_Occurred()) return nullptr;
    }
    const DirectResult r = direct(Geodesic(a, f), v[0], v[1], v[2], v[3]);
    return Py_BuildValue("(ddd)", r.lat2, r.lon2, r.azi2);
}

// (a, f, lat, lon, closed, signed) -> (area, length): a path of geodesic edges.
// With `closed`, the polygon's area (to the left of the path; with `signed`,
// counter-clockwise positive, the smaller side) and perimeter; else the path's
// length and NaN.
PyObject* path(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 6) {
        PyErr_SetString(PyExc_TypeError, "expected 6 arguments (a, f, lat, lon, closed, signed)");
        return nullptr;
    }
    double a, f;
    if (!read_ellipsoid(args, a, f)) return nullptr;
    py::DoubleRows lat, lon;
    if (!lat.acquire(args[2], "lat", 0, false) || !lon.acquire(args[3], "lon", 0, false))
        return nullptr;
    if (lat.rows() != lon.rows()) {
        PyErr_SetString(PyExc_ValueError, "lat and lon must have the same length");
        return nullptr;
    }
    const int closed = PyObject_IsTrue(args[4]);
    const int signed_area = PyObject_IsTrue(args[5]);
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
                               "(a, f, lat1, lon1, lat2, lon2, out): s12, azi1, azi2 rows."),
    QUORVANE_GEODESIC_FUNCTION("direct", &solve<Problem::direct>,
                               "(a, f, lat1, lon1, azi1, s12, out): lat2, lon2, azi2 rows."),
    QUORVANE_GEODESIC_FUNCTION("inverse_one", &inverse_one,
                               "(a, f, lat1, lon1, lat2, lon2) -> (s12, azi1, azi2)."),
    QUORVANE_GEODESIC_FUNCTION("direct_one", &direct_one,
                               "(a, f, lat1, lon1, azi1, s12) -> (lat2, lon2, azi2)."),
    QUORVANE_GEODESIC_FUNCTION("path", &path,
                               "(a, f, lat, lon, closed, signed) -> (area, length)."),
    {nullptr, nullptr, 0, nullptr},
};
#undef QUORVANE_GEODESIC_FUNCTION

PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quorvane.mathtools.ellipsoid._geodesic",
    .m_doc = "Element loops of the geodesic problems (see quorvane.mathtools.ellipsoid.geodesic).",
    .m_size = 0,
    .m_methods = functions,
    .m_slots = slots,
};

}  // namespace
}  // namespace quorvane::geodesic

PyMODINIT_FUNC PyInit__geodesic() {
    return PyModuleDef_Init(&quorvane::geodesic::module_def);
}
