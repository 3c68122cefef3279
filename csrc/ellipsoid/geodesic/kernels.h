// The geodesic problems on an ellipsoid of revolution: scalar kernels, after
//
//   C. F. F. Karney, "Algorithms for geodesics", J. Geodesy 87 (2013) 43-55.
//
// Pure functions of doubles: no interpreter, no allocation, no state beyond the
// per-ellipsoid constants they are handed. Angles are radians, lengths metres.
// Azimuths are clockwise from north. A latitude outside [-pi/2, pi/2] or a NaN
// gives NaN results.
//
// Every flattening 0 <= f < 1: the series in the third flattening up to
// kMaxFlattening (1/50), the same integrals exactly beyond (exact.h).
//
// Accuracy (bench/geodesic_accuracy.py, against a 40-digit evaluation of the
// integrals on 1000 pairs per region): on WGS84 the inverse problem's distance is
// within 11 nm and its azimuths within 3.1e-15 rad (2.4e-12 near the antipode,
// where rounding the inputs moves the geodesic as much); the direct problem lands
// within 14 nm over a full circumference. At f = 1/50 the inverse problem is within
// 14 nm and the direct one, its sigma2 refined by a Newton step, within 28 nm (the
// reversed series alone left 207 nm); the exact path's inverse (f = 0.1, 0.5, 0.9) within
// 14 nm. The exact path's direct problem, with its rates in double-double, lands within
// 11 nm over a full turn (f = 0.1, 0.5, 0.9; stated: 20 nm), and over lines up to 1e8 m
// (bench/geodesic_direct_long.py, 300 starts per flattening) within 10.6 nm of the true
// point beyond the resolution of the doubles it is given in, for f = 0.1 to 0.99 (near
// the poles of a flat ellipsoid half a unit of the latitude is 1.1e-16 a / (1 - f): 70 nm
// at f = 0.99); a series line beyond a turn takes the exact path (the series' rounded
// rates left 59 nm at 1e8 m, f = 1/50), within a turn it keeps its bits (15 nm on WGS84,
// 23 nm at f = 1/50). Due east along the equator: within 9 nm up to 1e8 m at any f.
#ifndef QUORVANE_ELLIPSOID_GEODESIC_KERNELS_H
#define QUORVANE_ELLIPSOID_GEODESIC_KERNELS_H

#include <cmath>
#include <cstddef>
#include <limits>
#include <tuple>
#include <utility>

#include "ellipsoid/geodesic/exact.h"
#include "ellipsoid/kernels/double_double.h"
#include "ellipsoid/geodesic/series.h"
#include "ellipsoid/longitude.h"

namespace quorvane::geodesic {

inline constexpr double kPi = 3.141592653589793238462643383279502884;
inline constexpr double kEps = std::numeric_limits<double>::epsilon();
// Stands in for cos(beta) at a pole, so that the pole is approached along the
// meridian of the longitude given: azimuths there follow that longitude.
inline constexpr double kTiny = 1.4916681462400413e-154;  // sqrt(DBL_MIN)
// The largest flattening the sixth-order series serve (their truncation error
// then leave some 150 nm over a full circumference of an Earth-sized ellipsoid; see
// bench/geodesic_accuracy.py). Above it the integrals are evaluated exactly
// (exact.h), up to any f < 1.
inline constexpr double kMaxFlattening = 1.0 / 50;
// Above this flattening the direct problem refines sigma2 by one Newton step
// (Line::position); at and below it the reversed series is already exact to
// rounding, and its results keep their bits.
inline constexpr double kNewtonFlattening = 1.0 / 100;
// 2 pi as a double-double: 2 kPi plus this.
inline constexpr double kTwoPiLo = 2.4492935982947064e-16;
// Below this |lon1 + lambda12| (rad) the exact path's end longitude is reduced in
// double-double (the product of the turns with 2 pi stays exact).
inline constexpr double kWideTurns = 0x1p40;

// sqrt(x^2 + y^2) without hypot's care for overflow: the arguments here are
// sines and cosines, never both below 1e-150, and hypot costs several times more.
inline double norm(double x, double y) noexcept {
    return std::sqrt(x * x + y * y);
}

inline void normalize(double& s, double& c) noexcept {
    const double h = norm(s, c);
    s /= h;
    c /= h;
}

inline double sq(double x) noexcept {
    return x * x;
}

// The power of two nearest below a finite, nonzero a (1 otherwise), as its exponent.
inline int scale_exponent(double a) noexcept {
    return std::isfinite(a) && a != 0 ? std::ilogb(a) : 0;
}

// Constants of one ellipsoid of equatorial radius 2^scale a and flattening f.
// The kernels work on the ellipsoid scaled by a power of two to a in [1, 2): the
// scaling is exact, so every result keeps its bits where the unscaled lengths
// neither overflow nor underflow, and beyond (Re = 5e-324 or 1e308, areas of
// Re^2) lengths and areas are scaled back once at the end, overflowing only
// where the true value exceeds the double range. b and c2 come from f, not from
// Re (1 - f), which rounds to Re itself for a subnormal Re.
struct Geodesic {
    int scale;
    // 2^scale and 2^-scale where both are normal doubles (a product with them is then
    // ldexp's result, a few nanoseconds sooner), else 0.
    double up, down;
    double a, f, f1, b, e2, ep2, n;
    double c2;   // authalic radius squared (eq. 60)
    bool exact;  // f > kMaxFlattening: the integrals exactly, not by the series
    LongitudeSeries lon;

    Geodesic(double a_, double f_) noexcept : Geodesic(scale_exponent(a_), a_, f_) {}
    Geodesic(int scale_, double a_, double f_) noexcept
        : scale(scale_),
          up(normal_power(scale_) ? std::ldexp(1.0, scale_) : 0),
          down(normal_power(scale_) ? std::ldexp(1.0, -scale_) : 0),
          a(std::ldexp(a_, -scale_)),
          f(f_),
          f1(1 - f_),
          b(a * (1 - f_)),
          e2(f_ * (2 - f_)),
          ep2(f_ * (2 - f_) / sq(1 - f_)),
          n(f_ / (2 - f_)),
          c2(authalic(a, f_)),
          exact(f_ > kMaxFlattening),
          lon(f_ / (2 - f_)) {}

    static bool supports(double f) noexcept { return f >= 0 && f < 1; }
    static bool normal_power(int k) noexcept { return k >= -1021 && k <= 1021; }

    // A length of the scaled ellipsoid in metres, and back; an area in square metres.
    double metres(double length) const noexcept {
        return up != 0 ? length * up : std::ldexp(length, scale);
    }
    double scaled(double metres) const noexcept {
        return down != 0 ? metres * down : std::ldexp(metres, -scale);
    }
    double square_metres(double area) const noexcept { return std::ldexp(area, 2 * scale); }

    // The exact integrals of the geodesic of equatorial azimuth alpha0.
    exact::Integrals integrals(double salp0, double calp0, bool longitude) const noexcept {
        return exact::Integrals(f1, ep2, salp0, calp0, longitude);
    }

    // c^2 = a^2/2 + b^2/2 atanh(e)/e (eq. 60); a^2 on a sphere. Past the series'
    // flattenings atanh(e) = log((1 + e)/(1 - f)), as (1 + e)(1 - e) = (1 - f)^2: e
    // itself rounds to 1 (and atanh to infinity) once 1 - f is below 1e-8.
    static double authalic(double a, double f) noexcept {
        const double e2 = f * (2 - f);
        const double e = std::sqrt(e2);
        const double b = a * (1 - f);
        if (f > kMaxFlattening) return (a * a + b * b * (std::log((1 + e) / (1 - f)) / e)) / 2;
        return e2 == 0 ? a * a : (a * a + b * b * (std::atanh(e) / e)) / 2;
    }
};

// sin and cos of the reduced latitude of latitude lat, cos kept off zero.
inline void reduced(const Geodesic& g, double lat, double& sbet, double& cbet) noexcept {
    sbet = g.f1 * std::sin(lat);
    cbet = std::cos(lat);
    normalize(sbet, cbet);
    cbet = std::fmax(kTiny, cbet);
}

// sin and cos of a vertex's reduced latitude (reduced above), worked out once for
// the two edges of a path that share the vertex.
struct Reduced {
    double sbet, cbet;
};
inline Reduced reduced_of(const Geodesic& g, double lat) noexcept {
    Reduced r;
    reduced(g, lat, r.sbet, r.cbet);
    return r;
}

// eps of eq. 16 for k^2, without cancellation.
inline double eps_of(double k2) noexcept {
    return k2 / (2 * (1 + std::sqrt(1 + k2)) + k2);
}

// Distance s12/b and reduced length m12/b between arc lengths sigma1 and sigma2
// of one geodesic (eqs. 15, 38-41); dn = sqrt(1 + k^2 sin^2 sigma).
struct Lengths {
    double s12b, m12b;
    double j12 = 0;  // J(sigma2) - J(sigma1), for the geodesic scales (full.h)
};
inline Lengths lengths(double eps, double sig12, double ssig1, double csig1, double dn1,
                       double ssig2, double csig2, double dn2) noexcept {
    double cc1[7], cc2[7];
    c1(eps, cc1);
    c2(eps, cc2);
    const double A1 = a1(eps), A2 = a2(eps);
    const double b1 = sin_series<6>(ssig2, csig2, cc1) - sin_series<6>(ssig1, csig1, cc1);
    const double b2 = sin_series<6>(ssig2, csig2, cc2) - sin_series<6>(ssig1, csig1, cc2);
    const double j12 = (A1 - A2) * sig12 + (A1 * b1 - A2 * b2);  // J(sigma2) - J(sigma1)
    return Lengths{A1 * (sig12 + b1),
                   dn2 * (csig1 * ssig2) - dn1 * (ssig1 * csig2) - csig1 * csig2 * j12, j12};
}

// The geodesic from reduced latitude beta1 with azimuth alpha1 to reduced
// latitude beta2 (Sect. 4): its longitude difference lambda12 and what the
// inverse problem needs besides. The `last` trial, at the solution, computes
// only the distance and the azimuth at point 2.
struct Trial {
    double lam12;   // lambda12(alpha1) (eqs. 8, 23)
    double dlam12;  // d lambda12 / d alpha1 (eqs. 46-47)
    double salp2, calp2, sig12, s12b;
    double vtol;  // the rounding error of lam12: the inverse problem's tolerance
    double dlon;  // omega12 - lambda12 (eq. 8): small, of the order of f sigma12
};
template <bool last = false>
inline Trial trial(const Geodesic& g, double sbet1, double cbet1, double dn1, double sbet2,
                   double cbet2, double dn2, double salp1, double calp1) noexcept {
    Trial t;
    const double salp0 = salp1 * cbet1;  // Clairaut (eq. 5)
    const double calp0 = norm(calp1, salp1 * sbet1);
    // sigma1, omega1 (eqs. 11-12)
    double ssig1 = sbet1, csig1 = calp1 * cbet1;
    const double somg1 = salp0 * sbet1, comg1 = csig1;
    normalize(ssig1, csig1);
    // alpha2 (eq. 45): cos(alpha2) >= 0 since |beta2| <= |beta1| and beta1 <= 0;
    // cos^2 beta2 - cos^2 beta1 in the form without cancellation. For latitudes a unit
    // or two of the last place apart the reduced ones can round the other way round
    // (|beta2| a hair above |beta1|): a geodesic leaving nearly east or west then has a
    // radicand just below zero, which is zero.
    t.salp2 = cbet2 != cbet1 ? salp0 / cbet2 : salp1;
    const double calp2_cbet2_sq =
        sq(calp1 * cbet1) +
        (cbet1 < -sbet1 ? (cbet2 - cbet1) * (cbet1 + cbet2) : (sbet1 - sbet2) * (sbet1 + sbet2));
    t.calp2 = cbet2 != cbet1 || std::fabs(sbet2) != -sbet1
                  ? std::sqrt(calp2_cbet2_sq < 0 ? 0.0 : calp2_cbet2_sq) / cbet2
                  : std::fabs(calp1);
    double ssig2 = sbet2, csig2 = t.calp2 * cbet2;
    const double somg2 = salp0 * sbet2, comg2 = csig2;
    normalize(ssig2, csig2);
    t.sig12 =
        std::atan2(std::fmax(0.0, csig1 * ssig2 - ssig1 * csig2), csig1 * csig2 + ssig1 * ssig2);
    if (g.exact) {
        const exact::Integrals in = g.integrals(salp0, calp0, !last);
        const exact::Integrals::Periodic p1 = in.at<!last>(ssig1, csig1);
        const exact::Integrals::Periodic p2 = in.at<!last>(ssig2, csig2);
        // lambda12 to a few units of the last place (their rounding), or to
        // the last bit or two over a short arc.
        const bool short_arc = exact::short_arc(in.k2, t.sig12);
        const exact::ShortArc arc = short_arc
                                        ? exact::short_integrals(in.k2, g.f1, ssig1, csig1, t.sig12)
                                        : exact::ShortArc{0, 0};
        t.s12b = short_arc ? arc.s12b : in.e_rate * t.sig12 + (p2.e - p1.e);
        t.vtol = short_arc ? 2 * kEps : 8 * kEps;
        if constexpr (last) {
            t.lam12 = t.dlam12 = 0;
            return t;
        }
        const double omg12 = std::atan2(std::fmax(0.0, comg1 * somg2 - somg1 * comg2),
                                        comg1 * comg2 + somg1 * somg2);
        t.dlon = short_arc ? g.e2 * salp0 * arc.i3 : in.c_rate * t.sig12 + (p2.c - p1.c);
        t.lam12 = omg12 - t.dlon;
        const double j12 = in.j_rate * t.sig12 + (p2.j - p1.j);
        const double m12b = dn2 * (csig1 * ssig2) - dn1 * (ssig1 * csig2) - csig1 * csig2 * j12;
        t.dlam12 = t.calp2 == 0 ? -2 * g.f1 * dn1 / sbet1 : g.f1 * m12b / (t.calp2 * cbet2);
        return t;
    }
    t.vtol = 2 * kEps;
    const double k2 = sq(calp0) * g.ep2;
    const double eps = eps_of(k2);
    if constexpr (last) {
        double cc1[7];
        c1(eps, cc1);
        const double b1 = sin_series<6>(ssig2, csig2, cc1) - sin_series<6>(ssig1, csig1, cc1);
        t.s12b = a1(eps) * (t.sig12 + b1);
        t.lam12 = t.dlam12 = 0;
        return t;
    }
    const double omg12 =
        std::atan2(std::fmax(0.0, comg1 * somg2 - somg1 * comg2), comg1 * comg2 + somg1 * somg2);
    double cc3[6];
    g.lon.c3_of(eps, cc3);
    const double b312 = sin_series<5>(ssig2, csig2, cc3) - sin_series<5>(ssig1, csig1, cc3);
    t.dlon = g.f * g.lon.a3_of(eps) * salp0 * (t.sig12 + b312);
    t.lam12 = omg12 - t.dlon;
    const Lengths len = lengths(eps, t.sig12, ssig1, csig1, dn1, ssig2, csig2, dn2);
    t.s12b = len.s12b;
    t.dlam12 = t.calp2 == 0 ? -2 * g.f1 * dn1 / sbet1 : g.f1 * len.m12b / (t.calp2 * cbet2);
    return t;
}

// Start value of alpha1 for nearly antipodal points (Sect. 5): to first order
// in f the scaled offset (x, y) of point 2 from the antipode of point 1 lies on
// x = -(1 + mu) sin(alpha1), y = mu cos(alpha1) with mu >= 0 (eqs. 53-56);
// eliminating mu leaves F(alpha1) = y sin + x cos + sin cos = 0 on [pi/2, pi]
// (x, y <= 0 here), with F(pi/2) = y <= 0 <= -x = F(pi): one root, found by
// Newton's method kept inside the bracket.
inline double astroid_azimuth(double x, double y) noexcept {
    if (y == 0) return std::fabs(x) <= 1 ? kPi - std::asin(-x) : kPi / 2;
    double lo = kPi / 2, hi = kPi, alp = 3 * kPi / 4;
    for (int it = 0; it < 60 && hi - lo > 4 * kEps; ++it) {
        const double s = std::sin(alp), c = std::cos(alp);
        const double F = y * s + x * c + s * c;
        if (F == 0) break;
        (F < 0 ? lo : hi) = alp;
        const double dF = y * c - x * s + (c - s) * (c + s);
        double next = dF != 0 ? alp - F / dF : lo;
        if (!(next > lo && next < hi)) next = (lo + hi) / 2;
        alp = next;
    }
    return alp;
}

// The inverse problem: distance s12 and forward azimuths azi1, azi2 between
// (lat1, lon1) and (lat2, lon2).
struct InverseResult {
    double s12, azi1, azi2;
};
// What the area needs of an inverse solution, in the problem's own orientation:
// the azimuths, and omega12, the longitude difference on the auxiliary sphere, signed
// as lambda12 and accurate relative to itself (NaN where the solution has none).
struct InverseDetail {
    double salp1, calp1, salp2, calp2;
    double omg12 = std::numeric_limits<double>::quiet_NaN();
    Reduced point1{}, point2{};  // the points' reduced latitudes
};

// The inverse problem on the scaled ellipsoid of g: s12 in its units (inverse()
// below gives metres), for sums that are scaled back once.
// `known`, where given, holds the reduced latitudes of lat1 and lat2 (reduced_of): sin
// is odd and cos even, so the canonical arrangement's are theirs with the sign of the
// latitudes turned, the very bits reduced() gives.
inline InverseResult inverse_scaled(const Geodesic& g, double lat1, double lon1, double lat2,
                                    double lon2, InverseDetail* detail = nullptr,
                                    const Reduced* known = nullptr) noexcept {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    if (!(std::fabs(lat1) <= kPi / 2 && std::fabs(lat2) <= kPi / 2) || std::isnan(lon1) ||
        std::isnan(lon2) || std::isinf(lon1) || std::isinf(lon2)) {
        if (detail) *detail = InverseDetail{nan, nan, nan, nan, nan};
        return InverseResult{nan, nan, nan};
    }
    // Canonical arrangement (Sect. 4): lambda12 in [0, pi], |lat1| >= |lat2|, lat1 <= 0.
    double lon12 = longitude::lon_diff(lon1, lon2);
    const double lonsign = std::signbit(lon12) ? -1 : 1;
    lon12 = std::fabs(lon12);
    const bool swapped = std::fabs(lat1) < std::fabs(lat2);
    if (swapped) std::swap(lat1, lat2);
    const double latsign = lat1 < 0 ? 1 : -1;
    lat1 *= latsign;
    lat2 *= latsign;
    const double slam12 = std::sin(lon12), clam12 = std::cos(lon12);

    double sbet1, cbet1, sbet2, cbet2;
    if (known) {
        const Reduced& r1 = known[swapped ? 1 : 0];
        const Reduced& r2 = known[swapped ? 0 : 1];
        sbet1 = latsign * r1.sbet, cbet1 = r1.cbet;
        sbet2 = latsign * r2.sbet, cbet2 = r2.cbet;
    } else {
        reduced(g, lat1, sbet1, cbet1);
        reduced(g, lat2, sbet2, cbet2);
    }
    const double dn1 = std::sqrt(1 + g.ep2 * sq(sbet1));
    const double dn2 = std::sqrt(1 + g.ep2 * sq(sbet2));

    double salp1, calp1, salp2, calp2, s12;
    // omega12 as lambda12 plus (omega - lambda)12 of the solution (eq. 8): the input's
    // longitude difference keeps its relative precision, where omega12 as a difference
    // of omega1 and omega2 would carry an absolute rounding error.
    double omega12 = lon12;  // meridians (alpha0 = 0) and the point at the pole
    bool solved = false;
    // Meridional (lambda12 = 0 or pi, or point 1 at the pole): alpha1 = lambda12.
    if (slam12 == 0 || lat1 <= -kPi / 2) {
        calp1 = clam12, salp1 = slam12;
        calp2 = 1, salp2 = 0;
        double ssig1 = sbet1, csig1 = calp1 * cbet1;
        double ssig2 = sbet2, csig2 = calp2 * cbet2;
        const double sig12 = std::atan2(std::fmax(0.0, csig1 * ssig2 - ssig1 * csig2),
                                        csig1 * csig2 + ssig1 * ssig2);
        Lengths len;
        if (g.exact) {
            const exact::Integrals in = g.integrals(0, 1, false);
            const exact::Integrals::Periodic p1 = in.at<false>(ssig1, csig1);
            const exact::Integrals::Periodic p2 = in.at<false>(ssig2, csig2);
            const double j12 = in.j_rate * sig12 + (p2.j - p1.j);
            len.s12b = exact::short_arc(in.k2, sig12)
                           ? exact::short_integrals(in.k2, g.f1, ssig1, csig1, sig12).s12b
                           : in.e_rate * sig12 + (p2.e - p1.e);
            len.m12b = dn2 * (csig1 * ssig2) - dn1 * (ssig1 * csig2) - csig1 * csig2 * j12;
        } else {
            len = lengths(eps_of(g.ep2), sig12, ssig1, csig1, dn1, ssig2, csig2, dn2);
        }
        // On an oblate ellipsoid meridians are shortest; the test on m12 keeps
        // the rule honest for any other geometry.
        if (sig12 < 1 || len.m12b >= 0) {
            s12 = g.b * len.s12b;
            solved = true;
        }
    }
    // Equatorial, up to the longitude (1 - f) pi where the equator stops being shortest.
    if (!solved && sbet1 == 0 && lon12 <= g.f1 * kPi) {
        calp1 = calp2 = 0, salp1 = salp2 = 1;
        s12 = g.a * lon12;
        omega12 = lon12 / g.f1;
        solved = true;
    }
    if (!solved) {
        // Start (Sect. 5): the great circle of the auxiliary sphere with
        // omega12 = lambda12 / w (eqs. 48-51), or the astroid near the antipode.
        const double sbet12 = sbet2 * cbet1 - cbet2 * sbet1;   // sin(beta2 - beta1)
        const double sbet12a = sbet2 * cbet1 + cbet2 * sbet1;  // sin(beta2 + beta1)
        const double w = std::sqrt(1 - g.e2 * sq((cbet1 + cbet2) / 2));
        const double omg12 = lon12 / w;
        const double somg12 = std::sin(omg12), comg12 = std::cos(omg12);
        salp1 = cbet2 * somg12;
        calp1 = comg12 >= 0 ? sbet12 + cbet2 * sbet1 * sq(somg12) / (1 + comg12)
                            : sbet12a - cbet2 * sbet1 * sq(somg12) / (1 - comg12);
        const double ssig12 = norm(salp1, calp1);
        const double csig12 = sbet1 * sbet2 + cbet1 * cbet2 * comg12;
        if (csig12 >= 0 || ssig12 >= 6 * g.f * kPi * sq(cbet1)) {
            normalize(salp1, calp1);
        } else {
            // Lune scale f pi cos^2(beta1) A3, with A3 for a geodesic through
            // the vertex at beta1.
            // (Exactly: the longitude lost over half a turn of that geodesic.)
            const double lamscale =
                g.exact ? g.integrals(cbet1, std::fabs(sbet1), true).c_rate * kPi
                        : g.f * cbet1 * g.lon.a3_of(eps_of(g.ep2 * sq(sbet1))) * kPi;
            const double x = (lon12 - kPi) / lamscale;
            const double y = sbet12a / (lamscale * cbet1);
            const double alp1 = astroid_azimuth(x, y);
            salp1 = std::sin(alp1), calp1 = std::cos(alp1);
        }
        // Newton's method on alpha1 (eq. 46), kept in a bracket: lambda12 grows
        // with alpha1 on (0, pi), so a step that leaves the bracket is replaced
        // by bisection and every iteration converges. alpha1 is carried as its
        // sine and cosine, stepped by rotation: a cosine near zero (a geodesic
        // leaving nearly east or west, whose length is proportional to it)
        // keeps its full relative precision, which the angle itself would not.
        double slo = kTiny, clo = 1, shi = kTiny, chi = -1;  // alpha1 just above 0, below pi
        if (!(salp1 > 0)) salp1 = 1, calp1 = 0;
        Trial t{};
        for (int it = 0; it < 100; ++it) {
            t = trial(g, sbet1, cbet1, dn1, sbet2, cbet2, dn2, salp1, calp1);
            omega12 = lon12 + t.dlon;  // the last step moves alpha1 by an ulp at most
            const double v = t.lam12 - lon12;
            if (std::fabs(v) <= t.vtol) break;
            if (v > 0) {
                shi = salp1, chi = calp1;
            } else {
                slo = salp1, clo = calp1;
            }
            bool stepped = false;
            if (t.dlam12 > 0) {
                const double dalp1 = -v / t.dlam12;
                if (std::fabs(dalp1) < kPi / 2) {
                    const double sd = std::sin(dalp1), cd = std::cos(dalp1);
                    const double s = salp1 * cd + calp1 * sd, c = calp1 * cd - salp1 * sd;
                    // Inside the bracket: lo < alpha < hi, as cross products.
                    if (s > 0 && slo * c - clo * s < 0 && s * chi - c * shi < 0) {
                        // Converged to the last bit: only the results are computed.
                        // (A larger step is not safe to stop at: next to the equator
                        // lambda12 varies on the scale of cos(alpha1), and Newton's
                        // quadratic error there is large for any fixed step. For a
                        // strong flattening it is large even for a step of one unit
                        // of alpha1's last place, and the exact path scales the step
                        // it stops at by cos(alpha1).)
                        if (std::fabs(dalp1) <=
                            (g.exact ? kEps * std::fmin(1.0, std::fabs(calp1)) : kEps)) {
                            salp1 = s, calp1 = c;
                            normalize(salp1, calp1);
                            t = trial<true>(g, sbet1, cbet1, dn1, sbet2, cbet2, dn2, salp1, calp1);
                            break;
                        }
                        salp1 = s, calp1 = c;
                        stepped = true;
                    }
                }
            }
            if (!stepped) {  // bisection
                salp1 = slo + shi, calp1 = clo + chi;
                // The bracket has closed (its sine tiny and its cosine positive).
                if (shi * clo - chi * slo <= 4 * kEps && clo * chi + slo * shi > 0) {
                    normalize(salp1, calp1);
                    break;
                }
            }
            normalize(salp1, calp1);
        }
        salp2 = t.salp2, calp2 = t.calp2;
        s12 = g.b * t.s12b;
    }
    // Back from the canonical arrangement: the sign of the latitudes turns
    // alpha into pi - alpha, the swap reverses the geodesic, the sign of the
    // longitude difference mirrors it.
    calp1 *= latsign, calp2 *= latsign;
    if (swapped) {
        std::swap(salp1, salp2);
        std::swap(calp1, calp2);
        calp1 = -calp1, calp2 = -calp2;
    }
    salp1 *= lonsign, salp2 *= lonsign;
    if (detail) {
        const Reduced c1{latsign * sbet1, cbet1}, c2{latsign * sbet2, cbet2};
        *detail = InverseDetail{
            salp1, calp1, salp2, calp2, lonsign * omega12, swapped ? c2 : c1, swapped ? c1 : c2};
    }
    return InverseResult{s12, std::atan2(salp1, calp1), std::atan2(salp2, calp2)};
}

inline InverseResult inverse(const Geodesic& g, double lat1, double lon1, double lat2, double lon2,
                             InverseDetail* detail = nullptr) noexcept {
    InverseResult r = inverse_scaled(g, lat1, lon1, lat2, lon2, detail);
    r.s12 = g.metres(r.s12);
    return r;
}

// One geodesic from (lat1, lon1) with azimuth azi1: constants computed once,
// then any number of points along it (the direct problem, Sect. 3).
struct Line {
    double lat1, lon1, azi1, salp0, calp0, ssig1, csig1, somg1, comg1, sig1, tau1, b_a1, f_a3_salp0;
    double b31;
    double cc1[7], cc1p[7], cc3[6];
    double k2, a1_;  // k^2 and A1 of this line, for the Newton step of position()
    bool valid;
    exact::Integrals in;            // with g.exact: the integrals,
    exact::Integrals::Periodic p1;  // their periodic parts at point 1,
    exact::SecularRates rates;      // the rates of distance and longitude in double-double
    bool wide_longitude;  // lambda12 from its own rate (else omega12 - (omega - lambda)12)

    // A longitude of more turns than the ordinary few is reduced exactly here: lon1
    // + lam12 would lose it.
    Line(const Geodesic& g, double lat, double lon, double azi) noexcept
        : lat1(lat),
          lon1(std::fabs(lon) > longitude::kOrdinaryLongitude ? longitude::reduce_longitude(lon)
                                                              : lon),
          azi1(azi) {
        valid = std::fabs(lat) <= kPi / 2 && std::isfinite(lon) && std::isfinite(azi);
        const double salp1 = std::sin(azi), calp1 = std::cos(azi);
        double sbet1, cbet1;
        reduced(g, lat, sbet1, cbet1);
        salp0 = salp1 * cbet1;
        calp0 = norm(calp1, salp1 * sbet1);
        ssig1 = sbet1, somg1 = salp0 * sbet1;
        csig1 = comg1 = sbet1 != 0 || calp1 != 0 ? cbet1 * calp1 : 1;
        normalize(ssig1, csig1);
        sig1 = std::atan2(ssig1, csig1);
        if (g.exact) {
            in = g.integrals(salp0, calp0, true);
            // The periodic parts are taken against the rates' leading doubles; the
            // trailing ones enter with sigma12 (position, exact_sigma12).
            rates = exact::secular_rates(g.f, salp0, calp0);
            in.e_rate = rates.e.hi;
            wide_longitude = in.longitude && std::fabs(salp0) >= exact::kWideLongitude;
            if (wide_longitude) in.l_rate = rates.l.hi;
            p1 = in.at(ssig1, csig1);
            return;
        }
        k2 = sq(calp0) * g.ep2;
        const double eps = eps_of(k2);
        c1(eps, cc1);
        c1p(eps, cc1p);
        tau1 = sig1 + sin_series<6>(ssig1, csig1, cc1);
        a1_ = a1(eps);
        b_a1 = g.b * a1_;
        g.lon.c3_of(eps, cc3);
        b31 = sin_series<5>(ssig1, csig1, cc3);
        f_a3_salp0 = g.f * g.lon.a3_of(eps) * salp0;
    }

    // The point at distance s12 (metres; negative: backwards): lat2, lon2 (in
    // [-pi, pi]), azi2.
    void position(const Geodesic& g, double s12_metres, double& lat2, double& lon2,
                  double& azi2) const noexcept {
        const double s12 = g.scaled(s12_metres);
        if (!valid || !std::isfinite(s12)) {
            lat2 = lon2 = azi2 = std::numeric_limits<double>::quiet_NaN();
            return;
        }
        if (!g.exact && std::fabs(s12) > 2 * kPi * g.a) {
            // Beyond a turn the series' rates (A1, A3), rounded to a few units, move
            // the end by 60 nm over 1e8 m at f = 1/50: the integrals exactly, with
            // their rates in double-double, as past f = 1/50.
            Geodesic wide = g;
            wide.exact = true;
            Line(wide, lat1, lon1, azi1).position(wide, s12_metres, lat2, lon2, azi2);
            return;
        }
        double ssig2, csig2;
        const double_double::Wide wide_sig12 = sigma2(g, s12, ssig2, csig2);
        finish(g, wide_sig12, ssig2, csig2, lat2, lon2, azi2);
    }

    // sigma12 at distance s12 (the scaled ellipsoid's units), and sin and cos of sigma2:
    // a double-double on the exact path (its trailing double enters the long longitude),
    // a double (and 0) on the series'.
    double_double::Wide sigma2(const Geodesic& g, double s12, double& ssig2,
                               double& csig2) const noexcept {
        if (g.exact) {
            return exact_sigma12(g, s12, ssig2, csig2);
        } else {
            double sig2;
            // sigma2 from tau2 by the reversed series (eq. 20).
            const double tau2 = tau1 + s12 / b_a1;
            const double stau2 = std::sin(tau2), ctau2 = std::cos(tau2);
            sig2 = tau2 + sin_series<6>(stau2, ctau2, cc1p);
            ssig2 = std::sin(sig2), csig2 = std::cos(sig2);
            if (g.f > kNewtonFlattening) {
                // The reversed series is truncated one order sooner in effect than the
                // forward one (its error grows as eps^7 with larger coefficients: 200 nm
                // at f = 1/50). One Newton step on tau(sigma) = sigma + I1(sigma) = tau2,
                // with dtau/dsigma = sqrt(1 + k^2 sin^2 sigma) / A1, takes it to the
                // forward series' accuracy.
                const double err = sig2 + sin_series<6>(ssig2, csig2, cc1) - tau2;
                sig2 -= err * a1_ / std::sqrt(1 + k2 * sq(ssig2));
                ssig2 = std::sin(sig2), csig2 = std::cos(sig2);
            }
            return double_double::Wide{sig2 - sig1, 0};
        }
    }

    // The point at sigma12 (sin and cos of sigma2 given): lat2, lon2, azi2.
    void finish(const Geodesic& g, double_double::Wide wide_sig12, double ssig2, double csig2,
                double& lat2, double& lon2, double& azi2) const noexcept {
        const double sig12 = wide_sig12.hi + wide_sig12.lo;
        // beta2, alpha2 (eqs. 13-14), omega2 (eq. 12).
        const double sbet2 = calp0 * ssig2;
        double cbet2 = norm(salp0, calp0 * csig2);
        double calp2 = calp0 * csig2;
        if (cbet2 == 0) cbet2 = calp2 = kTiny;  // at a pole
        lat2 = std::atan2(sbet2, g.f1 * cbet2);
        azi2 = std::atan2(salp0, calp2);
        if (g.exact && wide_longitude) {
            // lambda12 as its own integral, secular rate times sigma12 plus periodic parts
            // (exact.h), not as omega12 - (omega - lambda)12: past f = 1/2 the two terms
            // of that difference are each several times lambda12, and at f = 0.99 the
            // rate of omega - lambda is 1 - (1 - f) to within a unit of its last place,
            // which the difference would lose 100 times over a long line. The secular
            // term and the sum with lon1 in double-double, reduced by a double-double
            // 2 pi: lambda12 reaches 1e3 rad, whose last unit is 1e-13 rad. The periodic
            // parts were taken against the rate's leading double: its trailing one
            // enters with sigma2 - sigma1 less their reduced values (whole half-turns).
            using namespace double_double;
            const exact::Integrals::Periodic p2 = in.at(ssig2, csig2);
            const double rest = (p2.l - p1.l) - rates.l.lo * (p2.sig - p1.sig);
            const Wide total = add(add(times(rates.l, wide_sig12), Wide{rest, 0}), Wide{lon1, 0});
            if (!(std::fabs(total.hi) < kWideTurns)) {
                lon2 = std::remainder(total.hi, 2 * kPi);
                return;
            }
            const double turns = std::nearbyint(total.hi / (2 * kPi));
            const Wide left = subtract(total, two_product(turns, 2 * kPi));
            lon2 = std::remainder(left.hi + (left.lo - turns * kTwoPiLo), 2 * kPi);
            return;
        }
        const double somg2 = salp0 * ssig2, comg2 = csig2;
        const double omg12 =
            std::atan2(somg2 * comg1 - comg2 * somg1, comg2 * comg1 + somg2 * somg1);
        double lam12;
        if (g.exact) {
            // omega - lambda: its rate is O(f sin(alpha0)) below exact::kWideLongitude, and
            // it vanishes on a meridian (exact::kMeridional).
            if (in.longitude) {
                const exact::Integrals::Periodic p2 = in.at(ssig2, csig2);
                lam12 = omg12 - (in.c_rate * sig12 + (p2.c - p1.c));
            } else {
                lam12 = omg12;
            }
        } else {
            const double b312 = sin_series<5>(ssig2, csig2, cc3) - b31;
            lam12 = omg12 - f_a3_salp0 * (sig12 + b312);
        }
        lon2 = std::remainder(lon1 + lam12, 2 * kPi);
    }

    // sigma12 at distance s12, exactly: the root u of
    //   h(u) = u + (P(sigma1 + u) - P(sigma1))/r - s12/(b r),
    // where E = r sigma + P is the distance integral (P of period pi, |P|/r < pi/2, so
    // the root lies within pi/2 of U = (P(sigma1) + s12/b)/r), by Newton's method
    // (h' = dn(sigma1 + u)/r > 0) kept in that bracket. sin and cos of sigma2 come by
    // the angle-addition formulas from those of sigma1 and of u: libm reduces u
    // exactly, where sin(sigma1 + u) would carry the rounding of the sum. The root as
    // a double is a unit of u off (2e-13 rad at 1e3 rad, 15 nm at f = 0.99): a last
    // Newton step on r u + P(sigma1 + u) - P(sigma1) = s12/b in double-double, with the
    // rate r in double-double (rates.e; P is taken against its leading double),
    // gives sigma12 as a double-double, and turns sin and cos of sigma2 by its step.
    double_double::Wide exact_sigma12(const Geodesic& g, double s12, double& ssig2,
                                      double& csig2) const noexcept {
        using namespace double_double;
        const double U = (p1.e + s12 / g.b) / in.e_rate;
        double lo = U - kPi / 2, hi = U + kPi / 2, u = U;
        const auto place = [&](double v) noexcept {
            const double sv = std::sin(v), cv = std::cos(v);
            ssig2 = ssig1 * cv + csig1 * sv;
            csig2 = csig1 * cv - ssig1 * sv;
            normalize(ssig2, csig2);
        };
        for (int it = 0; it < 60; ++it) {
            place(u);
            const double h = u + in.at<false>(ssig2, csig2).e / in.e_rate - U;
            if (h == 0) break;
            (h < 0 ? lo : hi) = u;
            const double next = u - h * in.e_rate / in.dn(ssig2);
            // A Newton step this small leaves an error far below the last bit (it
            // may land a rounding outside the bracket: it is taken all the same).
            if (std::fabs(next - u) <= 1e-11) {
                u = next;
                break;
            }
            u = next > lo && next < hi ? next : (lo + hi) / 2;
            if (!(hi - lo > 4 * kEps * std::fmax(1.0, std::fabs(u)))) break;
        }
        place(u);
        const exact::Integrals::Periodic p2 = in.at<false>(ssig2, csig2);
        const Wide b = times(two_sum(1.0, -g.f), g.a);  // b = a (1 - f), unrounded
        const Wide target = divide(Wide{s12, 0.0}, b);
        const double periodic = (p2.e - p1.e) - rates.e.lo * (p2.sig - p1.sig);
        const Wide residual = subtract(add(times(rates.e, u), Wide{periodic, 0.0}), target);
        const double step = (residual.hi + residual.lo) / in.dn(ssig2);
        if (!(std::fabs(step) <= 1e-9 * std::fmax(1.0, std::fabs(u)))) return {u, 0.0};
        const double s = ssig2, c = csig2;
        ssig2 = s - c * step;
        csig2 = c + s * step;
        return two_sum(u, -step);
    }
};

// The direct problem: from (lat1, lon1) with azimuth azi1 over distance s12.
struct DirectResult {
    double lat2, lon2, azi2;
};
inline DirectResult direct(const Geodesic& g, double lat1, double lon1, double azi1,
                           double s12) noexcept {
    DirectResult r;
    Line(g, lat1, lon1, azi1).position(g, s12, r.lat2, r.lon2, r.azi2);
    return r;
}

// alpha2 - alpha1 of an inverse solution. The angles of the triangle of the pole and
// the two points on the auxiliary sphere obey Napier's analogy
//   tan((alpha2 - alpha1)/2) = tan(omega12/2) sin((beta1 + beta2)/2) / cos((beta2 - beta1)/2)
//                            = tan(omega12/2) (sin beta1 + sin beta2) / (1 + cos(beta2 - beta1)),
// which gives the change relative to its own size from omega12: the difference of
// the azimuths has an absolute error of their rounding, a few 1e-16 rad, that is
// c^2 times that (4e-3 m^2 on the Earth) in every edge's area, whatever the edge's
// length. The analogy is used where its factors are well conditioned (|omega12|
// up to 3 pi/4, the points not near opposite poles); the difference elsewhere.
inline double azimuth_change(double sbet1, double cbet1, double sbet2, double cbet2,
                             const InverseDetail& d) noexcept {
    const double cbet12 = cbet1 * cbet2 + sbet1 * sbet2;  // cos(beta2 - beta1)
    if (std::fabs(d.omg12) <= 3 * kPi / 4 && cbet12 >= -0.5) {
        return 2 * std::atan(std::tan(d.omg12 / 2) * ((sbet1 + sbet2) / (1 + cbet12)));
    }
    const double salp12 = d.salp2 * d.calp1 - d.calp2 * d.salp1;
    const double calp12 = d.calp2 * d.calp1 + d.salp2 * d.salp1;
    return std::atan2(salp12, calp12);
}

// Area between the geodesic edge of an inverse solution and the equator
// (eqs. 58-59, 65): S12 = c^2 (alpha2 - alpha1) + e^2 a^2 cos(alpha0) sin(alpha0)
// (I4(sigma2) - I4(sigma1)).
// With g.exact, I4 by the double-exponential rule (exact.h), `area` unused.
// The points' reduced latitudes are the solution's own (d.point1, d.point2).
inline double edge_area(const Geodesic& g, const AreaSeries& area, const exact::TanhSinh& rule,
                        const exact::AreaIntegrand& integrand, const InverseDetail& d) noexcept {
    const double sbet1 = d.point1.sbet, cbet1 = d.point1.cbet;
    const double sbet2 = d.point2.sbet, cbet2 = d.point2.cbet;
    const double salp0 = d.salp1 * cbet1;
    const double calp0 = norm(d.calp1, d.salp1 * sbet1);
    const double k2 = sq(calp0) * g.ep2;
    double ssig1 = sbet1, csig1 = d.calp1 * cbet1;
    double ssig2 = sbet2, csig2 = d.calp2 * cbet2;
    if (ssig1 == 0 && csig1 == 0) csig1 = 1;  // leaving the equator due east or west
    if (ssig2 == 0 && csig2 == 0) csig2 = 1;
    normalize(ssig1, csig1);
    normalize(ssig2, csig2);
    const double alp12 = azimuth_change(sbet1, cbet1, sbet2, cbet2, d);
    const double i4 = !g.exact ? area.i4(k2, csig2) - area.i4(k2, csig1)
                      : std::fabs(salp0) < exact::kMeridional || calp0 == 0
                          ? 0  // the term's factor cos(alpha0) sin(alpha0) vanishes
                          : exact::area_i4(rule, integrand, k2, salp0, csig1, csig2);
    return g.c2 * alp12 + g.e2 * sq(g.a) * calp0 * salp0 * i4;
}

// The same for a solution `d` whose reduced latitudes are not at hand (a direct
// problem's): those of lat1 and lat2.
inline double edge_area(const Geodesic& g, const AreaSeries& area, const exact::TanhSinh& rule,
                        const exact::AreaIntegrand& integrand, double lat1, double lat2,
                        InverseDetail d) noexcept {
    d.point1 = reduced_of(g, lat1), d.point2 = reduced_of(g, lat2);
    return edge_area(g, area, rule, integrand, d);
}

// Sums with the rounding error carried (Neumaier), for perimeters and areas.
struct Accumulator {
    double sum = 0, carry = 0;
    void add(double x) noexcept {
        const double t = sum + x;
        carry += std::fabs(sum) >= std::fabs(x) ? (sum - t) + x : (x - t) + sum;
        sum = t;
    }
    double value() const noexcept { return sum + carry; }
};

// The lengths of the edges of the open path of the n vertices vertex(i) -> (lat, lon),
// added to `sum` (on the scaled ellipsoid): each vertex's reduced latitude computed once.
template <class Vertex>
void add_path(const Geodesic& g, std::ptrdiff_t n, const Vertex& vertex,
              Accumulator& sum) noexcept {
    if (n <= 1) return;
    auto [lat1, lon1] = vertex(0);
    Reduced ends[2] = {reduced_of(g, lat1), {}};
    for (std::ptrdiff_t i = 1; i < n; ++i) {
        const auto [lat2, lon2] = vertex(i);
        ends[1] = reduced_of(g, lat2);
        sum.add(inverse_scaled(g, lat1, lon1, lat2, lon2, nullptr, ends).s12);
        lat1 = lat2, lon1 = lon2, ends[0] = ends[1];
    }
}

// A closed polygon of geodesic edges, vertex after vertex: its perimeter and
// the area to the left of the path. The edges' areas to the equator add up to
// the polygon's, less half the ellipsoid when the path winds once around a pole
// (counted by its crossings of the antimeridian).
struct Polygon {
    AreaSeries series;
    exact::TanhSinh rule;  // with g.exact
    exact::AreaIntegrand integrand;
    Accumulator area, perimeter;
    int crossings = 0;
    bool invalid = false;

    explicit Polygon(const Geodesic& g) noexcept
        : series(g.ep2), rule(g.exact ? g.ep2 : -1), integrand(g.ep2) {}

    // Empty again, for another polygon on the same ellipsoid: the constants (the
    // series, the quadrature's nodes) are kept, the sums start afresh.
    void restart() noexcept {
        area = perimeter = Accumulator{};
        crossings = 0;
        invalid = false;
    }

    // The edge from (lat1, lon1) to (lat2, lon2); `known`, where given, the reduced
    // latitudes of both ends (reduced_of), which a ring computes once a vertex.
    void add_edge(const Geodesic& g, double lat1, double lon1, double lat2, double lon2,
                  const Reduced* known = nullptr) noexcept {
        InverseDetail d;
        const InverseResult r = inverse_scaled(g, lat1, lon1, lat2, lon2, &d, known);
        if (std::isnan(r.s12)) {
            invalid = true;
            return;
        }
        add_solved(r.s12, -edge_area(g, series, rule, integrand, d), lon1, lon2,
                   longitude::lon_diff(lon1, lon2));  // S12 counts clockwise
    }

    // The closed ring of the n vertices vertex(i) -> (lat, lon), i = 0 .. n - 1, and the
    // edge back to the first: each vertex's reduced latitude computed once.
    template <class Vertex>
    void add_ring(const Geodesic& g, std::ptrdiff_t n, const Vertex& vertex) noexcept {
        if (n <= 0) return;
        const auto [lat0, lon0] = vertex(0);
        const Reduced first = reduced_of(g, lat0);
        double lat1 = lat0, lon1 = lon0;
        Reduced ends[2] = {first, first};
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            double lat2 = lat0, lon2 = lon0;
            ends[1] = first;
            if (i + 1 < n) {
                std::tie(lat2, lon2) = vertex(i + 1);
                ends[1] = reduced_of(g, lat2);
            }
            add_edge(g, lat1, lon1, lat2, lon2, ends);
            lat1 = lat2, lon1 = lon2, ends[0] = ends[1];
        }
    }

    // An edge already solved: its length s12 and its area to the left (both on the
    // scaled ellipsoid), its ends' longitudes and the longitude difference it was
    // solved with (longitude::lon_diff's), for the turns about the axis.
    void add_solved(double s12, double left_area, double lon1, double lon2, double lon12) noexcept {
        perimeter.add(s12);
        area.add(left_area);
        // The turns of the path about the axis, from the longitude difference the edge
        // was solved with (a difference of +-pi goes the way it was given): the edge
        // leaves (-pi, pi] where l1 + lam12 and l2 are a turn apart. The sum over
        // the ring telescopes to the exact count of its turns.
        const double l1 = longitude::wrapped_longitude(lon1),
                     l2 = longitude::wrapped_longitude(lon2);
        const double jump = (l1 + lon12) - l2;
        if (jump > kPi) ++crossings;
        if (jump < -kPi) --crossings;
    }

    // Area to the left of the path, in [0, 4 pi c^2); with `signed_area`, the
    // counter-clockwise area of the smaller side: negative for a clockwise path.
    double final_area(const Geodesic& g, bool signed_area) const noexcept {
        if (invalid) return std::numeric_limits<double>::quiet_NaN();
        const double total = 4 * kPi * g.c2;
        double s = area.value();
        if (crossings & 1) s += (s < 0 ? 1 : -1) * total / 2;
        s = std::remainder(s, total);  // (-total/2, total/2]
        if (!signed_area && s < 0) s += total;
        return g.square_metres(s);
    }
    double final_perimeter(const Geodesic& g) const noexcept {
        return invalid ? std::numeric_limits<double>::quiet_NaN() : g.metres(perimeter.value());
    }
};

}  // namespace quorvane::geodesic

#endif  // QUORVANE_ELLIPSOID_GEODESIC_KERNELS_H
