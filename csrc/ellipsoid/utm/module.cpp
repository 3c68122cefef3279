// The extension module quorvane.mathtools.ellipsoid._utm: element loops of the
// transverse Mercator, UTM/UPS and MGRS for quorvane.mathtools.ellipsoid.utm,
// which checks and prepares their arguments.
//
// Every function takes the Ellipsoid first and reads its equatorial radius and
// flattening from the object (flattenings beyond the series' 1/25 are refused).
// The loops take float64 columns of N values or of one value and write rows of
// float64 (or fixed-width strings), any strides and alignment, without the
// interpreter lock, split over threads for long loops; the kernels cannot fail
// (bad values come out NaN), and a malformed MGRS code stops the loop with its
// index.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_20_API_VERSION
#define NPY_TARGET_VERSION NPY_1_20_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL quorvane_utm_ARRAY_API
#include <numpy/arrayobject.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <tuple>

#include "common/buffer.h"
#include "common/parallel.h"
#include "common/ref.h"
#include "ellipsoid/companion.h"
#include "ellipsoid/kernels/utm_grid.h"
#include "quorvane/mathtools/ellipsoid/ellipsoid.h"

namespace quorvane::ellipsoid::utm {
namespace {

using py::Ref;

struct UtmState : companion::StateBase {
    static constexpr const char* kName = "quorvane.mathtools.ellipsoid._utm";
    static constexpr const char* kDoc =
        "Element loops of the transverse Mercator, UTM/UPS and MGRS (see "
        "quorvane.mathtools.ellipsoid.utm).";
    static PyMethodDef functions[];

    auto references() noexcept { return std::tie(); }

    int exec() noexcept { return PyArray_ImportNumPyAPI() < 0 ? -1 : 0; }
};

bool read_ellipsoid(PyObject* module, PyObject* ell, double& a, double& f) noexcept {
    const QuorvaneEllipsoidObject* self =
        companion::ellipsoid_of(companion::state_of<UtmState>(module), ell);
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

// A few hundred nanoseconds a value.
constexpr common::Split kValues{common::kParallelThreshold, common::kMinChunk, 4096};

// Input columns of N values or one; false with a ValueError naming the first that is neither.
bool same_rows(const py::DoubleBuffer* in, const char* const* names, int count,
               Py_ssize_t n) noexcept {
    for (int k = 0; k < count; ++k) {
        if (in[k].rows() != n && in[k].rows() != 1) {
            PyErr_Format(PyExc_ValueError, "%s must have the rows of out or one", names[k]);
            return false;
        }
    }
    return true;
}

// The transverse Mercator loops, radians: (ell, lon0, a, b, out) with out rows of four.
template <bool reverse>
PyObject* projection(PyObject* module, PyObject* const* args) noexcept {
    static constexpr const char* const kNames[2][3] = {{"lon0", "lat", "lon"}, {"lon0", "x", "y"}};
    const char* const* names = kNames[reverse ? 1 : 0];
    double a, f;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    py::DoubleBuffer in[3], out;
    if (!out.acquire(args[4], "out", 4, true)) return nullptr;
    for (int k = 0; k < 3; ++k)
        if (!in[k].acquire(args[k + 1], names[k], 0, false)) return nullptr;
    const Py_ssize_t n = out.rows();
    if (!same_rows(in, names, 3, n)) return nullptr;
    const common::Column lon0 = in[0].column(), u = in[1].column(), v = in[2].column();
    const common::OutRows y = out.out_rows();
    const tm::Projection p(a, f);
    const py::AllowThreads unlocked;
    common::parallel_for(
        n,
        [&](Py_ssize_t begin, Py_ssize_t end) {
            for (Py_ssize_t i = begin; i < end; ++i) {
                if constexpr (!reverse) {
                    const tm::Grid g = tm::tm_forward(p, 1.0, u[i], v[i] - lon0[i]);
                    y.put(i, 0, g.x), y.put(i, 1, g.y);
                    y.put(i, 2, g.convergence), y.put(i, 3, g.scale);
                } else {
                    const tm::Geographic g = tm::tm_reverse(p, 1.0, u[i], v[i]);
                    y.put(i, 0, g.lat), y.put(i, 1, tm::reduced(g.lon + lon0[i]));
                    y.put(i, 2, g.convergence), y.put(i, 3, g.scale);
                }
            }
        },
        kValues);
    Py_RETURN_NONE;
}

// A record of utm.GRID_dtype (aligned: zone, northp, then four doubles).
struct GridRecord {
    std::int32_t zone;
    bool northp;
    double easting, northing, convergence, scale;
};
static_assert(sizeof(GridRecord) == 40 && offsetof(GridRecord, northp) == 4 &&
              offsetof(GridRecord, easting) == 8 && offsetof(GridRecord, scale) == 32);

// A C-contiguous one-dimensional array of `type` with elements of `itemsize` bytes (0: any),
// or false with a ValueError naming it.
PyArrayObject* contiguous_array(PyObject* o, const char* name, int type, npy_intp itemsize,
                                bool writable) noexcept {
    if (!PyArray_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s must be a NumPy array", name);
        return nullptr;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(o);
    const bool kind =
        type == NPY_VOID ? PyDataType_HASFIELDS(PyArray_DESCR(array)) : PyArray_TYPE(array) == type;
    if (!kind || PyArray_NDIM(array) != 1 || !PyArray_IS_C_CONTIGUOUS(array) ||
        (itemsize != 0 && PyArray_ITEMSIZE(array) != itemsize) ||
        (writable && !PyArray_ISWRITEABLE(array))) {
        PyErr_Format(PyExc_ValueError, "%s must be a contiguous one-dimensional %s array", name,
                     type == NPY_UNICODE  ? "str"
                     : type == NPY_STRING ? "bytes"
                                          : "GRID_dtype");
        return nullptr;
    }
    return array;
}

int read_degrees(PyObject* o) noexcept {
    return PyObject_IsTrue(o);
}

// (ell, lat, lon, zone, degrees, out): UTM/UPS records into out, a contiguous
// one-dimensional GRID_dtype array; zone < 0 for the standard zone.
PyObject* forward_loop(PyObject* module, PyObject* const* args) noexcept {
    static constexpr const char* const kNames[3] = {"lat", "lon", "zone"};
    double a, f;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    const int degrees = read_degrees(args[4]);
    if (degrees < 0) return nullptr;
    PyArrayObject* out = contiguous_array(args[5], "out", NPY_VOID, sizeof(GridRecord), true);
    if (out == nullptr) return nullptr;
    py::DoubleBuffer in[3];
    for (int k = 0; k < 3; ++k)
        if (!in[k].acquire(args[k + 1], kNames[k], 0, false)) return nullptr;
    const Py_ssize_t n = PyArray_DIM(out, 0);
    if (!same_rows(in, kNames, 3, n)) return nullptr;
    const common::Column lat = in[0].column(), lon = in[1].column(), zone = in[2].column();
    auto* records = reinterpret_cast<GridRecord*>(PyArray_DATA(out));
    const tm::Projection p(a, f);
    const py::AllowThreads unlocked;
    common::parallel_for(
        n,
        [&](Py_ssize_t begin, Py_ssize_t end) {
            for (Py_ssize_t i = begin; i < end; ++i) {
                const double z = zone[i];
                const Position g = forward(p, lat[i], lon[i], z < 0 ? -1 : int(z), degrees);
                // Field by field: a whole record assigned would copy a temporary's
                // padding (indeterminate bytes) over the zeroed records the caller made.
                GridRecord& r = records[i];
                r.zone = g.zone, r.northp = g.north, r.easting = g.easting;
                r.northing = g.northing, r.convergence = g.convergence, r.scale = g.scale;
            }
        },
        kValues);
    Py_RETURN_NONE;
}

// (ell, zone, northp, easting, northing, degrees, out): rows of lat, lon, convergence, scale.
PyObject* reverse_loop(PyObject* module, PyObject* const* args) noexcept {
    static constexpr const char* const kNames[4] = {"zone", "northp", "easting", "northing"};
    double a, f;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    const int degrees = read_degrees(args[5]);
    if (degrees < 0) return nullptr;
    py::DoubleBuffer in[4], out;
    if (!out.acquire(args[6], "out", 4, true)) return nullptr;
    for (int k = 0; k < 4; ++k)
        if (!in[k].acquire(args[k + 1], kNames[k], 0, false)) return nullptr;
    const Py_ssize_t n = out.rows();
    if (!same_rows(in, kNames, 4, n)) return nullptr;
    const common::Column zone = in[0].column(), north = in[1].column();
    const common::Column easting = in[2].column(), northing = in[3].column();
    const common::OutRows y = out.out_rows();
    const tm::Projection p(a, f);
    const py::AllowThreads unlocked;
    common::parallel_for(
        n,
        [&](Py_ssize_t begin, Py_ssize_t end) {
            for (Py_ssize_t i = begin; i < end; ++i) {
                // Zones outside 0-60 are refused by the caller; NaN rows for any that slip by.
                const double z = zone[i];
                const tm::Geographic g =
                    z >= 0 && z <= 60
                        ? reverse(p, int(z), north[i] != 0, easting[i], northing[i], degrees)
                        : tm::kNoGeographic;
                y.put(i, 0, g.lat), y.put(i, 1, g.lon);
                y.put(i, 2, g.convergence), y.put(i, 3, g.scale);
            }
        },
        kValues);
    Py_RETURN_NONE;
}

// (ell, lat, lon, precision, degrees, out): the MGRS codes into out, a contiguous
// one-dimensional str array of kMgrsWidth characters (empty where there is none).
PyObject* to_mgrs_loop(PyObject* module, PyObject* const* args) noexcept {
    double a, f;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    const int degrees = read_degrees(args[4]);
    if (degrees < 0) return nullptr;
    const long precision = PyLong_AsLong(args[3]);
    if (precision == -1 && PyErr_Occurred()) return nullptr;
    if (precision < 0 || precision > 5) {
        PyErr_Format(PyExc_ValueError, "precision must be in 0-5, got %ld", precision);
        return nullptr;
    }
    PyArrayObject* out =
        contiguous_array(args[5], "out", NPY_UNICODE, kMgrsWidth * sizeof(Py_UCS4), true);
    if (out == nullptr) return nullptr;
    py::DoubleBuffer in[2];
    static constexpr const char* const kNames[2] = {"lat", "lon"};
    for (int k = 0; k < 2; ++k)
        if (!in[k].acquire(args[k + 1], kNames[k], 0, false)) return nullptr;
    const Py_ssize_t n = PyArray_DIM(out, 0);
    if (!same_rows(in, kNames, 2, n)) return nullptr;
    const common::Column lat = in[0].column(), lon = in[1].column();
    auto* codes = reinterpret_cast<Py_UCS4*>(PyArray_DATA(out));
    const tm::Projection p(a, f);
    const int digits = static_cast<int>(precision);
    const py::AllowThreads unlocked;
    common::parallel_for(
        n,
        [&](Py_ssize_t begin, Py_ssize_t end) {
            char code[kMgrsWidth];
            for (Py_ssize_t i = begin; i < end; ++i) {
                Py_UCS4* target = codes + i * kMgrsWidth;
                if (!to_mgrs(p, lat[i], lon[i], digits, degrees, code))
                    for (char& c : code) c = 0;
                for (int k = 0; k < kMgrsWidth; ++k)
                    target[k] = static_cast<Py_UCS4>(static_cast<unsigned char>(code[k]));
            }
        },
        kValues);
    Py_RETURN_NONE;
}

// (ell, codes, out): the centres (degrees) of the squares of contiguous one-dimensional
// bytes codes into rows of two; None, or (index, reason) of the first malformed code.
PyObject* from_mgrs_loop(PyObject* module, PyObject* const* args) noexcept {
    double a, f;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    PyArrayObject* codes = contiguous_array(args[1], "codes", NPY_STRING, 0, false);
    if (codes == nullptr) return nullptr;
    py::DoubleBuffer out;
    if (!out.acquire(args[2], "out", 2, true)) return nullptr;
    const Py_ssize_t n = PyArray_DIM(codes, 0);
    if (out.rows() != n) {
        PyErr_SetString(PyExc_ValueError, "out must have the rows of codes");
        return nullptr;
    }
    const int width = static_cast<int>(PyArray_ITEMSIZE(codes));
    const char* data = PyArray_BYTES(codes);
    const common::OutRows y = out.out_rows();
    const tm::Projection p(a, f);
    std::atomic<Py_ssize_t> first_bad{n};
    std::atomic<int> reason{0};
    {
        const py::AllowThreads unlocked;
        common::parallel_for(
            n,
            [&](Py_ssize_t begin, Py_ssize_t end) {
                for (Py_ssize_t i = begin; i < end; ++i) {
                    const Centre c = from_mgrs(p, data + i * width, width);
                    if (c.error != MgrsError::none) {
                        // The smallest bad index over the threads.
                        Py_ssize_t seen = first_bad.load();
                        while (i < seen && !first_bad.compare_exchange_weak(seen, i)) {
                        }
                        if (first_bad.load() == i) reason.store(static_cast<int>(c.error));
                        return;
                    }
                    y.put(i, 0, c.lat), y.put(i, 1, c.lon);
                }
            },
            kValues);
    }
    if (first_bad.load() == n) Py_RETURN_NONE;
    // The reason of the smallest index: run it again (the stores race between threads).
    const Py_ssize_t i = first_bad.load();
    const Centre c = from_mgrs(p, data + i * width, width);
    return Py_BuildValue("(ni)", i, static_cast<int>(c.error));
}

PyMethodDef UtmState::functions[] = {
    companion::entry<&projection<false>, 5>(
        "tm_forward", "(ell, lon0, lat, lon, out): rows of x, y, convergence, scale (k0 = 1)."),
    companion::entry<&projection<true>, 5>(
        "tm_reverse", "(ell, lon0, x, y, out): rows of lat, lon, convergence, scale (k0 = 1)."),
    companion::entry<&forward_loop, 6>(
        "forward",
        "(ell, lat, lon, zone, degrees, out): GRID_dtype records; zone < 0 for the "
        "standard zone."),
    companion::entry<&reverse_loop, 7>(
        "reverse",
        "(ell, zone, northp, easting, northing, degrees, out): rows of lat, lon, "
        "convergence, scale."),
    companion::entry<&to_mgrs_loop, 6>("to_mgrs",
                                       "(ell, lat, lon, precision, degrees, out): MGRS codes."),
    companion::entry<&from_mgrs_loop, 3>(
        "from_mgrs", "(ell, codes, out): centres in degrees; None or (index, reason)."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace
}  // namespace quorvane::ellipsoid::utm

PyMODINIT_FUNC PyInit__utm() {
    using quorvane::ellipsoid::utm::UtmState;
    return quorvane::ellipsoid::companion::init_module<UtmState>();
}
