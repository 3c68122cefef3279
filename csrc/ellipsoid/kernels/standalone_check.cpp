// Compiled with every build, without the interpreter's headers on the include
// path: the formulas and the direct policy stand on their own, instantiated
// here on a plain record of the ellipsoid's parameters.
#include "ellipsoid/kernels/dispatch.h"

namespace quorvane::ellipsoid::kernels {
namespace {

struct Shape {
    double Re, f, Rp;
};

using Standalone = DirectInline<const Shape*>;

}  // namespace

// Every kernel, instantiated.
void standalone_check(const double* r, LLA* lla, SurfCoord* point, AER* aer, double* out) {
    const Shape wgs84{6378137.0, 1 / 298.257223563, 6378137.0 * (1 - 1 / 298.257223563)};
    c_lla_from_pos<Standalone>(&wgs84, r, lla);
    c_surf_coord_from_surf_pos<Standalone>(&wgs84, r, point);
    c_aer_coords<Standalone>(&wgs84, r, *lla, aer);
    c_surf_pos_of_ray_first_intersection<Standalone>(&wgs84, r, r, out);
    out[0] = c_reduced_lat_from_geodetic_lat<Standalone>(&wgs84, out[0]);
    ENU_Frame frame;
    observer_position_and_frame(&wgs84, *lla, out, &frame);
}

}  // namespace quorvane::ellipsoid::kernels
