// The extension module quorvane.mathtools.ellipsoid._geodesic: element loops of
// the geodesic problems for quorvane.mathtools.ellipsoid.geodesic, which checks
// and prepares their arguments.
//
// Every function takes the Ellipsoid first and reads its equatorial radius and
// flattening from the object. The loops then take float64 columns of N values
// or of one value (one value serves every row), and write rows of three
// float64 into an (N, 3) buffer; any strides and alignment. They run without the
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

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>

#include "common/buffer.h"
#include "common/parallel.h"
#include "common/ref.h"
#include "ellipsoid/companion.h"
#include "ellipsoid/geodesic/full.h"
#include "ellipsoid/geodesic/intersect.h"
#include "ellipsoid/geodesic/geometries.h"
#include "ellipsoid/geodesic/kernels.h"
#include "ellipsoid/kernels/rhumb.h"
#include "quorvane/mathtools/ellipsoid/ellipsoid.h"

namespace quorvane::geodesic {
namespace {

using py::Ref;
namespace companion = ellipsoid::companion;

// The module's state: the Ellipsoid type, the dtypes of the records, and the
// constants of the ellipsoid of the last one-pair call (zeroed memory at first,
// a Geodesic built in place by geodesic_for).
static_assert(std::is_trivially_destructible_v<Geodesic>);
static_assert(std::is_trivially_destructible_v<ellipsoid::rhumb::Rhumb>);
struct GeodesicState : companion::StateBase {
    static constexpr const char* kName = "quorvane.mathtools.ellipsoid._geodesic";
    static constexpr const char* kDoc =
        "Element loops of the geodesic problems (see quorvane.mathtools.ellipsoid.geodesic).";
    static PyMethodDef functions[];

    PyArray_Descr* inverse_dtype;        // strong
    PyArray_Descr* direct_dtype;         // strong
    PyArray_Descr* inverse_full_dtype;   // strong
    PyArray_Descr* direct_full_dtype;    // strong
    PyArray_Descr* rhumb_inverse_dtype;  // strong
    PyArray_Descr* rhumb_direct_dtype;   // strong
    PyArray_Descr* intersection_dtype;   // strong
    PyArray_Descr* segments_dtype;       // strong
    auto references() noexcept {
        return std::tie(inverse_dtype, direct_dtype, inverse_full_dtype, direct_full_dtype,
                        rhumb_inverse_dtype, rhumb_direct_dtype, intersection_dtype,
                        segments_dtype);
    }
    double last_a, last_f;
    bool has_last;
    alignas(Geodesic) unsigned char last[sizeof(Geodesic)];
    // Likewise the rhumb constants of the last one-line call (a rh::Rhumb built in place by
    // rhumb_for: its conversions refer to its own shape, so it stays where it is built).
    double last_rhumb_a, last_rhumb_f;
    bool has_last_rhumb;
    alignas(ellipsoid::rhumb::Rhumb) unsigned char last_rhumb[sizeof(ellipsoid::rhumb::Rhumb)];

    // The NumPy C API and the record dtypes.
    int exec() noexcept {
        if (PyArray_ImportNumPyAPI() < 0) return -1;
        return companion::record_dtypes({{"GeodesicInverse_dtype", &inverse_dtype},
                                         {"GeodesicDirect_dtype", &direct_dtype},
                                         {"GeodesicInverseFull_dtype", &inverse_full_dtype},
                                         {"GeodesicDirectFull_dtype", &direct_full_dtype},
                                         {"RhumbInverse_dtype", &rhumb_inverse_dtype},
                                         {"RhumbDirect_dtype", &rhumb_direct_dtype},
                                         {"GeodesicIntersection_dtype", &intersection_dtype},
                                         {"SegmentIntersection_dtype", &segments_dtype}})
                   ? 0
                   : -1;
    }
};

GeodesicState& state_of(PyObject* module) noexcept {
    return companion::state_of<GeodesicState>(module);
}

// The ellipsoid of args[0], checked: an Ellipsoid (of any flattening it accepts;
// the check guards the kernels' domain, 0 <= f < 1).
bool read_ellipsoid(PyObject* module, PyObject* ell, double& a, double& f) noexcept {
    const QuorvaneEllipsoidObject* self = companion::ellipsoid_of(state_of(module), ell);
    if (self == nullptr) return false;
    a = self->Re, f = self->f;
    if (!Geodesic::supports(f)) {
        PyErr_Format(PyExc_ValueError,
                     "ell: geodesics are computed for flattenings 0 <= f < 1, got f = %R",
                     Ref::steal(PyFloat_FromDouble(f)).get());
        return false;
    }
    return true;
}

enum class Problem { inverse, direct };

// A pair costs some hundreds of nanoseconds (the inverse problem's Newton
// iteration a varying number of steps), so a thread pays for itself from a few
// hundred pairs on; blocks taken in turn even out the iterations, and threads
// slowed by other processes.
constexpr common::Split kPairs{.threshold = 2000, .min_chunk = 1000, .block = 512};

// The K input columns of a row loop, args[1..K], each with the rows of out (args[1 + K],
// `width` doubles a row) or one row; false with the error set.
template <int K>
bool acquire_rows(PyObject* const* args, const char* const* names, int width,
                  py::DoubleBuffer (&in)[K], py::DoubleBuffer& out,
                  common::Column (&c)[K]) noexcept {
    if (!out.acquire(args[1 + K], "out", width, true)) return false;
    const Py_ssize_t n = out.rows();
    for (int k = 0; k < K; ++k) {
        if (!py::acquire_column(in[k], args[1 + k], names[k], n)) return false;
        c[k] = in[k].column();
    }
    return true;
}

// (ell, c0, c1, c2, c3, out): the problem row by row into out.
template <Problem problem>
PyObject* solve(PyObject* module, PyObject* const* args) noexcept {
    double a, f;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    static constexpr const char* names[2][4] = {{"lat1", "lon1", "lat2", "lon2"},
                                                {"lat1", "lon1", "azi1", "s12"}};
    py::DoubleBuffer in[4], out;
    common::Column c[4];
    if (!acquire_rows(args, names[problem == Problem::direct], 3, in, out, c)) return nullptr;
    const Py_ssize_t n = out.rows();
    const common::OutRows dst = out.out_rows();
    const Geodesic g(a, f);
    const py::AllowThreads unlocked;
    const auto rows = [&](Py_ssize_t begin, Py_ssize_t end) {
        if constexpr (problem == Problem::inverse) {
            for (Py_ssize_t i = begin; i < end; ++i) {
                const InverseResult r = inverse(g, c[0][i], c[1][i], c[2][i], c[3][i]);
                dst.put(i, r.s12, r.azi1, r.azi2);
            }
        } else if (c[0].repeated() && c[1].repeated() && c[2].repeated()) {
            const Line line(g, c[0][0], c[1][0], c[2][0]);  // one geodesic, many distances
            for (Py_ssize_t i = begin; i < end; ++i) {
                double lat2, lon2, azi2;
                line.position(g, c[3][i], lat2, lon2, azi2);
                dst.put(i, lat2, lon2, azi2);
            }
        } else {
            for (Py_ssize_t i = begin; i < end; ++i) {
                const DirectResult r = direct(g, c[0][i], c[1][i], c[2][i], c[3][i]);
                dst.put(i, r.lat2, r.lon2, r.azi2);
            }
        }
    };
    common::parallel_for(n, rows, kPairs);
    Py_RETURN_NONE;
}

// The problems with every quantity (full.h), and the direct problem over an arc.
enum class Full { inverse, direct, arc, arc_full };
template <Full kind>
constexpr int kWidth = kind == Full::inverse ? 8
                       : kind == Full::arc   ? 3
                                             : 9;

// One row of `kind` from its four inputs (radians, metres).
template <Full kind>
void full_row(const Geodesic& g, const EdgeAreaRule& area, const double* v, double* row) noexcept {
    if constexpr (kind == Full::inverse) {
        const InverseFull r = inverse_full(g, area, v[0], v[1], v[2], v[3]);
        const double out[8] = {r.s12, r.azi1, r.azi2, r.a12, r.m12, r.M12, r.M21, r.S12};
        std::copy(out, out + 8, row);
    } else {
        const DirectFull r = direct_full(g, area, v[0], v[1], v[2], v[3], kind != Full::direct);
        const double out[9] = {r.lat2, r.lon2, r.azi2, r.s12, r.a12, r.m12, r.M12, r.M21, r.S12};
        std::copy(out, out + kWidth<kind>, row);
    }
}

// (ell, c0, c1, c2, c3, out): the rows of `kind` into out, (N, its width).
template <Full kind>
PyObject* solve_full(PyObject* module, PyObject* const* args) noexcept {
    double a, f;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    static constexpr const char* names[2][4] = {{"lat1", "lon1", "lat2", "lon2"},
                                                {"lat1", "lon1", "azi1", "a12"}};
    py::DoubleBuffer in[4], out;
    common::Column c[4];
    const char* const* row_names = names[kind != Full::inverse];
    const char* const direct_names[4] = {"lat1", "lon1", "azi1", "s12"};
    if (!acquire_rows(args, kind == Full::direct ? direct_names : row_names, kWidth<kind>, in, out,
                      c))
        return nullptr;
    const Py_ssize_t n = out.rows();
    const common::OutRows dst = out.out_rows();
    const Geodesic g(a, f);
    const py::AllowThreads unlocked;
    const EdgeAreaRule area(g);
    const auto rows = [&](Py_ssize_t begin, Py_ssize_t end) {
        for (Py_ssize_t i = begin; i < end; ++i) {
            const double v[4] = {c[0][i], c[1][i], c[2][i], c[3][i]};
            double row[9];
            full_row<kind>(g, area, v, row);
            for (int k = 0; k < kWidth<kind>; ++k) dst.put(i, k, row[k]);
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
const Geodesic& geodesic_for(GeodesicState& state, double a, double f) noexcept {
    if (!state.has_last || state.last_a != a || state.last_f != f) {
        ::new (static_cast<void*>(state.last)) Geodesic(a, f);
        state.last_a = a, state.last_f = f, state.has_last = true;
    }
    return *std::launder(reinterpret_cast<const Geodesic*>(state.last));
}

// (ell, lat1, lon1, x, y, degrees): one pair of plain numbers (floats, or ints
// within int64) gives its one-record result here, with no array built but the
// result, and the bits of the element loop; anything else gives None, and
// geodesic.py takes the array path, which also reports every error.
template <Problem problem>
PyObject* solve_one(PyObject* module, PyObject* const* args) noexcept {
    double a, f, v[4];
    for (int k = 0; k < 4; ++k)
        if (!companion::plain_number(args[1 + k], &v[k])) Py_RETURN_NONE;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    const int degrees = PyObject_IsTrue(args[5]);
    if (degrees < 0) return nullptr;
    // Angles in: all four for the inverse problem, the first three for the direct one;
    // the longitudes (and the azimuth) reduced exactly by 360 degrees first, as the
    // engine reduces them.
    const int angles = problem == Problem::inverse ? 4 : 3;
    if (degrees) {
        const int other = problem == Problem::inverse ? 3 : 2;  // lon2, or azi1
        v[1] = longitude::reduce_degrees(v[1]), v[other] = longitude::reduce_degrees(v[other]);
        for (int k = 0; k < angles; ++k) v[k] *= kRadians;
    }
    GeodesicState& state = state_of(module);
    const Geodesic& g = geodesic_for(state, a, f);
    double row[3];
    int first_angle;  // angles out: azi1, azi2, or lat2, lon2, azi2
    PyArray_Descr* dtype;
    if constexpr (problem == Problem::inverse) {
        const InverseResult r = inverse(g, v[0], v[1], v[2], v[3]);
        row[0] = r.s12, row[1] = r.azi1, row[2] = r.azi2;
        first_angle = 1, dtype = state.inverse_dtype;
    } else {
        const DirectResult r = direct(g, v[0], v[1], v[2], v[3]);
        row[0] = r.lat2, row[1] = r.lon2, row[2] = r.azi2;
        first_angle = 0, dtype = state.direct_dtype;
    }
    if (degrees)
        for (int k = first_angle; k < 3; ++k) row[k] *= kDegrees;
    return companion::one_record(dtype, row);
}

// (ell, lat1, lon1, x, y, degrees): one row of `kind` for plain numbers, or None, as
// solve_one. The arc a12 is an angle (degrees in and out) never reduced by turns.
template <Full kind>
PyObject* solve_full_one(PyObject* module, PyObject* const* args) noexcept {
    double a, f, v[4];
    for (int k = 0; k < 4; ++k)
        if (!companion::plain_number(args[1 + k], &v[k])) Py_RETURN_NONE;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    const int degrees = PyObject_IsTrue(args[5]);
    if (degrees < 0) return nullptr;
    const bool inverse = kind == Full::inverse, arc = kind == Full::arc || kind == Full::arc_full;
    if (degrees) {
        v[1] = longitude::reduce_degrees(v[1]);
        v[inverse ? 3 : 2] = longitude::reduce_degrees(v[inverse ? 3 : 2]);
        for (int k = 0; k < (inverse || arc ? 4 : 3); ++k) v[k] *= kRadians;
    }
    GeodesicState& state = state_of(module);
    const Geodesic& g = geodesic_for(state, a, f);
    const EdgeAreaRule area(g);
    double row[9];
    full_row<kind>(g, area, v, row);
    if (degrees) {
        // azi1, azi2, a12; or lat2, lon2, azi2 (and a12)
        static constexpr int angles[2][4] = {{1, 2, 3, -1}, {0, 1, 2, 4}};
        for (const int k : angles[!inverse])
            if (k >= 0 && k < kWidth<kind>) row[k] *= kDegrees;
    }
    PyArray_Descr* dtype = kind == Full::inverse ? state.inverse_full_dtype
                           : kind == Full::arc   ? state.direct_dtype
                                                 : state.direct_full_dtype;
    return companion::one_record(dtype, row);
}

// -- Rhumb lines (kernels/rhumb.h) ------------------------------------------------------------

namespace rh = ellipsoid::rhumb;

// A rhumb line costs about as much as a geodesic: the same split.
// (ell, c0, c1, c2, c3, out): s12, azi12, S12 rows, or lat2, lon2, S12 rows.
template <Problem problem>
PyObject* rhumb_solve(PyObject* module, PyObject* const* args) noexcept {
    double a, f;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    static constexpr const char* names[2][4] = {{"lat1", "lon1", "lat2", "lon2"},
                                                {"lat1", "lon1", "azi12", "s12"}};
    py::DoubleBuffer in[4], out;
    common::Column c[4];
    if (!acquire_rows(args, names[problem == Problem::direct], 3, in, out, c)) return nullptr;
    const Py_ssize_t n = out.rows();
    const common::OutRows dst = out.out_rows();
    const py::AllowThreads unlocked;
    const rh::Rhumb r(a, f);
    const auto rows = [&](Py_ssize_t begin, Py_ssize_t end) {
        for (Py_ssize_t i = begin; i < end; ++i) {
            if constexpr (problem == Problem::inverse) {
                const rh::InverseResult v = rh::inverse(r, c[0][i], c[1][i], c[2][i], c[3][i]);
                dst.put(i, v.s12, v.azi12, v.S12);
            } else {
                const rh::DirectResult v = rh::direct(r, c[0][i], c[1][i], c[2][i], c[3][i]);
                dst.put(i, v.lat2, v.lon2, v.S12);
            }
        }
    };
    common::parallel_for(n, rows, kPairs);
    Py_RETURN_NONE;
}

// The rhumb constants for a one-line call: those of the last call's ellipsoid are kept, since
// computing them costs several times a line.
const rh::Rhumb& rhumb_for(GeodesicState& state, double a, double f) noexcept {
    if (!state.has_last_rhumb || state.last_rhumb_a != a || state.last_rhumb_f != f) {
        ::new (static_cast<void*>(state.last_rhumb)) rh::Rhumb(a, f);
        state.last_rhumb_a = a, state.last_rhumb_f = f, state.has_last_rhumb = true;
    }
    return *std::launder(reinterpret_cast<const rh::Rhumb*>(state.last_rhumb));
}

// (ell, lat1, lon1, x, y, degrees): one rhumb record of plain numbers, or None, as solve_one.
template <Problem problem>
PyObject* rhumb_one(PyObject* module, PyObject* const* args) noexcept {
    double a, f, v[4];
    for (int k = 0; k < 4; ++k)
        if (!companion::plain_number(args[1 + k], &v[k])) Py_RETURN_NONE;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    const int degrees = PyObject_IsTrue(args[5]);
    if (degrees < 0) return nullptr;
    const bool inverse = problem == Problem::inverse;
    if (degrees) {
        v[1] = longitude::reduce_degrees(v[1]),
        v[inverse ? 3 : 2] = longitude::reduce_degrees(v[inverse ? 3 : 2]);
        for (int k = 0; k < (inverse ? 4 : 3); ++k) v[k] *= kRadians;
    }
    GeodesicState& state = state_of(module);
    const rh::Rhumb& r = rhumb_for(state, a, f);
    double row[3];
    if constexpr (problem == Problem::inverse) {
        const rh::InverseResult x = rh::inverse(r, v[0], v[1], v[2], v[3]);
        row[0] = x.s12, row[1] = x.azi12, row[2] = x.S12;
        if (degrees) row[1] *= kDegrees;
    } else {
        const rh::DirectResult x = rh::direct(r, v[0], v[1], v[2], v[3]);
        row[0] = x.lat2, row[1] = x.lon2, row[2] = x.S12;
        if (degrees) row[0] *= kDegrees, row[1] *= kDegrees;
    }
    return companion::one_record(inverse ? state.rhumb_inverse_dtype : state.rhumb_direct_dtype,
                                 row);
}

// (ell, lat, lon, *, signed=False) -> (area, perimeter): the polygon of rhumb edges through
// the vertices and back to the first.
PyObject* rhumb_polygon(PyObject* module, PyObject* const* args, PyObject* kwnames) noexcept {
    bool signed_area = false;
    if (!companion::read_flags(args + 3, kwnames, {{"signed", &signed_area}})) return nullptr;
    double a, f;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    py::DoubleBuffer lat, lon;
    if (!lat.acquire(args[1], "lat", 0, false) || !lon.acquire(args[2], "lon", 0, false))
        return nullptr;
    if (lat.rows() != lon.rows()) {
        PyErr_SetString(PyExc_ValueError, "lat and lon must have the same length");
        return nullptr;
    }
    const Py_ssize_t n = lat.rows();
    const common::Column y = lat.column(), x = lon.column();
    double area, perimeter;
    {
        const py::AllowThreads unlocked(n > 64);
        const rh::Rhumb r(a, f);
        rh::Polygon polygon;
        for (Py_ssize_t i = 0; i < n; ++i) {
            const Py_ssize_t j = i + 1 < n ? i + 1 : 0;
            polygon.add_edge(r, y[i], x[i], y[j], x[j]);
        }
        area = n == 0 ? 0 : polygon.area(r, signed_area);
        perimeter = n == 0 ? 0 : polygon.perimeter();
    }
    return Py_BuildValue("(dd)", area, perimeter);
}

// -- Intersections (intersect.h) ------------------------------------------------------------

// A pair costs some steps of two direct problems and an inverse one: threads from fewer
// pairs on.
constexpr common::Split kIntersections{.threshold = 200, .min_chunk = 100, .block = 64};

// One row of an intersection of lines (K = 6 inputs: lat1, lon1, azi1, lat2, lon2, azi2) or
// of segments (K = 8: lat1a, lon1a, lat1b, lon1b, lat2a, lon2a, lat2b, lon2b).
template <int K>
void intersection_row(const Geodesic& g, const double* v, double* row) noexcept {
    if constexpr (K == 6) {
        const Intersection r = intersect(g, v[0], v[1], v[2], v[3], v[4], v[5]);
        row[0] = r.x, row[1] = r.y, row[2] = r.lat, row[3] = r.lon, row[4] = r.coincident;
    } else {
        const SegmentIntersection r =
            intersect_segments(g, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
        row[0] = r.at.x, row[1] = r.at.y, row[2] = r.at.lat, row[3] = r.at.lon;
        row[4] = r.at.coincident, row[5] = r.inside;
    }
}

// (ell, K columns, out): rows of K - 1 (lines) or K - 2 (segments) + ... fields.
template <int K>
PyObject* intersections(PyObject* module, PyObject* const* args) noexcept {
    constexpr int width = K == 6 ? 5 : 6;
    static constexpr const char* names[2][8] = {
        {"lat1", "lon1", "azi1", "lat2", "lon2", "azi2", "", ""},
        {"lat1a", "lon1a", "lat1b", "lon1b", "lat2a", "lon2a", "lat2b", "lon2b"}};
    double a, f;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    py::DoubleBuffer in[K], out;
    common::Column c[K];
    if (!acquire_rows(args, names[K == 8], width, in, out, c)) return nullptr;
    const Py_ssize_t n = out.rows();
    const common::OutRows dst = out.out_rows();
    const Geodesic g(a, f);
    const py::AllowThreads unlocked;
    const auto rows = [&](Py_ssize_t begin, Py_ssize_t end) {
        for (Py_ssize_t i = begin; i < end; ++i) {
            double v[K], row[6];
            for (int k = 0; k < K; ++k) v[k] = c[k][i];
            intersection_row<K>(g, v, row);
            for (int k = 0; k < width; ++k) dst.put(i, k, row[k]);
        }
    };
    common::parallel_for(n, rows, kIntersections);
    Py_RETURN_NONE;
}

// (ell, K numbers, degrees): one record of plain numbers, or None. Angles in: the lines'
// latitudes, longitudes and azimuths (longitudes and azimuths reduced by 360 first); angles
// out: lat, lon.
template <int K>
PyObject* intersection_one(PyObject* module, PyObject* const* args) noexcept {
    double a, f, v[K];
    for (int k = 0; k < K; ++k)
        if (!companion::plain_number(args[1 + k], &v[k])) Py_RETURN_NONE;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    const int degrees = PyObject_IsTrue(args[1 + K]);
    if (degrees < 0) return nullptr;
    if (degrees) {
        for (int k = 0; k < K; ++k) {
            const bool latitude = K == 6 ? k % 3 == 0 : k % 2 == 0;
            if (!latitude) v[k] = longitude::reduce_degrees(v[k]);
            v[k] *= kRadians;
        }
    }
    GeodesicState& state = state_of(module);
    const Geodesic& g = geodesic_for(state, a, f);
    double row[6];
    intersection_row<K>(g, v, row);
    if (degrees) row[2] *= kDegrees, row[3] *= kDegrees;
    return companion::one_record(K == 6 ? state.intersection_dtype : state.segments_dtype, row);
}

// The longitude `x` as the angle of one turn it stands for, [-pi, pi) or
// [-180, 180), exactly (radians as the kernels reduce them).
double end_longitude(double x, bool degrees) noexcept {
    if (degrees) {
        const double r = std::remainder(x, 360.0);
        return r == 180.0 ? -180.0 : r;
    }
    const double r = longitude::reduce_longitude(x);
    return r == longitude::kHalfTurn ? -longitude::kHalfTurn : r;
}

// (ell, lat1, lon1, lat2, lon2, n, degrees): the n waypoints of one pair of
// plain numbers, as geodesic.waypoints computes them for arrays (the inverse
// problem, then the direct problem's line at the fractions numpy.linspace
// gives, the ends as given), or None: for anything else, and for a latitude
// beyond the poles (NaN points and a warning, from the array path).
PyObject* waypoints_one(PyObject* module, PyObject* const* args) noexcept {
    double a, f, v[4];
    for (int k = 0; k < 4; ++k)
        if (!companion::plain_number(args[1 + k], &v[k])) Py_RETURN_NONE;
    const Py_ssize_t n = PyLong_AsSsize_t(args[5]);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    if (n < 2) {
        PyErr_Format(PyExc_ValueError, "n must be at least 2 (the two ends), got %zd", n);
        return nullptr;
    }
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    const int degrees = PyObject_IsTrue(args[6]);
    if (degrees < 0) return nullptr;
    const double limit = degrees ? 90.0 : kPi / 2;
    if (std::fabs(v[0]) > limit || std::fabs(v[2]) > limit) Py_RETURN_NONE;
    const double lat1 = v[0], lon1 = v[1], lat2 = v[2], lon2 = v[3];
    if (degrees) {
        v[1] = longitude::reduce_degrees(v[1]), v[3] = longitude::reduce_degrees(v[3]);
        for (double& x : v) x *= kRadians;
    }
    GeodesicState& state = state_of(module);
    const Geodesic& g = geodesic_for(state, a, f);
    const InverseResult line = inverse(g, v[0], v[1], v[2], v[3]);
    // The start as the array path gives it to the direct problem: the azimuth
    // through the output's unit and back.
    double azi1 = line.azi1;
    if (degrees) azi1 = (azi1 * kDegrees) * kRadians;
    Py_INCREF(state.direct_dtype);  // the array takes this reference, also when it fails
    Ref points = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, state.direct_dtype, 1, &n, nullptr,
                                                 nullptr, 0, nullptr));
    if (!points) return nullptr;
    double* out =
        static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(points.get())));
    if (std::isnan(line.s12)) {
        std::fill(out, out + 3 * n, std::numeric_limits<double>::quiet_NaN());
        return points.release();
    }
    const Line path(g, v[0], v[1], azi1);
    const double step = 1.0 / double(n - 1);  // numpy.linspace(0, 1, n): i * step, then 1
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double fraction = i + 1 < n ? double(i) * step : 1.0;
        double* row = out + 3 * i;
        path.position(g, fraction * line.s12, row[0], row[1], row[2]);
        if (degrees) row[0] *= kDegrees, row[1] *= kDegrees, row[2] *= kDegrees;
    }
    // The ends exactly as given (the computed last one is within nanometres of it).
    out[0] = lat1, out[1] = end_longitude(lon1, degrees);
    out[3 * (n - 1)] = lat2, out[3 * (n - 1) + 1] = end_longitude(lon2, degrees);
    return points.release();
}

// (ell, lat, lon, *, area=False, signed=False) -> (area, length): a path of
// geodesic edges. With `area`, the polygon it closes (back to its first
// vertex): its area (to the left of the path; with `signed`, counter-clockwise
// positive, the smaller side) and perimeter; else the open path's length and NaN.
PyObject* path(PyObject* module, PyObject* const* args, PyObject* kwnames) noexcept {
    bool closed = false, signed_area = false;
    if (!companion::read_flags(args + 3, kwnames, {{"area", &closed}, {"signed", &signed_area}}))
        return nullptr;
    double a, f;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    py::DoubleBuffer lat, lon;
    if (!lat.acquire(args[1], "lat", 0, false) || !lon.acquire(args[2], "lon", 0, false))
        return nullptr;
    if (lat.rows() != lon.rows()) {
        PyErr_SetString(PyExc_ValueError, "lat and lon must have the same length");
        return nullptr;
    }
    const Py_ssize_t n = lat.rows();
    const common::Column y = lat.column(), x = lon.column();
    double area = std::numeric_limits<double>::quiet_NaN(), length;
    {
        const Geodesic g(a, f);
        const py::AllowThreads unlocked(n > 64);
        if (closed) {
            Polygon polygon(g);
            polygon.add_ring(g, n, [&](std::ptrdiff_t i) { return std::pair(y[i], x[i]); });
            area = n == 0 ? 0 : polygon.final_area(g, signed_area);
            length = n == 0 ? 0 : polygon.final_perimeter(g);
        } else {
            Accumulator sum;  // on the scaled ellipsoid, in metres once at the end
            add_path(g, n, [&](std::ptrdiff_t i) { return std::pair(y[i], x[i]); }, sum);
            length = g.metres(sum.value());
        }
    }
    return Py_BuildValue("(dd)", area, length);
}

// (lon, out, degrees): longitudes reduced exactly to one turn, [-pi, pi) or
// [-180, 180) (the ends of waypoints): radians as the kernels reduce them
// (reduce_longitude), degrees by the exact remainder by 360.
PyObject* longitudes(PyObject*, PyObject* const* args) noexcept {
    const int degrees = PyObject_IsTrue(args[2]);
    if (degrees < 0) return nullptr;
    py::DoubleBuffer in, out;
    if (!out.acquire(args[1], "out", 0, true) || !in.acquire(args[0], "lon", 0, false))
        return nullptr;
    if (in.rows() != out.rows()) {
        PyErr_SetString(PyExc_ValueError, "lon must have the rows of out");
        return nullptr;
    }
    const common::Column x = in.column();
    const common::OutColumn dst = out.out_column();
    for (Py_ssize_t i = 0; i < in.rows(); ++i) dst.put(i, end_longitude(x[i], degrees));
    Py_RETURN_NONE;
}

// (ell, x, y, ring_offsets, part_offsets, geometry_offsets, length, area, *,
// closed=False, rhumb=False, fast=False): the areas, perimeters and lengths of arrays of
// geometries, their edges geodesics (in lanes with `fast`) or rhumb lines (geometries.cpp).
PyObject* geometries(PyObject* module, PyObject* const* args, PyObject* kwnames) noexcept {
    double a, f;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    return geometry_rings(a, f, args + 1, kwnames);
}

PyMethodDef GeodesicState::functions[] = {
    companion::entry<&solve<Problem::inverse>, 6>(
        "inverse", "(ell, lat1, lon1, lat2, lon2, out): s12, azi1, azi2 rows."),
    companion::entry<&solve<Problem::direct>, 6>(
        "direct", "(ell, lat1, lon1, azi1, s12, out): lat2, lon2, azi2 rows."),
    companion::entry<&solve_one<Problem::inverse>, 6>(
        "inverse_one", "(ell, lat1, lon1, lat2, lon2, degrees): one inverse record, or None."),
    companion::entry<&solve_one<Problem::direct>, 6>(
        "direct_one", "(ell, lat1, lon1, azi1, s12, degrees): one direct record, or None."),
    companion::entry<&longitudes, 3>(
        "longitudes", "(lon, out, degrees): longitudes reduced exactly to one turn."),
    companion::entry<&waypoints_one, 7>(
        "waypoints_one",
        "(ell, lat1, lon1, lat2, lon2, n, degrees): the n waypoints of one pair, or None."),
    companion::keyword_entry<&path, 3>(
        "path", "(ell, lat, lon, *, area=False, signed=False) -> (area, length)."),
    companion::entry<&solve_full<Full::inverse>, 6>(
        "inverse_full", "(ell, lat1, lon1, lat2, lon2, out): rows of every quantity."),
    companion::entry<&solve_full<Full::direct>, 6>(
        "direct_full", "(ell, lat1, lon1, azi1, s12, out): rows of every quantity."),
    companion::entry<&solve_full<Full::arc>, 6>(
        "direct_arc", "(ell, lat1, lon1, azi1, a12, out): lat2, lon2, azi2 rows."),
    companion::entry<&solve_full<Full::arc_full>, 6>(
        "direct_arc_full", "(ell, lat1, lon1, azi1, a12, out): rows of every quantity."),
    companion::entry<&solve_full_one<Full::inverse>, 6>("inverse_full_one",
                                                        "One inverse_full record, or None."),
    companion::entry<&solve_full_one<Full::direct>, 6>("direct_full_one",
                                                       "One direct_full record, or None."),
    companion::entry<&solve_full_one<Full::arc>, 6>("direct_arc_one",
                                                    "One direct_arc record, or None."),
    companion::entry<&solve_full_one<Full::arc_full>, 6>("direct_arc_full_one",
                                                         "One direct_arc_full record, or None."),
    companion::entry<&rhumb_solve<Problem::inverse>, 6>(
        "rhumb_inverse", "(ell, lat1, lon1, lat2, lon2, out): s12, azi12, S12 rows."),
    companion::entry<&rhumb_solve<Problem::direct>, 6>(
        "rhumb_direct", "(ell, lat1, lon1, azi12, s12, out): lat2, lon2, S12 rows."),
    companion::entry<&rhumb_one<Problem::inverse>, 6>("rhumb_inverse_one",
                                                      "One rhumb_inverse record, or None."),
    companion::entry<&rhumb_one<Problem::direct>, 6>("rhumb_direct_one",
                                                     "One rhumb_direct record, or None."),
    companion::keyword_entry<&rhumb_polygon, 3>(
        "rhumb_polygon", "(ell, lat, lon, *, signed=False) -> (area, perimeter)."),
    companion::entry<&intersections<6>, 8>(
        "intersect", "(ell, lat1, lon1, azi1, lat2, lon2, azi2, out): intersection rows."),
    companion::entry<&intersections<8>, 10>(
        "intersect_segments",
        "(ell, lat1a, lon1a, lat1b, lon1b, lat2a, lon2a, lat2b, lon2b, out): rows."),
    companion::entry<&intersection_one<6>, 8>("intersect_one", "One intersection record, or None."),
    companion::entry<&intersection_one<8>, 10>("intersect_segments_one",
                                               "One segment intersection record, or None."),
    companion::keyword_entry<&geometries, 8>(
        "geometries",
        "(ell, x, y, ring_offsets, part_offsets, geometry_offsets, length, area, "
        "*, closed=False, rhumb=False, fast=False): sums over the rings of geometries."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace
}  // namespace quorvane::geodesic

PyMODINIT_FUNC PyInit__geodesic() {
    return quorvane::ellipsoid::companion::init_module<quorvane::geodesic::GeodesicState>();
}
