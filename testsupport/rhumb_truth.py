"""Rhumb-line truth to 40 digits with mpmath, from the definitions and apart from the kernels'
formulation (no divided differences, no series): the isometric latitude
psi = asinh(tan phi) - e atanh(e sin phi), the meridian distance m as the integral of the
meridional radius a (1 - e^2) / (1 - e^2 sin^2 phi)^(3/2), and

    tan(alpha) = lambda12 / psi12,  s12 = m12 / cos(alpha) = hypot(psi12, lambda12) m12 / psi12
    (lambda12 N cos(phi) along a parallel),
    S12 = (lambda12 / psi12) integral A(phi) dpsi,  A(phi) = b^2/2 (sin phi / (1 - e^2 sin^2 phi)
          + atanh(e sin phi) / e),

A(phi) the area between the equator and the parallel per radian of longitude (A(phi) itself
along a parallel). At 40 digits the quotients of differences keep 20 and more even where the
double inputs differ by one unit. Shared by tests/test_rhumb.py and bench/rhumb_accuracy.py;
not part of the package. Radians and metres.
"""

from __future__ import annotations

import math

import mpmath as mp

DPS = 40
KINDS = ("random", "east-west", "antimeridian", "short", "polar")


def lines(kind: str, rng, n: int):
    """n lines (lat1, lon1, lat2, lon2), radians, of one kind: random; east-west (within 1e-17
    to 1e-9 rad of due east or west, a third exactly along a parallel); across the
    antimeridian; short (1e-9 to 1e-3 rad); from next to a pole (1e-9 to 1e-2 rad)."""
    import numpy as np

    lat1, lat2 = np.arcsin(rng.uniform(-1, 1, (2, n)))
    lon1, lon2 = rng.uniform(-math.pi, math.pi, (2, n))
    if kind == "east-west":
        lat2 = lat1 + rng.normal(0, 1, n) * 10.0 ** rng.uniform(-17, -9, n)
        lat2[: n // 3] = lat1[: n // 3]
    elif kind == "antimeridian":
        lon1 = math.pi - rng.uniform(0, 0.3, n)
        lon2 = -math.pi + rng.uniform(0, 0.3, n)
    elif kind == "short":
        scale = 10.0 ** rng.uniform(-9, -3, n)
        lat2 = lat1 + rng.normal(0, 1, n) * scale
        lon2 = lon1 + rng.normal(0, 1, n) * scale
    elif kind == "polar":
        lat1 = np.sign(lat1) * (math.pi / 2 - 10.0 ** rng.uniform(-9, -2, n))
    elif kind != "random":
        raise ValueError(kind)
    half = math.pi / 2
    return np.clip(lat1, -half, half), lon1, np.clip(lat2, -half, half), lon2


class Ellipsoid:
    def __init__(self, a: float, f: float) -> None:
        with mp.workdps(DPS):
            self.a, self.f = mp.mpf(a), mp.mpf(f)
            self.e2 = self.f * (2 - self.f)
            self.e = mp.sqrt(self.e2)
            self.b = self.a * (1 - self.f)

    def psi(self, phi: mp.mpf) -> mp.mpf:
        s = mp.sin(phi)
        term = self.e * mp.atanh(self.e * s) if self.e > 0 else 0
        return mp.asinh(mp.tan(phi)) - term

    def meridian(self, phi: mp.mpf) -> mp.mpf:
        return mp.quad(
            lambda t: self.a * (1 - self.e2) / (1 - self.e2 * mp.sin(t) ** 2) ** 1.5, [0, phi]
        )

    def band(self, phi: mp.mpf) -> mp.mpf:
        """A(phi): the area between the equator and the parallel phi per radian."""
        s = mp.sin(phi)
        if self.e == 0:
            return self.a**2 * s
        return self.b**2 / 2 * (s / (1 - self.e2 * s**2) + mp.atanh(self.e * s) / self.e)

    def _area(self, phi1, phi2, lam12, dpsi):
        if phi1 == phi2:
            return lam12 * self.band(phi1)

        def integrand(t):
            s = mp.sin(t)
            return self.band(t) * (1 - self.e2) / ((1 - self.e2 * s**2) * mp.cos(t))

        return lam12 / dpsi * mp.quad(integrand, [phi1, phi2])

    def inverse(self, lat1: float, lon1: float, lat2: float, lon2: float):
        """s12, azi12, S12 for the double inputs (off the poles), the shorter way."""
        with mp.workdps(DPS):
            phi1, phi2 = mp.mpf(lat1), mp.mpf(lat2)
            lam = mp.mpf(lon2) - mp.mpf(lon1)
            lam -= 2 * mp.pi * mp.nint(lam / (2 * mp.pi))
            dpsi = self.psi(phi2) - self.psi(phi1)
            alp = mp.atan2(lam, dpsi)
            if phi1 == phi2:
                s = abs(lam) * self.a * mp.cos(phi1) / mp.sqrt(1 - self.e2 * mp.sin(phi1) ** 2)
            else:  # m12 / cos(alpha), without rounding alpha
                s = mp.hypot(dpsi, lam) * (self.meridian(phi2) - self.meridian(phi1)) / dpsi
            return s, alp, self._area(phi1, phi2, lam, dpsi)

    def direct(self, lat1: float, lon1: float, azi12: float, s12: float):
        """lat2, lon2 - lon1 (not reduced), S12 for the double inputs (lines that stay off the
        poles)."""
        with mp.workdps(DPS):
            phi1, alp, s = mp.mpf(lat1), mp.mpf(azi12), mp.mpf(s12)
            m2 = self.meridian(phi1) + s * mp.cos(alp)
            phi2 = mp.findroot(
                lambda p: self.meridian(p) - m2,
                phi1 + s * mp.cos(alp) / self.a,
                tol=mp.mpf(10) ** (4 - 2 * DPS),
            )
            if phi2 == phi1:
                lam = s * mp.sin(alp) * mp.sqrt(1 - self.e2 * mp.sin(phi1) ** 2)
                lam /= self.a * mp.cos(phi1)
                return phi2, lam, lam * self.band(phi1)
            dpsi = self.psi(phi2) - self.psi(phi1)
            lam = mp.tan(alp) * dpsi
            return phi2, lam, self._area(phi1, phi2, lam, dpsi)
