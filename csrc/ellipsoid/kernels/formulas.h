// The scalar kernels of Ellipsoid: the geometry of one point at a time.
//
// Pure functions of doubles, 3-vectors and records: no interpreter objects, no
// allocation, no state, and no Python.h. Each evaluates its formula in exactly
// the order and grouping written here; the module is compiled with
// -ffp-contract=off, so the results are reproducible bit for bit with the
// platform libm.
//
// Every kernel is a template on a dispatch policy K (ellipsoid/kernels/dispatch.h).
// A kernel calls another kernel as call<K, Slot::name>(self, ...), tests for a
// failure with K::kernel_failed() (K::routine_failed() after a vector routine),
// and on one returns fail<K, Slot::itself>(). The policy decides whether the
// nested call goes through the object's table or straight to these formulas,
// and what the vector routines are.
//
// Units. Lengths (Re, Rp, positions, altitudes, ranges, hit points) are in the
// unit of Re, metres for the catalogue's ellipsoids; every kernel is exact
// under a change of that unit. Angles are radians: geodetic latitude lat and
// reduced (parametric) latitude beta in [-pi/2, pi/2], longitude and azimuth
// in [-pi, pi], elevation in [-pi/2, pi/2]. The flattening f is a pure number,
// 0 <= f < 1. ECEF has z along the polar axis and x towards longitude 0.
// Direction vectors may have any nonzero length.
//
// Accuracy. "u" is a unit in the last place of max(Re, |r|): 2.2e-16 of it.
// The figures quoted below are the worst errors against 60-digit truth that
// bench/accuracy.py measures, region by region (docs/guide/accuracy.rst).
//
// Methods, and where they come from:
//   [Bowring 1976] B. R. Bowring, "Transformation from spatial to geographical
//     coordinates", Survey Review 23 (181), 323-327, 1976: the foot point
//     parametrised by the reduced latitude, tan beta = (1 - f) tan lat.
//   [Bowring 1985] B. R. Bowring, "The accuracy of geodetic latitude and height
//     equations", Survey Review 28 (218), 202-206, 1985: which height formula is
//     well-conditioned where (the closed form against the projection).
//   [Fukushima 1999] T. Fukushima, "Fast transform from geocentric to geodetic
//     coordinates", Journal of Geodesy 73, 603-610, 1999: Newton's method on the
//     foot-point equation written in the reduced latitude.
//   [Vermeille 2011] H. Vermeille, "An analytical method to transform
//     geocentric into geodetic coordinates", Journal of Geodesy 85, 105-117,
//     2011: the evolute (the astroid of the centres of curvature), inside which
//     a point has several feet of normals.
//   [NR 9.4] W. H. Press, S. A. Teukolsky, W. T. Vetterling, B. P. Flannery,
//     "Numerical Recipes", 3rd ed., Cambridge University Press, 2007, sect. 9.4
//     (rtsafe): Newton steps kept inside a bisection bracket.
//   [NR 5.6] the same book, sect. 5.6, eqs. 5.6.4 and 5.6.5: the roots of a
//     quadratic as q / a and c / q, q = -(b + sgn(b) sqrt(b^2 - 4ac)) / 2, free
//     of cancellation (also N. J. Higham, "Accuracy and Stability of Numerical
//     Algorithms", 2nd ed., SIAM, 2002, sect. 1.8).
//   [Blue 1978] J. L. Blue, "A portable Fortran program to find the Euclidean
//     norm of a vector", ACM Transactions on Mathematical Software 4 (1),
//     15-23, 1978: a norm computed on scaled components, free of overflow and
//     underflow (scaled here by an exact power of two).
//   Lagrange's identity |v|^2 |r|^2 - (v.r)^2 = |v x r|^2 (the ray's
//     discriminant without cancellation).
//   [Fukushima 2006] T. Fukushima, "Transformation from Cartesian to geodetic
//     coordinates accelerated by Halley's method", Journal of Geodesy 79,
//     689-693, 2006: the foot-point equation for the unnormalised sine and
//     cosine of the reduced latitude (the vectorised path's form, finishing
//     lla_from_pos outside the protected band).
//   [Dekker 1971] double-double arithmetic (ellipsoid/kernels/double_double.h).
#ifndef QUORVANE_ELLIPSOID_KERNELS_FORMULAS_H
#define QUORVANE_ELLIPSOID_KERNELS_FORMULAS_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "ellipsoid/kernels/double_double.h"
#include "quorvane/datamodel/structured.h"

namespace quorvane::ellipsoid::kernels {

using double_double::add;
using double_double::divide;
using double_double::quick_two_sum;
using double_double::square_root;
using double_double::subtract;
using double_double::times;
using double_double::two_product;
using double_double::two_sum;
using double_double::Wide;

// The kernel table's slots, in order.
enum class Slot {
    c_reduced_lat_from_geodetic_lat,
    c_geodetic_lat_from_reduced_lat,
    surf_normal_vector,
    surf_tangent_vector,
    c_enu,
    c_surf_pos_from_surf_coord,
    c_surf_coord_from_surf_pos,
    c_solve_reduced_lat_equation,
    c_lla_from_pos,
    c_pos_from_lla,
    c_surf_pos_of_ray_first_intersection,
    c_aer_coords,
};

// The ellipsoid as the policy hands it to the kernels: a pointer to something
// with Re, f and Rp.
template <class K>
using Self = typename K::Self;

// A nested kernel call, dispatched by the policy.
template <class K, Slot S, class... Args>
auto call(Self<K> self, Args... args) noexcept {
    return K::template call<S>(self, args...);
}

// A failed nested call: the traceback entry of kernel S, then return.
template <class K, Slot S>
void fail() noexcept {
    K::template fail<S>();
}

inline constexpr double kHalfPi = 1.5707963267948966;  // pi / 2 rounded down
inline constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
inline constexpr double kInfinity = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Stopping rule of the reduced-latitude Newton iteration: the last step, radians.
// Newton converges quadratically: a last step s leaves an error of about C s^2,
// C = |g'' / (2 g')| at the root. Measured on WGS84, |lat| <= 1.5 rad within
// 1e6 m of the surface, C s^2 is at most 1.5e-14 rad (the largest near the
// equator 790 km up), and it matches the true error there within 5 %.
inline constexpr double kNewtonTolerance = 1.567e-5;
// The Newton result is kept where C s^2 is at most this (5.7e-14 rad) times
// (1 - f), so that the latitude moves by at most 5.7e-14 rad (d lat / d beta <=
// 1 / (1 - f)), and where C s^2 moves the closed-form altitude (see
// kClosedFormMaxGain) by at most kNewtonAltitudeBound max(Re, |r|), four units
// in the last place. In that band the two hold with margins of four and ten
// (both worst at the same point), so the band keeps its bits; elsewhere (far
// out, strong flattening) the bracketed solver finishes.
inline constexpr double kNewtonErrorBound = 0x1p-44;
inline constexpr double kNewtonAltitudeBound = 0x1p-50;
// Where the closed form is used, it amplifies an error of beta at most
// 256 + 17 / (1 - f)^2 times; 300 / (1 - f)^2 bounds that.
inline constexpr double kGainCeiling = 300;
// Newton steps before the iteration gives up (near the centre, where the
// equation has several roots, the steps may wander for ever); the bracketed
// solver then takes over.
inline constexpr int kMaxNewtonSteps = 1000;
// Steps of the bracketed solver: bisection alone needs about 60; Newton steps
// inside the bracket usually finish in 5.
inline constexpr int kFootSteps = 100;

// Closer to the axis than this fraction of Re (1e-5 m on the Earth), and within
// 2^-26 |z| of it, the altitude is |z| - Rp: the neglected term, about
// rho^2 / (2 |z|), is then below half a unit in the last place of |z|.
inline constexpr double kAxisPoint = 1e-5 / 6378137.0;
inline constexpr double kAxisPointSlope = 0x1p-26;
// The closed-form altitude L (rho / cos b - Re) / (1 - f), L the meridian
// tangent's length, amplifies the rounding of its terms, and a unit in the last
// place of beta, by about L / ((1 - f) cos b) units of max(Re, |r|); the
// solver's residual error by its derivative in beta (NewtonResult). Where
// that gain exceeds kClosedFormMaxGain (on the Earth cos b < 1/16: within
// 400 km of the axis at the surface; with strong flattening also a band of
// middle latitudes), or next to the axis (kAxisBand, a fraction of Re: 10.6 km
// on the Earth), the altitude is taken by projecting onto the normal instead
// (see c_lla_from_pos); elsewhere the closed form is kept bit for bit.
inline constexpr double kClosedFormMaxGain = 16;
// Where the gain exceeds this, the closed form is computed and checked against
// the projection, and kept where the two agree within kClosedFormAgreement
// max(Re, |r|), 8 units (in the band above they agree within 4.7).
inline constexpr double kClosedFormSafeGain = 4;
inline constexpr double kClosedFormAgreement = 8 * kEpsilon;
inline constexpr double kAxisBand = 1.0 / 600.0;
// An arcsine argument at most this far beyond +-1 is rounding at the pole.
inline constexpr double kPoleSlack = 4 * kEpsilon;
// Where 1 - q^2 is below this (cos(beta) < 1/16) the arcsine of q = z / Rp
// amplifies the rounding of q more than 16 times; the reduced latitude is then
// taken from both coordinates.
inline constexpr double kPoleCap = 1.0 / 256;
// The quadratic of a ray is taken as the formula writes it while the source
// lies within 2 Re (c <= 3 Re^2 in the space where the ellipsoid is a sphere;
// its rounding then stays within a few units of Re) and the squared length a
// of the direction is far from overflow and underflow; elsewhere the stable
// form (ray_hit_stable) is used.
inline constexpr double kRayNear = 3.0;
// Within 4 Re (c <= 15 Re^2) the stable root of ray_hit_lagrange loses a unit
// of |r|, a few of Re; beyond, ray_hit_stable keeps to a few units of Re.
inline constexpr double kRayMiddle = 15.0;
inline constexpr double kDirectionLow = 0x1p-400, kDirectionHigh = 0x1p400;
// The stable form scales Re into [1/2, 1) and the source with it, but the
// source no further than 2^kSourceHeadroom; Re is then at least
// kFarthestSource, or the products of the form would reach the subnormal range.
inline constexpr int kSourceHeadroom = 1000;
inline constexpr double kFarthestSource = 0x1p-900;
// Squares of components at most 2^-500 or at least 2^500 leave the normal range.
inline constexpr double kSquareLow = 0x1p-500, kSquareHigh = 0x1p500;
// Where max(Re, |x|, |y|, |z|) lies outside [2^-400, 2^400], lla_from_pos and
// its solver work on Re and r multiplied by a power of two that brings it into
// [1/2, 1): exact, and the angles do not change. Inside, every square, product
// and quotient of the formulas stays in the normal range, so nothing is scaled
// and the bits are the formula's.
inline constexpr double kLengthLow = 0x1p-400, kLengthHigh = 0x1p400;
// A point at least 2^60 Re e^2 from the axis or (1 - f) |z| >= 2^60 Re e^2
// (A or B of the foot-point equation at least 2^60) lies on the normal's line
// through the centre within 2^-60 rad: the normal that reaches it is parallel
// to its radius vector, and the geodetic latitude is the geocentric one
// (tan b = (1 - f) z / rho). Beyond, Newton's slope could overflow.
inline constexpr double kFarRatio = 0x1p60;

// The largest of the magnitudes |a|, |b| (and |c|), NaN only when all are
// NaN: std::fmax of the absolute values, written out because GCC leaves
// std::fmax a library call (maxsd treats NaN differently), and the kernels of
// the ray and of aer_coords take it on every point. The same value as fmax:
// the magnitudes carry no sign.
inline double largest_magnitude(double a, double b) noexcept {
    const double x = std::fabs(a), y = std::fabs(b);
    return x >= y || std::isnan(y) ? x : y;
}
inline double largest_magnitude(double a, double b, double c) noexcept {
    const double xy = largest_magnitude(a, b), z = std::fabs(c);
    return xy >= z || std::isnan(z) ? xy : z;
}

// sqrt(x^2 + y^2) without overflow or underflow [Blue 1978]; x, y and the
// result in any one unit. Scaling by a power of two is
// exact and commutes with every rounding in the normal range, so where the
// squares stay normal the result is the plain formula's, bit for bit.
inline double scaled_hypot(double x, double y) noexcept {
    const double m = largest_magnitude(x, y);
    if (!(kSquareLow < m && m < kSquareHigh) && m > 0 && m < kInfinity) {
        int e;
        std::frexp(m, &e);
        const double xs = std::ldexp(x, -e), ys = std::ldexp(y, -e);
        return std::ldexp(std::sqrt(xs * xs + ys * ys), e);
    }
    return std::sqrt(x * x + y * y);
}

// The exponent e that brings max(Re, |x|, |y|, |z|) into [1/2, 1) by a factor
// 2^-e, where it lies outside [kLengthLow, kLengthHigh]; 0 inside (and for an
// infinite or NaN maximum).
inline int length_exponent(double Re, double x, double y, double z) noexcept {
    const double m = std::fmax(Re, std::fmax(std::fabs(x), std::fmax(std::fabs(y), std::fabs(z))));
    if ((kLengthLow <= m && m <= kLengthHigh) || !(m < kInfinity)) return 0;
    int e;
    std::frexp(m, &e);
    return e;
}

// v 2^e, exact unless it leaves the range; v itself for e = 0 (no call).
inline double times_power_of_two(double v, int e) noexcept {
    return e == 0 ? v : std::ldexp(v, e);
}

// Length of the meridian tangent d/db (cos b, (1 - f) sin b), in units of Re
// (a pure number in [1 - f, 1]; beta in radians): sqrt(1 - e^2 cos^2 b),
// which is (1 - f) / W with W = sqrt(1 - e^2 sin^2 lat). Where e^2 cos^2 b
// exceeds 1/2 the subtraction cancels (strong flattening, near the equator);
// there the same length is the norm of (sin b, (1 - f) cos b), whose squares
// sum to it.
inline double tangent_length(double f, double beta, double cos_beta) noexcept {
    const double e2_cos2 = (2 - f) * f * cos_beta * cos_beta;
    if (e2_cos2 <= 0.5) return std::sqrt(1 - e2_cos2);
    return scaled_hypot(std::sin(beta), (1 - f) * cos_beta);
}

// Whether the closed-form altitude is accurate at reduced latitude beta (see
// kClosedFormMaxGain); length is tangent_length() there.
inline bool closed_form_is_accurate(double f, double cos_beta, double length) noexcept {
    return length <= kClosedFormMaxGain * ((1 - f) * cos_beta);
}

// -- Latitude conversions (final: always called directly) ---------------------

// Reduced (parametric) latitude of a geodetic latitude [Bowring 1976]:
// atan((1 - f) tan(phi)). phi in radians; the result in [-pi/2, pi/2], with the
// sign of phi. Not measured by bench/accuracy.py: two libm calls, a few units
// in the last place of the angle, except next to +-pi/2 where tan(phi)
// carries the rounding of phi.
template <class K>
double c_reduced_lat_from_geodetic_lat(Self<K> self, double geodetic_lat) noexcept {
    return std::atan((1 - self->f) * std::tan(geodetic_lat));
}

// Geodetic latitude of a reduced latitude: atan(tan(beta) / (1 - f)); beta
// in radians, the result in [-pi/2, pi/2]. The inverse of the one above, with
// the same accuracy.
template <class K>
double c_geodetic_lat_from_reduced_lat(Self<K> self, double reduced_lat) noexcept {
    return std::atan(std::tan(reduced_lat) / (1 - self->f));
}

// The foot-point equation [Bowring 1976, Fukushima 1999]. The normal through
// (rho, z) (lengths in the unit of Re) meets the meridian ellipse
// (Re cos b, Rp sin b) where
//   g(b) = sin b cos b - A sin b + B cos b = 0,  A = rho / (a e^2),  B = Rp z / (Re a e^2),
// (the tangent condition divided by Re^2 - Rp^2 = Re a e^2), with
//   g'(b) = cos^2 b - sin^2 b - A cos b - B sin b,  g''(b) = A sin b - B cos b - 4 sin b cos b.

// The formula's Newton iteration, from the geocentric latitude
// [Fukushima 1999]; beta and the error in radians.
struct NewtonResult {
    double beta;   // NaN when the iteration ran into kMaxNewtonSteps
    double error;  // C s^2 of the last step s (see kNewtonTolerance)
    // What the closed-form altitude makes of an error of beta, relative to
    // max(Re, |r|): its derivative in beta, at the last step's start; 0 where
    // the closed form is not used.
    double altitude_gain;
};

// What the closed-form altitude L (rho / cos b - Re) / (1 - f) makes of an
// error of b, relative to max(Re, |r|): its derivative in b (L^2 = 1 - e^2
// cos^2 b); 0 where the closed form is not used.
inline double closed_form_gain(double Re, double f, double rho, double r_norm, double beta,
                               double sin_beta, double cos_beta) noexcept {
    const double length = tangent_length(f, beta, cos_beta);
    if (!closed_form_is_accurate(f, cos_beta, length)) return 0;
    const double slope_rho = rho * std::fabs(sin_beta) / (cos_beta * cos_beta);
    const double slope_length = ((2 - f) * f) * std::fabs(sin_beta) * cos_beta / length;
    const double spread = std::fabs(rho / cos_beta - Re);
    const double slope = length * slope_rho + slope_length * spread;
    return slope / ((1 - f) * (r_norm > Re ? r_norm : Re));
}

// rho is scaled_hypot(x, y): the formula's sqrt(x^2 + y^2) wherever its
// squares stay in the normal range.
inline NewtonResult newton_reduced_lat(double Re, double f, double x, double y, double z,
                                       double rho) noexcept {
    const double rho2 = x * x + y * y;
    const double a_e2 = (Re * f) * (2 - f);
    const double r_norm = std::sqrt(rho2 + z * z);
    const double A = rho / a_e2;
    const double B = ((1 - f) * z) / a_e2;
    double beta = std::asin(z / r_norm);
    for (int step = 0; step < kMaxNewtonSteps; ++step) {
        const double sin_beta = std::sin(beta), cos_beta = std::cos(beta);
        const double g = (sin_beta * cos_beta - A * sin_beta) + B * cos_beta;
        const double g_slope =
            ((cos_beta * cos_beta - sin_beta * sin_beta) - A * cos_beta) - B * sin_beta;
        const double inc = g / g_slope;
        const double last = beta;
        beta = beta - inc;
        if (!(std::fabs(inc) > kNewtonTolerance)) {  // a NaN step ends it too
            const double g_curvature = (A * sin_beta - B * cos_beta) - 4 * (sin_beta * cos_beta);
            // Newton's own error, C s^2, plus what the rounding of g at the
            // step's start leaves (a unit of its terms, over the slope) where
            // that exceeds four units of the result: where the root is far
            // smaller than the last start (b ~ 1e-16 with f = 1 - 2^-53), which
            // the latitude amplifies up to 1 / (1 - f) times. A few units of
            // beta itself are the closed form's concern (kClosedFormMaxGain).
            const double terms =
                std::fabs(sin_beta * cos_beta) + std::fabs(A * sin_beta) + std::fabs(B * cos_beta);
            const double rounding = kEpsilon * terms / std::fabs(g_slope);
            const double error = std::fabs(g_curvature / (2 * g_slope)) * (inc * inc) +
                                 (rounding > 4 * kEpsilon * std::fabs(beta) ? rounding : 0);
            // Where the closed form is used its gain is at most 256 + 17 / (1 - f)^2
            // (kClosedFormMaxGain): an error below kNewtonAltitudeBound divided
            // by that needs no closer look, and on the Earth most do not.
            const bool small = error * kGainCeiling <= kNewtonAltitudeBound * ((1 - f) * (1 - f));
            if (small) return {beta, error, 0};
            // The gain at the step's start and at the result: with strong
            // flattening it changes by orders of magnitude within a step.
            const double start_gain =
                closed_form_gain(Re, f, rho, r_norm, last, sin_beta, cos_beta);
            const double end_gain =
                closed_form_gain(Re, f, rho, r_norm, beta, std::sin(beta), std::cos(beta));
            return {beta, error, std::fmax(start_gain, end_gain)};
        }
    }
    return {kNaN, kNaN, kNaN};
}

// Whether the Newton result is the nearest foot, accurate to a few units of
// latitude and altitude (a_e2 and x, y, z in the unit of Re). The nearest point of the ellipse lies
// in the point's own quadrant of the meridian plane, and there g has exactly one root (below); in
// the equatorial plane b = 0 is a root, but inside the evolute (rho < a e^2) the nearest feet lie
// off it.
//
// Inside the evolute's reach on the equatorial side (rho < a e^2, A < 1), g also
// has a root next to b = 0 on the far side of the equator, at about
// -B / (1 - A), which rounds to 0 or to z's side for a point next to the
// centre, or for B tiny against 1 (strong flattening, tiny z): there the root
// of z's quadrant has cos b < A (g(b) = sin b (cos b - A) + B cos b > 0 for
// cos b >= A), and a result with cos b >= A is not it.
inline bool newton_found_nearest_foot(double f, double a_e2, double rho, double z,
                                      NewtonResult newton) noexcept {
    if (!(std::fabs(newton.beta) <= kHalfPi && newton.error <= kNewtonErrorBound * (1 - f))) {
        return false;
    }
    if (!(newton.error * newton.altitude_gain <= kNewtonAltitudeBound)) return false;
    if (z != 0 && rho < a_e2 && std::cos(newton.beta) >= rho / a_e2) return false;
    if (z > 0) return newton.beta >= 0;
    if (z < 0) return newton.beta <= 0;
    return !(rho < a_e2);
}

// Reduced latitude (radians, [-pi/2, pi/2]) of the nearest foot of a normal
// through (x, y, z) (the unit of Re), for any point: safeguarded Newton
// [NR 9.4] on the foot-point equation, inside the quadrant where the
// evolute's extra roots [Vermeille 2011] cannot lie. In the meridian half-plane (rho, |z|) lies in
// the first quadrant, and so does its nearest point of the ellipse. There g goes from g(0) = B >= 0
// to g(pi/2) = -A <= 0 with exactly one root: bisection keeps a bracket of it, Newton steps inside
// the bracket make it fast; the sign of z then picks the quadrant. Special cases: the axis (the
// pole is nearest, as the polar radius of curvature Re^2 / Rp exceeds Rp), the equatorial plane
// inside the evolute (cos b = A; of the two equally near feet the one on z's side of zero), a point
// so far out that A or B overflow (the normal there points at it: tan b = Rp |z| / (Re rho)), and
// the centre, where both poles are nearest, or a point at infinity: NaN.
inline double nearest_foot_reduced_lat(double Re, double f, double x, double y, double z,
                                       double start) noexcept {
    const double a_e2 = (Re * f) * (2 - f);
    const double rho = scaled_hypot(x, y), abs_z = std::fabs(z);
    if (!(std::isfinite(rho) && std::isfinite(abs_z)) || (rho == 0 && abs_z == 0)) return kNaN;
    if (rho == 0) return std::copysign(kHalfPi, z);
    const double A = rho / a_e2;
    const double B = ((1 - f) * abs_z) / a_e2;
    // z = 0, or so small against a e^2 that B underflows: the foot for z -> 0
    // on z's side (B / (1 - A) from it, below the last place).
    if (abs_z == 0 || B == 0) return std::copysign(A < 1 ? std::acos(A) : 0.0, z);
    if (A == kInfinity || B == kInfinity) return std::copysign(std::atan2((1 - f) * abs_z, rho), z);
    double lo = 0, hi = kHalfPi;
    // From the given start if it lies in the quadrant, else from the geocentric latitude.
    const bool in_quadrant = std::fabs(start) <= kHalfPi && (start >= 0) == (z > 0);
    double beta = in_quadrant ? std::fabs(start) : std::atan2(abs_z, rho);
    for (int step = 0; step < kFootSteps; ++step) {
        const double sin_beta = std::sin(beta), cos_beta = std::cos(beta);
        const double g = (sin_beta * cos_beta - A * sin_beta) + B * cos_beta;
        if (g > 0) {
            lo = beta;
        } else if (g < 0) {
            hi = beta;
        } else {
            break;
        }
        const double g_slope =
            ((cos_beta * cos_beta - sin_beta * sin_beta) - A * cos_beta) - B * sin_beta;
        double after = beta - g / g_slope;
        if (!(lo < after && after < hi)) after = 0.5 * (lo + hi);  // a NaN step too
        const double moved = after - beta;
        beta = after;
        if (std::fabs(moved) <= 2 * kEpsilon * beta) break;
    }
    return std::copysign(beta, z);
}

// Reduced latitude beta (radians, [-pi/2, pi/2]) of the foot of the nearest
// surface normal through r (ECEF, the unit of Re); NaN at the centre.
// Measured: with lla_from_pos below (the latitude is a function of beta).
//
// The formula's Newton iteration (started at the geocentric latitude, stopped
// once a step is at most kNewtonTolerance) is kept wherever it lands on the
// nearest foot within kNewtonErrorBound; elsewhere (near the centre, strong
// flattening, far out) the bracketed solver finds it. On a sphere every point
// lies on its own normal: the geocentric latitude, by atan2 of z and a scaled
// rho, which is well-conditioned at the poles and at the extremes of the range.
//
// Scale-free: Re and r are first multiplied by 2^-length_exponent(), exact.
// A point that this leaves at (0, 0, 0) lies within 2^-1074 Re of the centre:
// its nearest foot is the pole on z's side (cos b = A / (1 + B) -> 0). A point
// so far out that its normal runs through the centre (kFarRatio) gets the
// geocentric latitude, which Newton's slope would overflow to reach.
template <class K>
double c_solve_reduced_lat_equation(Self<K> self, const double* r) noexcept {
    const double f = self->f;
    if (f == 0) {
        const double rho = scaled_hypot(r[0], r[1]);
        return rho == 0 && r[2] == 0 ? kNaN : std::atan2(r[2], rho);
    }
    const int scale = length_exponent(self->Re, r[0], r[1], r[2]);
    double Re = self->Re, x = r[0], y = r[1], z = r[2];
    if (scale != 0) {
        Re = std::ldexp(Re, -scale);
        x = std::ldexp(x, -scale), y = std::ldexp(y, -scale), z = std::ldexp(z, -scale);
    }
    const double rho = scaled_hypot(x, y);
    if (rho == 0 && z == 0 && !(r[0] == 0 && r[1] == 0 && r[2] == 0)) {
        return std::copysign(kHalfPi, z);
    }
    const double a_e2 = (Re * f) * (2 - f);  // Re e^2 = (Re^2 - Rp^2) / Re
    if (!(rho < kFarRatio * a_e2 && (1 - f) * std::fabs(z) < kFarRatio * a_e2)) {
        if (!(std::isfinite(rho) && std::isfinite(z))) return kNaN;
        return std::copysign(std::atan2((1 - f) * std::fabs(z), rho), z);
    }
    const NewtonResult newton = newton_reduced_lat(Re, f, x, y, z, rho);
    if (newton_found_nearest_foot(f, a_e2, rho, z, newton)) return newton.beta;
    return nearest_foot_reduced_lat(Re, f, x, y, z, newton.beta);
}

// -- Surface frame ---------------------------------------------------------------

// Outward unit normal at geodetic (lat, lon) (radians): [cos lat cos lon,
// cos lat sin lon, sin lat]; not measured by bench/accuracy.py.
template <class K>
void surf_normal_vector(Self<K>, SurfCoord point, double* u_normal) noexcept {
    const double cos_lat = std::cos(point.lat), sin_lat = std::sin(point.lat);
    const double cos_lon = std::cos(point.lon), sin_lon = std::sin(point.lon);
    u_normal[0] = cos_lat * cos_lon;
    u_normal[1] = cos_lat * sin_lon;
    u_normal[2] = sin_lat;
}

// East and north unit tangents at geodetic (lat, lon) (radians), built on the
// reduced latitude beta (not measured by bench/accuracy.py): the meridian tangent (-sin b cos lon,
// -sin b sin lon, (1 - f) cos b) has length tangent_length(), never zero for 0 <= f < 1.
template <class K>
void surf_tangent_vector(Self<K> self, SurfCoord point, double* u_east, double* u_north) noexcept {
    const double f = self->f;
    const double beta = c_reduced_lat_from_geodetic_lat<K>(self, point.lat);
    if (K::kernel_failed()) return fail<K, Slot::surf_tangent_vector>();
    const double cos_lon = std::cos(point.lon), sin_lon = std::sin(point.lon);
    const double cos_beta = std::cos(beta), sin_beta = std::sin(beta);
    const double length = tangent_length(f, beta, cos_beta);
    u_east[0] = -sin_lon;
    u_east[1] = cos_lon;
    u_east[2] = 0;
    u_north[0] = (-sin_beta) * cos_lon / length;
    u_north[1] = (-sin_beta) * sin_lon / length;
    u_north[2] = (1 - f) * cos_beta / length;
}

// The East-North-Up frame at a surface point (lat, lon in radians): three unit
// vectors in ECEF, up first, then east and north.
template <class K>
void c_enu(Self<K> self, SurfCoord point, ENU_Frame* enu) noexcept {
    call<K, Slot::surf_normal_vector>(self, point, enu->u_up);
    if (K::kernel_failed()) return fail<K, Slot::c_enu>();
    call<K, Slot::surf_tangent_vector>(self, point, enu->u_east, enu->u_north);
    if (K::kernel_failed()) return fail<K, Slot::c_enu>();
}

// -- Surface positions -------------------------------------------------------------

// Surface point (ECEF, the unit of Re) of geodetic (lat, lon) (radians): the
// meridian ellipse (Re cos b, Rp sin b) at the reduced latitude b [Bowring
// 1976], turned to the longitude. Not measured by bench/accuracy.py; the round
// trip through c_surf_coord_from_surf_pos is.
template <class K>
void c_surf_pos_from_surf_coord(Self<K> self, SurfCoord point, double* r_surf) noexcept {
    const double Re = self->Re, f = self->f;
    const double beta = c_reduced_lat_from_geodetic_lat<K>(self, point.lat);
    if (K::kernel_failed()) return fail<K, Slot::c_surf_pos_from_surf_coord>();
    const double cos_lon = std::cos(point.lon), sin_lon = std::sin(point.lon);
    const double cos_beta = std::cos(beta), sin_beta = std::sin(beta);
    r_surf[0] = (Re * cos_beta) * cos_lon;
    r_surf[1] = (cos_beta * Re) * sin_lon;
    r_surf[2] = (sin_beta * Re) * (1 - f);
}

// Geodetic (lat, lon) (radians; lat in [-pi/2, pi/2], NaN for a point clearly
// beyond a pole; lon in [-pi, pi]) of a surface point (ECEF, the unit of Re):
// the reduced latitude from z alone,
// the longitude from x and y alone. The point is not projected onto the surface.
// Near the poles (kPoleCap) the arcsine is ill-conditioned, and the reduced
// latitude is the angle of (rho / Re, z / Rp), the point mapped onto the unit
// circle: the same angle for a surface point, well-conditioned. Measured on
// WGS84: 3.6e-15 rad for |lat| <= 1.5, 2.7e-15 rad beyond, exact within 1e-7
// rad of the poles; f = 0.5: 1.3e-15 rad.
template <class K>
void c_surf_coord_from_surf_pos(Self<K> self, const double* r_surf, SurfCoord* point) noexcept {
    const double Re = self->Re, f = self->f;
    double q = (r_surf[2] / Re) / (1 - f);  // sin(beta) of a surface point
    // At the poles z = Re (1 - f) comes back through two divisions as 1 plus a
    // unit or two in the last place; that is the pole, not a point beyond it.
    if (std::fabs(q) > 1 && std::fabs(q) <= 1 + kPoleSlack) q = std::copysign(1.0, q);
    const double beta = std::fabs(q) <= 1 && 1 - q * q < kPoleCap
                            ? std::atan2(q, scaled_hypot(r_surf[0], r_surf[1]) / Re)
                            : std::asin(q);
    point->lon = std::atan2(r_surf[1], r_surf[0]);
    const double lat = c_geodetic_lat_from_reduced_lat<K>(self, beta);
    if (K::kernel_failed()) return fail<K, Slot::c_surf_coord_from_surf_pos>();
    point->lat = lat;
}

// -- Geodetic positions -----------------------------------------------------------

// Outside the protected band (|lat| <= 1.5 rad and |alt| <= 1e6 m on the
// Earth, kBandAltitude Re on any ellipsoid) c_lla_from_pos gives the truth to
// a unit or two rather than the formula's bits: the scalar form of the
// vectorised path's conversion (fast/geodesy.h, lla_lanes; [Fukushima 2006]),
// a Newton step on the unnormalised sine and cosine of the reduced latitude
// from the solver's result, the latitude atan2(s, (1 - f) c) from them, and
// the altitude as the projection of r minus the foot onto the normal. Two
// things differ from the lanes, both in double-double arithmetic [Dekker
// 1971]. The step's residual: the latitude of a point moves by |dr| / (M + h)
// for a move dr of the point (M the meridian radius of curvature, a (1 - f)^2
// at the equator), and with strong flattening a residual rounded like the
// point's coordinates would move it by up to 7 units of 2^-53 (1.8e-15 rad at
// f = 0.9, 1e6 m up). And the projection: the lanes write it in doubles, with
// the larger offset as a difference of lengths and the normal's weights as 1
// less a small term, which cancels with strong flattening, where the normal is
// nearer the axis than the foot's larger offset suggests (2.1 units at f = 0.9).
inline constexpr double kBandLatitude = 1.5;
inline constexpr double kBandAltitude = 1e6 / 6378137.0 * (1 + 0x1p-40);
// A Newton step from the solver's result is at most some 1e-13 rad; a larger
// one (next to the evolute's cusp, where the foot is ill-conditioned) is not
// taken, and the tan d ~ d rotation below is exact to d^3 / 3 at this bound.
inline constexpr double kFinishStep = 0x1p-20;
// A step d leaves C d^2 (C = |g'' / 2 g'|, about 1 / min(sin b, cos b)): one
// at most 2^-30 min(sin b, cos b) leaves nothing a double can hold, and another
// would only add its rounding. Larger ones (the solver's 5.7e-14 rad against a
// reduced latitude of 1e-8 at the rim of a disc, f = 1 - 1e-9) get a second or
// a third.
inline constexpr int kFinishSteps = 3;
inline constexpr double kFinishedStep = 0x1p-30;
// Below this x^2 + y^2 (in the solver's scaled unit, where max(Re, |r|) is
// about 1) the squares lose bits to underflow: rho is then taken as a double,
// its term of the residual being at most 2^-450 of the others'.
inline constexpr double kWideSquareLow = 0x1p-900;

// x and y as a head and tail: x = hi + lo, hi with at most 26 significant bits
// (Veltkamp's splitting [Dekker 1971]).
inline void split(double x, double& hi, double& lo) noexcept {
    const double t = x * 134217729.0;
    hi = t - (t - x);
    lo = x - hi;
}

// The constants of lla_lanes for Re (the unit of the point, in [2^-400, 2^400]
// or scaled there) and f: 1 - f and (1 - f) Re as double-doubles, and Re e^2
// (fast/module.cpp, read_constants, builds the same from the object); and
// Re e^2 = Re (1 - (1 - f)^2) as a double-double for the residual.
struct FootConstants {
    double a, om_hi, om_lo, b_hi, b_lo, ae2;
    Wide wide_ae2;
};
inline FootConstants foot_constants(double Re, double f) noexcept {
    FootConstants e;
    e.a = Re;
    e.om_hi = 1.0 - f;
    e.om_lo = (1.0 - e.om_hi) - f;  // exact: f is at most 1
    e.ae2 = Re * (f * (2.0 - f));
    e.b_hi = Re * e.om_hi;
    double a_hi, a_lo, o_hi, o_lo;
    split(Re, a_hi, a_lo);
    split(e.om_hi, o_hi, o_lo);
    const double b_err = (((a_hi * o_hi - e.b_hi) + a_hi * o_lo) + a_lo * o_hi) + a_lo * o_lo;
    e.b_lo = b_err + Re * e.om_lo;
    const Wide om2 = times(Wide{e.om_hi, e.om_lo}, e.om_hi);
    const Wide om2_full = add(om2, two_product(e.om_hi, e.om_lo));
    e.wide_ae2 = times(subtract(Wide{1.0, 0.0}, om2_full), Re);
    return e;
}

// Geodetic latitude and altitude of the point (x, y, z), rho = hypot(x, y) > 0
// (the unit of Re, max(Re, |r|) in [2^-400, 2^400] or scaled there), from beta,
// the reduced latitude of its nearest foot within some 1e-13 rad: Newton steps
// (one, at most kFinishSteps) on
//   g(b) = rho sin b - (1 - f) |z| cos b - Re e^2 sin b cos b,
// written for the unnormalised s, c as m (rho s - (1 - f) |z| c) - Re e^2 s c,
// m = sqrt(s^2 + c^2), which puts the same root at the angle of (s, c), and
// carried on the unnormalised (s1, c1); then the latitude atan2(s1, (1 - f) c1)
// and the altitude. Measured: see c_lla_from_pos.
inline void foot_point_lla(const FootConstants& e, double x, double y, double rho, double z,
                           double beta, double& lat, double& alt) noexcept {
    const double az = std::fabs(z);
    const double zz = az * e.om_hi + az * e.om_lo;  // (1 - f) |z|
    const double s = std::fabs(std::sin(beta)), c = std::cos(beta);
    // The residual in double-double: rho, (1 - f) |z| and Re e^2 unrounded.
    const Wide squares = add(two_product(x, x), two_product(y, y));
    const Wide wide_rho = squares.hi >= kWideSquareLow ? square_root(squares) : Wide{rho, 0.0};
    const Wide wide_zz = times(Wide{e.om_hi, e.om_lo}, az);
    double s1 = s, c1 = c;
    for (int step = 0; step < kFinishSteps; ++step) {
        const Wide m = square_root(add(two_product(s1, s1), two_product(c1, c1)));
        const Wide lever = subtract(times(wide_rho, s1), times(wide_zz, c1));
        const Wide curve = times(times(e.wide_ae2, s1), c1);
        const Wide wide_g = subtract(times(lever, m), curve);
        const double g = wide_g.hi + wide_g.lo;
        const double slope = (rho * c1 + zz * s1) - e.ae2 * ((c1 - s1) * (c1 + s1));
        const double d = g / slope;
        if (!(std::fabs(d) <= kFinishStep)) break;
        const double s_next = s1 - c1 * d, c_next = c1 + s1 * d;
        s1 = s_next, c1 = c_next;
        if (std::fabs(d) <= kFinishedStep * std::fmin(s1, c1)) break;
    }
    const double lat_up = std::atan2(s1, c1 * e.om_hi + c1 * e.om_lo);
    lat = z < 0 ? -lat_up : lat_up;
    // The altitude: r minus the foot (a cos b, (1 - f) a sin b) along the unit
    // normal ((1 - f) cos b, sin b) / n, in double-double, rounded once.
    const Wide m = square_root(add(two_product(s1, s1), two_product(c1, c1)));
    const Wide wide_b{e.b_hi, e.b_lo};
    const Wide along_rho = subtract(wide_rho, times(divide(Wide{c1, 0.0}, m), e.a));
    const Wide along_z = subtract(Wide{az, 0.0}, times(divide(Wide{s1, 0.0}, m), wide_b));
    const Wide n_rho = times(Wide{e.om_hi, e.om_lo}, c1);
    const Wide n = square_root(add(times(n_rho, n_rho), two_product(s1, s1)));
    alt = divide(add(times(along_rho, n_rho), times(along_z, s1)), n).hi;
}

// Geodetic latitude (radians, [-pi/2, pi/2]; NaN at the centre), longitude
// (radians, [-pi, pi]; 0 on the axis) and altitude (signed, the unit of Re) of
// an ECEF position (the unit of Re).
//
// The altitude is the signed distance from the foot point (Re cos b, Rp sin b)
// along the normal. Away from the axis it is evaluated in closed form,
//   alt = sqrt(1 - e^2 cos^2 b) (rho / cos b - Re) / (1 - f),
// which divides by cos b. Where that division amplifies the rounding of b
// (kClosedFormMaxGain, kAxisBand) the same distance is taken as the projection
// of r minus the foot point onto the unit normal ((1 - f) cos b, sin b) /
// sqrt(1 - e^2 cos^2 b), which is stationary in b: an error of the foot point
// changes it only to second order [Bowring 1985]. On the axis (kAxisPoint) the
// altitude is the distance from the pole along the axis. That is the formula,
// whose bits are kept in the protected band: |lat| <= 1.5 rad and |alt| <=
// 1e6 m on the Earth (kBandLatitude, kBandAltitude Re on any ellipsoid, as the
// formula's own result says). Outside it the latitude and altitude are
// finished by foot_point_lla (on a sphere the altitude by |r| - Re in
// double-double).
//
// Measured (bench/accuracy.py; u = 2.2e-16 max(Re, |r|)): on WGS84 in the band
// the latitude is the Newton iteration's, 1.4e-14 rad (55 u as a position on
// the surface), the altitude 3.1 u (4.8 u over 100,000 points). Outside the
// band (bench/lla_outside_band.py, 10^6 points per region against a truth
// built in extended precision, and 2,000 per region against mpmath next to the
// centre, inside the evolute and at the rim of discs up to f = 1 - 2^-53; the
// sphere, f from 1/298 to 0.99, Re from 1e-300 to 1e300): the latitude within
// 2.4e-16 rad and the altitude within 0.5 u (before: 5.7e-14 rad and 11 u, 67 u
// at 1e10 m for f = 0.99). NaN only at the centre (the altitude -Rp there).
template <class K>
void c_lla_from_pos(Self<K> self, const double* r, LLA* lla) noexcept {
    const double f = self->f;
    // On the axis the longitude is 0 by convention; atan2 would give pi for
    // (-0, +-0), as it does for any point on the negative x axis.
    lla->lon = (r[0] == 0 && r[1] == 0) ? 0.0 : std::atan2(r[1], r[0]);
    const double beta = call<K, Slot::c_solve_reduced_lat_equation>(self, r);
    if (K::kernel_failed()) return fail<K, Slot::c_lla_from_pos>();
    const double lat = c_geodetic_lat_from_reduced_lat<K>(self, beta);
    if (K::kernel_failed()) return fail<K, Slot::c_lla_from_pos>();
    lla->lat = lat;
    // The altitude on Re and r scaled as the solver scales them, scaled back.
    const int scale = length_exponent(self->Re, r[0], r[1], r[2]);
    double Re = self->Re, x = r[0], y = r[1], z = r[2];
    if (scale != 0) {
        Re = std::ldexp(Re, -scale);
        x = std::ldexp(x, -scale), y = std::ldexp(y, -scale), z = std::ldexp(z, -scale);
    }
    const double rho = scaled_hypot(x, y);
    const auto formula_altitude = [&]() noexcept {
        if (rho < kAxisPoint * Re && rho <= kAxisPointSlope * std::fabs(z)) {
            return std::fabs(z) - (1 - f) * Re;
        }
        const double cos_beta = std::cos(beta);
        const double normal_length = tangent_length(f, beta, cos_beta);
        const auto projected = [&]() noexcept {
            const double sin_beta = std::sin(beta);
            const double foot_rho = Re * cos_beta, foot_z = ((1 - f) * Re) * sin_beta;
            const double along_rho = (rho - foot_rho) * ((1 - f) * cos_beta);
            const double along_z = (z - foot_z) * sin_beta;
            return (along_rho + along_z) / normal_length;
        };
        if (rho < kAxisBand * Re || !closed_form_is_accurate(f, cos_beta, normal_length)) {
            return projected();
        }
        double alt = normal_length * (rho / cos_beta - Re) / (1 - f);
        if (normal_length > kClosedFormSafeGain * ((1 - f) * cos_beta)) {
            // The closed form amplifies the last unit of beta several times: it is
            // kept where the projection confirms it.
            const double check = projected();
            const double largest = std::fmax(Re, std::fmax(rho, std::fabs(z)));
            if (!(std::fabs(alt - check) <= kClosedFormAgreement * largest)) alt = check;
        }
        return alt;
    };
    const double alt = times_power_of_two(formula_altitude(), scale);
    lla->alt = alt;
    if (std::fabs(lat) <= kBandLatitude && std::fabs(alt) <= kBandAltitude * self->Re) return;
    // Outside the band: the truth to a unit or two (foot_point_lla). Not at the
    // centre, on the axis itself, or for a point at infinity. On a sphere the
    // latitude is the geocentric one already, and the altitude |r| - Re, with
    // |r| in double-double (the closed form above divides by cos b: 8 units far
    // out, 1.5 rad up).
    if (!(rho > 0 && std::isfinite(beta) && std::isfinite(rho) && std::isfinite(z))) return;
    // A solver replaced in a compiled subclass's table: its reduced latitude is
    // the one the result keeps.
    if (!K::template own_formula<Slot::c_solve_reduced_lat_equation>(self)) return;
    if (f == 0) {
        const Wide squares = add(add(two_product(x, x), two_product(y, y)), two_product(z, z));
        if (squares.hi >= kWideSquareLow) {
            const Wide distance = subtract(square_root(squares), Wide{Re, 0.0});
            lla->alt = times_power_of_two(distance.hi + distance.lo, scale);
        }
        return;
    }
    double accurate_lat, accurate_alt;
    foot_point_lla(foot_constants(Re, f), x, y, rho, z, beta, accurate_lat, accurate_alt);
    lla->lat = accurate_lat;
    lla->alt = times_power_of_two(accurate_alt, scale);
}

// ECEF position (the unit of Re) of geodetic (lat, lon, alt) (radians,
// radians, the unit of Re): the surface point plus alt times the unit normal,
// a product and a separately rounded sum per component. Not measured by
// bench/accuracy.py (its points are made by the test reference of it).
template <class K>
void c_pos_from_lla(Self<K> self, LLA lla, double* r) noexcept {
    const SurfCoord coord{lla.lat, lla.lon};
    double r_surf[3], u_normal[3];
    call<K, Slot::c_surf_pos_from_surf_coord>(self, coord, r_surf);
    if (K::kernel_failed()) return fail<K, Slot::c_pos_from_lla>();
    call<K, Slot::surf_normal_vector>(self, coord, u_normal);
    if (K::kernel_failed()) return fail<K, Slot::c_pos_from_lla>();
    for (int k = 0; k < 3; ++k) r[k] = lla.alt * u_normal[k] + r_surf[k];
}

// -- Observation -------------------------------------------------------------------

// The exponent e of m > 0 (finite) with m = x 2^e, 1/2 <= x < 1, as frexp
// gives it; read from the bits where m is normal.
inline int binary_exponent(double m) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &m, sizeof bits);
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    if (biased != 0) return biased - 1022;
    int e;
    std::frexp(m, &e);
    return e;
}

// x 2^e, as ldexp gives it (rounded once where the result is subnormal): a
// product with the power of two where that is a normal double.
inline double scale_by_power_of_two(double x, int e) noexcept {
    if (e < -1022 || e > 1023) return std::ldexp(x, e);
    const std::uint64_t bits = static_cast<std::uint64_t>(e + 1023) << 52;
    double factor;
    std::memcpy(&factor, &bits, sizeof factor);
    return x * factor;
}

// a d - b c with one rounding error in the product and one in the sum
// (Kahan's algorithm; C.-P. Jeannerod, N. Louvet, J.-M. Muller, "Further
// analysis of Kahan's algorithm for the accurate computation of 2 x 2
// determinants", Mathematics of Computation 82, 2245-2264, 2013: within two
// units of the result): w = b c is kept with its rounding error e, exactly,
// by a fused multiply-add.
inline double difference_of_products(double a, double d, double b, double c) noexcept {
    const double w = b * c;
    const double e = std::fma(-b, c, w);
    const double ad_minus_w = std::fma(a, d, -w);
    return ad_minus_w + e;
}

// The nearer meeting point of the line r + l u with the ellipsoid, for a source
// between 2 and 4 Re. Dividing z by (1 - f) turns the ellipsoid into the sphere
// of radius Re. There, with the direction v scaled by a power of two (exact:
// the point found does not depend on |u|),
//   a l^2 + 2 h l + c = 0,  a = |v|^2,  h = v.r,  c = |r|^2 - Re^2,
// and the quarter discriminant h^2 - a c equals a Re^2 - |v x r|^2 (Lagrange's
// identity), free of the cancellation of h^2 against a c. Of the roots q / a
// and c / q, q = -(h + sign(h) sqrt(h^2 - a c)), the nearer is c / q, and q adds
// two numbers of the same sign [NR 5.6]. The hit r + l v then loses a unit of
// |r|, a few of Re this close (ray_hit_stable avoids that farther out).
inline void ray_hit_lagrange(double Re, double f, const double* r_ray, const double* u_ray,
                             double* r_surf) noexcept {
    const double ux = u_ray[0], uy = u_ray[1], uz = u_ray[2];
    const double m = largest_magnitude(ux, uy, uz);
    if (!(m > 0 && m < kInfinity) || std::isnan(ux + uy + uz)) {
        r_surf[0] = r_surf[1] = r_surf[2] = kNaN;
        return;
    }
    int e;
    std::frexp(m, &e);
    const double v[3] = {std::ldexp(ux, -e), std::ldexp(uy, -e), std::ldexp(uz, -e)};
    const double stretch = 1.0 / (1 - f);
    const double sx = r_ray[0], sy = r_ray[1], sz = r_ray[2] * stretch;
    const double wx = v[0], wy = v[1], wz = v[2] * stretch;
    const double a = (wx * wx + wy * wy) + wz * wz;
    const double h = (wx * sx + wy * sy) + wz * sz;
    const double c = ((sx * sx + sy * sy) + sz * sz) - Re * Re;
    const double cx = wy * sz - wz * sy, cy = wz * sx - wx * sz, cz = wx * sy - wy * sx;
    const double disc = a * (Re * Re) - ((cx * cx + cy * cy) + cz * cz);
    if (disc < 0) {
        r_surf[0] = r_surf[1] = r_surf[2] = kNaN;
        return;
    }
    const double root = std::sqrt(disc);
    const double q = h > 0 ? -(h + root) : root - h;
    const double l = q != 0 ? c / q : 0.0;
    for (int i = 0; i < 3; ++i) r_surf[i] = r_ray[i] + l * v[i];
}

// The nearer meeting point of the line r + l u with the ellipsoid, for a source
// far away (or an ellipsoid or a direction whose squares leave the range), right
// to a few units of max(Re, |hit|) whatever the source's distance, wherever the
// line given by the doubles r and u is well-conditioned. Multiplying z by
// s = 1 / (1 - f) turns the ellipsoid into the sphere of radius Re; there the
// point of the line closest to the centre is
//   p = w x (r' x w) / |w|^2 = r' - ((w.r') / |w|^2) w,  r' = (x, y, s z), w = (ux, uy, s uz),
// at distance d = |p|, and the line meets the sphere at p +- sqrt((Re - d)(Re +
// d)) w / |w|; the nearer point lies on the source's side of p (the sign of
// w.r'). The one cancellation, of the large components of r against those of
// u in r' x w = (s c_x, s c_y, c_z), c = r x u, is taken on the given doubles
// (scaled by powers of two: u into [1/2, 1), Re into [1/2, 1) and r with it,
// or r below 2^1000 where it lies farther than that; exact), as
// differences of products within two units each; stretching r or u first
// would round them, moving a line from 1e12 m by 1e-4 m. The rest carries
// relative roundings only. Sources more than 2^1900 Re away (beyond 7e271 m
// for Re = 1e-300 m), whose products would fall below the normal range, give
// NaN. A hit in a coordinate plane gets +0 there (adding +0 turns -0 into +0
// and changes nothing else).
inline void ray_hit_stable(double Re, double f, const double* r_ray, const double* u_ray,
                           double* r_surf) noexcept {
    const double ux = u_ray[0], uy = u_ray[1], uz = u_ray[2];
    const double m = largest_magnitude(ux, uy, uz);
    const double rx = r_ray[0], ry = r_ray[1], rz = r_ray[2];
    const bool finite_source = std::isfinite(rx) && std::isfinite(ry) && std::isfinite(rz);
    if (!(m > 0 && m < kInfinity) || std::isnan(ux + uy + uz) || !finite_source) {
        r_surf[0] = r_surf[1] = r_surf[2] = kNaN;
        return;
    }
    const int e = binary_exponent(m);
    const double vx = scale_by_power_of_two(ux, -e), vy = scale_by_power_of_two(uy, -e);
    const double vz = scale_by_power_of_two(uz, -e);
    // |Re| into [1/2, 1), unless the source would then pass 2^1000. The line
    // meets the surface where Re^2 says, so a negative Re (kept by the
    // constructor under python -O) is its magnitude here, as in the formula.
    const double source = largest_magnitude(rx, ry, rz);
    const int k_re = binary_exponent(Re);
    const int k = source > 0 ? std::max(k_re, binary_exponent(source) - kSourceHeadroom) : k_re;
    const double R = scale_by_power_of_two(std::fabs(Re), -k);
    if (!(R >= kFarthestSource)) {
        r_surf[0] = r_surf[1] = r_surf[2] = kNaN;
        return;
    }
    const double sx = scale_by_power_of_two(rx, -k), sy = scale_by_power_of_two(ry, -k);
    const double sz = scale_by_power_of_two(rz, -k);
    const double stretch = 1.0 / (1 - f);
    const double wz = stretch * vz;
    const double a = (vx * vx + vy * vy) + wz * wz;
    const double h = (vx * sx + vy * sy) + wz * (stretch * sz);
    // r' x w, from c = r x u on the unstretched components.
    const double cx = stretch * difference_of_products(sy, vz, sz, vy);
    const double cy = stretch * difference_of_products(sz, vx, sx, vz);
    const double cz = difference_of_products(sx, vy, sy, vx);
    // p = w x (r' x w) / a: w is orthogonal to r' x w, so its terms are at
    // most |w| |r' x w| = a d, and their roundings a few units of d.
    const double px = (vy * cz - wz * cy) / a;
    const double py = (wz * cx - vx * cz) / a;
    const double pz = (vx * cy - vy * cx) / a;
    const double d = R > kSquareLow ? std::sqrt((px * px + py * py) + pz * pz)
                                    : scaled_hypot(scaled_hypot(px, py), pz);
    if (!(d <= R)) {
        r_surf[0] = r_surf[1] = r_surf[2] = kNaN;
        return;
    }
    // (R - d)(R + d) is exact for d = 0 and rounded once; for a tiny R it would
    // underflow, and the roots are taken apart.
    const double half_chord =
        R > kSquareLow ? std::sqrt((R - d) * (R + d)) : std::sqrt(R - d) * std::sqrt(R + d);
    const double l = std::copysign(half_chord / std::sqrt(a), h);
    r_surf[0] = scale_by_power_of_two(px + l * vx, k) + 0.0;
    r_surf[1] = scale_by_power_of_two(py + l * vy, k) + 0.0;
    r_surf[2] = scale_by_power_of_two((pz + l * wz) * (1 - f), k) + 0.0;
}

// Point (ECEF, the unit of Re) where the line r_ray + l u_ray meets
// x^2 + y^2 + z^2 / (1 - f)^2 = Re^2 nearest to r_ray (smallest |l|, ahead or
// behind); r_ray in the unit of Re, u_ray of any nonzero length. A line that
// misses gives three NaN; a tangent line its point of contact. Measured on
// WGS84: within 4.2e-9 m (3 u of Re) from 1e7 m to 1e12 m with lines aimed
// inside, from 1e15 m to 1e300 m along exactly given lines, and with
// directions of length 1e-170 to 1e160.
//
// The roots are taken as the formula writes them while that is accurate: for a
// source within 2 Re, -b +- sqrt(delta) cancels in the nearer root by at most a
// few units of Re. For a far source it cancels by |r|^2 / Re (tens of metres
// from 1e12 m on the Earth), and b^2 - 4 a c with it: within 4 Re (or for a
// direction whose squares leave the range) ray_hit_lagrange takes over, a unit
// of |r|; farther, and for Re outside [2^-400, 2^400], ray_hit_stable, a few
// units of Re from any distance.
template <class K>
void c_surf_pos_of_ray_first_intersection(Self<K> self, const double* r_ray, const double* u_ray,
                                          double* r_surf) noexcept {
    const double Re = self->Re, f = self->f;
    const double rx = r_ray[0], ry = r_ray[1], rz = r_ray[2];
    const double ux = u_ray[0], uy = u_ray[1], uz = u_ray[2];
    // The ellipsoid is x^2 + y^2 + w z^2 = Re^2, w = 1 / (1 - f)^2, and the
    // line meets it where a l^2 + b l + c = 0.
    const double z_weight = (1.0 / (1 - f)) / (1 - f);
    const double a = (ux * ux + uy * uy) + (uz * uz) * z_weight;
    const double b = 2 * ((ux * rx + uy * ry) + (uz * rz) * z_weight);
    const double c = ((rx * rx + ry * ry) + (rz * rz) * z_weight) - Re * Re;
    const bool normal_re = kLengthLow <= Re && Re <= kLengthHigh;
    if (!(c <= kRayNear * (Re * Re) && kDirectionLow <= a && a <= kDirectionHigh && normal_re)) {
        if (c <= kRayMiddle * (Re * Re) && normal_re) {
            return ray_hit_lagrange(Re, f, r_ray, u_ray, r_surf);
        }
        return ray_hit_stable(Re, f, r_ray, u_ray, r_surf);
    }
    const double delta = b * b - c * (4.0 * a);
    double l;
    if (delta < 0) {
        r_surf[0] = r_surf[1] = r_surf[2] = kNaN;
        return;
    } else if (delta == 0) {
        l = (-b) * 0.5 / a;
    } else {  // delta > 0, or NaN
        // The nearer root subtracts sqrt(delta) from |b|, nearly equal for a
        // far source: it loses about |r|^2 / (Re |l|) units; within 2 Re a few.
        const double sqrt_delta = std::sqrt(delta);
        const double l1 = (sqrt_delta - b) * 0.5 / a;
        const double l2 = (-b - sqrt_delta) * 0.5 / a;
        l = std::fabs(l1) < std::fabs(l2) ? l1 : l2;
    }
    for (int i = 0; i < 3; ++i) r_surf[i] = r_ray[i] + l * u_ray[i];
}

// Steps shared by every target of one observer: the east, north and up
// components of the observer-to-target vector (the unit of Re), its length
// (range, >= 0), and the angles (radians: azimuth in [-pi, pi] from north
// towards east, elevation in [-pi/2, pi/2]).
//
// A vector whose largest component lies outside [2^-500, 2^500] is first
// scaled by a power of two into [1/2, 1) (exact; the range is scaled back), so
// that neither the squares of the range nor the products of the components
// leave the normal range [Blue 1978]. Elevation: the arcsine of up / range
// amplifies the rounding of that ratio by 1 / cos(elevation); where that
// exceeds 16 (within 0.0626 rad of the zenith or nadir) the elevation is
// atan2(up, hypot(east, north)), well-conditioned there, and elsewhere the
// arcsine's bits are kept. A target at the observer gives a NaN elevation.
// Measured (with c_aer_coords): the range within 1.6 u of max(Re, |target|),
// the elevation within a unit of the observer's position seen from the
// target's distance, times the arcsine's gain (25 u as a position at most),
// from the zenith to targets 1e300 m away and for Re = 1e-300 m alike.
template <class K>
void finish_aer(double* r_target_obs, const ENU_Frame* enu_obs, AER* aer) noexcept {
    double* east_axis = const_cast<double*>(enu_obs->u_east);
    double* north_axis = const_cast<double*>(enu_obs->u_north);
    double* up_axis = const_cast<double*>(enu_obs->u_up);
    const double m = largest_magnitude(r_target_obs[0], r_target_obs[1], r_target_obs[2]);
    int scale = 0;
    double scaled[3];
    double* d = r_target_obs;
    if (!(kSquareLow < m && m < kSquareHigh) && m > 0 && m < kInfinity) {
        std::frexp(m, &scale);
        for (int i = 0; i < 3; ++i) scaled[i] = std::ldexp(r_target_obs[i], -scale);
        d = scaled;
    }
    const double east = K::routines().dot(d, east_axis);
    if (K::routine_failed()) return fail<K, Slot::c_aer_coords>();
    const double north = K::routines().dot(d, north_axis);
    if (K::routine_failed()) return fail<K, Slot::c_aer_coords>();
    const double up = K::routines().dot(d, up_axis);
    if (K::routine_failed()) return fail<K, Slot::c_aer_coords>();
    const double range = K::routines().norm(d);
    if (K::routine_failed()) return fail<K, Slot::c_aer_coords>();
    const double sin_elevation = up / range;
    aer->range = times_power_of_two(range, scale);
    aer->azimuth = std::atan2(east, north);
    if (sin_elevation * sin_elevation > 1 - kPoleCap) {
        aer->elevation = std::atan2(up, scaled_hypot(east, north));
    } else {
        aer->elevation = std::asin(sin_elevation);  // |up / range| < 1; NaN stays NaN
    }
}

// Azimuth (from north towards east, [-pi, pi]), elevation ([-pi/2, pi/2]) and
// range (>= 0, the unit of Re) of r_target (ECEF) seen from the observer at
// lla_obs (radians, radians, the unit of Re), in the observer's East-North-Up
// frame.
template <class K>
void c_aer_coords(Self<K> self, const double* r_target, LLA lla_obs, AER* aer) noexcept {
    double r_obs[3], r_target_obs[3];
    call<K, Slot::c_pos_from_lla>(self, lla_obs, r_obs);
    if (K::kernel_failed()) return fail<K, Slot::c_aer_coords>();
    K::routines().sub(const_cast<double*>(r_target), r_obs, r_target_obs);
    if (K::routine_failed()) return fail<K, Slot::c_aer_coords>();
    const SurfCoord coord_obs{lla_obs.lat, lla_obs.lon};
    ENU_Frame enu_obs;
    call<K, Slot::c_enu>(self, coord_obs, &enu_obs);
    if (K::kernel_failed()) return fail<K, Slot::c_aer_coords>();
    finish_aer<K>(r_target_obs, &enu_obs, aer);
}

}  // namespace quorvane::ellipsoid::kernels

#endif  // QUORVANE_ELLIPSOID_KERNELS_FORMULAS_H
