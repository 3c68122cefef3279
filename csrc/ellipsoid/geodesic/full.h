// The other quantities of a geodesic, after
//
//   C. F. F. Karney, "Algorithms for geodesics", J. Geodesy 87 (2013) 43-55:
//
// the arc length sigma12 on the auxiliary sphere, the reduced length m12 (eq. 38), the
// geodesic scales M12 and M21, and the area S12 between the geodesic and the equator
// (eqs. 58-59, edge_area of kernels.h). They come from the same solution as the distance:
// the inverse problem's azimuths, or the direct problem's line, and the integrals the
// kernels already evaluate (series, or exactly past f = 1/50).
//
// The scales are the two solutions of the Jacobi equation d^2 m / ds^2 + K m = 0 on the
// geodesic. With w(sigma) = sqrt(1 + k^2 sin^2 sigma), ds = b w dsigma and
// J = I1 - I2 (eqs. 15, 41), the functions Y1 = w sin(sigma) - cos(sigma) J and
// Y2 = cos(sigma) solve it (m12 of eq. 38 is b (cos(sigma1) Y1 + (cos(sigma1) J1 - w1
// sin(sigma1)) Y2)), with the Wronskian -w in sigma. The solution of value 1 and slope 0
// at sigma1 gives, at sigma2,
//   M12 = cos(sigma1) cos(sigma2) + (w2 / w1) sin(sigma1) sin(sigma2)
//         - sin(sigma1) cos(sigma2) (J2 - J1) / w1,
// and M21 = dm12/ds2 = cos(sigma1) cos(sigma2) + (w1 / w2) sin(sigma1) sin(sigma2)
//         + cos(sigma1) sin(sigma2) (J2 - J1) / w2.
// Both are cos(sigma12) on a sphere (J = 0, w = 1).
#ifndef QUORVANE_ELLIPSOID_GEODESIC_FULL_H
#define QUORVANE_ELLIPSOID_GEODESIC_FULL_H

#include <cmath>
#include <limits>

#include "ellipsoid/geodesic/kernels.h"

namespace quorvane::geodesic {

// What the area of an edge needs besides the ellipsoid's constants: built once per
// ellipsoid (the quadrature's nodes past f = 1/50).
struct EdgeAreaRule {
    AreaSeries series;
    exact::TanhSinh rule;
    exact::AreaIntegrand integrand;
    explicit EdgeAreaRule(const Geodesic& g) noexcept
        : series(g.ep2), rule(g.exact ? g.ep2 : -1), integrand(g.ep2) {}
};

// The reduced length m12 / b and the scales between sigma1 and sigma2 (sin and cos of
// each, and sigma12 itself) of the geodesic of equatorial azimuth alpha0.
struct Scales {
    double m12b, M12, M21;
};
inline Scales scales(const Geodesic& g, double salp0, double calp0, double sig12, double ssig1,
                     double csig1, double ssig2, double csig2) noexcept {
    const double k2 = sq(calp0) * g.ep2;
    const double w1 = std::sqrt(1 + k2 * sq(ssig1)), w2 = std::sqrt(1 + k2 * sq(ssig2));
    double j12, m12b;
    if (g.exact) {
        const exact::Integrals in = g.integrals(salp0, calp0, false);
        const exact::Integrals::Periodic p1 = in.at<false>(ssig1, csig1);
        const exact::Integrals::Periodic p2 = in.at<false>(ssig2, csig2);
        j12 = in.j_rate * sig12 + (p2.j - p1.j);
        m12b = w2 * (csig1 * ssig2) - w1 * (ssig1 * csig2) - csig1 * csig2 * j12;
    } else {
        const Lengths len = lengths(eps_of(k2), sig12, ssig1, csig1, w1, ssig2, csig2, w2);
        j12 = len.j12, m12b = len.m12b;
    }
    // w2 - w1 without cancellation, and cos(sigma12) from the ends.
    const double dw = k2 * ((ssig2 - ssig1) * (ssig2 + ssig1)) / (w1 + w2);
    const double c12 = csig1 * csig2 + ssig1 * ssig2;
    return Scales{m12b, c12 + (ssig1 * ssig2 * dw - ssig1 * csig2 * j12) / w1,
                  c12 + (csig1 * ssig2 * j12 - ssig1 * ssig2 * dw) / w2};
}

// The inverse problem with every quantity: the rows of inverse() and a12 (radians), m12
// (metres), M12, M21, S12 (square metres, edge_area's: positive for an edge going east
// north of the equator).
struct InverseFull {
    double s12, azi1, azi2, a12, m12, M12, M21, S12;
};
inline InverseFull inverse_full(const Geodesic& g, const EdgeAreaRule& area, double lat1,
                                double lon1, double lat2, double lon2) noexcept {
    InverseDetail d;
    const InverseResult r = inverse_scaled(g, lat1, lon1, lat2, lon2, &d);
    if (std::isnan(r.s12)) {
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        return InverseFull{nan, nan, nan, nan, nan, nan, nan, nan};
    }
    double sbet1, cbet1, sbet2, cbet2;
    reduced(g, lat1, sbet1, cbet1);
    reduced(g, lat2, sbet2, cbet2);
    const double salp0 = d.salp1 * cbet1, calp0 = norm(d.calp1, d.salp1 * sbet1);
    double ssig1 = sbet1, csig1 = d.calp1 * cbet1, ssig2 = sbet2, csig2 = d.calp2 * cbet2;
    double sig12;
    if (ssig1 == 0 && csig1 == 0) {
        // Along the equator (sigma = omega there, s = b sigma): sigma1 = 0.
        sig12 = r.s12 / g.b;
        ssig1 = 0, csig1 = 1, ssig2 = std::sin(sig12), csig2 = std::cos(sig12);
    } else {
        normalize(ssig1, csig1);
        normalize(ssig2, csig2);
        sig12 = std::atan2(std::fmax(0.0, csig1 * ssig2 - ssig1 * csig2),
                           csig1 * csig2 + ssig1 * ssig2);
    }
    const Scales sc = scales(g, salp0, calp0, sig12, ssig1, csig1, ssig2, csig2);
    const double S12 = edge_area(g, area.series, area.rule, area.integrand, lat1, lat2, d);
    return InverseFull{g.metres(r.s12),         r.azi1, r.azi2, sig12,
                       g.metres(g.b * sc.m12b), sc.M12, sc.M21, g.square_metres(S12)};
}

// The direct problem with every quantity: from (lat1, lon1) with azimuth azi1 over the
// distance `length` (metres), or over the arc `length` (radians on the auxiliary sphere)
// with `arc`: the point lat2, lon2, azi2 (the bits of direct() for a distance), s12, a12
// (radians), m12, M12, M21, S12.
struct DirectFull {
    double lat2, lon2, azi2, s12, a12, m12, M12, M21, S12;
};
inline DirectFull direct_full(const Geodesic& g0, const EdgeAreaRule& area, double lat1,
                              double lon1, double azi1, double length, bool arc) noexcept {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    DirectFull r{nan, nan, nan, nan, nan, nan, nan, nan, nan};
    const double given = arc ? length : g0.scaled(length);
    if (!(std::fabs(lat1) <= kPi / 2 && std::isfinite(lon1) && std::isfinite(azi1) &&
          std::isfinite(given)))
        return r;
    // Beyond a turn the series give way to the exact integrals, as Line::position does.
    Geodesic g = g0;
    if (!g.exact && std::fabs(given) > (arc ? 2 * kPi : 2 * kPi * g.a)) g.exact = true;
    const Line line(g, lat1, lon1, azi1);
    double ssig2, csig2, s12;
    double_double::Wide wide_sig12{given, 0};
    if (arc) {
        const double sv = std::sin(given), cv = std::cos(given);
        ssig2 = line.ssig1 * cv + line.csig1 * sv;
        csig2 = line.csig1 * cv - line.ssig1 * sv;
        normalize(ssig2, csig2);
        if (g.exact) {
            const exact::Integrals::Periodic p2 = line.in.at<false>(ssig2, csig2);
            s12 = g.b * (line.in.e_rate * given + (p2.e - line.p1.e));
        } else {
            s12 = line.b_a1 * (given + (sin_series<6>(ssig2, csig2, line.cc1) -
                                        sin_series<6>(line.ssig1, line.csig1, line.cc1)));
        }
    } else {
        wide_sig12 = line.sigma2(g, given, ssig2, csig2);
        s12 = given;
    }
    line.finish(g, wide_sig12, ssig2, csig2, r.lat2, r.lon2, r.azi2);
    const double sig12 = wide_sig12.hi + wide_sig12.lo;
    const Scales sc =
        scales(g, line.salp0, line.calp0, sig12, line.ssig1, line.csig1, ssig2, csig2);
    const InverseDetail d{std::sin(azi1), std::cos(azi1), std::sin(r.azi2), std::cos(r.azi2)};
    r.s12 = g.metres(s12);
    r.a12 = sig12;
    r.m12 = g.metres(g.b * sc.m12b);
    r.M12 = sc.M12, r.M21 = sc.M21;
    r.S12 = g.square_metres(edge_area(g, area.series, area.rule, area.integrand, lat1, r.lat2, d));
    return r;
}

}  // namespace quorvane::geodesic

#endif  // QUORVANE_ELLIPSOID_GEODESIC_FULL_H
