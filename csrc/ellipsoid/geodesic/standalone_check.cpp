// The geodesic kernels build without the interpreter: one instance of each.
#include "ellipsoid/geodesic/kernels.h"

namespace quorvane::geodesic {

InverseResult standalone_inverse(double a, double f, double lat1, double lon1, double lat2,
                                 double lon2) noexcept {
    return inverse(Geodesic(a, f), lat1, lon1, lat2, lon2);
}

DirectResult standalone_direct(double a, double f, double lat1, double lon1, double azi1,
                               double s12) noexcept {
    return direct(Geodesic(a, f), lat1, lon1, azi1, s12);
}

}  // namespace quorvane::geodesic
