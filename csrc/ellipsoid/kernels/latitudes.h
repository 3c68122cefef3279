// The auxiliary latitudes of an ellipsoid of revolution, its radii of curvature
// and the meridian distance: scalar kernels, after
//
//   C. F. F. Karney, "On auxiliary latitudes", Survey Review (2023), arXiv:2212.05818,
//
// and, for the conformal latitude's exact form and its inverse by Newton's method,
//
//   C. F. F. Karney, "Transverse Mercator with an accuracy of a few nanometers",
//   J. Geodesy 85 (2011) 475-485.
//
// Pure functions of doubles: no interpreter, no allocation, no state beyond the
// per-ellipsoid constants (Shape) and a pair's coefficients (Conversion). Angles
// are radians; a NaN gives NaN. The latitudes are odd functions: every kernel
// works on |x| and restores the sign, so odd symmetry, 0 -> 0 and -0 -> -0 hold
// exactly, and the poles (the double nearest pi/2) map to the poles.
//
// Six kinds (Kind): geodetic phi, parametric (reduced) beta, geocentric theta,
// rectifying mu, conformal chi, authalic xi. Up to kMaxSeriesFlattening each of
// the thirty conversions is one Fourier series in the third flattening n,
//   eta = zeta + sum_{k=1..12} C[k](n) sin(2 k zeta),
// whose coefficients were derived with exact rational arithmetic
// (scripts/latitude_series.py, the table latitude_series.h) and are summed by
// Clenshaw's recurrence. Beyond it, the conversions go through the
// geodetic latitude by the exact forms:
//   tan(beta) = (1 - f) tan(phi),  tan(theta) = (1 - f)^2 tan(phi);
//   tan(chi) = sinh(psi), psi = atanh(sin(phi)) - e atanh(e sin(phi))  (Karney 2011),
//       summed as two positive terms (isometric_of);
//   sin(xi) = q(phi)/q(pi/2), q = (1 - e^2) (s/(1 - e^2 s^2) + atanh(e s)/e);
//   mu = pi/2 E(beta, -e'^2)/E(-e'^2)  (the meridian arc b E(beta, -e'^2)),
// Legendre's E of negative parameter in Carlson's symmetric form, and their
// inverses by Newton's method.
//
// Accuracy (bench/results/latitudes-accuracy.md: 1e5 latitudes per flattening, every
// pair, against a 50-digit truth): within 1.2e-16 rad up to f = 1/25 (the series), and
// within 9.1e-16 rad at f = 0.1, 0.5 and 0.9 (the exact forms).
#ifndef QUORVANE_ELLIPSOID_KERNELS_LATITUDES_H
#define QUORVANE_ELLIPSOID_KERNELS_LATITUDES_H

#include <cmath>
#include <limits>

#include "ellipsoid/geodesic/exact.h"
#include "ellipsoid/kernels/double_double.h"
#include "ellipsoid/kernels/latitude_series.h"

namespace quorvane::ellipsoid::latitudes {

enum class Kind : int { geodetic, parametric, geocentric, rectifying, conformal, authalic };
inline constexpr int kKinds = 6;

inline constexpr double kHalfPi = 1.570796326794896619231321691639751442;  // the pole
inline constexpr double kEps = std::numeric_limits<double>::epsilon();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr int kOrder = kernels::latitude_series::kOrder;

// The largest flattening the series serve. Their truncation at n^12 leaves 1.8e-19 rad
// at f = 1/50, 6.4e-18 at 1/25 and 1.4e-16 at 1/20 (scripts/latitude_series.py against
// the 40-digit closed forms), so up to 1/25 they are within half a unit of the last
// place of rounding, where the exact forms, two steps through the geodetic tangent,
// are within two (4.5e-16 rad at f = 1/50; tests/test_latitudes.py measures both sides
// of the switch). Beyond it the exact forms take over.
inline constexpr double kMaxSeriesFlattening = 1.0 / 25;

// The constants of an ellipsoid (equatorial radius a, flattening 0 <= f < 1).
struct Shape {
    double a, f;
    double n;        // third flattening f/(2 - f)
    double one_f;    // 1 - f = b/a
    double e2m;      // 1 - e^2 = (1 - f)^2
    double e2;       // e^2 = f (2 - f)
    double e;        // eccentricity
    double ome;      // 1 - e
    double ep2;      // e'^2 = e^2/(1 - e^2)
    double eatanhe;  // e atanh(e): psi's term at the pole
    double qp;       // q(pi/2)
    double ep;       // E(-e'^2), the complete integral: the quarter meridian over b
    double rectifying_radius, authalic_radius;
    double authalic_mid, rectifying_mid;  // xi at phi = pi/4, mu at beta = pi/4
    bool series;

    Shape(double a_, double f_) noexcept;
};

// sqrt(1 + x^2) E(phi, -k2) and friends: Legendre's incomplete integral of the
// second kind of negative parameter -k2, E = integral_0^phi sqrt(1 + k2 sin^2 t) dt,
// in Carlson's form s RF(c^2, 1 + k2 s^2, 1) + k2/3 s^3 RD(c^2, 1 + k2 s^2, 1): a
// sum of positive terms.
inline double ellipe_negative(double s, double c, double k2) noexcept {
    const geodesic::exact::Carlson r = geodesic::exact::carlson<false>(c * c, 1 + k2 * s * s, 1, 0);
    return s * r.rf + k2 / 3 * s * s * s * r.rd;
}

// -- The series -------------------------------------------------------------------

// zeta + sum_{k < terms} c[k] sin(2 (k + 1) zeta) by Clenshaw's recurrence, for zeta >= 0.
inline double clenshaw(const double* c, int terms, double zeta) noexcept {
    const double s = std::sin(zeta), co = std::cos(zeta);
    const double s2 = 2 * s * co, x = 2 * (co - s) * (co + s);  // sin 2z, 2 cos 2z
    double b1 = 0, b2 = 0;
    for (int k = terms - 1; k >= 0; --k) {
        const double b0 = x * b1 - b2 + c[k];
        b2 = b1;
        b1 = b0;
    }
    return zeta + b1 * s2;
}

// -- The exact forms, through the geodetic latitude ------------------------------------
// Each takes and gives a latitude in [0, pi/2) (the pole and the sign are handled by
// the caller).

// sin and cos of the angle whose tangent is t >= 0 (each to a relative unit or two).
struct SinCos {
    double s, c;
};
inline SinCos of_tangent(double t) noexcept {
    if (t > 1e150) return {1, 1 / t};  // t^2 would overflow; 1 + t^2 is t^2
    const double h = std::sqrt(1 + t * t);
    return {t / h, 1 / h};
}

// atanh(e s) of s = sin(phi) >= 0, c = cos(phi). Where e rounds to 1 (f within 1e-16 of
// 1) and s to 1, e s would be 1: there it is log((1 + e s)/(1 - e s))/2 with 1 - e s =
// c^2/(1 + s) + (1 - e) s.
inline double atanh_es(const Shape& g, double s, double c) noexcept {
    if (g.e < 1) return std::atanh(g.e * s);
    return 0.5 * std::log((1 + s) / (c * c / (1 + s) + g.ome * s));
}

// The isometric latitude psi = atanh(s) - e atanh(e s) of s = sin(phi) >= 0 and
// c = cos(phi), as a sum of two positive terms,
//   psi = atanh(s (1 - e)/(1 - e s^2)) + (1 - e) atanh(e s),
// with 1 - e s^2 = c^2 + (1 - e) s^2: the difference of atanh(s) and e atanh(e s), which
// cancel to 1 - e^2 of their digits near the equator, is never formed. Where the first
// argument y nears 1, atanh(y) = log((1 + y)/(1 - y))/2 with 1 - y = c^2 (1 + e s)/((1 +
// s)(1 - e s^2)) and 1 + y = (1 - e s^2 + s (1 - e))/(1 - e s^2).
inline double isometric_of(const Shape& g, double s, double c) noexcept {
    const double d = c * c + g.ome * s * s;  // 1 - e s^2
    const double y = s * g.ome / d;
    const double head = y < 0.5
                            ? std::atanh(y)
                            : 0.5 * std::log((d + s * g.ome) * (1 + s) / (c * c * (1 + g.e * s)));
    return head + g.ome * atanh_es(g, s, c);
}

// tan(chi) = sinh(psi) of tau = tan(phi) >= 0 (Karney 2011).
inline double conformal_tangent(const Shape& g, double tau) noexcept {
    const SinCos p = of_tangent(tau);
    return std::sinh(isometric_of(g, p.s, p.c));
}

// tan(phi) of tan(chi) by Newton's method (Karney 2011): the slope of tan(chi) in
// tan(phi) is (1 - e^2) sqrt(1 + tau'^2) sqrt(1 + tau^2)/(1 + (1 - e^2) tau^2).
inline double geodetic_tangent(const Shape& g, double taup) noexcept {
    double tau = taup > 1 ? taup * std::exp(g.eatanhe) : taup / g.e2m;
    for (int i = 0; i < 60; ++i) {
        const double t = conformal_tangent(g, tau);
        const double slope =
            g.e2m * std::sqrt(1 + t * t) * std::sqrt(1 + tau * tau) / (1 + g.e2m * tau * tau);
        const double step = (taup - t) / slope;
        tau += step;
        if (!(std::fabs(step) > kEps * tau)) break;  // also stops on a NaN
    }
    return tau;
}

// q(phi) and q(pi/2) - q(phi) from s = sin(phi), c = cos(phi); the latter with
// 1 - s = c^2/(1 + s), so that both keep their digits at the pole:
//   q_p - q = (1 - s)(1 + e^2 s)/(1 - e^2 s^2) + (1 - e^2) atanh(e (1 - s)/(1 - e^2 s))/e.
struct Authalic {
    double q, rest;
};
inline Authalic authalic_q(const Shape& g, double s, double c) noexcept {
    const double w2 = c * c + g.e2m * s * s;  // 1 - e^2 s^2
    const double oms = c * c / (1 + s);       // 1 - s
    const double q = g.e2m * (s / w2 + atanh_es(g, s, c) / g.e);
    const double rest =
        oms * (1 + g.e2 * s) / w2 + g.e2m * std::atanh(g.e * oms / (oms + g.e2m * s)) / g.e;
    return {q, rest};
}

inline Shape::Shape(double a_, double f_) noexcept : a(a_), f(f_) {
    n = f / (2 - f);
    one_f = 1 - f;
    e2m = one_f * one_f;
    e2 = f * (2 - f);
    e = std::sqrt(e2);
    ome = e2m / (1 + e);
    ep2 = e2 / e2m;
    // Where e rounds to 1 (f within 1e-16 of 1), atanh(e) = log((1 + e)/(1 - e))/2 with
    // 1 - e = (1 - e^2)/(1 + e), not infinity.
    const double atanhe = e < 1 ? std::atanh(e) : 0.5 * std::log((1 + e) / ome);
    eatanhe = e * atanhe;
    series = f <= kMaxSeriesFlattening;
    // q(pi/2) = 1 + (1 - e^2) atanh(e)/e; the series 1 + sum_m e^(2m)/(2m+1) (times
    // 1 - e^2) keeps its digits for a small e.
    if (e2 < 0.25) {
        double sum = 0, power = 1;
        for (int m = 0; m < 80 && power > 1e-20; ++m, power *= e2) sum += power / (2 * m + 1);
        qp = 1 + e2m * sum;
    } else {
        qp = 1 + e2m * atanhe / e;
    }
    authalic_radius = a * std::sqrt(qp / 2);
    // The rectifying radius a/(1 + n) sum_j binomial(1/2, j)^2 n^(2j) (a sum of
    // positive terms that converges for every n < 1; at n = 0.82 in some 110 terms).
    {
        double sum = 1, b = 1, n2 = n * n, power = 1;
        for (int j = 0; j < 400; ++j) {
            b *= (0.5 - j) / (j + 1);
            power *= n2;
            const double term = b * b * power;
            sum += term;
            if (term < 1e-18 * sum) break;
        }
        rectifying_radius = a / (1 + n) * sum;
    }
    ep = ellipe_negative(1, 0, ep2);
    // The authalic latitude at phi = pi/4 and the rectifying one at beta = pi/4: beyond
    // them the inverses solve for the distance of phi (beta) from the pole.
    const double h = std::sqrt(0.5);
    const Authalic q = authalic_q(*this, h, h);
    authalic_mid = e > 0 ? std::atan2(q.q, std::sqrt(q.rest * (qp + q.q))) : kHalfPi / 2;
    rectifying_mid = kHalfPi * (ellipe_negative(h, h, ep2) / ep);
}

// Newton's method for an increasing function on [lo, hi] from x, with a step that
// would leave the bracket replaced by bisection; value(x) gives the residual (of the
// sign of x - root) and its slope.
template <class Residual>
inline double bracketed_newton(Residual value, double x, double lo, double hi) noexcept {
    for (int i = 0; i < 100; ++i) {
        double slope;
        const double r = value(x, slope);
        if (r == 0) return x;
        if (r > 0)
            hi = x;
        else
            lo = x;
        double next = x - r / slope;
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        const double step = next - x;
        x = next;
        if (!(std::fabs(step) > kEps * x) || hi - lo <= kEps * x) break;
    }
    return x;
}

// The geodetic latitude passes between the exact forms as its tangent tau: the
// relative error of tau is that of both phi and pi/2 - phi, so that a conversion
// near a pole keeps the digits of the latitude's distance to the pole, which an
// angle would round to a unit of pi/2 (and the next form would amplify, by up to
// 1/(1 - f)^2 for the geocentric latitude).

// E(u, m) - the arc of the meridian from the pole, over b: integral_0^u sqrt(1 + e'^2
// cos^2 t) dt = sqrt(1 + e'^2) E(u, m), m = e'^2/(1 + e'^2), in Carlson's form
// s RF(c^2, 1 - m s^2, 1) - m/3 s^3 RD(c^2, 1 - m s^2, 1), its terms apart by a
// factor of at least 3/m for u <= pi/4.
inline double ellipe_from_pole(const Shape& g, double s, double c) noexcept {
    const double m = g.ep2 / (1 + g.ep2), d = c * c + s * s / (1 + g.ep2);  // 1 - m s^2
    const geodesic::exact::Carlson r = geodesic::exact::carlson<false>(c * c, d, 1, 0);
    return std::sqrt(1 + g.ep2) * (s * r.rf - m / 3 * s * s * s * r.rd);
}

// The latitude of kind `to` whose geodetic latitude has the tangent tau >= 0.
inline double from_geodetic(const Shape& g, Kind to, double tau) noexcept {
    switch (to) {
        case Kind::geodetic: return std::atan(tau);
        case Kind::parametric: return std::atan(g.one_f * tau);
        case Kind::geocentric: return std::atan(g.e2m * tau);
        case Kind::conformal: return std::atan(conformal_tangent(g, tau));
        case Kind::authalic: {
            const SinCos p = of_tangent(tau);
            const Authalic q = authalic_q(g, p.s, p.c);
            // sin(xi) = q/q_p, cos(xi) = sqrt((q_p - q)(q_p + q))/q_p.
            return std::atan2(q.q, std::sqrt(q.rest * (g.qp + q.q)));
        }
        case Kind::rectifying: {
            const SinCos b = of_tangent(g.one_f * tau);  // the parametric latitude
            if (b.s <= b.c) return kHalfPi * (ellipe_negative(b.s, b.c, g.ep2) / g.ep);
            // Near the pole, pi/2 - mu from the arc to the pole (its digits, not pi/2's).
            return kHalfPi - kHalfPi * (ellipe_from_pole(g, b.c, b.s) / g.ep);
        }
    }
    return kNaN;
}

// The tangent of the geodetic latitude whose latitude of kind `from` is x in [0, pi/2).
inline double to_geodetic(const Shape& g, Kind from, double x) noexcept {
    switch (from) {
        case Kind::geodetic: return std::tan(x);
        case Kind::parametric: return std::tan(x) / g.one_f;
        case Kind::geocentric: return std::tan(x) / g.e2m;
        case Kind::conformal: return geodetic_tangent(g, std::tan(x));
        case Kind::authalic: {
            // q(phi) = q_p sin(xi). Two choices, each by its own measure: the unknown is phi up
            // to pi/4 and u = pi/2 - phi beyond (so that tan(phi) keeps the digits of u), and
            // the residual q - q_p sin(xi) is formed as it is where q is the smaller part of q_p
            // (xi < pi/6) and else as q_p cos^2(xi)/(1 + sin(xi)) - (q_p - q), from the parts
            // that keep their digits; dq/dphi = 2 (1 - e^2) cos(phi)/(1 - e^2 sin^2(phi))^2.
            const double sx = std::sin(x), cx = std::cos(x);
            const bool rest = sx > 0.5, complement = x > g.authalic_mid;
            const double target = rest ? g.qp * cx * cx / (1 + sx) : g.qp * sx;
            const double sign = complement ? -1 : 1;  // the residual increases with u
            const auto residual = [&](double u, double& slope) noexcept {
                const double su = std::sin(u), cu = std::cos(u);
                const double s = complement ? cu : su, c = complement ? su : cu;
                const double w2 = c * c + g.e2m * s * s;
                slope = 2 * g.e2m * c / (w2 * w2);
                const Authalic q = authalic_q(g, s, c);
                return sign * (rest ? target - q.rest : q.q - target);
            };
            const double start = std::fmin(complement ? kHalfPi - x : x, kHalfPi / 2);
            const double u = bracketed_newton(residual, start, 0, kHalfPi);
            return complement ? 1 / std::tan(u) : std::tan(u);
        }
        case Kind::rectifying: {
            // E(beta, -e'^2) = E_p mu/(pi/2), of slope sqrt(1 + e'^2 sin^2(beta)): the unknown
            // is beta up to pi/4 and u = pi/2 - beta beyond, and the residual is formed from E
            // where it is the smaller part of E_p (mu < pi/4), else from the arc to the pole,
            // E_p (pi/2 - mu)/(pi/2) - (E_p - E).
            const bool rest = x > kHalfPi / 2, complement = x > g.rectifying_mid;
            const double target = g.ep * ((rest ? kHalfPi - x : x) / kHalfPi);
            const double sign = complement ? -1 : 1;
            const auto residual = [&](double u, double& slope) noexcept {
                const double su = std::sin(u), cu = std::cos(u);
                const double s = complement ? cu : su, c = complement ? su : cu;
                slope = std::sqrt(1 + g.ep2 * s * s);
                return sign * (rest ? target - ellipe_from_pole(g, c, s)
                                    : ellipe_negative(s, c, g.ep2) - target);
            };
            const double start = std::fmin(complement ? kHalfPi - x : x, kHalfPi / 2);
            const double u = bracketed_newton(residual, start, 0, kHalfPi);
            return (complement ? 1 / std::tan(u) : std::tan(u)) / g.one_f;
        }
    }
    return kNaN;
}

// -- One conversion, for many latitudes --------------------------------------------------

class Conversion {
public:
    Conversion(const Shape& g, Kind from, Kind to) noexcept : g_(g), from_(from), to_(to) {
        if (!g.series || from == to) return;
        const auto& table =
            kernels::latitude_series::kCoefficients[static_cast<int>(from)][static_cast<int>(to)];
        for (int k = 0; k < kOrder; ++k) {
            double c = 0;
            for (int j = kOrder; j >= 0; --j) c = c * g.n + table[k][j];
            c_[k] = c;
        }
        // The terms that matter: those after the last coefficient above 2^-70 add less than
        // 1e-20 (relative, for a small zeta) and are left out; on WGS84 eight of twelve remain.
        for (int k = 0; k < kOrder; ++k)
            if (std::fabs(c_[k]) >= 0x1p-70) terms_ = k + 1;
    }

    // The latitude of kind `to` whose latitude of kind `from` is x (|x| <= pi/2).
    double operator()(double x) const noexcept {
        const double z = std::fabs(x);
        if (!(z < kHalfPi)) return z == kHalfPi || z != z ? x : kNaN;  // a pole, a NaN
        if (from_ == to_) return x;
        const double y =
            g_.series ? clenshaw(c_, terms_, z) : from_geodetic(g_, to_, to_geodetic(g_, from_, z));
        return std::copysign(y, x);
    }

    // The series' coefficients C[1..terms()] (as c[0..terms())), for the vectorised loops;
    // meaningful where the shape's series serve.
    const double* coefficients() const noexcept { return c_; }
    int terms() const noexcept { return terms_; }

private:
    const Shape& g_;
    Kind from_, to_;
    double c_[kOrder] = {};
    int terms_ = 0;
};

// -- The isometric latitude ---------------------------------------------------------------

// psi = asinh(tan(chi)) of the geodetic latitude phi: +-inf at the poles.
inline double isometric(const Shape& g, double phi) noexcept {
    const double z = std::fabs(phi);
    if (!(z < kHalfPi)) return z == kHalfPi ? std::copysign(kInf, phi) : kNaN;
    // Where the series serve, asinh(tan(phi)) - e atanh(e sin(phi)) cancels at most 1/(1 -
    // e^2) = 1.09 of its digits and rounds less than the sum of two terms (3.4e-16 against
    // 5.5e-16 relative on WGS84); beyond, the sum keeps the digits the difference would lose.
    if (g.series)
        return std::copysign(std::asinh(std::tan(z)) - g.e * atanh_es(g, std::sin(z), std::cos(z)),
                             phi);
    return std::copysign(isometric_of(g, std::sin(z), std::cos(z)), phi);
}

// The geodetic latitude of the isometric latitude psi (any real; +-inf: the poles).
inline double from_isometric(const Shape& g, double psi) noexcept {
    const double z = std::fabs(psi);
    if (z != z) return psi;
    // Beyond psi = 345, tan(chi) > 1e149 and tan(phi) is larger still: phi is the pole.
    if (z > 345) return std::copysign(kHalfPi, psi);
    return std::copysign(std::atan(geodetic_tangent(g, std::sinh(z))), psi);
}

// -- Radii and the meridian ---------------------------------------------------------------

struct Radii {
    double meridional, prime_vertical, gaussian, geocentric;
};

// The radii where 1 - e^2 is no longer near 1 (f > kMaxSeriesFlattening): w^2 = cos^2 +
// (1 - e^2) sin^2 then carries the rounding of sin and cos at full weight, which the -3/2
// power of M amplifies (6.8e-16 relative at f = 0.9 in doubles; 1.1e-16 so, at f = 0.1, 0.5
// and 0.9, bench/results/latitudes-accuracy.md). Everything here is a
// double-double, from the sine and cosine of phi on (double_double::sin_cos), each radius
// rounded once: M = a (1 - f)^2/w^3, N = a/w, sqrt(M N) = a (1 - f)/w^2 and the distance
// from the centre a sqrt((cos^2 + (1 - e^2)^2 sin^2)/w^2). 1 - f is exact as a sum.
inline Radii radii_wide(const Shape& g, double phi) noexcept {
    namespace dd = double_double;
    const dd::WideSinCos t = dd::sin_cos(phi);
    const dd::Wide om = dd::two_sum(1.0, -g.f), e2m = dd::times(om, om);
    const dd::Wide s2 = dd::times(t.s, t.s), c2 = dd::times(t.c, t.c);
    const dd::Wide w2 = dd::add(c2, dd::times(s2, e2m)), w = dd::square_root(w2);
    const dd::Wide one{1.0, 0.0};
    const dd::Wide r2 = dd::divide(dd::add(c2, dd::times(s2, dd::times(e2m, e2m))), w2);
    // ratio a, rounded once; a product that overflows is the plain one.
    const auto scaled = [&](dd::Wide ratio) noexcept {
        const double plain = ratio.hi * g.a;
        return std::isfinite(plain) ? dd::times(ratio, g.a).hi : plain;
    };
    return {
        scaled(dd::divide(e2m, dd::times(w2, w))),
        scaled(dd::divide(one, w)),
        scaled(dd::divide(om, w2)),
        scaled(dd::square_root(r2)),
    };
}

// With w^2 = 1 - e^2 sin^2(phi) = cos^2 + (1 - e^2) sin^2: N = a/w, M = a (1 - e^2)/w^3,
// sqrt(M N) = b/w^2, and the distance of the surface point (N cos(phi), (1 - e^2) N
// sin(phi)) from the centre.
inline Radii radii(const Shape& g, double phi) noexcept {
    if (!(std::fabs(phi) <= kHalfPi)) return {kNaN, kNaN, kNaN, kNaN};
    if (!g.series) return radii_wide(g, phi);
    const double s = std::sin(phi), c = std::cos(phi);
    // 1 - e^2 s^2 loses nothing to its small second term; where that term nears 1, the sum
    // of two positive terms does not cancel.
    const double e2s2 = g.e2 * s * s;
    const double w2 = e2s2 < 0.5 ? 1 - e2s2 : c * c + g.e2m * s * s, w = std::sqrt(w2);
    const double N = g.a / w;
    // M = a (1 - f)^2 / w^3 in double-double, rounded once: 1 - f and, while e^2 s^2 is
    // small, w^2 = 1 - e^2 s^2 are exact sums there (the plain quotient's five roundings
    // reach 3.9e-16 relative on WGS84).
    namespace dd = double_double;
    const dd::Wide om = dd::two_sum(1.0, -g.f);
    const dd::Wide w2_wide = e2s2 < 0.5 ? dd::two_sum(1.0, -e2s2) : dd::Wide{w2, 0.0};
    const double meridional =
        dd::divide(dd::times(dd::times(om, om), g.a), dd::times(w2_wide, dd::square_root(w2_wide)))
            .hi;
    // (x^2 + z^2)/N^2 = cos^2 + (1 - e^2)^2 sin^2 = 1 - e^2 (2 - e^2) sin^2, the same way.
    const double k2s2 = g.e2 * (1 + g.e2m) * s * s;
    return {
        meridional,
        N,
        g.a * g.one_f / w2,
        // a sqrt of the ratio: one rounding fewer than N times a root (1.9e-16 relative on
        // WGS84 against 2.7e-16).
        g.a * std::sqrt((k2s2 < 0.5 ? 1 - k2s2 : c * c + g.e2m * g.e2m * s * s) / w2),
    };
}

// The distance along the meridian from the equator to phi: R mu, R the rectifying radius.
inline double meridian_distance(const Shape& g, const Conversion& to_mu, double phi) noexcept {
    return g.rectifying_radius * to_mu(phi);
}

// The geodetic latitude at distance s along the meridian from the equator; beyond the
// quarter meridian NaN (a rounding past it, up to two units, is the pole).
inline double latitude_at_meridian_distance(const Shape& g, const Conversion& from_mu,
                                            double s) noexcept {
    // The quarter meridian as meridian_distance gives it is the pole.
    if (std::fabs(s) == g.rectifying_radius * kHalfPi) return std::copysign(kHalfPi, s);
    double mu = s / g.rectifying_radius;
    if (std::fabs(mu) > kHalfPi) {
        if (!(std::fabs(mu) <= kHalfPi * (1 + 2 * kEps))) return kNaN;
        mu = std::copysign(kHalfPi, mu);
    }
    return from_mu(mu);
}

}  // namespace quorvane::ellipsoid::latitudes

#endif  // QUORVANE_ELLIPSOID_KERNELS_LATITUDES_H
