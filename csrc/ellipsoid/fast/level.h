// What the vectorised element loops of quorvane.mathtools.ellipsoid._fast
// share with the module: the ellipsoid's constants, the exact kernels a lane
// falls back to, and one table of loops per instruction-set level.
//
// Each level's loops are compiled in a file of their own with that level's
// instruction set (level_*.cpp): this header therefore declares plain data
// and function pointers only, no function that two levels could both emit
// (the linker would keep one of them, maybe for the wrong instruction set);
// common/strided.h's accessors are forced inline for the same reason.
#ifndef QUORVANE_ELLIPSOID_FAST_LEVEL_H
#define QUORVANE_ELLIPSOID_FAST_LEVEL_H

#include <cstddef>

#include "common/strided.h"

namespace quorvane::fast {

// The ellipsoid's constants as the loops use them. Lengths in the unit of Re.
struct EllipsoidConstants {
    double a;     // equatorial radius Re
    double f;     // flattening
    double b;     // polar radius Rp, as the object holds it
    double b_hi;  // (1 - f) Re as a double-double: b_hi + b_lo
    double b_lo;
    double om_hi;  // 1 - f as a double-double: om_hi + om_lo
    double om_lo;
    double ae2;        // Re e^2 = Re f (2 - f)
    double om2;        // (1 - f)^2
    bool fast_foot;    // the flattening and Re are ones the foot-point iteration serves
    bool fast_pos;     // Re is one the prime-vertical radius serves
    const void* self;  // the Ellipsoid object, for the exact kernels
    // The methods' kernels, for the lanes outside the fast formulas' domain:
    // r to lat, lon, alt; and lat, lon, alt to r (three doubles each).
    void (*exact_lla)(const void* self, const double* r, double* lla);
    void (*exact_pos)(const void* self, double lat, double lon, double alt, double* r);
    // r_target seen from lat, lon, alt to azimuth, elevation, range.
    void (*exact_aer)(const void* self, const double* r, double lat, double lon, double alt,
                      double* aer);
    // The same to east, north, up, as frames.enu_from_pos gives them.
    void (*exact_enu)(const void* self, const double* r, double lat, double lon, double alt,
                      double* enu);
};

// The geodesic problems' constants as their lanes use them (geodesic.h), on
// the ellipsoid as given (lengths in the unit of Re), and the exact kernels a
// lane outside the series' domain is handed to.
struct GeodesicConstants {
    double a, f, f1, b, e2, ep2;
    double a3[6];       // A3 = sum a3[j] eps^j (Karney 2013, eq. 24)
    double c3[6][6];    // C3[l] = sum_j c3[l][j] eps^j, j = l .. 5 (eq. 25)
    bool series;        // the flattening and scale the lanes serve
    bool refine;        // the direct problem refines sigma2 by a Newton step (f > 1/100)
    const void* exact;  // the exact kernels' constants (geodesic::Geodesic)
    // (lat1, lon1, lat2, lon2) to (s12, azi1, azi2); (lat1, lon1, azi1, s12) to
    // (lat2, lon2, azi2): the geodesic module's kernels, in radians and metres.
    void (*exact_inverse)(const void* g, const double* in, double* out);
    void (*exact_direct)(const void* g, const double* in, double* out);
};

// The elementary functions of the lanes, as _fast.elementary numbers them.
enum class Elementary : int { sin = 0, cos = 1, atan2 = 2 };

// Inputs and outputs of any strides and alignment (common/strided.h).
using common::Column;
using common::OutColumn;
using common::OutRows;
using common::Rows;

struct Loops {
    const char* name;
    int width;  // points per instruction
    // Rows [begin, end) of r (N, 3) into lla (N, 3).
    void (*lla_from_pos)(const EllipsoidConstants&, Rows r, OutRows lla, std::ptrdiff_t begin,
                         std::ptrdiff_t end);
    // Rows [begin, end) of the columns lat, lon, alt into r (N, 3).
    void (*pos_from_lla)(const EllipsoidConstants&, Column lat, Column lon, Column alt, OutRows r,
                         std::ptrdiff_t begin, std::ptrdiff_t end);
    // Rows [begin, end) of the targets r (N, 3) seen from the observers' columns
    // into aer (N, 3).
    void (*aer_coords)(const EllipsoidConstants&, Rows r, Column lat, Column lon, Column alt,
                       OutRows aer, std::ptrdiff_t begin, std::ptrdiff_t end);
    // The same into east, north, up rows.
    void (*enu_from_pos)(const EllipsoidConstants&, Rows r, Column lat, Column lon, Column alt,
                         OutRows enu, std::ptrdiff_t begin, std::ptrdiff_t end);
    // An elementary function lane by lane, for measuring its error: sin x,
    // cos x, or atan2(x, y) with y the second column.
    void (*elementary)(Elementary which, Column x, Column y, OutColumn out, std::ptrdiff_t n);
    // Rows [begin, end) of the geodesic problems' four columns into their rows
    // (s12, azi1, azi2 or lat2, lon2, azi2).
    void (*geodesic_inverse)(const GeodesicConstants&, const Column (&in)[4], OutRows out,
                             std::ptrdiff_t begin, std::ptrdiff_t end);
    void (*geodesic_direct)(const GeodesicConstants&, const Column (&in)[4], OutRows out,
                            std::ptrdiff_t begin, std::ptrdiff_t end);
};

extern const Loops kScalarLoops;
#if defined(__x86_64__)
extern const Loops kSse2Loops;
extern const Loops kAvx2Loops;
extern const Loops kAvx512Loops;
#endif
#if defined(__aarch64__)
extern const Loops kNeonLoops;
#endif

}  // namespace quorvane::fast

#endif  // QUORVANE_ELLIPSOID_FAST_LEVEL_H
