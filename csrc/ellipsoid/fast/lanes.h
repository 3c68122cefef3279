// The vectorised conversions, written once over a lane count W and compiled
// once per instruction-set level (level_*.cpp): W = 1 (plain scalar code),
// W = 2 (SSE2, NEON), W = 4 (AVX2).
//
// Same bits at every width. The lanes are GCC vector types: every operation
// below is one IEEE operation per lane (add, subtract, multiply, divide,
// square root, compare, select), applied in the order written, whatever W is;
// the build forbids contraction into fused multiply-adds (-ffp-contract=off)
// and no level is compiled with -mfma. Rounding to an integer uses the
// 1.5 * 2^52 shift, not a conversion instruction. The elementary functions
// (sin, cos, atan2) are written here for the same reason: the platform's
// libm differs between machines and has no vector form.
//
// Everything is in an anonymous namespace: each level's file gets its own
// copy, compiled for its own instruction set.
//
// Methods:
//   [Fukushima 2006] T. Fukushima, "Transformation from Cartesian to geodetic
//     coordinates accelerated by Halley's method", Journal of Geodesy 79,
//     689-693, 2006: the foot-point equation solved for the sine and cosine
//     of the reduced latitude, carried unnormalised, so that no trigonometric
//     function is evaluated inside the iteration. Here the update is a Newton
//     step on that equation (two or three of them, from the surface start
//     tan beta = z / ((1 - f) rho)); the rotation by the step uses tan d ~ d,
//     whose error d^3 / 3 is below Newton's own.
//   [Dekker 1971] T. J. Dekker, "A floating-point technique for extending the
//     available precision", Numerische Mathematik 18, 224-242, 1971: exact
//     products by Veltkamp's splitting, and sums with their rounding error
//     (also D. E. Knuth, "The Art of Computer Programming", vol. 2, 4.2.2).
//   [Cody & Waite 1980] W. J. Cody, W. Waite, "Software Manual for the
//     Elementary Functions", Prentice-Hall, 1980: argument reduction by pi/2
//     split into parts whose products with the quadrant are exact.
//   The polynomials are Taylor series (sin, cos on |r| <= pi/4, where the
//   first omitted term is below 1e-19 relative) and a Chebyshev fit of
//   (atan(u) / u - 1) / u^2 in u^2 on |u| <= tan(pi/8) (12 terms, fitted in
//   60-digit arithmetic; fit error 1.2e-18). Each is evaluated as
//   c0 + x (c1 + x h(x)), with the higher terms h by Estrin's scheme
//   [Estrin 1960] (G. Estrin, "Organization of computer systems: the fixed
//   plus variable structure computer", Proc. Western Joint Computer
//   Conference, 1960): a chain of about four products instead of one per
//   term, with the rounding of the two largest terms as Horner's rule has it
//   (the measured errors below are those of Horner's rule alone).
//
// Measured error of the elementary functions (python -m bench.fast_ulps
// --points 20000, against 40-digit values; the same bits at every level):
//   sin, cos on [-pi, pi] and on [-2^20, 2^20]: below 0.76 ulp (the final
//     rounding, plus the rounding of the polynomial's tail, up to a tenth of
//     the result, which counts most just below a power of two);
//   atan2 on pairs of random signs and exponents 1e-300 .. 1e300: 0.50 ulp;
//     on pairs within a factor of 10 of each other: below 0.58 ulp.
#ifndef QUORVANE_ELLIPSOID_FAST_LANES_H
#define QUORVANE_ELLIPSOID_FAST_LANES_H

#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(__AVX__)
#include <immintrin.h>
#endif
#if defined(__aarch64__)
#include <arm_neon.h>
#endif

#include "ellipsoid/fast/loops.h"

namespace quorvane::fast {
namespace {

template <int W>
struct Lanes {
    typedef double V __attribute__((vector_size(8 * W)));
    typedef std::int64_t I __attribute__((vector_size(8 * W)));
};
template <int W>
using V = typename Lanes<W>::V;
template <int W>
using I = typename Lanes<W>::I;

// Element k of a buffer that may be unaligned (a chunk of a byte buffer, a
// Dask block): read and written through memcpy, which compiles to plain moves.
inline double load(const double* p, std::ptrdiff_t k) noexcept {
    double v;
    std::memcpy(&v, p + k, sizeof v);
    return v;
}
inline void store(double* p, std::ptrdiff_t k, double v) noexcept {
    std::memcpy(p + k, &v, sizeof v);
}

template <int W>
inline V<W> splat(double c) noexcept {
    V<W> v;
    for (int k = 0; k < W; ++k) v[k] = c;
    return v;
}

template <int W>
inline I<W> bits(V<W> v) noexcept {
    I<W> i;
    std::memcpy(&i, &v, sizeof i);
    return i;
}

template <int W>
inline V<W> from_bits(I<W> i) noexcept {
    V<W> v;
    std::memcpy(&v, &i, sizeof v);
    return v;
}

inline constexpr std::int64_t kSignBit = INT64_MIN;

template <int W>
inline V<W> abs(V<W> x) noexcept {
    return from_bits<W>(bits<W>(x) & ~kSignBit);
}

// |r| with the sign of s (r >= 0).
template <int W>
inline V<W> with_sign_of(V<W> r, V<W> s) noexcept {
    return from_bits<W>(bits<W>(r) | (bits<W>(s) & kSignBit));
}

template <int W>
inline V<W> sqrt(V<W> x) noexcept {
#if defined(__AVX__)
    if constexpr (W == 4) return _mm256_sqrt_pd(x);
#endif
#if defined(__SSE2__)
    if constexpr (W == 2) return _mm_sqrt_pd(x);
#endif
#if defined(__aarch64__)
    if constexpr (W == 2) return vsqrtq_f64(x);
#endif
    // Correctly rounded, as the instructions above are: the same bits.
    for (int k = 0; k < W; ++k) x[k] = __builtin_sqrt(x[k]);
    return x;
}

// a where m is set, else b, lane by lane, on the bits. (GCC 12 drops the
// vector conditional a ? b : c on one-lane vectors at -O2: hence this form.)
template <int W>
inline V<W> pick(I<W> m, V<W> a, V<W> b) noexcept {
    return from_bits<W>((bits<W>(a) & m) | (bits<W>(b) & ~m));
}

template <int W>
inline bool any(I<W> m) noexcept {
    for (int k = 0; k < W; ++k)
        if (m[k]) return true;
    return false;
}

template <int W>
inline bool all(I<W> m) noexcept {
    for (int k = 0; k < W; ++k)
        if (!m[k]) return false;
    return true;
}

// a * b = p + e exactly [Dekker 1971], for |a|, |b| below 2^995.
template <int W>
inline V<W> split_high(V<W> a) noexcept {
    const V<W> c = a * 134217729.0;  // 2^27 + 1
    return c - (c - a);
}
template <int W>
inline V<W> product_error(V<W> a, V<W> b, V<W> p) noexcept {
    const V<W> ah = split_high<W>(a), bh = split_high<W>(b);
    const V<W> al = a - ah, bl = b - bh;
    return (((ah * bh - p) + ah * bl) + al * bh) + al * bl;
}

// -- atan2 ---------------------------------------------------------------------

// (atan(u) / u - 1) / u^2 as a polynomial in t = u^2, |u| <= tan(pi/8),
// highest degree first.
inline constexpr double kAtanQ[12] = {
    0x1.0acd9e91a5a35p-6, -0x1.1b311bb48c215p-5, 0x1.74dccfb93fff0p-5, -0x1.ac7a5a79b3f26p-5,
    0x1.e19a0bfa3eef9p-5, -0x1.110e87b4357d2p-4, 0x1.3b1392d519db1p-4, -0x1.745d165dc9713p-4,
    0x1.c71c71c303dbbp-4, -0x1.249249248d7dcp-3, 0x1.9999999999953p-3, -0x1.5555555555555p-2,
};
inline constexpr double kTanPi8 = 0x1.a827999fcef32p-2;
// Multiples of pi/4 as double-doubles.
inline constexpr double kPi4Hi = 0x1.921fb54442d18p-1, kPi4Lo = 0x1.1a62633145c07p-55;
inline constexpr double kPi2Hi = 0x1.921fb54442d18p+0, kPi2Lo = 0x1.1a62633145c07p-54;
inline constexpr double k3Pi4Hi = 0x1.2d97c7f3321d2p+1, k3Pi4Lo = 0x1.a79394c9e8a0ap-54;
inline constexpr double kPiHi = 0x1.921fb54442d18p+1, kPiLo = 0x1.1a62633145c07p-53;

// atan2(y, x) for finite x, y, not both zero, |x|, |y| below 2^990. The ratio
// of the smaller to the larger magnitude is reduced to |u| <= tan(pi/8) (by
// atan t = pi/4 + atan((t - 1) / (t + 1)) above), u is carried as a
// double-double, and the multiple of pi/4 is added with its rounding error:
// one rounding at the end.
template <int W>
V<W> atan2(V<W> y, V<W> x) noexcept {
    const V<W> ay = abs<W>(y), ax = abs<W>(x);
    const I<W> swap = ay > ax;
    const V<W> n = pick<W>(swap, ax, ay), d = pick<W>(swap, ay, ax);  // 0 <= n <= d
    const I<W> big = n > d * kTanPi8;
    const V<W> zero = splat<W>(0.0);
    // num = n - d and den = n + d with their rounding errors (d >= n).
    const V<W> diff = n - d, sum = n + d;
    const V<W> num = pick<W>(big, diff, n), den = pick<W>(big, sum, d);
    const V<W> num_lo = pick<W>(big, n - (diff + d), zero);
    const V<W> den_lo = pick<W>(big, n - (sum - d), zero);
    const V<W> uh = num / den;
    const V<W> p = uh * den;
    const V<W> ul = (((num - p) - product_error<W>(uh, den, p)) + (num_lo - uh * den_lo)) / den;
    const V<W> t = uh * uh;
    // The terms from t^2 up by Estrin's scheme (pairs, then pairs of pairs:
    // four products deep instead of nine), the two largest by Horner's, whose
    // rounding then dominates as in Horner's alone.
    const V<W> t2 = t * t, t4 = t2 * t2, t8 = t4 * t4;
    V<W> pair[5];
    for (int j = 0; j < 5; ++j) pair[j] = kAtanQ[9 - 2 * j] + kAtanQ[8 - 2 * j] * t;
    const V<W> quad0 = pair[0] + pair[1] * t2, quad1 = pair[2] + pair[3] * t2;
    const V<W> high = (quad0 + quad1 * t4) + pair[4] * t8;
    const V<W> q = kAtanQ[11] + t * (kAtanQ[10] + t * high);
    const V<W> tail = uh * (t * q) + (ul - ul * t);
    // The angle is K + sigma atan(u): K a multiple of pi/4, sigma = +-1.
    const I<W> xneg = x < 0.0;
    const I<W> minus = xneg ^ swap;
    const V<W> v = pick<W>(minus, -uh, uh), w = pick<W>(minus, -tail, tail);
    // First quadrant: 0 or pi/4 (not swapped), pi/2 or pi/4 (swapped);
    // x < 0 takes pi minus it.
    const V<W> k_hi_first = pick<W>(big, splat<W>(kPi4Hi), pick<W>(swap, splat<W>(kPi2Hi), zero));
    const V<W> k_lo_first = pick<W>(big, splat<W>(kPi4Lo), pick<W>(swap, splat<W>(kPi2Lo), zero));
    const I<W> three = xneg & big;
    const I<W> half = xneg & ~big & swap;
    const I<W> whole = xneg & ~big & ~swap;
    V<W> k_hi = pick<W>(three, splat<W>(k3Pi4Hi), k_hi_first);
    V<W> k_lo = pick<W>(three, splat<W>(k3Pi4Lo), k_lo_first);
    k_hi = pick<W>(half, splat<W>(kPi2Hi), k_hi);
    k_lo = pick<W>(half, splat<W>(kPi2Lo), k_lo);
    k_hi = pick<W>(whole, splat<W>(kPiHi), k_hi);
    k_lo = pick<W>(whole, splat<W>(kPiLo), k_lo);
    const V<W> s = k_hi + v;
    const V<W> e = (k_hi - s) + v;  // exact: |v| <= |k_hi| unless k_hi is 0
    const V<W> r = s + (e + (k_lo + w));
    return with_sign_of<W>(r, y);
}

// -- sin, cos --------------------------------------------------------------------

inline constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;
// pi/2 = kC1 + kC2 + kC3 + O(2^-122): kC1 and kC2 have 33 significant bits,
// so their products with a quadrant below 2^20 are exact.
inline constexpr double kC1 = 0x1.921fb54400000p+0, kC2 = 0x1.0b4611a600000p-34,
                        kC3 = 0x1.3198a2e037073p-69;
inline constexpr double kRoundShift = 0x1.8p52;
// Largest |x| served: the reduction above is exact up to here.
inline constexpr double kTrigLimit = 0x1p20;
// (-1)^k / (2k + 1)!, k = 8 .. 1, and (-1)^k / (2k)!, k = 9 .. 2.
inline constexpr double kSin[8] = {
    1.0 / 355687428096000.0, -1.0 / 1307674368000.0, 1.0 / 6227020800.0, -1.0 / 39916800.0,
    1.0 / 362880.0,          -1.0 / 5040.0,          1.0 / 120.0,        -1.0 / 6.0,
};
inline constexpr double kCos[8] = {
    -1.0 / 6402373705728000.0, 1.0 / 20922789888000.0, -1.0 / 87178291200.0, 1.0 / 479001600.0,
    -1.0 / 3628800.0,          1.0 / 40320.0,          -1.0 / 720.0,         1.0 / 24.0,
};

// sin x and cos x for finite |x| <= kTrigLimit.
template <int W>
void sincos(V<W> x, V<W>& sin_x, V<W>& cos_x) noexcept {
    const V<W> shifted = x * kTwoOverPi + kRoundShift;
    const V<W> k = shifted - kRoundShift;
    const I<W> quadrant = bits<W>(shifted);  // k mod 4 in the low bits
    // x - k pi/2 as rh + rl.
    const V<W> r1 = x - k * kC1;  // exact
    const V<W> kc2 = k * kC2;     // exact
    const V<W> r2 = r1 - kc2;
    const V<W> e2 = (r1 - r2) - kc2;
    const V<W> lo = e2 - k * kC3;
    const V<W> rh = r2 + lo;
    const V<W> rl = lo - (rh - r2);
    const V<W> z = rh * rh;
    // As in atan2: the terms from z^2 up by Estrin's scheme, the two largest by
    // Horner's.
    const V<W> z2 = z * z, z4 = z2 * z2;
    V<W> sin_pair[3], cos_pair[3];
    for (int j = 0; j < 3; ++j) {
        sin_pair[j] = kSin[5 - 2 * j] + kSin[4 - 2 * j] * z;
        cos_pair[j] = kCos[5 - 2 * j] + kCos[4 - 2 * j] * z;
    }
    const V<W> sin_high = (sin_pair[0] + sin_pair[1] * z2) + sin_pair[2] * z4;
    const V<W> cos_high = (cos_pair[0] + cos_pair[1] * z2) + cos_pair[2] * z4;
    const V<W> ps = kSin[7] + z * (kSin[6] + z * sin_high);
    const V<W> pc = kCos[7] + z * (kCos[6] + z * cos_high);
    const V<W> hz = z * 0.5;
    V<W> s = rh + (rh * (z * ps) + rl * (1.0 - hz));
    const V<W> w = 1.0 - hz;
    const V<W> c = w + (((1.0 - w) - hz) + (z * (z * pc) - rh * rl));
    s = pick<W>(abs<W>(x) < 0x1p-27, x, s);  // sin x = x there, and -0 stays -0
    const I<W> odd = (quadrant & 1) != 0;
    const V<W> sn = pick<W>(odd, c, s), cs = pick<W>(odd, s, c);
    sin_x = pick<W>((quadrant & 2) != 0, -sn, sn);
    cos_x = pick<W>(((quadrant + 1) & 2) != 0, -cs, cs);
}

// -- The conversions -------------------------------------------------------------------

// Points served by the iteration: |r| from Re / 2 to 2^500, rho^2 normal;
// elsewhere (the centre, the axis itself, huge or tiny values, NaN) the lane
// takes the methods' kernel.
inline constexpr double kFootLow = 1.0 / 16;   // |r|^2 >= this Re^2
inline constexpr double kFootHigh = 0x1p1000;  // |r|^2 <= this
inline constexpr double kRhoLow = 0x1p-1000;   // rho^2 >= this
// Below these |r|^2 / Re^2 a third and a fourth Newton step: the start is
// further off, and the iteration converges more slowly, nearer the centre.
inline constexpr double kThirdStep = 0.81, kFourthStep = 0.25;

// One Newton step on g(beta) = rho sin b - Z cos b - ae2 sin b cos b for the
// reduced latitude, from the normalised (s, c): the rotated (s1, c1), unnormalised.
template <int W>
inline void newton_step(V<W> rho, V<W> zz, V<W> ae2, V<W> s, V<W> c, V<W>& s1, V<W>& c1) noexcept {
    const V<W> g = (rho * s - zz * c) - ae2 * (s * c);
    const V<W> slope = (rho * c + zz * s) - ae2 * ((c - s) * (c + s));
    const V<W> d = g / slope;
    s1 = s - c * d;
    c1 = c + s * d;
}

template <int W>
inline void normalise(V<W>& s, V<W>& c) noexcept {
    const V<W> k = 1.0 / sqrt<W>(s * s + c * c);
    s = s * k, c = c * k;
}

// lat, lon, alt of W points; `fast` marks the lanes computed here.
template <int W>
I<W> lla_lanes(const Shape& e, V<W> x, V<W> y, V<W> z, V<W>& lat, V<W>& lon, V<W>& alt) noexcept {
    const V<W> rho2 = x * x + y * y;
    const V<W> r2 = rho2 + z * z;
    const double a = e.a;
    const I<W> fast = (r2 >= kFootLow * (a * a)) & (r2 <= kFootHigh) & (rho2 >= kRhoLow);
    if (!any<W>(fast)) return fast;
    const V<W> rho = sqrt<W>(rho2);
    const V<W> az = abs<W>(z);
    const V<W> zz = az * e.om_hi + az * e.om_lo;  // (1 - f) |z|
    const V<W> ae2 = splat<W>(e.ae2);
    V<W> s = az, c = rho * e.om_hi + rho * e.om_lo, s1, c1;
    normalise<W>(s, c);
    newton_step<W>(rho, zz, ae2, s, c, s1, c1);
    s = s1, c = c1;
    normalise<W>(s, c);
    newton_step<W>(rho, zz, ae2, s, c, s1, c1);
    // The further steps only where a lane needs them, chosen lane by lane:
    // a point's bits must not depend on its neighbours.
    const double bounds[2] = {kThirdStep, kFourthStep};
    for (const double bound : bounds) {
        const I<W> more = fast & (r2 < bound * (a * a));
        if (!any<W>(more)) break;
        V<W> s2 = s1, c2 = c1;
        normalise<W>(s2, c2);
        newton_step<W>(rho, zz, ae2, s2, c2, s2, c2);
        s1 = pick<W>(more, s2, s1);
        c1 = pick<W>(more, c2, c1);
    }
    // tan lat = tan beta / (1 - f): from the unnormalised pair, one rounding less.
    const V<W> lat_up = atan2<W>(s1, c1 * e.om_hi + c1 * e.om_lo);
    lat = pick<W>(z < 0.0, -lat_up, lat_up);  // +0 at z = -0, as the methods give
    lon = atan2<W>(y, x);
    // The altitude: the distance from the foot (a cos b, b sin b) along the
    // normal ((1 - f) cos b, sin b). Of the foot's two offsets, the one along
    // the larger of cos b and sin b is taken as (|z| - b) + b (1 - sin b), or
    // (rho - a) + a (1 - cos b), with 1 - sin b = cos^2 b / (1 + sin b)
    // (likewise for cos): the difference of lengths is then exact or nearly,
    // and the small term carries no cancellation. Near the pole this keeps
    // the altitude to the rounding of |z| - Rp.
    const V<W> m = sqrt<W>(s1 * s1 + c1 * c1);
    const I<W> polar = s1 >= c1;
    const V<W> u = pick<W>(polar, c1, s1), v = pick<W>(polar, s1, c1);
    const V<W> deficit = (u * u) / (m * (m + v));  // 1 - v / m
    // The offset along the larger as head + tail: |z| - Rp or rho - Re with
    // its rounding error [Dekker 1971], then the small terms.
    const V<W> from = pick<W>(polar, az, rho);
    const V<W> length = pick<W>(polar, splat<W>(e.b_hi), splat<W>(a));
    const V<W> head = from - length;
    const V<W> back = head - from;
    const V<W> head_err = (from - (head - back)) + (-length - back);
    const V<W> tail =
        (head_err - pick<W>(polar, splat<W>(e.b_lo), splat<W>(0.0))) + length * deficit;
    const V<W> small = u / m;  // the smaller of cos b, sin b
    const V<W> along_small =
        pick<W>(polar, rho - small * a, (az - small * e.b_hi) - small * e.b_lo);
    // alt = X wx + Y wy with X = head + tail the offset along the larger and
    // (wx, wy) the unit normal, written as head + (tail + (Y wy - X (1 - wx))):
    // the larger term enters unrounded, and 1 - wx = wy'^2 / (n (n + wx'))
    // (n the normal's length) carries no cancellation.
    const V<W> n_rho = c1 * e.om_hi + c1 * e.om_lo;
    const V<W> n = sqrt<W>(n_rho * n_rho + s1 * s1);
    const V<W> wx = pick<W>(polar, s1, n_rho), wy = pick<W>(polar, n_rho, s1);
    const V<W> short_of_one = (wy * wy) / (n * (n + wx));
    alt = head + (tail + (along_small * (wy / n) - (head + tail) * short_of_one));
    return fast;
}

// The place of geodetic (lat, lon, alt): its position by the prime-vertical
// radius, and the sines and cosines of its latitude and longitude, which also
// turn an offset from it into its East-North-Up frame.
template <int W>
struct Place {
    V<W> sp, cp, sl, cl, x, y, z;
};

// The lanes whose coordinates the formulas serve.
template <int W>
inline I<W> placeable(V<W> lat, V<W> lon, V<W> alt, double alt_limit) noexcept {
    return (abs<W>(lat) <= 1.5707963267948966) & (abs<W>(lon) <= kTrigLimit) &
           (abs<W>(alt) <= alt_limit);
}

template <int W>
inline Place<W> place(const Shape& e, I<W> fast, V<W> lat, V<W> lon, V<W> alt) noexcept {
    Place<W> p;
    const V<W> zero = splat<W>(0.0);
    sincos<W>(pick<W>(fast, lat, zero), p.sp, p.cp);
    sincos<W>(pick<W>(fast, lon, zero), p.sl, p.cl);
    // The prime-vertical radius N = Re / sqrt(cos^2 + (1 - f)^2 sin^2).
    const V<W> n = e.a / sqrt<W>(p.cp * p.cp + e.om2 * (p.sp * p.sp));
    const V<W> xy = (n + alt) * p.cp;
    p.x = xy * p.cl;
    p.y = xy * p.sl;
    p.z = (n * e.om2 + alt) * p.sp;
    return p;
}

template <int W>
I<W> pos_lanes(const Shape& e, V<W> lat, V<W> lon, V<W> alt, V<W>& x, V<W>& y, V<W>& z) noexcept {
    const I<W> fast = placeable<W>(lat, lon, alt, 0x1p500);
    if (!any<W>(fast)) return fast;
    const Place<W> p = place<W>(e, fast, lat, lon, alt);
    x = p.x, y = p.y, z = p.z;
    return fast;
}

// An offset from the observer o into its East-North-Up frame.
template <int W>
inline void rotate(const Place<W>& o, V<W> dx, V<W> dy, V<W> dz, V<W>& east, V<W>& north,
                   V<W>& up) noexcept {
    const V<W> along = o.cl * dx + o.sl * dy;  // towards the observer's meridian plane
    east = o.cl * dy - o.sl * dx;
    north = o.cp * dz - o.sp * along;
    up = o.cp * along + o.sp * dz;
}

// Observers whose coordinates the formulas serve, and their places.
inline constexpr double kObserverAltLimit = 0x1p490;

// East, north and up of targets seen from observers o (placed where
// `observed` is set).
template <int W>
I<W> enu_lanes(V<W> tx, V<W> ty, V<W> tz, I<W> observed, const Place<W>& o, V<W>& east, V<W>& north,
               V<W>& up) noexcept {
    const I<W> fast =
        observed & (abs<W>(tx) <= 0x1p490) & (abs<W>(ty) <= 0x1p490) & (abs<W>(tz) <= 0x1p490);
    if (!any<W>(fast)) return fast;
    rotate<W>(o, tx - o.x, ty - o.y, tz - o.z, east, north, up);
    return fast;
}

// Azimuth, elevation and range of targets seen from observers o: the offset
// rotated into East-North-Up, the azimuth atan2(east, north) and the
// elevation atan2(up, horizontal), which is well-conditioned at every
// elevation; the range from the offset itself. Any finite target: an offset
// beyond 2^490 is first scaled by 2^-600 (exactly: its smaller components
// lose bits only below 2^-422, far under its rounding), so that its squares
// stay finite, and the range scaled back.
template <int W>
I<W> aer_lanes(V<W> tx, V<W> ty, V<W> tz, I<W> observed, const Place<W>& o, V<W>& azimuth,
               V<W>& elevation, V<W>& range) noexcept {
    constexpr double kMax = 0x1.fffffffffffffp1023;
    I<W> fast = observed & (abs<W>(tx) <= kMax) & (abs<W>(ty) <= kMax) & (abs<W>(tz) <= kMax);
    if (!any<W>(fast)) return fast;
    V<W> dx = tx - o.x, dy = ty - o.y, dz = tz - o.z;
    const I<W> huge = (abs<W>(dx) > 0x1p490) | (abs<W>(dy) > 0x1p490) | (abs<W>(dz) > 0x1p490);
    const V<W> down = pick<W>(huge, splat<W>(0x1p-600), splat<W>(1.0));
    dx = dx * down, dy = dy * down, dz = dz * down;
    V<W> east, north, up;
    rotate<W>(o, dx, dy, dz, east, north, up);
    const V<W> range2 = (dx * dx + dy * dy) + dz * dz;
    const V<W> horizontal2 = east * east + north * north;
    // Squares in the normal range, and a horizontal offset (the azimuth of a
    // target straight overhead is the methods' convention).
    fast = fast & (horizontal2 >= 0x1p-1000) & (range2 >= 0x1p-1000);
    azimuth = atan2<W>(east, north);
    elevation = atan2<W>(up, sqrt<W>(horizontal2));
    range = sqrt<W>(range2) * pick<W>(huge, splat<W>(0x1p600), splat<W>(1.0));
    return fast;
}

// -- Loops -------------------------------------------------------------------------------

// Value k of a column: read through memcpy, whatever its stride and alignment.
inline double load(Column c, std::ptrdiff_t k) noexcept {
    double v;
    std::memcpy(&v, c.data + k * c.step, sizeof v);
    return v;
}

// The two ways of reading input rows: C-contiguous rows (the common case,
// with offsets known when compiling), and rows of any strides.
struct PackedRows {
    const double* data;
    double at(std::ptrdiff_t i, int c) const noexcept { return load(data, 3 * i + c); }
};
struct StridedRows {
    Rows rows;
    double at(std::ptrdiff_t i, int c) const noexcept {
        double v;
        std::memcpy(&v, rows.data + i * rows.row + c * rows.col, sizeof v);
        return v;
    }
};

// Calls body(reader) with the reader that suits r.
template <class Body>
inline void with_reader(Rows r, Body body) noexcept {
    if (r.packed()) {
        body(PackedRows{reinterpret_cast<const double*>(r.data)});
    } else {
        body(StridedRows{r});
    }
}

// Rows of three doubles in and out, W at a time; the last rows through a
// padded block. Unaligned buffers are fine: lanes are filled element by element.
template <int W, class Reader, class Kernel>
inline void rows_loop(Reader in, double* out, std::ptrdiff_t begin, std::ptrdiff_t end,
                      const double pad[3], Kernel kernel) noexcept {
    const auto block = [&](std::ptrdiff_t i, int m) noexcept {
        V<W> u0 = splat<W>(pad[0]), u1 = splat<W>(pad[1]), u2 = splat<W>(pad[2]);
        for (int k = 0; k < m; ++k)
            u0[k] = in.at(i + k, 0), u1[k] = in.at(i + k, 1), u2[k] = in.at(i + k, 2);
        V<W> v0, v1, v2;
        kernel(u0, u1, u2, v0, v1, v2, m);
        double* q = out + 3 * i;
        for (int k = 0; k < m; ++k)
            store(q, 3 * k, v0[k]), store(q, 3 * k + 1, v1[k]), store(q, 3 * k + 2, v2[k]);
    };
    std::ptrdiff_t i = begin;
    for (; i + W <= end; i += W) block(i, W);
    if (i < end) block(i, int(end - i));
}

template <int W>
void lla_from_pos_loop(const Shape& e, Rows r, double* lla, std::ptrdiff_t begin,
                       std::ptrdiff_t end) noexcept {
    with_reader(r, [&](auto in) noexcept {
        if (!e.fast_foot) {
            for (std::ptrdiff_t i = begin; i < end; ++i) {
                const double row[3] = {in.at(i, 0), in.at(i, 1), in.at(i, 2)};
                e.exact_lla(e.self, row, lla + 3 * i);
            }
            return;
        }
        const double pad[3] = {e.a, 0.0, 0.0};
        rows_loop<W>(in, lla, begin, end, pad,
                     [&](V<W> x, V<W> y, V<W> z, V<W>& lat, V<W>& lon, V<W>& alt, int m) noexcept {
                         const I<W> fast = lla_lanes<W>(e, x, y, z, lat, lon, alt);
                         if (all<W>(fast)) return;
                         for (int k = 0; k < m; ++k) {
                             if (fast[k]) continue;
                             const double row[3] = {x[k], y[k], z[k]};
                             double out[3];
                             e.exact_lla(e.self, row, out);
                             lat[k] = out[0], lon[k] = out[1], alt[k] = out[2];
                         }
                     });
    });
}

template <int W>
void pos_from_lla_loop(const Shape& e, Column lat, Column lon, Column alt, double* r,
                       std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
    const auto block = [&](std::ptrdiff_t i, int m) noexcept {
        V<W> p = splat<W>(0.0), l = splat<W>(0.0), h = splat<W>(0.0);
        for (int k = 0; k < m; ++k)
            p[k] = load(lat, i + k), l[k] = load(lon, i + k), h[k] = load(alt, i + k);
        // Zero where pos_lanes does not run (no lane is then fast, none is read).
        V<W> x = splat<W>(0.0), y = x, z = x;
        const I<W> fast = e.fast_pos ? pos_lanes<W>(e, p, l, h, x, y, z) : I<W>{};
        double* q = r + 3 * i;
        for (int k = 0; k < m; ++k) {
            if (fast[k]) {
                store(q, 3 * k, x[k]), store(q, 3 * k + 1, y[k]), store(q, 3 * k + 2, z[k]);
            } else {
                e.exact_pos(e.self, p[k], l[k], h[k], q + 3 * k);
            }
        }
    };
    std::ptrdiff_t i = begin;
    for (; i + W <= end; i += W) block(i, W);
    if (i < end) block(i, int(end - i));
}

// Targets r (N, 3) seen from the observers' columns: AER rows (angles) or ENU
// rows. One observer for every row is placed once.
template <int W, bool angles>
void observe_loop(const Shape& e, Rows r, Column lat, Column lon, Column alt, double* out,
                  std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
    const bool one_observer = lat.step == 0 && lon.step == 0 && alt.step == 0;
    I<W> observed_once{};
    Place<W> once{};
    if (one_observer && e.fast_pos) {
        const V<W> p = splat<W>(load(lat, 0)), l = splat<W>(load(lon, 0)),
                   h = splat<W>(load(alt, 0));
        observed_once = placeable<W>(p, l, h, kObserverAltLimit);
        if (any<W>(observed_once)) once = place<W>(e, observed_once, p, l, h);
    }
    with_reader(r, [&](auto in) noexcept {
        const auto block = [&](std::ptrdiff_t i, int m) noexcept {
            V<W> tx = splat<W>(e.a), ty = splat<W>(0.0), tz = splat<W>(0.0);
            V<W> p = splat<W>(0.0), l = splat<W>(0.0), h = splat<W>(0.0);
            for (int k = 0; k < m; ++k) {
                tx[k] = in.at(i + k, 0), ty[k] = in.at(i + k, 1), tz[k] = in.at(i + k, 2);
                p[k] = load(lat, i + k), l[k] = load(lon, i + k), h[k] = load(alt, i + k);
            }
            V<W> az = splat<W>(0.0), el = az, rg = az;
            I<W> fast{};
            if (e.fast_pos) {
                I<W> observed = observed_once;
                Place<W> o = once;
                if (!one_observer) {
                    observed = placeable<W>(p, l, h, kObserverAltLimit);
                    if (any<W>(observed)) o = place<W>(e, observed, p, l, h);
                }
                fast = angles ? aer_lanes<W>(tx, ty, tz, observed, o, az, el, rg)
                              : enu_lanes<W>(tx, ty, tz, observed, o, az, el, rg);
            }
            double* q = out + 3 * i;
            for (int k = 0; k < m; ++k) {
                if (fast[k]) {
                    store(q, 3 * k, az[k]), store(q, 3 * k + 1, el[k]), store(q, 3 * k + 2, rg[k]);
                } else {
                    const double target[3] = {tx[k], ty[k], tz[k]};
                    (angles ? e.exact_aer : e.exact_enu)(e.self, target, p[k], l[k], h[k],
                                                         q + 3 * k);
                }
            }
        };
        std::ptrdiff_t i = begin;
        for (; i + W <= end; i += W) block(i, W);
        if (i < end) block(i, int(end - i));
    });
}

template <int W>
void elementary_loop(int which, const double* x, const double* y, double* out,
                     std::ptrdiff_t n) noexcept {
    for (std::ptrdiff_t i = 0; i < n; i += W) {
        const int m = n - i < W ? int(n - i) : W;
        V<W> u = splat<W>(1.0), v = splat<W>(1.0);
        for (int k = 0; k < m; ++k) u[k] = load(x, i + k), v[k] = load(y, i + k);
        V<W> s, c;
        if (which == 2) {
            s = atan2<W>(u, v);
        } else {
            sincos<W>(u, s, c);
            if (which == 1) s = c;
        }
        for (int k = 0; k < m; ++k) store(out, i + k, s[k]);
    }
}

template <int W>
constexpr Loops make_loops(const char* name) noexcept {
    return Loops{name,
                 W,
                 &lla_from_pos_loop<W>,
                 &pos_from_lla_loop<W>,
                 &observe_loop<W, true>,
                 &observe_loop<W, false>,
                 &elementary_loop<W>};
}

}  // namespace
}  // namespace quorvane::fast

#endif  // QUORVANE_ELLIPSOID_FAST_LANES_H
