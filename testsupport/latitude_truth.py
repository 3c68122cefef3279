"""The auxiliary latitudes, radii and meridian distance in 40 digits (mpmath), from their
definitions: the truth for tests/test_latitudes.py, bench/latitudes_accuracy.py and the check of
the series (scripts/latitude_series.py).

Written from the closed forms (C. F. F. Karney, "On auxiliary latitudes", Survey Review 2023,
arXiv:2212.05818), independently of the module: the inverses are roots found by mpmath.
"""

from __future__ import annotations

import math

import mpmath

KINDS = ("geodetic", "parametric", "geocentric", "rectifying", "conformal", "authalic")
DPS = 40


def _shape(f: float) -> tuple:
    f = mpmath.mpf(f)
    e2 = f * (2 - f)
    ep2 = e2 / (1 - e2)
    return f, e2, mpmath.sqrt(e2), ep2


def _q(s, f):
    """q(phi) of the authalic latitude, with q(pi/2) = 2 on a sphere."""
    _, e2, e, _ = _shape(f)
    if e2 == 0:
        return 2 * s
    return (1 - e2) * (s / (1 - e2 * s * s) + mpmath.atanh(e * s) / e)


def of_geodetic(kind: str, phi, f: float):
    """The latitude of ``kind`` at geodetic latitude ``phi`` (mpf radians, |phi| <= pi/2)."""
    with mpmath.workdps(DPS + 10):
        phi = mpmath.mpf(phi)
        f_, _, _, ep2 = _shape(f)
        s, c = mpmath.sin(phi), mpmath.cos(phi)
        if kind == "geodetic":
            return +phi
        if kind == "parametric":
            return mpmath.atan2((1 - f_) * s, c)
        if kind == "geocentric":
            return mpmath.atan2((1 - f_) ** 2 * s, c)
        if kind == "conformal":
            return mpmath.atan(mpmath.sinh(isometric(phi, f)))
        if kind == "authalic":
            ratio = _q(s, f) / _q(mpmath.mpf(1), f)
            return mpmath.asin(min(max(ratio, -1), 1))
        if kind == "rectifying":
            beta = mpmath.atan2((1 - f_) * s, c)
            return mpmath.pi / 2 * mpmath.ellipe(beta, -ep2) / mpmath.ellipe(-ep2)
        raise ValueError(kind)


def geodetic_of(kind: str, x, f: float):
    """The geodetic latitude whose latitude of ``kind`` is ``x`` (|x| <= pi/2)."""
    with mpmath.workdps(DPS + 10):
        x = mpmath.mpf(x)
        f_ = mpmath.mpf(f)
        # The double nearest pi/2 stands for the pole, whatever the kind.
        if abs(x) >= mpmath.pi / 2 or abs(x) == mpmath.mpf(math.pi / 2):
            return mpmath.sign(x) * mpmath.pi / 2
        if kind == "parametric":
            return mpmath.atan2(mpmath.sin(x), (1 - f_) * mpmath.cos(x))
        if kind == "geocentric":
            return mpmath.atan2(mpmath.sin(x), (1 - f_) ** 2 * mpmath.cos(x))
        if x == 0:
            return mpmath.mpf(0)
        # The root in phi, bracketed: every latitude increases with phi and keeps its sign.
        sign = 1 if x > 0 else -1
        x = abs(x)

        def g(p):
            return of_geodetic(kind, p, f) - x

        lo, hi = mpmath.mpf(0), mpmath.pi / 2
        p = x
        for _ in range(200):  # Newton by secant steps inside the bracket
            v = g(p)
            if v == 0:
                break
            if v > 0:
                hi = p
            else:
                lo = p
            h = max(abs(p), mpmath.mpf(1e-30)) * mpmath.mpf(10) ** (-(DPS // 2))
            d = (g(p + h) - v) / h if p + h < mpmath.pi / 2 else (v - g(p - h)) / h
            step = v / d if d != 0 else 0
            q = p - step
            if not (lo < q < hi):
                q = (lo + hi) / 2
            if abs(q - p) <= abs(p) * mpmath.mpf(10) ** (-(DPS + 5)):
                p = q
                break
            p = q
        return sign * p


def convert(x, source: str, target: str, f: float):
    return of_geodetic(target, geodetic_of(source, x, f), f)


def isometric(phi, f: float):
    """psi = asinh(tan(phi)) - e atanh(e sin(phi)); +-inf at the poles."""
    with mpmath.workdps(DPS + 10):
        phi = mpmath.mpf(phi)
        if abs(phi) >= mpmath.pi / 2:
            return mpmath.sign(phi) * mpmath.inf
        _, _, e, _ = _shape(f)
        return mpmath.asinh(mpmath.tan(phi)) - e * mpmath.atanh(e * mpmath.sin(phi))


def radii(phi, f: float, a: float = 1.0) -> tuple:
    """(meridional M, prime vertical N, gaussian sqrt(M N), geocentric distance)."""
    with mpmath.workdps(DPS + 10):
        phi = mpmath.mpf(phi)
        a = mpmath.mpf(a)
        _, e2, _, _ = _shape(f)
        s, c = mpmath.sin(phi), mpmath.cos(phi)
        w2 = 1 - e2 * s * s
        N = a / mpmath.sqrt(w2)
        M = a * (1 - e2) / (w2 * mpmath.sqrt(w2))
        r = N * mpmath.sqrt(c * c + (1 - e2) ** 2 * s * s)
        return M, N, mpmath.sqrt(M * N), r


def meridian_distance(phi, f: float, a: float = 1.0):
    """The arc of the meridian from the equator: b E(beta, -e'^2)."""
    with mpmath.workdps(DPS + 10):
        f_, _, _, ep2 = _shape(f)
        phi = mpmath.mpf(phi)
        beta = mpmath.atan2((1 - f_) * mpmath.sin(phi), mpmath.cos(phi))
        return mpmath.mpf(a) * (1 - f_) * mpmath.ellipe(beta, -ep2)


def rectifying_radius(f: float, a: float = 1.0):
    with mpmath.workdps(DPS + 10):
        f_, _, _, ep2 = _shape(f)
        return mpmath.mpf(a) * (1 - f_) * mpmath.ellipe(-ep2) * 2 / mpmath.pi


def authalic_radius(f: float, a: float = 1.0):
    with mpmath.workdps(DPS + 10):
        return mpmath.mpf(a) * mpmath.sqrt(_q(mpmath.mpf(1), f) / 2)


def split(x) -> tuple[float, float]:
    """x as hi + lo, two doubles (some 32 digits)."""
    hi = float(x)
    if not mpmath.isfinite(x):
        return hi, 0.0
    return hi, float(x - hi)
