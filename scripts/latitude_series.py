"""The Fourier series between the auxiliary latitudes, in the third flattening n, derived here
with exact rational arithmetic and written as the C++ table csrc/ellipsoid/kernels/latitude_series.h.

    python scripts/latitude_series.py [--order L] [--check]   # from the repo top (needs sympy)

Every auxiliary latitude eta is an odd function of any other, zeta, of the form (C. F. F. Karney,
"On auxiliary latitudes", Survey Review 2023, arXiv:2212.05818)

    eta = zeta + sum_{k=1..L} C[k](n) sin(2 k zeta),   C[k] = O(n^k),

truncated at n^L. The series of each latitude as a function of the geodetic one, phi, come from
its definition:

- parametric beta and geocentric theta: tan(eta) = a tan(phi), a = (1 - n)/(1 + n) and its
  square, whose series is closed: eta - phi = sum q^k / k sin(2 k phi),
  q = (a - 1)/(a + 1);
- rectifying mu: the meridian arc's rate M(phi) ~ (1 + n^2 + 2 n cos(2 phi))^(-3/2) is
  |1 + n exp(2 i phi)|^-3, a product of two binomial series;
  mu is its integral, scaled so that mu(pi/2) = pi/2;
- conformal chi: chi = gd(psi), psi = gd^-1(phi) - e atanh(e sin(phi));
  with delta = e atanh(e sin(phi)) = sum_m e^(2m+2) sin^(2m+1)(phi)/(2m+1), the Taylor series
  chi = phi + sum_j (-delta)^j / j! gd^(j)(gd^-1 phi), gd' = cos(gd), d/dpsi = cos(phi) d/dphi;
- authalic xi: sin(xi) = q(phi)/q(pi/2), q = (1 - e^2) sum_m (2m+2)/(2m+1) e^(2m) sin^(2m+1)(phi)
 , and xi = asin(s + eps) = phi + sum_j eps^j/j! asin^(j)(s), s = sin(phi),
  whose terms are polynomials in s times cos(phi) (eps vanishes as cos^2(phi) at the poles).

e^2 = 4n/(1 + n)^2 throughout. The inverse series (phi of eta) follow by Lagrange's reversion,
zeta = eta + sum_j (-1)^j/j! d^(j-1)/deta^(j-1) A(eta)^j for eta = zeta + A(zeta), and the
series between two other latitudes X -> Y by composing phi(X) with Y(phi) (a Taylor series of
A_Y about X). Every product is truncated at n^L; the results are checked to be sine series of
even multiples only, and, with --check, against the closed forms in 40 digits.
"""

from __future__ import annotations

import argparse
import math
import time
from fractions import Fraction
from pathlib import Path

import sympy
from sympy.polys.domains import QQ
from sympy.polys.rings import ring

KINDS = ("geodetic", "parametric", "geocentric", "rectifying", "conformal", "authalic")
HEADER = Path(__file__).resolve().parent.parent / "csrc/ellipsoid/kernels/latitude_series.h"


class Series:
    """Truncated power series in n (exact rationals) and trigonometric polynomials in phi with
    such coefficients: {("c" | "s", k): coefficient of cos(k phi) or sin(k phi)}."""

    def __init__(self, order: int) -> None:
        self.L = order
        self.R, self.n = ring("n", QQ)
        self.R2, self.n2, self.s2 = ring("n,s", QQ)

    def trunc(self, p):
        return self.R({m: c for m, c in p.items() if m[0] <= self.L})

    def trunc2(self, p):
        return self.R2({m: c for m, c in p.items() if m[0] <= self.L})

    def inverse(self, p):
        """1/p as a series, p(0) != 0."""
        c0 = p.coeff(1)
        r = self.R(1 / c0)
        for _ in range(self.L + 1):  # Newton: r <- r (2 - p r)
            r = self.trunc(r * (2 - self.trunc(p * r)))
        return r

    # -- trigonometric polynomials --
    def add(self, a: dict, b: dict, scale=1) -> dict:
        out = dict(a)
        for k, v in b.items():
            out[k] = out.get(k, self.R(0)) + v * scale
        return {k: v for k, v in out.items() if v != 0}

    def scale(self, a: dict, c) -> dict:
        return {k: self.trunc(v * c) for k, v in a.items() if self.trunc(v * c) != 0}

    def mul(self, a: dict, b: dict) -> dict:
        out: dict = {}
        half = QQ(1, 2)

        def put(kind: str, k: int, v) -> None:
            if k < 0:
                k = -k
                if kind == "s":
                    v = -v
            if kind == "s" and k == 0:
                return
            out[(kind, k)] = out.get((kind, k), self.R(0)) + v

        for (ka, i), va in a.items():
            for (kb, j), vb in b.items():
                v = self.trunc(va * vb)
                if v == 0:
                    continue
                v = v * half
                if ka == "c" and kb == "c":
                    put("c", i - j, v), put("c", i + j, v)
                elif ka == "s" and kb == "s":
                    put("c", i - j, v), put("c", i + j, -v)
                elif ka == "s":  # sin i cos j
                    put("s", i + j, v), put("s", i - j, v)
                else:  # cos i sin j
                    put("s", i + j, v), put("s", j - i, v)
        return {k: v for k, v in out.items() if v != 0}

    def derivative(self, a: dict) -> dict:
        out: dict = {}
        for (kind, k), v in a.items():
            if k == 0:
                continue
            key, c = (("s", k), -k) if kind == "c" else (("c", k), k)
            out[key] = out.get(key, self.R(0)) + v * c
        return {k: v for k, v in out.items() if v != 0}

    def from_s(self, p) -> dict:
        """A polynomial in (n, s) as a trigonometric polynomial, s = sin(phi)."""
        sin = {("s", 1): self.R(1)}
        degree = max((m[1] for m in p.monoms()), default=0)
        out: dict = {}
        for d in range(degree, -1, -1):  # Horner in s
            coef = self.R({(m[0],): c for m, c in p.items() if m[1] == d})
            out = self.mul(out, sin) if out else {}
            if coef != 0:
                out = self.add(out, {("c", 0): coef})
        return out

    def odd_sine_check(self, a: dict) -> list:
        """The coefficients C[1..L] of sin(2 k phi); raises if a has any other term."""
        coeffs = [self.R(0)] * (self.L + 1)
        for (kind, k), v in a.items():
            if kind != "s" or k % 2:
                raise AssertionError(f"term {kind}{k} = {v} in a series of latitudes")
            if k // 2 > self.L:
                if v != 0:
                    raise AssertionError(f"harmonic {k} beyond the order")
                continue
            coeffs[k // 2] = v
        return coeffs[1:]

    def sine(self, coeffs: list) -> dict:
        return {("s", 2 * (k + 1)): v for k, v in enumerate(coeffs) if v != 0}

    # -- the latitudes as functions of phi --
    def e2(self):
        n = self.n
        return self.trunc(4 * n * self.inverse((1 + n) ** 2))

    def tangent_ratio(self, q) -> dict:
        """atan(a tan(phi)) - phi for q = (a - 1)/(a + 1)."""
        out = {}
        power = self.R(1)
        for k in range(1, self.L + 1):
            power = self.trunc(power * q)
            if power != 0:
                out[("s", 2 * k)] = power * QQ(1, k)
        return out

    def parametric(self) -> dict:
        return self.tangent_ratio(-self.n)

    def geocentric(self) -> dict:
        n = self.n
        return self.tangent_ratio(self.trunc(-2 * n * self.inverse(1 + n**2)))

    def rectifying(self) -> dict:
        n, L = self.n, self.L

        def b(i: int) -> Fraction:
            value = sympy.binomial(sympy.Rational(-3, 2), i)
            return QQ(int(value.p), int(value.q))

        C = [
            self.trunc(sum((b(j + k) * b(j) * n ** (2 * j + k) for j in range(L + 1)), self.R(0)))
            for k in range(L + 1)
        ]
        inv0 = self.inverse(C[0])
        return {("s", 2 * k): self.trunc(C[k] * inv0) * QQ(1, k) for k in range(1, L + 1)}

    def conformal(self) -> dict:
        e2 = self.e2()
        sin = {("s", 1): self.R(1)}
        cos = {("c", 1): self.R(1)}
        s2 = self.mul(sin, sin)
        delta: dict = {}
        power, odd = self.R(1), sin  # e^(2m+2), sin^(2m+1)
        for m in range(self.L):
            power = self.trunc(power * e2)
            delta = self.add(delta, self.scale(odd, power * QQ(1, 2 * m + 1)))
            odd = self.mul(odd, s2)
        out: dict = {}
        minus_delta = self.scale(delta, -1)
        term = {("c", 0): self.R(1)}  # (-delta)^j / j!
        derivative = cos  # gd^(j)(psi0) as a function of phi
        for j in range(1, self.L + 1):
            term = self.scale(self.mul(term, minus_delta), QQ(1, j))
            out = self.add(out, self.mul(term, derivative))
            derivative = self.mul(cos, self.derivative(derivative))
        return out

    def authalic(self) -> dict:
        s = self.s2
        e2 = self.trunc2(self.R2({(m[0], 0): c for m, c in self.e2().items()}))
        q = self.R2(0)
        total = self.R(0)
        power = self.R2(1)
        for m in range(self.L + 1):
            a = power * QQ(2 * m + 2, 2 * m + 1)
            q += a * s ** (2 * m + 1)
            total += self.R({(mm[0],): c for mm, c in a.items()})
            power = self.trunc2(power * e2)
        ratio = self.trunc2(q * self.R2({(m[0], 0): c for m, c in self.inverse(total).items()}))
        eps = ratio - s
        R, r = (eps).div(s * (1 - s**2))
        assert r == 0, "eps is not divisible by s cos^2"
        # asin^(j)(s) = P_j(s) / c^(2j - 1);  P_(j+1) = P_j' (1 - s^2) + (2j - 1) s P_j.
        P = self.R2(1)
        total_t = self.R2(0)
        term = self.R2(1)
        for j in range(1, self.L + 1):
            term = self.trunc2(term * s * R) * QQ(1, j)
            total_t += self.trunc2(term * P)
            P = P.diff(s) * (1 - s**2) + (2 * j - 1) * s * P
        return self.mul(self.from_s(total_t), {("c", 1): self.R(1)})

    # -- reversion and composition --
    def revert(self, A: dict) -> dict:
        """B with zeta = eta + B(eta) where eta = zeta + A(zeta) (Lagrange)."""
        out: dict = {}
        power = {("c", 0): self.R(1)}
        for j in range(1, self.L + 1):
            power = self.mul(power, A)
            d = power
            for _ in range(j - 1):
                d = self.derivative(d)
            out = self.add(out, self.scale(d, QQ((-1) ** j, math.factorial(j))))
        return out

    def compose(self, B: dict, A: dict) -> dict:
        """Y - X as a function of X, for phi = X + B(X) and Y = phi + A(phi)."""
        out = dict(B)
        power = {("c", 0): self.R(1)}
        d = A
        for j in range(self.L + 1):
            if j:
                power = self.scale(self.mul(power, B), QQ(1, j))
                d = self.derivative(d)
            if not power or not d:
                break
            out = self.add(out, self.mul(power, d))
        return out


def derive(order: int) -> dict[tuple[str, str], list]:
    """C[k](n), k = 1..L, for every ordered pair of distinct kinds."""
    S = Series(order)
    of_phi = {
        "geodetic": {},
        "parametric": S.parametric(),
        "geocentric": S.geocentric(),
        "rectifying": S.rectifying(),
        "conformal": S.conformal(),
        "authalic": S.authalic(),
    }
    of_phi = {k: S.sine(S.odd_sine_check(v)) for k, v in of_phi.items()}
    to_phi = {k: S.sine(S.odd_sine_check(S.revert(v))) for k, v in of_phi.items()}
    pairs = {}
    for x in KINDS:
        for y in KINDS:
            if x == y:
                continue
            series = S.compose(to_phi[x], of_phi[y])
            pairs[(x, y)] = S.odd_sine_check(series)
    return pairs, S


def coefficients(poly, order: int) -> list[Fraction]:
    out = [Fraction(0)] * (order + 1)
    for (j,), c in poly.items():
        out[j] = Fraction(int(c.numerator), int(c.denominator))
    return out


def check(pairs: dict, order: int) -> None:
    """The series against the closed forms (mpmath, 40 digits) at f = 1/300 and 1/150."""
    import sys

    import mpmath

    sys.path.insert(0, str(HEADER.parents[3]))
    from testsupport import latitude_truth as lt

    mpmath.mp.dps = 40
    for f in (1 / 298.257223563, 1 / 150, 1 / 50, 1 / 20, 0.1):
        n = f / (2 - f)
        worst = 0.0
        for (x, y), cs in pairs.items():
            vals = [sum(float(c) * n**j for j, c in enumerate(coefficients(p, order))) for p in cs]
            for t in (0.1, 0.7, 1.2, 1.5):
                phi = lt.geodetic_of(x, mpmath.mpf(t), f)
                truth = lt.of_geodetic(y, phi, f)
                series = mpmath.mpf(t) + sum(
                    v * mpmath.sin(2 * (k + 1) * mpmath.mpf(t)) for k, v in enumerate(vals)
                )
                worst = max(worst, abs(float(series - truth)))
        print(f"f = {f:.6g}: worst difference from the closed forms {worst:.2e} rad")


def write(pairs: dict, order: int) -> None:
    lines = [
        "// Generated by scripts/latitude_series.py (do not edit): the Fourier series between",
        '// the auxiliary latitudes in the third flattening n, to order n^L (Karney, "On',
        '// auxiliary latitudes", Survey Review 2023, arXiv:2212.05818):',
        "//   eta = zeta + sum_{k=1..L} C[k] sin(2 k zeta),  C[k] = sum_{j=k..L} c[k][j] n^j,",
        "// for every ordered pair (zeta, eta) of distinct kinds, in the order of Kind.",
        "#ifndef QUORVANE_ELLIPSOID_KERNELS_LATITUDE_SERIES_H",
        "#define QUORVANE_ELLIPSOID_KERNELS_LATITUDE_SERIES_H",
        "",
        "namespace quorvane::ellipsoid::kernels::latitude_series {",
        "",
        f"inline constexpr int kOrder = {order};",
        f"inline constexpr int kKinds = {len(KINDS)};",
        "",
        "// kCoefficients[zeta][eta][k - 1][j]: c[k][j] (zero on the diagonal zeta == eta and",
        "// for j < k).",
        "// clang-format off",
        "inline constexpr double kCoefficients[kKinds][kKinds][kOrder][kOrder + 1] = {",
    ]
    for x in KINDS:
        lines.append("    {")
        for y in KINDS:
            lines.append(f"        // {x} -> {y}")
            lines.append("        {")
            for k in range(order):
                row = (
                    [0.0] * (order + 1)
                    if x == y
                    else [float(c) for c in coefficients(pairs[(x, y)][k], order)]
                )
                lines.append("            {" + ", ".join(repr(v) for v in row) + "},")
            lines.append("        },")
        lines.append("    },")
    lines += [
        "};",
        "// clang-format on",
        "",
        "}  // namespace quorvane::ellipsoid::kernels::latitude_series",
        "",
        "#endif  // QUORVANE_ELLIPSOID_KERNELS_LATITUDE_SERIES_H",
        "",
    ]
    HEADER.write_text("\n".join(lines))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--order", type=int, default=12)
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    start = time.perf_counter()
    pairs, _ = derive(args.order)
    print(f"derived {len(pairs)} series to n^{args.order} in {time.perf_counter() - start:.1f} s")
    write(pairs, args.order)
    if args.check:
        check(pairs, args.order)


if __name__ == "__main__":
    main()
