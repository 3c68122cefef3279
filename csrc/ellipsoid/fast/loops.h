// The loops of the vectorised conversions: rows of any strides and alignment
// read W at a time into the lanes (lanes.h), the conversions' lanes
// (geodesy.h) run on them, the lanes they leave to the methods' kernels given
// to those, and the results written; the table of one instruction-set level
// (make_loops, for level_*.cpp). A point's bits are its own, whichever lanes
// and block compute it.
#ifndef QUORVANE_ELLIPSOID_FAST_LOOPS_H
#define QUORVANE_ELLIPSOID_FAST_LOOPS_H

#include "common/strided.h"
#include "ellipsoid/fast/elementary.h"
#include "ellipsoid/fast/geodesic.h"
#include "ellipsoid/fast/geodesy.h"
#include "ellipsoid/fast/lanes.h"
#include "ellipsoid/fast/level.h"

namespace quorvane::fast {
namespace {

// C-contiguous input rows (the common case), with offsets known when compiling;
// other rows are read as Rows.
struct PackedRows {
    const char* data;
    double at(std::ptrdiff_t i, int c) const noexcept {
        return common::read_double(data + (3 * i + c) * std::ptrdiff_t(sizeof(double)));
    }
};

// Calls body(reader) with the reader that suits r.
template <class Body>
inline void with_reader(Rows r, Body body) noexcept {
    if (r.packed()) {
        body(PackedRows{r.data});
    } else {
        body(r);
    }
}

// Rows of three doubles in and out, W at a time; the last rows through a
// padded block.
template <int W, class Reader, class Kernel>
inline void rows_loop(Reader in, OutRows out, std::ptrdiff_t begin, std::ptrdiff_t end,
                      const double pad[3], Kernel kernel) noexcept {
    const auto block = [&](std::ptrdiff_t i, int m) noexcept {
        V<W> u0 = splat<W>(pad[0]), u1 = splat<W>(pad[1]), u2 = splat<W>(pad[2]);
        for (int k = 0; k < m; ++k)
            u0[k] = in.at(i + k, 0), u1[k] = in.at(i + k, 1), u2[k] = in.at(i + k, 2);
        V<W> v0, v1, v2;
        kernel(u0, u1, u2, v0, v1, v2, m);
        for (int k = 0; k < m; ++k) out.put(i + k, v0[k], v1[k], v2[k]);
    };
    std::ptrdiff_t i = begin;
    for (; i + W <= end; i += W) block(i, W);
    if (i < end) block(i, int(end - i));
}

template <int W>
void lla_from_pos_loop(const EllipsoidConstants& e, Rows r, OutRows lla, std::ptrdiff_t begin,
                       std::ptrdiff_t end) noexcept {
    with_reader(r, [&](auto in) noexcept {
        if (!e.fast_foot) {
            for (std::ptrdiff_t i = begin; i < end; ++i) {
                const double row[3] = {in.at(i, 0), in.at(i, 1), in.at(i, 2)};
                double out[3];
                e.exact_lla(e.self, row, out);
                lla.put(i, out[0], out[1], out[2]);
            }
            return;
        }
        const double pad[3] = {e.a, 0.0, 0.0};
        rows_loop<W>(in, lla, begin, end, pad,
                     [&](V<W> x, V<W> y, V<W> z, V<W>& lat, V<W>& lon, V<W>& alt, int m) noexcept {
                         const I<W> fast = lla_lanes<W>(e, x, y, z, lat, lon, alt);
                         if (all<W>(fast)) return;
                         for (int k = 0; k < m; ++k) {
                             if (fast[k]) continue;
                             const double row[3] = {x[k], y[k], z[k]};
                             double out[3];
                             e.exact_lla(e.self, row, out);
                             lat[k] = out[0], lon[k] = out[1], alt[k] = out[2];
                         }
                     });
    });
}

template <int W>
void pos_from_lla_loop(const EllipsoidConstants& e, Column lat, Column lon, Column alt, OutRows r,
                       std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
    const auto block = [&](std::ptrdiff_t i, int m) noexcept {
        V<W> p = splat<W>(0.0), l = splat<W>(0.0), h = splat<W>(0.0);
        for (int k = 0; k < m; ++k) p[k] = lat[i + k], l[k] = lon[i + k], h[k] = alt[i + k];
        // Zero where pos_lanes does not run (no lane is then fast, none is read).
        V<W> x = splat<W>(0.0), y = x, z = x;
        const I<W> fast = e.fast_pos ? pos_lanes<W>(e, p, l, h, x, y, z) : I<W>{};
        for (int k = 0; k < m; ++k) {
            if (fast[k]) {
                r.put(i + k, x[k], y[k], z[k]);
            } else {
                double out[3];
                e.exact_pos(e.self, p[k], l[k], h[k], out);
                r.put(i + k, out[0], out[1], out[2]);
            }
        }
    };
    std::ptrdiff_t i = begin;
    for (; i + W <= end; i += W) block(i, W);
    if (i < end) block(i, int(end - i));
}

// Targets r (N, 3) seen from the observers' columns: AER rows (angles) or ENU
// rows. One observer for every row is placed once.
template <int W, bool angles>
void observe_loop(const EllipsoidConstants& e, Rows r, Column lat, Column lon, Column alt,
                  OutRows out, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
    const bool one_observer = lat.repeated() && lon.repeated() && alt.repeated();
    I<W> observed_once{};
    Place<W> once{};
    if (one_observer && e.fast_pos) {
        const V<W> p = splat<W>(lat[0]), l = splat<W>(lon[0]), h = splat<W>(alt[0]);
        observed_once = placeable<W>(p, l, h, kObserverAltLimit);
        if (any<W>(observed_once)) once = place<W>(e, observed_once, p, l, h);
    }
    with_reader(r, [&](auto in) noexcept {
        const auto block = [&](std::ptrdiff_t i, int m) noexcept {
            V<W> tx = splat<W>(e.a), ty = splat<W>(0.0), tz = splat<W>(0.0);
            V<W> p = splat<W>(0.0), l = splat<W>(0.0), h = splat<W>(0.0);
            for (int k = 0; k < m; ++k) {
                tx[k] = in.at(i + k, 0), ty[k] = in.at(i + k, 1), tz[k] = in.at(i + k, 2);
                p[k] = lat[i + k], l[k] = lon[i + k], h[k] = alt[i + k];
            }
            V<W> az = splat<W>(0.0), el = az, rg = az;
            I<W> fast{};
            if (e.fast_pos) {
                I<W> observed = observed_once;
                Place<W> o = once;
                if (!one_observer) {
                    observed = placeable<W>(p, l, h, kObserverAltLimit);
                    if (any<W>(observed)) o = place<W>(e, observed, p, l, h);
                }
                fast = angles ? aer_lanes<W>(tx, ty, tz, observed, o, az, el, rg)
                              : enu_lanes<W>(tx, ty, tz, observed, o, az, el, rg);
            }
            for (int k = 0; k < m; ++k) {
                if (fast[k]) {
                    out.put(i + k, az[k], el[k], rg[k]);
                } else {
                    const double target[3] = {tx[k], ty[k], tz[k]};
                    double row[3];
                    (angles ? e.exact_aer : e.exact_enu)(e.self, target, p[k], l[k], h[k], row);
                    out.put(i + k, row[0], row[1], row[2]);
                }
            }
        };
        std::ptrdiff_t i = begin;
        for (; i + W <= end; i += W) block(i, W);
        if (i < end) block(i, int(end - i));
    });
}

template <int W>
void elementary_loop(Elementary which, Column x, Column y, OutColumn out,
                     std::ptrdiff_t n) noexcept {
    for (std::ptrdiff_t i = 0; i < n; i += W) {
        const int m = n - i < W ? int(n - i) : W;
        V<W> u = splat<W>(1.0), v = splat<W>(1.0);
        for (int k = 0; k < m; ++k) u[k] = x[i + k], v[k] = y[i + k];
        V<W> s, c;
        if (which == Elementary::atan2) {
            s = atan2<W>(u, v);
        } else {
            sincos<W>(u, s, c);
            if (which == Elementary::cos) s = c;
        }
        for (int k = 0; k < m; ++k) out.put(i + k, s[k]);
    }
}

template <int W>
constexpr Loops make_loops(const char* name) noexcept {
    return Loops{name,
                 W,
                 &lla_from_pos_loop<W>,
                 &pos_from_lla_loop<W>,
                 &observe_loop<W, true>,
                 &observe_loop<W, false>,
                 &elementary_loop<W>,
                 &geodesic_inverse_loop<W>,
                 &geodesic_direct_loop<W>};
}

}  // namespace
}  // namespace quorvane::fast

#endif  // QUORVANE_ELLIPSOID_FAST_LOOPS_H
