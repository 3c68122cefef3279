"""Worst errors of lla_from_pos in the protected band and of aer_coords, on a million points
per region, the methods and the vectorised path side by side, against an extended-precision
truth: the bounds the documentation promises there come from here (outside the band:
bench.lla_outside_band).

    python -m bench.dense_accuracy [--points N] [--seed S] [--check M]   # from the repo top

The truth is computed in the x87 80-bit format (numpy.longdouble: a 64-bit significand, so
2^-64 relative, about 1/2000 of a unit "u" of 2.2e-16 max(Re, |r|)) from the geometry alone:
the geodetic latitude is the root of the foot-of-normal equation

    g(phi) = rho sin(phi) - z cos(phi) - Re e^2 sin(phi) cos(phi) / W,  W = sqrt(1 - e^2 sin^2 phi)

by Newton steps from the double result until they stop moving it, the altitude
rho cos(phi) + z sin(phi) - Re W at that root; the observations take the observer's position
and frame, the offset, its range and elevation in the same format. ``--check M`` compares M
points of every region with the 60-digit decimals of bench.accuracy (testsupport.reference),
which must agree to 1e-17 rad and 0.01 u. The regions keep away from the centre of
curvature, where the foot is not unique (bench.lla_outside_band samples it with decimals).
"""

from __future__ import annotations

import argparse
import math

import numpy as np

from quorvane.mathtools.ellipsoid import fast
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

L = np.longdouble
RE, F = 6378137.0, 1 / 298.257223563
EPS = 2.0**-52  # the unit: EPS max(Re, |r|)
if np.finfo(L).nmant < 63:
    raise SystemExit("bench.dense_accuracy needs an 80-bit long double (x86-64)")


def truth_lla(Re: float, f: float, r: np.ndarray, start: np.ndarray) -> tuple[np.ndarray, ...]:
    """Latitude and altitude (long double) of the rows of r, by Newton steps from ``start``."""
    a, e2 = L(Re), L(f) * (L(2) - L(f))
    x, y, z = (r[:, k].astype(L) for k in range(3))
    rho = np.hypot(x, y)
    phi = start.astype(L)
    for _ in range(6):
        s, c = np.sin(phi), np.cos(phi)
        w = np.sqrt(L(1) - e2 * s * s)
        g = rho * s - z * c - a * e2 * s * c / w
        dg = rho * c + z * s - a * e2 * ((c * c - s * s) / w + e2 * s * s * c * c / w**3)
        phi = phi - g / dg
    s, c = np.sin(phi), np.cos(phi)
    return phi, rho * c + z * s - a * np.sqrt(L(1) - e2 * s * s)


def truth_aer(Re: float, f: float, r: np.ndarray, obs: tuple[float, float, float]):
    """Elevation and range (long double) of the rows of r seen from the observer ``obs``."""
    a, e2 = L(Re), L(f) * (L(2) - L(f))
    lat, lon, alt = (L(v) for v in obs)
    sl, cl, so, co = np.sin(lat), np.cos(lat), np.sin(lon), np.cos(lon)
    n = a / np.sqrt(L(1) - e2 * sl * sl)
    o = np.array([(n + alt) * cl * co, (n + alt) * cl * so, (n * (L(1) - e2) + alt) * sl])
    d = r.astype(L) - o
    east = -so * d[:, 0] + co * d[:, 1]
    north = -sl * co * d[:, 0] - sl * so * d[:, 1] + cl * d[:, 2]
    up = cl * co * d[:, 0] + cl * so * d[:, 1] + sl * d[:, 2]
    return np.arctan2(up, np.hypot(east, north)), np.sqrt(east * east + north * north + up * up)


def _positions(rng, e: Ellipsoid, n: int, lat_range, alt_range) -> np.ndarray:
    lat = rng.uniform(*lat_range, n) * rng.choice([-1.0, 1.0], n)
    lon = rng.uniform(-math.pi, math.pi, n)
    return e.pos_from_lla(lat, lon, rng.uniform(*alt_range, n))


def _band(Re: float, f: float) -> tuple[float, float]:
    """The protected band's altitudes on this ellipsoid (1e6 m on the Earth, scaled by Re),
    no deeper than half the normal's length from the foot to the equatorial plane, where every
    point keeps the foot of its own quadrant."""
    top = 1e6 / RE * Re
    return -min(top, 0.5 * Re * (1 - f) ** 2), top


# (label, Re, f, latitude range, altitude range): the protected band of each ellipsoid, where
# the methods keep the formula's bits (outside it: bench.lla_outside_band).
LLA_REGIONS = [
    (f"{name}, |lat| <= 1.5, the band's altitudes", Re, f, (0, 1.5), _band(Re, f))
    for name, Re, f in (
        ("WGS84", RE, F),
        ("f = 1/50", RE, 1 / 50),
        ("f = 0.1", RE, 0.1),
        ("f = 0.5", RE, 0.5),
        ("f = 0.9", RE, 0.9),
        ("WGS84 shape, Re = 1 m", 1.0, F),
    )
]


def lla_errors(e: Ellipsoid, r: np.ndarray, got) -> tuple[float, float]:
    """Worst latitude error (rad) and altitude error (u) of the LLA records ``got``."""
    lat, alt = truth_lla(e.Re, e.f, r, got["lat"])
    unit = EPS * np.maximum(e.Re, np.linalg.norm(r, axis=1))
    d_lat = np.abs(got["lat"].astype(L) - lat)
    d_alt = np.abs(got["alt"].astype(L) - alt) / unit
    return float(np.max(d_lat)), float(np.max(d_alt))


def aer_errors(e: Ellipsoid, r: np.ndarray, obs, got) -> tuple[float, float, float]:
    """Worst elevation error, in rad and in u (EPS (1 + max(Re, |r_obs|) / range): a unit of
    the observer's position seen from the target, and a unit of the angle), and worst range
    error (u of max(Re, range)) of the AER records."""
    el, rg = truth_aer(e.Re, e.f, r, obs)
    d_el = np.abs(got["elevation"].astype(L) - el)
    r_obs = np.linalg.norm(e.pos_from_lla(*obs))
    return (
        float(np.max(d_el)),
        float(np.max(d_el / (EPS * (1 + max(e.Re, r_obs) / rg)))),
        float(np.max(np.abs(got["range"].astype(L) - rg) / (EPS * np.maximum(e.Re, rg)))),
    )


def check_against_decimals(rng, m: int) -> None:
    """The long-double truth against bench.accuracy's 60-digit one on m points per region."""
    import mpmath as mp

    from testsupport import reference as ref

    mp.mp.dps = 40
    for label, Re, f, lats, alts in LLA_REGIONS:
        e = Ellipsoid(Re, f)
        r = _positions(rng, e, m, lats, alts)
        lat, alt = truth_lla(Re, f, r, e.lla_from_pos(r)["lat"])
        d_lat = d_alt = 0.0
        for k, p in enumerate(r.tolist()):
            _, exact_lat, exact_alt = ref.foot_exact(Re, f, *p)
            unit = EPS * max(Re, math.hypot(*p))
            # str gives the shortest decimal that reads back as the same long double.
            d_lat = max(d_lat, float(abs(mp.mpf(str(lat[k])) - exact_lat)))
            d_alt = max(d_alt, float(abs(mp.mpf(str(alt[k])) - exact_alt)) / unit)
        print(f"check {label}: {d_lat:.1e} rad, {d_alt:.1e} u")
        if d_lat > 1e-17 or d_alt > 0.01:
            raise SystemExit(f"the long-double truth is off in {label}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--check", type=int, default=0, metavar="M")
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    if args.check:
        check_against_decimals(rng, args.check)
    n = args.points
    print(f"{n} points per region; level {fast.level()}")
    print()
    print("| lla_from_pos region | methods: lat, alt | fast: lat, alt |")
    print("|---|---|---|")
    for label, Re, f, lats, alts in LLA_REGIONS:
        e = Ellipsoid(Re, f)
        r = _positions(rng, e, n, lats, alts)
        cells = []
        for got in (e.lla_from_pos(r), fast.lla_from_pos(e, r)):
            d_lat, d_alt = lla_errors(e, r, got)
            cells.append(f"{d_lat:.2e} rad, {d_alt:.2f} u")
        print(f"| {label} | " + " | ".join(cells) + " |")
    print()
    print("| aer_coords region | methods: elevation, range | fast: elevation, range |")
    print("|---|---|---|")
    e = Ellipsoid(RE, F)
    for label, dist in (
        ("WGS84, all elevations, 1 km .. 4e7 m away", (1e3, 4e7)),
        ("WGS84, all elevations, 4e7 .. 1e9 m away", (4e7, 1e9)),
    ):
        obs = (0.7, -1.2, 350.0)
        origin = e.pos_from_lla(*obs)
        d = rng.normal(size=(n, 3))
        d /= np.linalg.norm(d, axis=1)[:, None]
        r = origin + d * rng.uniform(*dist, (n, 1))
        cells = []
        for got in (e.aer_coords(r, *obs), fast.aer_coords(e, r, *obs)):
            d_el, u_el, d_rg = aer_errors(e, r, obs, got)
            cells.append(f"{d_el:.2e} rad ({u_el:.2f} u), {d_rg:.2f} u")
        print(f"| {label} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
