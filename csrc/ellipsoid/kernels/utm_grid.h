// The Universal Transverse Mercator (UTM) and Universal Polar Stereographic (UPS) grids and
// the Military Grid Reference System (MGRS) on them: scalar kernels over the projections of
// transverse_mercator.h.
//
// UTM: sixty zones of 6 degrees of longitude, zone z with central meridian 6 z - 183
// degrees, central scale 0.9996, false easting 500,000 m and false northing 0 (north) or
// 10,000,000 m (south), from 80 S up to 84 N; the exceptions 32V (56 N to 64 N, 3 E to 12 E)
// and 31X, 33X, 35X, 37X (72 N to 84 N: 0-9, 9-21, 21-33, 33-42 E). UPS: the polar
// stereographic of central scale 0.994 with false easting and northing 2,000,000 m, north
// of 84 N and south of 80 S; its zone is 0.
//
// MGRS (the definition of NGA/DMA TM 8358.1): the zone, the latitude band (8 degrees from
// 80 S, C to X without I and O, X of 12 degrees; A/B south of 80 S and Y/Z north of 84 N,
// west/east of the 0/180 meridian), the 100 km square's column and row letters, and 0 to 5
// digits of easting and northing within it, truncated. Column letters repeat every three
// zones (A-H, J-R, S-Z without I and O); row letters cycle through A-V (without I and O)
// every 2,000 km of northing, shifted by five letters in even zones. UPS squares take the
// letters of their own table, from easting and northing 800 km (south) or 1,300 km (north).
#ifndef QUORVANE_ELLIPSOID_KERNELS_UTM_GRID_H
#define QUORVANE_ELLIPSOID_KERNELS_UTM_GRID_H

#include <algorithm>
#include <cmath>

#include "ellipsoid/kernels/transverse_mercator.h"

namespace quorvane::ellipsoid::utm {

using tm::kHalfPi;
using tm::kNaN;

inline constexpr double kUtmScale = 0.9996, kUpsScale = 0.994;
inline constexpr double kUtmEasting = 5e5, kUtmSouthNorthing = 1e7, kUpsOrigin = 2e6;
inline constexpr double kRadians = tm::kPi / 180, kDegrees = 180 / tm::kPi;

// floor(x), exact, inline (std::floor is a library call where the build's instruction set has
// no rounding instruction): below 2^52 by the truncation to an integer, corrected for negative
// x; from 2^52 on (and NaN) x itself.
inline double floor_of(double x) noexcept {
    if (!(std::fabs(x) < 0x1p52)) return x;
    const double t = static_cast<double>(static_cast<long long>(x));
    return t > x ? t - 1 : t;
}

// Degrees into [-180, 180).
inline double wrapped_degrees(double lon) noexcept {
    if (std::fabs(lon) < 180) return lon;   // the remainder's value, without the call
    double r = std::remainder(lon, 360.0);  // exact, in [-180, 180]
    return r == 180 ? -180.0 : r;
}

// The standard zone of a point (degrees): 1-60, or 0 (UPS) beyond 84 N and 80 S.
inline int standard_zone(double lat, double lon) noexcept {
    if (!(lat >= -80 && lat < 84)) return 0;
    const double l = wrapped_degrees(lon);
    int zone = static_cast<int>(floor_of((l + 180) / 6)) + 1;
    if (zone > 60) zone = 60;
    if (lat >= 56 && lat < 64 && l >= 3 && l < 12) return 32;  // Norway
    if (lat >= 72 && l >= 0 && l < 42) {                       // Svalbard
        if (l < 9) return 31;
        if (l < 21) return 33;
        if (l < 33) return 35;
        return 37;
    }
    return zone;
}

// A grid position: the zone (0 for UPS), the hemisphere, easting and northing (metres),
// the convergence (radians) and the scale.
struct Position {
    int zone;
    bool north;
    double easting, northing, convergence, scale;
};

// Where a point falls on the grid: its zone (0: UPS), hemisphere, and the geodetic latitude
// phi and the longitude lambda from the zone's central meridian (radians) that the projection
// takes; `valid` false (a NaN point) where there is none. In degrees the longitude's
// difference from the central meridian is taken before the conversion to radians, so that it
// keeps its digits; zones are decided in degrees.
struct Placement {
    int zone;
    bool north;
    double phi, lambda;
    bool valid;
};
inline Placement placement(double lat, double lon, int zone, bool degrees) noexcept {
    if (!(std::fabs(lat) <= (degrees ? 90 : kHalfPi)) || !std::isfinite(lon))
        return {zone < 0 ? 0 : zone, true, kNaN, kNaN, false};
    const double lat_deg = degrees ? lat : std::fmin(std::fmax(lat * kDegrees, -90.0), 90.0);
    // Radians reduced first: a huge longitude in degrees would overflow.
    if (zone < 0) zone = standard_zone(lat_deg, degrees ? lon : tm::reduced(lon) * kDegrees);
    const bool north = lat >= 0;
    const double phi = degrees ? lat * kRadians : lat;
    if (zone == 0)
        return {0, north, phi, degrees ? wrapped_degrees(lon) * kRadians : tm::reduced(lon), true};
    const double lon0 = 6.0 * zone - 183;
    // Radians reduced before the central meridian is taken off: beyond 2^53 radians lon0
    // would vanish in the difference, and the point be projected from the wrong meridian.
    const double lam = degrees ? wrapped_degrees(lon - lon0) * kRadians
                               : tm::reduced(tm::reduced(lon) - lon0 * kRadians);
    return {zone, north, phi, lam, true};
}

// The UTM position of a placement (zone 1-60) whose transverse Mercator coordinates, at
// central scale kUtmScale, are x, y; the convergence in the unit of the input.
inline Position utm_position(const Placement& q, double x, double y, double convergence,
                             double scale) noexcept {
    return {q.zone,      q.north, kUtmEasting + x, (q.north ? 0 : kUtmSouthNorthing) + y,
            convergence, scale};
}

// The UTM/UPS position of geodetic latitude and longitude, in degrees (or radians where not
// `degrees`), in the standard zone (zone < 0) or in the given one (0: UPS; 1-60: that zone
// extended, NaN where it reaches beyond the series' domain). The convergence is in the unit of
// the input. Without `factors`, NaN convergence and scale in UTM (they cost a sixth of the
// time).
template <bool factors = true>
inline Position forward(const tm::Projection& p, double lat, double lon, int zone,
                        bool degrees) noexcept {
    const Placement q = placement(lat, lon, zone, degrees);
    if (!q.valid) return {q.zone, true, kNaN, kNaN, kNaN, kNaN};
    const double unit = degrees ? kDegrees : 1;
    if (q.zone == 0) {
        const tm::Grid g = tm::polar_forward(p, q.north, kUpsScale, q.phi, q.lambda);
        return {0, q.north, kUpsOrigin + g.x, kUpsOrigin + g.y, g.convergence * unit, g.scale};
    }
    const tm::Grid g = tm::tm_forward<factors>(p, kUtmScale, q.phi, q.lambda);
    return utm_position(q, g.x, g.y, g.convergence * unit, g.scale);
}

// The geodetic position of a UTM/UPS position from the projection's g (latitude, longitude
// from the zone's central meridian in radians, convergence, scale): latitude and longitude
// (in [-180, 180) degrees, or [-pi, pi) radians where not `degrees`), convergence (the same
// unit) and scale.
inline tm::Geographic geographic(const tm::Geographic& g, int zone, bool degrees) noexcept {
    const double lon0 = zone == 0 ? 0 : 6.0 * zone - 183;
    if (degrees)
        return {g.lat * kDegrees, wrapped_degrees(g.lon * kDegrees + lon0),
                g.convergence * kDegrees, g.scale};
    const double lon = tm::reduced(g.lon + lon0 * kRadians);
    return {g.lat, lon == tm::kPi ? -lon : lon, g.convergence, g.scale};
}

// Latitude and longitude (in [-180, 180) degrees, or [-pi, pi) radians where not `degrees`),
// convergence (the same unit) and scale of a UTM/UPS position; zone in 0-60 (checked by the
// caller).
inline tm::Geographic reverse(const tm::Projection& p, int zone, bool north, double easting,
                              double northing, bool degrees) noexcept {
    const tm::Geographic g =
        zone == 0
            ? tm::polar_reverse(p, north, kUpsScale, easting - kUpsOrigin, northing - kUpsOrigin)
            : tm::tm_reverse(p, kUtmScale, easting - kUtmEasting,
                             northing - (north ? 0 : kUtmSouthNorthing));
    return geographic(g, zone, degrees);
}

// -- MGRS ------------------------------------------------------------------------------------

inline constexpr int kMgrsWidth = 15;  // "32UMV1234567890"
// The side of the square (metres) of each precision.
inline constexpr double kSquare[6] = {1e5, 1e4, 1e3, 1e2, 1e1, 1};
inline constexpr char kBands[] = "CDEFGHJKLMNPQRSTUVWX";
inline constexpr const char* kColumns[3] = {"ABCDEFGH", "JKLMNPQR", "STUVWXYZ"};
inline constexpr char kRows[] = "ABCDEFGHJKLMNPQRSTUV";
// UPS: the columns west and east of the 0/180 meridian (south, then north), their first
// easting in units of 100 km, and the rows with their first northing.
inline constexpr const char* kPolarColumns[2][2] = {{"JKLPQRSTUXYZ", "ABCFGHJKLPQR"},
                                                    {"RSTUXYZ", "ABCFGHJ"}};
inline constexpr int kPolarFirstColumn[2][2] = {{8, 20}, {13, 20}};
inline constexpr const char* kPolarRows[2] = {"ABCDEFGHJKLMNPQRSTUVWXYZ", "ABCDEFGHJKLMNP"};
inline constexpr int kPolarFirstRow[2] = {8, 13};

inline int length_of(const char* s) noexcept {
    int n = 0;
    while (s[n] != 0) ++n;
    return n;
}
inline int index_in(const char* s, char c) noexcept {
    for (int i = 0; s[i] != 0; ++i)
        if (s[i] == c) return i;
    return -1;
}

// The decimal digits of 0-999, three characters each.
struct Thousand {
    char digits[3000];
    constexpr Thousand() noexcept : digits{} {
        for (int v = 0; v < 1000; ++v) {
            digits[3 * v] = static_cast<char>('0' + v / 100);
            digits[3 * v + 1] = static_cast<char>('0' + v / 10 % 10);
            digits[3 * v + 2] = static_cast<char>('0' + v % 10);
        }
    }
};
inline constexpr Thousand kThousand{};

// The five decimal places of 0 <= v < 100000 into out[5], the first the ten thousands.
inline void five_places(int v, char* out) noexcept {
    const int high = v / 1000, low = v - 1000 * high;
    out[0] = static_cast<char>('0' + high / 10), out[1] = static_cast<char>('0' + high % 10);
    for (int d = 0; d < 3; ++d) out[2 + d] = kThousand.digits[3 * low + d];
}

// The MGRS code of the grid position g of geodetic latitude lat (degrees, or radians where
// not `degrees`: it picks the band) with `precision` digits (0-5) per coordinate into
// out[kMgrsWidth] (unused characters 0); false (and nothing written) where there is none (NaN,
// or a position outside the grid's squares).
inline bool mgrs_code(const Position& g, double lat, int precision, bool degrees,
                      char* out) noexcept {
    if (!std::isfinite(g.easting) || !std::isfinite(g.northing)) return false;
    const double e100 = floor_of(g.easting / 1e5), n100 = floor_of(g.northing / 1e5);
    int k = 0;
    char column, row, band;
    if (g.zone == 0) {
        const int h = g.north ? 1 : 0, east = g.easting >= kUpsOrigin ? 1 : 0;
        band = g.north ? (east ? 'Z' : 'Y') : (east ? 'B' : 'A');
        const char* columns = kPolarColumns[h][east];
        const int c = static_cast<int>(e100) - kPolarFirstColumn[h][east];
        const int r = static_cast<int>(n100) - kPolarFirstRow[h];
        if (c < 0 || c >= length_of(columns) || r < 0 || r >= length_of(kPolarRows[h]))
            return false;
        column = columns[c], row = kPolarRows[h][r];
    } else {
        out[k++] = static_cast<char>('0' + g.zone / 10);
        out[k++] = static_cast<char>('0' + g.zone % 10);
        const double lat_deg = degrees ? lat : lat * kDegrees;
        const int b = std::min(19, std::max(0, static_cast<int>(floor_of((lat_deg + 80) / 8))));
        band = kBands[b];
        const int c = static_cast<int>(e100) - 1;
        if (c < 0 || c > 7) return false;
        column = kColumns[(g.zone - 1) % 3][c];
        const int r = (static_cast<int>(n100) + (g.zone % 2 == 0 ? 5 : 0)) % 20;
        if (r < 0) return false;  // south of the equator's false origin (a forced zone)
        row = kRows[r];
    }
    out[k++] = band, out[k++] = column, out[k++] = row;
    // Metres within the square, truncated to the precision's unit.
    const double unit = kSquare[precision];
    // In [0, 1e5]: ints, whose divisions by 10 are cheaper products.
    int e = static_cast<int>(floor_of((g.easting - e100 * 1e5) / unit));
    int n = static_cast<int>(floor_of((g.northing - n100 * 1e5) / unit));
    if (e >= 0 && e < 100000 && n >= 0 && n < 100000) {
        // Five places each, the last three from a table: two divisions by constants instead
        // of a chain of five.
        char de[5], dn[5];
        five_places(e, de), five_places(n, dn);
        for (int d = 0; d < precision; ++d) {
            out[k + d] = de[5 - precision + d];
            out[k + precision + d] = dn[5 - precision + d];
        }
    } else {
        // The last digit first, by divisions by the constant 10 (products, not divisions).
        for (int d = precision - 1; d >= 0; --d, e /= 10, n /= 10) {
            out[k + d] = static_cast<char>('0' + e % 10);
            out[k + precision + d] = static_cast<char>('0' + n % 10);
        }
    }
    k += 2 * precision;
    for (; k < kMgrsWidth; ++k) out[k] = 0;
    return true;
}

// The MGRS code of geodetic latitude and longitude (degrees, or radians where not `degrees`)
// with `precision` digits (0-5) per coordinate into out[kMgrsWidth], as mgrs_code.
inline bool to_mgrs(const tm::Projection& p, double lat, double lon, int precision, bool degrees,
                    char* out) noexcept {
    return mgrs_code(forward<false>(p, lat, lon, -1, degrees), lat, precision, degrees, out);
}

// Why a code does not parse.
enum class MgrsError : int { none, zone, band, column, row, digits, square };

// The latitude and longitude (degrees) of the centre of the square an MGRS code names:
// `code` of `length` characters (ASCII, spaces ignored, letters of either case); NaN for
// an empty code.
struct Centre {
    double lat, lon;
    MgrsError error;
};
inline Centre from_mgrs(const tm::Projection& p, const char* code, int length) noexcept {
    char c[32];
    int n = 0;
    for (int i = 0; i < length && code[i] != 0; ++i) {
        char ch = code[i];
        if (ch == ' ') continue;
        if (n == 31) return {kNaN, kNaN, MgrsError::digits};
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
        c[n++] = ch;
    }
    // An empty code is what to_mgrs writes for a point without one (NaN): no point.
    if (n == 0) return {kNaN, kNaN, MgrsError::none};
    int k = 0, zone = 0;
    while (k < n && k < 2 && c[k] >= '0' && c[k] <= '9') zone = 10 * zone + (c[k++] - '0');
    if (k > 0 && (zone < 1 || zone > 60)) return {kNaN, kNaN, MgrsError::zone};
    if (n - k < 3) return {kNaN, kNaN, k == n ? MgrsError::band : MgrsError::column};
    const char band = c[k], column = c[k + 1], row = c[k + 2];
    const int digits = n - k - 3;
    if (digits % 2 != 0 || digits > 10) return {kNaN, kNaN, MgrsError::digits};
    const int precision = digits / 2;
    long long e = 0, nn = 0;
    for (int d = 0; d < precision; ++d) {
        const char de = c[k + 3 + d], dn = c[k + 3 + precision + d];
        if (de < '0' || de > '9' || dn < '0' || dn > '9') return {kNaN, kNaN, MgrsError::digits};
        e = 10 * e + (de - '0'), nn = 10 * nn + (dn - '0');
    }
    const double unit = kSquare[precision];
    const double de = (static_cast<double>(e) + 0.5) * unit,
                 dn = (static_cast<double>(nn) + 0.5) * unit;
    if (k == 0) {  // UPS
        const int h = (band == 'Y' || band == 'Z') ? 1 : (band == 'A' || band == 'B') ? 0 : -1;
        if (h < 0) return {kNaN, kNaN, MgrsError::band};
        const int east = (band == 'B' || band == 'Z') ? 1 : 0;
        const int ci = index_in(kPolarColumns[h][east], column);
        if (ci < 0) return {kNaN, kNaN, MgrsError::column};
        const int ri = index_in(kPolarRows[h], row);
        if (ri < 0) return {kNaN, kNaN, MgrsError::row};
        const double easting = (ci + kPolarFirstColumn[h][east]) * 1e5 + de;
        const double northing = (ri + kPolarFirstRow[h]) * 1e5 + dn;
        const tm::Geographic g = reverse(p, 0, h == 1, easting, northing, true);
        return {g.lat, g.lon, MgrsError::none};
    }
    const int b = index_in(kBands, band);
    if (b < 0) return {kNaN, kNaN, MgrsError::band};
    const int ci = index_in(kColumns[(zone - 1) % 3], column);
    if (ci < 0) return {kNaN, kNaN, MgrsError::column};
    const int ri = index_in(kRows, row);
    if (ri < 0) return {kNaN, kNaN, MgrsError::row};
    const double easting = (ci + 1) * 1e5 + de;
    // The row letter fixes the northing modulo 2,000 km; the band picks the cycle: the one
    // nearest the northing of the band's middle latitude on the central meridian (a band
    // spans at most 1,400 km of northing).
    const bool north = b >= 10;
    const double mid = b == 19 ? 78.0 : -76.0 + 8 * b;
    const double mid_northing =
        tm::tm_forward(p, kUtmScale, mid * kRadians, 0).y + (north ? 0 : kUtmSouthNorthing);
    const double row_northing = ((ri - (zone % 2 == 0 ? 5 : 0) + 20) % 20) * 1e5 + dn;
    const double cycles = std::nearbyint((mid_northing - row_northing) / 2e6);
    const double northing = row_northing + 2e6 * cycles;
    const tm::Geographic g = reverse(p, zone, north, easting, northing, true);
    if (!std::isfinite(g.lat)) return {kNaN, kNaN, MgrsError::square};
    return {g.lat, g.lon, MgrsError::none};
}

}  // namespace quorvane::ellipsoid::utm

#endif  // QUORVANE_ELLIPSOID_KERNELS_UTM_GRID_H
