// The geodesic integrals evaluated exactly, for any flattening 0 <= f < 1: the
// path taken above 1/50, where the series in the third flattening stop converging
// fast enough (kernels.h, kMaxFlattening).
//
// Distance, reduced length and longitude are elliptic integrals (C. F. F. Karney,
// "Geodesics on an arbitrary ellipsoid of revolution", arXiv:1102.1215, 2014). On
// the auxiliary sphere, with k^2 = e'^2 cos^2(alpha0), n = cos^2(alpha0) and
// D(t) = sqrt(1 + k^2 sin^2 t):
//   s / b      = E(sigma)   = integral_0^sigma D dt
//   J(sigma)   = E - F      = integral_0^sigma (D - 1/D) dt   (the reduced length's)
//   lambda     = (1 - f) sin(alpha0) integral_0^sigma D / (1 - n sin^2 t) dt
//              = sin(alpha0) ((1 - f) F + n / (3 (1 - f)) s^3 RJ(c^2, D^2, 1, 1 - n s^2)),
// since dlambda/dsigma = sin(alpha0) w / cos^2(beta), w = (1 - f) D and
// cos^2(beta) = 1 - n sin^2(sigma); with D^2 = (1 - n s^2) + (n + k^2) s^2 and
// n + k^2 = n / (1 - f)^2 the integrand is 1/D + n/(1 - f)^2 s^2 / ((1 - n s^2) D),
// a sum of positive terms (the form Pi/(1 - f) - (1 - f) e'^2 F loses 1/(1 - f)^2 of
// its digits). F, E and Pi are Legendre's integrals of the first, second and third
// kind with parameter -k^2 (Pi's characteristic n), here in Carlson's symmetric
// form, |phi| <= pi/2, s = sin(phi), c = cos(phi):
//   F = s RF(c^2, D^2, 1),  E - F = k^2/3 s^3 RD(c^2, D^2, 1),
//   (Pi - F)/n = integral s^2 / ((1 - n s^2) D) = s^3/3 RJ(c^2, D^2, 1, 1 - n s^2),
// the R functions by the duplication algorithm of B. C. Carlson, "Numerical
// computation of real or complex elliptic integrals", Numer. Algorithms 10 (1995)
// 13-26. Each integral is a secular term (its rate 2/pi times the complete integral)
// plus a periodic part of period pi, the shape the series give them: the kernels
// take differences of periodic parts and sigma12, as they do with the series. The
// inverse problem takes lambda12 as omega12 - (omega - lambda)12; the direct one as
// lambda's own rate times sigma12 plus its periodic parts (Periodic::l), with the rates
// in double-double (secular_rates): past f = 1/2 the rate of omega - lambda is close
// to 1, and over a long line the difference would lose 1/(1 - f) of its digits.
//
// The area integral I4 (Karney 2013, eqs. 58-59) is not elliptic. Written in
// u = cos(sigma) it is
//   I4(sigma) = 1/2 integral_0^cos(sigma) G(k^2 (1 - u^2)) du,
//   G(y) = (t(e'^2) - t(y)) / (e'^2 - y),  t(y) = y + sqrt(1 + y) asinh(sqrt y)/sqrt y,
// analytic on [-1, 1] but with branch points at u^2 = 1 + 1/k^2, just outside it
// for a large k; the double-exponential (tanh-sinh) rule integrates it to double
// precision with a node count that grows only with log k.
#ifndef QUORVANE_ELLIPSOID_GEODESIC_EXACT_H
#define QUORVANE_ELLIPSOID_GEODESIC_EXACT_H

#include <cmath>
#include <initializer_list>

#include "ellipsoid/kernels/double_double.h"

namespace quorvane::geodesic::exact {

using double_double::Wide;

inline constexpr double kPi = 3.141592653589793238462643383279502884;

// RC(1, 1 + e) = atan(sqrt e)/sqrt e, or atanh(sqrt(-e))/sqrt(-e) for e < 0 (e > -1).
inline double rc1(double e) noexcept {
    if (std::fabs(e) < 1e-3) {  // the series to e^5: the rest is below 1e-19
        return 1 + e * (-1.0 / 3 + e * (1.0 / 5 + e * (-1.0 / 7 + e * (1.0 / 9 - e / 11))));
    }
    if (e > 0) {
        const double r = std::sqrt(e);
        return std::atan(r) / r;
    }
    const double r = std::sqrt(-e);
    return std::atanh(r) / r;
}

// The series that close Carlson's duplication for RD and RJ (Carlson 1995, eq. 2.19):
// 1 - 3E2/14 + E3/6 + 9E2^2/88 - 3E4/22 - 9E2E3/52 + 3E5/26.
inline double rdj_series(double E2, double E3, double E4, double E5) noexcept {
    return 1 - 3 * E2 / 14 + E3 / 6 + 9 * E2 * E2 / 88 - 3 * E4 / 22 - 9 * E2 * E3 / 52 +
           3 * E5 / 26;
}

// RF(x, y, z), RD(x, y, z) and, when `with_rj`, RJ(x, y, z, p), for x, y >= 0 (at most
// one zero), z, p > 0: one duplication sequence serves all three, stopped when each
// has reached double precision (Carlson's bound 4^-m Q < |A_m| for a relative
// error of 2^-53).
struct Carlson {
    double rf, rd, rj;
};
template <bool with_rj>
inline Carlson carlson(double x, double y, double z, double p) noexcept {
    // (3 r)^(-1/6) and (r/4)^(-1/6) for r = 2^-53.
    constexpr double kQf = 379.82022430228585, kQdj = 574.7005687343988;
    const double x0 = x, y0 = y, z0 = z;
    const double af0 = (x + y + z) / 3, ad0 = (x + y + 3 * z) / 5;
    const double aj0 = with_rj ? (x + y + z + 2 * p) / 5 : ad0;
    const double qf =
        kQf * std::fmax(std::fabs(af0 - x), std::fmax(std::fabs(af0 - y), std::fabs(af0 - z)));
    const double qd =
        kQdj * std::fmax(std::fabs(ad0 - x), std::fmax(std::fabs(ad0 - y), std::fabs(ad0 - z)));
    const double qj = with_rj ? kQdj * std::fmax(std::fmax(std::fabs(aj0 - x), std::fabs(aj0 - y)),
                                                 std::fmax(std::fabs(aj0 - z), std::fabs(aj0 - p)))
                              : 0;
    const double delta = with_rj ? (p - x) * (p - y) * (p - z) : 0;
    double af = af0, ad = ad0, aj = aj0, fac = 1;  // fac = 4^-m
    double sum_d = 0, sum_j = 0;
    for (int m = 0; m < 60; ++m) {  // 4^-60 Q is below any A: the bound is never met
        if (fac * qf < std::fabs(af) && fac * qd < std::fabs(ad) && fac * qj < std::fabs(aj)) break;
        const double sx = std::sqrt(x), sy = std::sqrt(y), sz = std::sqrt(z);
        const double lam = sx * sy + sy * sz + sz * sx;
        sum_d += fac / (sz * (z + lam));
        if constexpr (with_rj) {
            const double sp = std::sqrt(p);
            const double d = (sp + sx) * (sp + sy) * (sp + sz);
            sum_j += fac * rc1(fac * fac * fac * delta / (d * d)) / d;
            p = (p + lam) / 4;
            aj = (aj + lam) / 4;
        }
        x = (x + lam) / 4, y = (y + lam) / 4, z = (z + lam) / 4;
        af = (af + lam) / 4, ad = (ad + lam) / 4;
        fac /= 4;
    }
    Carlson r{};
    {  // RF (Carlson 1995, eq. 2.2 ff.)
        const double X = fac * (af0 - x0) / af, Y = fac * (af0 - y0) / af, Z = -(X + Y);
        const double E2 = X * Y - Z * Z, E3 = X * Y * Z;
        r.rf = (1 - E2 / 10 + E3 / 14 + E2 * E2 / 24 - 3 * E2 * E3 / 44) / std::sqrt(af);
    }
    {  // RD
        const double X = fac * (ad0 - x0) / ad, Y = fac * (ad0 - y0) / ad, Z = -(X + Y) / 3;
        const double XY = X * Y, Z2 = Z * Z;
        const double E2 = XY - 6 * Z2, E3 = (3 * XY - 8 * Z2) * Z, E4 = 3 * (XY - Z2) * Z2,
                     E5 = XY * Z2 * Z;
        r.rd = fac * rdj_series(E2, E3, E4, E5) / (ad * std::sqrt(ad)) + 3 * sum_d;
    }
    if constexpr (with_rj) {
        const double X = fac * (aj0 - x0) / aj, Y = fac * (aj0 - y0) / aj,
                     Z = fac * (aj0 - z0) / aj, P = -(X + Y + Z) / 2;
        const double XYZ = X * Y * Z, P2 = P * P;
        const double E2 = X * Y + X * Z + Y * Z - 3 * P2, E3 = XYZ + 2 * E2 * P + 4 * P2 * P,
                     E4 = (2 * XYZ + E2 * P + 3 * P2 * P) * P, E5 = XYZ * P2;
        r.rj = fac * rdj_series(E2, E3, E4, E5) / (aj * std::sqrt(aj)) + 6 * sum_j;
    }
    return r;
}

// Below this |sin(alpha0)| a geodesic is taken as meridional for its longitude:
// omega - lambda, which is O(sin(alpha0)), is then dropped, and Pi (which grows as
// 1/sin(alpha0) over a pole) is never formed.
inline constexpr double kMeridional = 1e-100;

// The integrals of one geodesic, given sin and cos of its equatorial azimuth
// alpha0 (calp0 >= 0) on an ellipsoid of 1 - f = f1 and second eccentricity
// squared ep2. Each is rate * sigma + a periodic part; `at` gives the periodic
// parts at sigma (as its sine and cosine).
struct Integrals {
    double k2, salp0, n, f1;
    double e_rate;  // distance: 2/pi E(pi/2)
    double j_rate;  // reduced length: 2/pi (E - F)(pi/2)
    double c_rate;  // omega - lambda: 2/pi of its value at pi/2
    double l_rate;  // lambda itself: 2/pi of its value at pi/2 (sign of sin(alpha0))
    bool longitude;

    struct Periodic {
        double e, j, c, l;
        double sig;  // sigma reduced to [-pi/2, pi/2], where the periodic parts are taken
    };

    Integrals() noexcept = default;
    Integrals(double f1_, double ep2_, double salp0_, double calp0, bool with_longitude) noexcept
        : k2(ep2_ * calp0 * calp0),
          salp0(salp0_),
          n(calp0 * calp0),
          f1(f1_),
          c_rate(0),
          l_rate(0),
          longitude(with_longitude && std::fabs(salp0_) >= kMeridional) {
        // Complete integrals: phi = pi/2, s = 1, c = 0, 1 - n = sin^2(alpha0).
        const double y = 1 + k2;
        if (longitude) {
            const Carlson r = carlson<true>(0, y, 1, salp0 * salp0);
            complete(r);
            const double lam = salp0 * (f1 * r.rf + n / (3 * f1) * r.rj);
            c_rate = (std::copysign(kPi / 2, salp0) - lam) * (2 / kPi);
            l_rate = lam * (2 / kPi);
        } else {
            complete(carlson<false>(0, y, 1, 0));
        }
    }

    void complete(const Carlson& r) noexcept {
        const double j = k2 / 3 * r.rd;
        e_rate = (r.rf + j) * (2 / kPi);
        j_rate = j * (2 / kPi);
    }

    // sqrt(1 + k^2 sin^2 sigma)
    double dn(double ssig) const noexcept { return std::sqrt(1 + k2 * ssig * ssig); }

    // The periodic parts at sigma; `with_longitude` false leaves c at 0 (and
    // so does a meridional geodesic).
    template <bool with_longitude = true>
    Periodic at(double s, double c) const noexcept {
        if (c < 0) s = -s, c = -c;            // sigma - pi or sigma + pi: the same periodic parts
        const double sig = std::atan2(s, c);  // in [-pi/2, pi/2]
        const double x = c * c, y = 1 + k2 * s * s, s3 = s * s * s;
        Periodic p{};
        p.sig = sig;
        double rf, rd, rj = 0;
        const bool lon = with_longitude && longitude;
        if (lon) {
            // 1 - n s^2 = cos^2(beta), without cancellation
            const Carlson r = carlson<true>(x, y, 1, x + salp0 * salp0 * s * s);
            rf = r.rf, rd = r.rd, rj = r.rj;
        } else {
            const Carlson r = carlson<false>(x, y, 1, 0);
            rf = r.rf, rd = r.rd;
        }
        const double F = s * rf, J = k2 / 3 * s3 * rd;
        p.e = (F + J) - e_rate * sig;
        p.j = J - j_rate * sig;
        if (lon) {
            const double lam = salp0 * (f1 * F + n / (3 * f1) * s3 * rj);
            p.c = (std::atan2(salp0 * s, c) - lam) - c_rate * sig;
            p.l = lam - l_rate * sig;
        }
        return p;
    }
};

// The secular rates of one geodesic, 2/pi times the complete integrals of distance and
// longitude, as double-doubles: a long line multiplies them by sigma12 (some 1e3 rad over
// 1e8 m at f = 0.99), and Carlson's duplication leaves them a few units of 2^-53 off, which
// would move its end by 40 nm. By Gauss's arithmetic-geometric mean (DLMF 19.8(i): K, E
// and Pi of modulus^2 m = -k^2 and characteristic alpha^2 = n = cos^2(alpha0)), with
// a0 = 1, g0 = sqrt(1 + k^2), M = lim a_j = lim g_j, c_j = (a_(j-1) - g_(j-1)) / 2,
// p0 = sqrt(1 - n) = |sin(alpha0)|, p_(j+1) = (p_j^2 + a_j g_j) / (2 p_j),
// eps_j = (p_j^2 - a_j g_j) / (p_j^2 + a_j g_j), Q0 = 1, Q_(j+1) = Q_j eps_j / 2:
//   2/pi E(-k^2) = (1 + k^2/2 - sum_(j>=1) 2^(j-1) c_j^2) / M,
//   2/pi K(-k^2) = 1 / M,  2/pi Pi(n, -k^2) = (1 + n / (2 (1 - n)) sum_(j>=0) Q_j) / M,
// and the longitude's rate 2/pi (1 - f) sin(alpha0) ((1 + e'^2) Pi - e'^2 K), since
// D / (1 - n s^2) = ((1 + e'^2) / (1 - n s^2) - e'^2) / D with k^2 = e'^2 n:
//   l_rate = ((1 - f) sin(alpha0) + n sum Q_j / (2 (1 - f) sin(alpha0))) / M,
// a sum of two terms of sin(alpha0)'s sign. sum Q_j is O(sin(alpha0)) from terms of order
// 1: it loses 1/sin(alpha0) of its 106 bits, so that the longitude's rate is taken so
// only from kWideLongitude up (the kernels keep omega - lambda below, whose rate is then
// O(f sin(alpha0))). 1 - f, e'^2, k^2 and n are formed in double-double from f and
// cos(alpha0). Each mean converges quadratically: some 6 to 8 steps, and p first halves
// for log2(1 / |sin(alpha0)|) steps.
inline constexpr double kWideLongitude = 1e-8;
struct SecularRates {
    Wide e, l;  // l only for |sin(alpha0)| >= kWideLongitude, else 0
};
inline SecularRates secular_rates(double f, double salp0, double calp0) noexcept {
    using namespace double_double;
    const Wide one{1.0, 0.0};
    const Wide f1 = two_sum(1.0, -f);
    const Wide ep2 = divide(times(two_sum(2.0, -f), f), times(f1, f1));
    const Wide n = two_product(calp0, calp0);
    const Wide k2 = times(ep2, n);
    const double p0 = std::fabs(salp0);
    const bool longitude = p0 >= kWideLongitude;
    Wide a = one, g = square_root(add(one, k2)), p{p0, 0.0}, q = one;
    Wide sum_c{0.0, 0.0}, sum_q{0.0, 0.0};
    double weight = 1;              // 2^(j-1) for c_j, j >= 1
    for (int j = 0; j < 64; ++j) {  // p halves for log2(1 / p0) steps, then all converge fast
        const Wide ag = times(a, g);
        if (longitude) {
            sum_q = add(sum_q, q);
            const Wide p2 = times(p, p);
            const Wide above = add(p2, ag);
            q = times(times(q, divide(subtract(p2, ag), above)), 0.5);
            p = divide(above, times(p, 2.0));
        }
        const Wide c = times(subtract(a, g), 0.5);
        a = times(add(a, g), 0.5);
        g = square_root(ag);
        const Wide term = times(times(c, c), weight);
        sum_c = add(sum_c, term);
        weight *= 2;
        if (std::fabs(term.hi) <= 0x1p-110 * (1 + k2.hi) &&
            (!longitude || std::fabs(q.hi) <= 0x1p-110 * std::fabs(sum_q.hi))) {
            break;
        }
    }
    SecularRates r{};
    r.e = divide(subtract(add(one, times(k2, 0.5)), sum_c), a);
    if (longitude) {
        const Wide f1_salp0 = times(f1, p0);
        const Wide l = add(f1_salp0, divide(times(n, sum_q), times(f1_salp0, 2.0)));
        r.l = divide(salp0 < 0 ? Wide{-l.hi, -l.lo} : l, a);
    }
    return r;
}

// A short arc's distance and longitude integrals over [sigma1, sigma1 + sig12],
//   s12/b = integral of D dt,  i3 = integral of dt / (1 + (1 - f) D),
// (omega12 - lambda12 = e^2 sin(alpha0) i3, as 1 - (1 - f) D = e^2 cos^2(beta)/(1 + (1 - f) D)),
// by the 8-point Gauss-Legendre rule. Differences of the periodic parts (each of
// some rate * pi) would leave an absolute error of a few units of their last
// place: a large relative one on a short line. The integrands' nearest singularity
// is asinh(1/k) >= 1/sqrt(1 + k^2) off the real axis; for sig12 sqrt(1 + k^2) <= 0.2
// (short_arc) the rule's error is below 20^-16.
inline bool short_arc(double k2, double sig12) noexcept {
    return sig12 * std::sqrt(1 + k2) <= 0.2;
}
struct ShortArc {
    double s12b, i3;
};
inline ShortArc short_integrals(double k2, double f1, double ssig1, double csig1,
                                double sig12) noexcept {
    // the positive nodes and their weights of the 8-point rule on [-1, 1]
    constexpr double x[4] = {0.1834346424956498049394761, 0.5255324099163289858177390,
                             0.7966664774136267395915539, 0.9602898564975362316835609};
    constexpr double w[4] = {0.3626837833783619829651504, 0.3137066458778872873379622,
                             0.2223810344533744705443560, 0.1012285362903762591525314};
    double s12b = 0, i3 = 0;
    for (int i = 0; i < 4; ++i) {
        for (const double sign : {-1.0, 1.0}) {
            const double d = sig12 / 2 * (1 + sign * x[i]);
            const double s = ssig1 * std::cos(d) + csig1 * std::sin(d);
            const double dn = std::sqrt(1 + k2 * s * s);
            s12b += w[i] * dn;
            i3 += w[i] / (1 + f1 * dn);
        }
    }
    return ShortArc{s12b * sig12 / 2, i3 * sig12 / 2};
}

// The double-exponential rule on [-1, 1] (Takahasi and Mori, 1974): nodes
// x_j = tanh(pi/2 sinh(j h)) and weights h pi/2 cosh(j h) / cosh^2(pi/2 sinh(j h)),
// j = -N .. N, stopped where the weights fall below 1e-18 of the sum.
struct TanhSinh {
    static constexpr int kMax = 512;
    int count = 0;
    double x[kMax], w[kMax];  // the nodes x >= 0 (x[0] = 0) and their weights

    // h from the largest k^2 served: the branch points at u^2 = 1 + 1/k^2 lie
    // 1/(2 k^2) outside the interval, which narrows the strip of analyticity of
    // the transformed integrand as the log of that distance (the step halves for
    // every factor of some 1e4 in k^2).
    // (A negative k2max leaves the rule empty: the series serve.)
    explicit TanhSinh(double k2max) noexcept {
        if (!(k2max >= 0)) return;
        const double levels = std::log1p(k2max) / std::log(1e4);
        const double h = 1.0 / (12 * (1 + levels));
        double total = 0;
        for (int j = 0; j < kMax; ++j) {
            const double t = j * h, u = kPi / 2 * std::sinh(t);
            const double ch = std::cosh(u);
            const double wj = h * kPi / 2 * std::cosh(t) / (ch * ch);
            x[j] = std::tanh(u), w[j] = wj;
            count = j + 1;
            total += j ? 2 * wj : wj;
            if (wj < 1e-18 * total || x[j] == 1) break;
        }
    }

    // integral of fn over [lo, hi]
    template <class Fn>
    double integrate(double lo, double hi, const Fn& fn) const noexcept {
        const double mid = (lo + hi) / 2, half = (hi - lo) / 2;
        double sum = w[0] * fn(mid);
        for (int j = 1; j < count; ++j)
            sum += w[j] * (fn(mid - half * x[j]) + fn(mid + half * x[j]));
        return sum * half;
    }
};

// G(y) = (t(x) - t(y)) / (x - y) of the area integral, for x = e'^2 > 0 and
// y = k^2 (1 - u^2) in [0, x], with t(y) = y + T(y), T(y) = sqrt(1 + y) asinh(sqrt y)/sqrt y.
// With sinh(phi) = sqrt(y), T = phi coth(phi), and the difference T(x) - T(y) is
// formed without cancellation (it would lose 1/(x - y) of its digits near y = x,
// a nearly meridional geodesic at its vertex): with z = sqrt(.), D = sqrt(1 + .),
//   sinh(phi_x - phi_y) = z_x D_y - D_x z_y = (x - y)/W,  W = z_x D_y + z_y D_x,
//   T(x) - T(y) = (D_x (phi_x - phi_y) - (phi_y / z_y) sinh(phi_x - phi_y)) / z_x,
// so that, with q = (x - y)/W,
//   (T(x) - T(y)) / (x - y) = (D_x asinh(q)/q - asinh(z_y)/z_y) / (z_x W).
struct AreaIntegrand {
    double x, zx, dx;

    explicit AreaIntegrand(double ep2) noexcept
        : x(ep2), zx(std::sqrt(ep2)), dx(std::sqrt(1 + ep2)) {}

    // asinh(q)/q, 1 at q = 0
    static double asinh_ratio(double q) noexcept { return q == 0 ? 1 : std::asinh(q) / q; }

    // G(y), given also d = x - y >= 0 (computed by the caller without cancellation).
    double g(double y, double d) const noexcept {
        const double zy = std::sqrt(y), dy = std::sqrt(1 + y);
        const double w = zx * dy + zy * dx;
        return 1 + (dx * asinh_ratio(d / w) - asinh_ratio(zy)) / (zx * w);
    }
};

// I4(sigma2) - I4(sigma1) for a geodesic of k^2 and sin(alpha0), from cos(sigma1)
// and cos(sigma2): 1/2 of the integral of G(k^2 (1 - u^2)) du.
inline double area_i4(const TanhSinh& rule, const AreaIntegrand& area, double k2, double salp0,
                      double csig1, double csig2) noexcept {
    const double xs = area.x * salp0 * salp0;  // x - y = e'^2 sin^2 alpha0 + k^2 u^2
    const auto g = [&](double u) noexcept {
        return area.g(k2 * ((1 - u) * (1 + u)), xs + k2 * u * u);
    };
    return rule.integrate(csig1, csig2, g) / 2;
}

}  // namespace quorvane::geodesic::exact

#endif  // QUORVANE_ELLIPSOID_GEODESIC_EXACT_H
