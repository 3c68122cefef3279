// The extension module quorvane.mathtools.ellipsoid._fast: the element loops
// of quorvane.mathtools.ellipsoid.fast, which checks and prepares their
// arguments.
//
// Each function takes the Ellipsoid first, then float64 buffers of any strides
// and alignment: rows of three doubles (N, 3), or columns of N values or of one
// value; the result is an (N, 3) float64 buffer, also of any strides. The
// loops run without the interpreter lock from 256 rows, split over threads as
// the methods' loops are, with the loops of the best instruction-set level
// this machine has, or of the level QUORVANE_SIMD names (scalar, sse2, avx2,
// avx512, neon). Every level gives the same bits.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <numbers>
#include <tuple>
#include <type_traits>

#define NPY_NO_DEPRECATED_API NPY_1_20_API_VERSION
#define NPY_TARGET_VERSION NPY_1_20_API_VERSION
#include <numpy/arrayobject.h>

#include "common/buffer.h"
#include "common/parallel.h"
#include "common/ref.h"
#include "ellipsoid/companion.h"
#include "ellipsoid/fast/latitudes.h"
#include "ellipsoid/fast/level.h"
#include "ellipsoid/fast/level_choice.h"
#include "ellipsoid/fast/rhumb.h"
#include "ellipsoid/fast/transverse_mercator.h"
#include "ellipsoid/geodesic/kernels.h"
#include "ellipsoid/kernels/latitudes.h"
#include "ellipsoid/kernels/dispatch.h"
#include "ellipsoid/kernels/rhumb.h"
#include "ellipsoid/kernels/utm_grid.h"
#include "ellipsoid/longitude.h"
#include "quorvane/mathtools/ellipsoid/ellipsoid.h"

namespace quorvane::fast {
namespace {

using py::Ref;
namespace companion = ellipsoid::companion;
using Direct = ellipsoid::kernels::DirectInline<QuorvaneEllipsoid>;

// From this many rows a loop runs without the interpreter lock (as the methods do).
constexpr Py_ssize_t kUnlockedRows = 256;

// The methods' thread split, the threads taking blocks of 8192 rows (a multiple
// of every width) in turn: a thread that another process slows down does fewer
// blocks, and all end together (an equal split waits for the slowest). Every
// point's bits are its own, whichever thread and lanes compute it.
constexpr common::Split kRows{common::kParallelThreshold, common::kMinChunk, 8192};

// loop(begin, end) over the rows [0, n), split as kRows says.
template <class Loop>
void split(Py_ssize_t n, const Loop& loop) noexcept {
    common::parallel_for(n, loop, kRows);
}

// The geodesic module's kernels for one pair, for the lanes the series do not serve.
void exact_inverse(const void* g, const double* in, double* out) noexcept {
    const geodesic::InverseResult r =
        geodesic::inverse(*static_cast<const geodesic::Geodesic*>(g), in[0], in[1], in[2], in[3]);
    out[0] = r.s12, out[1] = r.azi1, out[2] = r.azi2;
}

void exact_direct(const void* g, const double* in, double* out) noexcept {
    const geodesic::DirectResult r =
        geodesic::direct(*static_cast<const geodesic::Geodesic*>(g), in[0], in[1], in[2], in[3]);
    out[0] = r.lat2, out[1] = r.lon2, out[2] = r.azi2;
}

// An ellipsoid's geodesic constants: the exact kernels' (`exact`, which must outlive
// the loops), and the lanes' from the same series (series.h).
struct GeodesicSetup {
    geodesic::Geodesic exact;
    GeodesicConstants lanes;

    GeodesicSetup(double a, double f) noexcept : exact(a, f), lanes{} {
        GeodesicConstants& g = lanes;
        g.a = a, g.f = f, g.f1 = 1 - f, g.b = a * (1 - f);
        g.e2 = f * (2 - f), g.ep2 = g.e2 / ((1 - f) * (1 - f));
        for (int j = 0; j < 6; ++j) g.a3[j] = exact.lon.a3[j];
        for (int l = 0; l < 6; ++l)
            for (int j = 0; j < 6; ++j) g.c3[l][j] = exact.lon.c3[l][j];
        // The series' flattenings (as the exact kernels take them), on lengths whose
        // products stay normal.
        g.series = !exact.exact && f >= 0 && a >= 0x1p-400 && a <= 0x1p400;
        g.refine = f > geodesic::kNewtonFlattening;
        g.exact = &exact;
        g.exact_inverse = &exact_inverse;
        g.exact_direct = &exact_direct;
    }
};

namespace rh = ellipsoid::rhumb;

// The exact kernels of one line, for the lanes the series do not serve.
void exact_rhumb_inverse(const void* r, const double* in, double* out) noexcept {
    const rh::InverseResult v =
        rh::inverse(*static_cast<const rh::Rhumb*>(r), in[0], in[1], in[2], in[3]);
    out[0] = v.s12, out[1] = v.azi12, out[2] = v.S12;
}

void exact_rhumb_direct(const void* r, const double* in, double* out) noexcept {
    const rh::DirectResult v =
        rh::direct(*static_cast<const rh::Rhumb*>(r), in[0], in[1], in[2], in[3]);
    out[0] = v.lat2, out[1] = v.lon2, out[2] = v.S12;
}

// An ellipsoid's rhumb constants: the exact kernel's (`exact`, which must outlive the
// loops), and the lanes' (the same series).
struct RhumbSetup {
    rh::Rhumb exact;
    RhumbConstants lanes;

    RhumbSetup(double a, double f) noexcept : exact(a, f), lanes{} {
        RhumbConstants& r = lanes;
        // The series' flattenings, on lengths whose products (c^2 among them) stay normal.
        r.series = exact.shape.series && a >= 0x1p-400 && a <= 0x1p400;
        // The terms that matter (rhumb.h), the chi and mu series' zero past their order.
        r.terms = 0;
        const int to_mu = exact.to_mu.terms();
        for (int k = 0; k < kRhumbAreaTerms; ++k) {
            r.chi_of_phi[k] = exact.chi_of_phi[k];
            r.area_series[k] = exact.area_series[k];
            const double mu = k < to_mu && k < kRhumbOrder ? exact.to_mu.coefficients()[k] : 0.0;
            r.mu_of_phi[k] = mu;
            if ((k + 1) * std::fmax(std::fabs(r.chi_of_phi[k]), std::fabs(mu)) >= 0x1p-58 ||
                std::fabs(r.area_series[k]) >= 0x1p-56)
                r.terms = k + 1;
        }
        r.to_mu = exact.to_mu.coefficients(), r.to_mu_terms = to_mu;
        r.from_mu = exact.from_mu.coefficients(), r.from_mu_terms = exact.from_mu.terms();
        r.rectifying_radius = exact.shape.rectifying_radius;
        r.e2m = exact.shape.e2m, r.inv_e2m = 1 / exact.shape.e2m;
        r.c2 = exact.c2;
        r.exact = &exact;
        r.exact_inverse = &exact_rhumb_inverse;
        r.exact_direct = &exact_rhumb_direct;
    }
};

// The constants of the ellipsoid of the last one-pair call, kept in the module's
// state (zeroed memory at first): computing them costs more than a pair. Built in
// place, so that the pointers the lanes' constants hold to the exact kernels' stay
// valid.
template <class Setup>
struct LastSetup {
    static_assert(std::is_trivially_destructible_v<Setup>);
    double a, f;
    bool built;
    alignas(Setup) unsigned char bytes[sizeof(Setup)];

    const Setup& get(double a_, double f_) noexcept {
        if (!built || a != a_ || f != f_) {
            ::new (static_cast<void*>(bytes)) Setup(a_, f_);
            a = a_, f = f_, built = true;
        }
        return *std::launder(reinterpret_cast<const Setup*>(bytes));
    }
};

// The module's state: the Ellipsoid type, the record dtypes of one-point
// results (quorvane.datamodel's LLA_dtype and AER_dtype), and the geodesic
// constants of the ellipsoid of the last one-pair call (zeroed memory at first,
// a GeodesicSetup built in place by geodesic_setup).
struct FastState : companion::StateBase {
    static constexpr const char* kName = "quorvane.mathtools.ellipsoid._fast";
    static constexpr const char* kDoc =
        "Vectorised element loops (see quorvane.mathtools.ellipsoid.fast).";
    static PyMethodDef functions[];

    PyArray_Descr* lla_dtype;      // strong
    PyArray_Descr* aer_dtype;      // strong
    PyArray_Descr* inverse_dtype;  // strong: GeodesicInverse_dtype
    PyArray_Descr* direct_dtype;   // strong: GeodesicDirect_dtype

    PyArray_Descr* rhumb_inverse_dtype;  // strong: RhumbInverse_dtype
    PyArray_Descr* rhumb_direct_dtype;   // strong: RhumbDirect_dtype
    auto references() noexcept {
        return std::tie(lla_dtype, aer_dtype, inverse_dtype, direct_dtype, rhumb_inverse_dtype,
                        rhumb_direct_dtype);
    }
    LastSetup<GeodesicSetup> last_geodesic;
    LastSetup<RhumbSetup> last_rhumb;

    int exec() noexcept {
        if (PyArray_ImportNumPyAPI() < 0) return -1;
        return companion::record_dtypes({{"LLA_dtype", &lla_dtype},
                                         {"AER_dtype", &aer_dtype},
                                         {"GeodesicInverse_dtype", &inverse_dtype},
                                         {"GeodesicDirect_dtype", &direct_dtype},
                                         {"RhumbInverse_dtype", &rhumb_inverse_dtype},
                                         {"RhumbDirect_dtype", &rhumb_direct_dtype}})
                   ? 0
                   : -1;
    }
};

// The methods' kernels for one row.
void exact_lla(const void* self, const double* r, double* out) noexcept {
    double row[3] = {r[0], r[1], r[2]};
    LLA lla;
    ellipsoid::kernels::c_lla_from_pos<Direct>(static_cast<QuorvaneEllipsoid>(self), row, &lla);
    out[0] = lla.lat, out[1] = lla.lon, out[2] = lla.alt;
}

void exact_pos(const void* self, double lat, double lon, double alt, double* r) noexcept {
    double out[3];  // a local: stores through r could alias the object's fields
    ellipsoid::kernels::c_pos_from_lla<Direct>(static_cast<QuorvaneEllipsoid>(self),
                                               LLA{lat, lon, alt}, out);
    r[0] = out[0], r[1] = out[1], r[2] = out[2];
}

void exact_aer(const void* self, const double* r, double lat, double lon, double alt,
               double* out) noexcept {
    double row[3] = {r[0], r[1], r[2]};
    AER aer;
    ellipsoid::kernels::c_aer_coords<Direct>(static_cast<QuorvaneEllipsoid>(self), row,
                                             LLA{lat, lon, alt}, &aer);
    out[0] = aer.azimuth, out[1] = aer.elevation, out[2] = aer.range;
}

void exact_enu(const void* self, const double* r, double lat, double lon, double alt,
               double* out) noexcept {
    double target[3] = {r[0], r[1], r[2]}, origin[3], d[3];
    ENU_Frame frame;
    ellipsoid::kernels::observer_position_and_frame(static_cast<QuorvaneEllipsoid>(self),
                                                    LLA{lat, lon, alt}, origin, &frame);
    vectools::sub(target, origin, d);
    out[0] = vectools::dot(d, frame.u_east);
    out[1] = vectools::dot(d, frame.u_north);
    out[2] = vectools::dot(d, frame.u_up);
}

// The levels built into this module that this machine runs, best last.
int available_levels(const Loops* out[kMaxLevels]) noexcept {
    int n = 0;
    out[n++] = &kScalarLoops;
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("sse2")) out[n++] = &kSse2Loops;
    if (__builtin_cpu_supports("avx2")) out[n++] = &kAvx2Loops;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq"))
        out[n++] = &kAvx512Loops;
#endif
#if defined(__aarch64__)
    out[n++] = &kNeonLoops;
#endif
    return n;
}

// The loops to run: QUORVANE_SIMD's level when set (a ValueError when this
// machine or build lacks it), else the best.
const Loops* chosen_loops() noexcept {
    const Loops* levels[kMaxLevels];
    return choose_level(levels, available_levels(levels));
}

// The constants of the ellipsoid `ell`, checked, as the loops use them.
bool read_constants(PyObject* module, PyObject* ell, EllipsoidConstants& e) noexcept {
    const QuorvaneEllipsoidObject* self =
        companion::ellipsoid_of(companion::state_of<FastState>(module), ell);
    if (self == nullptr) return false;
    const double a = self->Re, f = self->f;
    e.a = a, e.f = f, e.b = self->Rp;
    // 1 - f and its rounding error (exact: f is at most 1).
    e.om_hi = 1.0 - f;
    e.om_lo = (1.0 - e.om_hi) - f;
    // (1 - f)^2 from the double-double, one rounding.
    const double p = e.om_hi * e.om_hi;
    const double split = e.om_hi * 134217729.0;
    const double hi = split - (split - e.om_hi), lo = e.om_hi - hi;
    const double p_err = ((hi * hi - p) + 2.0 * (hi * lo)) + lo * lo;
    e.om2 = p + (p_err + 2.0 * (e.om_hi * e.om_lo));
    e.ae2 = a * (f * (2.0 - f));
    // (1 - f) Re = a (om_hi + om_lo) as a double-double.
    e.b_hi = a * e.om_hi;
    const double a_split = a * 134217729.0;
    const double a_hi = a_split - (a_split - a), a_lo = a - a_hi;
    const double o_split = e.om_hi * 134217729.0;
    const double o_hi = o_split - (o_split - e.om_hi), o_lo = e.om_hi - o_hi;
    const double b_err = (((a_hi * o_hi - e.b_hi) + a_hi * o_lo) + a_lo * o_hi) + a_lo * o_lo;
    e.b_lo = b_err + a * e.om_lo;
    // The iteration's start and step count are measured for flattenings up to
    // 1/100 and lengths whose squares stay normal.
    const bool normal_length = a >= 0x1p-490 && a <= 0x1p490;
    e.fast_foot = normal_length && f >= 0.0 && f <= 0.01;
    e.fast_pos = normal_length;
    e.self = self;
    e.exact_lla = &exact_lla;
    e.exact_pos = &exact_pos;
    e.exact_aer = &exact_aer;
    e.exact_enu = &exact_enu;
    return true;
}

// The constants of the ellipsoid `ell` and the loops to run.
bool prepare(PyObject* module, PyObject* ell, EllipsoidConstants& e, const Loops*& loops) noexcept {
    if (!read_constants(module, ell, e)) return false;
    loops = chosen_loops();
    return loops != nullptr;
}

// The observers' columns (lat, lon, alt) at args[0..3), of n rows or of one.
bool read_observers(PyObject* const* args, const char* const names[3], Py_ssize_t n,
                    py::DoubleBuffer (&in)[3], Column (&c)[3]) noexcept {
    for (int k = 0; k < 3; ++k) {
        if (!py::acquire_column(in[k], args[k], names[k], n)) return false;
        c[k] = in[k].column();
    }
    return true;
}

// (ell, r, out): lat, lon, alt rows of r's rows into out.
PyObject* lla_from_pos(PyObject* module, PyObject* const* args) noexcept {
    EllipsoidConstants e;
    const Loops* loops;
    if (!prepare(module, args[0], e, loops)) return nullptr;
    py::DoubleBuffer r, out;
    if (!r.acquire(args[1], "r", 3, false) || !out.acquire(args[2], "out", 3, true)) return nullptr;
    if (r.rows() != out.rows()) {
        PyErr_SetString(PyExc_ValueError, "r and out must have the same number of rows");
        return nullptr;
    }
    const Py_ssize_t n = r.rows();
    const Rows src = r.row_view();
    const OutRows dst = out.out_rows();
    const py::AllowThreads unlocked(n >= kUnlockedRows);
    split(n,
          [&](Py_ssize_t begin, Py_ssize_t end) { loops->lla_from_pos(e, src, dst, begin, end); });
    Py_RETURN_NONE;
}

// (ell, lat, lon, alt, out): positions of the columns' rows into out.
PyObject* pos_from_lla(PyObject* module, PyObject* const* args) noexcept {
    EllipsoidConstants e;
    const Loops* loops;
    if (!prepare(module, args[0], e, loops)) return nullptr;
    static constexpr const char* names[3] = {"lat", "lon", "alt"};
    py::DoubleBuffer in[3], out;
    if (!out.acquire(args[4], "out", 3, true)) return nullptr;
    const Py_ssize_t n = out.rows();
    Column c[3];
    if (!read_observers(args + 1, names, n, in, c)) return nullptr;
    const OutRows dst = out.out_rows();
    const py::AllowThreads unlocked(n >= kUnlockedRows);
    split(n, [&](Py_ssize_t begin, Py_ssize_t end) {
        loops->pos_from_lla(e, c[0], c[1], c[2], dst, begin, end);
    });
    Py_RETURN_NONE;
}

// (ell, r, lat, lon, alt, out): azimuth, elevation, range rows of the targets
// r (N, 3) seen from the observers' columns into out.
template <bool angles>
PyObject* observe(PyObject* module, PyObject* const* args) noexcept {
    EllipsoidConstants e;
    const Loops* loops;
    if (!prepare(module, args[0], e, loops)) return nullptr;
    static constexpr const char* names[3] = {"lat_obs", "lon_obs", "alt_obs"};
    py::DoubleBuffer r, in[3], out;
    if (!r.acquire(args[1], "r_target", 3, false) || !out.acquire(args[5], "out", 3, true))
        return nullptr;
    const Py_ssize_t n = out.rows();
    if (r.rows() != n) {
        PyErr_SetString(PyExc_ValueError, "r_target and out must have the same number of rows");
        return nullptr;
    }
    Column c[3];
    if (!read_observers(args + 2, names, n, in, c)) return nullptr;
    const Rows src = r.row_view();
    const OutRows dst = out.out_rows();
    const py::AllowThreads unlocked(n >= kUnlockedRows);
    split(n, [&](Py_ssize_t begin, Py_ssize_t end) {
        (angles ? loops->aer_coords : loops->enu_from_pos)(e, src, c[0], c[1], c[2], dst, begin,
                                                           end);
    });
    Py_RETURN_NONE;
}

// -- Geodesics -------------------------------------------------------------------

// The ellipsoid `ell`, checked: an Ellipsoid of a flattening the geodesics serve.
bool read_geodesic(PyObject* module, PyObject* ell, double& a, double& f) noexcept {
    const QuorvaneEllipsoidObject* self =
        companion::ellipsoid_of(companion::state_of<FastState>(module), ell);
    if (self == nullptr) return false;
    a = self->Re, f = self->f;
    if (!geodesic::Geodesic::supports(f)) {
        PyErr_Format(PyExc_ValueError,
                     "ell: geodesics are computed for flattenings 0 <= f < 1, got f = %R",
                     Ref::steal(PyFloat_FromDouble(f)).get());
        return false;
    }
    return true;
}

enum class Problem { inverse, direct };

// A pair costs some tens of nanoseconds in lanes, a few hundred by the exact
// kernel: blocks taken in turn even out the iterations and the hand-overs.
constexpr common::Split kPairs{.threshold = 4000, .min_chunk = 2000, .block = 1024};

// numpy.radians and numpy.degrees: one product with the constant.
constexpr double kRadiansPerDegree = std::numbers::pi / 180.0;
constexpr double kDegreesPerRadian = 180.0 / std::numbers::pi;

// The four columns of a pair problem (args[1..4], named `names`) and its rows out
// (args[5], N x 3): each column of N rows or one.
bool acquire_pairs(PyObject* const* args, const char* const names[4], py::DoubleBuffer (&in)[4],
                   py::DoubleBuffer& out, Column (&c)[4]) noexcept {
    if (!out.acquire(args[5], "out", 3, true)) return false;
    const Py_ssize_t n = out.rows();
    for (int k = 0; k < 4; ++k) {
        if (!py::acquire_column(in[k], args[1 + k], names[k], n)) return false;
        c[k] = in[k].column();
    }
    return true;
}

// (ell, x0, x1, x2, x3, degrees) of a one-pair call: the four plain numbers in v,
// in radians as the engine makes them (angles: all four of an inverse problem,
// the first three of a direct one; the longitude, and the second longitude or the
// azimuth, reduced exactly by 360 degrees first), and the flag. 1; 0 for an
// ellipsoid of another type, anything but plain numbers and a latitude beyond the
// poles (the array path then answers); -1 with the exception set.
int plain_pair(const FastState& state, PyObject* const* args, bool inverse, double v[4],
               int& degrees) noexcept {
    if (!Py_IS_TYPE(args[0], state.ellipsoid_type)) return 0;
    for (int k = 0; k < 4; ++k)
        if (!companion::plain_number(args[1 + k], &v[k])) return 0;
    degrees = PyObject_IsTrue(args[5]);
    if (degrees < 0) return -1;
    if (degrees) {
        const int other = inverse ? 3 : 2;  // lon2, or the azimuth
        v[1] = longitude::reduce_degrees(v[1]), v[other] = longitude::reduce_degrees(v[other]);
        for (int k = 0; k < (inverse ? 4 : 3); ++k) v[k] *= kRadiansPerDegree;
    }
    const int lat2 = inverse ? 2 : 0;
    return std::fabs(v[0]) > std::numbers::pi / 2 || std::fabs(v[lat2]) > std::numbers::pi / 2 ? 0
                                                                                               : 1;
}

using GeodesicLoop = decltype(Loops::geodesic_inverse);

// Rows of a geodesic problem given in degrees, run in blocks through a buffer of
// radians: each angle becomes radians as the one-pair path makes it (longitudes
// and azimuths reduced exactly by 360 beyond 540 degrees, then numpy.radians's
// product), and the angles of the rows written go back by numpy.degrees's. The
// bits are those of converting the whole arrays first, without their passes
// over memory.
template <Problem problem>
void rows_in_degrees(GeodesicLoop loop, const GeodesicConstants& g, const Column c[4], OutRows dst,
                     std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
    constexpr int kAngles = problem == Problem::inverse ? 4 : 3;         // s12 is a length
    constexpr int kFirstAngleOut = problem == Problem::inverse ? 1 : 0;  // s12 is a length
    constexpr std::ptrdiff_t kBlock = 256;
    double buffer[4][kBlock];
    const Column radians[4] = {{reinterpret_cast<const char*>(buffer[0]), sizeof(double)},
                               {reinterpret_cast<const char*>(buffer[1]), sizeof(double)},
                               {reinterpret_cast<const char*>(buffer[2]), sizeof(double)},
                               {reinterpret_cast<const char*>(buffer[3]), sizeof(double)}};
    for (std::ptrdiff_t i = begin; i < end; i += kBlock) {
        const std::ptrdiff_t m = std::min(kBlock, end - i);
        for (int k = 0; k < 4; ++k) {
            const bool reduced = k == 1 || k == kAngles - 1;  // lon1, and lon2 or azi1
            for (std::ptrdiff_t j = 0; j < m; ++j) {
                const double x = c[k][i + j];
                buffer[k][j] = k >= kAngles ? x
                               : reduced    ? longitude::reduce_degrees(x) * kRadiansPerDegree
                                            : x * kRadiansPerDegree;
            }
        }
        const OutRows rows{dst.data + i * dst.row, dst.row, dst.col};
        loop(g, radians, rows, 0, m);
        for (std::ptrdiff_t j = 0; j < m; ++j)
            for (int k = kFirstAngleOut; k < 3; ++k)
                rows.put(j, k,
                         common::read_double(rows.data + j * rows.row + k * rows.col) *
                             kDegreesPerRadian);
    }
}

// (ell, c0, c1, c2, c3, out, degrees): the problem's rows into out (N, 3); with
// degrees the angles in and out are in degrees (see rows_in_degrees).
template <Problem problem>
PyObject* geodesic_rows(PyObject* module, PyObject* const* args) noexcept {
    double a, f;
    if (!read_geodesic(module, args[0], a, f)) return nullptr;
    const Loops* loops = chosen_loops();
    if (loops == nullptr) return nullptr;
    const int degrees = PyObject_IsTrue(args[6]);
    if (degrees < 0) return nullptr;
    static constexpr const char* names[2][4] = {{"lat1", "lon1", "lat2", "lon2"},
                                                {"lat1", "lon1", "azi1", "s12"}};
    py::DoubleBuffer in[4], out;
    Column c[4];
    if (!acquire_pairs(args, names[problem == Problem::direct], in, out, c)) return nullptr;
    const Py_ssize_t n = out.rows();
    const OutRows dst = out.out_rows();
    const GeodesicSetup setup(a, f);
    const GeodesicLoop loop =
        problem == Problem::inverse ? loops->geodesic_inverse : loops->geodesic_direct;
    const py::AllowThreads unlocked(n >= kUnlockedRows);
    common::parallel_for(
        n,
        [&](Py_ssize_t begin, Py_ssize_t end) {
            if (degrees)
                rows_in_degrees<problem>(loop, setup.lanes, c, dst, begin, end);
            else
                loop(setup.lanes, c, dst, begin, end);
        },
        kPairs);
    Py_RETURN_NONE;
}

// (ell, lat1, lon1, x, y, degrees): one pair of plain numbers through the chosen
// level's loop (the bits of the array path), as one record; None for anything
// else and for a latitude beyond the poles (the array path then answers).
template <Problem problem>
PyObject* geodesic_point(PyObject* module, PyObject* const* args) noexcept {
    const FastState& state = companion::state_of<FastState>(module);
    double v[4];
    int degrees;
    const int plain = plain_pair(state, args, problem == Problem::inverse, v, degrees);
    if (plain <= 0) return plain < 0 ? nullptr : Py_NewRef(Py_None);
    double a, f;
    if (!read_geodesic(module, args[0], a, f)) return nullptr;
    const Loops* loops = chosen_loops();
    if (loops == nullptr) return nullptr;
    const GeodesicSetup& setup = companion::state_of<FastState>(module).last_geodesic.get(a, f);
    double row[3];
    const OutRows dst{reinterpret_cast<char*>(row), 3 * sizeof(double), sizeof(double)};
    const Column c[4] = {{reinterpret_cast<const char*>(&v[0]), 0},
                         {reinterpret_cast<const char*>(&v[1]), 0},
                         {reinterpret_cast<const char*>(&v[2]), 0},
                         {reinterpret_cast<const char*>(&v[3]), 0}};
    (problem == Problem::inverse ? loops->geodesic_inverse : loops->geodesic_direct)(setup.lanes, c,
                                                                                     dst, 0, 1);
    const int first_angle = problem == Problem::inverse ? 1 : 0;
    if (degrees)
        for (int k = first_angle; k < 3; ++k) row[k] *= kDegreesPerRadian;
    return companion::one_record(
        problem == Problem::inverse ? state.inverse_dtype : state.direct_dtype, row);
}

// -- Auxiliary latitudes ----------------------------------------------------------

namespace lat = ellipsoid::latitudes;

// The latitude loops of the level `loops` names.
const LatitudeLoops* latitude_loops(const Loops* loops) noexcept {
    static const LatitudeLoops* const all[] = {
        &kScalarLatitudeLoops,
#if defined(__x86_64__)
        &kSse2LatitudeLoops,   &kAvx2LatitudeLoops, &kAvx512LatitudeLoops,
#endif
#if defined(__aarch64__)
        &kNeonLatitudeLoops,
#endif
    };
    for (const LatitudeLoops* l : all)
        if (std::strcmp(l->name, loops->name) == 0) return l;
    return &kScalarLatitudeLoops;
}

// One latitude by the exact kernel (a lat::Conversion).
double exact_latitude(const void* conversion, double x) noexcept {
    return (*static_cast<const lat::Conversion*>(conversion))(x);
}

// (ell, from, to, x, out): the latitudes of kind `to` whose latitudes of kind
// `from` are x (N values or one), kinds numbered as in kernels/latitudes.h.
PyObject* latitudes_convert(PyObject* module, PyObject* const* args) noexcept {
    const QuorvaneEllipsoidObject* self =
        companion::ellipsoid_of(companion::state_of<FastState>(module), args[0]);
    if (self == nullptr) return nullptr;
    const double a = self->Re, f = self->f;
    if (!(f >= 0 && f < 1)) {
        PyErr_Format(PyExc_ValueError,
                     "ell: latitudes are computed for flattenings 0 <= f < 1, got f = %R",
                     Ref::steal(PyFloat_FromDouble(f)).get());
        return nullptr;
    }
    int kinds[2];
    for (int k = 0; k < 2; ++k) {
        const long v = PyLong_AsLong(args[1 + k]);
        if (v == -1 && PyErr_Occurred()) return nullptr;
        if (v < 0 || v >= lat::kKinds) {
            PyErr_Format(PyExc_ValueError, "%s must be a kind in [0, %d), got %ld",
                         k == 0 ? "from" : "to", lat::kKinds, v);
            return nullptr;
        }
        kinds[k] = int(v);
    }
    const Loops* loops = chosen_loops();
    if (loops == nullptr) return nullptr;
    py::DoubleBuffer in, out;
    if (!out.acquire(args[4], "out", 0, true) || !in.acquire(args[3], "x", 0, false))
        return nullptr;
    const Py_ssize_t n = out.rows();
    if (in.rows() != n && in.rows() != 1) {
        PyErr_SetString(PyExc_ValueError, "x must have the rows of out or one");
        return nullptr;
    }
    const lat::Shape g(a, f);
    const lat::Conversion conversion(g, lat::Kind(kinds[0]), lat::Kind(kinds[1]));
    const LatitudeSeries series{conversion.coefficients(), conversion.terms(), g.series,
                                &conversion, &exact_latitude};
    const LatitudeLoops* run = latitude_loops(loops);
    const Column x = in.column();
    const OutColumn y = out.out_column();
    const py::AllowThreads unlocked(n >= kUnlockedRows);
    split(n, [&](Py_ssize_t begin, Py_ssize_t end) { run->convert(series, x, y, begin, end); });
    Py_RETURN_NONE;
}

// The isometric latitude by the exact kernel (a lat::Shape).
double exact_isometric(const void* shape, double phi) noexcept {
    return lat::isometric(*static_cast<const lat::Shape*>(shape), phi);
}

// (ell, lat, out): the isometric latitudes of the geodetic latitudes lat (N values or one).
PyObject* latitudes_isometric(PyObject* module, PyObject* const* args) noexcept {
    const QuorvaneEllipsoidObject* self =
        companion::ellipsoid_of(companion::state_of<FastState>(module), args[0]);
    if (self == nullptr) return nullptr;
    const double a = self->Re, f = self->f;
    if (!(f >= 0 && f < 1)) {
        PyErr_Format(PyExc_ValueError,
                     "ell: latitudes are computed for flattenings 0 <= f < 1, got f = %R",
                     Ref::steal(PyFloat_FromDouble(f)).get());
        return nullptr;
    }
    const Loops* loops = chosen_loops();
    if (loops == nullptr) return nullptr;
    py::DoubleBuffer in, out;
    if (!out.acquire(args[2], "out", 0, true) || !in.acquire(args[1], "x", 0, false))
        return nullptr;
    const Py_ssize_t n = out.rows();
    if (in.rows() != n && in.rows() != 1) {
        PyErr_SetString(PyExc_ValueError, "x must have the rows of out or one");
        return nullptr;
    }
    const lat::Shape g(a, f);
    const Isometric isometric{g.e, g.series, &g, &exact_isometric};
    const LatitudeLoops* run = latitude_loops(loops);
    const Column x = in.column();
    const OutColumn y = out.out_column();
    const py::AllowThreads unlocked(n >= kUnlockedRows);
    split(n,
          [&](Py_ssize_t begin, Py_ssize_t end) { run->isometric(isometric, x, y, begin, end); });
    Py_RETURN_NONE;
}

// -- The transverse Mercator --------------------------------------------------------

namespace tm = ellipsoid::tm;
namespace grid = ellipsoid::utm;

// The transverse Mercator loops of the level `loops` names.
const TmLoops* tm_loops(const Loops* loops) noexcept {
    static const TmLoops* const all[] = {
        &kScalarTmLoops,
#if defined(__x86_64__)
        &kSse2TmLoops,   &kAvx2TmLoops, &kAvx512TmLoops,
#endif
#if defined(__aarch64__)
        &kNeonTmLoops,
#endif
    };
    for (const TmLoops* l : all)
        if (std::strcmp(l->name, loops->name) == 0) return l;
    return &kScalarTmLoops;
}

// The exact kernels of one point (a tm::Projection).
void exact_tm_forward(const void* projection, double k0, double phi, double lambda,
                      double* out) noexcept {
    const tm::Grid g =
        tm::tm_forward(*static_cast<const tm::Projection*>(projection), k0, phi, lambda);
    out[0] = g.x, out[1] = g.y, out[2] = g.convergence, out[3] = g.scale;
}

void exact_tm_reverse(const void* projection, double k0, double x, double y, double* out) noexcept {
    const tm::Geographic g =
        tm::tm_reverse(*static_cast<const tm::Projection*>(projection), k0, x, y);
    out[0] = g.lat, out[1] = g.lon, out[2] = g.convergence, out[3] = g.scale;
}

// An ellipsoid's transverse Mercator constants: the exact kernel's (which must outlive the
// loops), and the lanes' copy of its coefficients.
struct TmSetup {
    tm::Projection exact;
    TransverseMercator lanes;

    TmSetup(double a, double f) noexcept : exact(a, f), lanes{} {
        static_assert(tm::kOrder == kTmOrder);
        lanes.A = exact.A, lanes.A_a = exact.A_a, lanes.e2m = exact.g.e2m;
        for (int j = 0; j < kTmOrder; ++j) {
            lanes.alpha[j] = exact.alpha[j], lanes.beta[j] = exact.beta[j];
            lanes.chi[j] = exact.chi[j], lanes.phi[j] = exact.phi[j];
        }
        lanes.terms = exact.terms;
        tm_lane_terms(lanes);
        lanes.exact = &exact;
        lanes.exact_forward = &exact_tm_forward;
        lanes.exact_reverse = &exact_tm_reverse;
    }
    TmSetup(const TmSetup&) = delete;
    TmSetup& operator=(const TmSetup&) = delete;
};

// The ellipsoid `ell`, checked: an Ellipsoid of a flattening the series serve (as _utm
// refuses the others).
bool read_tm(PyObject* module, PyObject* ell, double& a, double& f) noexcept {
    const QuorvaneEllipsoidObject* self =
        companion::ellipsoid_of(companion::state_of<FastState>(module), ell);
    if (self == nullptr) return false;
    a = self->Re, f = self->f;
    if (!(f >= 0 && f <= tm::kMaxFlattening)) {
        PyErr_Format(PyExc_ValueError,
                     "ell: the transverse Mercator is computed for flattenings 0 <= f <= 1/25, "
                     "got f = %R",
                     Ref::steal(PyFloat_FromDouble(f)).get());
        return false;
    }
    return true;
}

// Some tens of nanoseconds a point in lanes.
constexpr common::Split kTmPoints{common::kParallelThreshold, common::kMinChunk, 8192};

using TmLoop = decltype(TmLoops::forward);

// Rows of the transverse Mercator given in degrees, run in blocks through a buffer of radians,
// as rows_in_degrees runs the geodesics': lon0 and the longitude reduced exactly by 360 beyond
// 540 degrees, then numpy.radians's product (the latitude by the product alone; x, y of the
// reverse as they are), and the angles of the rows written (the convergence; the latitude and
// the longitude of the reverse) back by numpy.degrees's: the bits of converting the whole arrays
// first, without their passes over memory.
template <bool reverse>
void tm_rows_in_degrees(TmLoop loop, const TransverseMercator& p, const Column c[3], OutRows dst,
                        std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
    constexpr std::ptrdiff_t kBlock = 256;
    constexpr int kFirstAngleOut = reverse ? 0 : 2;  // lat, lon, convergence; or convergence
    double buffer[3][kBlock];
    const Column radians[3] = {{reinterpret_cast<const char*>(buffer[0]), sizeof(double)},
                               {reinterpret_cast<const char*>(buffer[1]), sizeof(double)},
                               {reinterpret_cast<const char*>(buffer[2]), sizeof(double)}};
    for (std::ptrdiff_t i = begin; i < end; i += kBlock) {
        const std::ptrdiff_t m = std::min(kBlock, end - i);
        for (std::ptrdiff_t j = 0; j < m; ++j)
            buffer[0][j] = longitude::reduce_degrees(c[0][i + j]) * kRadiansPerDegree;
        if constexpr (reverse) {
            for (std::ptrdiff_t j = 0; j < m; ++j) buffer[1][j] = c[1][i + j];
            for (std::ptrdiff_t j = 0; j < m; ++j) buffer[2][j] = c[2][i + j];
        } else {
            for (std::ptrdiff_t j = 0; j < m; ++j) buffer[1][j] = c[1][i + j] * kRadiansPerDegree;
            for (std::ptrdiff_t j = 0; j < m; ++j)
                buffer[2][j] = longitude::reduce_degrees(c[2][i + j]) * kRadiansPerDegree;
        }
        const OutRows rows{dst.data + i * dst.row, dst.row, dst.col};
        loop(p, radians[0], radians[1], radians[2], rows, 0, m);
        for (std::ptrdiff_t j = 0; j < m; ++j)
            for (int k = kFirstAngleOut; k < 3; ++k)
                rows.put(j, k,
                         common::read_double(rows.data + j * rows.row + k * rows.col) *
                             kDegreesPerRadian);
    }
}

// (ell, lon0, a, b, out, degrees): the forward (a, b = lat, lon) or reverse (x, y) rows of four,
// central scale 1; with degrees the angles in and out are in degrees (tm_rows_in_degrees).
template <bool reverse>
PyObject* tm_rows(PyObject* module, PyObject* const* args) noexcept {
    static constexpr const char* const kNames[2][3] = {{"lon0", "lat", "lon"}, {"lon0", "x", "y"}};
    const char* const* names = kNames[reverse ? 1 : 0];
    double a, f;
    if (!read_tm(module, args[0], a, f)) return nullptr;
    const Loops* loops = chosen_loops();
    if (loops == nullptr) return nullptr;
    const int degrees = PyObject_IsTrue(args[5]);
    if (degrees < 0) return nullptr;
    py::DoubleBuffer in[3], out;
    if (!out.acquire(args[4], "out", 4, true)) return nullptr;
    const Py_ssize_t n = out.rows();
    for (int k = 0; k < 3; ++k) {
        if (!py::acquire_column(in[k], args[1 + k], names[k], n)) return nullptr;
    }
    const Column c[3] = {in[0].column(), in[1].column(), in[2].column()};
    const OutRows dst = out.out_rows();
    const TmSetup setup(a, f);
    const TmLoops* run = tm_loops(loops);
    const TmLoop loop = reverse ? run->reverse : run->forward;
    const py::AllowThreads unlocked(n >= kUnlockedRows);
    common::parallel_for(
        n,
        [&](Py_ssize_t begin, Py_ssize_t end) {
            if (degrees)
                tm_rows_in_degrees<reverse>(loop, setup.lanes, c, dst, begin, end);
            else
                loop(setup.lanes, c[0], c[1], c[2], dst, begin, end);
        },
        kTmPoints);
    Py_RETURN_NONE;
}

// UTM/UPS positions of the rows [begin, end) a block at a time, each given to emit(i,
// position): the standard placements (zones) and the transverse Mercator of the UTM points in
// lanes; forced zones and the points the lanes do not place take the exact placement
// (utm_grid.h), UPS points and those without a placement the exact kernel whole. zone: the
// forced zones (a column), or null for the standard ones.
constexpr int kGridBlock = 256;

template <bool factors, class Emit>
void grid_blocks(const TmSetup& setup, const TmLoops& run, Column lat, Column lon,
                 const Column* zone, bool degrees, Py_ssize_t begin, Py_ssize_t end,
                 Emit emit) noexcept {
    double phi[kGridBlock], lam[kGridBlock], x[kGridBlock], y[kGridBlock];
    double gamma[kGridBlock], k[kGridBlock], placed[kGridBlock];
    // The zones and hemispheres kept apart, not as Placements: the copy of a whole record just
    // written field by field stalls on the store (a tenth of the time of MGRS codes).
    int zones[kGridBlock];
    bool norths[kGridBlock];
    Py_ssize_t index[kGridBlock];
    const double unit = degrees ? grid::kDegrees : 1;
    for (Py_ssize_t start = begin; start < end; start += kGridBlock) {
        const Py_ssize_t stop = std::min<Py_ssize_t>(end, start + kGridBlock);
        const int count = int(stop - start);
        // The coordinates gathered into x, y, the lanes' placements into placed, phi, lam;
        // then the points to project moved down to the front of phi, lam (m <= j).
        for (int j = 0; j < count; ++j) x[j] = lat[start + j], y[j] = lon[start + j];
        run.placements(x, y, degrees, placed, phi, lam, count);
        int m = 0;
        for (int j = 0; j < count; ++j) {
            const Py_ssize_t i = start + j;
            int z = -1;
            if (zone != nullptr) {
                const double forced = (*zone)[i];
                z = forced < 0 ? -1 : int(forced);
            }
            if (z < 0 && placed[j] != 0) {
                zones[m] = int(placed[j]), norths[m] = x[j] >= 0, phi[m] = phi[j], lam[m] = lam[j];
                index[m] = i;
                ++m;
                continue;
            }
            const grid::Placement q = grid::placement(x[j], y[j], z, degrees);
            if (q.valid && q.zone != 0) {
                zones[m] = q.zone, norths[m] = q.north, phi[m] = q.phi, lam[m] = q.lambda;
                index[m] = i;
                ++m;
            } else {
                emit(i, grid::forward<factors>(setup.exact, x[j], y[j], z, degrees));
            }
        }
        run.positions(setup.lanes, grid::kUtmScale, phi, lam, x, y, factors ? gamma : nullptr, k,
                      m);
        for (int j = 0; j < m; ++j) {
            const grid::Placement q{zones[j], norths[j], phi[j], lam[j], true};
            emit(index[j], factors ? grid::utm_position(q, x[j], y[j], gamma[j] * unit, k[j])
                                   : grid::utm_position(q, x[j], y[j], tm::kNaN, tm::kNaN));
        }
    }
}

// A record of utm.GRID_dtype (aligned: zone, northp, then four doubles), as _utm writes it.
struct GridRecord {
    std::int32_t zone;
    bool northp;
    double easting, northing, convergence, scale;
};
static_assert(sizeof(GridRecord) == 40 && offsetof(GridRecord, northp) == 4 &&
              offsetof(GridRecord, easting) == 8 && offsetof(GridRecord, scale) == 32);

// Field by field: a whole record assigned would copy a temporary's padding (three
// indeterminate bytes after northp) over the zeroed records the caller made.
inline void put_record(GridRecord& r, const grid::Position& g) noexcept {
    r.zone = g.zone, r.northp = g.north, r.easting = g.easting, r.northing = g.northing;
    r.convergence = g.convergence, r.scale = g.scale;
}

// `o` as a writable C-contiguous one-dimensional array of `type` (NPY_VOID: records) and
// `itemsize`, or null with a ValueError.
PyArrayObject* out_array(PyObject* o, int type, npy_intp itemsize, const char* what) noexcept {
    auto* array = reinterpret_cast<PyArrayObject*>(o);
    const bool ok = PyArray_Check(o) &&
                    (type == NPY_VOID ? PyDataType_HASFIELDS(PyArray_DESCR(array))
                                      : PyArray_TYPE(array) == type) &&
                    PyArray_NDIM(array) == 1 && PyArray_IS_C_CONTIGUOUS(array) &&
                    PyArray_ITEMSIZE(array) == itemsize && PyArray_ISWRITEABLE(array);
    if (!ok) {
        PyErr_Format(PyExc_ValueError, "out must be a writable contiguous one-dimensional %s",
                     what);
        return nullptr;
    }
    return array;
}

// (ell, lat, lon, zone, degrees, out): UTM/UPS records (as _utm.forward) into out, a contiguous
// one-dimensional GRID_dtype array; zone < 0 for the standard zone.
PyObject* utm_forward(PyObject* module, PyObject* const* args) noexcept {
    static constexpr const char* const kNames[3] = {"lat", "lon", "zone"};
    double a, f;
    if (!read_tm(module, args[0], a, f)) return nullptr;
    const int degrees = PyObject_IsTrue(args[4]);
    if (degrees < 0) return nullptr;
    PyArrayObject* array = out_array(args[5], NPY_VOID, sizeof(GridRecord), "GRID_dtype array");
    if (array == nullptr) return nullptr;
    const Loops* loops = chosen_loops();
    if (loops == nullptr) return nullptr;
    py::DoubleBuffer in[3];
    const Py_ssize_t n = PyArray_DIM(array, 0);
    for (int k = 0; k < 3; ++k) {
        if (!py::acquire_column(in[k], args[1 + k], kNames[k], n)) return nullptr;
    }
    const Column lat = in[0].column(), lon = in[1].column(), zone = in[2].column();
    auto* records = reinterpret_cast<GridRecord*>(PyArray_DATA(array));
    const TmSetup setup(a, f);
    const TmLoops* run = tm_loops(loops);
    const py::AllowThreads unlocked(n >= kUnlockedRows);
    common::parallel_for(
        n,
        [&](Py_ssize_t begin, Py_ssize_t end) {
            grid_blocks<true>(
                setup, *run, lat, lon, &zone, degrees != 0, begin, end,
                [&](Py_ssize_t i, const grid::Position& g) noexcept { put_record(records[i], g); });
        },
        kTmPoints);
    Py_RETURN_NONE;
}

// (ell, zone, northp, easting, northing, degrees, out): rows of lat, lon, convergence, scale
// (as _utm.reverse): the UTM points a block at a time in lanes, UPS (zone 0) and zones outside
// 0-60 by the exact kernel.
PyObject* utm_reverse(PyObject* module, PyObject* const* args) noexcept {
    static constexpr const char* const kNames[4] = {"zone", "northp", "easting", "northing"};
    double a, f;
    if (!read_tm(module, args[0], a, f)) return nullptr;
    const int degrees = PyObject_IsTrue(args[5]);
    if (degrees < 0) return nullptr;
    const Loops* loops = chosen_loops();
    if (loops == nullptr) return nullptr;
    py::DoubleBuffer in[4], out;
    if (!out.acquire(args[6], "out", 4, true)) return nullptr;
    const Py_ssize_t n = out.rows();
    for (int k = 0; k < 4; ++k) {
        if (!py::acquire_column(in[k], args[1 + k], kNames[k], n)) return nullptr;
    }
    const Column zone = in[0].column(), north = in[1].column();
    const Column easting = in[2].column(), northing = in[3].column();
    const OutRows dst = out.out_rows();
    const TmSetup setup(a, f);
    const TmLoops* run = tm_loops(loops);
    const py::AllowThreads unlocked(n >= kUnlockedRows);
    common::parallel_for(
        n,
        [&](Py_ssize_t begin, Py_ssize_t end) {
            double x[kGridBlock], y[kGridBlock], lat[kGridBlock], lon[kGridBlock];
            double gamma[kGridBlock], k[kGridBlock];
            int zones[kGridBlock];
            Py_ssize_t index[kGridBlock];
            const auto put = [&](Py_ssize_t i, const tm::Geographic& g) noexcept {
                dst.put(i, 0, g.lat), dst.put(i, 1, g.lon);
                dst.put(i, 2, g.convergence), dst.put(i, 3, g.scale);
            };
            for (Py_ssize_t start = begin; start < end; start += kGridBlock) {
                const Py_ssize_t stop = std::min<Py_ssize_t>(end, start + kGridBlock);
                int m = 0;
                for (Py_ssize_t i = start; i < stop; ++i) {
                    // Zones outside 0-60 are refused by the caller; NaN rows for any that slip
                    // by, as _utm gives them.
                    const double z = zone[i];
                    const int known = z >= 0 && z <= 60 ? int(z) : -1;
                    if (known >= 1) {
                        zones[m] = known, index[m] = i;
                        x[m] = easting[i] - grid::kUtmEasting;
                        y[m] = northing[i] - (north[i] != 0 ? 0 : grid::kUtmSouthNorthing);
                        ++m;
                    } else {
                        put(i, known == 0 ? grid::reverse(setup.exact, 0, north[i] != 0, easting[i],
                                                          northing[i], degrees)
                                          : tm::kNoGeographic);
                    }
                }
                run->geographic(setup.lanes, grid::kUtmScale, x, y, lat, lon, gamma, k, m);
                for (int j = 0; j < m; ++j)
                    put(index[j],
                        grid::geographic({lat[j], lon[j], gamma[j], k[j]}, zones[j], degrees != 0));
            }
        },
        kTmPoints);
    Py_RETURN_NONE;
}

// (ell, lat, lon, precision, degrees, out): the MGRS codes (as _utm.to_mgrs) into out, a
// contiguous one-dimensional str array of kMgrsWidth characters (empty where there is none).
PyObject* to_mgrs(PyObject* module, PyObject* const* args) noexcept {
    double a, f;
    if (!read_tm(module, args[0], a, f)) return nullptr;
    const int degrees = PyObject_IsTrue(args[4]);
    if (degrees < 0) return nullptr;
    const long precision = PyLong_AsLong(args[3]);
    if (precision == -1 && PyErr_Occurred()) return nullptr;
    if (precision < 0 || precision > 5) {
        PyErr_Format(PyExc_ValueError, "precision must be in 0-5, got %ld", precision);
        return nullptr;
    }
    PyArrayObject* array =
        out_array(args[5], NPY_UNICODE, grid::kMgrsWidth * sizeof(Py_UCS4), "str array");
    if (array == nullptr) return nullptr;
    const Loops* loops = chosen_loops();
    if (loops == nullptr) return nullptr;
    static constexpr const char* const kNames[2] = {"lat", "lon"};
    py::DoubleBuffer in[2];
    const Py_ssize_t n = PyArray_DIM(array, 0);
    for (int k = 0; k < 2; ++k) {
        if (!py::acquire_column(in[k], args[1 + k], kNames[k], n)) return nullptr;
    }
    const Column lat = in[0].column(), lon = in[1].column();
    auto* codes = reinterpret_cast<Py_UCS4*>(PyArray_DATA(array));
    const TmSetup setup(a, f);
    const TmLoops* run = tm_loops(loops);
    const int digits = static_cast<int>(precision);
    const py::AllowThreads unlocked(n >= kUnlockedRows);
    common::parallel_for(
        n,
        [&](Py_ssize_t begin, Py_ssize_t end) {
            char code[grid::kMgrsWidth];
            grid_blocks<false>(
                setup, *run, lat, lon, nullptr, degrees != 0, begin, end,
                [&](Py_ssize_t i, const grid::Position& g) noexcept {
                    if (!grid::mgrs_code(g, lat[i], digits, degrees != 0, code))
                        for (char& c : code) c = 0;
                    Py_UCS4* target = codes + i * grid::kMgrsWidth;
                    for (int k = 0; k < grid::kMgrsWidth; ++k)
                        target[k] = static_cast<Py_UCS4>(static_cast<unsigned char>(code[k]));
                });
        },
        kTmPoints);
    Py_RETURN_NONE;
}

// -- Rhumb lines ------------------------------------------------------------------

static_assert(kRhumbAreaTerms == rh::kAreaTerms && kRhumbOrder == lat::kOrder,
              "the lanes' series are the exact kernel's");

// The rhumb loops of the level `loops` names.
const RhumbLoops* rhumb_loops(const Loops* loops) noexcept {
    static const RhumbLoops* const all[] = {
        &kScalarRhumbLoops,
#if defined(__x86_64__)
        &kSse2RhumbLoops,   &kAvx2RhumbLoops, &kAvx512RhumbLoops,
#endif
#if defined(__aarch64__)
        &kNeonRhumbLoops,
#endif
    };
    for (const RhumbLoops* l : all)
        if (std::strcmp(l->name, loops->name) == 0) return l;
    return &kScalarRhumbLoops;
}

// The ellipsoid `ell`, checked: an Ellipsoid of a flattening the rhumb lines serve.
bool read_rhumb(PyObject* module, PyObject* ell, double& a, double& f) noexcept {
    const QuorvaneEllipsoidObject* self =
        companion::ellipsoid_of(companion::state_of<FastState>(module), ell);
    if (self == nullptr) return false;
    a = self->Re, f = self->f;
    if (!rh::Rhumb::supports(f)) {
        PyErr_Format(PyExc_ValueError,
                     "ell: rhumb lines are computed for flattenings 0 <= f < 1, got f = %R",
                     Ref::steal(PyFloat_FromDouble(f)).get());
        return false;
    }
    return true;
}

// (ell, c0, c1, c2, c3, out): s12, azi12, S12 rows, or lat2, lon2, S12 rows, into out (N, 3).
template <Problem problem>
PyObject* rhumb_rows(PyObject* module, PyObject* const* args) noexcept {
    double a, f;
    if (!read_rhumb(module, args[0], a, f)) return nullptr;
    const Loops* loops = chosen_loops();
    if (loops == nullptr) return nullptr;
    static constexpr const char* names[2][4] = {{"lat1", "lon1", "lat2", "lon2"},
                                                {"lat1", "lon1", "azi12", "s12"}};
    py::DoubleBuffer in[4], out;
    Column c[4];
    if (!acquire_pairs(args, names[problem == Problem::direct], in, out, c)) return nullptr;
    const Py_ssize_t n = out.rows();
    const OutRows dst = out.out_rows();
    const RhumbSetup setup(a, f);
    const RhumbLoops* run = rhumb_loops(loops);
    const auto loop = problem == Problem::inverse ? run->inverse : run->direct;
    const py::AllowThreads unlocked(n >= kUnlockedRows);
    common::parallel_for(
        n, [&](Py_ssize_t begin, Py_ssize_t end) { loop(setup.lanes, c, dst, begin, end); },
        kPairs);
    Py_RETURN_NONE;
}

// (ell, lat1, lon1, x, y, degrees): one line of plain numbers through the chosen level's
// loop (the bits of the array path), as one record; None for anything else and for a
// latitude beyond the poles (the array path then answers).
template <Problem problem>
PyObject* rhumb_point(PyObject* module, PyObject* const* args) noexcept {
    const FastState& state = companion::state_of<FastState>(module);
    double v[4];
    int degrees;
    const int plain = plain_pair(state, args, problem == Problem::inverse, v, degrees);
    if (plain <= 0) return plain < 0 ? nullptr : Py_NewRef(Py_None);
    constexpr bool inverse = problem == Problem::inverse;
    double a, f;
    if (!read_rhumb(module, args[0], a, f)) return nullptr;
    const Loops* loops = chosen_loops();
    if (loops == nullptr) return nullptr;
    const RhumbSetup& setup = companion::state_of<FastState>(module).last_rhumb.get(a, f);
    const RhumbLoops* run = rhumb_loops(loops);
    double row[3];
    const OutRows dst{reinterpret_cast<char*>(row), 3 * sizeof(double), sizeof(double)};
    const Column c[4] = {{reinterpret_cast<const char*>(&v[0]), 0},
                         {reinterpret_cast<const char*>(&v[1]), 0},
                         {reinterpret_cast<const char*>(&v[2]), 0},
                         {reinterpret_cast<const char*>(&v[3]), 0}};
    (inverse ? run->inverse : run->direct)(setup.lanes, c, dst, 0, 1);
    if (degrees) {
        if (inverse)
            row[1] *= kDegreesPerRadian;  // azi12
        else
            row[0] *= kDegreesPerRadian, row[1] *= kDegreesPerRadian;  // lat2, lon2
    }
    return companion::one_record(inverse ? state.rhumb_inverse_dtype : state.rhumb_direct_dtype,
                                 row);
}

// -- One point -------------------------------------------------------------------
//
// A call of fast.py with plain numbers (a position as a list or tuple of three
// of them, or a float64 array of shape (3,)) and an Ellipsoid is computed here
// by the chosen level's loop on one row held in locals: the bits of the array
// path, with no array built but the result. Anything else, and a latitude past
// the poles (a NaN row and a warning), gives None: fast.py then takes the array
// path, which also reports every error.

enum class Point { lla_from_pos, pos_from_lla, enu_from_pos, aer_coords };

// (ell, r | lat, lon, alt | r, lat_obs, lon_obs, alt_obs, degrees): the
// result of one point (an LLA or AER record, or a (3,) position or ENU
// vector), or None.
template <Point op>
PyObject* convert_point(PyObject* module, PyObject* const* args) noexcept {
    constexpr Py_ssize_t nargs = op == Point::lla_from_pos ? 3 : op == Point::pos_from_lla ? 5 : 6;
    const FastState& state = companion::state_of<FastState>(module);
    if (!Py_IS_TYPE(args[0], state.ellipsoid_type)) Py_RETURN_NONE;
    constexpr bool from_position = op != Point::pos_from_lla;
    constexpr bool observed = op == Point::enu_from_pos || op == Point::aer_coords;
    double r[3] = {0.0, 0.0, 0.0}, lla[3] = {0.0, 0.0, 0.0};
    bool plain = !from_position || companion::plain_vector(args[1], r);
    const Py_ssize_t first = from_position ? 2 : 1;  // of lat, lon, alt
    if (op != Point::lla_from_pos) {
        for (int k = 0; plain && k < 3; ++k)
            plain = companion::plain_number(args[first + k], &lla[k]);
    }
    if (!plain) Py_RETURN_NONE;
    const int degrees = PyObject_IsTrue(args[nargs - 1]);
    if (degrees < 0) return nullptr;
    if (degrees) {
        // The longitude reduced exactly by 360 degrees first, as the engine reduces it.
        lla[1] = longitude::reduce_degrees(lla[1]);
        lla[0] *= kRadiansPerDegree, lla[1] *= kRadiansPerDegree;
    }
    if (std::fabs(lla[0]) > std::numbers::pi / 2) Py_RETURN_NONE;
    EllipsoidConstants e;
    const Loops* loops;
    if (!prepare(module, args[0], e, loops)) return nullptr;
    double out[3];
    const Rows src{reinterpret_cast<const char*>(r), 3 * sizeof(double), sizeof(double)};
    const OutRows dst{reinterpret_cast<char*>(out), 3 * sizeof(double), sizeof(double)};
    const Column c[3] = {{reinterpret_cast<const char*>(&lla[0]), 0},
                         {reinterpret_cast<const char*>(&lla[1]), 0},
                         {reinterpret_cast<const char*>(&lla[2]), 0}};
    if constexpr (op == Point::lla_from_pos) {
        loops->lla_from_pos(e, src, dst, 0, 1);
    } else if constexpr (op == Point::pos_from_lla) {
        loops->pos_from_lla(e, c[0], c[1], c[2], dst, 0, 1);
    } else if constexpr (op == Point::enu_from_pos) {
        loops->enu_from_pos(e, src, c[0], c[1], c[2], dst, 0, 1);
    } else {
        loops->aer_coords(e, src, c[0], c[1], c[2], dst, 0, 1);
    }
    if constexpr (op == Point::lla_from_pos || op == Point::aer_coords) {
        if (degrees) out[0] *= kDegreesPerRadian, out[1] *= kDegreesPerRadian;
        if constexpr (observed) {
            // Azimuths of observations in [0, turn), as fast.py gives them.
            const double turn = degrees ? 360.0 : 2.0 * std::numbers::pi;
            if (out[0] < 0.0) {
                out[0] += turn;
                if (out[0] >= turn) out[0] = 0.0;
            }
        }
        return companion::one_record(op == Point::aer_coords ? state.aer_dtype : state.lla_dtype,
                                     out);
    } else {
        return companion::one_vector(out);
    }
}

// (which, x, y, out): sin x, cos x or atan2(x, y) element by element, as the
// chosen level computes them (for measuring their error); `which` numbers
// them as Elementary does.
PyObject* elementary(PyObject*, PyObject* const* args) noexcept {
    int overflow;
    const long which = PyLong_AsLongAndOverflow(args[0], &overflow);
    if (which == -1 && PyErr_Occurred()) return nullptr;
    const bool known =
        overflow == 0 && (which == long(Elementary::sin) || which == long(Elementary::cos) ||
                          which == long(Elementary::atan2));
    if (!known) {
        PyErr_SetString(PyExc_ValueError, "which must be 0 (sin), 1 (cos) or 2 (atan2)");
        return nullptr;
    }
    const Loops* loops = chosen_loops();
    if (loops == nullptr) return nullptr;
    py::DoubleBuffer x, y, out;
    if (!x.acquire(args[1], "x", 0, false) || !y.acquire(args[2], "y", 0, false) ||
        !out.acquire(args[3], "out", 0, true))
        return nullptr;
    if (x.rows() != out.rows() || y.rows() != out.rows()) {
        PyErr_SetString(PyExc_ValueError, "x, y and out must have the same length");
        return nullptr;
    }
    loops->elementary(Elementary(which), x.column(), y.column(), out.out_column(), out.rows());
    Py_RETURN_NONE;
}

// () -> the name of the level the loops would run at now.
PyObject* level(PyObject*, PyObject*) noexcept {
    const Loops* loops = chosen_loops();
    return loops == nullptr ? nullptr : PyUnicode_FromString(loops->name);
}

// () -> the names of the levels this machine runs, best last.
PyObject* levels(PyObject*, PyObject*) noexcept {
    const Loops* all[kMaxLevels];
    const int n = available_levels(all);
    Ref tuple = Ref::steal(PyTuple_New(n));
    if (!tuple) return nullptr;
    for (int k = 0; k < n; ++k) {
        PyObject* name = PyUnicode_FromString(all[k]->name);
        if (name == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), k, name);
    }
    return tuple.release();
}

PyMethodDef FastState::functions[] = {
    companion::entry<&lla_from_pos, 3>("lla_from_pos",
                                       "(ell, r, out): lat, lon, alt rows of the (N, 3) rows r."),
    companion::entry<&pos_from_lla, 5>("pos_from_lla",
                                       "(ell, lat, lon, alt, out): position rows of the columns."),
    companion::entry<&observe<false>, 6>("enu_from_pos",
                                         "(ell, r, lat, lon, alt, out): east, north, up rows."),
    companion::entry<&observe<true>, 6>(
        "aer_coords", "(ell, r, lat, lon, alt, out): azimuth, elevation, range rows."),
    companion::entry<&convert_point<Point::lla_from_pos>, 3>(
        "lla_from_pos_point", "(ell, r, degrees): lla_from_pos of one point, or None."),
    companion::entry<&convert_point<Point::pos_from_lla>, 5>(
        "pos_from_lla_point", "(ell, lat, lon, alt, degrees): pos_from_lla of one point, or None."),
    companion::entry<&convert_point<Point::enu_from_pos>, 6>(
        "enu_from_pos_point",
        "(ell, r, lat, lon, alt, degrees): enu_from_pos of one point, or None."),
    companion::entry<&convert_point<Point::aer_coords>, 6>(
        "aer_coords_point", "(ell, r, lat, lon, alt, degrees): aer_coords of one point, or None."),
    companion::entry<&latitudes_convert, 5>(
        "latitudes_convert",
        "(ell, from, to, x, out): latitudes of kind `to` of latitudes of kind `from`."),
    companion::entry<&latitudes_isometric, 3>(
        "latitudes_isometric", "(ell, lat, out): isometric latitudes of geodetic latitudes."),
    companion::entry<&elementary, 4>(
        "elementary", "(which, x, y, out): sin x (0), cos x (1) or atan2(x, y) (2)."),
    companion::entry<&geodesic_rows<Problem::inverse>, 7>(
        "geodesic_inverse", "(ell, lat1, lon1, lat2, lon2, out, degrees): s12, azi1, azi2 rows."),
    companion::entry<&geodesic_rows<Problem::direct>, 7>(
        "geodesic_direct", "(ell, lat1, lon1, azi1, s12, out, degrees): lat2, lon2, azi2 rows."),
    companion::entry<&geodesic_point<Problem::inverse>, 6>(
        "geodesic_inverse_point",
        "(ell, lat1, lon1, lat2, lon2, degrees): one inverse record, or None."),
    companion::entry<&geodesic_point<Problem::direct>, 6>(
        "geodesic_direct_point",
        "(ell, lat1, lon1, azi1, s12, degrees): one direct record, or None."),
    companion::entry<&tm_rows<false>, 6>(
        "tm_forward",
        "(ell, lon0, lat, lon, out, degrees): rows of x, y, convergence, scale (k0 = 1)."),
    companion::entry<&tm_rows<true>, 6>(
        "tm_reverse",
        "(ell, lon0, x, y, out, degrees): rows of lat, lon, convergence, scale (k0 = 1)."),
    companion::entry<&utm_forward, 6>(
        "utm_forward",
        "(ell, lat, lon, zone, degrees, out): GRID_dtype records; zone < 0 for the standard "
        "zone."),
    companion::entry<&utm_reverse, 7>(
        "utm_reverse",
        "(ell, zone, northp, easting, northing, degrees, out): rows of lat, lon, convergence, "
        "scale."),
    companion::entry<&to_mgrs, 6>("to_mgrs",
                                  "(ell, lat, lon, precision, degrees, out): MGRS codes."),
    companion::entry<&rhumb_rows<Problem::inverse>, 6>(
        "rhumb_inverse", "(ell, lat1, lon1, lat2, lon2, out): s12, azi12, S12 rows."),
    companion::entry<&rhumb_rows<Problem::direct>, 6>(
        "rhumb_direct", "(ell, lat1, lon1, azi12, s12, out): lat2, lon2, S12 rows."),
    companion::entry<&rhumb_point<Problem::inverse>, 6>(
        "rhumb_inverse_point",
        "(ell, lat1, lon1, lat2, lon2, degrees): one rhumb inverse record, or None."),
    companion::entry<&rhumb_point<Problem::direct>, 6>(
        "rhumb_direct_point",
        "(ell, lat1, lon1, azi12, s12, degrees): one rhumb direct record, or None."),
    companion::entry("level", &level, "The instruction-set level the loops run at now."),
    companion::entry("levels", &levels, "The instruction-set levels this machine runs, best last."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace
}  // namespace quorvane::fast

PyMODINIT_FUNC PyInit__fast() {
    return quorvane::ellipsoid::companion::init_module<quorvane::fast::FastState>();
}
