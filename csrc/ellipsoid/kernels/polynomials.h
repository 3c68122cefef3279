// Polynomials summed by Estrin's scheme, and the Taylor series of the elementary functions at
// small arguments that the transverse Mercator kernels take in place of the C library's calls.
//
// Estrin's scheme (D. E. Knuth, The Art of Computer Programming 2, 4.6.4) splits a polynomial
// of N = 2^k coefficients into halves, p(x) = lo(x) + x^(N/2) hi(x), each in turn by halves: the
// chain of dependent operations is k multiply-adds long where Horner's rule takes N - 1.
//
// The series (Abramowitz and Stegun 4.3.65-66, 4.4.42, 4.5.62-63, 4.6.31; atanh by the odd
// powers of -log(1 - x)/2 + log(1 + x)/2) are summed as x + x z P(z) or 1 + z P(z), z = x^2, P
// of eight coefficients, so that the leading term is added last and the sum keeps the
// function's last place: within kTrigBound the first term left out of sin, cos, sinh and cosh is
// below 2^-70 of the function, within kArcBound that of atan and atanh below 2^-58. Beyond the
// bounds the kernels call the C library.
//
// Pure functions of doubles, in the style of the kernels beside them.
#ifndef QUORVANE_ELLIPSOID_KERNELS_POLYNOMIALS_H
#define QUORVANE_ELLIPSOID_KERNELS_POLYNOMIALS_H

#include <cmath>

namespace quorvane::ellipsoid::polynomials {

// p(x) = sum_(m < N) p_m x^m, x2[j] = x^(2^(j+1)).
template <int N>
inline double estrin(const double* p, double x, const double* x2) noexcept {
    static_assert(N == 2 || N == 4 || N == 8 || N == 16);
    if constexpr (N == 2) {
        return p[0] + p[1] * x;
    } else {
        constexpr int level = N == 4 ? 0 : N == 8 ? 1 : 2;
        return estrin<N / 2>(p, x, x2) + x2[level] * estrin<N / 2>(p + N / 2, x, x2);
    }
}

// p(z) of eight coefficients.
inline double estrin8(const double* p, double z) noexcept {
    const double z2 = z * z;
    const double powers[2] = {z2, z2 * z2};
    return estrin<8>(p, z, powers);
}

inline constexpr double kTrigBound = 0.25;    // |x| for sin, cos, sinh, cosh
inline constexpr double kArcBound = 1.0 / 8;  // |x| for atan, atanh

// The coefficients of z^k in (sin(x)/x - 1)/z, (cos(x) - 1)/z, (atan(x)/x - 1)/z; the
// hyperbolic and inverse hyperbolic functions' are their absolute values.
inline constexpr double kSin[8] = {
    -1.0 / 6,        1.0 / 120,        -1.0 / 5040,          1.0 / 362880,
    -1.0 / 39916800, 1.0 / 6227020800, -1.0 / 1307674368000, 1.0 / 355687428096000};
inline constexpr double kCos[8] = {
    -1.0 / 2,       1.0 / 24,        -1.0 / 720,         1.0 / 40320,
    -1.0 / 3628800, 1.0 / 479001600, -1.0 / 87178291200, 1.0 / 20922789888000};
inline constexpr double kAtan[8] = {-1.0 / 3,  1.0 / 5,  -1.0 / 7,  1.0 / 9,
                                    -1.0 / 11, 1.0 / 13, -1.0 / 15, 1.0 / 17};
inline constexpr double kSinh[8] = {
    1.0 / 6,        1.0 / 120,        1.0 / 5040,          1.0 / 362880,
    1.0 / 39916800, 1.0 / 6227020800, 1.0 / 1307674368000, 1.0 / 355687428096000};
inline constexpr double kCosh[8] = {
    1.0 / 2,       1.0 / 24,        1.0 / 720,         1.0 / 40320,
    1.0 / 3628800, 1.0 / 479001600, 1.0 / 87178291200, 1.0 / 20922789888000};
inline constexpr double kAtanh[8] = {1.0 / 3,  1.0 / 5,  1.0 / 7,  1.0 / 9,
                                     1.0 / 11, 1.0 / 13, 1.0 / 15, 1.0 / 17};

struct Pair {
    double odd, even;  // sin and cos, or sinh and cosh
};

// sin and cos of x, the series within kTrigBound.
inline Pair sin_cos(double x) noexcept {
    if (!(std::fabs(x) <= kTrigBound)) return {std::sin(x), std::cos(x)};
    const double z = x * x;
    return {x + (x * z) * estrin8(kSin, z), 1 + z * estrin8(kCos, z)};
}

// sinh and cosh of x, the series within kTrigBound; beyond, from one expm1 (sinh keeps its
// digits for a small x).
inline Pair sinh_cosh(double x) noexcept {
    if (!(std::fabs(x) <= kTrigBound)) {
        const double m = std::expm1(x), e = m + 1;
        return {0.5 * m * (e + 1) / e, 0.5 * (e + 1 / e)};
    }
    const double z = x * x;
    return {x + (x * z) * estrin8(kSinh, z), 1 + z * estrin8(kCosh, z)};
}

// atan and atanh of x, the series within kArcBound.
inline double atan(double x) noexcept {
    if (!(std::fabs(x) <= kArcBound)) return std::atan(x);
    const double z = x * x;
    return x + (x * z) * estrin8(kAtan, z);
}
inline double atanh(double x) noexcept {
    if (!(std::fabs(x) <= kArcBound)) return std::atanh(x);
    const double z = x * x;
    return x + (x * z) * estrin8(kAtanh, z);
}

}  // namespace quorvane::ellipsoid::polynomials

#endif  // QUORVANE_ELLIPSOID_KERNELS_POLYNOMIALS_H
