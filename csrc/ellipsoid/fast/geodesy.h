// The conversions' lanes: geodetic coordinates of positions, positions of
// geodetic coordinates, and targets seen from observers (East-North-Up,
// azimuth/elevation/range), W points at a time on the lanes (lanes.h) and
// their elementary functions (elementary.h). Each returns the mask of the
// lanes it computed; the loops (loops.h) give the others to the methods'
// kernels.
//
//   [Fukushima 2006] T. Fukushima, "Transformation from Cartesian to geodetic
//     coordinates accelerated by Halley's method", Journal of Geodesy 79,
//     689-693, 2006: the foot-point equation solved for the sine and cosine
//     of the reduced latitude, carried unnormalised, so that no trigonometric
//     function is evaluated inside the iteration. Here the update is a Newton
//     step on that equation (two or three of them, from the surface start
//     tan beta = z / ((1 - f) rho)); the rotation by the step uses tan d ~ d,
//     whose error d^3 / 3 is below Newton's own.
//   Differences of lengths with their rounding error: [Dekker 1971] (lanes.h).
#ifndef QUORVANE_ELLIPSOID_FAST_GEODESY_H
#define QUORVANE_ELLIPSOID_FAST_GEODESY_H

#include "ellipsoid/fast/elementary.h"
#include "ellipsoid/fast/lanes.h"
#include "ellipsoid/fast/level.h"

namespace quorvane::fast {
namespace {

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
I<W> lla_lanes(const EllipsoidConstants& e, V<W> x, V<W> y, V<W> z, V<W>& lat, V<W>& lon,
               V<W>& alt) noexcept {
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
inline Place<W> place(const EllipsoidConstants& e, I<W> fast, V<W> lat, V<W> lon,
                      V<W> alt) noexcept {
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
I<W> pos_lanes(const EllipsoidConstants& e, V<W> lat, V<W> lon, V<W> alt, V<W>& x, V<W>& y,
               V<W>& z) noexcept {
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

}  // namespace
}  // namespace quorvane::fast

#endif  // QUORVANE_ELLIPSOID_FAST_GEODESY_H
