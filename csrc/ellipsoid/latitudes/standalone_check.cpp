// Compiled with every build, without the interpreter's headers on the include
// path: the latitude kernels stand on their own.
#include "ellipsoid/kernels/latitudes.h"

namespace quorvane::ellipsoid::latitudes {

// Every kernel, instantiated.
double standalone_check(double x) {
    const Shape g(6378137.0, 1 / 298.257223563);
    const Conversion to_mu(g, Kind::geodetic, Kind::rectifying);
    const Conversion from_mu(g, Kind::rectifying, Kind::geodetic);
    const Radii r = radii(g, x);
    return to_mu(x) + isometric(g, x) + from_isometric(g, x) + meridian_distance(g, to_mu, x) +
           latitude_at_meridian_distance(g, from_mu, x) + r.geocentric;
}

}  // namespace quorvane::ellipsoid::latitudes
