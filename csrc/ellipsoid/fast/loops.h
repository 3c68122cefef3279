// What the vectorised element loops of quorvane.mathtools.ellipsoid._fast
// share with the module: the ellipsoid's constants, the exact kernels a lane
// falls back to, and one table of loops per instruction-set level.
//
// Each level's loops are compiled in a file of their own with that level's
// instruction set (level_*.cpp): this header therefore declares plain data
// and function pointers only, no inline function that two levels could both
// emit (the linker would keep one of them, maybe for the wrong instruction set).
#ifndef QUORVANE_ELLIPSOID_FAST_LOOPS_H
#define QUORVANE_ELLIPSOID_FAST_LOOPS_H

#include <cstddef>

namespace quorvane::fast {

// The ellipsoid as the loops use it. Lengths in the unit of Re.
struct Shape {
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
    // r (3 doubles) to lat, lon, alt (3 doubles, maybe unaligned); and lat,
    // lon, alt to r (maybe unaligned).
    void (*exact_lla)(const void* self, const double* r, double* lla);
    void (*exact_pos)(const void* self, double lat, double lon, double alt, double* r);
    // r_target (3 doubles) seen from lat, lon, alt to azimuth, elevation,
    // range (maybe unaligned).
    void (*exact_aer)(const void* self, const double* r, double lat, double lon, double alt,
                      double* aer);
    // The same to east, north, up, as frames.enu_from_pos gives them.
    void (*exact_enu)(const void* self, const double* r, double lat, double lon, double alt,
                      double* enu);
};

// One input column: value i at data + i * step bytes (step 0: one value for
// every row). Any stride and alignment: values are read through memcpy.
struct Column {
    const char* data;
    std::ptrdiff_t step;
};

// Input rows of three values: value c of row i at data + i * row + c * col
// bytes. Any strides and alignment; row 0 repeats one row.
struct Rows {
    const char* data;
    std::ptrdiff_t row;
    std::ptrdiff_t col;
    // The rows are C-contiguous: (N, 3) doubles one after the other.
    bool packed() const noexcept {
        return row == 3 * std::ptrdiff_t(sizeof(double)) && col == std::ptrdiff_t(sizeof(double));
    }
};

struct Loops {
    const char* name;
    int width;  // points per instruction
    // Rows [begin, end) of r (N, 3) into lla (N, 3).
    void (*lla_from_pos)(const Shape&, Rows r, double* lla, std::ptrdiff_t begin,
                         std::ptrdiff_t end);
    // Rows [begin, end) of the columns lat, lon, alt into r (N, 3).
    void (*pos_from_lla)(const Shape&, Column lat, Column lon, Column alt, double* r,
                         std::ptrdiff_t begin, std::ptrdiff_t end);
    // Rows [begin, end) of the targets r (N, 3) seen from the observers' columns
    // into aer (N, 3).
    void (*aer_coords)(const Shape&, Rows r, Column lat, Column lon, Column alt, double* aer,
                       std::ptrdiff_t begin, std::ptrdiff_t end);
    // The same into east, north, up rows.
    void (*enu_from_pos)(const Shape&, Rows r, Column lat, Column lon, Column alt, double* enu,
                         std::ptrdiff_t begin, std::ptrdiff_t end);
    // The elementary functions, lane by lane, for measuring their error:
    // which = 0 sin, 1 cos, 2 atan2(x, y[i]) with y the second column.
    void (*elementary)(int which, const double* x, const double* y, double* out, std::ptrdiff_t n);
};

extern const Loops kScalarLoops;
#if defined(__x86_64__)
extern const Loops kSse2Loops;
extern const Loops kAvx2Loops;
#endif
#if defined(__aarch64__)
extern const Loops kNeonLoops;
#endif

}  // namespace quorvane::fast

#endif  // QUORVANE_ELLIPSOID_FAST_LOOPS_H
