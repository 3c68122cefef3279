// The scalar kernels of Ellipsoid.
//
// Pure functions of doubles, 3-vectors and records: no interpreter objects, no
// allocation, no state. Each evaluates its formula in exactly the order and
// grouping written here; the module is compiled with -ffp-contract=off, so the
// results are reproducible bit for bit with the platform libm.
//
// Kernels that call other kernels are templates on a dispatch policy:
//
//   ViaTable  every nested call goes through self->kernels and is followed by
//             the pending-error probe; this is what the published table holds.
//   Direct    nested calls go straight to this module's own kernels and skip
//             the probe (they cannot fail); the methods use it when an object
//             carries the module's own table, so nested kernels inline and
//             share work without changing a bit of the result.
//
// Calls of the bound vector routines keep their probe under both policies.
#ifndef QUORVANE_MATHTOOLS_ELLIPSOID_KERNELS_H
#define QUORVANE_MATHTOOLS_ELLIPSOID_KERNELS_H

#include <cmath>
#include <limits>

#include "quorvane/mathtools/ellipsoid/ellipsoid.h"
#include "quorvane/mathtools/vectools/vectools.h"

namespace quorvane::ellipsoid {

// What the kernels need from outside the arithmetic, filled once at import.
struct KernelRuntime {
    // True when an interpreter error is pending; takes the interpreter lock for
    // the test only (re-entrantly when the calling thread holds it).
    bool (*error_pending)() noexcept = nullptr;
    // The same test for a thread known to hold the interpreter lock.
    bool (*error_pending_held)() noexcept = nullptr;
    // Appends a traceback entry with this function name; takes the lock.
    void (*add_traceback)(const char* function) noexcept = nullptr;
    quorvane_vec_scale_fn scale = nullptr;
    quorvane_vec_add_fn add = nullptr;
    quorvane_vec_sub_fn sub = nullptr;
    quorvane_vec_dot_fn dot = nullptr;
    quorvane_vec_norm_fn norm = nullptr;
};

inline KernelRuntime runtime;

// Traceback names of the kernels that can see a failing nested call.
namespace kernel_names {
#define QUORVANE_KERNEL_NAME(name) \
    inline constexpr char name[] = "quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid." #name
QUORVANE_KERNEL_NAME(surf_tangent_vector);
QUORVANE_KERNEL_NAME(c_enu);
QUORVANE_KERNEL_NAME(c_surf_pos_from_surf_coord);
QUORVANE_KERNEL_NAME(c_surf_coord_from_surf_pos);
QUORVANE_KERNEL_NAME(c_lla_from_pos);
QUORVANE_KERNEL_NAME(c_pos_from_lla);
QUORVANE_KERNEL_NAME(c_aer_coords);
#undef QUORVANE_KERNEL_NAME
}  // namespace kernel_names

namespace kernels {

using Self = QuorvaneEllipsoid;

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
inline double c_reduced_lat_from_geodetic_lat(Self self, double geodetic_lat) noexcept {
    return std::atan((1 - self->f) * std::tan(geodetic_lat));
}

// Geodetic latitude of a reduced latitude: atan(tan(beta) / (1 - f)).
inline double c_geodetic_lat_from_reduced_lat(Self self, double reduced_lat) noexcept {
    return std::atan(std::tan(reduced_lat) / (1 - self->f));
}

// Reduced latitude beta of the foot of the surface normal through r.
//
// Newton iteration on the foot-point equation divided by Re^2 - Rp^2,
//   sin(b) cos(b) - A sin(b) + B cos(b) = 0,  A = rho / aux2,  B = Rp z / (Re aux2),
// started at the geocentric latitude and stopped once a step is at most
// kNewtonTolerance. On a sphere (aux2 == 0) every point lies on its own normal:
// the answer is the start value itself.
inline double c_solve_reduced_lat_equation(Self self, const double* r) noexcept {
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
inline void surf_normal_vector(Self, SurfCoord point, double* u_normal) noexcept {
    const double cos_lat = std::cos(point.lat), sin_lat = std::sin(point.lat);
    const double cos_lon = std::cos(point.lon), sin_lon = std::sin(point.lon);
    u_normal[0] = cos_lat * cos_lon;
    u_normal[1] = cos_lat * sin_lon;
    u_normal[2] = sin_lat;
}

// East and north unit tangents at geodetic (lat, lon), built on the reduced
// latitude beta: the meridian tangent (-sin b cos lon, -sin b sin lon, (1 - f) cos b)
// has length aux = sqrt(1 - (2 - f) f cos^2 b), never zero for 0 <= f < 1.
template <class D>
void surf_tangent_vector(Self self, SurfCoord point, double* u_east, double* u_north) noexcept {
    const double f = self->f;
    const double beta = c_reduced_lat_from_geodetic_lat(self, point.lat);
    if (D::kernel_failed()) return D::fail(kernel_names::surf_tangent_vector);
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
template <class D>
void c_enu(Self self, SurfCoord point, ENU_Frame* enu) noexcept {
    D::surf_normal_vector(self, point, enu->u_up);
    if (D::kernel_failed()) return D::fail(kernel_names::c_enu);
    D::surf_tangent_vector(self, point, enu->u_east, enu->u_north);
    if (D::kernel_failed()) return D::fail(kernel_names::c_enu);
}

// -- Surface positions -------------------------------------------------------------

// Surface point of geodetic (lat, lon): the meridian ellipse (Re cos b, Rp sin b)
// at the reduced latitude b, turned to the longitude.
template <class D>
void c_surf_pos_from_surf_coord(Self self, SurfCoord point, double* r_surf) noexcept {
    const double Re = self->Re, f = self->f;
    const double beta = c_reduced_lat_from_geodetic_lat(self, point.lat);
    if (D::kernel_failed()) return D::fail(kernel_names::c_surf_pos_from_surf_coord);
    const double cos_lon = std::cos(point.lon), sin_lon = std::sin(point.lon);
    const double cos_beta = std::cos(beta), sin_beta = std::sin(beta);
    r_surf[0] = (Re * cos_beta) * cos_lon;
    r_surf[1] = (cos_beta * Re) * sin_lon;
    r_surf[2] = (sin_beta * Re) * (1 - f);
}

// Geodetic (lat, lon) of a surface point: the reduced latitude from z alone,
// the longitude from x and y alone. The point is not projected onto the surface.
template <class D>
void c_surf_coord_from_surf_pos(Self self, const double* r_surf, SurfCoord* point) noexcept {
    const double Re = self->Re, f = self->f;
    double q = (r_surf[2] / Re) / (1 - f);
    // At the poles z = Re (1 - f) comes back through two divisions as 1 plus a
    // unit or two in the last place; that is the pole, not a point beyond it.
    if (std::fabs(q) > 1 && std::fabs(q) <= 1 + kPoleSlack) q = std::copysign(1.0, q);
    const double beta = std::asin(q);
    point->lon = std::atan2(r_surf[1], r_surf[0]);
    const double lat = c_geodetic_lat_from_reduced_lat(self, beta);
    if (D::kernel_failed()) return D::fail(kernel_names::c_surf_coord_from_surf_pos);
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
template <class D>
void c_lla_from_pos(Self self, const double* r, LLA* lla) noexcept {
    const double Re = self->Re, f = self->f;
    const double x = r[0], y = r[1], z = r[2];
    lla->lon = (x == 0 && y == 0) ? 0.0 : std::atan2(y, x);
    const double beta = D::c_solve_reduced_lat_equation(self, r);
    if (D::kernel_failed()) return D::fail(kernel_names::c_lla_from_pos);
    const double r_equatorial_projection = std::sqrt(r[0] * r[0] + r[1] * r[1]);
    const double lat = c_geodetic_lat_from_reduced_lat(self, beta);
    if (D::kernel_failed()) return D::fail(kernel_names::c_lla_from_pos);
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
template <class D>
void c_pos_from_lla(Self self, LLA lla, double* r) noexcept {
    const SurfCoord coord{lla.lat, lla.lon};
    double r_surf[3], u_normal[3];
    D::c_surf_pos_from_surf_coord(self, coord, r_surf);
    if (D::kernel_failed()) return D::fail(kernel_names::c_pos_from_lla);
    D::surf_normal_vector(self, coord, u_normal);
    if (D::kernel_failed()) return D::fail(kernel_names::c_pos_from_lla);
    for (int k = 0; k < 3; ++k) r[k] = lla.alt * u_normal[k] + r_surf[k];
}

// -- Observation -------------------------------------------------------------------

// Point where the line r_ray + l u_ray meets x^2 + y^2 + z^2 / (1 - f)^2 = Re^2
// nearest to r_ray (smallest |l|, ahead or behind). A line that misses gives
// three NaN; a tangent line its point of contact.
inline void c_surf_pos_of_ray_first_intersection(Self self, const double* r_ray,
                                                 const double* u_ray, double* r_surf) noexcept {
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
template <class D>
void finish_aer(double* r_target_obs, const ENU_Frame* enu_obs, AER* aer) noexcept {
    double* east_axis = const_cast<double*>(enu_obs->u_east);
    double* north_axis = const_cast<double*>(enu_obs->u_north);
    double* up_axis = const_cast<double*>(enu_obs->u_up);
    const double east = runtime.dot(r_target_obs, east_axis);
    if (D::routine_failed()) return D::fail(kernel_names::c_aer_coords);
    const double north = runtime.dot(r_target_obs, north_axis);
    if (D::routine_failed()) return D::fail(kernel_names::c_aer_coords);
    const double up = runtime.dot(r_target_obs, up_axis);
    if (D::routine_failed()) return D::fail(kernel_names::c_aer_coords);
    const double range = runtime.norm(r_target_obs);
    if (D::routine_failed()) return D::fail(kernel_names::c_aer_coords);
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
template <class D>
void c_aer_coords(Self self, const double* r_target, LLA lla_obs, AER* aer) noexcept {
    double r_obs[3], r_target_obs[3];
    D::c_pos_from_lla(self, lla_obs, r_obs);
    if (D::kernel_failed()) return D::fail(kernel_names::c_aer_coords);
    runtime.sub(const_cast<double*>(r_target), r_obs, r_target_obs);
    if (D::routine_failed()) return D::fail(kernel_names::c_aer_coords);
    const SurfCoord coord_obs{lla_obs.lat, lla_obs.lon};
    ENU_Frame enu_obs;
    D::c_enu(self, coord_obs, &enu_obs);
    if (D::kernel_failed()) return D::fail(kernel_names::c_aer_coords);
    finish_aer<D>(r_target_obs, &enu_obs, aer);
}

}  // namespace kernels

// -- Dispatch policies -------------------------------------------------------------

struct ViaTable {
    static bool kernel_failed() noexcept { return runtime.error_pending(); }
    static bool routine_failed() noexcept { return runtime.error_pending(); }
    static void fail(const char* function) noexcept { runtime.add_traceback(function); }

    static void surf_normal_vector(QuorvaneEllipsoid s, SurfCoord p, double* u) noexcept {
        s->kernels->surf_normal_vector(s, p, u);
    }
    static void surf_tangent_vector(QuorvaneEllipsoid s, SurfCoord p, double* e,
                                    double* n) noexcept {
        s->kernels->surf_tangent_vector(s, p, e, n);
    }
    static void c_enu(QuorvaneEllipsoid s, SurfCoord p, ENU_Frame* enu) noexcept {
        s->kernels->c_enu(s, p, enu);
    }
    static void c_surf_pos_from_surf_coord(QuorvaneEllipsoid s, SurfCoord p, double* r) noexcept {
        s->kernels->c_surf_pos_from_surf_coord(s, p, r);
    }
    static double c_solve_reduced_lat_equation(QuorvaneEllipsoid s, const double* r) noexcept {
        return s->kernels->c_solve_reduced_lat_equation(s, r);
    }
    static void c_pos_from_lla(QuorvaneEllipsoid s, LLA lla, double* r) noexcept {
        s->kernels->c_pos_from_lla(s, lla, r);
    }
};

struct Direct {
    static constexpr bool kernel_failed() noexcept { return false; }
    // Only used by methods, which hold the interpreter lock.
    static bool routine_failed() noexcept { return runtime.error_pending_held(); }
    static void fail(const char* function) noexcept { runtime.add_traceback(function); }

    static void surf_normal_vector(QuorvaneEllipsoid s, SurfCoord p, double* u) noexcept {
        kernels::surf_normal_vector(s, p, u);
    }
    static void surf_tangent_vector(QuorvaneEllipsoid s, SurfCoord p, double* e,
                                    double* n) noexcept {
        kernels::surf_tangent_vector<Direct>(s, p, e, n);
    }
    static void c_enu(QuorvaneEllipsoid s, SurfCoord p, ENU_Frame* enu) noexcept {
        kernels::c_enu<Direct>(s, p, enu);
    }
    static void c_surf_pos_from_surf_coord(QuorvaneEllipsoid s, SurfCoord p, double* r) noexcept {
        kernels::c_surf_pos_from_surf_coord<Direct>(s, p, r);
    }
    static double c_solve_reduced_lat_equation(QuorvaneEllipsoid s, const double* r) noexcept {
        return kernels::c_solve_reduced_lat_equation(s, r);
    }
    static void c_pos_from_lla(QuorvaneEllipsoid s, LLA lla, double* r) noexcept {
        kernels::c_pos_from_lla<Direct>(s, lla, r);
    }
};

// The module's own table: every slot holds the ViaTable instantiation, so a
// kernel reached through the table dispatches its nested calls through the
// table of the object it is given.
inline constexpr QuorvaneEllipsoidKernels own_kernels = {
    kernels::c_reduced_lat_from_geodetic_lat,
    kernels::c_geodetic_lat_from_reduced_lat,
    kernels::surf_normal_vector,
    kernels::surf_tangent_vector<ViaTable>,
    kernels::c_enu<ViaTable>,
    kernels::c_surf_pos_from_surf_coord<ViaTable>,
    kernels::c_surf_coord_from_surf_pos<ViaTable>,
    kernels::c_solve_reduced_lat_equation,
    kernels::c_lla_from_pos<ViaTable>,
    kernels::c_pos_from_lla<ViaTable>,
    kernels::c_surf_pos_of_ray_first_intersection,
    kernels::c_aer_coords<ViaTable>,
};

}  // namespace quorvane::ellipsoid

#endif  // QUORVANE_MATHTOOLS_ELLIPSOID_KERNELS_H
