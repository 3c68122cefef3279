// The transverse Mercator W points at a time, for quorvane.mathtools.ellipsoid._fast:
// the exact kernel's mathematics (kernels/transverse_mercator.h) in lanes, after
//
//   C. F. F. Karney, "Transverse Mercator with an accuracy of a few nanometers",
//   J. Geodesy 85 (2011) 475-485:
//
// the conformal latitude chi of phi by its Fourier series (the rotation of phi's sine and
// cosine by the series' difference), the Gauss-Schreiber coordinates xi' = atan2(sin(chi),
// cos(chi) cos(lambda)), eta' = atanh(cos(chi) sin(lambda)), Krueger's series zeta = zeta' +
// sum_j alpha_j sin(2 j zeta') (zeta = xi + i eta, to n^12) by Clenshaw's recurrence in
// complex arithmetic written out in real parts, and the convergence and the scale in closed
// form from the sphere's and the argument and modulus of the series' derivative. The reverse
// sums the beta_j series, then chi of xi', eta' on the sphere and phi of chi by the inverse
// Fourier series. The coefficients are the exact kernel's (tm::Projection), evaluated once
// per ellipsoid; the sums are its, in its order.
//
// What differs from the exact kernel is how the angles are reached. xi' is |phi| + (chi - phi)
// + (xi' - chi), a double-double sum whose last term is the atan of one quotient without
// cancellation (tm_forward_lanes), and in the reverse chi is |xi'| + (chi - xi') the same way,
// xi = y/(k0 A) carried with its rounding error, and the sine, cosine and hyperbolic functions
// of xi', eta' turned from those of xi, eta by the small Krueger sums; atan2 and the functions
// themselves serve where those terms are not small (beyond 29 degrees from the central
// meridian, |eta| near 1). The convergence and the reverse's longitude, small angles within a
// zone, are atan of one rounded quotient (tm_atan2_small); sin, cos of the longitude within 3.6
// degrees of the central meridian their Taylor series (small_angles.h); otherwise sin, cos and
// atan2 of the lanes (elementary.h), atanh(u) = log1p(2 u/(1 - u))/2 on the lanes' logarithm
// (latitudes.h), and sinh, cosh of |x| <= 1.1 by their Taylor series (below), all below about
// an ulp and the same bits at every level.
//
// Handed over to the exact kernel, point by point: NaN and infinite values, the poles and
// latitudes beyond them, points beyond the series' domain (|eta| > 1, or |tanh(eta')| above
// tanh(1): the exact kernel decides there, whatever its path), |xi| beyond 2^20 in the
// reverse, and any lane whose result is not finite. The flattenings the series serve (up to
// 1/25) are checked by the caller.
//
// Measured against the 40-digit truth of testsupport/tm_truth.py: on the stored sample the
// forward within 1.92 nm and the reverse within 1.89 nm up to 3,900 km from the central
// meridian (the exact kernel 1.92 and 3.16); on 1e4 points up to 6,300 km 3.74 and 2.37 nm (the
// exact kernel 3.74 and 3.31), the convergence within 2.8e-14 degrees and the scale within
// 6.7e-16 (bench/results/utm-accuracy-fast.md, python -m bench.utm_accuracy --fast); on 6,000
// points of the UTM zones' range (latitudes 0-84 degrees, 9 degrees either side) 1.87 and 1.59
// nm, the exact kernel 2.80 and 3.17. Speed, 1e6 points in one UTM zone on one thread, CPU
// time (bench/results/utm-cpu.md): utm.tm_forward in degrees with k0, the convergence and the
// scale 28.5 ns a point at AVX-512 (0.21 times pyproj's time), 37.5 ns at AVX2; the scalar
// level about the exact kernel's.
//
// The plain data and the table of loops are declared for module.cpp; the lanes and loops are
// in an anonymous namespace, one copy per level's file (level_*.cpp), as loops.h's are.
#ifndef QUORVANE_ELLIPSOID_FAST_TRANSVERSE_MERCATOR_H
#define QUORVANE_ELLIPSOID_FAST_TRANSVERSE_MERCATOR_H

#include <cmath>
#include <cstddef>

#include "common/strided.h"
#include "ellipsoid/fast/elementary.h"
#include "ellipsoid/fast/lanes.h"
#include "ellipsoid/fast/latitudes.h"
#include "ellipsoid/fast/small_angles.h"
#include "ellipsoid/fast/utm_zones.h"

namespace quorvane::fast {

inline constexpr int kTmOrder = 12;

// One ellipsoid's transverse Mercator constants (tm::Projection's), and the exact kernels.
struct TransverseMercator {
    double A;    // the rectifying radius
    double A_a;  // A/a
    double e2m;  // 1 - e^2
    double alpha[kTmOrder], beta[kTmOrder];
    double chi[kTmOrder], phi[kTmOrder];  // chi - phi of phi, phi - chi of chi
    int terms;
    // The terms that matter in the lanes (set by tm_lane_terms): of the chi and phi series,
    // and of Krueger's series where |eta| <= kTmNearEta.
    int chi_terms, phi_terms, near_terms;
    const void* exact;  // the exact kernel's tm::Projection
    // The exact kernels of one point, central scale k0: phi, lambda (|lambda| <= pi) to x, y,
    // convergence, scale; x, y to phi, lambda (from the central meridian), convergence, scale.
    void (*exact_forward)(const void* exact, double k0, double phi, double lambda, double* out);
    void (*exact_reverse)(const void* exact, double k0, double x, double y, double* out);
};

struct TmLoops {
    const char* name;  // the level's, as Loops::name
    // Rows [begin, end) of the columns lon0, lat, lon (radians) into rows of x, y, convergence,
    // scale (central scale 1).
    void (*forward)(const TransverseMercator&, common::Column lon0, common::Column lat,
                    common::Column lon, common::OutRows out, std::ptrdiff_t begin,
                    std::ptrdiff_t end);
    // Rows [begin, end) of the columns lon0, x, y into rows of lat, lon (in [-pi, pi]),
    // convergence, scale.
    void (*reverse)(const TransverseMercator&, common::Column lon0, common::Column x,
                    common::Column y, common::OutRows out, std::ptrdiff_t begin,
                    std::ptrdiff_t end);
    // x, y, and where gamma is not null the convergence and the scale (into gamma, k), of n
    // contiguous phi and lambda (|lambda| <= pi), central scale k0: the UTM grid's points.
    void (*positions)(const TransverseMercator&, double k0, const double* phi, const double* lambda,
                      double* x, double* y, double* gamma, double* k, std::ptrdiff_t n);
    // lat, lon (from the central meridian), convergence, scale of n contiguous x, y, central
    // scale k0: the UTM grid's points.
    void (*geographic)(const TransverseMercator&, double k0, const double* x, const double* y,
                       double* lat, double* lon, double* gamma, double* k, std::ptrdiff_t n);
    // The standard UTM zones of n contiguous lat, lon (degrees, or radians where not `degrees`):
    // zone 1-60 (a double) with phi and the longitude lam from the central meridian (radians)
    // where the lanes place a point, else zone 0 (utm_zones.h).
    void (*placements)(const double* lat, const double* lon, bool degrees, double* zone,
                       double* phi, double* lam, std::ptrdiff_t n);
};

extern const TmLoops kScalarTmLoops;
#if defined(__x86_64__)
extern const TmLoops kSse2TmLoops;
extern const TmLoops kAvx2TmLoops;
extern const TmLoops kAvx512TmLoops;
#endif
#if defined(__aarch64__)
extern const TmLoops kNeonTmLoops;
#endif

// Where |eta| <= kTmNearEta (1,270 km from the central meridian on WGS84, every UTM zone and
// their usual extensions) the lanes sum near_terms of Krueger's series; beyond, all terms. The
// term j of the sums grows as alpha_j cosh(2 j eta), of their slopes as 2 j alpha_j cosh(2 j eta).
inline constexpr double kTmNearEta = 0.2;
inline constexpr double kTmNearTanhEta = 0.197375320224904;  // tanh(kTmNearEta)

// The lanes' terms of the series of `p` (whose coefficients and `terms` are set): those of the
// real series chi, phi with j |c_j| >= 2^-58 (as rhumb.h keeps them: the terms left out move an
// angle by less than 2^-57 radians, some picometres on the Earth), and of Krueger's series those
// with j |c_j| cosh(2 j eta) >= 2^-58 somewhere below kTmNearEta, eta' = eta plus at most the
// first term (eta' decides the forward's lanes: 0.21 covers it). On WGS84 (n = 0.00168): 6 terms
// of chi, 7 of phi, 6 of alpha and beta, of the 8 the exact kernel sums.
inline void tm_lane_terms(TransverseMercator& p) noexcept {
    p.chi_terms = p.phi_terms = p.near_terms = 0;
    for (int j = 1; j <= p.terms; ++j) {
        const double weight = j * std::cosh(2 * j * 0.21);
        if (j * std::fabs(p.chi[j - 1]) >= 0x1p-58) p.chi_terms = j;
        if (j * std::fabs(p.phi[j - 1]) >= 0x1p-58) p.phi_terms = j;
        if (weight * std::fmax(std::fabs(p.alpha[j - 1]), std::fabs(p.beta[j - 1])) >= 0x1p-58)
            p.near_terms = j;
    }
}

namespace {

inline constexpr double kTmPi = 0x1.921fb54442d18p+1;
inline constexpr double kTmMaxEta = 1.0;                      // tm::kMaxEta
inline constexpr double kTmMaxTanhEtap = 0.7615941559557649;  // tanh(kMaxEta)

// -- sinh, cosh --------------------------------------------------------------------

// 1/(2k + 1)!, k = 10 .. 1, and 1/(2k)!, k = 11 .. 1: sinh x = x + x z S(z), cosh x = 1 +
// z C(z), z = x^2. For |x| <= 1.1 the first terms left out are below 4e-22 of the sums.
inline constexpr double kSinhS[10] = {
    1.0 / 51090942171709440000.0,
    1.0 / 121645100408832000.0,
    1.0 / 355687428096000.0,
    1.0 / 1307674368000.0,
    1.0 / 6227020800.0,
    1.0 / 39916800.0,
    1.0 / 362880.0,
    1.0 / 5040.0,
    1.0 / 120.0,
    1.0 / 6.0,
};
inline constexpr double kCoshC[11] = {
    1.0 / 1124000727777607680000.0,
    1.0 / 2432902008176640000.0,
    1.0 / 6402373705728000.0,
    1.0 / 20922789888000.0,
    1.0 / 87178291200.0,
    1.0 / 479001600.0,
    1.0 / 3628800.0,
    1.0 / 40320.0,
    1.0 / 720.0,
    1.0 / 24.0,
    0.5,
};
inline constexpr double kHyperbolicLimit = 1.1;

// sinh x and cosh x for |x| <= kHyperbolicLimit, by their Taylor series (Horner's rule):
// the tails are at most 0.2 (sinh) and 0.7 (cosh) of the sums, so that their rounding
// counts for a fraction of an ulp.
template <int W>
inline void sinh_cosh(V<W> x, V<W>& sh, V<W>& ch) noexcept {
    const V<W> z = x * x;
    V<W> s = splat<W>(kSinhS[0]), c = splat<W>(kCoshC[0]);
    for (int k = 1; k < 10; ++k) s = s * z + kSinhS[k];
    for (int k = 1; k < 11; ++k) c = c * z + kCoshC[k];
    sh = x + x * (z * s);
    ch = 1.0 + z * c;
}

// atanh(u)/u - 1 = sum_k u^(2k)/(2k + 1), k = 1 .. 9: for u^2 <= 1/64 the first term left
// out is below 2e-18.
inline constexpr int kAtanhSmallTerms = 9;
inline constexpr double kAtanhSmall = 0.125;

// atanh(u) for |u| < 1: by its Taylor series where |u| < kAtanhSmall (every point of the UTM
// zones, whose longitudes are within 9 degrees of their central meridians), else as
// log1p(2 |u|/(1 - |u|))/2 with the sign of u, 1 - |u| exact as a double-double (latitudes.h's
// half_log1p_quotient). The form is chosen lane by lane (the logarithm is computed only where
// a lane needs it), so that a value does not depend on its neighbours.
template <int W>
inline V<W> atanh(V<W> u) noexcept {
    const V<W> a = abs<W>(u), one = splat<W>(1.0);
    const I<W> small = a < kAtanhSmall;
    const V<W> z = u * u;
    V<W> series = splat<W>(1.0 / (2 * kAtanhSmallTerms + 1));
    for (int k = kAtanhSmallTerms - 1; k >= 1; --k) series = series * z + 1.0 / (2 * k + 1);
    const V<W> near = u + u * (z * series);
    if (all<W>(small)) return near;
    const V<W> d = one - a, d_lo = (one - d) - a;
    const V<W> far = with_sign_of<W>(half_log1p_quotient<W>(2.0 * a, d, d_lo), u);
    return pick<W>(small, near, far);
}

// atan2(y, x) of the angles that stay small on the grid: the convergence (|gamma| below 3.5
// degrees in a standard UTM zone, 9 in the exceptions) and the reverse's longitude from the
// central meridian. Where x > 0 and |y| <= tan(pi/8) x, atan(u) of the rounded quotient u = y/x
// by atan2's polynomial, u + u t q(t) (t = u^2): one division, no reduction, no quadrant, no
// double-double quotient, within about an ulp of the angle (the quotient's rounding and the
// sum's; the tail u t q is below a seventeenth of it), at most 6e-17 radians at 22.5 degrees;
// atan2 in the other lanes (computed only where a block has such lanes).
template <int W>
inline V<W> tm_atan2_small(V<W> y, V<W> x) noexcept {
    const I<W> small = (x > 0.0) & (abs<W>(y) <= x * kTanPi8);  // false for NaN
    const V<W> u = pick<W>(small, y, splat<W>(0.0)) / pick<W>(small, x, splat<W>(1.0));
    const V<W> t = u * u;
    const V<W> r = u + u * (t * atan_q<W>(t));
    if (all<W>(small)) return r;
    return pick<W>(small, r, atan2<W>(y, x));
}

// atan(t) for |t| <= kTmSmallTangent by its Taylor series to t^13: the first term left out
// is below 2^-59 of the result. The angles it serves are corrections below a tenth of the
// angle they are added to (xi' - chi and chi - xi'): their rounding counts for little.
inline constexpr double kTmSmallTangent = 0.0625;

template <int W>
inline V<W> tm_atan_small(V<W> t) noexcept {
    const V<W> z = t * t;
    const V<W> tail =
        z *
        ((-1.0 / 3) +
         z * ((1.0 / 5) + z * ((-1.0 / 7) + z * ((1.0 / 9) + z * ((-1.0 / 11) + z * (1.0 / 13))))));
    return t + t * tail;
}

// a + b as a double-double (hi, lo), |a| >= |b| (Fast2Sum, [Dekker 1971]).
template <int W>
inline void tm_fast_two_sum(V<W> a, V<W> b, V<W>& hi, V<W>& lo) noexcept {
    hi = a + b;
    lo = (a - hi) + b;
}

// -- The series ------------------------------------------------------------------------

// sum_k c[k] sin(2 k z), k = 1..terms, of s = sin(z), co = cos(z) (tm::sine_sum).
template <int W>
inline V<W> tm_sine_sum(const double* c, int terms, V<W> s, V<W> co) noexcept {
    const V<W> x = 2.0 * (co - s) * (co + s);
    V<W> b1 = splat<W>(0.0), b2 = b1;
    for (int k = terms - 1; k >= 0; --k) {
        const V<W> b0 = x * b1 - b2 + c[k];
        b2 = b1;
        b1 = b0;
    }
    return b1 * (2.0 * s * co);
}

// cos(d) - 1 and sin(d) of a small angle (tm::small_rotation).
template <int W>
inline void tm_small_rotation(V<W> d, V<W>& cm1, V<W>& s) noexcept {
    const V<W> d2 = d * d;
    cm1 = -d2 * (0.5 - d2 * (1.0 / 24 - d2 * (1.0 / 720)));
    s = d * (1.0 - d2 * (1.0 / 6 - d2 * (1.0 / 120 - d2 * (1.0 / 5040))));
}

// cosh(d) - 1 and sinh(d) of a small d, the hyperbolic twin of tm_small_rotation.
template <int W>
inline void tm_small_boost(V<W> d, V<W>& chm1, V<W>& sh) noexcept {
    const V<W> d2 = d * d;
    chm1 = d2 * (0.5 + d2 * (1.0 / 24 + d2 * (1.0 / 720)));
    sh = d * (1.0 + d2 * (1.0 / 6 + d2 * (1.0 / 120 + d2 * (1.0 / 5040))));
}

// The largest |d| the rotations above take in place of sin, cos, sinh and cosh of an angle
// moved by d: their first terms left out, d^8/8! and d^9/9!, are below 1e-19.
inline constexpr double kTmSmallTurn = 1.0 / 64;

// sum_j c[j] sin(2 j z) (sr + i si) and, with `slopes`, sum_j 2 j c[j] cos(2 j z) (dr + i di)
// of z = xi + i eta from sin, cos of xi (s, co) and sinh, cosh of eta (sh, ch):
// tm::clenshaw, the same operations in the same order.
template <int W, bool slopes>
inline void tm_clenshaw(const double* c, int terms, V<W> s, V<W> co, V<W> sh, V<W> ch, V<W>& sr,
                        V<W>& si, V<W>& dr, V<W>& di) noexcept {
    const V<W> s2 = 2.0 * s * co, c2 = (co - s) * (co + s);
    const V<W> sh2 = 2.0 * sh * ch, ch2 = ch * ch + sh * sh;
    const V<W> sin_re = s2 * ch2, sin_im = c2 * sh2;
    const V<W> cos_re = c2 * ch2, cos_im = -s2 * sh2;
    const V<W> x_re = 2.0 * cos_re, x_im = 2.0 * cos_im;
    const V<W> zero = splat<W>(0.0);
    V<W> b1r = zero, b1i = zero, b2r = zero, b2i = zero;
    V<W> d1r = zero, d1i = zero, d2r = zero, d2i = zero;
    for (int j = terms; j >= 1; --j) {
        const V<W> xbr = x_re * b1r - x_im * b1i, xbi = x_re * b1i + x_im * b1r;
        const V<W> b0r = xbr - b2r + c[j - 1], b0i = xbi - b2i;
        b2r = b1r, b2i = b1i, b1r = b0r, b1i = b0i;
        if constexpr (slopes) {
            const V<W> xdr = x_re * d1r - x_im * d1i, xdi = x_re * d1i + x_im * d1r;
            const V<W> d0r = xdr - d2r + 2 * j * c[j - 1], d0i = xdi - d2i;
            d2r = d1r, d2i = d1i, d1r = d0r, d1i = d0i;
        }
    }
    sr = b1r * sin_re - b1i * sin_im;
    si = b1r * sin_im + b1i * sin_re;
    if constexpr (slopes) {
        const V<W> dcr = d1r * cos_re - d1i * cos_im, dci = d1r * cos_im + d1i * cos_re;
        dr = dcr - d2r;
        di = dci - d2i;
    }
}

// Krueger's series c (alpha or beta) as tm_clenshaw sums them: p.near_terms in the lanes of
// `near`, all p.terms in the others (computed only where a block has such lanes), so that a
// lane's value does not depend on its neighbours.
template <int W, bool slopes>
inline void tm_krueger(const TransverseMercator& p, const double* c, I<W> near, V<W> s, V<W> co,
                       V<W> sh, V<W> ch, V<W>& sr, V<W>& si, V<W>& dr, V<W>& di) noexcept {
    tm_clenshaw<W, slopes>(c, p.near_terms, s, co, sh, ch, sr, si, dr, di);
    if (all<W>(near)) return;
    V<W> fr, fi, gr, gi;
    tm_clenshaw<W, slopes>(c, p.terms, s, co, sh, ch, fr, fi, gr, gi);
    sr = pick<W>(near, sr, fr), si = pick<W>(near, si, fi);
    if constexpr (slopes) dr = pick<W>(near, dr, gr), di = pick<W>(near, di, gi);
}

// -- Forward and reverse lanes --------------------------------------------------------

// x, y (and with `factors` the convergence and the scale) of geodetic latitude phi and
// longitude lambda (|lambda| <= pi) from the central meridian, central scale k0: tm::tm_forward.
// The lanes computed here are set in the mask returned; the others are the exact kernel's.
template <int W, bool factors>
I<W> tm_forward_lanes(const TransverseMercator& p, double k0, V<W> phi, V<W> lambda, V<W>& x,
                      V<W>& y, V<W>& gamma, V<W>& k) noexcept {
    const V<W> z0 = abs<W>(phi);
    I<W> inside = (z0 < kHalfPiLatitude) & (abs<W>(lambda) <= kTmPi);  // false for NaN
    const V<W> zero = splat<W>(0.0), one = splat<W>(1.0);
    const V<W> z = pick<W>(inside, z0, zero), lam = pick<W>(inside, lambda, zero);
    V<W> sphi, cphi;
    sincos<W>(z, sphi, cphi);
    V<W> cm1, ds;
    const V<W> delta = tm_sine_sum<W>(p.chi, p.chi_terms, sphi, cphi);  // chi - phi
    tm_small_rotation<W>(delta, cm1, ds);
    const V<W> sa = sphi + (sphi * cm1 + cphi * ds);  // |sin(chi)|
    const V<W> schi = with_sign_of<W>(sa, phi);
    const V<W> cchi = cphi + (cphi * cm1 - sphi * ds);
    V<W> sl, cl;
    sincos_small_first<W>(lam, sl, cl);  // within 3.6 degrees of the central meridian: Taylor
    const V<W> u0 = cchi * sl, ccl = cchi * cl;
    inside &= abs<W>(u0) <= kTmMaxTanhEtap;
    const V<W> u = pick<W>(inside, u0, zero);
    const V<W> D = sqrt<W>(schi * schi + ccl * ccl), sech = one / D;
    // xi' = |chi| + atan(tan(xi' - chi)) with the sign of phi: |chi| = |phi| + delta as a
    // double-double, and tan(xi' - chi) = |sin(chi)| cos(chi) (1 - cos(lambda)) / (cos(chi)^2
    // cos(lambda) + sin(chi)^2), 1 - cos(lambda) = sin(lambda)^2 / (1 + cos(lambda)) without
    // cancellation: one quotient, small within 29 degrees of the central meridian, and one
    // rounding at the end (atan2 of sin(chi) and cos(chi) cos(lambda) elsewhere).
    const V<W> num = sa * cchi * (sl * sl), den = (1.0 + cl) * (cchi * ccl + sa * sa);
    const I<W> near = (cl > 0.0) & (num <= den * kTmSmallTangent);  // false for NaN
    const V<W> turn = tm_atan_small<W>(pick<W>(near, num, zero) / pick<W>(near, den, one));
    V<W> chi_hi, chi_lo;
    tm_fast_two_sum<W>(z, delta, chi_hi, chi_lo);
    V<W> xip = with_sign_of<W>(chi_hi + (chi_lo + turn), phi);
    if (!all<W>(near)) xip = pick<W>(near, xip, atan2<W>(schi, pick<W>(inside, ccl, one)));
    const V<W> etap = atanh<W>(u);
    V<W> sr, si, dr, di;
    tm_krueger<W, factors>(p, p.alpha, abs<W>(u) <= kTmNearTanhEta, schi * sech, ccl * sech,
                           u * sech, sech, sr, si, dr, di);
    const V<W> xi = xip + sr, eta = etap + si;
    inside &= abs<W>(eta) <= kTmMaxEta;
    const double kA = k0 * p.A;
    x = kA * eta, y = kA * xi;
    if constexpr (factors) {
        const V<W> dre = 1.0 + dr, dim = di;
        const V<W> gs = schi * sl;
        gamma = tm_atan2_small<W>(gs * dre - cl * dim, cl * dre + gs * dim);
        const V<W> w = sqrt<W>(cphi * cphi + p.e2m * sphi * sphi);
        k = k0 * ((p.A_a * sqrt<W>(dre * dre + dim * dim)) * (w * cchi * sech / cphi));
    }
    return inside;
}

// The geodetic latitude, the longitude from the central meridian, the convergence and the
// scale at x, y, central scale k0: tm::tm_reverse. The mask as in the forward.
template <int W>
I<W> tm_reverse_lanes(const TransverseMercator& p, double k0, V<W> x, V<W> y, V<W>& lat, V<W>& lon,
                      V<W>& gamma, V<W>& k) noexcept {
    const double kA = k0 * p.A;
    const V<W> xi0 = y / kA, eta0 = x / kA;
    // |eta| <= 1 < kHyperbolicLimit, and |eta'| differs from it by less than 0.1.
    I<W> inside = (abs<W>(eta0) <= kTmMaxEta) & (abs<W>(xi0) <= kTrigLimit);
    const V<W> zero = splat<W>(0.0), one = splat<W>(1.0);
    const V<W> xi = pick<W>(inside, xi0, zero), eta = pick<W>(inside, eta0, zero);
    V<W> sh, ch, s, co;
    sinh_cosh<W>(eta, sh, ch);
    sincos<W>(xi, s, co);
    V<W> sr, si, dr, di;
    tm_krueger<W, true>(p, p.beta, abs<W>(eta) <= kTmNearEta, s, co, sh, ch, sr, si, dr, di);
    // xi = y/(k0 A) + xi_lo, the quotient's rounding error carried (Dekker's product), and
    // xi' = xi - d, d = sr - xi_lo, as a double-double (|d| < |xi|: the sum's term vanishes
    // with sin(2 xi)). Near the image of the pole the convergence turns with cos(xi') at the
    // rate 1/cos(xi'): the rounding of xi would show there.
    const V<W> yi = pick<W>(inside, y, zero), kAv = splat<W>(kA), q = xi * kAv;
    const V<W> xi_lo = ((yi - q) - product_error<W>(xi, kAv, q)) * (1.0 / kA);
    const V<W> d = sr - xi_lo;
    const V<W> xip = xi - d, xip_lo = (xi - xip) - d, etap = eta - si;
    const V<W> dre = 1.0 - dr, dim = -di;
    // sin, cos of xi' and sinh, cosh of eta' turned from xi's and eta's by -d and -si, where
    // both are below kTmSmallTurn (within 1.3e7 m of the central meridian on WGS84), else by
    // the functions themselves.
    V<W> sxi, cxi, hsh, hch, cm1, ds, chm1, dsh;
    tm_small_rotation<W>(d, cm1, ds);
    tm_small_boost<W>(si, chm1, dsh);
    sxi = s + (s * cm1 - co * ds), cxi = co + (co * cm1 + s * ds);
    hsh = sh + (sh * chm1 - ch * dsh), hch = ch + (ch * chm1 - sh * dsh);
    const I<W> turned = (abs<W>(d) <= kTmSmallTurn) & (abs<W>(si) <= kTmSmallTurn);
    if (!all<W>(turned)) {
        V<W> sg, cg, hs, hc;
        sincos<W>(pick<W>(turned, zero, xip), sg, cg);
        sinh_cosh<W>(pick<W>(turned, zero, etap), hs, hc);
        sxi = pick<W>(turned, sxi, sg), cxi = pick<W>(turned, cxi, cg);
        hsh = pick<W>(turned, hsh, hs), hch = pick<W>(turned, hch, hc);
    }
    const V<W> r = sqrt<W>(hsh * hsh + cxi * cxi);
    lon = tm_atan2_small<W>(hsh, cxi);
    const V<W> sa = abs<W>(sxi), sech = one / hch;
    const V<W> schi = sa * sech, cchi = r * sech;
    const V<W> delta = tm_sine_sum<W>(p.phi, p.phi_terms, schi, cchi);  // phi - chi
    // |chi| = atan2(|sin(xi')|, r) as |xi'| + atan(tan(chi - xi')), tan(chi - xi') = -|sin(xi')|
    // sinh(eta')^2 / ((cos(xi') + r) (r cos(xi') + sin(xi')^2)) (cos(xi') - r without
    // cancellation), then |phi| = |chi| + delta with one rounding, as in the forward.
    const V<W> num = sa * (hsh * hsh), den = (cxi + r) * (r * cxi + sa * sa);
    const I<W> near = (cxi > 0.0) & (num <= den * kTmSmallTangent);  // false for NaN
    const V<W> turn = tm_atan_small<W>(-(pick<W>(near, num, zero) / pick<W>(near, den, one)));
    V<W> chi_hi, chi_lo;
    tm_fast_two_sum<W>(abs<W>(xip), turn, chi_hi, chi_lo);
    const V<W> abs_lo = from_bits<W>(bits<W>(xip_lo) ^ (bits<W>(xip) & kSignBit));
    V<W> l = chi_hi + ((chi_lo + abs_lo) + delta);
    if (!all<W>(near)) l = pick<W>(near, l, atan2<W>(sa, r) + delta);
    tm_small_rotation<W>(delta, cm1, ds);
    const V<W> sphi = schi + (schi * cm1 + cchi * ds);
    const V<W> cphi = cchi + (cchi * cm1 - schi * ds);
    const V<W> gre = cxi * hch, gim = sxi * hsh;
    gamma = tm_atan2_small<W>(gre * dim + gim * dre, gre * dre - gim * dim);
    const V<W> w = sqrt<W>(cphi * cphi + p.e2m * sphi * sphi);
    k = k0 * ((p.A_a / sqrt<W>(dre * dre + dim * dim)) * (w * cchi / cphi) * hch);
    lat = with_sign_of<W>(abs<W>(l), xip);
    // A pole reached by rounding (cos(phi) = 0): the exact kernel's.
    inside &= (k - k) == 0.0;
    return inside;
}

// -- Loops ---------------------------------------------------------------------------

// lambda into [-pi, pi], lane by lane (tm::reduced: the remainder is exact, the same bits on
// every machine).
template <int W>
inline V<W> tm_reduced(V<W> lam) noexcept {
    const I<W> out = ~(abs<W>(lam) <= kTmPi);
    if (!any<W>(out)) return lam;
    for (int k = 0; k < W; ++k)
        if (out[k]) lam[k] = std::remainder(lam[k], 2 * kTmPi);
    return lam;
}

template <int W>
void tm_forward_loop(const TransverseMercator& p, common::Column lon0, common::Column lat,
                     common::Column lon, common::OutRows out, std::ptrdiff_t begin,
                     std::ptrdiff_t end) noexcept {
    const auto block = [&](std::ptrdiff_t i, int m) noexcept {
        V<W> phi = splat<W>(0.0), lam = phi;
        for (int k = 0; k < m; ++k) phi[k] = lat[i + k], lam[k] = lon[i + k] - lon0[i + k];
        lam = tm_reduced<W>(lam);
        V<W> x, y, gamma, scale;
        const I<W> fast = tm_forward_lanes<W, true>(p, 1.0, phi, lam, x, y, gamma, scale);
        for (int k = 0; k < m; ++k) {
            if (fast[k]) {
                out.put(i + k, 0, x[k]), out.put(i + k, 1, y[k]);
                out.put(i + k, 2, gamma[k]), out.put(i + k, 3, scale[k]);
            } else {
                double row[4];
                p.exact_forward(p.exact, 1.0, phi[k], lam[k], row);
                for (int c = 0; c < 4; ++c) out.put(i + k, c, row[c]);
            }
        }
    };
    std::ptrdiff_t i = begin;
    for (; i + W <= end; i += W) block(i, W);
    if (i < end) block(i, int(end - i));
}

template <int W>
void tm_reverse_loop(const TransverseMercator& p, common::Column lon0, common::Column x,
                     common::Column y, common::OutRows out, std::ptrdiff_t begin,
                     std::ptrdiff_t end) noexcept {
    const auto block = [&](std::ptrdiff_t i, int m) noexcept {
        V<W> u = splat<W>(0.0), v = u, l0 = u;
        for (int k = 0; k < m; ++k) u[k] = x[i + k], v[k] = y[i + k], l0[k] = lon0[i + k];
        V<W> lat, lam, gamma, scale;
        const I<W> fast = tm_reverse_lanes<W>(p, 1.0, u, v, lat, lam, gamma, scale);
        for (int k = 0; k < m; ++k) {
            if (!fast[k]) {
                double row[4];
                p.exact_reverse(p.exact, 1.0, u[k], v[k], row);
                lat[k] = row[0], lam[k] = row[1], gamma[k] = row[2], scale[k] = row[3];
            }
        }
        const V<W> lon = tm_reduced<W>(lam + l0);
        for (int k = 0; k < m; ++k) {
            out.put(i + k, 0, lat[k]), out.put(i + k, 1, lon[k]);
            out.put(i + k, 2, gamma[k]), out.put(i + k, 3, scale[k]);
        }
    };
    std::ptrdiff_t i = begin;
    for (; i + W <= end; i += W) block(i, W);
    if (i < end) block(i, int(end - i));
}

template <int W, bool factors>
void tm_positions_of(const TransverseMercator& p, double k0, const double* phi,
                     const double* lambda, double* x, double* y, double* gamma, double* k,
                     std::ptrdiff_t n) noexcept {
    const auto block = [&](std::ptrdiff_t i, int m) noexcept {
        V<W> u = splat<W>(0.0), v = u;
        for (int j = 0; j < m; ++j) u[j] = phi[i + j], v[j] = lambda[i + j];
        V<W> east, north, convergence, scale;
        const I<W> fast =
            tm_forward_lanes<W, factors>(p, k0, u, v, east, north, convergence, scale);
        for (int j = 0; j < m; ++j) {
            if (fast[j]) {
                x[i + j] = east[j], y[i + j] = north[j];
                if constexpr (factors) gamma[i + j] = convergence[j], k[i + j] = scale[j];
            } else {
                double row[4];
                p.exact_forward(p.exact, k0, u[j], v[j], row);
                x[i + j] = row[0], y[i + j] = row[1];
                if constexpr (factors) gamma[i + j] = row[2], k[i + j] = row[3];
            }
        }
    };
    std::ptrdiff_t i = 0;
    for (; i + W <= n; i += W) block(i, W);
    if (i < n) block(i, int(n - i));
}

template <int W>
void tm_positions(const TransverseMercator& p, double k0, const double* phi, const double* lambda,
                  double* x, double* y, double* gamma, double* k, std::ptrdiff_t n) noexcept {
    if (gamma != nullptr) {
        tm_positions_of<W, true>(p, k0, phi, lambda, x, y, gamma, k, n);
    } else {
        tm_positions_of<W, false>(p, k0, phi, lambda, x, y, gamma, k, n);
    }
}

template <int W>
void tm_geographic(const TransverseMercator& p, double k0, const double* x, const double* y,
                   double* lat, double* lon, double* gamma, double* k, std::ptrdiff_t n) noexcept {
    const auto block = [&](std::ptrdiff_t i, int m) noexcept {
        V<W> u = splat<W>(0.0), v = u;
        for (int j = 0; j < m; ++j) u[j] = x[i + j], v[j] = y[i + j];
        V<W> phi, lam, convergence, scale;
        const I<W> fast = tm_reverse_lanes<W>(p, k0, u, v, phi, lam, convergence, scale);
        for (int j = 0; j < m; ++j) {
            if (fast[j]) {
                lat[i + j] = phi[j], lon[i + j] = lam[j];
                gamma[i + j] = convergence[j], k[i + j] = scale[j];
            } else {
                double row[4];
                p.exact_reverse(p.exact, k0, u[j], v[j], row);
                lat[i + j] = row[0], lon[i + j] = row[1], gamma[i + j] = row[2], k[i + j] = row[3];
            }
        }
    };
    std::ptrdiff_t i = 0;
    for (; i + W <= n; i += W) block(i, W);
    if (i < n) block(i, int(n - i));
}

template <int W>
constexpr TmLoops make_tm_loops(const char* name) noexcept {
    return TmLoops{name,
                   &tm_forward_loop<W>,
                   &tm_reverse_loop<W>,
                   &tm_positions<W>,
                   &tm_geographic<W>,
                   &utm_placements<W>};
}

}  // namespace
}  // namespace quorvane::fast

#endif  // QUORVANE_ELLIPSOID_FAST_TRANSVERSE_MERCATOR_H
