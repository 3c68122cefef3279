// The standard UTM zones of W points at a time, for the UTM grid's loops of
// quorvane.mathtools.ellipsoid._fast (module.cpp): the placement of the exact grid
// (kernels/utm_grid.h: placement, standard_zone) without its branches, the zone number
// computed and its exceptions (Norway's 32V, Svalbard's 31X-37X) chosen by masks, so that a
// block's points cost the same wherever they fall. Every lane takes the exact grid's
// operations in its order (the quotient (l + 180)/6, its floor, the products by the
// conversion factors): the same zones and the same bits of phi and lambda.
//
// A lane whose point the exact placement must decide is marked zone 0: UPS (beyond 84 N and
// 80 S), NaN and infinite values, longitudes outside (-180, 180) degrees ([-pi, pi] radians,
// whose exact reductions are the exact kernel's), and a difference from the central meridian
// that would need one.
#ifndef QUORVANE_ELLIPSOID_FAST_UTM_ZONES_H
#define QUORVANE_ELLIPSOID_FAST_UTM_ZONES_H

#include <cstddef>

#include "ellipsoid/fast/elementary.h"
#include "ellipsoid/fast/lanes.h"

namespace quorvane::fast {
namespace {

// pi as a double, and utm_grid.h's kRadians and kDegrees: pi/180 and 180/pi, each rounded once.
inline constexpr double kUtmPi = 0x1.921fb54442d18p+1;
inline constexpr double kUtmRadians = kUtmPi / 180, kUtmDegrees = 180 / kUtmPi;

// The standard zone (1-60, as a double) of latitude lat in [-80, 84) degrees and longitude l in
// (-180, 180) degrees: floor((l + 180)/6) + 1, at most 60, then the exceptions.
template <int W>
inline V<W> utm_zone(V<W> lat, V<W> l) noexcept {
    const V<W> q = (l + 180.0) / 6.0;                // in [0, 60]
    const V<W> r = (q + kRoundShift) - kRoundShift;  // the nearest integer: floor is r or r - 1
    V<W> zone = pick<W>(r > q, r - 1.0, r) + 1.0;
    zone = pick<W>(zone > 60.0, splat<W>(60.0), zone);
    const I<W> norway = (lat >= 56.0) & (lat < 64.0) & (l >= 3.0) & (l < 12.0);
    zone = pick<W>(norway, splat<W>(32.0), zone);
    const I<W> svalbard = (lat >= 72.0) & (l >= 0.0) & (l < 42.0);
    const V<W> island = pick<W>(
        l < 9.0, splat<W>(31.0),
        pick<W>(l < 21.0, splat<W>(33.0), pick<W>(l < 33.0, splat<W>(35.0), splat<W>(37.0))));
    return pick<W>(svalbard, island, zone);
}

// Of n points lat, lon (contiguous; degrees, or radians where not `degrees`): zone[j] (1-60)
// with phi[j] and lam[j] (radians; the longitude from the zone's central meridian) where the
// lanes place point j, else zone[j] = 0. The hemisphere is lat >= 0.
template <int W>
void utm_placements(const double* lat, const double* lon, bool degrees, double* zone, double* phi,
                    double* lam, std::ptrdiff_t n) noexcept {
    const auto block = [&](std::ptrdiff_t i, int m) noexcept {
        V<W> a = splat<W>(0.0), b = a;
        for (int k = 0; k < m; ++k) a[k] = lat[i + k], b[k] = lon[i + k];
        V<W> lat_deg = a, l = b, p = a;
        if (!degrees) {
            // utm_grid.h's clamp of the latitude in degrees (no NaN left where it counts: the
            // band below refuses them).
            lat_deg = a * kUtmDegrees;
            lat_deg = pick<W>(lat_deg < -90.0, splat<W>(-90.0), lat_deg);
            lat_deg = pick<W>(lat_deg > 90.0, splat<W>(90.0), lat_deg);
            l = b * kUtmDegrees;
        } else {
            p = a * kUtmRadians;
        }
        I<W> placed = (lat_deg >= -80.0) & (lat_deg < 84.0) & (abs<W>(l) < 180.0);
        if (!degrees) placed &= abs<W>(b) <= kUtmPi;
        const V<W> z = utm_zone<W>(lat_deg, pick<W>(placed, l, splat<W>(0.0)));
        const V<W> lon0 = 6.0 * z - 183.0;
        V<W> d;
        if (degrees) {
            const V<W> diff = b - lon0;
            placed &= abs<W>(diff) < 180.0;
            d = diff * kUtmRadians;
        } else {
            d = b - lon0 * kUtmRadians;
            placed &= abs<W>(d) <= kUtmPi;
        }
        const V<W> zero = splat<W>(0.0);
        const V<W> zones = pick<W>(placed, z, zero);
        for (int k = 0; k < m; ++k) zone[i + k] = zones[k], phi[i + k] = p[k], lam[i + k] = d[k];
    };
    std::ptrdiff_t i = 0;
    for (; i + W <= n; i += W) block(i, W);
    if (i < n) block(i, int(n - i));
}

}  // namespace
}  // namespace quorvane::fast

#endif  // QUORVANE_ELLIPSOID_FAST_UTM_ZONES_H
