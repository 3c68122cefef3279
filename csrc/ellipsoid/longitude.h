// Longitudes reduced to one turn, exactly, however many turns they are given with:
// the geodesic kernels' longitude differences, and degrees before they become
// radians on the one-point paths (the engine reduces arrays as reduce_degrees does).
//
// In radians a longitude x stands for x - 2 pi n, and 2 pi is not a double: the
// remainder by the double nearest 2 pi (std::remainder(x, 2 * kPi)) is exact as an
// operation but off by n times 2.4e-16 rad, 0.24 m at x = 1e9 rad and 126 km at
// 1e15. Beyond kOrdinaryLongitude the reduction here is the Payne-Hanek one:
//
//   M. H. Payne and R. N. Hanek, "Radian reduction for trigonometric functions",
//   ACM SIGNUM Newsletter 18 (1983) 19-24;
//   K. C. Ng, "Argument reduction for huge arguments: good to the last bit", Sun
//   Microsystems (1992), Sect. 2-3.
//
// x = M 2^E with an integer M < 2^53, so x / (2 pi) = M 2^E / (2 pi) and only the
// bits of 1/(2 pi) of weight below 2^-E reach its fractional part: 192 of them
// (kInvTwoPi, from a 1600-bit evaluation), multiplied by M in 64-bit limbs, give
// that fraction to 2^-139, which is relative 2^-75 or better at the nearest a
// double comes to a multiple of 2 pi (some 2^-61 rad: Ng, Sect. 4, whose closest
// approach to a multiple of pi/2 bounds it). Times 2 pi in double-double the
// result is the reduced longitude rounded once: within half a unit of its last
// place (and 2^-100 relative).
//
// Within kOrdinaryLongitude the remainder by the double 2 pi stays: a turn or two
// (n <= 2) cost at most 4.9e-16 rad beyond rounding, and ordinary longitudes keep
// their bits. Differences of longitudes are formed from the reduced values by the
// error-free sum (Knuth, TAOCP vol. 2, 3rd ed., Sect. 4.2.2, Theorem B; Shewchuk,
// "Adaptive precision floating-point arithmetic", Discrete Comput. Geom. 18 (1997)
// 305-363, Theorem 7), as Karney (2013, Sect. 6) forms them in degrees.
#ifndef QUORVANE_ELLIPSOID_LONGITUDE_H
#define QUORVANE_ELLIPSOID_LONGITUDE_H

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace quorvane::longitude {

// The double nearest 2 pi, and the remainder 2 pi - kTwoPiHigh.
inline constexpr double kTwoPiHigh = 0x1.921fb54442d18p+2;
inline constexpr double kTwoPiLow = 0x1.1a62633145c07p-52;
inline constexpr double kHalfTurn = kTwoPiHigh / 2;  // the double nearest pi

// Longitudes within this many radians (3 pi and a little: 540 degrees) are reduced
// by the double 2 pi, as they always were.
inline constexpr double kOrdinaryLongitude = 10.0;

// Degrees beyond this are reduced by 360 before they become radians (the engine,
// the one-point paths): 540 degrees and less keep the bits of their conversion.
inline constexpr double kOrdinaryDegrees = 540.0;

// x degrees as an angle of (-180, 180], exactly (fmod is exact, and so is the fold
// of (180, 360) by 360), where |x| > kOrdinaryDegrees; x itself otherwise.
inline double reduce_degrees(double x) noexcept {
    if (!(std::fabs(x) > kOrdinaryDegrees)) return x;
    double r = std::fmod(x, 360.0);
    if (r > 180.0) r -= 360.0;
    if (r <= -180.0) r += 360.0;
    return r;
}

namespace detail {

// The bits of 1/(2 pi) after the binary point, 64 to a word, led by a word of
// zeros (the bits of weight 2^0 .. 2^63, which the lookup reaches for x < 2^53).
inline constexpr std::uint64_t kInvTwoPi[23] = {
    0x0000000000000000ULL, 0x28be60db9391054aULL, 0x7f09d5f47d4d3770ULL, 0x36d8a5664f10e410ULL,
    0x7f9458eaf7aef158ULL, 0x6dc91b8e909374b8ULL, 0x01924bba82746487ULL, 0x3f877ac72c4a69cfULL,
    0xba208d7d4baed121ULL, 0x3a671c09ad17df90ULL, 0x4e64758e60d4ce7dULL, 0x272117e2ef7e4a0eULL,
    0xc7fe25fff7816603ULL, 0xfbcbc462d6829b47ULL, 0xdb4d9fb3c9f2c26dULL, 0xd3d18fd9a797fa8bULL,
    0x5d49eeb1faf97c5eULL, 0xcf41ce7de294a4baULL, 0x9afed7ec47e35742ULL, 0x1580cc11bf1edaeaULL,
    0xfc33ef0826bd0d87ULL, 0x6a78e45857b986c2ULL, 0x19666157c5281a10ULL,
};

// 64 bits of kInvTwoPi from bit `at` on (bit 0: the leading bit of word 0).
inline std::uint64_t inv_two_pi_bits(int at) noexcept {
    const int word = at / 64, shift = at % 64;
    const std::uint64_t high = kInvTwoPi[word] << shift;
    return shift == 0 ? high : high | kInvTwoPi[word + 1] >> (64 - shift);
}

// |x| reduced modulo 2 pi into [-pi, pi], for finite |x| > kOrdinaryLongitude.
inline double payne_hanek(double x) noexcept {
    __extension__ typedef unsigned __int128 u128;  // GCC and Clang, on 64-bit targets
    int e;
    const double m = std::frexp(std::fabs(x), &e);  // |x| = m 2^e, 1/2 <= m < 1
    const auto M = static_cast<std::uint64_t>(std::ldexp(m, 53));
    // |x| = M 2^E with E = e - 53 >= -49: the bits of weight 2^-E-1 .. 2^-E-192 of
    // 1/(2 pi), bit E + 64 on of the table, as the 192-bit integer (w0, w1, w2).
    const int at = e - 53 + 64;
    const std::uint64_t w0 = inv_two_pi_bits(at), w1 = inv_two_pi_bits(at + 64),
                        w2 = inv_two_pi_bits(at + 128);
    // The fraction of |x| / (2 pi): M (w0, w1, w2) modulo 2^192, over 2^192.
    u128 p = static_cast<u128>(M) * w2;
    std::uint64_t r2 = static_cast<std::uint64_t>(p);
    p = static_cast<u128>(M) * w1 + (p >> 64);
    std::uint64_t r1 = static_cast<std::uint64_t>(p);
    std::uint64_t r0 = M * w0 + static_cast<std::uint64_t>(p >> 64);
    // From [0, 1) to [-1/2, 1/2): the magnitude, and its sign.
    const bool negative = r0 >> 63;
    if (negative) {
        r2 = ~r2 + 1;
        r1 = ~r1 + (r2 == 0);
        r0 = ~r0 + (r1 == 0 && r2 == 0);
    }
    // The leading 106 bits, as fh + fl with fh carrying the first 53.
    int lz;
    std::uint64_t hi, lo;
    if (r0 != 0) {
        lz = std::countl_zero(r0);
        hi = lz == 0 ? r0 : r0 << lz | r1 >> (64 - lz);
        lo = lz == 0 ? r1 : r1 << lz | r2 >> (64 - lz);
    } else if (r1 != 0) {
        lz = std::countl_zero(r1);
        hi = lz == 0 ? r1 : r1 << lz | r2 >> (64 - lz);
        lo = r2 << lz;
        lz += 64;
    } else {
        if (r2 == 0) return 0.0;  // no double is a multiple of 2 pi but 0
        lz = std::countl_zero(r2);
        hi = r2 << lz, lo = 0;
        lz += 128;
    }
    const double fh = std::ldexp(static_cast<double>(hi >> 11), -53 - lz);
    const double fl = std::ldexp(static_cast<double>((hi & 0x7FF) << 42 | lo >> 22), -106 - lz);
    // 2 pi (fh + fl) in double-double, rounded once.
    const double head = fh * kTwoPiHigh;
    const double tail = std::fma(fh, kTwoPiHigh, -head) + (fh * kTwoPiLow + fl * kTwoPiHigh);
    const double r = head + tail;
    return negative ? -r : r;
}

// s + e = a + b exactly, s = fl(a + b) (Knuth's two-sum).
inline double two_sum(double a, double b, double& e) noexcept {
    const double s = a + b;
    const double bb = s - a;
    e = (a - (s - bb)) + (b - bb);
    return s;
}

}  // namespace detail

// x radians reduced to [-pi, pi]: exactly beyond kOrdinaryLongitude (see above),
// by the double 2 pi within it. NaN stays NaN, infinities give NaN.
inline double reduce_longitude(double x) noexcept {
    // Within half a turn the remainder is x itself (a tie, x = +-kHalfTurn, takes the
    // even quotient 0): the call saved.
    if (std::fabs(x) <= kHalfTurn) return x;
    if (!(std::fabs(x) > kOrdinaryLongitude)) return std::remainder(x, kTwoPiHigh);
    if (std::isinf(x)) return std::numeric_limits<double>::quiet_NaN();
    const double r = detail::payne_hanek(x);
    return std::signbit(x) ? -r : r;
}

// lon2 - lon1 reduced to [-pi, pi]. Within kOrdinaryLongitude, the remainder of the
// rounded difference by the double 2 pi (the bits it always had; a difference of
// +-pi keeps the sign of lon2 - lon1). Beyond, each reduced exactly, their
// difference carried exactly as s + e, and a turn taken off it in two parts.
inline double lon_diff(double lon1, double lon2) noexcept {
    if (std::fabs(lon1) <= kOrdinaryLongitude && std::fabs(lon2) <= kOrdinaryLongitude) {
        const double d = lon2 - lon1;
        return std::fabs(d) <= kHalfTurn ? d : std::remainder(d, kTwoPiHigh);  // as above
    }
    double e;
    const double s = detail::two_sum(reduce_longitude(lon2), -reduce_longitude(lon1), e);
    if (s > kHalfTurn) return (s - kTwoPiHigh) + (e - kTwoPiLow);  // s - 2pi is exact
    if (s < -kHalfTurn) return (s + kTwoPiHigh) + (e + kTwoPiLow);
    return s + e;
}

// A longitude as the one angle of (-pi, pi] it stands for (reduce_longitude, with
// -pi made pi): where a polygon's vertices sit for its count of turns.
inline double wrapped_longitude(double x) noexcept {
    const double r = reduce_longitude(x);
    return r == -kHalfTurn ? kHalfTurn : r;
}

}  // namespace quorvane::longitude

#endif  // QUORVANE_ELLIPSOID_LONGITUDE_H
