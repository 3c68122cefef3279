// The three-vector routines themselves: the vector module exports these, and
// the ellipsoid module calls the same code inline when the routines it bound
// are the package's own.
#ifndef QUORVANE_VECTOOLS_ROUTINES_H
#define QUORVANE_VECTOOLS_ROUTINES_H

#include <cmath>

namespace quorvane::vectools {

// The context of every capsule the vector module exports: it tells an
// importer that the routine is this code.
inline constexpr char kPackageContext[] = "quorvane.mathtools.vectools.vectools";

// out = factor * v
inline void scale(double const factor, double* v, double* out) {
    out[0] = factor * v[0];
    out[1] = factor * v[1];
    out[2] = factor * v[2];
}

// out = u + v
inline void add(double* u, double* v, double* out) {
    out[0] = u[0] + v[0];
    out[1] = u[1] + v[1];
    out[2] = u[2] + v[2];
}

// out = u - v
inline void sub(double* u, double* v, double* out) {
    out[0] = u[0] - v[0];
    out[1] = u[1] - v[1];
    out[2] = u[2] - v[2];
}

// u . v, summed from the first component to the last
inline double dot(double* u, double* v) {
    return u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
}

// |u| = sqrt(u . u)
inline double norm(double* u) {
    return std::sqrt(dot(u, u));
}

}  // namespace quorvane::vectools

#endif  // QUORVANE_VECTOOLS_ROUTINES_H
