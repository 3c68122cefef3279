// Intersections of geodesics, after
//
//   C. F. F. Karney, "Geodesic intersections", J. Surveying Eng. 150 (2024).
//
// Two geodesics, X from point 1 with azimuth azi1 and Y from point 2 with azimuth azi2, meet
// where X(x) = Y(y), x and y the signed distances along them. From estimates x, y the points
// X(x), Y(y) and their azimuths there, and the geodesic between the two points (its length
// s and azimuths), make a triangle with the intersection Z; it is solved on a sphere of the
// ellipsoid's equatorial radius a (side XY = s / a, the angles at X and Y from the azimuths)
// and the legs XZ, YZ (times a) correct x and y. Near the solution the triangle shrinks and
// the sphere describes it to second order: the corrections fall quadratically, a handful of
// steps from any start; on a sphere the first step is exact.
//
// On the unit sphere put X at (1, 0, 0) and the arc XY along the equator, Y at (cos s, sin s,
// 0). A direction at angle g to the right of the arc's forward direction is (0, cos g, -sin g)
// at X and (-sin s cos g, cos s cos g, -sin g) at Y; the great circles through X and Y in the
// directions of the lines (g_X = azimuth of X - azimuth of XY at X, g_Y the same at Y) have
// normals n_X, n_Y, and Z = +-(n_X x n_Y) / |n_X x n_Y|: of the two antipodal candidates the
// one closer to the start in |x - x0| + |y - y0| is taken. Where |n_X x n_Y| vanishes the
// lines run along each other (coincident: +1 in the same direction, -1 in opposite ones) and
// the point halfway between X and Y along them is taken.
#ifndef QUORVANE_ELLIPSOID_GEODESIC_INTERSECT_H
#define QUORVANE_ELLIPSOID_GEODESIC_INTERSECT_H

#include <cmath>
#include <limits>
#include <utility>

#include "ellipsoid/geodesic/kernels.h"

namespace quorvane::geodesic {

struct Intersection {
    double x, y, lat, lon, coincident;
};

// Below this sine of the angle between the lines' planes they run along each other.
inline constexpr double kCoincident = 1e-14;
// The steps stop once a correction is below this fraction of a (6 nm on the Earth: the next
// one, quadratic, would be far below a nanometre).
inline constexpr double kStepTolerance = 1e-15;
inline constexpr int kMaxSteps = 30;
// Lines this close (a fraction of a: 6 um on the Earth) at the last step meet there.
inline constexpr double kGap = 1e-12;
// Steps up to this (6 mm) may be rounding where the lines cross at a shallow angle.
inline constexpr double kWander = 1e-9;
// A solution within this fraction of pi b of the start is the closest (intersect_from).
inline constexpr double kSureFraction = 0.5;
// The grid of further starts of the search: its step in units of pi b (at most pi a / 2), and its
// most rings.
inline constexpr double kGridStep = 2;
inline constexpr int kMaxRings = 8;
// The most steps of the search along a chain of nearly equally distant intersections.
inline constexpr int kChainSteps = 4;
// A run of the search is given up once its step falls below this fraction of pi b (and fast);
// at most kKnown intersections are remembered to recognise runs heading to one of them.
inline constexpr double kClear = 0.05;
inline constexpr int kKnown = 16;
// Up to this flattening the lattice of the intersections is that of the sphere to within some
// f (|x| + |y|): the neighbours of the closest found decide, within a margin of kTie f (|x| + |y|
// + the half periods).
inline constexpr double kNearSphere = 0.01;
inline constexpr double kTie = 8;

// One solution of the triangle, iterated from (x0, y0) (metres along lx and ly) to an
// intersection near it: x, y, coincident, and whether the steps settled (false: NaN inputs, or
// kMaxSteps spent).
struct Solution {
    double x, y, coincident;
    bool settled;
};
// How a run of the steps ends: settled, or given up by `abandon` (a Solution with settled
// false and x NaN).
struct NoAbandon {
    bool operator()(double, double, double, double) const noexcept { return false; }
};
// The steps from (x0, y0); after each one abandon(x, y, d, last) (d the step and last the one
// before, metres) may give the run up.
template <class Abandon>
inline Solution solve_from(const Geodesic& g, const Line& lx, const Line& ly, double R, double x0,
                           double y0, Abandon abandon) noexcept {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    double x = x0, y = y0, coincident = 0, last = std::numeric_limits<double>::infinity(), s = 0;
    for (int step = 0; step < kMaxSteps; ++step) {
        double latx, lonx, azx, laty, lony, azy;
        lx.position(g, x, latx, lonx, azx);
        ly.position(g, y, laty, lony, azy);
        const InverseResult v = inverse(g, latx, lonx, laty, lony);
        if (std::isnan(v.s12)) return {nan, nan, nan, false};
        s = v.s12 / R;
        const double gx = azx - v.azi1, gy = azy - v.azi2;
        const double ss = std::sin(s), cs = std::cos(s);
        const double sgx = std::sin(gx), cgx = std::cos(gx), sgy = std::sin(gy), cgy = std::cos(gy);
        // X = (1, 0, 0), tX = (0, cgx, -sgx); Y = (cs, ss, 0), tY = (-ss cgy, cs cgy, -sgy).
        const double nx[3] = {0, sgx, cgx};               // X x tX
        const double ny[3] = {-ss * sgy, cs * sgy, cgy};  // Y x tY
        double z[3] = {nx[1] * ny[2] - nx[2] * ny[1], nx[2] * ny[0] - nx[0] * ny[2],
                       nx[0] * ny[1] - nx[1] * ny[0]};
        const double zn = std::sqrt(z[0] * z[0] + z[1] * z[1] + z[2] * z[2]);
        double dx, dy;
        if (zn <= kCoincident) {
            // Along each other: halfway between X and Y.
            coincident = cgx * cgy > 0 ? 1 : -1;
            dx = (cgx > 0 ? 0.5 : -0.5) * s;
            dy = (cgy > 0 ? -0.5 : 0.5) * s;
        } else {
            coincident = 0;
            for (double& c : z) c /= zn;
            // The arcs from X and Y to Z along their lines, for Z and for -Z.
            const double ax = std::atan2(z[1] * cgx - z[2] * sgx, z[0]);
            const double ay =
                std::atan2(-z[0] * ss * cgy + z[1] * cs * cgy - z[2] * sgy, z[0] * cs + z[1] * ss);
            const double bx = std::atan2(-(z[1] * cgx - z[2] * sgx), -z[0]);
            const double by = std::atan2(z[0] * ss * cgy - z[1] * cs * cgy + z[2] * sgy,
                                         -(z[0] * cs + z[1] * ss));
            const double da = std::fabs(x + R * ax - x0) + std::fabs(y + R * ay - y0);
            const double db = std::fabs(x + R * bx - x0) + std::fabs(y + R * by - y0);
            dx = da <= db ? ax : bx;
            dy = da <= db ? ay : by;
        }
        x += R * dx;
        y += R * dy;
        // Settled: a step below the tolerance, or a small one (below kWander) no smaller than
        // the last with the lines already within kGap of each other (rounding: where the lines
        // cross at a shallow angle, the steps wander by some units of 1e-16 / sin(angle) and
        // stop falling). A large step there is a jump to the other candidate, -Z, closer to
        // the start: the steps go on from it.
        const double d = std::fabs(dx) + std::fabs(dy);
        if (d <= kStepTolerance || (d >= last && d <= kWander && s <= kGap))
            return {x, y, coincident, true};
        if (coincident == 0 && abandon(x, y, R * d, R * last)) return {nan, nan, nan, false};
        last = d;
    }
    return {x, y, coincident, false};
}
inline Solution solve_from(const Geodesic& g, const Line& lx, const Line& ly, double R, double x0,
                           double y0) noexcept {
    return solve_from(g, lx, ly, R, x0, y0, NoAbandon{});
}

// The closest intersection to (x0, y0) in |x - x0| + |y - y0| (metres along each line).
//
// Two distinct intersections are at least pi b apart in |dx| + |dy|: where they are the same
// point, one line returns to it, a geodesic loop of at least twice the injectivity radius;
// where they differ, two distinct geodesic arcs join them, and one of the two is at least the
// injectivity radius long. On an oblate ellipsoid that radius is pi b, the first conjugate
// point along the equator, where the curvature 1/b^2 is largest (Klingenberg's lemma: pi over
// the root of the largest curvature, the shortest closed geodesic, a meridian, being longer
// than 2 pi b). An intersection within kSureFraction * pi b of the start (half) is therefore
// the closest one; on the Earth every pair whose crossing lies within 9,985 km (|x| + |y|)
// of the starts stops there, after the one solution from the start.
//
// Farther, other intersections may be closer: the triangle is solved on a sphere of radius a,
// and on a flattened ellipsoid the intersections along a line are spaced between pi b (near
// the equator) and pi a, so that from the start the steps can settle on another one than the
// closest (for lines from random points in random directions: one pair in five at f = 0.5,
// one in three at f = 0.9). Then the solution is repeated from further starts around the
// start, offsets along each line of the order of the spacing of the intersections (Karney,
// "Geodesic intersections", 2024, the search for the closest intersection), and the settled
// solution closest to the start is kept. Here the starts lie on a square grid of step
// h = min(2 pi b, pi a / 2), ring by ring outwards, up to the closest distance found plus h:
// every intersection closer than that has a grid start within h of it in |dx| + |dy|, from
// which the steps reach it (so measured: none missed on the tests' samples up to f = 0.9; a
// step of pi a, or of 2 pi b at f = 0.5, misses some). At most kMaxRings rings: 16 pi b, over
// 5 a up to f = 0.9 (beyond, at f = 0.99, the search reaches 0.5 a). The runs from the grid
// stop early once they are clearly farther than the closest or heading to an intersection
// already found, and up to f = 0.01 the neighbours of the closest in the sphere's lattice of
// intersections take the grid's place (see below). On the Earth a pair farther than 9,985 km
// costs about 1.5 times one without the search (one thread, 20,000 random pairs: 3.5 us per
// pair in all, from 32 us with the full grid), at f = 0.1 about 67 us (from 160), at f = 0.5
// about 90 (from 215), at f = 0.9 about 490 (from 690).
inline Intersection intersect_from(const Geodesic& g, double lat1, double lon1, double azi1,
                                   double lat2, double lon2, double azi2, double x0,
                                   double y0) noexcept {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const Intersection none{nan, nan, nan, nan, nan};
    if (!(std::fabs(lat1) <= kPi / 2 && std::fabs(lat2) <= kPi / 2) || !std::isfinite(lon1) ||
        !std::isfinite(lon2) || !std::isfinite(azi1) || !std::isfinite(azi2) ||
        !std::isfinite(x0) || !std::isfinite(y0))
        return none;
    const Line lx(g, lat1, lon1, azi1), ly(g, lat2, lon2, azi2);
    const double R = g.metres(g.a);
    Solution best = solve_from(g, lx, ly, R, x0, y0);
    // The start's run can fail on valid lines (a NaN from the geodesic between the points
    // reached): the search from the grid stands in for it, as for a run that did not settle.
    if (std::isnan(best.x)) best.coincident = 0;
    const auto distance = [&](const Solution& s) {
        return std::fabs(s.x - x0) + std::fabs(s.y - y0);
    };
    const double spacing = kPi * g.metres(g.b);
    const double sure = kSureFraction * spacing;
    if (best.coincident == 0 && !(best.settled && distance(best) <= sure)) {
        double closest = best.settled ? distance(best) : std::numeric_limits<double>::infinity();
        // The intersections settled on so far, to recognise a run heading to one of them.
        double known_x[kKnown], known_y[kKnown];
        int known = 0;
        const auto remember = [&](const Solution& s) {
            if (known < kKnown) known_x[known] = s.x, known_y[known++] = s.y;
        };
        if (best.settled) remember(best);
        // A run from a further start is given up early, instead of converging fully, once its
        // steps fall fast: a step d below kClear * spacing and at most a quarter of the one
        // before, where they shrink quadratically and all that follow move the solution by less
        // than d. It is then clearly farther than the closest (by more than 2 d), or heading to
        // an intersection already known (within 2 d of it: distinct intersections are at least
        // pi b apart, 10 times that). Only the runs that can still end closer converge fully.
        // After its first step (the solution on the sphere) a run is given up when it is
        // farther than the closest by more than that step: the steps that follow correct the
        // sphere's error, a fraction of the first (so measured: the same intersections on
        // 20,000 random pairs each at f = 0.1, 0.5, 0.9 and 100,000 each at 0.015 to 0.05).
        const auto abandon = [&](double x, double y, double d, double last) {
            if (!std::isfinite(last) && std::fabs(x - x0) + std::fabs(y - y0) - d > closest)
                return true;
            if (!(d <= kClear * spacing && 4 * d <= last && std::isfinite(last))) return false;
            if (std::fabs(x - x0) + std::fabs(y - y0) - 2 * d > closest) return true;
            for (int i = 0; i < known; ++i)
                if (std::fabs(x - known_x[i]) + std::fabs(y - known_y[i]) <= 2 * d) return true;
            return false;
        };
        const auto keep_closer = [&](double xs, double ys) {
            const Solution s = solve_from(g, lx, ly, R, xs, ys, abandon);
            if (!s.settled || s.coincident != 0) return false;
            remember(s);
            const bool closer = distance(s) < closest;
            if (closer) best = s, closest = distance(s);
            return closer;
        };
        // Near a sphere (f up to kNearSphere) the neighbours of the closest so far decide, in
        // place of the grid. On a sphere the intersections (x, y) form a lattice: Z and -Z
        // alternate every half period P along each line, (x + i Px, y + j Py) with i + j even,
        // and the steps from a start reach the lattice point closest to it in |dx| + |dy| (the
        // arcs to Z and -Z are taken within half a period, the closer of the two kept). So the
        // start's own run finds the closest one, and on a flattened ellipsoid, where the
        // lattice is that of the sphere to within some f (|x| + |y|), only a near tie can hide
        // a closer one: among the neighbours (+-Px, +-Py), (+-2 Px, 0) and (0, +-2 Py) of the
        // closest so far, the steps are run from those towards the start that are nearer it
        // than the closest plus kTie f (closest + Px + Py), again from a closer one found (so
        // measured: the same intersections as the full grid on 400,000 random pairs at f from
        // 0 to 0.01, at a tenth of the cost). P is the line's length for half a turn of its arc
        // on the auxiliary sphere, pi b A1.
        const bool near_sphere = g.f <= kNearSphere && best.settled;
        const double px = kPi * g.metres(lx.b_a1), py = kPi * g.metres(ly.b_a1);
        for (int round = 0; near_sphere && round < kChainSteps; ++round) {
            const double sx = best.x >= x0 ? -px : px, sy = best.y >= y0 ? -py : py;
            const double bx = best.x, by = best.y, margin = kTie * g.f * (closest + px + py);
            bool closer = false;
            for (const auto& e : {std::pair{1, 1}, std::pair{1, -1}, std::pair{-1, 1},
                                  std::pair{2, 0}, std::pair{0, 2}}) {
                const double xs = bx + e.first * sx, ys = by + e.second * sy;
                if (std::fabs(xs - x0) + std::fabs(ys - y0) < closest + margin &&
                    keep_closer(xs, ys)) {
                    closer = true;
                    break;
                }
            }
            if (!closer) break;
        }
        // Starts on a square grid of step h around the start, ring by ring in |i| + |j|, while
        // a start (k h from the start) can still reach an intersection closer than the closest:
        // every point within the closest has a grid start within h of it in |dx| + |dy|, and
        // a start farther than the closest plus h has none, so the search stops at the first
        // such start (the closest shrinks as it goes, also within a ring). Where h is at most
        // pi b, the points of the grid with i + j even suffice (the same covering distance h,
        // half the starts; so measured: none missed on 20,000 random pairs at f = 1/298, 0.1
        // and 0.5, where the full grid found the same; at f = 0.9, with h = 2 pi b, 14 missed).
        const double h = std::fmin(kGridStep * spacing, kPi / 2 * R);
        const int every = h <= spacing ? 2 : 1;
        for (int k = every; !near_sphere && k <= kMaxRings && k * h <= closest + h; k += every)
            for (int i = -k; i <= k && k * h <= closest + h; ++i) {
                const int j = k - (i < 0 ? -i : i);
                keep_closer(x0 + i * h, y0 + j * h);
                if (j != 0 && k * h <= closest + h) keep_closer(x0 + i * h, y0 - j * h);
            }
        // Intersections of nearly the same distance lie in chains across the quadrant (the
        // lattice step (dx, dy) with |dx| close to |dy|): from the closest so far, a start a
        // spacing along the chain each way, while that finds a closer one.
        for (int round = 0; !near_sphere && round < kChainSteps && best.settled; ++round) {
            const double cx = best.x >= x0 ? spacing : -spacing;
            const double cy = best.y >= y0 ? spacing : -spacing;
            const double bx = best.x, by = best.y;
            if (!keep_closer(bx + cx, by - cy) && !keep_closer(bx - cx, by + cy)) break;
        }
    }
    Intersection r{best.x, best.y, nan, nan, best.coincident};
    double azi;
    lx.position(g, best.x, r.lat, r.lon, azi);
    return r;
}

// The closest intersection to the lines' starts.
inline Intersection intersect(const Geodesic& g, double lat1, double lon1, double azi1, double lat2,
                              double lon2, double azi2) noexcept {
    return intersect_from(g, lat1, lon1, azi1, lat2, lon2, azi2, 0, 0);
}

// The intersection of the segments from point 1a to 1b and from 2a to 2b (the shortest
// geodesics) closest to their midpoints, x and y from 1a and 2a; `inside`: 1 where it lies
// within both segments (0 <= x <= s1, 0 <= y <= s2), else 0.
struct SegmentIntersection {
    Intersection at;
    double inside;
};
inline SegmentIntersection intersect_segments(const Geodesic& g, double lat1a, double lon1a,
                                              double lat1b, double lon1b, double lat2a,
                                              double lon2a, double lat2b, double lon2b) noexcept {
    const InverseResult s1 = inverse(g, lat1a, lon1a, lat1b, lon1b);
    const InverseResult s2 = inverse(g, lat2a, lon2a, lat2b, lon2b);
    const Intersection r =
        intersect_from(g, lat1a, lon1a, s1.azi1, lat2a, lon2a, s2.azi1, s1.s12 / 2, s2.s12 / 2);
    const bool inside = r.x >= 0 && r.x <= s1.s12 && r.y >= 0 && r.y <= s2.s12;
    return {r, std::isnan(r.x) ? std::numeric_limits<double>::quiet_NaN() : inside ? 1.0 : 0.0};
}

}  // namespace quorvane::geodesic

#endif  // QUORVANE_ELLIPSOID_GEODESIC_INTERSECT_H
