// sin, cos and atan2 of the lanes (elementary.h) for the small angles of short
// geodesic edges, where their Taylor series are short: a lane whose angle is small
// takes the series, the others the general function (computed only when a lane of
// the block needs it). A lane's result depends on its own argument alone, so the bits
// are the same at every level.
//
// On |x| <= 1/16 (x^2 <= 2^-8) the first omitted terms, x^11 / 11! of sin and x^10 /
// 10! of cos, are below 2^-62 of the result, and x^13 / 13 of atan below 2^-59; the
// leading term is added last, to the sum of the others (below 2^-8 of it): their
// rounding counts for a 256th of an ulp, and the result's error is that of the final
// rounding. The polynomials go by Estrin's scheme (pairs of terms, then powers z^2), whose
// chains of dependent operations are half Horner's. atan2's quotient y / x is carried with its
// rounding error (Dekker's product, lanes.h), as in elementary.h. Measured (python -m
// bench.small_angles_ulps, 2e6 arguments against long double): below 0.51 ulp, sin, cos and atan2
// alike.
#ifndef QUORVANE_ELLIPSOID_FAST_SMALL_ANGLES_H
#define QUORVANE_ELLIPSOID_FAST_SMALL_ANGLES_H

#include "ellipsoid/fast/elementary.h"

namespace quorvane::fast {
namespace {

inline constexpr double kSmallAngle = 0.0625;

// sin x and cos x, the series on the lanes with |x| <= kSmallAngle; where `versine` is
// given, also 1 - cos x, without the cancellation of the difference on those lanes.
template <int W>
inline void sincos_small_first(V<W> x, V<W>& sin_x, V<W>& cos_x, V<W>* versine = nullptr) noexcept {
    const I<W> small = abs<W>(x) <= kSmallAngle;
    const V<W> zero = splat<W>(0.0);
    const V<W> t = pick<W>(small, x, zero);
    const V<W> z = t * t, z2 = z * z;
    const V<W> ps =
        z * (((-1.0 / 6) + z * (1.0 / 120)) + z2 * ((-1.0 / 5040) + z * (1.0 / 362880)));
    V<W> s = t + t * ps;
    s = pick<W>(abs<W>(t) < 0x1p-27, t, s);  // sin x = x there, and -0 stays -0
    const V<W> pc = ((1.0 / 24) + z * (-1.0 / 720)) + z2 * (1.0 / 40320);
    const V<W> hz = z * 0.5;
    const V<W> w = 1.0 - hz;
    const V<W> c = w + (((1.0 - w) - hz) + z * (z * pc));
    sin_x = s, cos_x = c;
    if (!all<W>(small)) {
        V<W> sg, cg;
        sincos<W>(pick<W>(small, zero, x), sg, cg);
        sin_x = pick<W>(small, s, sg), cos_x = pick<W>(small, c, cg);
    }
    if (versine) *versine = pick<W>(small, hz - z * (z * pc), 1.0 - cos_x);
}

// atan2(y, x), the series of atan(y / x) on the lanes with x > 0 and |y| <= kSmallAngle x.
template <int W>
inline V<W> atan2_small_first(V<W> y, V<W> x) noexcept {
    const I<W> small = (x > 0.0) & (abs<W>(y) <= x * kSmallAngle);
    const V<W> one = splat<W>(1.0);
    const V<W> ys = pick<W>(small, y, splat<W>(0.0)), xs = pick<W>(small, x, one);
    // One division: uh = y (1 / x) is within two units of y / x, and y - uh x is exact
    // (as p + its error), so that uh + ul carries y / x to some 2^-104.
    const V<W> rx = 1.0 / xs;
    const V<W> uh = ys * rx;
    const V<W> p = uh * xs;
    const V<W> ul = ((ys - p) - product_error<W>(uh, xs, p)) * rx;
    const V<W> z = uh * uh, z2 = z * z;
    const V<W> tail =
        z * (((-1.0 / 3) + z * (1.0 / 5)) +
             z2 * (((-1.0 / 7) + z * (1.0 / 9)) + z2 * ((-1.0 / 11) + z * (1.0 / 13))));
    V<W> r = uh + (ul + uh * tail);
    r = pick<W>(ys == 0.0, ys, r);  // -0 stays -0
    if (!all<W>(small)) r = pick<W>(small, r, atan2<W>(y, x));
    return r;
}

}  // namespace
}  // namespace quorvane::fast

#endif  // QUORVANE_ELLIPSOID_FAST_SMALL_ANGLES_H
