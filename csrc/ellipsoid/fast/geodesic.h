// The geodesic problems in lanes: the direct problem (a point at a distance
// along a geodesic) and the inverse one (the shortest geodesic between two
// points), W pairs at a time on the lanes (lanes.h) and their elementary
// functions (elementary.h), after
//
//   [Karney 2013] C. F. F. Karney, "Algorithms for geodesics", J. Geodesy 87
//     (2013) 43-55, doi:10.1007/s00190-012-0578-z:
//     the auxiliary sphere (eqs. 5, 11-14: Clairaut's azimuth alpha0, the arc
//     sigma and the spherical longitude omega), the series of the distance
//     (eqs. 15, 17-18), of its reversion (eqs. 20-21), of the reduced length
//     (eqs. 38-43) and of the longitude (eqs. 23-25) in eps (eq. 16) and the
//     third flattening, to the sixth order; the inverse problem's start
//     (eqs. 48-51) and Newton's method on alpha1 (eqs. 45-47).
//
// The formulas are those of the geodesic module's series path
// (ellipsoid/geodesic/kernels.h and series.h), written once more on lanes with
// the lanes' own sin, cos and atan2 (below 0.8 ulp), but for the direct
// problem's sigma2, taken as an offset from sigma1 (direct_lanes): the results
// are not that module's bits, but the same bits at every instruction-set level.
//
// The inverse problem iterates every lane of a block until its last lane has
// converged: a lane that converges early keeps its azimuth and waits. On random
// WGS84 pairs a lane needs 3.35 Newton steps on average and a block of four
// takes 3.84 (two: 3.59); compacting the lanes instead (each lane taking the
// next pair of a batch as soon as its own converges, the pair's state gathered
// into it and its azimuth scattered back) saved no time at two or four lanes:
// the gathers and the batch's three passes cost what the waiting did (measured
// on one thread, CPU time, 10^6 pairs: AVX2 257 ns a pair waiting, 267
// compacted; nearly antipodal 649 and 641). A lane's result is computed from
// its own pair alone, whatever its neighbours do.
//
// Each function returns the mask of the lanes it computed. The others go to
// the geodesic module's exact kernel, point by point (loops below): latitudes
// beyond the poles, NaN and infinite values, longitudes beyond 10 rad (which
// the exact kernels reduce by an exact 2 pi), azimuths beyond 2^20 rad,
// distances beyond a full turn (2 pi Re), the meridional and equatorial
// geodesics (solved there in closed form), and lanes whose iteration has not
// converged within kIterations steps (or the astroid's within its own).
#ifndef QUORVANE_ELLIPSOID_FAST_GEODESIC_H
#define QUORVANE_ELLIPSOID_FAST_GEODESIC_H

#include "ellipsoid/fast/elementary.h"
#include "ellipsoid/fast/lanes.h"
#include "ellipsoid/fast/level.h"
#include "ellipsoid/fast/small_angles.h"

namespace quorvane::fast {
namespace {

inline constexpr double kGeoPi = 0x1.921fb54442d18p+1;
inline constexpr double kGeoEps = 0x1p-52;
// Stands in for cos(beta) at a pole (as the exact kernels do): sqrt(DBL_MIN).
inline constexpr double kGeoTiny = 1.4916681462400413e-154;
// Longitudes the lanes serve (the exact kernels reduce larger ones exactly).
inline constexpr double kGeoLongitude = 10.0;
// Newton steps (and bisections) of the inverse problem before a lane is handed over.
inline constexpr int kIterations = 20;

template <int W>
inline V<W> sq(V<W> x) noexcept {
    return x * x;
}

template <int W>
inline V<W> hypot2(V<W> x, V<W> y) noexcept {
    return sqrt<W>(x * x + y * y);
}

template <int W>
inline void unit(V<W>& s, V<W>& c) noexcept {
    const V<W> h = hypot2<W>(s, c);
    s = s / h;
    c = c / h;
}

// x reduced by whole turns to about [-pi, pi], for |x| below 2^20: the turn
// as three parts (elementary.h's pi/2 times 4, exact), so that x - n 2 pi
// carries no rounding of 2 pi; a result a rounding beyond pi is taken as pi.
template <int W>
inline V<W> reduce_turn(V<W> x) noexcept {
    const V<W> n = (x * (kTwoOverPi / 4) + kRoundShift) - kRoundShift;
    const V<W> r = ((x - n * (4 * kC1)) - n * (4 * kC2)) - n * (4 * kC3);
    const V<W> pi = splat<W>(kGeoPi);
    return pick<W>(r > pi, pi, pick<W>(r < -pi, -pi, r));
}

// atan2 of a pair that may be (0, 0): that lane's mask is cleared, the lane
// handed over (the exact kernels give the platform's atan2(0, 0) there).
// `small`: small_angles.h's series where the angle is small (the edges' lanes).
template <int W, bool small = false>
inline V<W> atan2_or_hand_over(V<W> y, V<W> x, I<W>& fast) noexcept {
    const I<W> zero = (y == 0.0) & (x == 0.0);
    fast = fast & ~zero;
    x = pick<W>(zero, splat<W>(1.0), x);
    if constexpr (small) return atan2_small_first<W>(y, x);
    return atan2<W>(y, x);
}

// atan2, and sin and cos, of the inverse problem's angles: with `small`,
// small_angles.h's series where the angle is small (the edges' lanes, whose bits are
// their own), elementary.h's functions otherwise.
template <int W, bool small>
inline V<W> angle_atan2(V<W> y, V<W> x) noexcept {
    if constexpr (small) return atan2_small_first<W>(y, x);
    return atan2<W>(y, x);
}
template <int W, bool small>
inline void angle_sincos(V<W> x, V<W>& s, V<W>& c) noexcept {
    if constexpr (small)
        sincos_small_first<W>(x, s, c);
    else
        sincos<W>(x, s, c);
}

// sin and cos of the reduced latitude of lat, cos kept off zero.
template <int W>
inline void reduced(const GeodesicConstants& g, V<W> lat, V<W>& sbet, V<W>& cbet) noexcept {
    V<W> s, c;
    sincos<W>(lat, s, c);
    sbet = g.f1 * s;
    cbet = c;
    unit<W>(sbet, cbet);
    cbet = pick<W>(cbet < kGeoTiny, splat<W>(kGeoTiny), cbet);
}

// eps of k^2 (eq. 16), without cancellation.
template <int W>
inline V<W> eps_of(V<W> k2) noexcept {
    return k2 / (2.0 * (1.0 + sqrt<W>(1.0 + k2)) + k2);
}

// sum_{l=1}^{L} c[l] sin(2 l sigma) by Clenshaw's summation, from sin and cos of sigma.
template <int W, int L>
inline V<W> sin_series(V<W> ssig, V<W> csig, const V<W>* c) noexcept {
    const V<W> cos2 = 2.0 * (csig - ssig) * (csig + ssig);
    V<W> y0 = splat<W>(0.0), y1 = y0;
    for (int l = L; l >= 1; --l) {
        const V<W> y2 = y1;
        y1 = y0;
        y0 = cos2 * y1 - y2 + c[l];
    }
    return 2.0 * ssig * csig * y0;
}

// A1 and C1[1..6] (eqs. 17-18), C1'[1..6] (eq. 21), A2 and C2[1..6] (eqs. 42-43).
template <int W>
inline V<W> a1_of(V<W> eps) noexcept {
    const V<W> e2 = eps * eps;
    return (1.0 + e2 * (1.0 / 4 + e2 * (1.0 / 64 + e2 / 256))) / (1.0 - eps);
}
template <int W>
inline void c1_of(V<W> eps, V<W>* c) noexcept {
    const V<W> e2 = eps * eps;
    V<W> d = eps;
    c[1] = d * (-1.0 / 2 + e2 * (3.0 / 16 - e2 / 32));
    d = d * eps;
    c[2] = d * (-1.0 / 16 + e2 * (1.0 / 32 - e2 * (9.0 / 2048)));
    d = d * eps;
    c[3] = d * (-1.0 / 48 + e2 * (3.0 / 256));
    d = d * eps;
    c[4] = d * (-5.0 / 512 + e2 * (3.0 / 512));
    d = d * eps;
    c[5] = d * (-7.0 / 1280);
    d = d * eps;
    c[6] = d * (-7.0 / 2048);
}
template <int W>
inline void c1p_of(V<W> eps, V<W>* c) noexcept {
    const V<W> e2 = eps * eps;
    V<W> d = eps;
    c[1] = d * (1.0 / 2 + e2 * (-9.0 / 32 + e2 * (205.0 / 1536)));
    d = d * eps;
    c[2] = d * (5.0 / 16 + e2 * (-37.0 / 96 + e2 * (1335.0 / 4096)));
    d = d * eps;
    c[3] = d * (29.0 / 96 - e2 * (75.0 / 128));
    d = d * eps;
    c[4] = d * (539.0 / 1536 - e2 * (2391.0 / 2560));
    d = d * eps;
    c[5] = d * (3467.0 / 7680);
    d = d * eps;
    c[6] = d * (38081.0 / 61440);
}
template <int W>
inline V<W> a2_of(V<W> eps) noexcept {
    const V<W> e2 = eps * eps;
    return (1.0 + e2 * (1.0 / 4 + e2 * (9.0 / 64 + e2 * (25.0 / 256)))) * (1.0 - eps);
}
template <int W>
inline void c2_of(V<W> eps, V<W>* c) noexcept {
    const V<W> e2 = eps * eps;
    V<W> d = eps;
    c[1] = d * (1.0 / 2 + e2 * (1.0 / 16 + e2 / 32));
    d = d * eps;
    c[2] = d * (3.0 / 16 + e2 * (1.0 / 32 + e2 * (35.0 / 2048)));
    d = d * eps;
    c[3] = d * (5.0 / 48 + e2 * (5.0 / 256));
    d = d * eps;
    c[4] = d * (35.0 / 512 + e2 * (7.0 / 512));
    d = d * eps;
    c[5] = d * (63.0 / 1280);
    d = d * eps;
    c[6] = d * (77.0 / 2048);
}

// A3 and C3[1..5] of the longitude (eqs. 24-25), from the ellipsoid's
// polynomials in eps.
template <int W>
inline V<W> a3_of(const GeodesicConstants& g, V<W> eps) noexcept {
    V<W> s = splat<W>(g.a3[5]);
    for (int j = 4; j >= 0; --j) s = s * eps + g.a3[j];
    return s;
}
template <int W>
inline void c3_of(const GeodesicConstants& g, V<W> eps, V<W>* c) noexcept {
    for (int l = 1; l <= 5; ++l) {
        V<W> s = splat<W>(0.0);
        for (int j = 5; j >= l; --j) s = s * eps + g.c3[l][j];
        for (int j = 0; j < l; ++j) s = s * eps;
        c[l] = s;
    }
}

// (s, c) turned by a small angle t (|t| below 0.05): sin t and cos t by their Taylor
// series, whose first omitted terms (t^9 / 9!, t^8 / 8!) are below 1e-17 there.
template <int W>
inline void rotate_small(V<W> s, V<W> c, V<W> t, V<W>& s_out, V<W>& c_out) noexcept {
    const V<W> t2 = t * t;
    const V<W> st = t - t * (t2 * ((1.0 / 6) - t2 * ((1.0 / 120) - t2 * (1.0 / 5040))));
    const V<W> ct = 1.0 - t2 * (0.5 - t2 * ((1.0 / 24) - t2 * (1.0 / 720)));
    s_out = s * ct + c * st;
    c_out = c * ct - s * st;
}

// -- The direct problem ------------------------------------------------------------

// lat2, lon2, azi2 at distance s12 (unit of Re) from lat1, lon1 with azimuth azi1.
template <int W>
I<W> direct_lanes(const GeodesicConstants& g, V<W> lat1, V<W> lon1, V<W> azi1, V<W> s12, V<W>& lat2,
                  V<W>& lon2, V<W>& azi2) noexcept {
    I<W> fast = (abs<W>(lat1) <= kGeoPi / 2) & (abs<W>(lon1) <= kGeoLongitude) &
                (abs<W>(azi1) <= kTrigLimit) & (abs<W>(s12) <= (2 * kGeoPi) * g.a);
    if (!any<W>(fast)) return fast;
    const V<W> zero = splat<W>(0.0);
    lat1 = pick<W>(fast, lat1, zero), lon1 = pick<W>(fast, lon1, zero);
    azi1 = pick<W>(fast, azi1, zero), s12 = pick<W>(fast, s12, zero);
    V<W> salp1, calp1, sbet1, cbet1;
    sincos<W>(azi1, salp1, calp1);
    reduced<W>(g, lat1, sbet1, cbet1);
    // alpha0 (eq. 5), sigma1 and omega1 (eqs. 11-12).
    const V<W> salp0 = salp1 * cbet1;
    const V<W> calp0 = hypot2<W>(calp1, salp1 * sbet1);
    const I<W> east_on_equator = (sbet1 == 0.0) & (calp1 == 0.0);
    V<W> ssig1 = sbet1;
    const V<W> somg1 = salp0 * sbet1;
    V<W> csig1 = pick<W>(east_on_equator, splat<W>(1.0), cbet1 * calp1);
    const V<W> comg1 = csig1;
    unit<W>(ssig1, csig1);
    const V<W> k2 = sq<W>(calp0) * g.ep2;
    const V<W> eps = eps_of<W>(k2);
    V<W> cc1[7], cc1p[7], cc3[6];
    c1_of<W>(eps, cc1);
    c1p_of<W>(eps, cc1p);
    c3_of<W>(g, eps, cc3);
    const V<W> a1 = a1_of<W>(eps);
    // sigma2 from tau2 = tau1 + s12 / (b A1) by the reversed series (eq. 20), sigma and tau
    // taken as offsets from sigma1, whose sine and cosine turn: tau2 = sigma1 + d with
    // d = I1(sigma1) + s12 / (b A1), and sigma2 = tau2 + r with r = sum C1'[l] sin(2 l tau2)
    // below eps (some 1e-2): sigma12 = d + r needs no arctangent of sigma1, and no
    // difference of two angles of a turn.
    const V<W> d = sin_series<W, 6>(ssig1, csig1, cc1) + s12 / (g.b * a1);
    V<W> sd, cd, stau2, ctau2, ssig2, csig2;
    sincos<W>(d, sd, cd);
    stau2 = ssig1 * cd + csig1 * sd;
    ctau2 = csig1 * cd - ssig1 * sd;
    const V<W> r = sin_series<W, 6>(stau2, ctau2, cc1p);
    rotate_small<W>(stau2, ctau2, r, ssig2, csig2);
    V<W> sig12 = d + r;
    if (g.refine) {
        // One Newton step on tau(sigma) = tau2, dtau/dsigma = sqrt(1 + k^2 sin^2 sigma) / A1:
        // the reversed series loses an order against the forward one past f = 1/100. The
        // residual sigma2 + I1(sigma2) - tau2 is r + I1(sigma2).
        const V<W> err = r + sin_series<W, 6>(ssig2, csig2, cc1);
        const V<W> step = -(err * a1 / sqrt<W>(1.0 + k2 * sq<W>(ssig2)));
        sig12 = sig12 + step;
        const V<W> s2 = ssig2, c2 = csig2;
        rotate_small<W>(s2, c2, step, ssig2, csig2);
    }
    // beta2, alpha2 (eqs. 13-14), omega2 (eq. 12).
    const V<W> sbet2 = calp0 * ssig2;
    V<W> cbet2 = hypot2<W>(salp0, calp0 * csig2);
    V<W> calp2 = calp0 * csig2;
    const I<W> pole = cbet2 == 0.0;
    cbet2 = pick<W>(pole, splat<W>(kGeoTiny), cbet2);
    calp2 = pick<W>(pole, splat<W>(kGeoTiny), calp2);
    lat2 = atan2<W>(sbet2, g.f1 * cbet2);
    azi2 = atan2<W>(salp0, calp2);
    const V<W> somg2 = salp0 * ssig2, comg2 = csig2;
    const V<W> omg12 =
        atan2_or_hand_over<W>(somg2 * comg1 - comg2 * somg1, comg2 * comg1 + somg2 * somg1, fast);
    const V<W> b312 = sin_series<W, 5>(ssig2, csig2, cc3) - sin_series<W, 5>(ssig1, csig1, cc3);
    const V<W> lam12 = omg12 - g.f * a3_of<W>(g, eps) * salp0 * (sig12 + b312);
    lon2 = reduce_turn<W>(lon1 + lam12);
    return fast;
}

// -- The inverse problem -----------------------------------------------------------

// The geodesic from reduced latitude beta1 with azimuth alpha1 to reduced
// latitude beta2 (Karney 2013, Sect. 4), canonical (beta1 <= 0, |beta2| <=
// |beta1|): what one Newton step needs, or (`last`) the solution's distance
// and azimuth at point 2 only.
template <int W>
struct Trial {
    V<W> lam12, dlam12, salp2, calp2, s12b;
};
template <int W, bool last, bool small = false>
inline Trial<W> trial(const GeodesicConstants& g, V<W> sbet1, V<W> cbet1, V<W> dn1, V<W> sbet2,
                      V<W> cbet2, V<W> dn2, V<W> salp1, V<W> calp1, I<W>& fast) noexcept {
    Trial<W> t;
    const V<W> salp0 = salp1 * cbet1;  // Clairaut (eq. 5)
    const V<W> calp0 = hypot2<W>(calp1, salp1 * sbet1);
    V<W> ssig1 = sbet1, csig1 = calp1 * cbet1;
    const V<W> somg1 = salp0 * sbet1, comg1 = csig1;
    unit<W>(ssig1, csig1);
    // alpha2 (eq. 45), cos^2 beta2 - cos^2 beta1 in the form without cancellation.
    const I<W> same_parallel = cbet2 == cbet1;
    t.salp2 = pick<W>(same_parallel, salp1, salp0 / cbet2);
    const V<W> gap = pick<W>(cbet1 < -sbet1, (cbet2 - cbet1) * (cbet1 + cbet2),
                             (sbet1 - sbet2) * (sbet1 + sbet2));
    // A radicand just below zero (reduced latitudes an ulp apart rounded the other way round,
    // as in trial()) is zero.
    const V<W> radicand = sq<W>(calp1 * cbet1) + gap;
    const V<W> calp2 = sqrt<W>(pick<W>(radicand < 0.0, splat<W>(0.0), radicand)) / cbet2;
    t.calp2 = pick<W>(same_parallel & (abs<W>(sbet2) == -sbet1), abs<W>(calp1), calp2);
    V<W> ssig2 = sbet2, csig2 = t.calp2 * cbet2;
    const V<W> somg2 = salp0 * sbet2, comg2 = csig2;
    unit<W>(ssig2, csig2);
    const V<W> zero = splat<W>(0.0);
    const V<W> cross = csig1 * ssig2 - ssig1 * csig2;
    const V<W> sig12 =
        angle_atan2<W, small>(pick<W>(cross > 0.0, cross, zero), csig1 * csig2 + ssig1 * ssig2);
    const V<W> k2 = sq<W>(calp0) * g.ep2;
    const V<W> eps = eps_of<W>(k2);
    V<W> cc1[7];
    c1_of<W>(eps, cc1);
    const V<W> a1 = a1_of<W>(eps);
    const V<W> b1 = sin_series<W, 6>(ssig2, csig2, cc1) - sin_series<W, 6>(ssig1, csig1, cc1);
    t.s12b = a1 * (sig12 + b1);
    if constexpr (last) {
        return t;
    }
    const V<W> omg_cross = comg1 * somg2 - somg1 * comg2;
    const V<W> omg12 = atan2_or_hand_over<W, small>(pick<W>(omg_cross > 0.0, omg_cross, zero),
                                                    comg1 * comg2 + somg1 * somg2, fast);
    V<W> cc3[6], cc2[7];
    c3_of<W>(g, eps, cc3);
    const V<W> b312 = sin_series<W, 5>(ssig2, csig2, cc3) - sin_series<W, 5>(ssig1, csig1, cc3);
    t.lam12 = omg12 - g.f * a3_of<W>(g, eps) * salp0 * (sig12 + b312);
    // The reduced length m12 (eqs. 38-41), for d lambda12 / d alpha1 (eqs. 46-47).
    c2_of<W>(eps, cc2);
    const V<W> a2 = a2_of<W>(eps);
    const V<W> b2 = sin_series<W, 6>(ssig2, csig2, cc2) - sin_series<W, 6>(ssig1, csig1, cc2);
    const V<W> j12 = (a1 - a2) * sig12 + (a1 * b1 - a2 * b2);
    const V<W> m12b = dn2 * (csig1 * ssig2) - dn1 * (ssig1 * csig2) - csig1 * csig2 * j12;
    t.dlam12 = pick<W>(t.calp2 == 0.0, -2.0 * g.f1 * dn1 / sbet1, g.f1 * m12b / (t.calp2 * cbet2));
    return t;
}

// The start alpha1 of a nearly antipodal pair (Sect. 5): to first order in f the
// scaled offset (x, y) of point 2 from the antipode of point 1 lies on
// x = -(1 + mu) sin(alpha1), y = mu cos(alpha1), mu >= 0 (eqs. 53-56); without
// mu, F(alpha1) = y sin + x cos + sin cos = 0 on [pi/2, pi] (x, y <= 0), one root,
// by Newton's method kept in the bracket, lane by lane, in the lanes of `todo`
// (a start: after kAstroidIterations steps the last is taken).
inline constexpr int kAstroidIterations = 60;
template <int W>
inline V<W> astroid_azimuth(V<W> x, V<W> y, I<W> todo) noexcept {
    V<W> lo = splat<W>(kGeoPi / 2), hi = splat<W>(kGeoPi);
    V<W> alp = splat<W>(3 * kGeoPi / 4);
    I<W> active = todo;
    for (int it = 0; it < kAstroidIterations; ++it) {
        active = active & (hi - lo > 4 * kGeoEps);
        if (!any<W>(active)) break;
        V<W> s, c;
        sincos<W>(alp, s, c);
        const V<W> F = y * s + x * c + s * c;
        active = active & ~(F == 0.0);
        const I<W> below = active & (F < 0.0), above = active & (F > 0.0);
        lo = pick<W>(below, alp, lo), hi = pick<W>(above, alp, hi);
        const V<W> dF = y * c - x * s + (c - s) * (c + s);
        V<W> next = pick<W>(dF != 0.0, alp - F / dF, lo);
        next = pick<W>((next > lo) & (next < hi), next, (lo + hi) * 0.5);
        // A step of a few units of alpha has found the root to rounding: Newton's
        // steps would only dither about it, the bracket shrinking from one side.
        const I<W> landed = abs<W>(next - alp) <= 4 * kGeoEps;
        alp = pick<W>(active, next, alp);
        active = active & ~landed;
    }
    return alp;
}

// A pair of the inverse problem in the canonical arrangement (Sect. 4: lambda12 in
// [0, pi], |beta1| >= |beta2|, beta1 <= 0), and how to return from it.
template <int W>
struct Canonical {
    V<W> sbet1, cbet1, dn1, sbet2, cbet2, dn2, lon12;
    V<W> latsign;  // -1 where the latitudes' signs were turned
    I<W> swapped, lon_negative;
};

// The canonical arrangement of the pairs of the lanes of `fast` from latitude lat1 to lat2
// (zero on the other lanes) across the longitude difference lon12 (in [-pi, pi]), given
// sin and cos of their reduced latitudes (reduced()), and their start alpha1 (Sect. 5);
// returns the lanes the iteration serves. reduced() is odd in the latitude, so the
// canonical latitudes' (the sign turned) are those of the given ones, their sign turned.
template <int W, bool small = false>
I<W> canonical_start(const GeodesicConstants& g, I<W> fast, V<W> lat1, V<W> lat2, V<W> lon12,
                     V<W> sbet_1, V<W> cbet_1, V<W> sbet_2, V<W> cbet_2, Canonical<W>& p,
                     V<W>& salp1, V<W>& calp1) noexcept {
    const V<W> zero = splat<W>(0.0), one = splat<W>(1.0);
    p.lon_negative = bits<W>(lon12) < 0;  // -0 too
    lon12 = abs<W>(lon12);
    p.lon12 = lon12;
    p.swapped = abs<W>(lat1) < abs<W>(lat2);
    const V<W> lat_a = pick<W>(p.swapped, lat2, lat1);
    p.latsign = pick<W>(lat_a < 0.0, one, -one);
    const V<W> sbet1 = pick<W>(p.swapped, sbet_2, sbet_1) * p.latsign;
    const V<W> cbet1 = pick<W>(p.swapped, cbet_2, cbet_1);
    const V<W> sbet2 = pick<W>(p.swapped, sbet_1, sbet_2) * p.latsign;
    const V<W> cbet2 = pick<W>(p.swapped, cbet_1, cbet_2);
    p.sbet1 = sbet1, p.cbet1 = cbet1, p.sbet2 = sbet2, p.cbet2 = cbet2;
    p.dn1 = sqrt<W>(1.0 + g.ep2 * sq<W>(sbet1));
    p.dn2 = sqrt<W>(1.0 + g.ep2 * sq<W>(sbet2));
    // Meridional and equatorial geodesics are solved in closed form by the exact kernel.
    // On [0, pi] the lanes' sin(lambda12) is zero at lambda12 = 0 alone (sin x = x below
    // 2^-27, and no double is pi): the test needs no sine.
    fast = fast & ~(lon12 == 0.0) & ~(abs<W>(lat_a) >= kGeoPi / 2);
    fast = fast & ~((sbet1 == 0.0) & (lon12 <= g.f1 * kGeoPi));
    // The great circle of the auxiliary sphere with omega12 = lambda12 / w (eqs. 48-51).
    const V<W> sbet12 = sbet2 * cbet1 - cbet2 * sbet1;   // sin(beta2 - beta1)
    const V<W> sbet12a = sbet2 * cbet1 + cbet2 * sbet1;  // sin(beta2 + beta1)
    const V<W> w = sqrt<W>(1.0 - g.e2 * sq<W>((cbet1 + cbet2) * 0.5));
    V<W> somg12, comg12;
    angle_sincos<W, small>(lon12 / w, somg12, comg12);
    const I<W> ahead = comg12 >= 0.0;
    const V<W> bend = cbet2 * sbet1 * sq<W>(somg12) / pick<W>(ahead, 1.0 + comg12, 1.0 - comg12);
    salp1 = cbet2 * somg12;
    calp1 = pick<W>(ahead, sbet12 + bend, sbet12a - bend);
    const V<W> ssig12 = hypot2<W>(salp1, calp1);
    const V<W> csig12 = sbet1 * sbet2 + cbet1 * cbet2 * comg12;
    unit<W>(salp1, calp1);
    // Nearly antipodal pairs start from the astroid (Sect. 5), with the lune's scale
    // f pi cos^2(beta1) A3, A3 of the geodesic through the vertex at beta1.
    const I<W> antipodal = fast & (csig12 < 0.0) & (ssig12 < (6 * kGeoPi) * g.f * sq<W>(cbet1));
    if (any<W>(antipodal)) {
        const V<W> lamscale = g.f * cbet1 * a3_of<W>(g, eps_of<W>(g.ep2 * sq<W>(sbet1))) * kGeoPi;
        const V<W> x = (lon12 - kGeoPi) / lamscale;
        const V<W> y = sbet12a / (lamscale * cbet1);
        // y = 0 (beta2 = -beta1 exactly) takes an arcsine: the exact kernel's.
        fast = fast & ~(antipodal & (y == 0.0));
        const V<W> alp1 =
            astroid_azimuth<W>(pick<W>(antipodal, x, zero), pick<W>(antipodal, y, -one), antipodal);
        V<W> sa, ca;
        sincos<W>(pick<W>(antipodal, alp1, zero), sa, ca);
        salp1 = pick<W>(antipodal, sa, salp1), calp1 = pick<W>(antipodal, ca, calp1);
    }
    const I<W> flat_start = ~(salp1 > 0.0);
    salp1 = pick<W>(flat_start, one, salp1), calp1 = pick<W>(flat_start, zero, calp1);
    return fast;
}

// The canonical pairs of (lat1, lon1, lat2, lon2) and their start alpha1 (Sect. 5);
// returns the lanes the iteration serves.
template <int W>
I<W> inverse_start(const GeodesicConstants& g, V<W> lat1, V<W> lon1, V<W> lat2, V<W> lon2,
                   Canonical<W>& p, V<W>& salp1, V<W>& calp1) noexcept {
    I<W> fast = (abs<W>(lat1) <= kGeoPi / 2) & (abs<W>(lat2) <= kGeoPi / 2) &
                (abs<W>(lon1) <= kGeoLongitude) & (abs<W>(lon2) <= kGeoLongitude);
    if (!any<W>(fast)) return fast;
    const V<W> zero = splat<W>(0.0), one = splat<W>(1.0);
    lat1 = pick<W>(fast, lat1, zero), lat2 = pick<W>(fast, lat2, zero);
    lon1 = pick<W>(fast, lon1, zero), lon2 = pick<W>(fast, lon2, one);
    V<W> sbet1, cbet1, sbet2, cbet2;
    reduced<W>(g, lat1, sbet1, cbet1);
    reduced<W>(g, lat2, sbet2, cbet2);
    return canonical_start<W>(g, fast, lat1, lat2, reduce_turn<W>(lon2 - lon1), sbet1, cbet1, sbet2,
                              cbet2, p, salp1, calp1);
}

// Newton's bracket on alpha1 (as sines and cosines): from just above 0 to just below pi.
template <int W>
struct Bracket {
    V<W> slo = splat<W>(kGeoTiny), clo = splat<W>(1.0), shi = splat<W>(kGeoTiny),
         chi = splat<W>(-1.0);
};

// One step of Newton's method on alpha1 (eq. 46) in the bracket, on the lanes of
// `active`: lambda12 grows with alpha1 on (0, pi), so a step that leaves the bracket is
// replaced by bisection. alpha1 is carried as its sine and cosine and stepped by rotation
// (a cosine near zero keeps its relative precision). Returns the lanes still iterating;
// the others keep their azimuth.
//
// `landing`, where given, also stops a lane after a step dalpha1 with dalpha1^2
// |d lambda12 / d alpha1| <= landing |cos(alpha1)|: the error in lambda12 Newton's step
// leaves is lambda12'' dalpha1^2 / 2, and lambda12 varies on the scale of cos(alpha1) next
// to the equator (on the scale of 1 elsewhere).
template <int W, bool small = false>
I<W> newton_step(const GeodesicConstants& g, const Canonical<W>& p, V<W>& salp1, V<W>& calp1,
                 Bracket<W>& b, I<W> active, I<W>& fast, double landing = 0) noexcept {
    const V<W> zero = splat<W>(0.0);
    const Trial<W> t = trial<W, false, small>(g, p.sbet1, p.cbet1, p.dn1, p.sbet2, p.cbet2, p.dn2,
                                              salp1, calp1, fast);
    const V<W> v = t.lam12 - p.lon12;
    active = active & fast & ~(abs<W>(v) <= 2 * kGeoEps);
    const I<W> above = active & (v > 0.0), below = active & ~(v > 0.0);
    b.shi = pick<W>(above, salp1, b.shi), b.chi = pick<W>(above, calp1, b.chi);
    b.slo = pick<W>(below, salp1, b.slo), b.clo = pick<W>(below, calp1, b.clo);
    const V<W> dalp1 = -v / t.dlam12;
    I<W> newton = active & (t.dlam12 > 0.0) & (abs<W>(dalp1) < kGeoPi / 2);
    V<W> sd, cd;
    angle_sincos<W, small>(pick<W>(newton, dalp1, zero), sd, cd);
    const V<W> s = salp1 * cd + calp1 * sd, c = calp1 * cd - salp1 * sd;
    // Inside the bracket: lo < alpha < hi, as cross products.
    newton = newton & (s > 0.0) & (b.slo * c - b.clo * s < 0.0) & (s * b.chi - c * b.shi < 0.0);
    const I<W> bisect = active & ~newton;
    const V<W> sb = b.slo + b.shi, cb = b.clo + b.chi;
    const I<W> closed = bisect & (b.shi * b.clo - b.chi * b.slo <= 4 * kGeoEps) &
                        (b.clo * b.chi + b.slo * b.shi > 0.0);
    // A Newton step of a unit of alpha1 or less has converged to the last bit.
    const I<W> landed = newton & ((abs<W>(dalp1) <= kGeoEps) |
                                  (dalp1 * dalp1 * t.dlam12 <= landing * abs<W>(calp1)));
    V<W> sn = pick<W>(newton, s, sb), cn = pick<W>(newton, c, cb);
    unit<W>(sn, cn);
    salp1 = pick<W>(active, sn, salp1), calp1 = pick<W>(active, cn, calp1);
    return active & ~closed & ~landed;
}

// s12 (unit of Re), azi1 and azi2 of the canonical pairs p at the solution alpha1.
template <int W>
void inverse_result(const GeodesicConstants& g, const Canonical<W>& p, V<W> salp1, V<W> calp1,
                    I<W>& fast, V<W>& s12, V<W>& azi1, V<W>& azi2) noexcept {
    const Trial<W> t =
        trial<W, true>(g, p.sbet1, p.cbet1, p.dn1, p.sbet2, p.cbet2, p.dn2, salp1, calp1, fast);
    s12 = g.b * t.s12b;
    // Back from the canonical arrangement: the sign of the latitudes turns alpha into
    // pi - alpha, the swap reverses the geodesic, the sign of the longitude difference
    // mirrors it.
    const V<W> calp2 = t.calp2 * p.latsign, salp2 = t.salp2;
    calp1 = calp1 * p.latsign;
    const V<W> s1 = pick<W>(p.swapped, salp2, salp1), s2 = pick<W>(p.swapped, salp1, salp2);
    const V<W> c1 = pick<W>(p.swapped, -calp2, calp1), c2 = pick<W>(p.swapped, -calp1, calp2);
    const V<W> lonsign = pick<W>(p.lon_negative, splat<W>(-1.0), splat<W>(1.0));
    azi1 = atan2<W>(s1 * lonsign, c1);
    azi2 = atan2<W>(s2 * lonsign, c2);
}

// s12 (unit of Re), azi1 and azi2 of the shortest geodesic from (lat1, lon1) to (lat2,
// lon2), the lanes of a block iterating together: a lane that converges early waits.
template <int W>
I<W> inverse_lanes(const GeodesicConstants& g, V<W> lat1, V<W> lon1, V<W> lat2, V<W> lon2,
                   V<W>& s12, V<W>& azi1, V<W>& azi2) noexcept {
    Canonical<W> p{};
    V<W> salp1 = splat<W>(1.0), calp1 = splat<W>(0.0);
    I<W> fast = inverse_start<W>(g, lat1, lon1, lat2, lon2, p, salp1, calp1);
    if (!any<W>(fast)) return fast;
    Bracket<W> b;
    I<W> active = fast;
    for (int it = 0; it < kIterations && any<W>(active); ++it)
        active = newton_step<W>(g, p, salp1, calp1, b, active, fast);
    fast = fast & ~active;  // not converged: the exact kernel's
    inverse_result<W>(g, p, salp1, calp1, fast, s12, azi1, azi2);
    return fast;
}

// -- Loops -------------------------------------------------------------------------

// Rows [begin, end) of the four columns into rows of three: W pairs at a time
// through `lanes`, the lanes it leaves to `exact`, point by point.
template <int W, class Lanes>
inline void geodesic_rows(const GeodesicConstants& g, const Column (&in)[4], OutRows out,
                          std::ptrdiff_t begin, std::ptrdiff_t end, const double pad[4],
                          void (*exact)(const void*, const double*, double*),
                          Lanes lanes) noexcept {
    const auto block = [&](std::ptrdiff_t i, int m) noexcept {
        V<W> u[4];
        for (int j = 0; j < 4; ++j) u[j] = splat<W>(pad[j]);
        for (int k = 0; k < m; ++k)
            for (int j = 0; j < 4; ++j) u[j][k] = in[j][i + k];
        V<W> r0 = splat<W>(0.0), r1 = r0, r2 = r0;
        const I<W> fast = g.series ? lanes(u, r0, r1, r2) : I<W>{};
        for (int k = 0; k < m; ++k) {
            if (fast[k]) {
                out.put(i + k, r0[k], r1[k], r2[k]);
            } else {
                const double row[4] = {u[0][k], u[1][k], u[2][k], u[3][k]};
                double res[3];
                exact(g.exact, row, res);
                out.put(i + k, res[0], res[1], res[2]);
            }
        }
    };
    std::ptrdiff_t i = begin;
    for (; i + W <= end; i += W) block(i, W);
    if (i < end) block(i, int(end - i));
}

template <int W>
void geodesic_inverse_loop(const GeodesicConstants& g, const Column (&in)[4], OutRows out,
                           std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
    const double pad[4] = {0.0, 0.0, 0.5, 1.0};
    geodesic_rows<W>(g, in, out, begin, end, pad, g.exact_inverse,
                     [&](const V<W>* u, V<W>& s12, V<W>& azi1, V<W>& azi2) noexcept {
                         return inverse_lanes<W>(g, u[0], u[1], u[2], u[3], s12, azi1, azi2);
                     });
}

template <int W>
void geodesic_direct_loop(const GeodesicConstants& g, const Column (&in)[4], OutRows out,
                          std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
    const double pad[4] = {0.0, 0.0, 0.5, 0.0};
    geodesic_rows<W>(g, in, out, begin, end, pad, g.exact_direct,
                     [&](const V<W>* u, V<W>& lat2, V<W>& lon2, V<W>& azi2) noexcept {
                         return direct_lanes<W>(g, u[0], u[1], u[2], u[3], lat2, lon2, azi2);
                     });
}

}  // namespace
}  // namespace quorvane::fast

#endif  // QUORVANE_ELLIPSOID_FAST_GEODESIC_H
