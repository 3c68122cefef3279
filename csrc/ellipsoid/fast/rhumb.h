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
// the conformal latitudes of both ends by the phi -> chi series, the divided differences of
// that series, of chi -> mu and of the area's sine series by angle addition, psi12 as an
// asinh of sin chi2 - sin chi1), written once more on lanes with the lanes' own sin, cos,
// atan2 (elementary.h) and logarithm (latitudes.h's log_plus), and the asinh and log1p
// below: not that kernel's bits, but the same bits at every instruction-set level.
//
// Each function returns the mask of the lanes it computed. The others go to the exact
// kernel, line by line (loops below): flattenings past 1/25 (where the kernel integrates by
// quadrature) and lengths outside 2^-400 .. 2^400, latitudes at or beyond the poles (the
// kernel's meridian convention), NaN and infinite values, longitudes beyond 10 rad (which
// the kernel reduces by an exact 2 pi), longitude differences within 1e-10 of a half turn
// (where the shorter way is decided by the remainder's tie), coincident points and lines
// whose psi12 and lambda12 are both below 2^-450 (whose squares would underflow); for the
// direct problem also s12 = 0, azimuths beyond 2^20 rad, distances beyond 2^30 Re, lines that
// come within 1e-9 rad of rectifying latitude of a pole and lines that turn more than 10 rad
// in longitude.
//
// The plain data and the table of loops are declared for module.cpp; the loops themselves
// are in an anonymous namespace, one copy per level's file (level_*.cpp), as loops.h's are.
#ifndef QUORVANE_ELLIPSOID_FAST_RHUMB_H
#define QUORVANE_ELLIPSOID_FAST_RHUMB_H

#include <cstddef>

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
    int series_terms, area_terms;         // the terms that matter (kernels/rhumb.h)
    double chi_of_phi[kRhumbAreaTerms];   // phi -> chi (0 past kRhumbOrder)
    double mu_of_chi[kRhumbOrder];        // chi -> mu
    double area_series[kRhumbAreaTerms];  // the area's sine series, g_k / k
    const double* to_mu;                  // phi -> mu, to_mu_terms terms
    const double* from_mu;                // mu -> phi, from_mu_terms terms
    int to_mu_terms, from_mu_terms;
    double rectifying_radius, e2m, c2;  // R, 1 - e^2, the authalic radius squared
    const void* exact;                  // the exact kernel's constants (rhumb::Rhumb)
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
#endif
#if defined(__aarch64__)
extern const RhumbLoops kNeonRhumbLoops;
#endif

namespace {

// -- Elementary functions of the lanes that the rhumb lines add: log1p and asinh ----------
// (on latitudes.h's log_plus, which rounds about once)

// log(1 + x) for x > -1/2 (and below 2^1000): 1 + x with its rounding error carried into
// log_plus, so that a small x keeps its relative precision (x itself below 2^-53).
template <int W>
inline V<W> log1p_lanes(V<W> x) noexcept {
    const V<W> one = splat<W>(1.0);
    const V<W> u = one + x;
    return log_plus<W>(u, sum_error<W>(one, x, u) / u);
}

// asinh(x) = log1p(|x| + x^2 / (1 + sqrt(1 + x^2))) with |x|'s sign, for |x| below 2^500;
// x itself below 2^-28 (where x^3/6 is below its last bit). The sum inside is carried with
// its rounding error.
template <int W>
inline V<W> asinh_lanes(V<W> x) noexcept {
    const V<W> one = splat<W>(1.0);
    const V<W> ax = abs<W>(x);
    const V<W> x2 = ax * ax;
    const V<W> q = x2 / (one + sqrt<W>(one + x2));
    const V<W> u = ax + q;
    const V<W> u_lo = sum_error<W>(ax, q, u);
    const V<W> v = one + u;
    const V<W> t = (sum_error<W>(one, u, v) + u_lo) / v;
    const V<W> r = log_plus<W>(v, t);
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

// sin and cos of the conformal latitude chi = phi + sin(2 phi) sum c_k U_(k-1)(cos 2 phi)
// (Clenshaw's recurrence) from phi's sine and cosine, on |phi|; past pi/4 from the
// complement pi/2 - chi (pi/2 in two doubles), so that cos(chi) keeps its relative precision
// at the poles. One sincos of whichever angle is taken.
template <int W>
inline void conformal_lanes(const RhumbConstants& r, V<W> phi, V<W> s, V<W> c, V<W>& sx,
                            V<W>& cx) noexcept {
    const V<W> z = abs<W>(phi), sz = abs<W>(s);
    const V<W> x = 2.0 * (c - s) * (c + s);
    V<W> b1 = splat<W>(0.0), b2 = b1;
    for (int k = r.series_terms - 1; k >= 0; --k) {
        const V<W> b0 = x * b1 - b2 + r.chi_of_phi[k];
        b2 = b1;
        b1 = b0;
    }
    const V<W> sigma = 2.0 * sz * c * b1;
    const I<W> low = z <= kHalfPiLatitude / 2;
    const V<W> gamma = ((kHalfPiLatitude - z) + kRhumbHalfPiLow) - sigma;
    V<W> sa, ca;
    sincos<W>(pick<W>(low, z + sigma, gamma), sa, ca);
    sx = with_sign_of<W>(pick<W>(low, sa, ca), phi);
    cx = pick<W>(low, ca, sa);
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
    // The divided differences over phi (sin(k d)/d and cos(k p) by angle addition).
    const V<W> d = phi2 - phi1;
    V<W> sin_d, cos_d;
    sincos<W>(d, sin_d, cos_d);
    const I<W> same = d == 0.0;
    const V<W> sd = pick<W>(same, one, sin_d / pick<W>(same, one, d));
    const V<W> cd = c1 * c2 + s1 * s2;
    const V<W> sp = s1 * c2 + c1 * s2, cp = c1 * c2 - s1 * s2;
    const V<W> dd = d * d;
    V<W> sk = sd, ck = cd, spk = sp, cpk = cp, chi_dd = zero, area_dd = zero;
    const int terms = r.series_terms > r.area_terms ? r.series_terms : r.area_terms;
    for (int k = 1; k <= terms; ++k) {
        chi_dd = chi_dd + r.chi_of_phi[k - 1] * (2.0 * cpk * sk);
        area_dd = area_dd + r.area_series[k - 1] * (spk * sk);
        const V<W> sk1 = sk * cd + ck * sd, ck1 = ck * cd - sk * sd * dd;
        const V<W> spk1 = spk * cp + cpk * sp, cpk1 = cpk * cp - spk * sp;
        sk = sk1, ck = ck1, spk = spk1, cpk = cpk1;
    }
    const V<W> dchi = d * (1.0 + chi_dd);
    V<W> sdchi, cos_dchi;
    sincos<W>(dchi, sdchi, cos_dchi);
    const V<W> cdchi = cx1 * cx2 + sx1 * sx2;
    const V<W> ds = sdchi * cx1 - sdchi * sdchi / (1.0 + cdchi) * sx1;  // sin chi2 - sin chi1
    const V<W> dpsi = asinh_lanes<W>(ds / (cx1 * cx2));
    const I<W> level = dpsi == 0.0;
    const V<W> gd = pick<W>(level, cx1, dchi / pick<W>(level, one, dpsi));  // chi12 / psi12
    // mu12 / chi12 over chi: the same recurrences with p = chi1 + chi2, d = chi12.
    const I<W> still = dchi == 0.0;
    const V<W> tsd = pick<W>(still, one, sdchi / pick<W>(still, one, dchi));
    const V<W> tsp = sx1 * cx2 + cx1 * sx2, tcp = cx1 * cx2 - sx1 * sx2;
    const V<W> dchi2 = dchi * dchi;
    V<W> tk = tsd, uk = cdchi, tpk = tsp, upk = tcp, mu_dd = zero;
    for (int k = 1; k <= r.series_terms; ++k) {
        mu_dd = mu_dd + r.mu_of_chi[k - 1] * (2.0 * upk * tk);
        const V<W> tk1 = tk * cdchi + uk * tsd, uk1 = uk * cdchi - tk * tsd * dchi2;
        const V<W> tpk1 = tpk * tcp + upk * tsp, upk1 = upk * tcp - tpk * tsp;
        tk = tk1, uk = uk1, tpk = tpk1, upk = upk1;
    }
    RhumbSpan<W> out;
    out.dpsi = dpsi;
    out.parallel = r.rectifying_radius * (1.0 + mu_dd) * gd;
    // Along a parallel: sin(xi) = sin(chi) + G / (dpsi/dphi), G the area series at phi.
    const V<W> w2 = c1 * c1 + r.e2m * s1 * s1;
    const V<W> along = sx1 + area_dd * (w2 * c1 / r.e2m);
    // log(cos chi1 / cos chi2): one logarithm, of 1 + x (x carried) or of the quotient.
    const V<W> x = ds * (sx2 + sx1) / ((cx1 + cx2) * cx2);
    const I<W> small = abs<W>(x) < 0.5;
    const V<W> u = pick<W>(small, one + x, cx1 / cx2);
    const V<W> t = pick<W>(small, sum_error<W>(one, x, u) / u, zero);
    const V<W> log_ratio = log_plus<W>(u, t);
    out.mean_sin = pick<W>(level, along, (log_ratio + d * area_dd) / pick<W>(level, one, dpsi));
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
        V<W> r0 = splat<W>(0.0), r1 = r0, r2 = r0;
        const I<W> fast = r.series ? lanes(u, r0, r1, r2) : I<W>{};
        for (int k = 0; k < m; ++k) {
            if (fast[k]) {
                out.put(i + k, r0[k], r1[k], r2[k]);
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

template <int W>
void rhumb_inverse_loop(const RhumbConstants& r, const common::Column (&in)[4], common::OutRows out,
                        std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
    const double pad[4] = {0.0, 0.0, 0.5, 1.0};
    rhumb_rows<W>(r, in, out, begin, end, pad, r.exact_inverse,
                  [&](const V<W>* u, V<W>& s12, V<W>& azi12, V<W>& S12) noexcept {
                      return rhumb_inverse_lanes<W>(r, u[0], u[1], u[2], u[3], s12, azi12, S12);
                  });
}

template <int W>
void rhumb_direct_loop(const RhumbConstants& r, const common::Column (&in)[4], common::OutRows out,
                       std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        const double row[4] = {in[0][i], in[1][i], in[2][i], in[3][i]};
        double res[3];
        r.exact_direct(r.exact, row, res);
        out.put(i, res[0], res[1], res[2]);
    }
}

template <int W>
constexpr RhumbLoops make_rhumb_loops(const char* name) noexcept {
    return RhumbLoops{name, &rhumb_inverse_loop<W>, &rhumb_direct_loop<W>};
}

}  // namespace
}  // namespace quorvane::fast

#endif  // QUORVANE_ELLIPSOID_FAST_RHUMB_H
