// The extension module quorvane.mathtools.ellipsoid._frames: element loops of
// the local-frame conversions (East-North-Up, North-East-Down, azimuth/
// elevation/range) for quorvane.mathtools.ellipsoid.frames, which prepares
// their arguments.
//
// Every function takes (ell, source, observers, out): `source` and `out` are
// (N, 3) float64 buffers, `observers` an (M, 3) float64 buffer of geodetic
// (lat, lon, alt) rows with M == N (one observer per row) or M == 1 (one
// observer for all rows), each of any strides and alignment. Angles are radians. Each
// also has a one-point form, <name>_point, which takes the frames function's
// own arguments and returns its result for plain numbers, or None.
//
// The observer's position and frame are those of Ellipsoid.enu and
// Ellipsoid.aer_coords: the formulas c_pos_from_lla and c_enu, with nested
// kernels called directly as the methods call them (one function computes
// both, shared with the methods' element loop). A local vector is the three
// dot products of the observer-to-target vector with the frame's axes, by the
// package's own vector routines, and azimuth, elevation and range are
// finished by the aer kernel's own last step with those routines, so they
// come out bit for bit as aer_coords gives them.
//
// An object carrying the module's own kernel table is computed with the
// formulas called directly, without the interpreter lock and split over
// threads for long loops. An object of a compiled subclass with a table of
// its own is computed through that table on the calling thread, with the
// lock held and an error test after every kernel call.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <tuple>

#define NPY_NO_DEPRECATED_API NPY_1_20_API_VERSION
#define NPY_TARGET_VERSION NPY_1_20_API_VERSION
#include <numpy/arrayobject.h>

#include "common/buffer.h"
#include "common/parallel.h"
#include "common/ref.h"
#include "ellipsoid/companion.h"
#include "ellipsoid/kernels/dispatch.h"
#include "ellipsoid/longitude.h"
#include "quorvane/mathtools/ellipsoid/ellipsoid.h"
#include "vectools/routines.h"

namespace quorvane::ellipsoid::frames {
namespace {

using py::Ref;
using Object = QuorvaneEllipsoidObject;
using Table = QuorvaneEllipsoidKernels;
using Direct = kernels::DirectInline<QuorvaneEllipsoid>;
using companion::plain_number;

// The module's state: the Ellipsoid type and the kernel table it publishes, and
// the record dtypes of one-point results (quorvane.datamodel's LLA_dtype,
// AER_dtype and SurfCoord_dtype).
struct FramesState : companion::StateBase {
    static constexpr const char* kName = "quorvane.mathtools.ellipsoid._frames";
    static constexpr const char* kDoc =
        "Element loops of the local-frame conversions (see quorvane.mathtools.ellipsoid.frames).";
    static PyMethodDef functions[];

    const Table* own_table;
    PyArray_Descr* lla_dtype;   // strong
    PyArray_Descr* aer_dtype;   // strong
    PyArray_Descr* surf_dtype;  // strong
    auto references() noexcept { return std::tie(lla_dtype, aer_dtype, surf_dtype); }

    // The kernel table the type publishes, the NumPy C API and the record dtypes.
    int exec() noexcept {
        Ref capsule = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(ellipsoid_type),
                                                        QUORVANE_ELLIPSOID_KERNELS_CAPSULE_KEY));
        if (!capsule) return -1;
        own_table = static_cast<const Table*>(PyCapsule_GetPointer(capsule.get(), nullptr));
        if (own_table == nullptr) return -1;
        if (PyArray_ImportNumPyAPI() < 0) return -1;
        return companion::record_dtypes({{"LLA_dtype", &lla_dtype},
                                         {"AER_dtype", &aer_dtype},
                                         {"SurfCoord_dtype", &surf_dtype}})
                   ? 0
                   : -1;
    }
};

const FramesState& state_of(PyObject* module) noexcept {
    return companion::state_of<FramesState>(module);
}

// -- Arithmetic shared by every conversion -------------------------------------

// The vector routines take plain pointers, as their exported signatures do,
// and write only through their last one.
inline double dot(const double* u, const double* v) noexcept {
    return vectools::dot(const_cast<double*>(u), const_cast<double*>(v));
}
inline void difference(const double* u, const double* v, double* out) noexcept {
    vectools::sub(const_cast<double*>(u), const_cast<double*>(v), out);
}

// Components of d along the axes of `frame`: east, north, up.
inline void local_from_vector(const ENU_Frame& frame, const double* d, double* enu) noexcept {
    const double east = dot(d, frame.u_east);
    const double north = dot(d, frame.u_north);
    const double up = dot(d, frame.u_up);
    enu[0] = east;
    enu[1] = north;
    enu[2] = up;
}

// The vector with east, north and up components `enu`, in ECEF axes.
inline void vector_from_local(const ENU_Frame& frame, const double* enu, double* v) noexcept {
    const double east = enu[0], north = enu[1], up = enu[2];
    for (int k = 0; k < 3; ++k)
        v[k] = (east * frame.u_east[k] + north * frame.u_north[k]) + up * frame.u_up[k];
}

// East, north and up components of azimuth, elevation and range.
inline void local_from_aer(const double* aer, double* enu) noexcept {
    const double azimuth = aer[0], elevation = aer[1], range = aer[2];
    const double horizontal = range * std::cos(elevation);
    enu[0] = horizontal * std::sin(azimuth);
    enu[1] = horizontal * std::cos(azimuth);
    enu[2] = range * std::sin(elevation);
}

// -- The kernels, called directly or through an object's table -----------------

// Position of geodetic `lla`, the formula's nested kernels inlined into one
// function: the sine and cosine of the longitude are computed once for the
// surface point and the normal (the same values, so the same bits). Results go
// to locals first: a store through `r` could otherwise alias the ellipsoid's
// fields, and the compiler would read them and recompute after every store.
[[gnu::noinline, gnu::flatten]] void position(const Object* self, LLA lla, double* r) noexcept {
    double r_local[3];
    kernels::c_pos_from_lla<Direct>(self, lla, r_local);
    r[0] = r_local[0], r[1] = r_local[1], r[2] = r_local[2];
}

// Frame of an observer, inlined likewise: the normal and the tangents share
// the sine and cosine of the longitude.
[[gnu::noinline, gnu::flatten]] void frame_at(const Object* self, SurfCoord coord,
                                              ENU_Frame* frame) noexcept {
    ENU_Frame frame_local;
    kernels::c_enu<Direct>(self, coord, &frame_local);
    *frame = frame_local;
}

// Geodetic coordinates of a position, as one real call like the methods make it.
[[gnu::noinline]] void geodetic(const Object* self, const double* r, LLA* lla) noexcept {
    kernels::c_lla_from_pos<Direct>(self, r, lla);
}

// The module's own formulas: nothing can fail and no interpreter object is touched.
struct Own {
    static constexpr bool checked = false;
    const Object* self;
    bool pos_from_lla(LLA lla, double* r) const noexcept {
        position(self, lla, r);
        return true;
    }
    bool pos_and_enu(LLA lla, double* r, ENU_Frame* frame) const noexcept {
        kernels::observer_position_and_frame(self, lla, r, frame);
        return true;
    }
    bool enu(SurfCoord coord, ENU_Frame* frame) const noexcept {
        frame_at(self, coord, frame);
        return true;
    }
    bool lla_from_pos(const double* r, LLA* lla) const noexcept {
        geodetic(self, r, lla);
        return true;
    }
    // Azimuth, elevation and range of r_target from an observer at r_obs with `frame`.
    bool aer(const double* r_target, LLA, const double* r_obs, const ENU_Frame& frame,
             AER* aer) const noexcept {
        double d[3];
        difference(r_target, r_obs, d);
        kernels::finish_aer<Direct>(d, &frame, aer);
        return true;
    }
};

// A compiled subclass's table: called with the interpreter lock held, each
// call followed by the error test.
struct ThroughTable {
    static constexpr bool checked = true;
    const Object* self;
    bool pos_from_lla(LLA lla, double* r) const noexcept {
        self->kernels->c_pos_from_lla(self, lla, r);
        return PyErr_Occurred() == nullptr;
    }
    bool enu(SurfCoord coord, ENU_Frame* frame) const noexcept {
        self->kernels->c_enu(self, coord, frame);
        return PyErr_Occurred() == nullptr;
    }
    bool pos_and_enu(LLA lla, double* r, ENU_Frame* frame) const noexcept {
        return pos_from_lla(lla, r) && enu(SurfCoord{lla.lat, lla.lon}, frame);
    }
    bool lla_from_pos(const double* r, LLA* lla) const noexcept {
        self->kernels->c_lla_from_pos(self, r, lla);
        return PyErr_Occurred() == nullptr;
    }
    // The table's own aer kernel, as Ellipsoid.aer_coords calls it.
    bool aer(const double* r_target, LLA lla_obs, const double*, const ENU_Frame&,
             AER* aer) const noexcept {
        self->kernels->c_aer_coords(self, r_target, lla_obs, aer);
        return PyErr_Occurred() == nullptr;
    }
};

// -- The conversions -------------------------------------------------------------

enum class Op {
    enu_from_pos,
    ned_from_pos,
    enu_from_lla,
    aer_from_lla,
    aer_from_pos,
    pos_from_enu,
    pos_from_ned,
    lla_from_enu,
    pos_from_aer,
    lla_from_aer,
    enu_from_ecef_vector,
    ecef_vector_from_enu,
};

// Rotations only: the observer's position is not needed.
constexpr bool needs_position(Op op) noexcept {
    return op != Op::enu_from_ecef_vector && op != Op::ecef_vector_from_enu;
}

// With one observer these take a few multiplications and additions per row:
// a thread pays for itself only on far longer loops than the kernels need.
constexpr bool linear(Op op) noexcept {
    return op == Op::enu_from_pos || op == Op::ned_from_pos || op == Op::pos_from_enu ||
           op == Op::pos_from_ned || op == Op::enu_from_ecef_vector ||
           op == Op::ecef_vector_from_enu;
}
inline constexpr Py_ssize_t kLinearParallelThreshold = 1000000;

// An observer: geodetic coordinates, position and frame.
struct Observer {
    LLA lla;
    double r[3];
    ENU_Frame frame;

    template <Op op, class K>
    bool prepare(const K& k, const double* row) noexcept {
        lla = LLA{row[0], row[1], row[2]};
        if constexpr ((op == Op::aer_from_lla || op == Op::aer_from_pos) && K::checked) {
            return true;  // the table's own aer kernel places the observer
        } else if constexpr (needs_position(op)) {
            return k.pos_and_enu(lla, r, &frame);
        } else {
            return k.enu(SurfCoord{lla.lat, lla.lon}, &frame);
        }
    }
};

// Row i of the conversion `op`: source row `in`, observer `obs`, output row `out`.
template <Op op, class K>
bool convert_row(const K& k, const Observer& obs, const double* in, double* out) noexcept {
    switch (op) {
        case Op::enu_from_pos:
        case Op::ned_from_pos: {
            double d[3], enu[3];
            difference(in, obs.r, d);
            local_from_vector(obs.frame, d, enu);
            if (op == Op::enu_from_pos) {
                out[0] = enu[0], out[1] = enu[1], out[2] = enu[2];
            } else {
                out[0] = enu[1], out[1] = enu[0], out[2] = -enu[2];
            }
            return true;
        }
        case Op::enu_from_lla: {
            double r[3];
            if (!k.pos_from_lla(LLA{in[0], in[1], in[2]}, r)) return false;
            double d[3];
            difference(r, obs.r, d);
            local_from_vector(obs.frame, d, out);
            return true;
        }
        case Op::aer_from_lla: {
            double r[3];
            if (!k.pos_from_lla(LLA{in[0], in[1], in[2]}, r)) return false;
            AER aer;
            if (!k.aer(r, obs.lla, obs.r, obs.frame, &aer)) return false;
            out[0] = aer.azimuth, out[1] = aer.elevation, out[2] = aer.range;
            return true;
        }
        case Op::aer_from_pos: {
            AER aer;
            if (!k.aer(in, obs.lla, obs.r, obs.frame, &aer)) return false;
            out[0] = aer.azimuth, out[1] = aer.elevation, out[2] = aer.range;
            return true;
        }
        case Op::pos_from_enu:
        case Op::pos_from_ned:
        case Op::lla_from_enu:
        case Op::pos_from_aer:
        case Op::lla_from_aer: {
            double enu[3];
            if (op == Op::pos_from_ned) {
                enu[0] = in[1], enu[1] = in[0], enu[2] = -in[2];
            } else if (op == Op::pos_from_aer || op == Op::lla_from_aer) {
                local_from_aer(in, enu);
            } else {
                enu[0] = in[0], enu[1] = in[1], enu[2] = in[2];
            }
            double v[3], r[3];
            vector_from_local(obs.frame, enu, v);
            for (int c = 0; c < 3; ++c) r[c] = obs.r[c] + v[c];
            if (op == Op::lla_from_enu || op == Op::lla_from_aer) {
                LLA lla;
                if (!k.lla_from_pos(r, &lla)) return false;
                out[0] = lla.lat, out[1] = lla.lon, out[2] = lla.alt;
            } else {
                out[0] = r[0], out[1] = r[1], out[2] = r[2];
            }
            return true;
        }
        case Op::enu_from_ecef_vector: {
            double enu[3];
            local_from_vector(obs.frame, in, enu);
            out[0] = enu[0], out[1] = enu[1], out[2] = enu[2];
            return true;
        }
        case Op::ecef_vector_from_enu: {
            double v[3];
            vector_from_local(obs.frame, in, v);
            out[0] = v[0], out[1] = v[1], out[2] = v[2];
            return true;
        }
    }
    return true;
}

// Row i of `rows`, copied out of memory of any alignment for the kernels.
struct Row {
    double v[3];
    Row(common::Rows rows, Py_ssize_t i) noexcept
        : v{rows.at(i, 0), rows.at(i, 1), rows.at(i, 2)} {}
};

// Rows [begin, end): with one observer `shared` is ready; else each row's
// observer is prepared from its own row of `observers`.
template <Op op, class K>
bool convert_rows(const K& k, common::Rows source, common::Rows observers, bool one_observer,
                  const Observer& shared, common::OutRows out, Py_ssize_t begin,
                  Py_ssize_t end) noexcept {
    for (Py_ssize_t i = begin; i < end; ++i) {
        const Row in(source, i);
        double row[3];
        if (one_observer) {
            if (!convert_row<op>(k, shared, in.v, row)) return false;
        } else {
            Observer obs;
            if (!obs.prepare<op>(k, Row(observers, i).v)) return false;
            if (!convert_row<op>(k, obs, in.v, row)) return false;
        }
        out.put(i, row[0], row[1], row[2]);
    }
    return true;
}

// -- Arguments -------------------------------------------------------------------

template <Op op>
PyObject* convert(PyObject* module, PyObject* const* args) noexcept {
    const FramesState& state = state_of(module);
    const Object* self = companion::ellipsoid_of(state, args[0]);
    if (self == nullptr) return nullptr;
    if (self->kernels == nullptr) {  // a compiled subclass that installed no table
        PyErr_SetString(PyExc_TypeError, "ell has no kernel table");
        return nullptr;
    }
    py::DoubleBuffer source, observers, out;
    if (!source.acquire(args[1], "source", 3, false) ||
        !observers.acquire(args[2], "observers", 3, false) ||
        !out.acquire(args[3], "out", 3, true)) {
        return nullptr;
    }
    const Py_ssize_t n = source.rows();
    if (out.rows() != n || (observers.rows() != n && observers.rows() != 1)) {
        PyErr_SetString(PyExc_ValueError,
                        "out must have the rows of source, observers those rows or one");
        return nullptr;
    }
    const bool one_observer = observers.rows() == 1;
    const common::Rows src = source.row_view(), obs = observers.row_view();
    const common::OutRows dst = out.out_rows();

    if (self->kernels == state.own_table) {
        const Own k{self};
        const py::AllowThreads unlocked;
        Observer shared;
        if (one_observer) shared.prepare<op>(k, Row(obs, 0).v);
        if (one_observer && linear(op) && n < kLinearParallelThreshold) {
            convert_rows<op>(k, src, obs, true, shared, dst, 0, n);
        } else {
            common::parallel_for(n, [&](Py_ssize_t begin, Py_ssize_t end) {
                convert_rows<op>(k, src, obs, one_observer, shared, dst, begin, end);
            });
        }
    } else {
        const ThroughTable k{self};
        Observer shared;
        if (one_observer && !shared.prepare<op>(k, Row(obs, 0).v)) return nullptr;
        if (!convert_rows<op>(k, src, obs, one_observer, shared, dst, 0, n)) return nullptr;
    }
    Py_RETURN_NONE;
}

// -- One point -------------------------------------------------------------------
//
// A call with plain numbers (a target vector as a list or tuple of three of them,
// or a float64 array of shape (3,)) is converted here, with no array built but
// the result: the element loop's own row, so the same bits. Anything else gives
// None, and frames.py takes the array path, which also reports every error.

// Geodetic or AER input (three numbers), else a 3-vector.
constexpr bool takes_triple(Op op) noexcept {
    return op == Op::enu_from_lla || op == Op::aer_from_lla || op == Op::pos_from_aer ||
           op == Op::lla_from_aer;
}

// Geodetic input: the first number is a latitude.
constexpr bool takes_latitude(Op op) noexcept {
    return op == Op::enu_from_lla || op == Op::aer_from_lla;
}

// The records of the result, or nullptr for a 3-vector.
PyArray_Descr* result_dtype(const FramesState& state, Op op) noexcept {
    switch (op) {
        case Op::aer_from_lla:
        case Op::aer_from_pos: return state.aer_dtype;
        case Op::lla_from_enu:
        case Op::lla_from_aer: return state.lla_dtype;
        default: return nullptr;
    }
}

// numpy.radians and numpy.degrees: one product with the constant.
constexpr double kRadiansPerDegree = std::numbers::pi / 180.0;
constexpr double kDegreesPerRadian = 180.0 / std::numbers::pi;

// A fresh (3,) float64 array, or one record of `dtype`, holding `values`.
PyObject* point_result(PyArray_Descr* dtype, const double* values) noexcept {
    return dtype != nullptr ? companion::one_record(dtype, values) : companion::one_vector(values);
}

// (ell, lat, lon, alt | azimuth, elevation, range | vector, lat_obs, lon_obs,
// alt_obs, degrees): the result of one point, or None.
template <Op op>
PyObject* convert_point(PyObject* module, PyObject* const* args) noexcept {
    const FramesState& state = state_of(module);
    constexpr Py_ssize_t sources = takes_triple(op) ? 3 : 1;
    if (!PyObject_TypeCheck(args[0], state.ellipsoid_type)) Py_RETURN_NONE;
    const auto* self = reinterpret_cast<const Object*>(args[0]);
    if (self->kernels != state.own_table) Py_RETURN_NONE;
    double in[3], observer[3];
    const bool plain =
        (sources == 3 ? plain_number(args[1], &in[0]) && plain_number(args[2], &in[1]) &&
                            plain_number(args[3], &in[2])
                      : companion::plain_vector(args[1], in)) &&
        plain_number(args[sources + 1], &observer[0]) &&
        plain_number(args[sources + 2], &observer[1]) &&
        plain_number(args[sources + 3], &observer[2]);
    if (!plain) Py_RETURN_NONE;
    const int degrees = PyObject_IsTrue(args[sources + 4]);
    if (degrees < 0) return nullptr;
    if (degrees) {
        // Longitudes and the other angles but latitudes reduced exactly by 360
        // degrees first, as the engine reduces them.
        observer[1] = longitude::reduce_degrees(observer[1]);
        if (takes_triple(op)) {
            if (!takes_latitude(op)) in[0] = longitude::reduce_degrees(in[0]);  // an azimuth
            in[1] = longitude::reduce_degrees(in[1]);
        }
        observer[0] *= kRadiansPerDegree, observer[1] *= kRadiansPerDegree;
        if (takes_triple(op)) in[0] *= kRadiansPerDegree, in[1] *= kRadiansPerDegree;
    }
    // A latitude past the poles makes latitude and longitude NaN, as frames.py
    // does for arrays: the kernels would fold it into the other hemisphere.
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    if (std::fabs(observer[0]) > std::numbers::pi / 2) observer[0] = observer[1] = kNaN;
    if (takes_latitude(op) && std::fabs(in[0]) > std::numbers::pi / 2) in[0] = in[1] = kNaN;
    PyArray_Descr* dtype = result_dtype(state, op);
    const Own k{self};
    Observer obs;
    obs.prepare<op>(k, observer);
    double out[3];
    convert_row<op>(k, obs, in, out);
    if (degrees && dtype != nullptr) out[0] *= kDegreesPerRadian, out[1] *= kDegreesPerRadian;
    return point_result(dtype, out);
}

// (ell, r, degrees): the geodetic or surface coordinates of one position of
// plain numbers, as the Ellipsoid method of the same name gives them for a
// (3,) array, or None.
template <bool surface>
PyObject* coordinates_point(PyObject* module, PyObject* const* args) noexcept {
    const FramesState& state = state_of(module);
    if (!Py_IS_TYPE(args[0], state.ellipsoid_type)) Py_RETURN_NONE;
    const auto* self = reinterpret_cast<const Object*>(args[0]);
    double r[3];
    if (self->kernels != state.own_table || !companion::plain_vector(args[1], r)) Py_RETURN_NONE;
    const int degrees = PyObject_IsTrue(args[2]);
    if (degrees < 0) return nullptr;
    double out[3];
    if constexpr (surface) {
        SurfCoord coord;
        kernels::c_surf_coord_from_surf_pos<Direct>(self, r, &coord);
        out[0] = coord.lat, out[1] = coord.lon;
    } else {
        LLA lla;
        geodetic(self, r, &lla);
        out[0] = lla.lat, out[1] = lla.lon, out[2] = lla.alt;
    }
    if (degrees) out[0] *= kDegreesPerRadian, out[1] *= kDegreesPerRadian;
    return companion::one_record(surface ? state.surf_dtype : state.lla_dtype, out);
}

// The two entries of a conversion: its element loop, and its one-point form.
template <Op op>
PyMethodDef loop_entry(const char* name) noexcept {
    return companion::entry<&convert<op>, 4>(
        name, "(ell, source, observers, out): the conversion row by row into out.");
}

template <Op op>
PyMethodDef point_entry(const char* name) noexcept {
    return companion::entry<&convert_point<op>, takes_triple(op) ? 8 : 6>(
        name,
        "(ell, source..., lat_obs, lon_obs, alt_obs, degrees): the conversion of one point of "
        "plain numbers, or None.");
}

PyMethodDef FramesState::functions[] = {
    loop_entry<Op::enu_from_pos>("enu_from_pos"),
    loop_entry<Op::ned_from_pos>("ned_from_pos"),
    loop_entry<Op::enu_from_lla>("enu_from_lla"),
    loop_entry<Op::aer_from_lla>("aer_from_lla"),
    loop_entry<Op::aer_from_pos>("aer_from_pos"),
    loop_entry<Op::pos_from_enu>("pos_from_enu"),
    loop_entry<Op::pos_from_ned>("pos_from_ned"),
    loop_entry<Op::lla_from_enu>("lla_from_enu"),
    loop_entry<Op::pos_from_aer>("pos_from_aer"),
    loop_entry<Op::lla_from_aer>("lla_from_aer"),
    loop_entry<Op::enu_from_ecef_vector>("enu_from_ecef_vector"),
    loop_entry<Op::ecef_vector_from_enu>("ecef_vector_from_enu"),
    point_entry<Op::enu_from_pos>("enu_from_pos_point"),
    point_entry<Op::ned_from_pos>("ned_from_pos_point"),
    point_entry<Op::enu_from_lla>("enu_from_lla_point"),
    point_entry<Op::aer_from_lla>("aer_from_lla_point"),
    point_entry<Op::aer_from_pos>("aer_from_pos_point"),
    point_entry<Op::pos_from_enu>("pos_from_enu_point"),
    point_entry<Op::pos_from_ned>("pos_from_ned_point"),
    point_entry<Op::lla_from_enu>("lla_from_enu_point"),
    point_entry<Op::pos_from_aer>("pos_from_aer_point"),
    point_entry<Op::lla_from_aer>("lla_from_aer_point"),
    point_entry<Op::enu_from_ecef_vector>("enu_from_ecef_vector_point"),
    point_entry<Op::ecef_vector_from_enu>("ecef_vector_from_enu_point"),
    companion::entry<&coordinates_point<false>, 3>(
        "lla_from_pos_point",
        "(ell, r, degrees): Ellipsoid.lla_from_pos of one position of plain numbers, or None."),
    companion::entry<&coordinates_point<true>, 3>(
        "surf_coord_from_surf_pos_point",
        "(ell, r, degrees): Ellipsoid.surf_coord_from_surf_pos of one position of plain numbers, "
        "or None."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace
}  // namespace quorvane::ellipsoid::frames

PyMODINIT_FUNC PyInit__frames() {
    return quorvane::ellipsoid::companion::init_module<quorvane::ellipsoid::frames::FramesState>();
}
