// Series of the geodesic problems on an ellipsoid of revolution, after
//
//   C. F. F. Karney, "Algorithms for geodesics", J. Geodesy 87 (2013) 43-55,
//   doi:10.1007/s00190-012-0578-z.
//
// The paper maps a geodesic to a great circle on the auxiliary sphere (reduced
// latitude beta, spherical arc length sigma, spherical longitude omega). The
// distance, the longitude and the reduced length are integrals over sigma whose
// Fourier series are expanded in
//   k^2 = e'^2 cos^2(alpha0),   eps = (sqrt(1 + k^2) - 1) / (sqrt(1 + k^2) + 1)  (eq. 16)
// and in the third flattening n = f / (2 - f). The expansions here are carried to
// the sixth order, as the paper gives them for double precision; they converge
// for |f| up to about 1/50 and are used only there; a flatter ellipsoid takes the
// exact integrals of exact.h (see Geodesic::exact).
//
// The area integral I4 (eqs. 58-59) is summed here as a polynomial in cos(sigma):
// with x = e'^2, y = k^2 sin^2(sigma) and t(x) = x + sqrt(1 + 1/x) asinh(sqrt(x)),
//   (t(x) - t(y)) / (x - y) = sum_m q_m(x) y^m,  q_m(x) = sum_{j > m} t_j x^(j-1-m),
// the power series of t having coefficients t_j; then
//   I4(sigma) = 1/2 sum_m q_m k^(2m) P_m(cos sigma),  P_m(c) = integral_0^c (1 - u^2)^m du,
// which avoids the cancellation of the divided difference and needs no
// coefficient table beyond t_j. P_m follows from P_{m-1} by parts (below).
#ifndef QUORVANE_ELLIPSOID_GEODESIC_SERIES_H
#define QUORVANE_ELLIPSOID_GEODESIC_SERIES_H

#include <cmath>

namespace quorvane::geodesic {

// Terms kept in the area polynomial: x^kAreaTerms < 1e-17 for e'^2 <= 0.0409
// (f <= 1/50).
inline constexpr int kAreaTerms = 14;

// sum_{l=1}^{L} c[l] sin(2 l sigma), given sin and cos of sigma (Clenshaw summation).
template <int L>
inline double sin_series(double ssig, double csig, const double* c) noexcept {
    const double cos2 = 2 * (csig - ssig) * (csig + ssig);  // 2 cos(2 sigma)
    double y0 = 0, y1 = 0;
    for (int l = L; l >= 1; --l) {
        const double y2 = y1;
        y1 = y0;
        y0 = cos2 * y1 - y2 + c[l];
    }
    return 2 * ssig * csig * y0;  // y0 sin(2 sigma)
}

// Distance integral I1 (eqs. 15, 17, 18): A1 and the sine coefficients C1[1..6].
inline double a1(double eps) noexcept {
    const double e2 = eps * eps;
    return (1 + e2 * (1.0 / 4 + e2 * (1.0 / 64 + e2 / 256))) / (1 - eps);
}
inline void c1(double eps, double* c) noexcept {
    const double e2 = eps * eps;
    double d = eps;
    c[1] = d * (-1.0 / 2 + e2 * (3.0 / 16 - e2 / 32));
    d *= eps;
    c[2] = d * (-1.0 / 16 + e2 * (1.0 / 32 - e2 * 9.0 / 2048));
    d *= eps;
    c[3] = d * (-1.0 / 48 + e2 * 3.0 / 256);
    d *= eps;
    c[4] = d * (-5.0 / 512 + e2 * 3.0 / 512);
    d *= eps;
    c[5] = d * (-7.0 / 1280);
    d *= eps;
    c[6] = d * (-7.0 / 2048);
}

// The reversion of I1 (eqs. 20-21): sigma = tau + sum C1'[l] sin(2 l tau).
inline void c1p(double eps, double* c) noexcept {
    const double e2 = eps * eps;
    double d = eps;
    c[1] = d * (1.0 / 2 + e2 * (-9.0 / 32 + e2 * 205.0 / 1536));
    d *= eps;
    c[2] = d * (5.0 / 16 + e2 * (-37.0 / 96 + e2 * 1335.0 / 4096));
    d *= eps;
    c[3] = d * (29.0 / 96 - e2 * 75.0 / 128);
    d *= eps;
    c[4] = d * (539.0 / 1536 - e2 * 2391.0 / 2560);
    d *= eps;
    c[5] = d * (3467.0 / 7680);
    d *= eps;
    c[6] = d * (38081.0 / 61440);
}

// I2 of the reduced length (eqs. 41-43): A2 and C2[1..6].
inline double a2(double eps) noexcept {
    const double e2 = eps * eps;
    return (1 + e2 * (1.0 / 4 + e2 * (9.0 / 64 + e2 * 25.0 / 256))) * (1 - eps);
}
inline void c2(double eps, double* c) noexcept {
    const double e2 = eps * eps;
    double d = eps;
    c[1] = d * (1.0 / 2 + e2 * (1.0 / 16 + e2 / 32));
    d *= eps;
    c[2] = d * (3.0 / 16 + e2 * (1.0 / 32 + e2 * 35.0 / 2048));
    d *= eps;
    c[3] = d * (5.0 / 48 + e2 * 5.0 / 256);
    d *= eps;
    c[4] = d * (35.0 / 512 + e2 * 7.0 / 512);
    d *= eps;
    c[5] = d * (63.0 / 1280);
    d *= eps;
    c[6] = d * (77.0 / 2048);
}

// The longitude integral I3 (eqs. 23-25): coefficients of A3 and C3[1..5] as
// polynomials in eps, their own coefficients polynomials in n, fixed per ellipsoid.
struct LongitudeSeries {
    double a3[6];     // A3 = a3[0] + a3[1] eps + ... + a3[5] eps^5
    double c3[6][6];  // C3[l] = sum_j c3[l][j] eps^j, j = l .. 5

    explicit LongitudeSeries(double n) noexcept : a3{}, c3{} {
        const double n2 = n * n;
        a3[0] = 1;
        a3[1] = -(1.0 / 2 - n / 2);
        a3[2] = -(1.0 / 4 + n / 8 - 3 * n2 / 8);
        a3[3] = -(1.0 / 16 + 3 * n / 16 + n2 / 16);
        a3[4] = -(3.0 / 64 + n / 32);
        a3[5] = -3.0 / 128;
        c3[1][1] = 1.0 / 4 - n / 4;
        c3[1][2] = 1.0 / 8 - n2 / 8;
        c3[1][3] = 3.0 / 64 + 3 * n / 64 - n2 / 64;
        c3[1][4] = 5.0 / 128 + n / 64;
        c3[1][5] = 3.0 / 128;
        c3[2][2] = 1.0 / 16 - 3 * n / 32 + n2 / 32;
        c3[2][3] = 3.0 / 64 - n / 32 - 3 * n2 / 64;
        c3[2][4] = 3.0 / 128 + n / 128;
        c3[2][5] = 5.0 / 256;
        c3[3][3] = 5.0 / 192 - 3 * n / 64 + 5 * n2 / 192;
        c3[3][4] = 3.0 / 128 - 5 * n / 192;
        c3[3][5] = 7.0 / 512;
        c3[4][4] = 7.0 / 512 - 7 * n / 256;
        c3[4][5] = 7.0 / 512;
        c3[5][5] = 21.0 / 2560;
    }

    double a3_of(double eps) const noexcept {
        double s = a3[5];
        for (int j = 4; j >= 0; --j) s = s * eps + a3[j];
        return s;
    }
    void c3_of(double eps, double* c) const noexcept {
        for (int l = 1; l <= 5; ++l) {
            double s = 0;
            for (int j = 5; j >= l; --j) s = s * eps + c3[l][j];
            for (int j = 0; j < l; ++j) s *= eps;
            c[l] = s;
        }
    }
};

// The area polynomial's coefficients q_m(e'^2), m = 0 .. kAreaTerms - 1, fixed
// per ellipsoid, from the power series of t(x) = x + sqrt(1 + x) asinh(sqrt x)/sqrt(x):
// sqrt(1 + x) = sum s_i x^i with s_i = binom(1/2, i), and
// asinh(sqrt x)/sqrt(x) = sum g_i x^i with g_i = (-1)^i binom(2i, i) / (4^i (2i + 1)).
struct AreaSeries {
    double q[kAreaTerms];

    explicit AreaSeries(double ep2) noexcept : q{} {
        constexpr int J = kAreaTerms;
        double s[J + 1], g[J + 1], t[J + 1];
        s[0] = 1, g[0] = 1;
        double central = 1;  // binom(2i, i) / 4^i
        for (int i = 1; i <= J; ++i) {
            s[i] = s[i - 1] * (1.5 - i) / i;
            central *= (2.0 * i - 1) / (2.0 * i);
            g[i] = (i % 2 ? -central : central) / (2 * i + 1);
        }
        for (int j = 0; j <= J; ++j) {
            double sum = j == 1 ? 1 : 0;
            for (int i = 0; i <= j; ++i) sum += s[i] * g[j - i];
            t[j] = sum;
        }
        for (int m = 0; m < J; ++m) {
            double sum = 0;  // sum_{j=m+1}^{J} t_j x^(j-1-m), by Horner
            for (int j = J; j >= m + 1; --j) sum = sum * ep2 + t[j];
            q[m] = sum;
        }
    }

    // I4(sigma) of eq. 59 for k^2 and cos(sigma).
    double i4(double k2, double csig) const noexcept {
        const double w = (1 - csig) * (1 + csig);  // sin^2(sigma)
        double p = csig;                           // P_0
        double wm = 1;                             // sin^(2m)(sigma)
        double km = 1;                             // k^(2m)
        double sum = q[0] * p;
        for (int m = 1; m < kAreaTerms; ++m) {
            wm *= w;
            km *= k2;
            p = (csig * wm + 2 * m * p) / (2 * m + 1);
            sum += q[m] * km * p;
        }
        return sum / 2;
    }
};

}  // namespace quorvane::geodesic

#endif  // QUORVANE_ELLIPSOID_GEODESIC_SERIES_H
