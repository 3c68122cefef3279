// The geodesic edges of rings and paths in lanes, for the geometry loop of
// quorvane.mathtools.ellipsoid._geodesic (geodesic/geometries.cpp, with fast=True):
// what its level files (geodesic/edges_*.cpp) share with it. Plain data and
// function pointers only, as in level.h: each level compiles its own loops.
#ifndef QUORVANE_ELLIPSOID_FAST_EDGES_H
#define QUORVANE_ELLIPSOID_FAST_EDGES_H

#include <cstddef>

#include "ellipsoid/fast/level.h"

namespace quorvane::fast {

// Terms of the area polynomial at most (geodesic/series.h's kAreaTerms).
inline constexpr int kEdgeAreaTerms = 14;

// An ellipsoid's constants for the edges, on the ellipsoid scaled by a power of two
// as the geodesic module's kernels scale it (geodesic::Geodesic): lengths and areas
// come out in its units, and add up with the exact kernel's.
struct EdgeConstants {
    GeodesicConstants geo;  // the inverse problem's (a, b: the scaled ellipsoid's)
    double c2;              // the authalic radius squared
    double e2a2;            // e^2 a^2
    // The area integral I4 = 1/2 sum_{m < terms} q[m] k^(2m) P_m(cos sigma), and
    // 1/(2m + 1) for the recurrence of P_m (geodesic/series.h).
    double q[kEdgeAreaTerms], inverse_odd[kEdgeAreaTerms];
    int terms;
    // The exact kernels for an edge the lanes leave: (lat1, lat2, lon12) to (s12, S12),
    // S12 the area between the edge and the equator (geodesic::edge_area), NaN where
    // the edge has none.
    const void* exact;
    void (*exact_edge)(const void* exact, const double* in, double* out);
};

struct EdgeLoops {
    const char* name;  // the level, as _fast names it
    // The n edges k = 0 .. n - 1 from latitude lat[k] to lat[k + 1] (radians) across
    // the longitude difference lon12[k] (radians, in [-pi, pi]): their lengths s12[k]
    // and their areas to the equator S12[k].
    void (*edges)(const EdgeConstants&, const double* lat, const double* lon12, std::ptrdiff_t n,
                  double* s12, double* S12);
};

extern const EdgeLoops kScalarEdgeLoops;
#if defined(__x86_64__)
extern const EdgeLoops kSse2EdgeLoops;
extern const EdgeLoops kAvx2EdgeLoops;
extern const EdgeLoops kAvx512EdgeLoops;
#endif
#if defined(__aarch64__)
extern const EdgeLoops kNeonEdgeLoops;
#endif

}  // namespace quorvane::fast

#endif  // QUORVANE_ELLIPSOID_FAST_EDGES_H
