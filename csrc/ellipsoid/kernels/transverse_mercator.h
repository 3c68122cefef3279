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
// chi by the inverse Fourier series (no iteration). Every series is summed as a polynomial in
// cos(2 z) by Estrin's scheme (Monomials below), the complex ones, and the derivative of the map
// that gives the convergence and the scale, in complex arithmetic written out in real parts (no
// library complex type: its products check for infinities and are slow). The sines and cosines
// of xi' and the hyperbolic functions of eta' come from those of chi and lambda by algebra in
// the forward, and from those of xi and eta turned by the small sums in the reverse; xi' and
// chi from atan of a small angle's tangent, and the convergence from atan where its quotient's
// denominator is positive: atan2 only beyond 90 degrees from the central meridian.
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
// the more accurate there: on the stored truth's 110 points at 3,900-6,200 km, 1.9 nm at worst
// (0.85 nm rms) against the exact mapping's 4.2 nm (1.9 nm rms). Within kMaxEta, to n^12, the error
// against a 40-digit truth stays within 3.3 nm (bench/results/utm-accuracy-fast.md: 1e4 points
// up to 6,300 km, forward 3.0 nm and reverse 3.3 nm; the convergence within 2.8e-14 degrees,
// the scale 6.7e-16); the sixth-order series reach that only to 3,900 km. The series serve
// flattenings up to 1/25 (the bindings refuse larger ones).
//
// Pure functions of doubles: no interpreter, no allocation, no state beyond the per-ellipsoid
// constants (Projection). Angles are radians; a NaN gives NaN.
#ifndef QUORVANE_ELLIPSOID_KERNELS_TRANSVERSE_MERCATOR_H
#define QUORVANE_ELLIPSOID_KERNELS_TRANSVERSE_MERCATOR_H

#include <cmath>

#include "ellipsoid/kernels/double_double.h"
#include "ellipsoid/kernels/latitude_series.h"
#include "ellipsoid/kernels/latitudes.h"
#include "ellipsoid/kernels/polynomials.h"
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

// A Fourier sine series as a polynomial in w = cos(2 z):
//   sum_{k=1..K} c_k sin(2 k z) = sin(2 z) P(w),  P = sum_k c_k U_(k-1)(w),
// U Chebyshev's polynomials of the second kind (U_0 = 1, U_1 = 2 w, U_k = 2 w U_(k-1) -
// U_(k-2)), with P's monomial coefficients p_m and those of its derivative, (m + 1) p_(m+1),
// zero beyond the degree. The derivative of the sum is
//   sum_k 2 k c_k cos(2 k z) = 2 (w P(w) - sin^2(2 z) P'(w)).
// On the flattenings served here the coefficients fall as n^k and |w| <= cosh(2 eta) < 3.8,
// so the terms p_m w^m fall as (2 n |w|)^m: the monomial form sums as well as Clenshaw's
// recurrence, and Estrin's scheme (Knuth, The Art of Computer Programming 2, 4.6.4) sums it
// in a chain of log2(width) dependent steps instead of one a term.
inline constexpr int kWidth = 16;  // kOrder coefficients, padded to a power of two
static_assert(kOrder <= kWidth);
struct Monomials {
    double p[kWidth], dp[kWidth];
};
inline Monomials monomials(const double* c, int terms) noexcept {
    long double u[kWidth + 1][kWidth] = {};  // U_k's coefficients: integers, exact
    long double sum[kWidth] = {};
    u[0][0] = 1;
    for (int k = 1; k < terms; ++k)
        for (int m = 0; m < kWidth; ++m)
            u[k][m] = (m > 0 ? 2 * u[k - 1][m - 1] : 0) - (k >= 2 ? u[k - 2][m] : 0);
    for (int k = terms; k >= 1; --k)  // the small terms first
        for (int m = 0; m < kWidth; ++m) sum[m] += c[k - 1] * u[k - 1][m];
    Monomials r{};
    for (int m = 0; m < kWidth; ++m) r.p[m] = double(sum[m]);
    for (int m = 0; m + 1 < kWidth; ++m) r.dp[m] = double((m + 1) * sum[m + 1]);
    return r;
}

using polynomials::estrin;

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
    int width = 0;                    // terms rounded up to a power of two (Estrin's width)
    Monomials alpha_w, beta_w, chi_w, phi_w;  // the four series as polynomials in cos(2 z)
    exact::Constants lee;                     // Lee's exact mapping, beyond the series' domain

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
        width = terms <= 4 ? 4 : terms <= 8 ? 8 : kWidth;
        alpha_w = monomials(alpha, terms), beta_w = monomials(beta, terms);
        chi_w = monomials(chi, terms), phi_w = monomials(phi, terms);
    }
};

// sum_k c_k sin(2 k z) of s = sin(z), co = cos(z), from the polynomial m (of the projection's
// width) in cos(2 z).
inline double sine_sum(const Monomials& m, int width, double s, double co) noexcept {
    const double x = (co - s) * (co + s);  // cos 2z
    const double x2[3] = {x * x, (x * x) * (x * x), ((x * x) * (x * x)) * ((x * x) * (x * x))};
    const double sum = width == 4   ? estrin<4>(m.p, x, x2)
                       : width == 8 ? estrin<8>(m.p, x, x2)
                                    : estrin<kWidth>(m.p, x, x2);
    return sum * (2 * s * co);
}

// cos(d) - 1 and sin(d) of a small angle |d| <= 1/64 (the latitude series' difference on the
// flattenings the series serve is within 0.01) by their Taylor series, to a part in 1e-19: a
// rotation by d without two more calls of sin and cos.
struct SmallRotation {
    double cm1, s;
};
inline SmallRotation small_rotation(double d) noexcept {
    const double d2 = d * d;
    return {-d2 * (0.5 - d2 * (1.0 / 24 - d2 * (1.0 / 720))),
            d * (1 - d2 * (1.0 / 6 - d2 * (1.0 / 120 - d2 * (1.0 / 5040))))};
}

// cosh(d) - 1 and sinh(d) of a small |d| <= 1/64 by their Taylor series, as small_rotation.
inline SmallRotation small_boost(double d) noexcept {
    const double d2 = d * d;
    return {d2 * (0.5 + d2 * (1.0 / 24 + d2 * (1.0 / 720))),
            d * (1 + d2 * (1.0 / 6 + d2 * (1.0 / 120 + d2 * (1.0 / 5040))))};
}

// A complex number as two doubles.
struct Complex {
    double re, im;
};
inline Complex operator*(Complex a, Complex b) noexcept {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

inline Complex operator+(Complex a, Complex b) noexcept {
    return {a.re + b.re, a.im + b.im};
}

// Estrin's scheme in a complex w of real coefficients, w2[j] = w^(2^(j+1)).
template <int N>
inline Complex estrin(const double* p, Complex w, const Complex* w2) noexcept {
    if constexpr (N == 2) {
        return {p[0] + p[1] * w.re, p[1] * w.im};
    } else {
        constexpr int level = N == 4 ? 0 : N == 8 ? 1 : 2;
        return estrin<N / 2>(p, w, w2) + w2[level] * estrin<N / 2>(p + N / 2, w, w2);
    }
}

// sum_j c_j sin(2 j z) and sum_j 2 j c_j cos(2 j z) of z = xi + i eta, from the sines and
// cosines of xi (s, co) and the hyperbolic ones of eta (sh, ch): sin(2 z) P(w) and 2 (w P(w) -
// sin^2(2 z) P'(w)), w = cos(2 z), of the polynomials m (of the projection's width).
struct Sums {
    Complex sines, slopes;
};
// Of the double angles: s2, c2 = sin, cos of 2 xi; sh2, ch2 = sinh, cosh of 2 eta.
template <bool slopes = true>
inline Sums series_of_doubled(const Monomials& m, int width, double s2, double c2, double sh2,
                              double ch2) noexcept {
    const Complex sin2{s2 * ch2, c2 * sh2}, w{c2 * ch2, -s2 * sh2};
    const Complex w1 = w * w, w2 = w1 * w1;
    const Complex pw[3] = {w1, w2, w2 * w2};
    Complex p, dp{0, 0};
    switch (width) {
        case 4:
            p = estrin<4>(m.p, w, pw);
            if constexpr (slopes) dp = estrin<4>(m.dp, w, pw);
            break;
        case 8:
            p = estrin<8>(m.p, w, pw);
            if constexpr (slopes) dp = estrin<8>(m.dp, w, pw);
            break;
        default:
            p = estrin<kWidth>(m.p, w, pw);
            if constexpr (slopes) dp = estrin<kWidth>(m.dp, w, pw);
    }
    const Complex sines = sin2 * p;
    if constexpr (!slopes) return {sines, {0, 0}};
    const Complex wp = w * p, sdp = (sin2 * sin2) * dp;
    return {sines, {2 * (wp.re - sdp.re), 2 * (wp.im - sdp.im)}};
}
template <bool slopes = true>
inline Sums series(const Monomials& m, int width, double s, double co, double sh,
                   double ch) noexcept {
    return series_of_doubled<slopes>(m, width, 2 * s * co, (co - s) * (co + s), 2 * sh * ch,
                                     ch * ch + sh * sh);
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

// atan2(y, x), by the atan of the quotient where x > 0 (its series where the angle is small):
// one rounding more, of the quotient (at most half a unit of the angle's last place), and less
// than two thirds of atan2's cost in the C library.
inline double angle(double y, double x) noexcept {
    return x > 0 ? polynomials::atan(y / x) : std::atan2(y, x);
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
    const double delta = sine_sum(p.chi_w, p.width, sphi, cphi);
    const SmallRotation d = small_rotation(delta);
    const double sz = sphi + (sphi * d.cm1 + cphi * d.s);  // sin(|chi|)
    const double schi = std::copysign(sz, phi);
    const double cchi = cphi + (cphi * d.cm1 - sphi * d.s);
    const polynomials::Pair tl = polynomials::sin_cos(lam);
    const double sl = tl.odd, cl = tl.even;
    const double u = cchi * sl, ccl = cchi * cl;
    // tanh(eta') = u: the domain is on eta (as in the reverse, so that round trips agree on
    // it); the bound on eta' first keeps the series from growing large.
    if (!(std::fabs(u) <= 0.7615941559557649))  // tanh(kMaxEta)
        return exact_forward<factors>(p, k0, phi, lam);
    // sech^2(eta') = 1/(sin^2(chi) + cos^2(chi) cos^2(lambda)): the double angles need no root.
    const double sech2 = 1 / (schi * schi + ccl * ccl);
    // xi' = chi + atan(tan(xi' - chi)) where cos(lambda) > 0, tan(xi' - chi) = sin(chi) cos(chi)
    // (1 - cos(lambda))/(cos^2(chi) cos(lambda) + sin^2(chi)) and 1 - cos(lambda) = sin^2(lambda)/
    // (1 + cos(lambda)): the atan of a small angle's tangent, no atan2, and no cancellation.
    // xi = xi' + the series' real part: the small parts summed first, |phi| added last.
    const bool near = cl > 0;
    const double turn =
        near ? delta + polynomials::atan(sz * cchi * (sl * sl / (1 + cl)) / (cchi * ccl + sz * sz))
             : 0;
    const double etap = polynomials::atanh(u);
    const Sums sum = series_of_doubled<factors>(p.alpha_w, p.width, 2 * schi * ccl * sech2,
                                                (ccl - schi) * (ccl + schi) * sech2, 2 * u * sech2,
                                                (1 + u * u) * sech2);
    const double xi =
        near ? std::copysign(z + (turn + (std::signbit(phi) ? -sum.sines.re : sum.sines.re)), phi)
             : std::atan2(schi, ccl) + sum.sines.re;
    const double eta = etap + sum.sines.im;
    if (!(std::fabs(eta) <= kMaxEta)) return exact_forward<factors>(p, k0, phi, lam);
    const double kA = k0 * p.A;
    if constexpr (!factors) return {kA * eta, kA * xi, kNaN, kNaN};
    // d zeta/d zeta' = 1 + the slopes: its argument turns grid north the other way, so that
    // gamma = arg((cos(lambda) + i sin(chi) sin(lambda)) conj(d zeta/d zeta')).
    const double dre = 1 + sum.slopes.re, dim = sum.slopes.im;
    const double gs = schi * sl;
    const double gamma = angle(gs * dre - cl * dim, cl * dre + gs * dim);
    // k = k0 (A/a) |d zeta/d zeta'| sqrt(1 - e^2 sin^2(phi)) cos(chi) sech(eta')/cos(phi): one
    // root.
    const double w2 = cphi * cphi + p.g.e2m * sphi * sphi;  // 1 - e^2 sin^2(phi)
    const double k =
        k0 * (p.A_a * (cchi / cphi) * std::sqrt((dre * dre + dim * dim) * (w2 * sech2)));
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
    const polynomials::Pair h = polynomials::sinh_cosh(eta);
    const double sx = std::sin(xi), cx = std::cos(xi);
    const Sums sum = series(p.beta_w, p.width, sx, cx, h.odd, h.even);
    // xi = y/(k0 A) + xi_lo, the quotient's rounding error carried, and xi' = xi - ds + xi_lo as
    // xip + xip_lo: near the image of the pole, where cos(xi') is small, the convergence and the
    // longitude turn with cos(xi') at the rate 1/cos(xi'), and the rounding of xi would show.
    const double_double::Wide q = double_double::two_product(xi, kA);
    const double xi_lo = ((y - q.hi) - q.lo) / kA;
    const double ds = sum.sines.re - xi_lo, de = sum.sines.im;
    const double xip = xi - ds, xip_lo = (xi - xip) - ds, etap = eta - de;
    // d zeta'/d zeta = 1 - the slopes.
    const double dre = 1 - sum.slopes.re, dim = -sum.slopes.im;
    // The functions of xi' and eta' from those of xi and eta, turned back by the sums where
    // these are within 1/64 (on WGS84 they are within 0.004), else called afresh.
    double sxi, cxi, shp, chp;
    if (std::fabs(ds) <= 0x1p-6 && std::fabs(de) <= 0x1p-6) {
        const SmallRotation r = small_rotation(ds);
        const SmallRotation b = small_boost(de);
        sxi = sx + (sx * r.cm1 - cx * r.s), cxi = cx + (cx * r.cm1 + sx * r.s);
        shp = h.odd + (h.odd * b.cm1 - h.even * b.s), chp = h.even + (h.even * b.cm1 - h.odd * b.s);
    } else {
        sxi = std::sin(xip), cxi = std::cos(xip);
        const polynomials::Pair hp = polynomials::sinh_cosh(etap);
        shp = hp.odd, chp = hp.even;
    }
    // |eta'| <= 1.01 and |cos(xi')| <= 1: no overflow or underflow in the squares.
    const double r = std::sqrt(shp * shp + cxi * cxi);  // cos(chi) cosh(eta')
    const double lam = angle(shp, cxi);
    const double s = std::fabs(sxi), sech = 1 / chp;
    const double schi = s * sech, cchi = r * sech;
    const double delta = sine_sum(p.phi_w, p.width, schi, cchi);
    // chi = xi' + atan(tan(chi - xi')) where cos(xi') > 0, tan(chi - xi') = -sin(xi') sinh^2(eta')/
    // ((cos(xi') + r)(r cos(xi') + sin^2(xi'))): a small angle's tangent, without cancellation.
    const double lat =
        cxi > 0 ? std::fabs(xip) +
                      ((std::copysign(xip_lo, xip) +
                        polynomials::atan(-s * (shp * shp) / ((cxi + r) * (r * cxi + s * s)))) +
                       delta)
                : std::atan2(s, r) + delta;
    const SmallRotation d = small_rotation(delta);
    const double sphi = schi + (schi * d.cm1 + cchi * d.s);
    const double cphi = cchi + (cchi * d.cm1 - schi * d.s);
    // gamma = arg((cos(xi') cosh(eta') + i sin(xi') sinh(eta')) d zeta'/d zeta).
    const double gre = cxi * chp, gim = sxi * shp;
    const double gamma = angle(gre * dim + gim * dre, gre * dre - gim * dim);
    // k = k0 (A/a) sqrt(1 - e^2 sin^2(phi)) cos(chi) cosh(eta')/(cos(phi) |d zeta'/d zeta|), and
    // cos(chi) cosh(eta') = r: one root.
    const double w2 = cphi * cphi + p.g.e2m * sphi * sphi;
    const double k = k0 * (p.A_a * (r / cphi) * std::sqrt(w2 / (dre * dre + dim * dim)));
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
