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

}  // namespace quorvane::double_double

#endif  // QUORVANE_ELLIPSOID_KERNELS_DOUBLE_DOUBLE_H
