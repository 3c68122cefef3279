// Compiled with every build, without the interpreter's headers on the include
// path: the formulas stand on their own, instantiated here with a policy that
// calls them directly and with plain C++ vector routines.
#include <cmath>

#include "ellipsoid/kernels/formulas.h"

namespace quorvane::ellipsoid::kernels {
namespace {

struct Shape {
    double Re, f, Rp;
};

double dot(double* a, double* b) {
    return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2];
}
double norm(double* a) {
    return std::sqrt(dot(a, a));
}
void sub(double* a, double* b, double* out) {
    for (int k = 0; k < 3; ++k) out[k] = a[k] - b[k];
}

struct Routines {
    double (*dot)(double*, double*);
    double (*norm)(double*);
    void (*sub)(double*, double*, double*);
};
constexpr Routines routines{dot, norm, sub};

struct Standalone {
    using Self = const Shape*;
    template <Slot S, class... Args>
    static auto call(Self self, Args... args) noexcept {
        if constexpr (S == Slot::surf_normal_vector) {
            return surf_normal_vector<Standalone>(self, args...);
        } else if constexpr (S == Slot::surf_tangent_vector) {
            return surf_tangent_vector<Standalone>(self, args...);
        } else if constexpr (S == Slot::c_enu) {
            return c_enu<Standalone>(self, args...);
        } else if constexpr (S == Slot::c_surf_pos_from_surf_coord) {
            return c_surf_pos_from_surf_coord<Standalone>(self, args...);
        } else if constexpr (S == Slot::c_solve_reduced_lat_equation) {
            return c_solve_reduced_lat_equation<Standalone>(self, args...);
        } else {
            static_assert(S == Slot::c_pos_from_lla, "a kernel no formula calls");
            return c_pos_from_lla<Standalone>(self, args...);
        }
    }
    static constexpr bool kernel_failed() noexcept { return false; }
    static constexpr bool routine_failed() noexcept { return false; }
    template <Slot S>
    static void fail() noexcept {}
    static const Routines& routines() noexcept { return kernels::routines; }
};

}  // namespace

// Every kernel, instantiated.
void standalone_check(const double* r, LLA* lla, SurfCoord* point, AER* aer, double* out) {
    const Shape wgs84{6378137.0, 1 / 298.257223563, 6378137.0 * (1 - 1 / 298.257223563)};
    c_lla_from_pos<Standalone>(&wgs84, r, lla);
    c_surf_coord_from_surf_pos<Standalone>(&wgs84, r, point);
    c_aer_coords<Standalone>(&wgs84, r, *lla, aer);
    c_surf_pos_of_ray_first_intersection<Standalone>(&wgs84, r, r, out);
    out[0] = c_reduced_lat_from_geodetic_lat<Standalone>(&wgs84, out[0]);
}

}  // namespace quorvane::ellipsoid::kernels
