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
#ifndef QUORVANE_ELLIPSOID_KERNELS_FORMULAS_H
#define QUORVANE_ELLIPSOID_KERNELS_FORMULAS_H

#include <cmath>
#include <limits>

#include "quorvane/datamodel/structured.h"

namespace quorvane::ellipsoid::kernels {

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

// Stopping rule of the reduced-latitude solver: the last Newton step, radians.
inline constexpr double kNewtonTolerance = 1.567e-5;
// Newton steps before the solver gives up. Points on or above the surface of
// any ellipsoid with f <= 0.5 settle within a few steps; the bound only stops
// the iteration near the centre, where the equation has several roots and the
// steps may wander for ever. The solver then returns NaN.
inline constexpr int kMaxNewtonSteps = 1000;
// Near the polar axis the closed-form altitude divides by a vanishing
// cos(beta): one unit in the last place of beta moves it by about
// rho * 2.2e-16 / cos(beta)^2, and the solver's own tolerance by far more
// (hundreds of metres next to the axis, still 1e-4 m at 10 km from it on the
// Earth). Closer to the axis than this fraction of Re (10.6 km on the Earth)
// the altitude is taken by projecting onto the normal instead (see
// c_lla_from_pos); farther out the closed form is kept bit for bit.
inline constexpr double kAxisBand = 1.0 / 600.0;
// An arcsine argument at most this far beyond +-1 is rounding at the pole.
inline constexpr double kPoleSlack = 4 * std::numeric_limits<double>::epsilon();

// -- Latitude conversions (final: always called directly) ---------------------

// Reduced (parametric) latitude of a geodetic latitude: atan((1 - f) tan(phi)).
template <class K>
double c_reduced_lat_from_geodetic_lat(Self<K> self, double geodetic_lat) noexcept {
    return std::atan((1 - self->f) * std::tan(geodetic_lat));
}

// Geodetic latitude of a reduced latitude: atan(tan(beta) / (1 - f)).
template <class K>
double c_geodetic_lat_from_reduced_lat(Self<K> self, double reduced_lat) noexcept {
    return std::atan(std::tan(reduced_lat) / (1 - self->f));
}

// Reduced latitude beta of the foot of the surface normal through r.
//
// Newton iteration on the foot-point equation divided by Re^2 - Rp^2,
//   sin(b) cos(b) - A sin(b) + B cos(b) = 0,  A = rho / aux2,  B = Rp z / (Re aux2),
// started at the geocentric latitude and stopped once a step is at most
// kNewtonTolerance. On a sphere (aux2 == 0) every point lies on its own normal:
// the answer is the start value itself.
template <class K>
double c_solve_reduced_lat_equation(Self<K> self, const double* r) noexcept {
    const double Re = self->Re, f = self->f;
    const double x = r[0], y = r[1], z = r[2];
    const double aux1 = x * x + y * y;
    const double aux2 = (Re * f) * (2 - f);
    double beta = std::asin(z / std::sqrt(aux1 + z * z));
    if (aux2 == 0) return beta;
    const double A = std::sqrt(aux1) / aux2;
    const double B = ((1 - f) * z) / aux2;
    for (int step = 0; step < kMaxNewtonSteps; ++step) {
        const double sin_beta = std::sin(beta), cos_beta = std::cos(beta);
        const double numerator = (sin_beta * cos_beta - A * sin_beta) + B * cos_beta;
        const double denominator =
            ((cos_beta * cos_beta - sin_beta * sin_beta) - A * cos_beta) - B * sin_beta;
        const double inc = numerator / denominator;
        beta = beta - inc;
        if (!(std::fabs(inc) > kNewtonTolerance)) return beta;  // a NaN step ends it too
    }
    return std::numeric_limits<double>::quiet_NaN();
}

// -- Surface frame ---------------------------------------------------------------

// Outward unit normal at geodetic (lat, lon): [cos lat cos lon, cos lat sin lon, sin lat].
template <class K>
void surf_normal_vector(Self<K>, SurfCoord point, double* u_normal) noexcept {
    const double cos_lat = std::cos(point.lat), sin_lat = std::sin(point.lat);
    const double cos_lon = std::cos(point.lon), sin_lon = std::sin(point.lon);
    u_normal[0] = cos_lat * cos_lon;
    u_normal[1] = cos_lat * sin_lon;
    u_normal[2] = sin_lat;
}

// East and north unit tangents at geodetic (lat, lon), built on the reduced
// latitude beta: the meridian tangent (-sin b cos lon, -sin b sin lon, (1 - f) cos b)
// has length aux = sqrt(1 - (2 - f) f cos^2 b), never zero for 0 <= f < 1.
template <class K>
void surf_tangent_vector(Self<K> self, SurfCoord point, double* u_east, double* u_north) noexcept {
    const double f = self->f;
    const double beta = c_reduced_lat_from_geodetic_lat<K>(self, point.lat);
    if (K::kernel_failed()) return fail<K, Slot::surf_tangent_vector>();
    const double cos_lon = std::cos(point.lon), sin_lon = std::sin(point.lon);
    const double cos_beta = std::cos(beta), sin_beta = std::sin(beta);
    const double aux = std::sqrt(1 - (2 - f) * f * cos_beta * cos_beta);
    u_east[0] = -sin_lon;
    u_east[1] = cos_lon;
    u_east[2] = 0;
    u_north[0] = (-sin_beta) * cos_lon / aux;
    u_north[1] = (-sin_beta) * sin_lon / aux;
    u_north[2] = (1 - f) * cos_beta / aux;
}

// The East-North-Up frame at a surface point: up first, then east and north.
template <class K>
void c_enu(Self<K> self, SurfCoord point, ENU_Frame* enu) noexcept {
    call<K, Slot::surf_normal_vector>(self, point, enu->u_up);
    if (K::kernel_failed()) return fail<K, Slot::c_enu>();
    call<K, Slot::surf_tangent_vector>(self, point, enu->u_east, enu->u_north);
    if (K::kernel_failed()) return fail<K, Slot::c_enu>();
}

// -- Surface positions -------------------------------------------------------------

// Surface point of geodetic (lat, lon): the meridian ellipse (Re cos b, Rp sin b)
// at the reduced latitude b, turned to the longitude.
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

// Geodetic (lat, lon) of a surface point: the reduced latitude from z alone,
// the longitude from x and y alone. The point is not projected onto the surface.
template <class K>
void c_surf_coord_from_surf_pos(Self<K> self, const double* r_surf, SurfCoord* point) noexcept {
    const double Re = self->Re, f = self->f;
    double q = (r_surf[2] / Re) / (1 - f);
    // At the poles z = Re (1 - f) comes back through two divisions as 1 plus a
    // unit or two in the last place; that is the pole, not a point beyond it.
    if (std::fabs(q) > 1 && std::fabs(q) <= 1 + kPoleSlack) q = std::copysign(1.0, q);
    const double beta = std::asin(q);
    point->lon = std::atan2(r_surf[1], r_surf[0]);
    const double lat = c_geodetic_lat_from_reduced_lat<K>(self, beta);
    if (K::kernel_failed()) return fail<K, Slot::c_surf_coord_from_surf_pos>();
    point->lat = lat;
}

// -- Geodetic positions -----------------------------------------------------------

// Geodetic latitude, longitude and altitude of an ECEF position.
//
// The altitude is the distance from the foot point (Re cos b, Rp sin b) along
// the normal. Away from the axis it is evaluated in closed form,
//   alt = sqrt(1 - (2 - f) f cos^2 b) (rho / cos b - Re) / (1 - f),
// which divides by cos b. Next to the axis that division amplifies any error
// of b into metres, so there the same distance is taken as the projection of
// r minus the foot point onto the unit normal ((1 - f) cos b, sin b) / aux,
// which is stationary in b: an error in the foot point changes it only to
// second order. Within 1e-5 m of the axis the altitude is the distance from
// the pole along the axis.
template <class K>
void c_lla_from_pos(Self<K> self, const double* r, LLA* lla) noexcept {
    const double Re = self->Re, f = self->f;
    const double x = r[0], y = r[1], z = r[2];
    lla->lon = (x == 0 && y == 0) ? 0.0 : std::atan2(y, x);
    const double beta = call<K, Slot::c_solve_reduced_lat_equation>(self, r);
    if (K::kernel_failed()) return fail<K, Slot::c_lla_from_pos>();
    const double r_equatorial_projection = std::sqrt(r[0] * r[0] + r[1] * r[1]);
    const double lat = c_geodetic_lat_from_reduced_lat<K>(self, beta);
    if (K::kernel_failed()) return fail<K, Slot::c_lla_from_pos>();
    lla->lat = lat;
    if (r_equatorial_projection < 1e-5) {
        lla->alt = std::fabs(z) - (1 - f) * Re;
        return;
    }
    const double cos_beta = std::cos(beta);
    const double aux = std::sqrt(1 - (2 - f) * f * cos_beta * cos_beta);
    if (r_equatorial_projection < kAxisBand * Re) {
        const double sin_beta = std::sin(beta);
        const double along_rho = (r_equatorial_projection - Re * cos_beta) * ((1 - f) * cos_beta);
        const double along_z = (z - ((1 - f) * Re) * sin_beta) * sin_beta;
        lla->alt = (along_rho + along_z) / aux;
        return;
    }
    lla->alt = aux * (r_equatorial_projection / cos_beta - Re) / (1 - f);
}

// ECEF position of geodetic (lat, lon, alt): the surface point plus alt times
// the unit normal, a product and a separately rounded sum per component.
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

// Point where the line r_ray + l u_ray meets x^2 + y^2 + z^2 / (1 - f)^2 = Re^2
// nearest to r_ray (smallest |l|, ahead or behind). A line that misses gives
// three NaN; a tangent line its point of contact.
template <class K>
void c_surf_pos_of_ray_first_intersection(Self<K> self, const double* r_ray, const double* u_ray,
                                          double* r_surf) noexcept {
    const double Re = self->Re, f = self->f;
    const double rx = r_ray[0], ry = r_ray[1], rz = r_ray[2];
    const double ux = u_ray[0], uy = u_ray[1], uz = u_ray[2];
    const double diagGz = (1.0 / (1 - f)) / (1 - f);
    const double a = (ux * ux + uy * uy) + (uz * uz) * diagGz;
    const double b = 2 * ((ux * rx + uy * ry) + (uz * rz) * diagGz);
    const double c = ((rx * rx + ry * ry) + (rz * rz) * diagGz) - Re * Re;
    const double delta = b * b - c * (4.0 * a);
    double l;
    if (delta < 0) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        r_surf[0] = r_surf[1] = r_surf[2] = nan;
        return;
    } else if (delta == 0) {
        l = (-b) * 0.5 / a;
    } else {  // delta > 0, or NaN
        const double sqrt_delta = std::sqrt(delta);
        const double l1 = (sqrt_delta - b) * 0.5 / a;
        const double l2 = (-b - sqrt_delta) * 0.5 / a;
        l = std::fabs(l1) < std::fabs(l2) ? l1 : l2;
    }
    for (int i = 0; i < 3; ++i) r_surf[i] = r_ray[i] + l * u_ray[i];
}

// Steps shared by every target of one observer: the east, north and up
// components of the observer-to-target vector, its length, and the angles.
// Elevation: asin of up / range clamped to [-1, 1], so a target straight above
// or below never falls off the arcsine through rounding (NaN stays NaN).
template <class K>
void finish_aer(double* r_target_obs, const ENU_Frame* enu_obs, AER* aer) noexcept {
    double* east_axis = const_cast<double*>(enu_obs->u_east);
    double* north_axis = const_cast<double*>(enu_obs->u_north);
    double* up_axis = const_cast<double*>(enu_obs->u_up);
    const double east = K::routines().dot(r_target_obs, east_axis);
    if (K::routine_failed()) return fail<K, Slot::c_aer_coords>();
    const double north = K::routines().dot(r_target_obs, north_axis);
    if (K::routine_failed()) return fail<K, Slot::c_aer_coords>();
    const double up = K::routines().dot(r_target_obs, up_axis);
    if (K::routine_failed()) return fail<K, Slot::c_aer_coords>();
    const double range = K::routines().norm(r_target_obs);
    if (K::routine_failed()) return fail<K, Slot::c_aer_coords>();
    double sin_elevation = up / range;
    if (sin_elevation > 1) {
        sin_elevation = 1;
    } else if (sin_elevation < -1) {
        sin_elevation = -1;
    }
    aer->range = range;
    aer->azimuth = std::atan2(east, north);
    aer->elevation = std::asin(sin_elevation);
}

// Azimuth (from north towards east), elevation and range of r_target seen from
// the observer at lla_obs, in the observer's East-North-Up frame.
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
