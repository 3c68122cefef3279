// Compiled with every build, without the interpreter's headers on the include
// path: the projection and grid kernels stand on their own.
#include "ellipsoid/kernels/utm_grid.h"

namespace quorvane::ellipsoid::utm {

// Every kernel, instantiated.
double standalone_check(double x) {
    const tm::Projection p(6378137.0, 1 / 298.257223563);
    char code[kMgrsWidth];
    const bool coded = to_mgrs(p, x, x, 5, true, code);
    return tm::tm_forward(p, 1, x, x).x + tm::tm_reverse(p, 1, x, x).lat +
           forward(p, x, x, -1, true).easting + reverse(p, 0, true, x, x, false).lat +
           from_mgrs(p, code, coded ? kMgrsWidth : 0).lat;
}

}  // namespace quorvane::ellipsoid::utm
