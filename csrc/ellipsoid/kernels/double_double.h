// Double-double arithmetic: a number as the unevaluated sum hi + lo of two
// doubles, |lo| at most half a unit in the last place of hi, some 106 bits.
// Where a result must be right to the last bit of a double although its
// terms cancel or are many, the kernels carry it this way.
//
//   [Dekker 1971] T. J. Dekker, "A floating-point technique for extending the
//     available precision", Numerische Mathematik 18, 224-242, 1971: sums with
//     their rounding error (two_sum, Knuth's form; quick_two_sum where the
//     larger term is known), and the products, quotients and square roots of
//     double-doubles built on them. The exact product of two doubles is taken
//     with a fused multiply-add (two_product), which IEEE rounds once on every
//     platform.
//
// The sine and cosine of a double argument (sin_cos) are reduced by pi/2 in
// three parts as Cody and Waite do [W. J. Cody, W. Waite, "Software Manual for
// the Elementary Functions", Prentice-Hall, 1980] and summed as their Taylor
// series on the remainder, all in double-double.
#ifndef QUORVANE_ELLIPSOID_KERNELS_DOUBLE_DOUBLE_H
#define QUORVANE_ELLIPSOID_KERNELS_DOUBLE_DOUBLE_H

#include <cmath>

namespace quorvane::double_double {

// A double-double hi + lo, |lo| at most half a unit in the last place of hi.
struct Wide {
    double hi, lo;
};
// a + b exactly, for |a| >= |b| (or a = 0).
inline Wide quick_two_sum(double a, double b) noexcept {
    const double s = a + b;
    return {s, b - (s - a)};
}
// a + b exactly (Knuth's two-sum).
inline Wide two_sum(double a, double b) noexcept {
    const double s = a + b, bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}
// a b exactly (a fused multiply-add gives the product's rounding error).
inline Wide two_product(double a, double b) noexcept {
    const double p = a * b;
    return {p, std::fma(a, b, -p)};
}
inline Wide add(Wide x, Wide y) noexcept {
    const Wide s = two_sum(x.hi, y.hi);
    return quick_two_sum(s.hi, s.lo + (x.lo + y.lo));
}
inline Wide subtract(Wide x, Wide y) noexcept {
    return add(x, Wide{-y.hi, -y.lo});
}
inline Wide times(Wide x, double y) noexcept {
    const Wide p = two_product(x.hi, y);
    return quick_two_sum(p.hi, p.lo + x.lo * y);
}
inline Wide times(Wide x, Wide y) noexcept {
    const Wide p = two_product(x.hi, y.hi);
    return quick_two_sum(p.hi, p.lo + (x.hi * y.lo + x.lo * y.hi));
}
inline Wide divide(Wide x, Wide y) noexcept {
    const double q = x.hi / y.hi;
    const Wide rest = subtract(x, times(y, q));
    return quick_two_sum(q, rest.hi / y.hi);
}
// The square root of x >= 0, x.hi normal or zero.
inline Wide square_root(Wide x) noexcept {
    if (!(x.hi > 0)) return {std::sqrt(x.hi), 0.0};
    const double root = std::sqrt(x.hi);
    return quick_two_sum(root, (std::fma(-root, root, x.hi) + x.lo) / (2 * root));
}

// sin x and cos x of a double x with |x| <= 2^20, each as a double-double: within
// 2.1e-32 relative for |x| <= pi/2, and 3.2e-28 on 10^4 random x up to 2^20 (next
// to a zero of either, where the remainder r below is known to 1e-37 k).
// x - k pi/2 is taken with pi/2 = P1 + P2 + P3, P1 and P2 of 33 significant
// bits: k P1 and k P2 are exact for |k| < 2^20, x - k P1 is exact (it is within
// a factor of 2 of x: Sterbenz), and the rest is carried as a double-double r,
// |r| <= pi/4 (and a little). The Taylor series of sin r and cos r stop at the
// terms of r^29 and r^28, below 2^-106 of the sum there; Horner's rule in
// double-double.
struct WideSinCos {
    Wide s, c;
};
inline WideSinCos sin_cos(double x) noexcept {
    constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;
    constexpr double kP1 = 0x1.921fb54400000p+0, kP2 = 0x1.0b4611a600000p-34,
                     kP3 = 0x1.3198a2e037073p-69;
    // (-1)^j / (2j + 1)! and (-1)^j / (2j)!, j = 14 .. 1, as double-doubles.
    constexpr Wide kSin[14] = {
        {0x1.259f98b4358adp-103, 0x1.eaf8c39dd9bc5p-157},
        {-0x1.d1ab1c2dccea3p-94, -0x1.054d0c78aea14p-149},
        {0x1.3f3ccdd165fa9p-84, -0x1.58ddadf344487p-139},
        {-0x1.761b41316381ap-75, 0x1.3423c7d91404fp-130},
        {0x1.71b8ef6dcf572p-66, -0x1.d043ae40c4647p-120},
        {-0x1.2f49b46814157p-57, -0x1.2650f61dbdcb4p-112},
        {0x1.952c77030ad4ap-49, 0x1.ac981465ddc6cp-103},
        {-0x1.ae7f3e733b81fp-41, -0x1.1d8656b0ee8cbp-97},
        {0x1.6124613a86d09p-33, 0x1.f28e0cc748ebep-87},
        {-0x1.ae64567f544e4p-26, 0x1.c062e06d1f209p-80},
        {0x1.71de3a556c734p-19, -0x1.c154f8ddc6c00p-73},
        {-0x1.a01a01a01a01ap-13, -0x1.a01a01a01a01ap-73},
        {0x1.1111111111111p-7, 0x1.1111111111111p-63},
        {-0x1.5555555555555p-3, -0x1.5555555555555p-57},
    };
    constexpr Wide kCos[14] = {
        {0x1.0a18a2635085dp-98, 0x1.b9e2e28e1aa54p-153},
        {-0x1.88e85fc6a4e5ap-89, 0x1.71c37ebd16540p-143},
        {0x1.f2cf01972f578p-80, -0x1.9ada5fcc1ab14p-135},
        {-0x1.0ce396db7f853p-70, 0x1.aebcdbd20331cp-124},
        {0x1.e542ba4020225p-62, 0x1.ea72b4afe3c2fp-120},
        {-0x1.6827863b97d97p-53, -0x1.eec01221a8b0bp-107},
        {0x1.ae7f3e733b81fp-45, 0x1.1d8656b0ee8cbp-101},
        {-0x1.93974a8c07c9dp-37, -0x1.05d6f8a2efd1fp-92},
        {0x1.1eed8eff8d898p-29, -0x1.2aec959e14c06p-83},
        {-0x1.27e4fb7789f5cp-22, -0x1.cbbc05b4fa99ap-76},
        {0x1.a01a01a01a01ap-16, 0x1.a01a01a01a01ap-76},
        {-0x1.6c16c16c16c17p-10, 0x1.f49f49f49f49fp-65},
        {0x1.5555555555555p-5, 0x1.5555555555555p-59},
        {-0x1.0p-1, 0.0},
    };
    const double k = std::nearbyint(x * kTwoOverPi);
    const double r1 = x - k * kP1;
    const Wide r = add(two_sum(r1, -(k * kP2)), two_product(-k, kP3));
    const Wide r2 = times(r, r);
    Wide ps = kSin[0], pc = kCos[0];
    for (int j = 1; j < 14; ++j) {
        ps = add(times(ps, r2), kSin[j]);
        pc = add(times(pc, r2), kCos[j]);
    }
    const Wide sin_r = add(r, times(times(ps, r2), r));
    const Wide cos_r = add(Wide{1.0, 0.0}, times(pc, r2));
    const long quadrant = static_cast<long>(k) & 3;
    const Wide sn = quadrant & 1 ? cos_r : sin_r, cs = quadrant & 1 ? sin_r : cos_r;
    const auto negated = [](Wide w) { return Wide{-w.hi, -w.lo}; };
    return {quadrant & 2 ? negated(sn) : sn, (quadrant + 1) & 2 ? negated(cs) : cs};
}

}  // namespace quorvane::double_double

#endif  // QUORVANE_ELLIPSOID_KERNELS_DOUBLE_DOUBLE_H
