// The geometries' loop: flat coordinates, as GIS libraries hold them (longitude
// x and latitude y in degrees, two float64 columns of any stride), cut into rings
// by ring offsets, the rings into parts (polygons, lines) by part offsets, and the
// parts into geometries by geometry offsets: GeoArrow's layout of multipolygons,
// which holds every other kind. A geometry's result is the sum of its rings', in
// order:
//
// - closed rings (polygons): the signed area of each ring, counter-clockwise
//   positive (the smaller side, as polygon_area with signed=True), so that a
//   hole wound against its shell subtracts; the perimeter is that of the first
//   ring of each part, its shell (pyproj's geometry_area_perimeter counts the
//   same);
// - open rings (lines): the sum of the lengths of their geodesic edges.
//
// Each ring is the very loop of geodesic.polygon_area (geodesic.line_length),
// with the degrees converted as the engine converts them, so one ring gives
// their bits. With rhumb=True the edges are rhumb lines instead (kernels/rhumb.h):
// a closed ring is rhumb.polygon_area's loop, an open one the sum of its edges'
// s12 as that polygon's perimeter sums them; the loop over geometries is the
// same template over the kind of edge. With fast=True geodesic edges go through
// SIMD lanes (fast/edge_lanes.h, the level the _fast module runs at), some hundreds
// of a ring's edges a call, and add up as the exact loop adds them. A geometry of no
// rings gives NaN. Geometries are split over threads in blocks taken in turn: their
// sizes vary by orders of magnitude.
#include "ellipsoid/geodesic/geometries.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <tuple>
#include <utility>

#include "common/buffer.h"
#include "common/parallel.h"
#include "common/ref.h"
#include "ellipsoid/companion_module.h"
#include "ellipsoid/fast/edges.h"
#include "ellipsoid/fast/level_choice.h"
#include "ellipsoid/geodesic/kernels.h"
#include "ellipsoid/kernels/rhumb.h"

namespace quorvane::geodesic {
namespace {

namespace rhumb = ellipsoid::rhumb;

// A held view of a C-contiguous 1-D int64 buffer: offsets.
class Offsets {
public:
    Offsets() noexcept = default;
    Offsets(const Offsets&) = delete;
    Offsets& operator=(const Offsets&) = delete;
    ~Offsets() {
        if (held_) PyBuffer_Release(&view_);
    }

    // The buffer of `object`, refused naming it `name` where it is not a
    // non-empty contiguous 1-D int64 array of non-decreasing offsets from 0 or
    // more up to `limit` at most.
    bool acquire(PyObject* object, const char* name, std::int64_t limit) noexcept {
        if (!PyObject_CheckBuffer(object)) {
            PyErr_Format(PyExc_TypeError, "%s must be a 1-D int64 array, got %.200s", name,
                         Py_TYPE(object)->tp_name);
            return false;
        }
        if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
            // Not contiguous: NumPy says BufferError or ValueError, as the float64 buffers'.
            if (PyErr_ExceptionMatches(PyExc_BufferError) ||
                PyErr_ExceptionMatches(PyExc_ValueError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ValueError, "%s must be a contiguous 1-D int64 array", name);
            }
            return false;
        }
        held_ = true;
        const char* format = view_.format;
        const bool is_int64 = format != nullptr && view_.itemsize == 8 &&
                              (std::strcmp(format, "q") == 0 || std::strcmp(format, "l") == 0 ||
                               std::strcmp(format, "=q") == 0 || std::strcmp(format, "@q") == 0 ||
                               std::strcmp(format, "@l") == 0);
        if (!is_int64 || view_.ndim != 1 || view_.shape[0] < 1) {
            PyErr_Format(PyExc_ValueError, "%s must be a non-empty 1-D int64 array", name);
            return false;
        }
        const std::int64_t* p = data();
        bool ordered = p[0] >= 0 && p[size() - 1] <= limit;
        for (Py_ssize_t i = 1; ordered && i < size(); ++i) ordered = p[i - 1] <= p[i];
        if (!ordered) {
            PyErr_Format(PyExc_ValueError, "%s must be non-decreasing offsets in [0, %lld]", name,
                         static_cast<long long>(limit));
            return false;
        }
        return true;
    }

    const std::int64_t* data() const noexcept {
        return static_cast<const std::int64_t*>(view_.buf);
    }
    Py_ssize_t size() const noexcept { return view_.shape[0]; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Degrees to radians as numpy.radians computes them.
constexpr double kRadians = kPi / 180.0;

// Vertex i in radians: the longitude first reduced exactly beyond 540 degrees.
inline double latitude(const common::Column& y, std::int64_t i) noexcept {
    return y[i] * kRadians;
}
inline double longitude_of(const common::Column& x, std::int64_t i) noexcept {
    return longitude::reduce_degrees(x[i]) * kRadians;
}

struct RingResult {
    double area, length;
};

// The two kinds of edge, each a ring's accumulators with the constants of its ellipsoid:
// geodesics (geodesic.polygon_area's and geodesic.line_length's sums) and rhumb lines
// (rhumb.polygon_area's; a line's length is its rhumb edges' s12 summed as that
// perimeter is). One of each per chunk of geometries.
class GeodesicEdges {
public:
    using Model = Geodesic;
    explicit GeodesicEdges(const Geodesic& g) noexcept : g_(g), polygon_(g) {}
    void start_ring() noexcept { polygon_.restart(); }
    template <class Vertex>
    void add_ring(std::int64_t n, const Vertex& vertex) noexcept {
        polygon_.add_ring(g_, n, vertex);
    }
    RingResult ring() const noexcept {
        return {polygon_.final_area(g_, true), polygon_.final_perimeter(g_)};
    }
    void start_path() noexcept { path_ = Accumulator{}; }
    template <class Vertex>
    void add_path(std::int64_t n, const Vertex& vertex) noexcept {
        geodesic::add_path(g_, n, vertex, path_);
    }
    double path() const noexcept { return g_.metres(path_.value()); }  // scaled to metres

private:
    const Geodesic& g_;
    Polygon polygon_;   // the area's constants, once for the chunk
    Accumulator path_;  // on the scaled ellipsoid
};

class RhumbEdges {
public:
    using Model = rhumb::Rhumb;
    explicit RhumbEdges(const rhumb::Rhumb& r) noexcept : r_(r) {}
    void start_ring() noexcept { polygon_ = rhumb::Polygon{}; }
    void add_edge(double lat1, double lon1, double lat2, double lon2) noexcept {
        polygon_.add_edge(r_, lat1, lon1, lat2, lon2);
    }
    template <class Vertex>
    void add_ring(std::int64_t n, const Vertex& vertex) noexcept {
        for (std::int64_t i = 0; i < n; ++i) {
            const auto [lat1, lon1] = vertex(i);
            const auto [lat2, lon2] = vertex(i + 1 < n ? i + 1 : 0);
            add_edge(lat1, lon1, lat2, lon2);
        }
    }
    RingResult ring() const noexcept { return {polygon_.area(r_, true), polygon_.perimeter()}; }
    void start_path() noexcept { start_ring(); }
    template <class Vertex>
    void add_path(std::int64_t n, const Vertex& vertex) noexcept {
        for (std::int64_t i = 0; i + 1 < n; ++i) {
            const auto [lat1, lon1] = vertex(i);
            const auto [lat2, lon2] = vertex(i + 1);
            add_edge(lat1, lon1, lat2, lon2);
        }
    }
    double path() const noexcept { return polygon_.perimeter(); }

private:
    const rhumb::Rhumb& r_;
    rhumb::Polygon polygon_;
};

// -- Edges in lanes (fast=True) ---------------------------------------------------------

// The edge loops of the level the _fast module runs at: QUORVANE_SIMD's when set (a
// ValueError, as _fast gives, when this machine or build lacks it), else the best.
const fast::EdgeLoops* chosen_edge_loops() noexcept {
    const fast::EdgeLoops* levels[fast::kMaxLevels];
    int n = 0;
    levels[n++] = &fast::kScalarEdgeLoops;
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("sse2")) levels[n++] = &fast::kSse2EdgeLoops;
    if (__builtin_cpu_supports("avx2")) levels[n++] = &fast::kAvx2EdgeLoops;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq"))
        levels[n++] = &fast::kAvx512EdgeLoops;
#endif
#if defined(__aarch64__)
    levels[n++] = &fast::kNeonEdgeLoops;
#endif
    return fast::choose_level(levels, n);
}

// The lanes' constants of one ellipsoid of the series' flattenings, and the exact
// kernels' for the edges they leave. It holds its own address (edges.exact): built
// in place, never copied.
struct LaneModel {
    Geodesic g;
    Polygon area_rule;  // the exact kernels' area constants (series, quadrature)
    fast::EdgeConstants c{};
    const fast::EdgeLoops* loops;

    LaneModel(double a, double f, const fast::EdgeLoops* chosen) noexcept
        : g(a, f), area_rule(g), loops(chosen) {
        static_assert(fast::kEdgeAreaTerms == kAreaTerms);
        fast::GeodesicConstants& lanes = c.geo;
        lanes.a = g.a, lanes.f = g.f, lanes.f1 = g.f1, lanes.b = g.b;
        lanes.e2 = g.e2, lanes.ep2 = g.ep2;
        for (int j = 0; j < 6; ++j) lanes.a3[j] = g.lon.a3[j];
        for (int l = 0; l < 6; ++l)
            for (int j = 0; j < 6; ++j) lanes.c3[l][j] = g.lon.c3[l][j];
        lanes.series = !g.exact;
        c.c2 = g.c2;
        c.e2a2 = g.e2 * sq(g.a);
        // The terms whose factor k^(2m) <= e'^(2m) may exceed 1e-17.
        double power = 1;
        c.terms = 0;
        while (c.terms < kAreaTerms && power >= 1e-17) power *= g.ep2, ++c.terms;
        for (int m = 0; m < kAreaTerms; ++m) {
            c.q[m] = area_rule.series.q[m];
            c.inverse_odd[m] = 1.0 / (2 * m + 1);
        }
        c.exact = this;
        c.exact_edge = &exact_edge;
    }
    LaneModel(const LaneModel&) = delete;
    LaneModel& operator=(const LaneModel&) = delete;

    // (lat1, lat2, lon12) to (s12, S12) by the geodesic module's kernels.
    static void exact_edge(const void* self, const double* in, double* out) noexcept {
        const LaneModel& m = *static_cast<const LaneModel*>(self);
        InverseDetail d;
        const InverseResult r = inverse_scaled(m.g, in[0], 0.0, in[1], in[2], &d);
        out[0] = r.s12;
        out[1] = std::isnan(r.s12) ? r.s12
                                   : edge_area(m.g, m.area_rule.series, m.area_rule.rule,
                                               m.area_rule.integrand, d);
    }
};

// Geodesic edges through the lanes, a ring's edges some hundreds at a time: the
// sums, the turns about the axis and the results as GeodesicEdges has them.
class LaneEdges {
public:
    using Model = LaneModel;
    explicit LaneEdges(const LaneModel& m) noexcept : m_(m), polygon_(m.g) {}
    void start_ring() noexcept { polygon_.restart(); }
    template <class Vertex>
    void add_ring(std::int64_t n, const Vertex& vertex) noexcept {
        walk(n, true, vertex, [&](double s12, double S12, double lon1, double lon2, double lon12) {
            if (std::isnan(s12))
                polygon_.invalid = true;
            else
                polygon_.add_solved(s12, -S12, lon1, lon2, lon12);  // S12 counts clockwise
        });
    }
    RingResult ring() const noexcept {
        return {polygon_.final_area(m_.g, true), polygon_.final_perimeter(m_.g)};
    }
    void start_path() noexcept { path_ = Accumulator{}; }
    template <class Vertex>
    void add_path(std::int64_t n, const Vertex& vertex) noexcept {
        walk(n, false, vertex, [&](double s12, double, double, double, double) { path_.add(s12); });
    }
    double path() const noexcept { return m_.g.metres(path_.value()); }

private:
    static constexpr int kPiece = 256;  // edges a call of the level's loop

    // The edges of the n vertices (and the one back to the first where `closed`), in
    // order: take(s12, S12, lon1, lon2, lon12) for each.
    template <class Vertex, class Take>
    void walk(std::int64_t n, bool closed, const Vertex& vertex, const Take& take) noexcept {
        const std::int64_t count = closed ? n : n - 1;
        double lat[kPiece + 1], lon[kPiece + 1], lon12[kPiece], s12[kPiece], S12[kPiece];
        for (std::int64_t start = 0; start < count; start += kPiece) {
            const int m = int(std::min<std::int64_t>(kPiece, count - start));
            for (int k = 0; k <= m; ++k) {
                const std::int64_t i = start + k;
                std::tie(lat[k], lon[k]) = vertex(i < n ? i : 0);
            }
            for (int k = 0; k < m; ++k) lon12[k] = longitude::lon_diff(lon[k], lon[k + 1]);
            m_.loops->edges(m_.c, lat, lon12, m, s12, S12);
            for (int k = 0; k < m; ++k) take(s12[k], S12[k], lon[k], lon[k + 1], lon12[k]);
        }
    }

    const LaneModel& m_;
    Polygon polygon_;
    Accumulator path_;
};

// The closed ring of vertices [begin, end): its signed area and perimeter. The
// closing vertex, where it repeats the first, is no edge of its own.
template <class Edges>
RingResult closed_ring(Edges& edges, const common::Column& x, const common::Column& y,
                       std::int64_t begin, std::int64_t end) noexcept {
    std::int64_t n = end - begin;
    if (n > 1 && x[end - 1] == x[begin] && y[end - 1] == y[begin]) --n;
    if (n == 0) return {0.0, 0.0};
    edges.start_ring();
    edges.add_ring(n, [&](std::int64_t i) {
        return std::pair(latitude(y, begin + i), longitude_of(x, begin + i));
    });
    return edges.ring();
}

// The open path of vertices [begin, end): its length.
template <class Edges>
double open_ring(Edges& edges, const common::Column& x, const common::Column& y, std::int64_t begin,
                 std::int64_t end) noexcept {
    edges.start_path();
    edges.add_path(end - begin, [&](std::int64_t i) {
        return std::pair(latitude(y, begin + i), longitude_of(x, begin + i));
    });
    return edges.path();
}

// Some tens of edges a geometry at the least, each some hundreds of nanoseconds.
constexpr common::Split kGeometries{.threshold = 64, .min_chunk = 32, .block = 32};

// Every geometry of the offsets, its rings' edges of the kind Edges.
template <class Edges>
void measure(const typename Edges::Model& model, bool closed, const common::Column& cx,
             const common::Column& cy, const std::int64_t* ring, const std::int64_t* part,
             const std::int64_t* geometry, Py_ssize_t n, const common::OutColumn& out_length,
             const common::OutColumn& out_area, bool with_area) noexcept {
    const auto chunk = [&](Py_ssize_t begin, Py_ssize_t end) {
        Edges edges(model);
        for (Py_ssize_t k = begin; k < end; ++k) {
            double s = 0.0, l = 0.0;
            bool any = false;
            for (std::int64_t p = geometry[k]; p < geometry[k + 1]; ++p) {
                for (std::int64_t r = part[p]; r < part[p + 1]; ++r) {
                    RingResult one{0.0, 0.0};
                    if (closed)
                        one = closed_ring(edges, cx, cy, ring[r], ring[r + 1]);
                    else
                        one.length = open_ring(edges, cx, cy, ring[r], ring[r + 1]);
                    const bool counted = !closed || r == part[p];  // a shell, or a line
                    // The first term as it is: one ring keeps its bits (-0.0 too).
                    s = any ? s + one.area : one.area;
                    if (counted) l = any ? l + one.length : one.length;
                    any = true;
                }
            }
            if (!any) s = l = std::numeric_limits<double>::quiet_NaN();
            out_length.put(k, l);
            if (with_area) out_area.put(k, s);
        }
    };
    common::parallel_for(n, chunk, kGeometries);
}

}  // namespace

PyObject* geometry_rings(double a, double f, PyObject* const* args, PyObject* kwnames) noexcept {
    bool closed = false, rhumb_edges = false, lanes = false;
    if (!ellipsoid::companion::read_flags(
            args + 7, kwnames, {{"closed", &closed}, {"rhumb", &rhumb_edges}, {"fast", &lanes}}))
        return nullptr;
    // Lanes for geodesic edges of the series' flattenings; else the exact kernels.
    lanes = lanes && !rhumb_edges && f <= kMaxFlattening;
    const fast::EdgeLoops* loops = lanes ? chosen_edge_loops() : nullptr;
    if (lanes && loops == nullptr) return nullptr;
    py::DoubleBuffer x, y, length, area;
    if (!x.acquire(args[0], "x", 0, false) || !y.acquire(args[1], "y", 0, false)) return nullptr;
    if (x.rows() != y.rows()) {
        PyErr_SetString(PyExc_ValueError, "x and y must have the same length");
        return nullptr;
    }
    Offsets rings, parts, geometries;
    if (!rings.acquire(args[2], "ring_offsets", x.rows()) ||
        !parts.acquire(args[3], "part_offsets", rings.size() - 1) ||
        !geometries.acquire(args[4], "geometry_offsets", parts.size() - 1))
        return nullptr;
    const Py_ssize_t n = geometries.size() - 1;
    if (!length.acquire(args[5], "length", 0, true)) return nullptr;
    const bool with_area = args[6] != Py_None;
    if (with_area && !area.acquire(args[6], "area", 0, true)) return nullptr;
    if (length.rows() != n || (with_area && area.rows() != n)) {
        PyErr_SetString(PyExc_ValueError, "length and area must have a row per geometry");
        return nullptr;
    }
    const common::Column cx = x.column(), cy = y.column();
    const common::OutColumn out_length = length.out_column();
    const common::OutColumn out_area = with_area ? area.out_column() : common::OutColumn{};
    const std::int64_t* ring = rings.data();
    const std::int64_t* part = parts.data();
    const std::int64_t* geometry = geometries.data();
    const py::AllowThreads unlocked;
    if (rhumb_edges) {
        const rhumb::Rhumb r(a, f);
        measure<RhumbEdges>(r, closed, cx, cy, ring, part, geometry, n, out_length, out_area,
                            with_area);
    } else if (lanes) {
        const LaneModel m(a, f, loops);
        measure<LaneEdges>(m, closed, cx, cy, ring, part, geometry, n, out_length, out_area,
                           with_area);
    } else {
        const Geodesic g(a, f);
        measure<GeodesicEdges>(g, closed, cx, cy, ring, part, geometry, n, out_length, out_area,
                               with_area);
    }
    Py_RETURN_NONE;
}

}  // namespace quorvane::geodesic
