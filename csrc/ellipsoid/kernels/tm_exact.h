// The exact transverse Mercator of an ellipsoid of revolution: L. P. Lee's formulation in
// Jacobi elliptic functions (L. P. Lee, "Conformal projections based on elliptic functions",
// Cartographica 13 (1976), monograph 16), as treated in
//
//   C. F. F. Karney, "Transverse Mercator with an accuracy of a few nanometers",
//   J. Geodesy 85 (2011) 475-485 (its section on the exact mapping),
//
// the path transverse_mercator.h takes where Krueger's series stop (beyond eta = 1).
//
// The geometry. Let w = u + i v be Thompson's coordinates, modulus k = e (parameter e^2), and
// sn, cn, dn, E Jacobi's functions of w (E(w) = integral_0^w dn^2, the epsilon function). On
// the central meridian (v = 0) sin(phi) = sn(u), so dphi/du = dn(u): u = F(phi, e). There the
// meridian arc is S = a (1 - e^2) integral du/dn^2 = a (E(u) - e^2 sn cn/dn) and the isometric
// latitude psi = asinh(tan(phi)) - e atanh(e sin(phi)) = log((1 + sn)/cn) - e atanh(e sn). Both
// continue analytically into the w plane, and the transverse Mercator is the composition
//   psi + i lambda = G(w) = log((1 + sn w)/cn w) - e atanh(e sn w),   G'(w) = (1 - e^2)/(cn dn),
//   (y + i x)/(k0 a) = zeta(w) = E(w) - e^2 sn w cn w/dn w,          zeta'(w) = (1 - e^2)/dn^2,
// so that d zeta/d(psi + i lambda) = cn w/dn w: minus its argument is the convergence, its
// modulus over N cos(phi)/a the scale. The rectangle 0 <= u <= K, 0 <= v <= K' (K, K' the
// complete integrals of modulus e and of e' = sqrt(1 - e^2)) holds the northern quadrant
// 0 <= lambda <= 90 degrees: its lower edge is the central meridian, the right edge (u = K) the
// meridian lambda = 90 degrees, the left edge (u = 0) the equator up to lambda = (1 - e) 90
// degrees, and the corner i K' is a branch point where G and zeta are both cubic (G' and zeta'
// vanish to second order). Beyond (1 - e) 90 degrees the equator runs inside the rectangle,
// from i K' to the point K + i v0 of (0, 90 degrees); the southern hemisphere is the mirror
// image, so the equator there is a cut (y > 0 on the northern side, y < 0 on the southern) as in
// Karney's treatment. Everything within 90 degrees of the central meridian maps to a bounded
// region: x = a (K' - E') = 18,388 km at the branch point and 25,964 km at (0, 90 degrees) on
// WGS84, y = a E there (the northing of the pole).
//
// The functions of w. The real Jacobi functions by the arithmetic-geometric mean (the descending
// Landen transformation, DLMF section 22.20(ii)); E(u) of a real u in Carlson's form (DLMF
// section 19.25(i)) E = sn RF(cn^2, dn^2, 1) - e^2/3 sn^3 RD(cn^2, dn^2, 1), RF and RD by the
// duplication algorithm (geodesic/exact.h); for u past K/2 the functions come from K - u by the
// quarter-period shift (DLMF section 22.4(iii)), so that cn keeps its digits near the pole. At
// w = u + i v, with s, c, d those of u (modulus e), s1, c1, d1 those of v (modulus e'), and
// delta = c1^2 + e^2 s^2 s1^2, the addition theorems with Jacobi's imaginary transformation
// (DLMF sections 22.8 and 22.6(iv)) give
//   sn w = (s d1 + i c d s1 c1)/delta,  cn w = (c c1 - i s d s1 d1)/delta,
//   dn w = (d c1 d1 - i e^2 s c s1)/delta,
// and the epsilon function's (DLMF section 22.16(ii)), its poles at i K' cancelled by hand,
//   E(w) = E(u) + e^2 s c d s1^2/delta + i (v - E(v; e') + s1 c1 d1 d^2/delta).
// Near i K' the terms of zeta grow and cancel; in the upper half (v > K'/2) the shift by i K'
// (sn(t + i K') = 1/(e sn t), cn = -i dn t/(e sn t), dn = -i cn t/sn t, E(t + i K') = E(t) +
// cs t dn t + i (K' - E')) gives, with t = w - i K', forms free of poles there:
//   zeta = i (K' - E') + E(t) - sn t dn t/cn t,         zeta' = -(1 - e^2) sn^2 t/cn^2 t,
//   G = i (1 - e) pi/2 + log((1 + e sn t)/dn t) - e atanh(sn t),
//   G' = -(1 - e^2) e sn^2 t/(cn t dn t),  d zeta/dG = dn t/(e cn t).
// The logarithms are taken as log|z| + i arg z with the arguments' signs fixed by the quadrant
// (on the right edge 1 - sn t is real and negative: its argument is pi, the limit from inside).
//
// Both directions solve by Newton's method in w (G or zeta known, their derivatives in closed
// form), from the best of three starting points: the sphere's (Gauss-Schreiber coordinates,
// stretched to the rectangle), the cubic at the branch point (t^3 = 3 (G(iK') - G)/(e (1 - e^2))
// or 3 (zeta(iK') - zeta)/(1 - e^2)) and the linear map at the point (0, 90 degrees). The steps
// are clamped to the rectangle and at most kNewton are taken: a point with no preimage (the
// reverse beyond the image of the quadrant) ends with a residual and gives NaN.
//
// Measured against the 40-digit truth (bench/results/utm-accuracy.md, testsupport/tm_truth.py
// through mpmath's own Jacobi and theta functions): the forward within 10 nm out to 10,000 km
// and 30 nm out to 26,000 km, the scale (up to 18) times a few units of the last place of the
// angles; the reverse within 5.6 nm along the surface; the convergence within 1.6e-13 degrees
// and the scale within 5.6e-15 relative, except within 0.05 degrees of the branch point, where
// w is ill-conditioned (2e-10 degrees and 5e-12 at the point itself).
//
// Pure functions of doubles: no interpreter, no allocation. Angles are radians.
#ifndef QUORVANE_ELLIPSOID_KERNELS_TM_EXACT_H
#define QUORVANE_ELLIPSOID_KERNELS_TM_EXACT_H

#include <cmath>

#include "ellipsoid/geodesic/exact.h"
#include "ellipsoid/kernels/latitudes.h"

namespace quorvane::ellipsoid::tm::exact {

inline constexpr double kPi = 3.141592653589793238462643383279502884;
inline constexpr double kEps = 0x1p-52;
// Newton's steps at most.
inline constexpr int kNewton = 40;

// A complex number as two doubles, with the little arithmetic the mapping needs.
struct Z {
    double re, im;
};
inline Z operator+(Z a, Z b) noexcept {
    return {a.re + b.re, a.im + b.im};
}
inline Z operator-(Z a, Z b) noexcept {
    return {a.re - b.re, a.im - b.im};
}
inline Z operator*(Z a, Z b) noexcept {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
inline Z operator*(double a, Z b) noexcept {
    return {a * b.re, a * b.im};
}
// a/b, scaled by b's larger part (Smith's division) so that no square overflows.
inline Z operator/(Z a, Z b) noexcept {
    if (std::fabs(b.re) >= std::fabs(b.im)) {
        const double r = b.im / b.re, d = b.re + b.im * r;
        return {(a.re + a.im * r) / d, (a.im - a.re * r) / d};
    }
    const double r = b.re / b.im, d = b.im + b.re * r;
    return {(a.re * r + a.im) / d, (a.im * r - a.re) / d};
}
inline double modulus(Z a) noexcept {
    return std::hypot(a.re, a.im);
}

// sn, cn, dn of a real u.
struct Jacobi {
    double s, c, d;
};

// sn, cn, dn of 0 <= u <= Kc (the quarter period) for modulus k, kc = sqrt(1 - k^2) > 0, by the
// arithmetic-geometric mean a_0 = 1, b_0 = kc, c_0 = k (DLMF section 22.20(ii)): phi_N = 2^N a_N u
// and phi_(n-1) = (phi_n + asin(c_n sin(phi_n)/a_n))/2, sn = sin(phi_0), cn = cos(phi_0); dn =
// sqrt(cn^2 + kc^2 sn^2), a sum of positive terms. Past Kc/2 the quarter-period shift from
// Kc - u: sn = cn/dn, cn = kc sn/dn, dn = kc/dn of Kc - u.
inline Jacobi agm_jacobi(double u, double k, double kc) noexcept {
    double a[12], c[12];
    a[0] = 1, c[0] = k;
    double b = kc;
    int n = 0;
    while (n < 11 && std::fabs(c[n]) > kEps * a[n]) {
        a[n + 1] = (a[n] + b) / 2;
        c[n + 1] = (a[n] - b) / 2;
        b = std::sqrt(a[n] * b);
        ++n;
    }
    double phi = std::ldexp(a[n] * u, n);
    for (int j = n; j > 0; --j) phi = (phi + std::asin(c[j] / a[j] * std::sin(phi))) / 2;
    const double s = std::sin(phi), co = std::cos(phi);
    return {s, co, std::sqrt(co * co + kc * kc * s * s)};
}
inline Jacobi jacobi(double u, double quarter, double k, double kc) noexcept {
    if (u <= quarter / 2) return agm_jacobi(u, k, kc);
    const Jacobi r = agm_jacobi(quarter - u, k, kc);
    return {r.c / r.d, kc * r.s / r.d, kc / r.d};
}

// Jacobi's epsilon function E(u) = integral_0^u dn^2 of a real u in [0, K], from its sn, cn, dn
// (modulus k, parameter k2): Legendre's E(am u, k) in Carlson's form.
inline double epsilon(const Jacobi& j, double k2) noexcept {
    const geodesic::exact::Carlson r = geodesic::exact::carlson<false>(j.c * j.c, j.d * j.d, 1, 0);
    return j.s * r.rf - k2 / 3 * j.s * j.s * j.s * r.rd;
}

// The constants of one ellipsoid (0 < e < 1): the complete integrals K, E of modulus e and K',
// E' of modulus e', v0 (the point (0, 90 degrees) is K + i v0) with zeta there, E + i eta90,
// and G' there (i d1^2/(s1 c1), d1 = dn(v0; e'), ...).
struct Constants {
    double e = 0, e2 = 0, kc = 1, e2m = 1;
    double K = 0, E = 0, Kp = 0, Ep = 0;
    double v0 = 0, eta90 = 0, dG90 = 0, dzeta90 = 0;
    bool valid = false;

    Constants() noexcept = default;
    explicit Constants(const latitudes::Shape& g) noexcept;
};

// The functions of w the mapping needs, in one of the two frames (below or above v = K'/2).
struct Values {
    Z G, dG;        // psi + i lambda and its derivative in w
    Z zeta, dzeta;  // (y + i x)/(k0 a) and its derivative in w
    Z slope;        // d zeta/d(psi + i lambda)
};

// sn, cn, dn of u + i v (u in [0, K], |v| <= K'/2 from the frame) with, when `with_eps`, the
// epsilon function (G alone needs no elliptic integral).
struct ComplexJacobi {
    Z sn, cn, dn, eps;
};
template <bool with_eps>
inline ComplexJacobi complex_jacobi(const Constants& k, double u, double v) noexcept {
    const Jacobi a = jacobi(u, k.K, k.e, k.kc);
    Jacobi b = jacobi(std::fabs(v), k.Kp, k.kc, k.e);
    if (v < 0) b.s = -b.s;  // sn odd, cn and dn even
    const double s = a.s, c = a.c, d = a.d, s1 = b.s, c1 = b.c, d1 = b.d;
    const double delta = c1 * c1 + k.e2 * s * s * s1 * s1;
    ComplexJacobi r{{s * d1 / delta, c * d * s1 * c1 / delta},
                    {c * c1 / delta, -s * d * s1 * d1 / delta},
                    {d * c1 * d1 / delta, -k.e2 * s * c * s1 / delta},
                    {0, 0}};
    if constexpr (with_eps) {
        const double ev = std::copysign(epsilon({std::fabs(s1), c1, d1}, k.e2m), v);  // E odd
        r.eps = {epsilon(a, k.e2) + k.e2 * s * c * d * s1 * s1 / delta,
                 v - ev + s1 * c1 * d1 * d * d / delta};
    }
    return r;
}

// log|z| and arg z with arg z's sign given (sign > 0: arg in [0, pi], < 0: in [-pi, 0]).
inline Z logarithm(Z z, int sign) noexcept {
    const double im = sign > 0 ? std::fabs(z.im) : sign < 0 ? -std::fabs(z.im) : z.im;
    return {std::log(modulus(z)), std::atan2(im, z.re)};
}

template <bool with_G, bool with_zeta>
inline Values values(const Constants& k, double u, double v) noexcept {
    Values r{};
    const Z one{1, 0};
    if (v <= k.Kp / 2) {
        const ComplexJacobi j = complex_jacobi<with_zeta>(k, u, v);
        const Z cd = j.cn * j.dn;
        r.slope = j.cn / j.dn;
        if constexpr (with_G) {
            // log((1 + sn)/cn) - e/2 (log(1 + e sn) - log(1 - e sn)): sn has Re, Im >= 0 and
            // cn Re >= 0, Im <= 0 in the rectangle.
            const Z l1 = logarithm(one + j.sn, 1), l2 = logarithm(j.cn, -1);
            const Z l3 = logarithm(one + k.e * j.sn, 1), l4 = logarithm(one - k.e * j.sn, -1);
            r.G = (l1 - l2) - (k.e / 2) * (l3 - l4);
            r.dG = Z{k.e2m, 0} / cd;
        }
        if constexpr (with_zeta) {
            r.zeta = j.eps - k.e2 * (j.sn * cd / (j.dn * j.dn));
            r.dzeta = Z{k.e2m, 0} / (j.dn * j.dn);
        }
        return r;
    }
    const ComplexJacobi j = complex_jacobi<with_zeta>(k, u, v - k.Kp);  // of t = w - i K'
    r.slope = j.dn / (k.e * j.cn);
    const Z s2 = j.sn * j.sn;
    if constexpr (with_G) {
        // i (1 - e) pi/2 + log(1 + e sn) - log(dn) - e/2 (log(1 + sn) - log(1 - sn)): sn t has
        // Re >= 0, Im <= 0 here, dn t Re, Im >= 0, and 1 - sn t Im >= 0 (arg pi on the right edge).
        const Z l1 = logarithm(one + k.e * j.sn, -1), l2 = logarithm(j.dn, 1);
        const Z l3 = logarithm(one + j.sn, -1), l4 = logarithm(one - j.sn, 1);
        r.G = Z{0, (1 - k.e) * kPi / 2} + (l1 - l2) - (k.e / 2) * (l3 - l4);
        r.dG = Z{-k.e2m * k.e, 0} * s2 / (j.cn * j.dn);
    }
    if constexpr (with_zeta) {
        r.zeta = Z{0, k.Kp - k.Ep} + j.eps - j.sn * j.dn / j.cn;
        r.dzeta = Z{-k.e2m, 0} * s2 / (j.cn * j.cn);
    }
    return r;
}

inline Constants::Constants(const latitudes::Shape& g) noexcept {
    if (!(g.e > 0 && g.e < 1)) return;
    e = g.e, e2 = g.e2, e2m = g.e2m, kc = std::sqrt(g.e2m);
    using geodesic::exact::carlson;
    const geodesic::exact::Carlson c = carlson<false>(0, e2m, 1, 0),
                                   cp = carlson<false>(0, e2, 1, 0);
    K = c.rf, E = c.rf - e2 / 3 * c.rd;
    Kp = cp.rf, Ep = cp.rf - e2m / 3 * cp.rd;
    // v0: psi = 0 on the right edge, where G(K + i v) = log((1 + d1)/(e' s1)) - e atanh(e/d1) +
    // i pi/2 falls from +inf (v = 0) to -inf (v = K'); dpsi/dv = -d1^2/(s1 c1). Newton's method
    // kept inside a shrinking bracket.
    double lo = 0, hi = Kp, v = Kp / 2;
    for (int i = 0; i < 100; ++i) {
        const Jacobi b = jacobi(v, Kp, kc, e);
        const double psi = std::log((1 + b.d) / (kc * b.s)) - e * std::atanh(e / b.d);
        if (psi > 0)
            lo = v;
        else
            hi = v;
        double next = v + psi * b.s * b.c / (b.d * b.d);
        if (!(next > lo && next < hi)) next = (lo + hi) / 2;
        const bool done = std::fabs(next - v) <= 4 * kEps * Kp;
        v = next;
        if (done || hi - lo <= 4 * kEps * Kp) break;
    }
    v0 = v;
    const Jacobi b = jacobi(v0, Kp, kc, e);
    dG90 = b.d * b.d / (b.s * b.c);     // G' = i dG90 at K + i v0
    dzeta90 = b.d * b.d / (b.c * b.c);  // zeta' = (1 - e^2)/dn^2, dn = e' c1/d1: real
    valid = true;
    eta90 = values<false, true>(*this, K, v0).zeta.im;
}

// One of the three starting points: the smallest residual wins.
struct Start {
    double u, v;
};
inline Start clamped(const Constants& k, double u, double v) noexcept {
    return {std::fmin(std::fmax(u, 0.0), k.K), std::fmin(std::fmax(v, 0.0), k.Kp)};
}
// t with t^3 = z in the quadrant arg t in [-pi/2, 0].
inline Z cube_root_in_quadrant(Z z) noexcept {
    const double r = std::cbrt(modulus(z)), th = std::atan2(z.im, z.re);  // (-pi, pi]
    double a = th / 3;                                                    // (-pi/3, pi/3]
    // Past the quadrant (a target outside the image near the branch point) the nearer edge.
    if (a > 0) a = a - 2 * kPi / 3 >= -kPi / 2 ? a - 2 * kPi / 3 : (a < kPi / 12 ? 0 : -kPi / 2);
    return {r * std::cos(a), r * std::sin(a)};
}

// Newton's method for w with F(w) = target, F = G (forward) or zeta (reverse). It stops at the
// rounding of F: a residual below 2^-52 (1 + |target|), a step below that of w, or a residual
// that no longer halves once under 1e-9 (near the branch point, where F' is small, w is no
// better defined); it returns the w of the least residual.
template <bool forward>
inline bool solve(const Constants& k, Z target, Start w, double& u, double& v) noexcept {
    const double floor = kEps * (1 + modulus(target));
    Start best = w;
    double least = INFINITY;
    for (int i = 0; i < kNewton; ++i) {
        const Values f = values<forward, !forward>(k, w.u, w.v);
        const Z r = forward ? f.G - target : f.zeta - target;
        const double residual = modulus(r);
        const double before = least;
        if (residual < least) best = w, least = residual;
        if (least <= floor || (before < 1e-9 && residual > before / 2)) break;
        const Z step = r / (forward ? f.dG : f.dzeta);
        if (!(std::isfinite(step.re) && std::isfinite(step.im))) break;
        const Start next = clamped(k, w.u - step.re, w.v - step.im);
        const double moved = std::hypot(next.u - w.u, next.v - w.v);
        w = next;
        if (moved <= 2 * kEps * (1 + std::hypot(w.u, w.v)) && least < 1e-9) {
            best = w;
            break;
        }
    }
    u = best.u, v = best.v;
    return least < 1e-9;
}

template <bool forward>
inline Start best_start(const Constants& k, Z target, const Start (&c)[3]) noexcept {
    Start best = c[0];
    double least = INFINITY;
    for (const Start& s : c) {
        const Values f = values<forward, !forward>(k, s.u, s.v);
        const double r = modulus(forward ? f.G - target : f.zeta - target);
        if (r < least) least = r, best = s;
    }
    return best;
}

// The projection in the unit of a with k0 = 1, and its inverse.
struct Mapped {
    double x, y, convergence, scale;
};
struct Unmapped {
    double lat, lon, convergence, scale;
};
inline constexpr Mapped kNothing{NAN, NAN, NAN, NAN};
inline constexpr Unmapped kNowhere{NAN, NAN, NAN, NAN};

// x, y, the convergence and the scale of geodetic latitude phi and longitude lambda from the
// central meridian (|phi| <= pi/2, |lambda| <= pi/2; NaN beyond), x and y in the unit of a.
inline Mapped forward(const Constants& k, const latitudes::Shape& g, double phi,
                      double lambda) noexcept {
    if (!k.valid || !(std::fabs(phi) <= kPi / 2) || !(std::fabs(lambda) <= kPi / 2))
        return kNothing;
    const double lam = std::fabs(lambda);
    const double sphi = std::sin(std::fabs(phi)), cphi = std::cos(phi);
    const double psi = latitudes::isometric_of(g, sphi, cphi);
    const Z target{psi, lam};
    // The sphere's w (xi', eta' of the conformal latitude), its u stretched to [0, K]; the
    // cubic at i K'; the linear map at (0, 90 degrees).
    const double sl = std::sin(lam), cl = std::cos(lam), ch = std::cosh(psi);
    const Start sphere = clamped(k, std::atan2(std::sinh(psi), cl) * (2 * k.K / kPi),
                                 std::atanh(std::fmin(sl / ch, 1.0)));
    const Z t = cube_root_in_quadrant(Z{-psi, (1 - k.e) * kPi / 2 - lam} / Z{k.e * k.e2m / 3, 0});
    const Start branch = clamped(k, t.re, k.Kp + t.im);
    // (target - i pi/2)/(i dG90)
    const Start edge = clamped(k, k.K + (lam - kPi / 2) / k.dG90, k.v0 - psi / k.dG90);
    const Start starts[3] = {sphere, branch, edge};
    double u, v;
    if (!solve<true>(k, target, best_start<true>(k, target, starts), u, v)) return kNothing;
    const Values f = values<false, true>(k, u, v);
    const double w = std::sqrt(cphi * cphi + g.e2m * sphi * sphi);  // sqrt(1 - e^2 sin^2)
    const double gamma = std::atan2(-f.slope.im, f.slope.re);
    const double scale = modulus(f.slope) * w / cphi;
    const double sign = (std::signbit(phi) ? -1 : 1) * (std::signbit(lambda) ? -1 : 1);
    return {std::copysign(f.zeta.im, lambda), std::copysign(f.zeta.re, phi), sign * gamma, scale};
}

// The geodetic latitude, the longitude from the central meridian, the convergence and the
// scale at x, y (in the unit of a, k0 = 1). NaN where no point within 90 degrees of the central
// meridian maps there (beyond the image of the meridian lambda = 90 degrees or of the equator).
inline Unmapped reverse(const Constants& k, const latitudes::Shape& g, double x,
                        double y) noexcept {
    if (!k.valid || !std::isfinite(x) || !std::isfinite(y)) return kNowhere;
    const Z target{std::fabs(y), std::fabs(x)};
    const Start sphere = clamped(k, target.re * (k.K / k.E), target.im);
    const Z t = cube_root_in_quadrant(Z{-target.re, k.Kp - k.Ep - target.im} / Z{k.e2m / 3, 0});
    const Start branch = clamped(k, t.re, k.Kp + t.im);
    const Start edge =
        clamped(k, k.K + (target.re - k.E) / k.dzeta90, k.v0 + (target.im - k.eta90) / k.dzeta90);
    const Start starts[3] = {sphere, branch, edge};
    double u, v;
    if (!solve<false>(k, target, best_start<false>(k, target, starts), u, v)) return kNowhere;
    const Values f = values<true, true>(k, u, v);
    // A residual: no preimage in the rectangle (the clamp held w on its edge).
    if (!(modulus(f.zeta - target) <= 64 * kEps * (1 + modulus(target)))) return kNowhere;
    // psi < 0: the southern sliver beyond (1 - e) 90 degrees, whose mirror image this is not.
    if (f.G.re < -1e-12) return kNowhere;
    const double psi = std::fmax(f.G.re, 0.0);
    const double tau = latitudes::geodetic_tangent(g, std::sinh(psi));
    const latitudes::SinCos sc = latitudes::of_tangent(tau);
    const double w = std::sqrt(sc.c * sc.c + g.e2m * sc.s * sc.s);
    const double gamma = std::atan2(-f.slope.im, f.slope.re);
    const double scale = modulus(f.slope) * w / sc.c;
    const double sign = (std::signbit(x) ? -1 : 1) * (std::signbit(y) ? -1 : 1);
    return {std::copysign(std::atan(tau), y), std::copysign(std::fmin(f.G.im, kPi / 2), x),
            sign * gamma, scale};
}

}  // namespace quorvane::ellipsoid::tm::exact

#endif  // QUORVANE_ELLIPSOID_KERNELS_TM_EXACT_H
