// The geodesic edges of rings and paths, W at a time: each edge's inverse problem
// in the lanes of geodesic.h, and its area to the equator, after
//
//   [Karney 2013] C. F. F. Karney, "Algorithms for geodesics", J. Geodesy 87
//     (2013) 43-55: S12 = c^2 (alpha2 - alpha1) + e^2 a^2 cos(alpha0) sin(alpha0)
//     (I4(sigma2) - I4(sigma1)) (eqs. 58-59, 65), with c^2 the authalic radius
//     squared (eq. 60).
//
// The formulas of the geodesic module's edge_area (geodesic/kernels.h): the azimuth
// change by Napier's analogy on the auxiliary sphere, from omega12 = lambda12 + (omega -
// lambda)12, where its factors are well conditioned (|omega12| <= 3 pi/4, the points not
// near opposite poles), the difference of the azimuths elsewhere; I4 as the polynomial in
// cos(sigma) of geodesic/series.h, its terms cut where e'^2 to their power falls below
// 1e-17 (8 of the 14 on WGS84), the division by 2m + 1 a product with its reciprocal.
// The area is computed in the inverse problem's canonical arrangement and carried back
// by its sign.
//
// The small angles of short edges (the start's omega12, each trial's sigma12 and omega12,
// the Newton rotation, the result's sigma12 and Napier's half angle) take the series of
// small_angles.h: on the GeoArrow workload of bench/geometries.py, one thread, 127 ns an
// edge with elementary.h's functions, 101 with the series.
//
// A block's edges are one chain of dependent operations (vertex, start, trial, step,
// result): the lanes wait mostly on its divisions and square roots (some fifteen
// products' time each). So the trials (geodesic.h, `small`) and this result divide once
// where the algebra allows; the start takes neither (1 / w averaged from the vertices',
// the great circle's bend undivided) and, on edges beyond some 6 km, Simpson's w, after
// which one Newton trial serves all but 2e-4 of the blocks (12 % took two); each
// vertex's reduced latitude, dn and 1 / (f1 dn) are computed once, and full blocks are
// loaded whole. On the GeoArrow workload of bench/geometries.py, one thread, CPU time:
// 95 -> 74 ns an edge in the loop alone; the deviations from the exact kernels' lengths
// and areas, and from a 40-digit truth, of the same size as before.
//
// Eight lanes on AVX-512 are a level of their own (edges_avx512.cpp): 0.80x AVX2's time
// there (bench/results/levels.md). Measured and left: eight lanes on AVX2 as GCC's
// generic vectors (they go through memory: four times slower); the start
// alone, without the Newton trial, on edges below some 6 km that do not leave nearly
// east or west (67 ns instead of 74, but its rounding, which the trial's lambda12 puts
// right, costs up to five times the lengths' largest error against the truth).
//
// Not the exact kernels' bits, the same bits at every level. The lanes the inverse
// problem hands over (geodesic.h: meridians, the equator, NaN, not converged), and an
// edge that leaves the equator due east or west, take the exact kernels'.
#ifndef QUORVANE_ELLIPSOID_FAST_EDGE_LANES_H
#define QUORVANE_ELLIPSOID_FAST_EDGE_LANES_H

#include <cstring>

#include "ellipsoid/fast/edges.h"
#include "ellipsoid/fast/geodesic.h"

namespace quorvane::fast {
namespace {

// I4(sigma2) - I4(sigma1) for k^2 and the cosines of sigma1 and sigma2 (both
// sums in one loop).
template <int W>
inline V<W> area_i4_difference(const EdgeConstants& e, V<W> k2, V<W> c1, V<W> c2) noexcept {
    const V<W> w1 = (1.0 - c1) * (1.0 + c1), w2 = (1.0 - c2) * (1.0 + c2);  // sin^2(sigma)
    V<W> p1 = c1, p2 = c2;                                                  // P_0
    V<W> wm1 = splat<W>(1.0), wm2 = wm1, km = wm1;  // sin^(2m)(sigma), k^(2m)
    V<W> sum1 = e.q[0] * p1, sum2 = e.q[0] * p2;
    for (int m = 1; m < e.terms; ++m) {
        wm1 = wm1 * w1, wm2 = wm2 * w2;
        km = km * k2;
        p1 = (c1 * wm1 + (2.0 * m) * p1) * e.inverse_odd[m];
        p2 = (c2 * wm2 + (2.0 * m) * p2) * e.inverse_odd[m];
        const V<W> qk = e.q[m] * km;
        sum1 = sum1 + qk * p1, sum2 = sum2 + qk * p2;
    }
    return (sum2 - sum1) * 0.5;
}

// s12 and S12 of the canonical pairs p at the solution alpha1 whose omega12 the lanes
// of `fast` know; clears the lanes it cannot serve.
template <int W>
inline void edge_result(const EdgeConstants& e, const Canonical<W>& p, V<W> salp1, V<W> calp1,
                        I<W>& fast, V<W>& s12, V<W>& S12) noexcept {
    const GeodesicConstants& g = e.geo;
    const V<W> zero = splat<W>(0.0);
    const V<W> sbet1 = p.sbet1, cbet1 = p.cbet1, sbet2 = p.sbet2, cbet2 = p.cbet2;
    const V<W> salp0 = salp1 * cbet1;  // Clairaut (eq. 5)
    const V<W> calp0 = hypot2<W>(calp1, salp1 * sbet1);
    V<W> ssig1 = sbet1, csig1 = calp1 * cbet1;
    // alpha2 (eq. 45) as trial() with `small` takes it: cos(alpha2) cos(beta2) as it is, the
    // points' (sin beta, cos alpha cos beta) scaled to unit length by 1 / cos(alpha0).
    const I<W> same_parallel = cbet2 == cbet1;
    const V<W> gap = pick<W>(cbet1 < -sbet1, (cbet2 - cbet1) * (cbet1 + cbet2),
                             (sbet1 - sbet2) * (sbet1 + sbet2));
    const I<W> mirrored = same_parallel & (abs<W>(sbet2) == -sbet1);
    const V<W> radicand = sq<W>(calp1 * cbet1) + gap;  // zero where rounded below it
    const V<W> root = sqrt<W>(pick<W>(radicand < 0.0, zero, radicand));
    V<W> ssig2 = sbet2, csig2 = pick<W>(mirrored, abs<W>(calp1) * cbet2, root);
    // Due east or west on the equator: the exact kernel's (it sets sigma there).
    fast = fast & ~((ssig1 == 0.0) & (csig1 == 0.0)) & ~((ssig2 == 0.0) & (csig2 == 0.0));
    const V<W> r = 1.0 / calp0;
    ssig1 = ssig1 * r, csig1 = csig1 * r, ssig2 = ssig2 * r, csig2 = csig2 * r;
    const V<W> cross = csig1 * ssig2 - ssig1 * csig2;
    const V<W> sig12 =
        atan2_small_first<W>(pick<W>(cross > 0.0, cross, zero), csig1 * csig2 + ssig1 * ssig2);
    const V<W> k2 = sq<W>(calp0) * g.ep2;
    const V<W> eps = eps_of<W>(k2);
    // s12 (eqs. 15, 17-18) and omega12 = lambda12 + (omega - lambda)12 (eqs. 8, 23-25).
    V<W> cc1[7], cc3[6];
    c1_of<W>(eps, cc1);
    c3_of<W>(g, eps, cc3);
    const V<W> b1 = sin_series<W, 6>(ssig2, csig2, cc1) - sin_series<W, 6>(ssig1, csig1, cc1);
    s12 = g.b * (a1_of<W>(eps) * (sig12 + b1));
    const V<W> b312 = sin_series<W, 5>(ssig2, csig2, cc3) - sin_series<W, 5>(ssig1, csig1, cc3);
    const V<W> omg12 = p.lon12 + g.f * a3_of<W>(g, eps) * salp0 * (sig12 + b312);
    // alpha2 - alpha1: Napier's analogy, tan((alpha2 - alpha1)/2) = tan(omega12/2)
    // (sin beta1 + sin beta2) / (1 + cos(beta2 - beta1)), as an atan2 of the half
    // angle's sine and cosine (the cosine positive there).
    const V<W> cbet12 = cbet1 * cbet2 + sbet1 * sbet2;
    const I<W> napier = (abs<W>(omg12) <= 3 * kGeoPi / 4) & (cbet12 >= -0.5);
    V<W> sh, ch;
    sincos_small_first<W>(pick<W>(napier, omg12 * 0.5, zero), sh, ch);
    const V<W> ratio = pick<W>(napier, (sbet1 + sbet2) / (1.0 + cbet12), zero);
    V<W> alp12 = 2.0 * atan2_small_first<W>(sh * ratio, ch);
    if (!all<W>(napier | ~fast)) {
        const V<W> salp2 = pick<W>(same_parallel, salp1, salp0 / cbet2);
        const V<W> calp2 = pick<W>(mirrored, abs<W>(calp1), root / cbet2);
        const V<W> salp12 = salp2 * calp1 - calp2 * salp1;
        const V<W> calp12 = calp2 * calp1 + salp2 * salp1;
        alp12 = pick<W>(napier, alp12, atan2_or_hand_over<W>(salp12, calp12, fast));
    }
    const V<W> i4 = area_i4_difference<W>(e, k2, csig1, csig2);
    const V<W> area = e.c2 * alp12 + e.e2a2 * calp0 * salp0 * i4;
    // Back from the canonical arrangement: turning the latitudes' sign and mirroring the
    // longitudes each turn the area's sign; the swap of the points reverses the edge and
    // mirrors it (its longitude difference is kept), which leaves the sign.
    S12 = area * p.latsign;
    S12 = pick<W>(p.lon_negative, -S12, S12);
}

inline constexpr double kEdgeLanding = 1e-3 * kGeoEps;

// s12 and S12 (the scaled ellipsoid's units) of the edges from latitude lat1 to lat2
// across the longitude difference lon12 (in [-pi, pi]), with sin and cos of the reduced
// latitudes of both ends (reduced()) and their dn (dn_of()); returns the lanes computed.
template <int W>
I<W> edge_lanes(const EdgeConstants& e, V<W> lat1, V<W> lat2, V<W> lon12, V<W> sbet1, V<W> cbet1,
                V<W> sbet2, V<W> cbet2, V<W> dn1, V<W> dn2, V<W> rw1, V<W> rw2, V<W>& s12,
                V<W>& S12) noexcept {
    const GeodesicConstants& g = e.geo;
    I<W> fast = (abs<W>(lat1) <= kGeoPi / 2) & (abs<W>(lat2) <= kGeoPi / 2) &
                (abs<W>(lon12) <= kGeoLongitude);
    if (!any<W>(fast)) return fast;
    const V<W> zero = splat<W>(0.0), one = splat<W>(1.0);
    lat1 = pick<W>(fast, lat1, zero), lat2 = pick<W>(fast, lat2, zero);
    lon12 = pick<W>(fast, lon12, one);
    sbet1 = pick<W>(fast, sbet1, zero), cbet1 = pick<W>(fast, cbet1, one);
    sbet2 = pick<W>(fast, sbet2, zero), cbet2 = pick<W>(fast, cbet2, one);
    dn1 = pick<W>(fast, dn1, one), dn2 = pick<W>(fast, dn2, one);
    rw1 = pick<W>(fast, rw1, one), rw2 = pick<W>(fast, rw2, one);
    Canonical<W> p{};
    V<W> salp1 = one, calp1 = zero;
    fast = canonical_start<W, true>(g, fast, lat1, lat2, reduce_turn<W>(lon12), sbet1, cbet1, sbet2,
                                    cbet2, dn1, dn2, p, salp1, calp1, rw1, rw2);
    if (!any<W>(fast)) return fast;
    Bracket<W> b;
    I<W> active = fast;
    for (int it = 0; it < kIterations && any<W>(active); ++it)
        active = newton_step<W, true>(g, p, salp1, calp1, b, active, fast, kEdgeLanding);
    fast = fast & ~active;  // not converged: the exact kernel's
    edge_result<W>(e, p, salp1, calp1, fast, s12, S12);
    return fast;
}

// Vertices whose reduced latitudes edges_loop computes at a time (on the stack).
inline constexpr int kEdgeChunk = 256;

// The m <= W values at `from` in lanes, `pad` in the others: a full block in one load
// (element by element, GCC makes each copy a string move, dearer than the block's load).
template <int W>
inline V<W> load_lanes(const double* from, int m, double pad) noexcept {
    V<W> v = splat<W>(pad);
    if (m == W)
        std::memcpy(&v, from, sizeof v);
    else
        for (int k = 0; k < m; ++k) v[k] = from[k];
    return v;
}

template <int W>
void edges_loop(const EdgeConstants& e, const double* lat, const double* lon12, std::ptrdiff_t n,
                double* s12, double* S12) noexcept {
    // Each vertex ends one edge and starts the next: its reduced latitude (and dn) once, W
    // at a time.
    double sbet[kEdgeChunk + W], cbet[kEdgeChunk + W], dn[kEdgeChunk + W], rw[kEdgeChunk + W];
    for (std::ptrdiff_t begin = 0; begin < n; begin += kEdgeChunk) {
        const std::ptrdiff_t count = n - begin < kEdgeChunk ? n - begin : kEdgeChunk;
        if (e.geo.series) {
            for (std::ptrdiff_t j = 0; j <= count; j += W) {
                const int m = count + 1 - j < W ? int(count + 1 - j) : W;
                V<W> x = load_lanes<W>(lat + begin + j, m, 0.0);
                x = pick<W>(abs<W>(x) <= kGeoPi / 2, x, splat<W>(0.0));  // NaN too
                V<W> sb, cb;
                reduced<W>(e.geo, x, sb, cb);
                const V<W> d = dn_of<W>(e.geo, sb), r = 1.0 / (e.geo.f1 * d);
                std::memcpy(sbet + j, &sb, sizeof sb);
                std::memcpy(cbet + j, &cb, sizeof cb);
                std::memcpy(dn + j, &d, sizeof d);
                std::memcpy(rw + j, &r, sizeof r);
            }
        }
        for (std::ptrdiff_t i = begin; i < begin + count; i += W) {
            const int m = begin + count - i < W ? int(begin + count - i) : W;
            const std::ptrdiff_t v = i - begin;
            const V<W> lat1 = load_lanes<W>(lat + i, m, 0.0),
                       lat2 = load_lanes<W>(lat + i + 1, m, 0.5);
            const V<W> dlon = load_lanes<W>(lon12 + i, m, 1.0);
            const V<W> sb1 = load_lanes<W>(sbet + v, m, 0.0),
                       sb2 = load_lanes<W>(sbet + v + 1, m, 0.0);
            const V<W> cb1 = load_lanes<W>(cbet + v, m, 1.0),
                       cb2 = load_lanes<W>(cbet + v + 1, m, 1.0);
            const V<W> d1 = load_lanes<W>(dn + v, m, 1.0), d2 = load_lanes<W>(dn + v + 1, m, 1.0);
            const V<W> r1 = load_lanes<W>(rw + v, m, 1.0), r2 = load_lanes<W>(rw + v + 1, m, 1.0);
            V<W> length = splat<W>(0.0), area = length;
            const I<W> fast = e.geo.series ? edge_lanes<W>(e, lat1, lat2, dlon, sb1, cb1, sb2, cb2,
                                                           d1, d2, r1, r2, length, area)
                                           : I<W>{};
            if (m == W && all<W>(fast)) {
                std::memcpy(s12 + i, &length, sizeof length);
                std::memcpy(S12 + i, &area, sizeof area);
                continue;
            }
            for (int k = 0; k < m; ++k) {
                if (fast[k]) {
                    s12[i + k] = length[k], S12[i + k] = area[k];
                } else {
                    const double in[3] = {lat1[k], lat2[k], dlon[k]};
                    double out[2];
                    e.exact_edge(e.exact, in, out);
                    s12[i + k] = out[0], S12[i + k] = out[1];
                }
            }
        }
    }
}

template <int W>
constexpr EdgeLoops make_edge_loops(const char* name) noexcept {
    return EdgeLoops{name, &edges_loop<W>};
}

}  // namespace
}  // namespace quorvane::fast

#endif  // QUORVANE_ELLIPSOID_FAST_EDGE_LANES_H
