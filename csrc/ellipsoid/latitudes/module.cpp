// The extension module quorvane.mathtools.ellipsoid._latitudes: element loops of
// the auxiliary latitudes, radii and meridian distance for
// quorvane.mathtools.ellipsoid.latitudes, which checks and prepares their
// arguments.
//
// Every function takes the Ellipsoid first and reads its equatorial radius and
// flattening from the object. The loops take a float64 column of N values or of
// one value and write a column of N float64 (the radii: rows of four), any
// strides and alignment, without the interpreter lock, split over threads for
// long loops; the kernels cannot fail (bad values come out NaN). `one` takes a
// plain number as the user gave it and returns its float64 result (else None:
// the caller takes the array path, which reports every error).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_20_API_VERSION
#define NPY_TARGET_VERSION NPY_1_20_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL quorvane_latitudes_ARRAY_API
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include <tuple>

#include "common/buffer.h"
#include "common/parallel.h"
#include "common/ref.h"
#include "ellipsoid/companion.h"
#include "ellipsoid/kernels/latitudes.h"
#include "quorvane/mathtools/ellipsoid/ellipsoid.h"

namespace quorvane::ellipsoid::latitudes {
namespace {

using py::Ref;

struct LatitudesState : companion::StateBase {
    static constexpr const char* kName = "quorvane.mathtools.ellipsoid._latitudes";
    static constexpr const char* kDoc =
        "Element loops of the auxiliary latitudes (see quorvane.mathtools.ellipsoid.latitudes).";
    static PyMethodDef functions[];

    auto references() noexcept { return std::tie(); }

    int exec() noexcept { return PyArray_ImportNumPyAPI() < 0 ? -1 : 0; }
};

bool read_ellipsoid(PyObject* module, PyObject* ell, double& a, double& f) noexcept {
    const QuorvaneEllipsoidObject* self =
        companion::ellipsoid_of(companion::state_of<LatitudesState>(module), ell);
    if (self == nullptr) return false;
    a = self->Re, f = self->f;
    if (!(f >= 0 && f < 1)) {
        PyErr_Format(PyExc_ValueError,
                     "ell: latitudes are computed for flattenings 0 <= f < 1, got f = %R",
                     Ref::steal(PyFloat_FromDouble(f)).get());
        return false;
    }
    return true;
}

// A kind by its index in Kind (the order of _registry.KINDS).
bool read_kind(PyObject* o, const char* name, Kind& kind) noexcept {
    const long k = PyLong_AsLong(o);
    if (k == -1 && PyErr_Occurred()) return false;
    if (k < 0 || k >= kKinds) {
        PyErr_Format(PyExc_ValueError, "%s must be a kind in [0, %d), got %ld", name, kKinds, k);
        return false;
    }
    kind = static_cast<Kind>(k);
    return true;
}

// The functions of one latitude.
enum class Map : int {
    convert,
    isometric,
    from_isometric,
    meridian_distance,
    latitude_at_meridian_distance,
};

// One value of `map`: the conversions are built once per loop by the caller.
inline double evaluate(Map map, const Shape& g, const Conversion& conversion, double x) noexcept {
    switch (map) {
        case Map::convert: return conversion(x);
        case Map::isometric: return isometric(g, x);
        case Map::from_isometric: return from_isometric(g, x);
        case Map::meridian_distance: return meridian_distance(g, conversion, x);
        case Map::latitude_at_meridian_distance:
            return latitude_at_meridian_distance(g, conversion, x);
    }
    return kNaN;
}

// The conversion `map` needs: the pair's for convert, to and from the rectifying
// latitude for the meridian, none (geodetic to geodetic) for the others.
inline Conversion conversion_of(const Shape& g, Map map, Kind from, Kind to) noexcept {
    switch (map) {
        case Map::convert: return Conversion(g, from, to);
        case Map::meridian_distance: return Conversion(g, Kind::geodetic, Kind::rectifying);
        case Map::latitude_at_meridian_distance:
            return Conversion(g, Kind::rectifying, Kind::geodetic);
        default: return Conversion(g, Kind::geodetic, Kind::geodetic);
    }
}

// Some tens of nanoseconds a value (the exact forms' Newton iterations some hundreds).
constexpr common::Split kValues{common::kParallelThreshold, common::kMinChunk, 4096};

// (ell, [from, to,] x, out): out[i] = map(x[i]); x of N values or one.
template <Map map>
PyObject* loop(PyObject* module, PyObject* const* args) noexcept {
    double a, f;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    Kind from = Kind::geodetic, to = Kind::geodetic;
    int first = 1;
    if constexpr (map == Map::convert) {
        if (!read_kind(args[1], "from", from) || !read_kind(args[2], "to", to)) return nullptr;
        first = 3;
    }
    py::DoubleBuffer in, out;
    if (!out.acquire(args[first + 1], "out", 0, true) || !in.acquire(args[first], "x", 0, false))
        return nullptr;
    const Py_ssize_t n = out.rows();
    if (in.rows() != n && in.rows() != 1) {
        PyErr_SetString(PyExc_ValueError, "x must have the rows of out or one");
        return nullptr;
    }
    const common::Column x = in.column();
    const common::OutColumn y = out.out_column();
    const Shape g(a, f);
    const Conversion conversion = conversion_of(g, map, from, to);
    const py::AllowThreads unlocked;
    common::parallel_for(
        n,
        [&](Py_ssize_t begin, Py_ssize_t end) {
            for (Py_ssize_t i = begin; i < end; ++i) y.put(i, evaluate(map, g, conversion, x[i]));
        },
        kValues);
    Py_RETURN_NONE;
}

// (ell, lat, out): rows of meridional, prime vertical, gaussian and geocentric radii.
PyObject* radii_loop(PyObject* module, PyObject* const* args) noexcept {
    double a, f;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    py::DoubleBuffer in, out;
    if (!out.acquire(args[2], "out", 4, true) || !in.acquire(args[1], "lat", 0, false))
        return nullptr;
    const Py_ssize_t n = out.rows();
    if (in.rows() != n && in.rows() != 1) {
        PyErr_SetString(PyExc_ValueError, "lat must have the rows of out or one");
        return nullptr;
    }
    const common::Column x = in.column();
    const common::OutRows y = out.out_rows();
    const Shape g(a, f);
    const py::AllowThreads unlocked;
    common::parallel_for(
        n,
        [&](Py_ssize_t begin, Py_ssize_t end) {
            for (Py_ssize_t i = begin; i < end; ++i) {
                const Radii r = radii(g, x[i]);
                y.put(i, 0, r.meridional);
                y.put(i, 1, r.prime_vertical);
                y.put(i, 2, r.gaussian);
                y.put(i, 3, r.geocentric);
            }
        },
        kValues);
    Py_RETURN_NONE;
}

// Degrees to radians and back, as math.radians and numpy.radians/degrees compute them.
constexpr double kRadians = 3.141592653589793238462643383279502884 / 180.0;
constexpr double kDegrees = 180.0 / 3.141592653589793238462643383279502884;

// (ell, map, from, to, x, degrees): map(x) of one plain number as a float64 scalar,
// with the bits of the loop; None for anything but a plain number.
PyObject* one(PyObject* module, PyObject* const* args) noexcept {
    double x;
    if (!companion::plain_number(args[4], &x)) Py_RETURN_NONE;
    double a, f;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    const long which = PyLong_AsLong(args[1]);
    if (which == -1 && PyErr_Occurred()) return nullptr;
    if (which < 0 || which > static_cast<long>(Map::latitude_at_meridian_distance)) {
        PyErr_Format(PyExc_ValueError, "no function %ld", which);
        return nullptr;
    }
    const Map map = static_cast<Map>(which);
    Kind from, to;
    if (!read_kind(args[2], "from", from) || !read_kind(args[3], "to", to)) return nullptr;
    const int degrees = PyObject_IsTrue(args[5]);
    if (degrees < 0) return nullptr;
    // Angles in: every argument but a distance; out: every result but a distance.
    if (degrees && map != Map::latitude_at_meridian_distance) x *= kRadians;
    const Shape g(a, f);
    double y = evaluate(map, g, conversion_of(g, map, from, to), x);
    if (degrees && map != Map::meridian_distance) y *= kDegrees;
    PyObject* scalar = PyArrayScalar_New(Double);
    if (scalar != nullptr) PyArrayScalar_ASSIGN(scalar, Double, y);
    return scalar;
}

// (ell) -> (rectifying radius, authalic radius).
PyObject* radius(PyObject* module, PyObject* const* args) noexcept {
    double a, f;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    const Shape g(a, f);
    return Py_BuildValue("(dd)", g.rectifying_radius, g.authalic_radius);
}

PyMethodDef LatitudesState::functions[] = {
    companion::entry<&loop<Map::convert>, 5>("convert",
                                             "(ell, from, to, x, out): the latitudes of kind "
                                             "`to` whose latitudes of kind `from` are x."),
    companion::entry<&loop<Map::isometric>, 3>("isometric",
                                               "(ell, lat, out): isometric latitudes."),
    companion::entry<&loop<Map::from_isometric>, 3>(
        "from_isometric", "(ell, psi, out): geodetic latitudes of isometric latitudes."),
    companion::entry<&loop<Map::meridian_distance>, 3>(
        "meridian_distance", "(ell, lat, out): distances along the meridian from the equator."),
    companion::entry<&loop<Map::latitude_at_meridian_distance>, 3>(
        "latitude_at_meridian_distance",
        "(ell, s, out): geodetic latitudes at distances along the meridian."),
    companion::entry<&radii_loop, 3>("radii", "(ell, lat, out): rows of M, N, sqrt(MN), r."),
    companion::entry<&one, 6>("one", "(ell, function, from, to, x, degrees): one value, or None."),
    companion::entry<&radius, 1>("radius", "(ell) -> (rectifying radius, authalic radius)."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace
}  // namespace quorvane::ellipsoid::latitudes

PyMODINIT_FUNC PyInit__latitudes() {
    using quorvane::ellipsoid::latitudes::LatitudesState;
    return quorvane::ellipsoid::companion::init_module<LatitudesState>();
}
