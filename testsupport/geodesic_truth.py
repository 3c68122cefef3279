"""Geodesic truth to 40 digits: the integrals of Karney (2013), "Algorithms for geodesics",
J. Geodesy 87, 43-55, evaluated with mpmath.

Shared by the tests (tests/test_geodesic.py) and the benchmarks (bench/geodesic_accuracy.py),
and not part of the package: ``testsupport.geodesic_truth``, imported from the top of the
repository, as ``testsupport.reference`` is.

On the auxiliary sphere (reduced latitude beta, arc sigma, spherical longitude
omega) a geodesic with equatorial azimuth alpha0 has, with k^2 = e'^2 cos^2 alpha0,

    s / b = E(sigma, -k^2) = integral_0^sigma sqrt(1 + k^2 sin^2 t) dt             (eq. 7)
    lambda = omega - f sin(alpha0) integral_0^sigma (2 - f) / (1 + (1 - f)
             sqrt(1 + k^2 sin^2 t)) dt                                              (eq. 8)

The direct problem evaluates them; the inverse one solves lambda12(alpha1) for
alpha1 by the secant method from a double-precision start (any good solver's),
so the truth is that of the given double inputs. Radians and metres throughout.
"""

from __future__ import annotations

import math

import mpmath as mp

DPS = 40


def _pole(lat: float) -> mp.mpf:
    """lat, with the double nearest pi/2 (the poles of the module) moved to
    within 1e-25 rad of the pole: the poles themselves leave omega undefined."""
    if abs(lat) == math.pi / 2:
        return mp.sign(lat) * (mp.pi / 2 - mp.mpf(10) ** -25)
    return mp.mpf(lat)


class Ellipsoid:
    def __init__(self, a: float, f: float) -> None:
        with mp.workdps(DPS):
            self.a = mp.mpf(a)
            self.f = mp.mpf(f)
            self.f1 = 1 - self.f
            self.b = self.a * self.f1
            self.e2 = self.f * (2 - self.f)
            self.ep2 = self.e2 / self.f1**2

    def reduced(self, lat: mp.mpf) -> mp.mpf:
        return mp.atan2(self.f1 * mp.sin(lat), mp.cos(lat))

    def _pieces(self, s1: mp.mpf, s2: mp.mpf) -> list[mp.mpf]:
        """s1, the multiples of pi/2 between, s2: where quad should split."""
        lo, hi = min(s1, s2), max(s1, s2)
        cuts = [
            mp.pi / 2 * k
            for k in range(int(mp.ceil(lo / (mp.pi / 2))), int(mp.floor(hi / (mp.pi / 2))) + 1)
        ]
        pts = [lo] + [c for c in cuts if lo < c < hi] + [hi]
        return pts if s1 <= s2 else pts[::-1]

    def i3(self, k2: mp.mpf, s1: mp.mpf, s2: mp.mpf) -> mp.mpf:
        """The integral of eq. 8 from s1 to s2; its integrand has period pi, so a long line
        (sigma runs to 1e3 rad over 1e8 m at f = 0.99) counts its whole periods once."""
        f, f1 = self.f, self.f1

        def integral(lo, hi):
            return mp.quad(
                lambda t: (2 - f) / (1 + f1 * mp.sqrt(1 + k2 * mp.sin(t) ** 2)),
                self._pieces(lo, hi),
                method="gauss-legendre",
            )

        periods = int(mp.floor(abs(s2 - s1) / mp.pi))
        if periods < 2:
            return integral(s1, s2)
        sign = 1 if s2 > s1 else -1
        return sign * periods * integral(mp.mpf(0), mp.pi) + integral(
            s1 + sign * periods * mp.pi, s2
        )

    @staticmethod
    def omega(salp0: mp.mpf, sig: mp.mpf) -> mp.mpf:
        """omega(sigma), continuous in sigma (eq. 12)."""
        if mp.cos(sig) == 0:
            sig += mp.mpf(10) ** (-DPS)
        sign = 1 if salp0 >= 0 else -1
        return mp.atan(salp0 * mp.tan(sig)) + sign * mp.pi * mp.nint(sig / mp.pi)

    def line(self, lat1: mp.mpf, alp1: mp.mpf) -> tuple[mp.mpf, mp.mpf, mp.mpf, mp.mpf]:
        """sin alpha0, cos alpha0, sigma1, k^2 of the geodesic from lat1 with azimuth alp1."""
        bet1 = self.reduced(lat1)
        salp0 = mp.sin(alp1) * mp.cos(bet1)
        calp0 = mp.hypot(mp.cos(alp1), mp.sin(alp1) * mp.sin(bet1))
        sig1 = mp.atan2(mp.sin(bet1), mp.cos(alp1) * mp.cos(bet1))
        return salp0, calp0, sig1, self.ep2 * calp0**2

    @staticmethod
    def a1(k2: mp.mpf) -> mp.mpf:
        """The mean of sqrt(1 + k^2 sin^2 t): s/b grows as a1 sigma, give or take less
        than a1 pi/2; for a strong flattening a1 is far from 1 (some 6 at f = 0.9)."""
        return 2 * mp.ellipe(-k2) / mp.pi

    def lam12(self, salp0, calp0, sig1, sig2, k2) -> mp.mpf:
        omg12 = self.omega(salp0, sig2) - self.omega(salp0, sig1)
        return omg12 - self.f * salp0 * self.i3(k2, sig1, sig2)

    def direct(self, lat1: float, azi1: float, s12: float) -> tuple[mp.mpf, mp.mpf, mp.mpf]:
        """lat2, lon2 - lon1 (not reduced) and azi2 for the double inputs."""
        with mp.workdps(DPS):
            lat1, alp1, s12 = mp.mpf(lat1), mp.mpf(azi1), mp.mpf(s12)
            salp0, calp0, sig1, k2 = self.line(lat1, alp1)
            target = mp.ellipe(sig1, -k2) + s12 / self.b
            sig2 = mp.findroot(
                lambda s: mp.ellipe(s, -k2) - target,
                sig1 + s12 / (self.b * self.a1(k2)),
                tol=mp.mpf(10) ** (4 - 2 * DPS),
            )
            bet2 = mp.atan2(calp0 * mp.sin(sig2), mp.hypot(salp0, calp0 * mp.cos(sig2)))
            lat2 = mp.atan2(mp.sin(bet2), self.f1 * mp.cos(bet2))
            alp2 = mp.atan2(salp0, calp0 * mp.cos(sig2))
            return lat2, self.lam12(salp0, calp0, sig1, sig2, k2), alp2

    def _arc(self, lat1, alp1, lat2, calp2_sign, sig12_guess):
        """sin alpha0, ..., sigma2: the arc to lat2 on the branch of the guess."""
        salp0, calp0, sig1, k2 = self.line(lat1, alp1)
        bet2 = self.reduced(lat2)
        # cos^2 beta2 - sin^2 alpha0, written without cancellation (it may be 1e-18).
        bet1 = self.reduced(lat1)
        d = (mp.cos(alp1) * mp.cos(bet1)) ** 2 + (mp.sin(bet1) - mp.sin(bet2)) * (
            mp.sin(bet1) + mp.sin(bet2)
        )
        calp2 = calp2_sign * mp.sqrt(max(mp.mpf(0), d)) / mp.cos(bet2)
        base = mp.atan2(mp.sin(bet2), calp2 * mp.cos(bet2))
        turns = mp.nint((sig1 + sig12_guess - base) / (2 * mp.pi))
        return salp0, calp0, sig1, base + 2 * mp.pi * turns, k2

    def _refine(self, lat1, lon1, lat2, lon2, azi1, azi2, s12):
        """The shortest arc for the double inputs, refined from a double solution (azi1,
        azi2, s12): None along the equator, else (alpha1, (sin alpha0, cos alpha0, sigma1,
        sigma2, k^2)), and the longitude difference."""
        lat1, lat2 = _pole(lat1), _pole(lat2)
        lam = mp.mpf(lon2) - mp.mpf(lon1)
        lam -= 2 * mp.pi * mp.nint(lam / (2 * mp.pi))
        if lat1 == 0 and lat2 == 0 and abs(lam) <= self.f1 * mp.pi:
            return None, lam  # along the equator, shortest up to (1 - f) pi
        sign = 1 if mp.cos(azi2) >= 0 else -1
        sig12_guess = mp.mpf(s12) / (self.b * self.a1(self.line(lat1, mp.mpf(azi1))[3]))

        def residual(alp1):
            salp0, calp0, sig1, sig2, k2 = self._arc(lat1, alp1, lat2, sign, sig12_guess)
            d = self.lam12(salp0, calp0, sig1, sig2, k2) - lam
            return d - 2 * mp.pi * mp.nint(d / (2 * mp.pi))

        a0 = mp.mpf(azi1)
        alp1 = mp.findroot(
            residual,
            (a0, a0 + mp.mpf(1e-18)),
            solver="secant",
            tol=mp.mpf(10) ** (-2 * DPS),
            verify=False,
        )
        if abs(residual(alp1)) > mp.mpf(10) ** -19:  # 1e-19 rad of longitude: ample
            raise ArithmeticError("the truth's secant iteration did not converge")
        return (alp1, self._arc(lat1, alp1, lat2, sign, sig12_guess)), lam

    def inverse(
        self,
        lat1: float,
        lon1: float,
        lat2: float,
        lon2: float,
        azi1: float,
        azi2: float,
        s12: float,
    ) -> tuple[mp.mpf, mp.mpf, mp.mpf]:
        """s12, azi1, azi2 for the double inputs, refined from a double solution (azi1, azi2, s12)."""
        with mp.workdps(DPS):
            solved, lam = self._refine(lat1, lon1, lat2, lon2, azi1, azi2, s12)
            if solved is None:  # along the equator: arc a lambda
                alp = mp.pi / 2 if lam >= 0 else -mp.pi / 2
                return self.a * abs(lam), alp, alp
            alp1, (salp0, calp0, sig1, sig2, k2) = solved
            s = self.b * (mp.ellipe(sig2, -k2) - mp.ellipe(sig1, -k2))
            alp2 = mp.atan2(salp0, calp0 * mp.cos(sig2))
            return s, alp1, alp2

    def _scales(self, sig1, sig2, k2) -> tuple[mp.mpf, mp.mpf, mp.mpf, mp.mpf]:
        """a12 (radians), m12, M12, M21 between sigma1 and sigma2 of the geodesic of k^2: the
        reduced length of eq. 38, m12 = b (w2 cos s1 sin s2 - w1 sin s1 cos s2 - cos s1 cos s2
        (J2 - J1)), with w = sqrt(1 + k^2 sin^2 sigma) and J = E(sigma, -k^2) - F(sigma, -k^2)
        (eq. 41), and the geodesic scales as the Jacobi equation's solutions of value 1 and
        slope 0 at either end."""
        w1, w2 = mp.sqrt(1 + k2 * mp.sin(sig1) ** 2), mp.sqrt(1 + k2 * mp.sin(sig2) ** 2)

        def jay(s):
            return mp.ellipe(s, -k2) - mp.ellipf(s, -k2)

        j12 = jay(sig2) - jay(sig1)
        s1, c1, s2, c2 = mp.sin(sig1), mp.cos(sig1), mp.sin(sig2), mp.cos(sig2)
        m12 = self.b * (w2 * c1 * s2 - w1 * s1 * c2 - c1 * c2 * j12)
        M12 = c1 * c2 + (w2 / w1) * s1 * s2 - s1 * c2 * j12 / w1
        M21 = c1 * c2 + (w1 / w2) * s1 * s2 + c1 * s2 * j12 / w2
        return sig2 - sig1, m12, M12, M21

    def inverse_scales(self, lat1, lon1, lat2, lon2, azi1, azi2, s12):
        """a12, m12, M12, M21 of the shortest geodesic, refined from a double solution as
        inverse is."""
        with mp.workdps(DPS):
            solved, lam = self._refine(lat1, lon1, lat2, lon2, azi1, azi2, s12)
            if solved is None:  # along the equator: sigma = omega = lambda / (1 - f)
                sig12 = abs(lam) / self.f1
                return sig12, self.b * mp.sin(sig12), mp.cos(sig12), mp.cos(sig12)
            _, (_, _, sig1, sig2, k2) = solved
            return self._scales(sig1, sig2, k2)

    def direct_scales(self, lat1, azi1, s12):
        """a12, m12, M12, M21 of the direct problem for the double inputs."""
        with mp.workdps(DPS):
            lat1, alp1, s12 = mp.mpf(lat1), mp.mpf(azi1), mp.mpf(s12)
            _, _, sig1, k2 = self.line(lat1, alp1)
            target = mp.ellipe(sig1, -k2) + s12 / self.b
            sig2 = mp.findroot(
                lambda s: mp.ellipe(s, -k2) - target,
                sig1 + s12 / (self.b * self.a1(k2)),
                tol=mp.mpf(10) ** (4 - 2 * DPS),
            )
            return self._scales(sig1, sig2, k2)

    def edge_area(self, lat1, lon1, lat2, lon2, azi1, azi2, s12) -> mp.mpf:
        """The area between the equator and the shortest geodesic from point 1 to point 2,
        counted as the integral of A(phi) dlambda along it (negative going east in the
        northern hemisphere), where A(phi) = b^2 (sin phi / (1 - e^2 sin^2 phi) +
        atanh(e sin phi) / e) / 2 is the area between the equator and the parallel phi
        per radian of longitude. On the auxiliary sphere dlambda/dsigma = (1 - f)
        sin(alpha0) sqrt(1 + k^2 sin^2 sigma) / cos^2(beta). Refined from a double solution
        as inverse is; a formulation apart from the kernels' (c^2 alpha + I4)."""
        with mp.workdps(DPS):
            solved, _ = self._refine(lat1, lon1, lat2, lon2, azi1, azi2, s12)
            if solved is None:
                return mp.mpf(0)
            _, (salp0, calp0, sig1, sig2, k2) = solved
            e = mp.sqrt(self.e2)

            def integrand(t):
                sb = calp0 * mp.sin(t)
                cb2 = 1 - sb**2
                phi = mp.atan2(sb, self.f1 * mp.sqrt(cb2))
                s = mp.sin(phi)
                area = self.b**2 * (s / (1 - self.e2 * s**2) + mp.atanh(e * s) / e) / 2
                return area * self.f1 * salp0 * mp.sqrt(1 + k2 * mp.sin(t) ** 2) / cb2

            return -mp.quad(integrand, self._pieces(sig1, sig2), method="gauss-legendre")


def pairs(region: str, rng, n: int):
    """n pairs of points (lat1, lon1, lat2, lon2), radians, of a region of the
    inverse problem: random on the ellipsoid, nearly antipodal, equatorial,
    meridional, near the poles, short (down to coincident)."""
    import numpy as np

    lat1 = np.arcsin(rng.uniform(-1, 1, n))
    lon1 = rng.uniform(-np.pi, np.pi, n)
    lat2 = np.arcsin(rng.uniform(-1, 1, n))
    lon2 = rng.uniform(-np.pi, np.pi, n)
    if region == "antipodal":
        lat2 = np.clip(
            -lat1 + rng.normal(0, 0.01, n) * 10.0 ** rng.uniform(-3, 0, n), -np.pi / 2, np.pi / 2
        )
        lon2 = lon1 + np.pi + rng.normal(0, 0.01, n) * 10.0 ** rng.uniform(-3, 0, n)
    elif region == "equatorial":
        lat1 = rng.normal(0, 1e-9, n) * (rng.uniform(size=n) < 0.5)
        lat2 = rng.normal(0, 1e-9, n) * (rng.uniform(size=n) < 0.5)
    elif region == "meridional":
        lon2 = lon1 + np.pi * (rng.uniform(size=n) < 0.5)
    elif region == "polar":
        lat1 = np.sign(rng.uniform(-1, 1, n)) * (np.pi / 2 - 10.0 ** rng.uniform(-9, -2, n))
        lat2[: n // 2] = -lat1[: n // 2] * rng.uniform(0.999, 1, n // 2)
    elif region == "short":
        scale = 10.0 ** rng.uniform(-12, -3, n)
        lat2 = np.clip(lat1 + rng.normal(0, 1, n) * scale, -np.pi / 2, np.pi / 2)
        lon2 = lon1 + rng.normal(0, 1, n) * scale
        lat2[: n // 8], lon2[: n // 8] = lat1[: n // 8], lon1[: n // 8]
    elif region != "random":
        raise ValueError(region)
    return lat1, lon1, lat2, lon2
