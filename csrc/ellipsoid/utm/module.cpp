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

// The loops of the projections: (ell, a, b, c, [d,] out) with out rows of four, one kernel
// each.
enum class Loop : int { tm_forward, tm_reverse, utm_forward, utm_reverse };

template <Loop loop>
PyObject* projection(PyObject* module, PyObject* const* args) noexcept {
    constexpr int kIn = loop == Loop::utm_reverse ? 4 : 3;
    constexpr int kWidth = loop == Loop::utm_forward ? 6 : 4;
    static constexpr const char* const kNames[4][4] = {
        {"lon0", "lat", "lon", ""},
        {"lon0", "x", "y", ""},
        {"lat", "lon", "zone", ""},
        {"zone", "northp", "easting", "northing"},
    };
    double a, f;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    py::DoubleBuffer in[kIn], out;
    if (!out.acquire(args[kIn + 1], "out", kWidth, true)) return nullptr;
    const char* const* names = kNames[static_cast<int>(loop)];
    for (int k = 0; k < kIn; ++k)
        if (!in[k].acquire(args[k + 1], names[k], 0, false)) return nullptr;
    const Py_ssize_t n = out.rows();
    if (!same_rows(in, names, kIn, n)) return nullptr;
    common::Column x[kIn];
    for (int k = 0; k < kIn; ++k) x[k] = in[k].column();
    const common::OutRows y = out.out_rows();
    const tm::Projection p(a, f);
    const py::AllowThreads unlocked;
    common::parallel_for(
        n,
        [&](Py_ssize_t begin, Py_ssize_t end) {
            for (Py_ssize_t i = begin; i < end; ++i) {
                if constexpr (loop == Loop::tm_forward) {
                    const tm::Grid g = tm::tm_forward(p, 1.0, x[1][i], x[2][i] - x[0][i]);
                    y.put(i, 0, g.x), y.put(i, 1, g.y);
                    y.put(i, 2, g.convergence), y.put(i, 3, g.scale);
                } else if constexpr (loop == Loop::tm_reverse) {
                    const tm::Geographic g = tm::tm_reverse(p, 1.0, x[1][i], x[2][i]);
                    y.put(i, 0, g.lat), y.put(i, 1, tm::reduced(g.lon + x[0][i]));
                    y.put(i, 2, g.convergence), y.put(i, 3, g.scale);
                } else if constexpr (loop == Loop::utm_forward) {
                    // Degrees in; the zone column: < 0 for the standard zone.
                    const double z = x[2][i];
                    const Position g = forward(p, x[0][i], x[1][i], z < 0 ? -1 : int(z));
                    y.put(i, 0, g.zone), y.put(i, 1, g.north ? 1.0 : 0.0);
                    y.put(i, 2, g.easting), y.put(i, 3, g.northing);
                    y.put(i, 4, g.convergence * kDegrees), y.put(i, 5, g.scale);
                } else {
                    const tm::Geographic g =
                        reverse(p, int(x[0][i]), x[1][i] != 0, x[2][i], x[3][i]);
                    y.put(i, 0, g.lat), y.put(i, 1, g.lon);
                    y.put(i, 2, g.convergence * kDegrees), y.put(i, 3, g.scale);
                }
            }
        },
        kValues);
    Py_RETURN_NONE;
}

// A C-contiguous one-dimensional array of `type` with elements of `itemsize` bytes (0: any),
// or false with a ValueError naming it.
PyArrayObject* string_array(PyObject* o, const char* name, int type, npy_intp itemsize,
                            bool writable) noexcept {
    if (!PyArray_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s must be a NumPy array", name);
        return nullptr;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_TYPE(array) != type || PyArray_NDIM(array) != 1 ||
        !PyArray_IS_C_CONTIGUOUS(array) || (itemsize != 0 && PyArray_ITEMSIZE(array) != itemsize) ||
        (writable && !PyArray_ISWRITEABLE(array))) {
        PyErr_Format(PyExc_ValueError, "%s must be a contiguous one-dimensional %s array", name,
                     type == NPY_UNICODE ? "str" : "bytes");
        return nullptr;
    }
    return array;
}

// (ell, lat, lon, precision, out): the MGRS codes of degrees into out, a contiguous
// one-dimensional str array of kMgrsWidth characters (empty where there is none).
PyObject* to_mgrs_loop(PyObject* module, PyObject* const* args) noexcept {
    double a, f;
    if (!read_ellipsoid(module, args[0], a, f)) return nullptr;
    const long precision = PyLong_AsLong(args[3]);
    if (precision == -1 && PyErr_Occurred()) return nullptr;
    if (precision < 0 || precision > 5) {
        PyErr_Format(PyExc_ValueError, "precision must be in 0-5, got %ld", precision);
        return nullptr;
    }
    PyArrayObject* out =
        string_array(args[4], "out", NPY_UNICODE, kMgrsWidth * sizeof(Py_UCS4), true);
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
                if (!to_mgrs(p, lat[i], lon[i], digits, code))
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
    PyArrayObject* codes = string_array(args[1], "codes", NPY_STRING, 0, false);
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
    companion::entry<&projection<Loop::tm_forward>, 5>(
        "tm_forward", "(ell, lon0, lat, lon, out): rows of x, y, convergence, scale (k0 = 1)."),
    companion::entry<&projection<Loop::tm_reverse>, 5>(
        "tm_reverse", "(ell, lon0, x, y, out): rows of lat, lon, convergence, scale (k0 = 1)."),
    companion::entry<&projection<Loop::utm_forward>, 5>(
        "forward",
        "(ell, lat, lon, zone, out): degrees in; rows of zone, northp, easting, northing, "
        "convergence (degrees), scale; zone < 0 for the standard zone."),
    companion::entry<&projection<Loop::utm_reverse>, 6>(
        "reverse",
        "(ell, zone, northp, easting, northing, out): rows of lat, lon, convergence (degrees), "
        "scale."),
    companion::entry<&to_mgrs_loop, 5>("to_mgrs",
                                       "(ell, lat, lon, precision, out): MGRS codes of degrees."),
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
