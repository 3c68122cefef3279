// The extension module quorvane.mathtools.ellipsoid._fast: the element loops
// of quorvane.mathtools.ellipsoid.fast, which checks and prepares their
// arguments.
//
// Each function takes the Ellipsoid first, then float64 buffers of any strides
// and alignment: rows of three doubles (N, 3), or columns of N values or of one
// value; the result is a C-contiguous (N, 3) float64 buffer. The
// loops run without the interpreter lock from 256 rows, split over threads as
// the methods' loops are, with the loops of the best instruction-set level
// this machine has, or of the level QUORVANE_SIMD names (scalar, sse2, avx2,
// avx512, neon). Every level gives the same bits.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <cstring>

#include "common/buffer.h"
#include "common/parallel.h"
#include "common/ref.h"
#include "ellipsoid/fast/loops.h"
#include "ellipsoid/kernels/dispatch.h"
#include "quorvane/mathtools/ellipsoid/ellipsoid.h"

namespace quorvane::fast {
namespace {

using py::Ref;
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

struct FastState {
    PyTypeObject* ellipsoid_type;  // strong
};

FastState* state_of(PyObject* module) noexcept {
    return static_cast<FastState*>(PyModule_GetState(module));
}

// A held view of a float64 buffer of any strides and alignment: rows (N, 3)
// or a column (N,). The loops read it through memcpy.
class StridedDoubles {
public:
    StridedDoubles() noexcept = default;
    StridedDoubles(const StridedDoubles&) = delete;
    StridedDoubles& operator=(const StridedDoubles&) = delete;
    ~StridedDoubles() {
        if (held_) PyBuffer_Release(&view_);
    }

    // The buffer of `object`: shape (N,) when `columns` is 0, else (N, columns);
    // `name` names it in the ValueError otherwise.
    bool acquire(PyObject* object, const char* name, int columns) noexcept {
        if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) < 0) return false;
        held_ = true;
        const char* format = view_.format;
        const bool is_double = format != nullptr && view_.itemsize == sizeof(double) &&
                               (std::strcmp(format, "d") == 0 || std::strcmp(format, "=d") == 0 ||
                                std::strcmp(format, "@d") == 0);
        const bool shaped =
            columns == 0 ? view_.ndim == 1 : view_.ndim == 2 && view_.shape[1] == columns;
        if (!is_double || !shaped || view_.strides == nullptr) {
            if (columns == 0) {
                PyErr_Format(PyExc_ValueError, "%s must be an (N,) float64 array", name);
            } else {
                PyErr_Format(PyExc_ValueError, "%s must be an (N, %d) float64 array", name,
                             columns);
            }
            return false;
        }
        return true;
    }
    Py_ssize_t rows() const noexcept { return view_.shape[0]; }
    Rows as_rows() const noexcept {
        return Rows{static_cast<const char*>(view_.buf), view_.strides[0], view_.strides[1]};
    }
    // One value stands for every row.
    Column as_column() const noexcept {
        return Column{static_cast<const char*>(view_.buf), rows() == 1 ? 0 : view_.strides[0]};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The methods' kernels for one row. out may be unaligned: it is written
// through memcpy.
void exact_lla(const void* self, const double* r, double* out) noexcept {
    double row[3] = {r[0], r[1], r[2]};
    LLA lla;
    ellipsoid::kernels::c_lla_from_pos<Direct>(static_cast<QuorvaneEllipsoid>(self), row, &lla);
    const double result[3] = {lla.lat, lla.lon, lla.alt};
    std::memcpy(out, result, sizeof result);
}

void exact_pos(const void* self, double lat, double lon, double alt, double* r) noexcept {
    double out[3];
    ellipsoid::kernels::c_pos_from_lla<Direct>(static_cast<QuorvaneEllipsoid>(self),
                                               LLA{lat, lon, alt}, out);
    std::memcpy(r, out, sizeof out);
}

void exact_aer(const void* self, const double* r, double lat, double lon, double alt,
               double* out) noexcept {
    double row[3] = {r[0], r[1], r[2]};
    AER aer;
    ellipsoid::kernels::c_aer_coords<Direct>(static_cast<QuorvaneEllipsoid>(self), row,
                                             LLA{lat, lon, alt}, &aer);
    const double result[3] = {aer.azimuth, aer.elevation, aer.range};
    std::memcpy(out, result, sizeof result);
}

void exact_enu(const void* self, const double* r, double lat, double lon, double alt,
               double* out) noexcept {
    double target[3] = {r[0], r[1], r[2]}, origin[3], d[3];
    ENU_Frame frame;
    ellipsoid::kernels::observer_position_and_frame(static_cast<QuorvaneEllipsoid>(self),
                                                    LLA{lat, lon, alt}, origin, &frame);
    vectools::sub(target, origin, d);
    const double result[3] = {vectools::dot(d, frame.u_east), vectools::dot(d, frame.u_north),
                              vectools::dot(d, frame.u_up)};
    std::memcpy(out, result, sizeof result);
}

// The levels built into this module that this machine runs, best last.
int available_levels(const Loops* out[4]) noexcept {
    int n = 0;
    out[n++] = &kScalarLoops;
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("sse2")) out[n++] = &kSse2Loops;
    if (__builtin_cpu_supports("avx2")) out[n++] = &kAvx2Loops;
#endif
#if defined(__aarch64__)
    out[n++] = &kNeonLoops;
#endif
    return n;
}

// The loops to run: QUORVANE_SIMD's level when set (a ValueError when this
// machine or build lacks it), else the best.
const Loops* chosen_loops() noexcept {
    const Loops* levels[4];
    const int n = available_levels(levels);
    const char* forced = std::getenv("QUORVANE_SIMD");
    if (forced == nullptr || *forced == '\0') return levels[n - 1];
    for (int k = 0; k < n; ++k)
        if (std::strcmp(levels[k]->name, forced) == 0) return levels[k];
    char names[64] = "";
    for (int k = 0; k < n; ++k) {
        if (k > 0) std::strcat(names, ", ");
        std::strcat(names, levels[k]->name);
    }
    PyErr_Format(PyExc_ValueError,
                 "QUORVANE_SIMD=%.40s: no such instruction-set level on this machine (it has %s)",
                 forced, names);
    return nullptr;
}

// The ellipsoid of `ell`, checked, as the loops use it.
bool read_shape(PyObject* module, PyObject* ell, Shape& shape) noexcept {
    if (!PyObject_TypeCheck(ell, state_of(module)->ellipsoid_type)) {
        PyErr_Format(PyExc_TypeError, "ell must be an Ellipsoid, got %.200s",
                     Py_TYPE(ell)->tp_name);
        return false;
    }
    const auto* self = reinterpret_cast<const QuorvaneEllipsoidObject*>(ell);
    const double a = self->Re, f = self->f;
    shape.a = a, shape.f = f, shape.b = self->Rp;
    // 1 - f and its rounding error (exact: f is at most 1).
    shape.om_hi = 1.0 - f;
    shape.om_lo = (1.0 - shape.om_hi) - f;
    // (1 - f)^2 from the double-double, one rounding.
    const double p = shape.om_hi * shape.om_hi;
    const double split = shape.om_hi * 134217729.0;
    const double hi = split - (split - shape.om_hi), lo = shape.om_hi - hi;
    const double p_err = ((hi * hi - p) + 2.0 * (hi * lo)) + lo * lo;
    shape.om2 = p + (p_err + 2.0 * (shape.om_hi * shape.om_lo));
    shape.ae2 = a * (f * (2.0 - f));
    // (1 - f) Re = a (om_hi + om_lo) as a double-double.
    shape.b_hi = a * shape.om_hi;
    const double a_split = a * 134217729.0;
    const double a_hi = a_split - (a_split - a), a_lo = a - a_hi;
    const double o_split = shape.om_hi * 134217729.0;
    const double o_hi = o_split - (o_split - shape.om_hi), o_lo = shape.om_hi - o_hi;
    const double b_err = (((a_hi * o_hi - shape.b_hi) + a_hi * o_lo) + a_lo * o_hi) + a_lo * o_lo;
    shape.b_lo = b_err + a * shape.om_lo;
    // The iteration's start and step count are measured for flattenings up to
    // 1/100 and lengths whose squares stay normal.
    const bool normal_length = a >= 0x1p-490 && a <= 0x1p490;
    shape.fast_foot = normal_length && f >= 0.0 && f <= 0.01;
    shape.fast_pos = normal_length;
    shape.self = self;
    shape.exact_lla = &exact_lla;
    shape.exact_pos = &exact_pos;
    shape.exact_aer = &exact_aer;
    shape.exact_enu = &exact_enu;
    return true;
}

// (ell, r, out): lat, lon, alt rows of r's rows into out.
PyObject* lla_from_pos(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "expected 3 arguments (ell, r, out)");
        return nullptr;
    }
    Shape shape;
    if (!read_shape(module, args[0], shape)) return nullptr;
    const Loops* loops = chosen_loops();
    if (loops == nullptr) return nullptr;
    StridedDoubles r;
    py::DoubleRows out;
    if (!r.acquire(args[1], "r", 3) || !out.acquire(args[2], "out", 3, true)) return nullptr;
    if (r.rows() != out.rows()) {
        PyErr_SetString(PyExc_ValueError, "r and out must have the same number of rows");
        return nullptr;
    }
    const Py_ssize_t n = r.rows();
    const Rows src = r.as_rows();
    double* dst = out.data();
    const py::AllowThreads unlocked(n >= kUnlockedRows);
    split(n, [&](Py_ssize_t begin, Py_ssize_t end) {
        loops->lla_from_pos(shape, src, dst, begin, end);
    });
    Py_RETURN_NONE;
}

// (ell, lat, lon, alt, out): positions of the columns' rows into out.
PyObject* pos_from_lla(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "expected 5 arguments (ell, lat, lon, alt, out)");
        return nullptr;
    }
    Shape shape;
    if (!read_shape(module, args[0], shape)) return nullptr;
    const Loops* loops = chosen_loops();
    if (loops == nullptr) return nullptr;
    static constexpr const char* names[3] = {"lat", "lon", "alt"};
    StridedDoubles in[3];
    py::DoubleRows out;
    if (!out.acquire(args[4], "out", 3, true)) return nullptr;
    const Py_ssize_t n = out.rows();
    Column c[3];
    for (int k = 0; k < 3; ++k) {
        if (!in[k].acquire(args[1 + k], names[k], 0)) return nullptr;
        if (in[k].rows() != n && in[k].rows() != 1) {
            PyErr_Format(PyExc_ValueError, "%s must have the rows of out or one", names[k]);
            return nullptr;
        }
        c[k] = in[k].as_column();
    }
    double* dst = out.data();
    const py::AllowThreads unlocked(n >= kUnlockedRows);
    split(n, [&](Py_ssize_t begin, Py_ssize_t end) {
        loops->pos_from_lla(shape, c[0], c[1], c[2], dst, begin, end);
    });
    Py_RETURN_NONE;
}

// (ell, r, lat, lon, alt, out): azimuth, elevation, range rows of the targets
// r (N, 3) seen from the observers' columns into out.
template <bool angles>
PyObject* observe(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 6) {
        PyErr_SetString(PyExc_TypeError, "expected 6 arguments (ell, r, lat, lon, alt, out)");
        return nullptr;
    }
    Shape shape;
    if (!read_shape(module, args[0], shape)) return nullptr;
    const Loops* loops = chosen_loops();
    if (loops == nullptr) return nullptr;
    static constexpr const char* names[3] = {"lat_obs", "lon_obs", "alt_obs"};
    StridedDoubles r, in[3];
    py::DoubleRows out;
    if (!r.acquire(args[1], "r_target", 3) || !out.acquire(args[5], "out", 3, true)) return nullptr;
    const Py_ssize_t n = out.rows();
    if (r.rows() != n) {
        PyErr_SetString(PyExc_ValueError, "r_target and out must have the same number of rows");
        return nullptr;
    }
    Column c[3];
    for (int k = 0; k < 3; ++k) {
        if (!in[k].acquire(args[2 + k], names[k], 0)) return nullptr;
        if (in[k].rows() != n && in[k].rows() != 1) {
            PyErr_Format(PyExc_ValueError, "%s must have the rows of out or one", names[k]);
            return nullptr;
        }
        c[k] = in[k].as_column();
    }
    const Rows src = r.as_rows();
    double* dst = out.data();
    const py::AllowThreads unlocked(n >= kUnlockedRows);
    split(n, [&](Py_ssize_t begin, Py_ssize_t end) {
        (angles ? loops->aer_coords : loops->enu_from_pos)(shape, src, c[0], c[1], c[2], dst, begin,
                                                           end);
    });
    Py_RETURN_NONE;
}

// (which, x, y, out): sin x, cos x or atan2(x, y) element by element, as the
// chosen level computes them (for measuring their error).
PyObject* elementary(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 4) {
        PyErr_SetString(PyExc_TypeError, "expected 4 arguments (which, x, y, out)");
        return nullptr;
    }
    const long which = PyLong_AsLong(args[0]);
    if (which == -1 && PyErr_Occurred()) return nullptr;
    if (which < 0 || which > 2) {
        PyErr_SetString(PyExc_ValueError, "which must be 0 (sin), 1 (cos) or 2 (atan2)");
        return nullptr;
    }
    const Loops* loops = chosen_loops();
    if (loops == nullptr) return nullptr;
    py::DoubleRows x, y, out;
    if (!x.acquire(args[1], "x", 0, false) || !y.acquire(args[2], "y", 0, false) ||
        !out.acquire(args[3], "out", 0, true))
        return nullptr;
    if (x.rows() != out.rows() || y.rows() != out.rows()) {
        PyErr_SetString(PyExc_ValueError, "x, y and out must have the same length");
        return nullptr;
    }
    loops->elementary(int(which), x.data(), y.data(), out.data(), out.rows());
    Py_RETURN_NONE;
}

// () -> the name of the level the loops would run at now.
PyObject* level(PyObject*, PyObject*) noexcept {
    const Loops* loops = chosen_loops();
    return loops == nullptr ? nullptr : PyUnicode_FromString(loops->name);
}

// () -> the names of the levels this machine runs, best last.
PyObject* levels(PyObject*, PyObject*) noexcept {
    const Loops* all[4];
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

#define QUORVANE_FAST_FUNCTION(NAME, FUNCTION, FLAGS, DOC) \
    {NAME, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(FUNCTION)), FLAGS, DOC}

PyMethodDef functions[] = {
    QUORVANE_FAST_FUNCTION("lla_from_pos", &lla_from_pos, METH_FASTCALL,
                           "(ell, r, out): lat, lon, alt rows of the (N, 3) rows r."),
    QUORVANE_FAST_FUNCTION("pos_from_lla", &pos_from_lla, METH_FASTCALL,
                           "(ell, lat, lon, alt, out): position rows of the columns."),
    QUORVANE_FAST_FUNCTION("enu_from_pos", &observe<false>, METH_FASTCALL,
                           "(ell, r, lat, lon, alt, out): east, north, up rows."),
    QUORVANE_FAST_FUNCTION("aer_coords", &observe<true>, METH_FASTCALL,
                           "(ell, r, lat, lon, alt, out): azimuth, elevation, range rows."),
    QUORVANE_FAST_FUNCTION("elementary", &elementary, METH_FASTCALL,
                           "(which, x, y, out): sin x (0), cos x (1) or atan2(x, y) (2)."),
    QUORVANE_FAST_FUNCTION("level", &level, METH_NOARGS,
                           "The instruction-set level the loops run at now."),
    QUORVANE_FAST_FUNCTION("levels", &levels, METH_NOARGS,
                           "The instruction-set levels this machine runs, best last."),
    {nullptr, nullptr, 0, nullptr},
};
#undef QUORVANE_FAST_FUNCTION

int fast_exec(PyObject* module) noexcept {
    Ref ellipsoid = Ref::steal(PyImport_ImportModule("quorvane.mathtools.ellipsoid.ellipsoid"));
    if (!ellipsoid) return -1;
    Ref type = Ref::steal(PyObject_GetAttrString(ellipsoid.get(), "Ellipsoid"));
    if (!type) return -1;
    if (!PyType_Check(type.get())) {
        PyErr_SetString(PyExc_ImportError, "Ellipsoid is not a type");
        return -1;
    }
    state_of(module)->ellipsoid_type = reinterpret_cast<PyTypeObject*>(type.release());
    return 0;
}

int fast_traverse(PyObject* module, visitproc visit, void* arg) noexcept {
    Py_VISIT(state_of(module)->ellipsoid_type);
    return 0;
}

int fast_clear(PyObject* module) noexcept {
    Py_CLEAR(state_of(module)->ellipsoid_type);
    return 0;
}

void fast_free(void* module) noexcept {
    fast_clear(static_cast<PyObject*>(module));
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&fast_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quorvane.mathtools.ellipsoid._fast",
    .m_doc = "Vectorised element loops (see quorvane.mathtools.ellipsoid.fast).",
    .m_size = sizeof(FastState),
    .m_methods = functions,
    .m_slots = slots,
    .m_traverse = fast_traverse,
    .m_clear = fast_clear,
    .m_free = fast_free,
};

}  // namespace
}  // namespace quorvane::fast

PyMODINIT_FUNC PyInit__fast() {
    return PyModuleDef_Init(&quorvane::fast::module_def);
}
