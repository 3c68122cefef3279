// The conversions between auxiliary latitudes W at a time, for
// quorvane.mathtools.ellipsoid._fast: where the flattening is one the series
// serve (f <= 1/25, kernels/latitudes.h), every conversion is
//
//   eta = zeta + sum_{k=1..K} C[k] sin(2 k zeta)
//
// (Karney, "On auxiliary latitudes", Survey Review 2023: the Fourier series in
// the third flattening n, to order n^12, whose coefficients the exact kernel
// evaluates for the ellipsoid and hands over here), summed by Clenshaw's
// recurrence on the lanes' own sine and cosine (elementary.h): the exact
// kernel's formula, with sin and cos of below 0.8 ulp instead of the
// platform's. The isometric latitude is computed there too, from the same sine
// and cosine and a logarithm of the lanes' own (isometric_lanes). The poles,
// NaN and latitudes beyond them, and every latitude of a larger flattening
// (the exact forms and their Newton iterations) are the exact kernel's, point
// by point.
//
// Measured error against a 50-digit truth: the conversions within 1.2e-16 rad
// up to f = 1/25 (bench/results/latitudes-accuracy.md, python -m
// bench.latitudes_accuracy); the isometric latitude within 3.5e-16 relative
// (4e4 latitudes per flattening up to 1/25, the exact kernel 3.9e-16). The
// same bits at every level.
//
// The plain data and the table of loops are declared for module.cpp; the
// loops themselves are in an anonymous namespace, one copy per level's file
// (level_*.cpp), as loops.h's are.
#ifndef QUORVANE_ELLIPSOID_FAST_LATITUDES_H
#define QUORVANE_ELLIPSOID_FAST_LATITUDES_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/strided.h"
#include "ellipsoid/fast/elementary.h"
#include "ellipsoid/fast/lanes.h"

namespace quorvane::fast {

// One conversion between kinds of latitude on one ellipsoid.
struct LatitudeSeries {
    const double* c;  // C[1..K] of the series, c[k - 1] = C[k]
    int terms;        // K (0: a kind to itself)
    bool series;      // the series serve this flattening (else every value is the exact one)
    const void* exact;
    double (*exact_value)(const void* exact, double x);  // the exact kernel of one latitude
};

// The isometric latitude of one ellipsoid.
struct Isometric {
    double e;     // eccentricity
    bool series;  // f <= 1/25 (else every value is the exact one)
    const void* exact;
    double (*exact_value)(const void* exact, double phi);  // the exact kernel
};

struct LatitudeLoops {
    const char* name;  // the level's, as Loops::name
    // Latitudes [begin, end) of x into y.
    void (*convert)(const LatitudeSeries&, common::Column x, common::OutColumn y,
                    std::ptrdiff_t begin, std::ptrdiff_t end);
    // Isometric latitudes of the geodetic latitudes [begin, end) of x into y.
    void (*isometric)(const Isometric&, common::Column x, common::OutColumn y, std::ptrdiff_t begin,
                      std::ptrdiff_t end);
};

extern const LatitudeLoops kScalarLatitudeLoops;
#if defined(__x86_64__)
extern const LatitudeLoops kSse2LatitudeLoops;
extern const LatitudeLoops kAvx2LatitudeLoops;
extern const LatitudeLoops kAvx512LatitudeLoops;
#endif
#if defined(__aarch64__)
extern const LatitudeLoops kNeonLatitudeLoops;
#endif

namespace {

inline constexpr double kHalfPiLatitude = 0x1.921fb54442d18p+0;  // the pole, as a double

// The series of s at the latitudes x of the lanes whose |x| < pi/2 (the mask
// returned); the other lanes of y are undefined. Odd in x: the sum is taken at
// |x| and given x's sign (it is >= 0 there), so -0 gives -0.
template <int W>
I<W> latitude_series_lanes(const LatitudeSeries& s, V<W> x, V<W>& y) noexcept {
    const V<W> z0 = abs<W>(x);
    const I<W> inside = z0 < kHalfPiLatitude;  // false for NaN
    const V<W> z = pick<W>(inside, z0, splat<W>(0.0));
    V<W> sn, cs;
    sincos<W>(z, sn, cs);
    const V<W> s2 = 2.0 * sn * cs, twice_cos2 = 2.0 * (cs - sn) * (cs + sn);  // sin 2z, 2 cos 2z
    V<W> b1 = splat<W>(0.0), b2 = b1;
    for (int k = s.terms - 1; k >= 0; --k) {
        const V<W> b0 = twice_cos2 * b1 - b2 + s.c[k];
        b2 = b1;
        b1 = b0;
    }
    y = with_sign_of<W>(z + b1 * s2, x);
    return inside;
}

template <int W>
void latitude_convert_loop(const LatitudeSeries& s, common::Column x, common::OutColumn y,
                           std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
    if (!s.series) {
        for (std::ptrdiff_t i = begin; i < end; ++i) y.put(i, s.exact_value(s.exact, x[i]));
        return;
    }
    const auto block = [&](std::ptrdiff_t i, int m) noexcept {
        V<W> u = splat<W>(0.0), v;
        for (int k = 0; k < m; ++k) u[k] = x[i + k];
        const I<W> fast = latitude_series_lanes<W>(s, u, v);
        for (int k = 0; k < m; ++k) y.put(i + k, fast[k] ? v[k] : s.exact_value(s.exact, u[k]));
    };
    std::ptrdiff_t i = begin;
    for (; i + W <= end; i += W) block(i, W);
    if (i < end) block(i, int(end - i));
}

// -- The isometric latitude ------------------------------------------------------

// ln 2 = kLn2Hi + kLn2Lo, kLn2Hi of 42 significant bits (k kLn2Hi is exact for |k| < 2^11).
inline constexpr double kLn2Hi = 0x1.62e42fefa3800p-1, kLn2Lo = 0x1.ef35793c76730p-45;
inline constexpr double kSqrt2 = 0x1.6a09e667f3bcdp+0;
// 2/(2j + 1), j = 11 .. 1: log(1 + f) = 2 atanh(s) = 2 s + s R(s^2), s = f/(2 + f),
// R(z) = sum_j 2 z^j/(2j + 1); at |s| <= 3 - 2 sqrt(2) the first term left out is below
// 1e-19 of the sum.
inline constexpr double kLogR[11] = {
    0x1.642c8590b2164p-4, 0x1.8618618618618p-4, 0x1.af286bca1af28p-4, 0x1.e1e1e1e1e1e1ep-4,
    0x1.1111111111111p-3, 0x1.3b13b13b13b14p-3, 0x1.745d1745d1746p-3, 0x1.c71c71c71c71cp-3,
    0x1.2492492492492p-2, 0x1.999999999999ap-2, 0x1.5555555555555p-1,
};

// a + b = s + t exactly (Knuth's two-sum).
template <int W>
inline V<W> sum_error(V<W> a, V<W> b, V<W> s) noexcept {
    const V<W> bb = s - a;
    return (a - (s - bb)) + (b - bb);
}

// log(u) + t for normal u >= 1 and a small t (a correction of u's rounding): u = 2^k m,
// m in [sqrt(1/2), sqrt(2)), f = m - 1 exactly, and log(1 + f) = f - (f^2/2 - s (f^2/2 +
// R)) (2 s = f - s f, s f = f^2/2 - s f^2/2), whose correction to f is small; k ln 2 + f
// is summed with its rounding error, so that the result is rounded about once.
template <int W>
V<W> log_plus(V<W> u, V<W> t) noexcept {
    const I<W> b = bits<W>(u);
    // The biased exponent by a logical shift (u > 0; there is no 64-bit arithmetic shift
    // below AVX-512).
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
    // k as a double by the 1.5 * 2^52 shift (|k| < 2^11).
    const V<W> kd = from_bits<W>(k + bits<W>(splat<W>(kRoundShift))) - kRoundShift;
    const V<W> f = m - 1.0;
    const V<W> s = f / (2.0 + f);
    const V<W> z = s * s;
    V<W> r = splat<W>(kLogR[0]);
    for (int j = 1; j < 11; ++j) r = r * z + kLogR[j];
    r = r * z;
    const V<W> hfsq = 0.5 * f * f;
    const V<W> corr = hfsq - s * (hfsq + r);
    const V<W> hi = kd * kLn2Hi;  // exact
    const V<W> sum = hi + f;
    const V<W> err = sum_error<W>(hi, f, sum);
    return sum + (err + ((kd * kLn2Lo + t) - corr));
}

// atanh(x) for 0 <= x < 1 given as x = n/d with the double-double d = d_hi + d_lo:
// log1p(2 x/(1 - x))/2 with 1 - x = (d - n)/d, or here directly from q = 2 n/(d - n).
// Returns log1p(q + q_lo)/2 for q = num/den, den = den_hi + den_lo, num exact.
template <int W>
V<W> half_log1p_quotient(V<W> num, V<W> den_hi, V<W> den_lo) noexcept {
    const V<W> q = num / den_hi;
    const V<W> p = q * den_hi;
    const V<W> q_lo = (((num - p) - product_error<W>(q, den_hi, p)) - q * den_lo) / den_hi;
    const V<W> u = 1.0 + q;
    const V<W> ue = sum_error<W>(splat<W>(1.0), q, u);
    return 0.5 * log_plus<W>(u, (ue + q_lo) / u);
}

// atanh(y)/y - 1 = sum_k y^(2k)/(2k + 1), k = 1 .. 15: for y^2 <= e^2 <= 0.0784 (f <= 1/25)
// the first term left out is below 1e-18.
inline constexpr int kAtanhTerms = 15;

// psi = atanh(sin(phi)) - e atanh(e sin(phi)) for 0 <= z < pi/2 (the lanes' mask): the
// first term from s = sin(z) as log1p(2 s/(1 - s))/2 up to s = 0.7 and as log((1 + s)/c)
// beyond (c = cos(z), which keeps the digits of pi/2 - z that s would lose), each with the
// rounding of its quotient carried; the second, at most e^2 = 0.078 of the first, by the
// Taylor series of atanh.
template <int W>
I<W> isometric_lanes(const Isometric& g, V<W> x, V<W>& y) noexcept {
    const V<W> z0 = abs<W>(x);
    const I<W> inside = z0 < kHalfPiLatitude;
    const V<W> z = pick<W>(inside, z0, splat<W>(0.0));
    V<W> s, c;
    sincos<W>(z, s, c);
    const V<W> one = splat<W>(1.0);
    // 1 - s exactly as a double-double (s <= 1).
    const V<W> d = one - s, d_lo = (one - d) - s;
    const V<W> near_equator = half_log1p_quotient<W>(2.0 * s, d, d_lo);
    // (1 + s)/c with the rounding of both carried.
    const V<W> a = one + s, a_lo = sum_error<W>(one, s, a);
    const V<W> cs = pick<W>(inside, c, one);
    const V<W> ratio = a / cs;
    const V<W> p = ratio * cs;
    const V<W> ratio_lo = (((a - p) - product_error<W>(ratio, cs, p)) + a_lo) / cs;
    const V<W> near_pole = log_plus<W>(ratio, ratio_lo / ratio);
    const V<W> head = pick<W>(s <= 0.7, near_equator, near_pole);
    const V<W> es = g.e * s, y2 = es * es;
    V<W> series = splat<W>(1.0 / (2 * kAtanhTerms + 1));
    for (int k = kAtanhTerms - 1; k >= 1; --k) series = series * y2 + 1.0 / (2 * k + 1);
    const V<W> tail = es + es * (y2 * series);  // atanh(e s)
    y = with_sign_of<W>(head - g.e * tail, x);
    return inside;
}

template <int W>
void isometric_loop(const Isometric& g, common::Column x, common::OutColumn y, std::ptrdiff_t begin,
                    std::ptrdiff_t end) noexcept {
    if (!g.series) {
        for (std::ptrdiff_t i = begin; i < end; ++i) y.put(i, g.exact_value(g.exact, x[i]));
        return;
    }
    const auto block = [&](std::ptrdiff_t i, int m) noexcept {
        V<W> u = splat<W>(0.0), v;
        for (int k = 0; k < m; ++k) u[k] = x[i + k];
        const I<W> fast = isometric_lanes<W>(g, u, v);
        for (int k = 0; k < m; ++k) y.put(i + k, fast[k] ? v[k] : g.exact_value(g.exact, u[k]));
    };
    std::ptrdiff_t i = begin;
    for (; i + W <= end; i += W) block(i, W);
    if (i < end) block(i, int(end - i));
}

template <int W>
constexpr LatitudeLoops make_latitude_loops(const char* name) noexcept {
    return LatitudeLoops{name, &latitude_convert_loop<W>, &isometric_loop<W>};
}

}  // namespace
}  // namespace quorvane::fast

#endif  // QUORVANE_ELLIPSOID_FAST_LATITUDES_H
