// The conversions between auxiliary latitudes W at a time, for
// quorvane.mathtools.ellipsoid._fast: where the flattening is one the series
// serve (f <= 1/25, kernels/latitudes.h), every conversion is
//
//   eta = zeta + sum_{k=1..K} C[k] sin(2 k zeta)
//
// (Karney, "On auxiliary latitudes", Survey Review 2023: the Fourier series in
// the third flattening n, to order n^12, whose coefficients the exact kernel
// evaluates for the ellipsoid and hands over here), summed by Clenshaw's
// recurrence on the lanes' own sine and cosine (elementary.h): the exact
// kernel's formula, with sin and cos of below 0.8 ulp instead of the
// platform's. The poles, NaN and latitudes beyond them, and every latitude of
// a larger flattening (the exact forms and their Newton iterations) are the
// exact kernel's, point by point.
//
// Measured error against a 50-digit truth: bench/results/latitudes-accuracy.md
// (python -m bench.latitudes_accuracy); the same bits at every level.
//
// The plain data and the table of loops are declared for module.cpp; the
// loops themselves are in an anonymous namespace, one copy per level's file
// (level_*.cpp), as loops.h's are.
#ifndef QUORVANE_ELLIPSOID_FAST_LATITUDES_H
#define QUORVANE_ELLIPSOID_FAST_LATITUDES_H

#include <cstddef>

#include "common/strided.h"
#include "ellipsoid/fast/elementary.h"
#include "ellipsoid/fast/lanes.h"

namespace quorvane::fast {

// One conversion between kinds of latitude on one ellipsoid.
struct LatitudeSeries {
    const double* c;  // C[1..K] of the series, c[k - 1] = C[k]
    int terms;        // K (0: a kind to itself)
    bool series;      // the series serve this flattening (else every value is the exact one)
    const void* exact;
    double (*exact_value)(const void* exact, double x);  // the exact kernel of one latitude
};

struct LatitudeLoops {
    const char* name;  // the level's, as Loops::name
    // Latitudes [begin, end) of x into y.
    void (*convert)(const LatitudeSeries&, common::Column x, common::OutColumn y,
                    std::ptrdiff_t begin, std::ptrdiff_t end);
};

extern const LatitudeLoops kScalarLatitudeLoops;
#if defined(__x86_64__)
extern const LatitudeLoops kSse2LatitudeLoops;
extern const LatitudeLoops kAvx2LatitudeLoops;
#endif
#if defined(__aarch64__)
extern const LatitudeLoops kNeonLatitudeLoops;
#endif

namespace {

inline constexpr double kHalfPiLatitude = 0x1.921fb54442d18p+0;  // the pole, as a double

// The series of s at the latitudes x of the lanes whose |x| < pi/2 (the mask
// returned); the other lanes of y are undefined. Odd in x: the sum is taken at
// |x| and given x's sign (it is >= 0 there), so -0 gives -0.
template <int W>
I<W> latitude_series_lanes(const LatitudeSeries& s, V<W> x, V<W>& y) noexcept {
    const V<W> z0 = abs<W>(x);
    const I<W> inside = z0 < kHalfPiLatitude;  // false for NaN
    const V<W> z = pick<W>(inside, z0, splat<W>(0.0));
    V<W> sn, cs;
    sincos<W>(z, sn, cs);
    const V<W> s2 = 2.0 * sn * cs, twice_cos2 = 2.0 * (cs - sn) * (cs + sn);  // sin 2z, 2 cos 2z
    V<W> b1 = splat<W>(0.0), b2 = b1;
    for (int k = s.terms - 1; k >= 0; --k) {
        const V<W> b0 = twice_cos2 * b1 - b2 + s.c[k];
        b2 = b1;
        b1 = b0;
    }
    y = with_sign_of<W>(z + b1 * s2, x);
    return inside;
}

template <int W>
void latitude_convert_loop(const LatitudeSeries& s, common::Column x, common::OutColumn y,
                           std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
    if (!s.series) {
        for (std::ptrdiff_t i = begin; i < end; ++i) y.put(i, s.exact_value(s.exact, x[i]));
        return;
    }
    const auto block = [&](std::ptrdiff_t i, int m) noexcept {
        V<W> u = splat<W>(0.0), v;
        for (int k = 0; k < m; ++k) u[k] = x[i + k];
        const I<W> fast = latitude_series_lanes<W>(s, u, v);
        for (int k = 0; k < m; ++k) y.put(i + k, fast[k] ? v[k] : s.exact_value(s.exact, u[k]));
    };
    std::ptrdiff_t i = begin;
    for (; i + W <= end; i += W) block(i, W);
    if (i < end) block(i, int(end - i));
}

template <int W>
constexpr LatitudeLoops make_latitude_loops(const char* name) noexcept {
    return LatitudeLoops{name, &latitude_convert_loop<W>};
}

}  // namespace
}  // namespace quorvane::fast

#endif  // QUORVANE_ELLIPSOID_FAST_LATITUDES_H
