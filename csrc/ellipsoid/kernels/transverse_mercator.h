// The transverse Mercator and the polar stereographic projections of an ellipsoid of
// revolution: scalar kernels, after
//
//   C. F. F. Karney, "Transverse Mercator with an accuracy of a few nanometers",
//   J. Geodesy 85 (2011) 475-485,
//
// Krueger's series in the third flattening n (to n^12, scripts/tm_series.py, the table
// tm_series.h). The forward projection goes through the conformal sphere: the conformal
// latitude chi by its Fourier series in phi (latitude_series.h, within an ulp on the
// flattenings served here), the Gauss-Schreiber coordinates
//   xi' = atan2(sin(chi), cos(chi) cos(lambda)),  eta' = atanh(cos(chi) sin(lambda)),
// and then zeta = zeta' + sum_j alpha_j sin(2 j zeta') (zeta = xi + i eta), with y = k0 A xi,
// x = k0 A eta, A the rectifying radius. The reverse sums the beta_j series and takes phi of
// chi by the inverse Fourier series (no iteration). Both sums, and the derivative of the map
// that gives the convergence and the scale, run Clenshaw's recurrence in complex arithmetic
// written out in real parts (no library complex type: its products check for infinities and
// are slow); the sines and cosines of xi' and the hyperbolic functions of eta' come from
// those of chi and lambda by algebra, with no further calls.
//
// The convergence (grid north clockwise from true north) and the scale are closed forms: the
// sphere's gamma' = atan(sin(chi) tan(lambda)) = atan(tan(xi') tanh(eta')) and k' = sqrt(1 -
// e^2 sin^2(phi)) cos(chi)/(cos(phi) sech(eta')), times the argument and modulus of the
// series' derivative. The polar stereographic (UPS) keeps the exact form of the conformal
// latitude's tangent and Newton's method for its inverse (latitudes.h).
//
// Domain: the series converge slowly where eta' is large (their terms grow as exp(2 j eta')).
// Beyond kMaxEta (eta = 1: 6,367 km from the central meridian on the equator of WGS84, 57
// degrees of longitude there) the kernels take Lee's exact mapping (tm_exact.h), which covers
// everything within 90 degrees of the central meridian (NaN beyond; on a sphere, f = 0, where
// the series have no terms and Lee's modulus vanishes, NaN beyond kMaxEta as before); the
// points inside keep the series' bits. The series stay in use up to kMaxEta because they are
// the more accurate there: on the stored truth's 110 points at 3,900-6,200 km, 2.1 nm at worst
// (0.9 nm rms) against the exact mapping's 4.2 nm (1.9 nm rms). Within kMaxEta, to n^12, the error
// against a 40-digit truth stays within 3.4 nm (bench/results/utm-accuracy.md: 1e5 points up to
// 6,300 km; the convergence within 2.8e-14 degrees, the scale 8.9e-16); the sixth-order series
// reach that only to 3,900 km. The series serve flattenings up to 1/25 (the bindings refuse
// larger ones).
//
// Pure functions of doubles: no interpreter, no allocation, no state beyond the per-ellipsoid
// constants (Projection). Angles are radians; a NaN gives NaN.
#ifndef QUORVANE_ELLIPSOID_KERNELS_TRANSVERSE_MERCATOR_H
#define QUORVANE_ELLIPSOID_KERNELS_TRANSVERSE_MERCATOR_H

#include <cmath>

#include "ellipsoid/kernels/latitude_series.h"
#include "ellipsoid/kernels/latitudes.h"
#include "ellipsoid/kernels/tm_exact.h"
#include "ellipsoid/kernels/tm_series.h"

namespace quorvane::ellipsoid::tm {

using latitudes::kHalfPi;
using latitudes::kNaN;
inline constexpr int kOrder = kernels::tm_series::kOrder;
inline constexpr double kPi = 3.141592653589793238462643383279502884;

// The largest |eta| (and |eta'|) the series serve: 4.7 nm at eta = 1.01 on WGS84, and
// 41 nm at 1.16 (the error grows as exp(26 eta)).
inline constexpr double kMaxEta = 1.0;
// The largest flattening the series serve (their truncation at n^12 stays below a
// nanometre on an Earth-sized ellipsoid up to there).
inline constexpr double kMaxFlattening = 1.0 / 25;

// The constants of one ellipsoid: its shape, the rectifying radius A, Krueger's coefficients
// at its n and those of the conformal latitude's series (latitude_series.h).
struct Projection {
    latitudes::Shape g;
    double A;         // the rectifying radius
    double A_a;       // A/a
    double c_stereo;  // sqrt(1 - e^2) exp(e atanh(e)): the polar stereographic's constant
    double alpha[kOrder], beta[kOrder];
    double chi[kOrder], phi[kOrder];  // chi - phi of phi, phi - chi of chi
    int terms = 0;                    // the coefficients that matter (those after add below 2^-70)
    exact::Constants lee;             // Lee's exact mapping, beyond the series' domain

    Projection(double a, double f) noexcept : g(a, f), lee(g) {
        namespace lat = kernels::latitude_series;
        static_assert(lat::kOrder == kOrder);
        constexpr int geodetic = static_cast<int>(latitudes::Kind::geodetic);
        constexpr int conformal = static_cast<int>(latitudes::Kind::conformal);
        A = g.rectifying_radius;
        A_a = A / a;
        c_stereo = std::sqrt(g.e2m) * std::exp(g.eatanhe);
        for (int j = 0; j < kOrder; ++j) {
            double al = 0, be = 0, ch = 0, ph = 0;
            for (int k = kOrder; k >= 0; --k) {
                al = al * g.n + kernels::tm_series::kAlpha[j][k];
                be = be * g.n + kernels::tm_series::kBeta[j][k];
                ch = ch * g.n + lat::kCoefficients[geodetic][conformal][j][k];
                ph = ph * g.n + lat::kCoefficients[conformal][geodetic][j][k];
            }
            alpha[j] = al, beta[j] = be, chi[j] = ch, phi[j] = ph;
            if (std::fabs(al) >= 0x1p-70 || std::fabs(be) >= 0x1p-70 || std::fabs(ch) >= 0x1p-70 ||
                std::fabs(ph) >= 0x1p-70)
                terms = j + 1;
        }
    }
};

// sum_k c[k] sin(2 k z), k = 1..terms, of s = sin(z), co = cos(z), by Clenshaw's recurrence.
inline double sine_sum(const double* c, int terms, double s, double co) noexcept {
    const double x = 2 * (co - s) * (co + s);  // 2 cos 2z
    double b1 = 0, b2 = 0;
    for (int k = terms - 1; k >= 0; --k) {
        const double b0 = x * b1 - b2 + c[k];
        b2 = b1;
        b1 = b0;
    }
    return b1 * (2 * s * co);
}

// cos(d) - 1 and sin(d) of a small angle |d| < 0.01 (the latitude series' difference on the
// flattenings the series serve) by their Taylor series, to a part in 1e-19: a rotation by d
// without two more calls of sin and cos.
struct SmallRotation {
    double cm1, s;
};
inline SmallRotation small_rotation(double d) noexcept {
    const double d2 = d * d;
    return {-d2 * (0.5 - d2 * (1.0 / 24 - d2 * (1.0 / 720))),
            d * (1 - d2 * (1.0 / 6 - d2 * (1.0 / 120 - d2 * (1.0 / 5040))))};
}

// A complex number as two doubles.
struct Complex {
    double re, im;
};
inline Complex operator*(Complex a, Complex b) noexcept {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

// sum_j c[j] sin(2 j z) and sum_j 2 j c[j] cos(2 j z), j = 1..terms, of z = xi + i eta from the
// sines and cosines of xi (s, co) and the hyperbolic ones of eta (sh, ch), by Clenshaw's
// recurrence b_j = 2 cos(2 z) b_(j+1) - b_(j+2) + c_j: the sine sum is b_1 sin(2 z) and the
// cosine sum d_1 cos(2 z) - d_2.
struct Sums {
    Complex sines, slopes;
};
template <bool slopes = true>
inline Sums clenshaw(const double* c, int terms, double s, double co, double sh,
                     double ch) noexcept {
    const double s2 = 2 * s * co, c2 = (co - s) * (co + s);   // sin, cos of 2 xi
    const double sh2 = 2 * sh * ch, ch2 = ch * ch + sh * sh;  // sinh, cosh of 2 eta
    const Complex sin2{s2 * ch2, c2 * sh2}, cos2{c2 * ch2, -s2 * sh2};
    const Complex x{2 * cos2.re, 2 * cos2.im};
    Complex b1{0, 0}, b2{0, 0}, d1{0, 0}, d2{0, 0};
    for (int j = terms; j >= 1; --j) {
        const Complex xb = x * b1;
        const Complex b0{xb.re - b2.re + c[j - 1], xb.im - b2.im};
        b2 = b1, b1 = b0;
        if constexpr (slopes) {
            const Complex xd = x * d1;
            const Complex d0{xd.re - d2.re + 2 * j * c[j - 1], xd.im - d2.im};
            d2 = d1, d1 = d0;
        }
    }
    const Complex sines = b1 * sin2, dc = d1 * cos2;
    return {sines, {dc.re - d2.re, dc.im - d2.im}};
}

// sinh and cosh of x from one expm1 (sinh keeps its digits for a small x).
struct Hyperbolic {
    double sh, ch;
};
inline Hyperbolic hyperbolic(double x) noexcept {
    const double m = std::expm1(x), e = m + 1;
    return {0.5 * m * (e + 1) / e, 0.5 * (e + 1 / e)};
}

// Plane coordinates with the convergence and the scale: x, y in the unit of a.
struct Grid {
    double x, y, convergence, scale;
};
// Geographic coordinates with the convergence and the scale.
struct Geographic {
    double lat, lon, convergence, scale;
};

inline constexpr Grid kNoGrid{kNaN, kNaN, kNaN, kNaN};
inline constexpr Geographic kNoGeographic{kNaN, kNaN, kNaN, kNaN};

// Beyond the series' domain: Lee's exact mapping (tm_exact.h), within 90 degrees of the central
// meridian; NaN beyond, and on a sphere (no series terms: its domain stays the series').
template <bool factors>
inline Grid exact_forward(const Projection& p, double k0, double phi, double lam) noexcept {
    if (p.terms == 0) return kNoGrid;
    const exact::Mapped m = exact::forward(p.lee, p.g, phi, lam);
    const double ka = k0 * p.g.a;
    if constexpr (!factors) return {ka * m.x, ka * m.y, kNaN, kNaN};
    return {ka * m.x, ka * m.y, m.convergence, k0 * m.scale};
}
inline Geographic exact_reverse(const Projection& p, double k0, double x, double y) noexcept {
    if (p.terms == 0) return kNoGeographic;
    const double ka = k0 * p.g.a;
    const exact::Unmapped m = exact::reverse(p.lee, p.g, x / ka, y / ka);
    return {m.lat, m.lon, m.convergence, k0 * m.scale};
}

// lambda into [-pi, pi].
inline double reduced(double lam) noexcept {
    return std::fabs(lam) <= kPi ? lam : std::remainder(lam, 2 * kPi);
}

// The transverse Mercator of geodetic latitude phi (|phi| <= pi/2) and longitude lambda from
// the central meridian, with central scale k0: x east and y north of the origin on the
// equator at the central meridian (no false origin). Lee's exact mapping beyond kMaxEta.
//
// The conformal latitude chi = phi + delta, delta = sum_k c_k sin(2 k phi) (latitude_series.h),
// its sine and cosine by the rotation of phi's by delta (cos(chi) = cos(phi) cos(delta) - sin(phi)
// sin(delta) keeps its digits up to the pole, where delta vanishes with cos(phi)). On the
// sphere, with u = cos(chi) sin(lambda) and D = sqrt(sin^2(chi) + cos^2(chi) cos^2(lambda)) =
// sech(eta'):
//   xi' = atan2(sin(chi), cos(chi) cos(lambda)),  eta' = atanh(u),
//   sin(xi') = sin(chi)/D, cos(xi') = cos(chi) cos(lambda)/D, sinh(eta') = u/D, cosh = 1/D,
// and the sphere's convergence tan(gamma') = sin(chi) tan(lambda) and scale k' = sqrt(1 - e^2
// sin^2(phi)) cos(chi)/(cos(phi) D).
//
// Without `factors` the convergence and the scale are left NaN (the derivative not summed): the
// position's bits are the same.
template <bool factors = true>
inline Grid tm_forward(const Projection& p, double k0, double phi, double lambda) noexcept {
    const double z = std::fabs(phi);
    if (!(z <= kHalfPi) || !std::isfinite(lambda)) return kNoGrid;
    const double lam = reduced(lambda);
    const double sphi = std::sin(z), cphi = std::cos(z);
    const SmallRotation d = small_rotation(sine_sum(p.chi, p.terms, sphi, cphi));
    const double schi = std::copysign(sphi + (sphi * d.cm1 + cphi * d.s), phi);
    const double cchi = cphi + (cphi * d.cm1 - sphi * d.s);
    const double sl = std::sin(lam), cl = std::cos(lam);
    const double u = cchi * sl, ccl = cchi * cl;
    // tanh(eta') = u: the domain is on eta (as in the reverse, so that round trips agree on
    // it); the bound on eta' first keeps the series from growing large.
    if (!(std::fabs(u) <= 0.7615941559557649))  // tanh(kMaxEta)
        return exact_forward<factors>(p, k0, phi, lam);
    const double D = std::sqrt(schi * schi + ccl * ccl), sech = 1 / D;
    const double xip = std::atan2(schi, ccl), etap = std::atanh(u);
    const Sums sum = clenshaw<factors>(p.alpha, p.terms, schi * sech, ccl * sech, u * sech, sech);
    const double xi = xip + sum.sines.re, eta = etap + sum.sines.im;
    if (!(std::fabs(eta) <= kMaxEta)) return exact_forward<factors>(p, k0, phi, lam);
    const double kA = k0 * p.A;
    if constexpr (!factors) return {kA * eta, kA * xi, kNaN, kNaN};
    // d zeta/d zeta' = 1 + the slopes: its argument turns grid north the other way, so that
    // gamma = arg((cos(lambda) + i sin(chi) sin(lambda)) conj(d zeta/d zeta')).
    const double dre = 1 + sum.slopes.re, dim = sum.slopes.im;
    const double gs = schi * sl;
    const double gamma = std::atan2(gs * dre - cl * dim, cl * dre + gs * dim);
    const double w = std::sqrt(cphi * cphi + p.g.e2m * sphi * sphi);  // sqrt(1 - e^2 sin^2)
    const double k = k0 * ((p.A_a * std::sqrt(dre * dre + dim * dim)) * (w * cchi * sech / cphi));
    return {kA * eta, kA * xi, gamma, k};
}

// The geodetic latitude, the longitude from the central meridian, the convergence and the
// scale at the transverse Mercator coordinates x, y (no false origin) of central scale k0.
// Lee's exact mapping beyond kMaxEta.
//
// zeta' = zeta - sum_j beta_j sin(2 j zeta); on the sphere sin(chi) = sin(xi')/cosh(eta'),
// cos(chi) = r/cosh(eta'), r = sqrt(sinh^2(eta') + cos^2(xi')), lambda = atan2(sinh(eta'),
// cos(xi')); phi = chi + delta, delta = sum_k c_k sin(2 k chi) (latitude_series.h), its sine and
// cosine by the rotation of chi's, as in the forward; the scale k' = sqrt(1 - e^2 sin^2(phi))
// r/cos(phi).
inline Geographic tm_reverse(const Projection& p, double k0, double x, double y) noexcept {
    const double kA = k0 * p.A;
    const double xi = y / kA, eta = x / kA;
    if (!std::isfinite(xi)) return kNoGeographic;
    if (!(std::fabs(eta) <= kMaxEta)) return exact_reverse(p, k0, x, y);
    const Hyperbolic h = hyperbolic(eta);
    const Sums sum = clenshaw(p.beta, p.terms, std::sin(xi), std::cos(xi), h.sh, h.ch);
    const double xip = xi - sum.sines.re, etap = eta - sum.sines.im;
    // d zeta'/d zeta = 1 - the slopes.
    const double dre = 1 - sum.slopes.re, dim = -sum.slopes.im;
    const double sxi = std::sin(xip), cxi = std::cos(xip);
    const Hyperbolic hp = hyperbolic(etap);
    // |eta'| <= 1.01 and |cos(xi')| <= 1: no overflow or underflow in the squares.
    const double r = std::sqrt(hp.sh * hp.sh + cxi * cxi);  // cos(chi) cosh(eta')
    const double lam = std::atan2(hp.sh, cxi);
    const double s = std::fabs(sxi), sech = 1 / hp.ch;
    const double schi = s * sech, cchi = r * sech;
    const double delta = sine_sum(p.phi, p.terms, schi, cchi);
    const double lat = std::atan2(s, r) + delta;
    const SmallRotation d = small_rotation(delta);
    const double sphi = schi + (schi * d.cm1 + cchi * d.s);
    const double cphi = cchi + (cchi * d.cm1 - schi * d.s);
    // gamma = arg((cos(xi') cosh(eta') + i sin(xi') sinh(eta')) d zeta'/d zeta).
    const double gre = cxi * hp.ch, gim = sxi * hp.sh;
    const double gamma = std::atan2(gre * dim + gim * dre, gre * dre - gim * dim);
    const double w = std::sqrt(cphi * cphi + p.g.e2m * sphi * sphi);
    const double k = k0 * ((p.A_a / std::sqrt(dre * dre + dim * dim)) * (w * cchi / cphi) * hp.ch);
    return {std::copysign(lat, xip), lam, gamma, k};
}

// -- Polar stereographic -------------------------------------------------------------------
// The conformal projection from the pole of the northern (north) or southern hemisphere:
// the distance from the pole rho = 2 k0 a/(c (sqrt(1 + tau'^2) + tau')), tau' the conformal
// latitude's tangent (of |phi| on the projection's own side) and c = sqrt(1 - e^2) exp(e
// atanh(e)), so that the scale at the pole is k0. North: x = rho sin(lambda), y = -rho
// cos(lambda), convergence lambda; south: y = rho cos(lambda), convergence -lambda.

inline Grid polar_forward(const Projection& p, bool north, double k0, double phi,
                          double lambda) noexcept {
    if (!(std::fabs(phi) <= kHalfPi) || !std::isfinite(lambda)) return kNoGrid;
    const double lam = reduced(lambda);
    const double tau = std::tan(north ? phi : -phi);
    const double taup = tau >= 0 ? latitudes::conformal_tangent(p.g, tau)
                                 : -latitudes::conformal_tangent(p.g, -tau);
    const double h = std::hypot(1.0, taup);
    // sqrt(1 + tau'^2) + tau' = 1/(sqrt(1 + tau'^2) - tau') keeps its digits for tau' < 0.
    const double sum = taup >= 0 ? h + taup : 1 / (h - taup);
    const double rho = 2 * k0 * p.g.a / (p.c_stereo * sum);
    const latitudes::SinCos sc = latitudes::of_tangent(std::fabs(tau));
    const double w = std::sqrt(sc.c * sc.c + p.g.e2m * sc.s * sc.s);
    // k = rho/(N cos(phi)) = rho w/(a cos(phi)); at the pole the ratio tends to k0.
    const double k = sc.c == 0 ? k0 : rho * w / (p.g.a * sc.c);
    const double sl = std::sin(lam), cl = std::cos(lam);
    return north ? Grid{rho * sl, -rho * cl, lam, k} : Grid{rho * sl, rho * cl, -lam, k};
}

inline Geographic polar_reverse(const Projection& p, bool north, double k0, double x,
                                double y) noexcept {
    if (!std::isfinite(x) || !std::isfinite(y)) return kNoGeographic;
    const double rho = std::hypot(x, y);
    const double lam = north ? std::atan2(x, -y) : std::atan2(x, y);
    if (rho == 0) return {north ? kHalfPi : -kHalfPi, lam, north ? lam : -lam, k0};  // the pole
    // t = sqrt(1 + tau'^2) + tau' and tau' = (t - 1/t)/2.
    const double t = 2 * k0 * p.g.a / (p.c_stereo * rho);
    const double taup = t > 1 ? (t - 1 / t) / 2 : -(1 / t - t) / 2;
    const double tau = taup >= 0 ? latitudes::geodetic_tangent(p.g, taup)
                                 : -latitudes::geodetic_tangent(p.g, -taup);
    const latitudes::SinCos sc = latitudes::of_tangent(std::fabs(tau));
    const double w = std::sqrt(sc.c * sc.c + p.g.e2m * sc.s * sc.s);
    const double k = rho * w / (p.g.a * sc.c);
    const double phi = std::atan(tau);
    return {north ? phi : -phi, lam, north ? lam : -lam, k};
}

}  // namespace quorvane::ellipsoid::tm

#endif  // QUORVANE_ELLIPSOID_KERNELS_TRANSVERSE_MERCATOR_H
