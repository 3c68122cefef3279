// The elementary functions of the lanes (lanes.h): sin, cos and atan2, W
// lanes at a time. They are written here, not taken from the platform's libm,
// which differs between machines and has no vector form: every level must
// give the same bits.
//
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
//   Products and sums with their rounding error: [Dekker 1971] (lanes.h).
//
// Measured error (python -m bench.fast_ulps --points 20000, against 40-digit
// values; the same bits at every level):
//   sin, cos on [-pi, pi] and on [-2^20, 2^20]: below 0.76 ulp (the final
//     rounding, plus the rounding of the polynomial's tail, up to a tenth of
//     the result, which counts most just below a power of two);
//   atan2 on pairs of random signs and exponents 1e-300 .. 1e300: 0.50 ulp;
//     on pairs within a factor of 10 of each other: below 0.58 ulp.
#ifndef QUORVANE_ELLIPSOID_FAST_ELEMENTARY_H
#define QUORVANE_ELLIPSOID_FAST_ELEMENTARY_H

#include "ellipsoid/fast/lanes.h"

namespace quorvane::fast {
namespace {

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

// (atan(u) / u - 1) / u^2 of t = u^2, |u| <= tan(pi/8): the terms from t^2 up by
// Estrin's scheme (pairs, then pairs of pairs: four products deep instead of nine), the
// two largest by Horner's, whose rounding then dominates as in Horner's alone.
template <int W>
inline V<W> atan_q(V<W> t) noexcept {
    const V<W> t2 = t * t, t4 = t2 * t2, t8 = t4 * t4;
    V<W> pair[5];
    for (int j = 0; j < 5; ++j) pair[j] = kAtanQ[9 - 2 * j] + kAtanQ[8 - 2 * j] * t;
    const V<W> quad0 = pair[0] + pair[1] * t2, quad1 = pair[2] + pair[3] * t2;
    const V<W> high = (quad0 + quad1 * t4) + pair[4] * t8;
    return kAtanQ[11] + t * (kAtanQ[10] + t * high);
}

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
    const V<W> tail = uh * (t * atan_q<W>(t)) + (ul - ul * t);
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

}  // namespace
}  // namespace quorvane::fast

#endif  // QUORVANE_ELLIPSOID_FAST_ELEMENTARY_H
