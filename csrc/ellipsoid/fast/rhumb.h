// Rhumb lines in lanes, for quorvane.mathtools.ellipsoid._fast: the inverse problem (s12,
// azi12 and the area S12 between the line and the equator) and the direct one (lat2, lon2,
// S12), W lines at a time, after
//
//   C. F. F. Karney, "The area of rhumb polygons", Stud. Geophys. Geod. (2024):
//   the line is straight in the isometric latitude psi and the longitude; m12 / psi12 and
//   the mean of sin(xi) over psi are taken as divided differences, so that lines within a
//   hair of due east or west keep their accuracy.
//
// The formulas are those of the exact kernel's series path (kernels/rhumb.h, span_series:
// the conformal latitudes of both ends by the phi -> chi series, psi12 as the asinh of
// (sin chi2 - sin chi1) / (cos chi1 cos chi2), the divided differences of the latitude series
// and of the area's sine series), written once more on lanes with the lanes' own sin, cos,
// atan2 (elementary.h), latitudes.h's logarithm with a shorter chain and an asinh, and
// arranged for three sincos a line instead of six and a shorter chain of dependent
// operations: the conformal latitude and chi12 by angle addition from phi's sine and cosine
// and phi12's half angle, with short series of their small corrections; mu12 / phi12 by the
// phi -> mu series in the loop of chi12 / phi12 and the area (three-term recurrences), not
// mu12 / chi12 over chi; sin chi2 - sin chi1 = sin(chi12) cos chi1 - 2 sin^2(chi12 / 2) sin
// chi1, without the kernel's division by 1 + cos chi12 (which cancels on lines from near one
// pole to near the other, where the kernel loses up to 41 nm and 1 m^2). Not that kernel's
// bits, but the same bits at every instruction-set level; on the stored 40-digit truth
// within the kernel's bounds (python -m bench.rhumb).
//
// Each function returns the mask of the lanes it computed. The others go to the exact
// kernel, line by line (loops below): flattenings past 1/25 (where the kernel integrates by
// quadrature) and lengths outside 2^-400 .. 2^400, latitudes at or beyond the poles (the
// kernel's meridian convention), NaN and infinite values, longitudes beyond 10 rad (which
// the kernel reduces by an exact 2 pi), longitude differences within 1e-10 of a half turn
// (where the shorter way is decided by the remainder's tie), latitudes less than 2^-900
// apart but not equal, coincident points and lines whose psi12 and lambda12 are both below
// 2^-450 (whose squares would underflow); for the direct problem also s12 = 0, azimuths
// beyond 2^20 rad, lines that come within 1e-9 rad of rectifying latitude of a pole and lines
// that turn more than 10 rad in longitude.
//
// The plain data and the table of loops are declared for module.cpp; the loops themselves
// are in an anonymous namespace, one copy per level's file (level_*.cpp), as loops.h's are.
#ifndef QUORVANE_ELLIPSOID_FAST_RHUMB_H
#define QUORVANE_ELLIPSOID_FAST_RHUMB_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/strided.h"
#include "ellipsoid/fast/elementary.h"
#include "ellipsoid/fast/lanes.h"
#include "ellipsoid/fast/latitudes.h"

namespace quorvane::fast {

// The lengths of the exact kernel's series (kernels/rhumb.h's kAreaTerms and latitudes.h's
// kOrder; module.cpp checks them).
inline constexpr int kRhumbAreaTerms = 16;
inline constexpr int kRhumbOrder = 12;

// The rhumb lines' constants of one ellipsoid, as the lanes use them: the exact kernel's.
struct RhumbConstants {
    bool series;  // the series serve this flattening and scale (else every line is the exact one)
    // The terms the lanes sum: those of phi -> chi and phi -> mu with k |c_k| >= 2^-58 (the
    // rest change chi12 and mu12 by less than 2^-56 of themselves), and of the area's with
    // |g_k / k| >= 2^-56 (the rest, at the noise of the coefficients' transform on WGS84,
    // change S12 by less than 0.015 m^2 on the Earth).
    int terms;                            // the longest of the three
    double chi_of_phi[kRhumbAreaTerms];   // phi -> chi (0 past kRhumbOrder)
    double mu_of_phi[kRhumbAreaTerms];    // phi -> mu (0 past kRhumbOrder)
    double area_series[kRhumbAreaTerms];  // the area's sine series, g_k / k
    const double* to_mu;                  // phi -> mu, to_mu_terms terms
    const double* from_mu;                // mu -> phi, from_mu_terms terms
    int to_mu_terms, from_mu_terms;
    double rectifying_radius, e2m, inv_e2m, c2;  // R, 1 - e^2, its inverse, c^2 (c authalic)
    const void* exact;                           // the exact kernel's constants (rhumb::Rhumb)
    // (lat1, lon1, lat2, lon2) to (s12, azi12, S12); (lat1, lon1, azi12, s12) to (lat2, lon2,
    // S12): the exact kernels, in radians and metres.
    void (*exact_inverse)(const void* r, const double* in, double* out);
    void (*exact_direct)(const void* r, const double* in, double* out);
};

struct RhumbLoops {
    const char* name;  // the level's, as Loops::name
    // Rows [begin, end) of the four columns into (s12, azi12, S12) or (lat2, lon2, S12) rows.
    void (*inverse)(const RhumbConstants&, const common::Column (&in)[4], common::OutRows out,
                    std::ptrdiff_t begin, std::ptrdiff_t end);
    void (*direct)(const RhumbConstants&, const common::Column (&in)[4], common::OutRows out,
                   std::ptrdiff_t begin, std::ptrdiff_t end);
};

extern const RhumbLoops kScalarRhumbLoops;
#if defined(__x86_64__)
extern const RhumbLoops kSse2RhumbLoops;
extern const RhumbLoops kAvx2RhumbLoops;
extern const RhumbLoops kAvx512RhumbLoops;
#endif
#if defined(__aarch64__)
extern const RhumbLoops kNeonRhumbLoops;
#endif

namespace {

// -- Elementary functions of the lanes that the rhumb lines add: log, asinh ----------------
// (on latitudes.h's log_plus, which rounds about once)

// log(u) + t as latitudes.h's log_plus (the same reduction and coefficients), its polynomial
// R(z) = z sum a_j z^j, a_j = 2/(2j + 3), by Estrin's scheme from the third term on, as
// elementary.h's are (the two largest terms by Horner's rule, whose rounding then dominates):
// some four products deep instead of eleven, on the line's longest chain of dependent
// operations.
template <int W>
V<W> log_plus_short(V<W> u, V<W> t) noexcept {
    const I<W> b = bits<W>(u);
    typedef std::uint64_t Unsigned __attribute__((vector_size(8 * W)));
    Unsigned ub;
    std::memcpy(&ub, &b, sizeof ub);
    ub = ub >> 52;
    I<W> biased;
    std::memcpy(&biased, &ub, sizeof biased);
    const I<W> big_exponent = biased - 1023;
    V<W> m = from_bits<W>((b & 0x000fffffffffffffLL) | 0x3ff0000000000000LL);  // [1, 2)
    const I<W> over = m > kSqrt2;
    m = pick<W>(over, m * 0.5, m);
    const I<W> k = big_exponent - over;  // over is -1 where set
    const V<W> kd = from_bits<W>(k + bits<W>(splat<W>(kRoundShift))) - kRoundShift;
    const V<W> f = m - 1.0;
    const V<W> s = f / (2.0 + f);
    const V<W> z = s * s, z2 = z * z, z4 = z2 * z2, z8 = z4 * z4;
    // a_j = kLogR[10 - j].
    const V<W> h0 = kLogR[8] + z * kLogR[7], h1 = kLogR[6] + z * kLogR[5];
    const V<W> h2 = kLogR[4] + z * kLogR[3], h3 = kLogR[2] + z * kLogR[1];
    const V<W> high = ((h0 + z2 * h1) + z4 * (h2 + z2 * h3)) + z8 * kLogR[0];
    const V<W> r = z * (kLogR[10] + z * (kLogR[9] + z * high));
    const V<W> hfsq = 0.5 * f * f;
    const V<W> corr = hfsq - s * (hfsq + r);
    const V<W> hi = kd * kLn2Hi;  // exact
    const V<W> sum = hi + f;
    const V<W> err = sum_error<W>(hi, f, sum);
    return sum + (err + ((kd * kLn2Lo + t) - corr));
}

// asinh(x) = log1p(|x| + x^2 / (1 + sqrt(1 + x^2))) with |x|'s sign, for |x| below 2^500;
// x itself below 2^-28 (where x^3/6 is below its last bit). The sum inside is carried with
// its rounding error, divided by 1 + u = |x| + h (h = sqrt(1 + x^2)) as a product with
// h - |x| = 1/(|x| + h) below |x| = 2^10 (the difference good to 2^-31 there, enough for a
// carry) and left out beyond (where it is below a tenth of an ulp of the result).
template <int W>
inline V<W> asinh_lanes(V<W> x) noexcept {
    const V<W> one = splat<W>(1.0);
    const V<W> ax = abs<W>(x);
    const V<W> x2 = ax * ax;
    const V<W> h = sqrt<W>(one + x2);
    const V<W> q = x2 / (one + h);
    const V<W> u = ax + q;
    const V<W> u_lo = sum_error<W>(ax, q, u);
    const V<W> v = one + u;
    const V<W> carry = (sum_error<W>(one, u, v) + u_lo) * (h - ax);
    const V<W> t = pick<W>(ax < 0x1p10, carry, splat<W>(0.0));
    const V<W> r = log_plus_short<W>(v, t);
    return with_sign_of<W>(pick<W>(ax < 0x1p-28, ax, r), x);
}

// -- Rhumb lines ----------------------------------------------------------------------------

inline constexpr double kRhumbHalfPiLow = 6.123233995736766e-17;  // pi/2 - kHalfPiLatitude
// The double nearest 2 pi (the exact kernel's turn, longitude.h's kTwoPiHigh).
inline constexpr double kRhumbTurn = 0x1.921fb54442d18p+2;
// Longitudes the lanes serve (the exact kernel reduces larger ones exactly); reduced
// differences up to this far from a half turn are handed over.
inline constexpr double kRhumbLongitude = 10.0;
inline constexpr double kRhumbHalfTurn = 3.1415926535;

// x - n 2 pi, n the integer nearest x / 2 pi (2 pi the double kRhumbTurn), exactly: the
// exact kernel's std::remainder, for |x| <= 20. n * kRhumbTurn is carried with its rounding
// error, and x - n kRhumbTurn is exact (Sterbenz) where |n| >= 1; the lanes where the result
// comes within 1e-10 of a half turn (n might be off by one there) are cleared from `fast`.
template <int W>
inline V<W> turn_remainder(V<W> x, I<W>& fast) noexcept {
    const V<W> n = (x * (1.0 / kRhumbTurn) + kRoundShift) - kRoundShift;
    const V<W> p = n * kRhumbTurn;
    const V<W> r = (x - p) - product_error<W>(n, splat<W>(kRhumbTurn), p);
    fast = fast & (abs<W>(r) <= kRhumbHalfTurn);
    return r;
}

// sin x and cos x for |x| <= 1/4 by their Taylor series to x^13 and x^14 (the first terms
// left out below 4e-18 and 1e-19 of the results there): the small angles of the conformal
// correction and of chi12 - phi12, on which a full sincos would spend its reduction.
template <int W>
inline void small_sincos(V<W> x, V<W>& s, V<W>& c) noexcept {
    const V<W> z = x * x, z2 = z * z, z4 = z2 * z2;
    // By pairs (Estrin's scheme, as elementary.h's): three products deep instead of six.
    const V<W> ps = ((1.0 / 6.0 - z * (1.0 / 120.0)) + z2 * (1.0 / 5040.0 - z * (1.0 / 362880.0))) +
                    z4 * (1.0 / 39916800.0 - z * (1.0 / 6227020800.0));
    const V<W> pc =
        ((1.0 / 24.0 - z * (1.0 / 720.0)) + z2 * (1.0 / 40320.0 - z * (1.0 / 3628800.0))) +
        z4 * (1.0 / 479001600.0 - z * (1.0 / 87178291200.0));
    s = x - x * (z * ps);
    c = 1.0 - z * (0.5 - z * pc);
}

// sin and cos of the conformal latitude chi = phi + sigma, sigma = sin(2 phi) sum c_k
// U_(k-1)(cos 2 phi) (Clenshaw's recurrence), from phi's sine and cosine by angle addition
// on |phi| (sigma is at most 2n rad): cos(chi) = cos(phi) cos(sigma) - sin(phi) sin(sigma)
// keeps its relative precision at the poles, where sigma vanishes as cos(phi).
template <int W>
inline void conformal_lanes(const RhumbConstants& r, V<W> phi, V<W> s, V<W> c, V<W>& sx,
                            V<W>& cx) noexcept {
    const V<W> sz = abs<W>(s);
    const V<W> x = 2.0 * (c - s) * (c + s);
    V<W> b1 = splat<W>(0.0), b2 = b1;
    for (int k = r.terms - 1; k >= 0; --k) {
        const V<W> b0 = (r.chi_of_phi[k] - b2) + x * b1;  // one product and sum deep
        b2 = b1;
        b1 = b0;
    }
    const V<W> sigma = 2.0 * sz * c * b1;
    V<W> ss, cs;
    small_sincos<W>(sigma, ss, cs);
    sx = with_sign_of<W>(sz * cs + c * ss, phi);
    cx = c * cs - sz * ss;
}

// What a line needs of the stretch between two latitudes off the poles: psi12, m12 / psi12
// (the mean radius of the parallels crossed) and the mean of sin(xi) over psi.
template <int W>
struct RhumbSpan {
    V<W> dpsi, parallel, mean_sin;
};

// kernels/rhumb.h's span_series on lanes (see there for the formulas): chi12 = phi12 (1 +
// sum c_k 2 cos(k p) sin(k d)/d), psi12 = asinh((sin chi2 - sin chi1) / (cos chi1 cos chi2)),
// mu12 / chi12 the same way over chi, the area's integral sum g_k sin(k p) sin(k d) / k, and
// log cosh(psi2) - log cosh(psi1) = log1p(x) (or log(cos chi1 / cos chi2) for |x| >= 1/2).
template <int W>
inline RhumbSpan<W> rhumb_span(const RhumbConstants& r, V<W> phi1, V<W> phi2) noexcept {
    const V<W> zero = splat<W>(0.0), one = splat<W>(1.0);
    V<W> s1, c1, s2, c2;
    sincos<W>(phi1, s1, c1);
    sincos<W>(phi2, s2, c2);
    V<W> sx1, cx1, sx2, cx2;
    conformal_lanes<W>(r, phi1, s1, c1, sx1, cx1);
    conformal_lanes<W>(r, phi2, s2, c2, sx2, cx2);
    // The divided differences over phi: sin(k d)/d, cos(k p) and sin(k p) (p = phi1 + phi2,
    // d = phi12) by the three-term recurrences y_(k+1) = 2 cos(.) y_k - y_(k-1) (their
    // rounding grows as k^3 at worst, on terms that fall as n^k), for chi12 / phi12, mu12 /
    // phi12 (the phi -> mu series: the kernel takes mu12 / chi12 over chi, one step further
    // down the chain of dependent operations) and the area.
    // sin d, cos d and 1 - cos d from the half angle.
    const V<W> d = phi2 - phi1;
    V<W> sh, ch;
    sincos<W>(0.5 * d, sh, ch);
    const V<W> sin_d = 2.0 * sh * ch, cos_d = (ch - sh) * (ch + sh);
    const I<W> same = d == 0.0;
    const V<W> sd = pick<W>(same, one, sin_d / pick<W>(same, one, d));
    const V<W> cd2 = 2.0 * cos_d;
    const V<W> sp = s1 * c2 + c1 * s2, cp = c1 * c2 - s1 * s2, cp2 = 2.0 * cp;
    V<W> sk = sd, sk0 = zero, cpk = cp, cpk0 = one, spk = sp, spk0 = zero;
    V<W> chi_dd = zero, mu_dd = zero, area_dd = zero;
    for (int k = 1; k <= r.terms; ++k) {
        const V<W> ck = cpk * sk;
        chi_dd = chi_dd + r.chi_of_phi[k - 1] * ck;
        mu_dd = mu_dd + r.mu_of_phi[k - 1] * ck;
        area_dd = area_dd + r.area_series[k - 1] * (spk * sk);
        const V<W> sk1 = cd2 * sk - sk0, cpk1 = cp2 * cpk - cpk0, spk1 = cp2 * spk - spk0;
        sk0 = sk, cpk0 = cpk, spk0 = spk;
        sk = sk1, cpk = cpk1, spk = spk1;
    }
    // chi12 = d + delta: the sine and cosine of its half by angle addition (|delta| <= 4n |d|),
    // and sin chi2 - sin chi1 = sin(chi12) cos chi1 - (1 - cos chi12) sin chi1, whose terms
    // cancel by at most half (across the equator they add).
    const V<W> delta = d * chi_dd;  // half of chi12 - phi12
    V<W> sdelta, cdelta;
    small_sincos<W>(delta, sdelta, cdelta);
    const V<W> shc = sh * cdelta + ch * sdelta, chc = ch * cdelta - sh * sdelta;
    const V<W> ds = 2.0 * shc * (chc * cx1 - shc * sx1);
    const V<W> dpsi = asinh_lanes<W>(ds / (cx1 * cx2));
    const I<W> level = dpsi == 0.0;
    const V<W> inv_dpsi = one / pick<W>(level, one, dpsi);
    // Along a parallel: dphi/dpsi = w^2 cos(phi) / (1 - e^2), and sin(xi) = sin(chi) + G /
    // (dpsi/dphi), G the area series at phi.
    const V<W> w2 = c1 * c1 + r.e2m * s1 * s1;
    const V<W> slope = w2 * c1 * r.inv_e2m;
    RhumbSpan<W> out;
    out.dpsi = dpsi;
    out.parallel = r.rectifying_radius * (1.0 + 2.0 * mu_dd) *
                   pick<W>(level, slope, d / pick<W>(level, one, dpsi));
    // log(cos chi1 / cos chi2): one logarithm, of 1 + x (x carried; 1/(1 + x) as 2 - (1 + x)
    // in the carry, which the carry's size forgives) or of the quotient itself.
    const V<W> x_num = ds * (sx2 + sx1), x_den = (cx1 + cx2) * cx2;
    const I<W> small = abs<W>(x_num) < 0.5 * abs<W>(x_den);
    const V<W> q = pick<W>(small, x_num, cx1) / pick<W>(small, x_den, cx2);
    const V<W> u = pick<W>(small, one + q, q);
    const V<W> t = pick<W>(small, sum_error<W>(one, q, u) * (2.0 - u), zero);
    const V<W> log_ratio = log_plus_short<W>(u, t);
    out.mean_sin = pick<W>(level, sx1 + area_dd * slope, (log_ratio + d * area_dd) * inv_dpsi);
    return out;
}

// The inverse problem: the line from (lat1, lon1) to (lat2, lon2) the shorter way in
// longitude.
template <int W>
I<W> rhumb_inverse_lanes(const RhumbConstants& r, V<W> lat1, V<W> lon1, V<W> lat2, V<W> lon2,
                         V<W>& s12, V<W>& azi12, V<W>& S12) noexcept {
    const V<W> zero = splat<W>(0.0), one = splat<W>(1.0);
    I<W> fast = (abs<W>(lat1) < kHalfPiLatitude) & (abs<W>(lat2) < kHalfPiLatitude) &
                (abs<W>(lon1) <= kRhumbLongitude) & (abs<W>(lon2) <= kRhumbLongitude);
    // Latitudes a hair apart, whose divided differences would go subnormal.
    const V<W> d = abs<W>(lat2 - lat1);
    fast = fast & ((d == 0.0) | (d >= 0x1p-900));
    lat1 = pick<W>(fast, lat1, zero), lat2 = pick<W>(fast, lat2, zero);
    lon1 = pick<W>(fast, lon1, zero), lon2 = pick<W>(fast, lon2, zero);
    const V<W> lam12 = turn_remainder<W>(lon2 - lon1, fast);
    const RhumbSpan<W> sp = rhumb_span<W>(r, lat1, lat2);
    fast = fast & ((abs<W>(sp.dpsi) >= 0x1p-450) | (abs<W>(lam12) >= 0x1p-450));
    s12 = sqrt<W>(sp.dpsi * sp.dpsi + lam12 * lam12) * sp.parallel;
    azi12 = atan2<W>(pick<W>(fast, lam12, zero), pick<W>(fast, sp.dpsi, one));
    S12 = r.c2 * (lam12 * sp.mean_sin);
    return fast;
}

// The direct problem: the point at distance s12 from (lat1, lon1) along the line of azimuth
// azi12, as the exact kernel takes it: the meridian distance reached, m2 = R mu1 + s12
// cos(azi12), its geodetic latitude by the mu -> phi series, then lambda12 = s12 sin(azi12) /
// (m12 / psi12) and S12 from the stretch between the two latitudes.
template <int W>
I<W> rhumb_direct_lanes(const RhumbConstants& r, V<W> lat1, V<W> lon1, V<W> azi12, V<W> s12,
                        V<W>& lat2, V<W>& lon2, V<W>& S12) noexcept {
    const V<W> zero = splat<W>(0.0), one = splat<W>(1.0);
    const V<W> as = abs<W>(s12);
    I<W> fast = (abs<W>(lat1) < kHalfPiLatitude) & (abs<W>(lon1) <= kRhumbLongitude) &
                (abs<W>(azi12) <= kTrigLimit) & (as > 0.0) & (as <= 0x1.fffffffffffffp1023);
    lat1 = pick<W>(fast, lat1, zero), lon1 = pick<W>(fast, lon1, zero);
    azi12 = pick<W>(fast, azi12, zero), s12 = pick<W>(fast, s12, one);
    V<W> sa, ca;
    sincos<W>(azi12, sa, ca);
    const LatitudeSeries to_mu{r.to_mu, r.to_mu_terms, true, nullptr, nullptr};
    const LatitudeSeries from_mu{r.from_mu, r.from_mu_terms, true, nullptr, nullptr};
    V<W> mu1, phi2;
    latitude_series_lanes<W>(to_mu, lat1, mu1);
    const V<W> mu2 = (r.rectifying_radius * mu1 + s12 * ca) / r.rectifying_radius;
    // Lines that come within 1e-9 rad of a pole, or pass it, are the exact kernel's.
    fast = fast & (abs<W>(mu2) < kHalfPiLatitude - 1e-9);
    latitude_series_lanes<W>(from_mu, pick<W>(fast, mu2, zero), phi2);
    phi2 = pick<W>(fast, phi2, zero);
    const RhumbSpan<W> sp = rhumb_span<W>(r, lat1, phi2);
    const V<W> lam12 = s12 * sa / sp.parallel;
    fast = fast & (abs<W>(lam12) <= kRhumbLongitude);
    lat2 = phi2;
    lon2 = turn_remainder<W>(lon1 + pick<W>(fast, lam12, zero), fast);
    S12 = r.c2 * (lam12 * sp.mean_sin);
    return fast;
}

// Lines in and out, W at a time: the lanes `lanes` does not compute to `exact`, line by line;
// the last lines through a padded block.
template <int W, class Lanes>
inline void rhumb_rows(const RhumbConstants& r, const common::Column (&in)[4], common::OutRows out,
                       std::ptrdiff_t begin, std::ptrdiff_t end, const double (&pad)[4],
                       void (*exact)(const void*, const double*, double*), Lanes lanes) noexcept {
    const auto block = [&](std::ptrdiff_t i, int m) noexcept {
        V<W> u[4];
        for (int j = 0; j < 4; ++j) u[j] = splat<W>(pad[j]);
        for (int k = 0; k < m; ++k)
            for (int j = 0; j < 4; ++j) u[j][k] = in[j][i + k];
        V<W> res[3] = {splat<W>(0.0), splat<W>(0.0), splat<W>(0.0)};
        I<W> fast{};
        if (r.series) lanes(u, res, &fast);
        for (int k = 0; k < m; ++k) {
            if (fast[k]) {
                out.put(i + k, res[0][k], res[1][k], res[2][k]);
            } else {
                const double row[4] = {u[0][k], u[1][k], u[2][k], u[3][k]};
                double res[3];
                exact(r.exact, row, res);
                out.put(i + k, res[0], res[1], res[2]);
            }
        }
    };
    std::ptrdiff_t i = begin;
    for (; i + W <= end; i += W) block(i, W);
    if (i < end) block(i, int(end - i));
}

// One block of the inverse problem's lanes, out of line: GCC may pass one-lane vectors to
// the elementary functions on the stack and defer their pops, leaving the stack off its
// 16-byte alignment in the frame that makes those calls, where a call to the exact kernel
// (through a pointer: its alignment not relaxed) would then fault. Here the frame that calls
// the exact kernel makes no such calls. Flattened: the elementary functions inline, so that
// the compiler schedules their independent chains together (some 2 % faster).
template <int W>
[[gnu::noinline, gnu::flatten]] void rhumb_inverse_block(const RhumbConstants& r, const V<W>* u,
                                                         V<W>* res, I<W>* fast) noexcept {
    *fast = rhumb_inverse_lanes<W>(r, u[0], u[1], u[2], u[3], res[0], res[1], res[2]);
}

template <int W>
void rhumb_inverse_loop(const RhumbConstants& r, const common::Column (&in)[4], common::OutRows out,
                        std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
    const double pad[4] = {0.0, 0.0, 0.5, 1.0};
    rhumb_rows<W>(r, in, out, begin, end, pad, r.exact_inverse,
                  [&](const V<W>* u, V<W>* res, I<W>* fast) noexcept {
                      rhumb_inverse_block<W>(r, u, res, fast);
                  });
}

template <int W>
[[gnu::noinline, gnu::flatten]] void rhumb_direct_block(const RhumbConstants& r, const V<W>* u,
                                                        V<W>* res, I<W>* fast) noexcept {
    *fast = rhumb_direct_lanes<W>(r, u[0], u[1], u[2], u[3], res[0], res[1], res[2]);
}

template <int W>
void rhumb_direct_loop(const RhumbConstants& r, const common::Column (&in)[4], common::OutRows out,
                       std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
    const double pad[4] = {0.0, 0.0, 0.5, 1.0};
    rhumb_rows<W>(r, in, out, begin, end, pad, r.exact_direct,
                  [&](const V<W>* u, V<W>* res, I<W>* fast) noexcept {
                      rhumb_direct_block<W>(r, u, res, fast);
                  });
}

template <int W>
constexpr RhumbLoops make_rhumb_loops(const char* name) noexcept {
    return RhumbLoops{name, &rhumb_inverse_loop<W>, &rhumb_direct_loop<W>};
}

}  // namespace
}  // namespace quorvane::fast

#endif  // QUORVANE_ELLIPSOID_FAST_RHUMB_H
