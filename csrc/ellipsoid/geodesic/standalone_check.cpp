// The geodesic kernels build without the interpreter: one instance of each.
#include "ellipsoid/geodesic/full.h"
#include "ellipsoid/geodesic/intersect.h"
#include "ellipsoid/geodesic/kernels.h"
#include "ellipsoid/kernels/rhumb.h"

namespace quorvane::geodesic {

InverseResult standalone_inverse(double a, double f, double lat1, double lon1, double lat2,
                                 double lon2) noexcept {
    return inverse(Geodesic(a, f), lat1, lon1, lat2, lon2);
}

DirectResult standalone_direct(double a, double f, double lat1, double lon1, double azi1,
                               double s12) noexcept {
    return direct(Geodesic(a, f), lat1, lon1, azi1, s12);
}

InverseFull standalone_inverse_full(double a, double f, double lat1, double lon1, double lat2,
                                    double lon2) noexcept {
    const Geodesic g(a, f);
    return inverse_full(g, EdgeAreaRule(g), lat1, lon1, lat2, lon2);
}

Intersection standalone_intersect(double a, double f, const double* v) noexcept {
    return intersect(Geodesic(a, f), v[0], v[1], v[2], v[3], v[4], v[5]);
}

// The rhumb lines and the area of one ring, as other compiled code calls them.
ellipsoid::rhumb::InverseResult standalone_rhumb(double a, double f, const double* lat,
                                                 const double* lon, long n, double* area,
                                                 double* perimeter) noexcept {
    const ellipsoid::rhumb::Rhumb r(a, f);
    ellipsoid::rhumb::ring_area(r, lat, lon, n, 1, true, *area, *perimeter);
    return ellipsoid::rhumb::inverse(r, lat[0], lon[0], lat[1], lon[1]);
}

}  // namespace quorvane::geodesic
