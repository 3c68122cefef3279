// Rhumb lines (loxodromes: lines of constant azimuth) on an ellipsoid of revolution,
// after
//
//   C. F. F. Karney, "The area of rhumb polygons", Stud. Geophys. Geod. (2024),
//
// on the auxiliary latitudes of latitudes.h. Pure functions of doubles: no interpreter,
// no allocation. Angles are radians, lengths metres (the unit of a).
//
// On the Mercator projection a rhumb line is straight: with the isometric latitude psi,
//   tan(alpha) = lambda12 / psi12,   s12 = m12 / cos(alpha) = hypot(psi12, lambda12) m12/psi12,
// m the distance along the meridian. For a line nearly east or west psi12 and m12 both
// vanish: their ratio is taken as a divided difference, never as the quotient of two
// rounded differences (the paper's device; its limit is the radius of the parallel,
// N cos(phi)). With chi the conformal latitude (tan chi = sinh psi) and mu the rectifying
// one (m = R mu),
//   m12 / psi12 = R (mu12 / chi12) (chi12 / psi12).
// Up to f = 1/25 (span_series) every difference comes from the ends' sines and cosines and
// the divided differences of the Fourier series of latitudes.h (phi -> chi, chi -> mu):
// chi12 = phi12 (1 + sum c_k 2 cos(k (phi1 + phi2)) sin(k phi12) / phi12), then psi12 =
// asinh((sin chi2 - sin chi1) / (cos chi1 cos chi2)), and mu12 / chi12 the same way over chi.
// Past it (span_exact) m12 is the integral of the meridional radius by Gauss-Legendre
// quadrature, psi12 is the difference of psi's two positive terms, each differenced
// without cancellation (psi12 below), and m12 / psi12 is their quotient.
//
// The area between the line and the equator, S12 = integral of c^2 sin(xi) d lambda (c the
// authalic radius, xi the authalic latitude; c^2 sin(xi) is the area between the equator
// and the parallel per radian), is along the line (lambda linear in psi)
//   S12 = c^2 lambda12 (1/psi12) integral_psi1^psi2 sin(xi) dpsi.
// With sin(xi) = sin(chi) + (sin(xi) - sin(chi)) and sin(chi) = tanh(psi), the first part
// is the divided difference of log(cosh(psi)); the second, whose integrand G = (sin(xi) -
// sin(chi)) dpsi/dphi vanishes at the poles as cos(phi), is integrated over phi and divided
// by psi12 (its limit for an east-west line: sin(xi) - sin(chi)). G is odd in phi and in
// phi - pi/2 and analytic: up to f = 1/25 it is a sine series sum g_k sin(2 k phi) whose
// coefficients (falling as n^k, found once per ellipsoid by a discrete sine transform of
// G) integrate exactly, as a divided difference again; beyond, Gauss-Legendre quadrature
// (8 points on pieces of 0.25 rad, less past f = 3/4). 1 - sin(chi) and 1 - sin(xi) are
// each formed without cancellation near the poles.
//
// A line to or from a pole is the limit of lines to latitudes that approach it: a meridian
// (azimuth 0 or pi, s12 the meridian distance) with S12 = +-c^2 lambda12 (the line winds
// about the pole, where sin(xi) = +-1, however far). The direct problem's line that
// reaches a pole (the quarter meridian, as latitudes.h rounds it) gives lat2 = +-pi/2 and
// lon2, S12 NaN (it winds round the pole without end) unless it runs along a meridian
// (|sin(azi12)| within a unit of 0: lon2 = lon1, S12 = 0); a line that would pass beyond a
// pole gives NaN.
//
// Accuracy (bench/rhumb.py and testsupport/data/rhumb-truth.npz, against a 40-digit
// evaluation of the definitions): on WGS84 s12 within 6 nm, azi12 within 3e-15 rad, S12
// within 0.07 m^2, for random lines, lines within 1e-17 rad of due east or west, across the
// antimeridian, short ones and from within 1e-9 rad of a pole; at f = 0.5 s12 within 10 nm.
#ifndef QUORVANE_ELLIPSOID_KERNELS_RHUMB_H
#define QUORVANE_ELLIPSOID_KERNELS_RHUMB_H

#include <algorithm>
#include <cmath>
#include <limits>

#include "ellipsoid/kernels/latitude_series.h"
#include "ellipsoid/kernels/latitudes.h"
#include "ellipsoid/longitude.h"

namespace quorvane::ellipsoid::rhumb {

namespace lat = latitudes;

inline constexpr double kPi = 3.141592653589793238462643383279502884;
inline constexpr double kHalfPi = lat::kHalfPi;
inline constexpr double kHalfPiLow = 6.123233995736766e-17;  // pi/2 - kHalfPi
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Gauss-Legendre on [-1, 1], 8 points: the positive nodes and their weights.
inline constexpr double kNodes[4] = {0.18343464249564978, 0.525532409916329, 0.7966664774136267,
                                     0.9602898564975362};
inline constexpr double kWeights[4] = {0.36268378337836166, 0.3137066458778869, 0.22238103445337443,
                                       0.10122853629037706};
// Terms of the area's sine series (up to f = 1/25 they fall below 1e-16 of the first by
// the twelfth), and the samples over (0, pi/2) that give them.
inline constexpr int kAreaTerms = 16;
static_assert(kAreaTerms >= lat::kOrder, "the loops over phi run the longer of the two");
inline constexpr int kAreaSamples = 64;

// sin(xi) - sin(chi) at phi off the poles, as (1 - sin chi) - (1 - sin xi) (each without
// cancellation near the pole, where the difference vanishes as cos^2(phi)), and
// dpsi/dphi = (1 - e^2) / ((1 - e^2 sin^2) cos); odd and even in phi.
struct Gap {
    double gap, slope;
};
inline Gap xi_chi_gap(const lat::Shape& g, double phi) noexcept {
    if (g.e == 0) return {0, 1 / std::cos(phi)};  // a sphere: xi = chi = phi
    const double z = std::fabs(phi);
    const double s = std::sin(z), co = std::cos(z);
    const double psi = lat::isometric(g, z);
    const double one_chi = 2 / (1 + std::exp(2 * psi));  // 1 - tanh(psi)
    const double one_xi = lat::authalic_q(g, s, co).rest / g.qp;
    const double w2 = co * co + g.e2m * s * s;
    return {std::copysign(one_chi - one_xi, phi), g.e2m / (w2 * co)};
}

// The constants of one ellipsoid. Not copyable: the conversions refer to its shape.
struct Rhumb {
    lat::Shape shape;
    lat::Conversion to_mu, from_mu, to_chi;  // geodetic -> rectifying -> geodetic; -> conformal
    double mu_of_chi[lat::kOrder];           // the series chi -> mu (with shape.series)
    double chi_of_phi[kAreaTerms];  // the series phi -> chi (with shape.series; 0 past kOrder)
    double c, c2;                   // the authalic radius, its square
    // Past the series: the widest interval of latitude a quadrature takes at once (its
    // integrands' singularities come within some 1 - f of the real axis near the poles).
    double piece;
    // With shape.series: (sin(xi) - sin(chi)) dpsi/dphi = sum g_k sin(2 k phi), k = 1 ..
    // kAreaTerms (odd in phi and in phi - pi/2, analytic: the coefficients fall as n^k),
    // kept as g_k / k.
    double area_series[kAreaTerms];
    // The terms that matter (the others below 2^-70, adding less than 1e-21): on WGS84 some
    // eight of twelve for the latitudes, seven of sixteen for the area.
    int series_terms, area_terms;

    Rhumb(double a, double f) noexcept
        : shape(a, f),
          to_mu(shape, lat::Kind::geodetic, lat::Kind::rectifying),
          from_mu(shape, lat::Kind::rectifying, lat::Kind::geodetic),
          to_chi(shape, lat::Kind::geodetic, lat::Kind::conformal),
          mu_of_chi{},
          chi_of_phi{},
          c(shape.authalic_radius),
          c2(a * a * (shape.qp / 2)),
          piece(0.25 * std::fmin(1.0, 4 * (1 - f))),
          area_series{},
          series_terms(0),
          area_terms(0) {
        if (!shape.series) return;
        // g_k = 4/pi integral_0^pi/2 G sin(2 k phi) dphi by the midpoint rule, exact for the
        // sines of degree below 2 kAreaSamples (a discrete sine transform).
        for (double& v : area_series) v = 0;
        for (int j = 0; j < kAreaSamples; ++j) {
            const double phi = (j + 0.5) * (kHalfPi / kAreaSamples);
            const Gap gp = xi_chi_gap(shape, phi);
            const double value = gp.gap * gp.slope * (2.0 / kAreaSamples);
            const double s2 = std::sin(2 * phi), c2 = std::cos(2 * phi);
            double sk = s2, ck = c2;
            for (int k = 0; k < kAreaTerms; ++k) {
                area_series[k] += value * sk;
                const double next = sk * c2 + ck * s2;
                ck = ck * c2 - sk * s2, sk = next;
            }
        }
        series(lat::Kind::conformal, lat::Kind::rectifying, mu_of_chi);
        series(lat::Kind::geodetic, lat::Kind::conformal, chi_of_phi);
        for (int k = 0; k < lat::kOrder; ++k)
            if (std::fabs(mu_of_chi[k]) >= 0x1p-70 || std::fabs(chi_of_phi[k]) >= 0x1p-70)
                series_terms = k + 1;
        // The area's terms as summed: g_k / k.
        for (int k = 0; k < kAreaTerms; ++k) {
            area_series[k] /= k + 1;
            if (std::fabs(area_series[k]) >= 0x1p-70) area_terms = k + 1;
        }
    }
    // The coefficients of the series from one kind of latitude to another (latitudes.h's
    // table, as polynomials in n).
    void series(lat::Kind from, lat::Kind to, double* c) const noexcept {
        const auto& table =
            kernels::latitude_series::kCoefficients[static_cast<int>(from)][static_cast<int>(to)];
        for (int k = 0; k < lat::kOrder; ++k) {
            double v = 0;
            for (int j = lat::kOrder; j >= 0; --j) v = v * shape.n + table[k][j];
            c[k] = v;
        }
    }
    Rhumb(const Rhumb&) = delete;
    Rhumb& operator=(const Rhumb&) = delete;

    static bool supports(double f) noexcept { return f >= 0 && f < 1; }

    // c^2 x, with c^2 = a^2 q_p / 2 rounded once (a^2 is exact for a of up to 26 bits);
    // without overflow where the product itself is finite.
    double area(double x) const noexcept { return std::isfinite(c2) ? c2 * x : c * (c * x); }
};

// What a line needs of one end: phi, psi, chi, and sin and cos of phi.
struct End {
    double phi, psi, chi, s, co;
};
inline End end_of(const Rhumb& r, double phi) noexcept {
    return End{phi, lat::isometric(r.shape, phi), r.to_chi(phi), std::sin(phi), std::cos(phi)};
}

// psi2 - psi1 for latitudes off the poles. Over more than 1/2 the difference of the ends'
// psi (each a sum of two positive terms, latitudes.h's isometric_of). Over less, from psi as
// the same two positive terms, atanh(y) + (1 - e) atanh(e s) with y = s (1 - e)/(1 - e s^2),
// s = sin(phi), each differenced without cancellation (latitudes.h's form, so that nothing
// cancels to 1 - e^2 of its digits):
//   atanh(e s2) - atanh(e s1) = atanh(e (s2 - s1) / (1 - e^2 s1 s2)),
//   atanh(y2) - atanh(y1) = atanh((1 - e)(s2 - s1)(1 + e s1 s2) / N),
//   N = (1 - e s1^2)(1 - e s2^2) - (1 - e)^2 s1 s2 = c1^2 c2^2 + (1 - e)(c1^2 s2^2 + c2^2 s1^2)
//       - (1 - e)^2 s1 s2 (2 sin^2(phi12/2) + c1 c2)
// (1 - s1 s2 = 1 - cos(phi12) + c1 c2; by the means' inequality the subtraction takes at most
// half of the terms before it), s2 - s1 = 2 cos((phi1 + phi2)/2) sin(phi12/2).
inline double psi12(const Rhumb& r, const End& p1, const End& p2) noexcept {
    const double d = p2.phi - p1.phi;
    if (d == 0) return 0;
    const double whole = p2.psi - p1.psi;
    if (std::fabs(whole) > 0.5) return whole;
    const double e = r.shape.e, ome = r.shape.ome;  // e, 1 - e
    const double s1 = p1.s, s2 = p2.s, c1 = p1.co, c2 = p2.co;
    const double ds = 2 * std::cos((p1.phi + p2.phi) / 2) * std::sin(d / 2);  // s2 - s1
    const double h = std::sin(d / 2);
    const double n = c1 * c1 * c2 * c2 + ome * (c1 * c1 * s2 * s2 + c2 * c2 * s1 * s1) -
                     ome * ome * s1 * s2 * (2 * h * h + c1 * c2);
    const double first = std::atanh(ome * ds * (1 + e * s1 * s2) / n);
    const double second = e == 0 ? 0.0 : std::atanh(e * ds / (1 - e * e * s1 * s2));
    return first + ome * second;
}

// The meridional radius M = a (1 - e^2) / w^3, w^2 = 1 - e^2 sin^2 = cos^2 + (1 - e^2) sin^2.
inline double meridional(const lat::Shape& g, double phi) noexcept {
    const double s = std::sin(phi), co = std::cos(phi);
    const double w2 = co * co + g.e2m * s * s;
    return g.a * g.e2m / (w2 * std::sqrt(w2));
}

// Gauss-Legendre's mean of fn over [x1, x2].
template <class Fn>
inline double mean_of(double x1, double x2, const Fn& fn) noexcept {
    const double mid = (x1 + x2) / 2, half = (x2 - x1) / 2;
    double sum = 0;
    for (int j = 0; j < 4; ++j)
        sum += kWeights[j] * (fn(mid - half * kNodes[j]) + fn(mid + half * kNodes[j]));
    return sum / 2;
}

// m12 / psi12: the mean radius of the parallels the line crosses (N cos(phi) for an east-
// west line), for ends off the poles.
inline double mean_parallel(const Rhumb& r, const End& p1, const End& p2, double dpsi) noexcept {
    const lat::Shape& g = r.shape;
    if (dpsi == 0) {
        const double w2 = p1.co * p1.co + g.e2m * p1.s * p1.s;
        return g.a * p1.co / std::sqrt(w2);
    }
    // m12 by quadrature, in pieces of at most r.piece rad.
    const int pieces = 1 + int(std::fabs(p2.phi - p1.phi) / r.piece);
    const double step = (p2.phi - p1.phi) / pieces;
    double m12 = 0;
    for (int i = 0; i < pieces; ++i) {
        const double lo = p1.phi + i * step, hi = i + 1 < pieces ? lo + step : p2.phi;
        m12 += (hi - lo) * mean_of(lo, hi, [&](double x) noexcept { return meridional(g, x); });
    }
    return m12 / dpsi;
}

// (log cosh(psi2) - log cosh(psi1)) / psi12 (tanh(psi1) at psi12 = 0): over a short step by
// log1p of cosh(psi2)/cosh(psi1) - 1 = 2 sinh^2(d/2) + sinh(d) tanh(psi1); over a long one
// from log cosh(x) = |x| + log1p(exp(-2|x|)) - log 2.
inline double log_cosh_ratio(double psi1, double dpsi) noexcept {
    if (dpsi == 0) return std::tanh(psi1);
    if (std::fabs(dpsi) <= 1) {
        const double h = std::sinh(dpsi / 2);
        return std::log1p(2 * h * h + std::sinh(dpsi) * std::tanh(psi1)) / dpsi;
    }
    const double psi2 = psi1 + dpsi;
    const auto lc = [](double x) noexcept {
        return std::fabs(x) + std::log1p(std::exp(-2 * std::fabs(x)));
    };
    return (lc(psi2) - lc(psi1)) / dpsi;
}

// The mean of sin(xi) over psi along the line (S12 = c^2 lambda12 times it).
inline double mean_sin_xi(const Rhumb& r, const End& p1, const End& p2, double dpsi) noexcept {
    if (dpsi == 0) return std::tanh(p1.psi) + xi_chi_gap(r.shape, p1.phi).gap;
    const double d = p2.phi - p1.phi;
    // In pieces of at most r.piece rad: the integrand's nearest singularities close in on
    // the real axis as f grows.
    const int pieces = 1 + int(std::fabs(d) / r.piece);
    const double step = d / pieces;
    double sum = 0;
    for (int i = 0; i < pieces; ++i) {
        const double lo = p1.phi + i * step, hi = i + 1 < pieces ? lo + step : p2.phi;
        sum += (hi - lo) * mean_of(lo, hi, [&](double x) noexcept {
                   const Gap gp = xi_chi_gap(r.shape, x);
                   return gp.gap * gp.slope;
               });
    }
    return log_cosh_ratio(p1.psi, dpsi) + sum / dpsi;
}

// -- What the problems need of the stretch between two latitudes ----------------------------

// psi12, m12 / psi12 (the mean radius of the parallels crossed) and the mean of sin(xi) over
// psi, for latitudes off the poles.
struct Span {
    double dpsi, parallel, mean_sin;
};

// Up to f = 1/25, from the series alone: chi of each end by the phi -> chi series, then every
// difference from the ends' sines and cosines and the series' divided differences.
//   chi12 = phi12 (1 + sum c_k 2 cos(k p) sin(k d)/d),  p = phi1 + phi2, d = phi12;
//   psi12 = asinh(tan chi2) - asinh(tan chi1) = asinh((sin chi2 - sin chi1) / (cos chi1 cos chi2)),
//   sin chi2 - sin chi1 = sin(chi12) cos chi1 - sin^2(chi12) / (1 + cos(chi12)) sin chi1;
//   log cosh(psi2) - log cosh(psi1) = log(cos chi1 / cos chi2) = log1p(x),
//   x = (sin chi2 - sin chi1)(sin chi2 + sin chi1) / ((cos chi1 + cos chi2) cos chi2);
// the area's integral of sum g_k sin(2 k phi) is sum g_k sin(k p) sin(k d) / k. Only four
// sines and cosines, two sines, an asinh and a log.
inline Span span_series(const Rhumb& r, double phi1, double phi2) noexcept {
    const double s1 = std::sin(phi1), c1 = std::cos(phi1), s2 = std::sin(phi2), c2 = std::cos(phi2);
    // sin and cos of chi = phi + sin(2 phi) sum c_k U_(k-1)(cos 2 phi) (Clenshaw's
    // recurrence), on |phi|; past pi/4 from the complement pi/2 - chi (pi/2 in two doubles),
    // so that cos(chi) keeps its relative precision at the poles.
    const auto conformal = [&](double phi, double s, double c, double& sx, double& cx) noexcept {
        const double z = std::fabs(phi), sz = std::fabs(s);
        const double x = 2 * (c - s) * (c + s);
        double b1 = 0, b2 = 0;
        for (int k = r.series_terms - 1; k >= 0; --k) {
            const double b0 = x * b1 - b2 + r.chi_of_phi[k];
            b2 = b1, b1 = b0;
        }
        const double sigma = 2 * sz * c * b1;
        if (z <= kHalfPi / 2) {
            const double chi = z + sigma;
            sx = std::sin(chi), cx = std::cos(chi);
        } else {
            const double gamma = ((kHalfPi - z) + kHalfPiLow) - sigma;
            sx = std::cos(gamma), cx = std::sin(gamma);
        }
        sx = std::copysign(sx, phi);
    };
    double sx1, cx1, sx2, cx2;
    conformal(phi1, s1, c1, sx1, cx1);
    conformal(phi2, s2, c2, sx2, cx2);
    // The divided differences over phi (sin(k d)/d and cos(k p) by angle addition).
    const double d = phi2 - phi1;
    const double sd = d == 0 ? 1 : std::sin(d) / d, cd = c1 * c2 + s1 * s2;
    const double sp = s1 * c2 + c1 * s2, cp = c1 * c2 - s1 * s2;
    double sk = sd, ck = cd, spk = sp, cpk = cp, chi_dd = 0, area_dd = 0;
    const int terms = std::max(r.series_terms, r.area_terms);
    for (int k = 1; k <= terms; ++k) {
        chi_dd += r.chi_of_phi[k - 1] * (2 * cpk * sk);  // 0 past lat::kOrder (below)
        area_dd += r.area_series[k - 1] * (spk * sk);
        const double sk1 = sk * cd + ck * sd, ck1 = ck * cd - sk * sd * (d * d);
        const double spk1 = spk * cp + cpk * sp, cpk1 = cpk * cp - spk * sp;
        sk = sk1, ck = ck1, spk = spk1, cpk = cpk1;
    }
    const double dchi = d * (1 + chi_dd);
    const double sdchi = std::sin(dchi), cdchi = cx1 * cx2 + sx1 * sx2;
    // sin chi2 - sin chi1 = sin(chi12) cos chi1 - (1 - cos chi12) sin chi1; where chi12 passes a
    // quarter turn (a line across the equator towards both poles) 1 - cos chi12 from
    // sin^2 / (1 + cos) cancels, and the half angle h = chi12 / 2 serves:
    // 2 sin h (cos h cos chi1 - sin h sin chi1).
    double ds;
    if (cdchi >= 0) {
        ds = sdchi * cx1 - sdchi * sdchi / (1 + cdchi) * sx1;
    } else {
        const double sh = std::sin(dchi / 2), ch = std::cos(dchi / 2);
        ds = 2 * sh * (ch * cx1 - sh * sx1);
    }
    const double dpsi = std::asinh(ds / (cx1 * cx2));
    const double gd = dpsi == 0 ? cx1 : dchi / dpsi;  // chi12 / psi12
    // mu12 / chi12 over chi: the same recurrences with p = chi1 + chi2, d = chi12.
    const double tsd = dchi == 0 ? 1 : sdchi / dchi;
    const double tsp = sx1 * cx2 + cx1 * sx2, tcp = cx1 * cx2 - sx1 * sx2;
    double tk = tsd, uk = cdchi, tpk = tsp, upk = tcp, mu_dd = 0;
    for (int k = 1; k <= r.series_terms; ++k) {
        mu_dd += r.mu_of_chi[k - 1] * (2 * upk * tk);
        const double tk1 = tk * cdchi + uk * tsd, uk1 = uk * cdchi - tk * tsd * (dchi * dchi);
        const double tpk1 = tpk * tcp + upk * tsp, upk1 = upk * tcp - tpk * tsp;
        tk = tk1, uk = uk1, tpk = tpk1, upk = upk1;
    }
    const double parallel = r.shape.rectifying_radius * (1 + mu_dd) * gd;
    if (dpsi == 0) {
        // Along a parallel: sin(xi) = sin(chi) + G / (dpsi/dphi), G the area series at phi.
        const double w2 = c1 * c1 + r.shape.e2m * s1 * s1;
        return {0.0, parallel, sx1 + area_dd * (w2 * c1 / r.shape.e2m)};
    }
    const double x = ds * (sx2 + sx1) / ((cx1 + cx2) * cx2);
    const double log_ratio = std::fabs(x) < 0.5 ? std::log1p(x) : std::log(cx1 / cx2);
    return {dpsi, parallel, (log_ratio + d * area_dd) / dpsi};
}

// Past f = 1/25, from the exact forms and quadratures.
inline Span span_exact(const Rhumb& r, double phi1, double phi2) noexcept {
    const End p1 = end_of(r, phi1), p2 = end_of(r, phi2);
    const double dpsi = psi12(r, p1, p2);
    return {dpsi, mean_parallel(r, p1, p2, dpsi), mean_sin_xi(r, p1, p2, dpsi)};
}

inline Span span(const Rhumb& r, double phi1, double phi2) noexcept {
    return r.shape.series ? span_series(r, phi1, phi2) : span_exact(r, phi1, phi2);
}

// -- The problems ---------------------------------------------------------------------------

struct InverseResult {
    double s12, azi12, S12;
};

// The rhumb line from (lat1, lon1) to (lat2, lon2), the shorter way in longitude (a
// difference of pi keeps the sign of lon2 - lon1).
inline InverseResult inverse(const Rhumb& r, double lat1, double lon1, double lat2,
                             double lon2) noexcept {
    if (!(std::fabs(lat1) <= kHalfPi && std::fabs(lat2) <= kHalfPi) || !std::isfinite(lon1) ||
        !std::isfinite(lon2))
        return {kNaN, kNaN, kNaN};
    const double lam12 = longitude::lon_diff(lon1, lon2);
    const bool pole1 = std::fabs(lat1) == kHalfPi, pole2 = std::fabs(lat2) == kHalfPi;
    if (pole1 || pole2) {
        // A meridian; the area of the line that winds about the pole it reaches.
        const double m12 = r.shape.rectifying_radius * (r.to_mu(lat2) - r.to_mu(lat1));
        const double sign = pole1 && pole2 ? 0.0
                            : pole2        ? std::copysign(1.0, lat2)
                                           : std::copysign(1.0, lat1);
        return {std::fabs(m12), m12 < 0 ? kPi : 0.0, r.area(lam12 * sign)};
    }
    const Span sp = span(r, lat1, lat2);
    return {std::hypot(sp.dpsi, lam12) * sp.parallel, std::atan2(lam12, sp.dpsi),
            r.area(lam12 * sp.mean_sin)};
}

struct DirectResult {
    double lat2, lon2, S12;
};

// The point at distance s12 (metres; negative: backwards) from (lat1, lon1) along the
// rhumb line of azimuth azi12; lon2 in [-pi, pi].
inline DirectResult direct(const Rhumb& r, double lat1, double lon1, double azi12,
                           double s12) noexcept {
    if (!(std::fabs(lat1) <= kHalfPi) || !std::isfinite(lon1) || !std::isfinite(azi12) ||
        !std::isfinite(s12))
        return {kNaN, kNaN, kNaN};
    if (s12 == 0) return {lat1, longitude::reduce_longitude(lon1), 0.0};
    const double sa = std::sin(azi12), ca = std::cos(azi12);
    // The meridian distance reached, as latitudes.h gives it (the quarter meridian is the
    // pole; beyond it NaN).
    const double m2 = lat::meridian_distance(r.shape, r.to_mu, lat1) + s12 * ca;
    const double lat2 = lat::latitude_at_meridian_distance(r.shape, r.from_mu, m2);
    if (std::isnan(lat2)) return {kNaN, kNaN, kNaN};
    if (std::fabs(lat1) == kHalfPi || std::fabs(lat2) == kHalfPi) {
        // Along a meridian (sin(azi12) within a unit of 0: pi in radians is one) the
        // longitude stays; any other line winds about the pole without end.
        if (std::fabs(sa) <= lat::kEps) return {lat2, longitude::reduce_longitude(lon1), 0.0};
        return {lat2, kNaN, kNaN};
    }
    const Span sp = span(r, lat1, lat2);
    const double lam12 = s12 * sa / sp.parallel;
    const double lon2 = std::fabs(lon1) > longitude::kOrdinaryLongitude || std::fabs(lam12) > 1e3
                            ? longitude::reduce_longitude(longitude::reduce_longitude(lon1) + lam12)
                            : std::remainder(lon1 + lam12, 2 * kPi);
    return {lat2, lon2, r.area(lam12 * sp.mean_sin)};
}

// A closed polygon of rhumb edges, vertex after vertex (the shorter way in longitude):
// its perimeter and the area to the left of the path. The edges' areas to the equator add
// up to the polygon's, less half the ellipsoid when the path winds once about a pole
// (counted by its crossings of the antimeridian). For rings of any source: add_edge for
// each edge, then area() and perimeter().
struct Polygon {
    double area_sum = 0, area_carry = 0, length_sum = 0, length_carry = 0;
    int crossings = 0;
    bool invalid = false;

    static void add(double& sum, double& carry, double x) noexcept {  // Neumaier
        const double t = sum + x;
        carry += std::fabs(sum) >= std::fabs(x) ? (sum - t) + x : (x - t) + sum;
        sum = t;
    }

    void add_edge(const Rhumb& r, double lat1, double lon1, double lat2, double lon2) noexcept {
        const InverseResult e = inverse(r, lat1, lon1, lat2, lon2);
        if (std::isnan(e.s12)) {
            invalid = true;
            return;
        }
        add(length_sum, length_carry, e.s12);
        add(area_sum, area_carry, -e.S12);  // S12 is positive going east north of the equator
        const double l1 = longitude::wrapped_longitude(lon1),
                     l2 = longitude::wrapped_longitude(lon2);
        const double jump = (l1 + longitude::lon_diff(lon1, lon2)) - l2;
        if (jump > kPi) ++crossings;
        if (jump < -kPi) --crossings;
    }

    // Area to the left of the path, in [0, 4 pi c^2); with `signed_area`, the counter-
    // clockwise area of the smaller side (negative for a clockwise path).
    double area(const Rhumb& r, bool signed_area) const noexcept {
        if (invalid) return kNaN;
        // In units of c^2: the whole ellipsoid is 4 pi.
        const double total = 4 * kPi;
        const double sum = area_sum + area_carry;
        double s = std::isfinite(r.c2) ? sum / r.c2 : sum / r.c / r.c;
        if (crossings & 1) s += (s < 0 ? 1 : -1) * total / 2;
        s = std::remainder(s, total);
        if (!signed_area && s < 0) s += total;
        return r.area(s);
    }
    double perimeter() const noexcept { return invalid ? kNaN : length_sum + length_carry; }
};

// The area (to the left of the path, or signed) and perimeter of one ring of n vertices
// at lat[i * stride], lon[i * stride] (radians): the function other compiled code calls.
inline void ring_area(const Rhumb& r, const double* lat, const double* lon, long n, long stride,
                      bool signed_area, double& area, double& perimeter) noexcept {
    Polygon p;
    for (long i = 0; i < n; ++i) {
        const long j = i + 1 < n ? i + 1 : 0;
        p.add_edge(r, lat[i * stride], lon[i * stride], lat[j * stride], lon[j * stride]);
    }
    area = n == 0 ? 0 : p.area(r, signed_area);
    perimeter = n == 0 ? 0 : p.perimeter();
}

}  // namespace quorvane::ellipsoid::rhumb

#endif  // QUORVANE_ELLIPSOID_KERNELS_RHUMB_H
