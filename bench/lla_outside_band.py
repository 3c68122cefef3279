"""Measured accuracy of lla_from_pos outside the protected band (|lat| <= 1.5 rad, |alt| <=
1e6 m on the Earth), 10^6 points per region, for the methods and for `fast`.

    python -m bench.lla_outside_band [--points N] [--check M] [--out FILE]   # from the repo top

The truth is built, not solved: for random geodetic (lat, lon, alt), the latitude off the grid
of doubles by a random fraction of a unit, the position is computed in x87 extended precision
(numpy.longdouble, 64-bit significand: sinl, cosl and sqrtl of glibc, within a unit of 2^-64),
r = ((N + h) cos lat cos lon, (N + h) cos lat sin lon, (N (1 - e^2) + h) sin lat),
N = a / sqrt(1 - e^2 sin^2 lat), and rounded to doubles. The rounding d = r - r_rounded (exact
in extended precision) moves the truth of the double r to first order: alt' = alt - n.d and
lat' = lat - t.d / (M + alt), with n the unit normal, t the unit north tangent and
M = a (1 - e^2) / W^3 the meridian radius of curvature; the second-order term |d|^2 / (M + alt)
is below 1e-32 of |r|. No point lies deeper than N (1 - e^2) / 2 (half-way from the foot to the
equatorial plane along the normal, short of the centre of curvature): each stays in its quadrant,
outside the evolute, and the foot built is its nearest one. Where that construction cannot reach
(next to the centre, inside the evolute, and f near 1, where extended precision does not carry
enough digits) the truth is mpmath's on fewer points (--exact).
The construction is checked against mpmath (testsupport/reference.py, foot_exact) on M points
per region (--check; the largest difference between the two truths is printed).

Columns: the worst latitude error (rad) and altitude error ("u": 2.2e-16 max(Re, |r|)), of
the methods (Ellipsoid.lla_from_pos) and of fast.lla_from_pos, over the region's points.
"""

from __future__ import annotations

import argparse
import math
import sys
from pathlib import Path

import numpy as np

from quorvane.mathtools.ellipsoid import fast
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid
from testsupport import reference as ref

RE, WGS84_F = 6378137.0, 1 / 298.257223563
EPS = 2.0**-52
LD = np.longdouble


def build(rng, Re, f, n, lat_range, alt_range):
    """n double positions with their truth (lat, alt) in extended precision; alt_range in
    units of Re."""
    # The latitude off the grid of doubles by up to half a unit (in extended precision), so
    # that the true latitude of the rounded position is not a double plus a tiny correction.
    lat = rng.uniform(*lat_range, n) * rng.choice([-1.0, 1.0], n)
    lat = lat.astype(LD) + LD(0.5) * rng.uniform(-1, 1, n).astype(LD) * np.spacing(lat)
    lon = rng.uniform(-math.pi, math.pi, n)
    # 1 - e^2 = (1 - f)^2, and W^2 = cos^2 + (1 - f)^2 sin^2, without cancellation (f near 1)
    a, om2 = LD(Re), (1 - LD(f)) ** 2
    sl, cl = np.sin(lat), np.cos(lat)
    so, co = np.sin(lon.astype(LD)), np.cos(lon.astype(LD))
    w = np.sqrt(cl * cl + om2 * sl * sl)
    # Below the surface no deeper than half of b^2 / (a W) = N (1 - e^2), the normal's length
    # from the foot to the equatorial plane (less than the radius of curvature M): the point
    # stays in its quadrant, outside the evolute, and the foot built is the nearest one.
    low = np.maximum(alt_range[0], -0.5 * ((1 - f) ** 2 / w).astype(float))
    alt = (low + rng.uniform(0, 1, n) * (alt_range[1] - low)) * Re
    N = a / w
    h = alt.astype(LD)
    exact = np.stack([(N + h) * cl * co, (N + h) * cl * so, (N * om2 + h) * sl], axis=1)
    r = exact.astype(float)
    d = exact - r.astype(LD)
    normal = np.stack([cl * co, cl * so, sl], axis=1)
    north = np.stack([-sl * co, -sl * so, cl], axis=1)
    M = a * om2 / (w * w * w)
    true_alt = h - (normal * d).sum(axis=1)
    true_lat = lat - (north * d).sum(axis=1) / (M + h)
    return r, true_lat, true_alt


def regions(Re, f):
    """(label, lat range, alt range in units of Re) outside the band, on this ellipsoid."""
    m_eq = (1 - f) ** 2  # the smallest meridian radius of curvature (at the equator)
    band_alt = 1e6 / RE
    out = [
        ("\\|lat\\| <= 1.5, alt 1e6 .. 4e7 m", (0, 1.5), (band_alt, 4e7 / RE)),
        ("\\|lat\\| 1.5 .. pi/2, \\|alt\\| <= 1e6 m", (1.5, math.pi / 2), (-band_alt, band_alt)),
    ]
    if m_eq / 2 > band_alt:
        out.append(
            ("\\|lat\\| <= 1.5, alt -1e6 m down to -N (1 - e^2) / 2", (0, 1.5), (-1, -band_alt))
        )
    return out


ELLIPSOIDS = [
    ("sphere", 6371000.0, 0.0),
    ("WGS84", RE, WGS84_F),
    ("f = 0.1", RE, 0.1),
    ("f = 0.5", RE, 0.5),
    ("f = 0.9", RE, 0.9),
    ("f = 0.99", RE, 0.99),
    ("WGS84 shape, Re = 1e-300 m", 1e-300, WGS84_F),
    ("WGS84 shape, Re = 1e300 m", 1e300, WGS84_F),
]


def errors(Re, r, lla, true_lat, true_alt):
    lat = np.abs(lla["lat"].astype(LD) - true_lat).astype(float)
    scale = np.maximum(Re, np.linalg.norm(r / Re, axis=1) * Re)  # no overflow or underflow
    alt = (np.abs(lla["alt"].astype(LD) - true_alt) / (LD(EPS) * scale.astype(LD))).astype(float)
    return lat.max(), alt.max()


def _mp(x):
    """An extended-precision number as mpmath's, exactly (two doubles)."""
    import mpmath as mp

    hi = float(x)
    with mp.workdps(40):
        return mp.mpf(hi) + mp.mpf(float(x - LD(hi)))


def check(Re, f, r, true_lat, true_alt, m):
    """The largest difference of the constructed truth from mpmath's (lat rad, alt u)."""
    import mpmath as mp

    worst_lat = worst_alt = 0.0
    for i in range(min(m, len(r))):
        _, lat, alt = ref.foot_exact(Re, f, *r[i].tolist())
        scale = max(Re, float(np.linalg.norm(r[i] / Re)) * Re)
        with mp.workdps(40):
            worst_lat = max(worst_lat, abs(float(lat - _mp(true_lat[i]))))
            worst_alt = max(worst_alt, abs(float(alt - _mp(true_alt[i]))) / (EPS * scale))
    return worst_lat, worst_alt


def _shell(rng, n, r_low, r_high):
    d = rng.normal(size=(n, 3))
    d /= np.linalg.norm(d, axis=1)[:, None]
    return d * 10.0 ** rng.uniform(math.log10(r_low), math.log10(r_high), (n, 1))


def exact_regions(rng, n):
    """Regions the construction cannot reach (inside the evolute, next to the centre): points
    whose truth is mpmath's (reference.py, foot_exact), n of them."""
    yield "WGS84, \\|r\\| 1 km .. 100 km", RE, WGS84_F, _shell(rng, n, 1e3, 1e5)
    yield "WGS84, \\|r\\| 1e-300 .. 1 m", RE, WGS84_F, _shell(rng, n, 1e-300, 1.0)
    for f, name in (
        (0.5, "0.5"),
        (0.99, "0.99"),
        (1 - 1e-9, "1 - 1e-9"),
        (1 - 2.0**-53, "1 - 2^-53"),
    ):
        yield f"f = {name}, \\|r\\| 1e-3 .. 10 Re", RE, f, _shell(rng, n, 1e-3 * RE, 10 * RE)
    # extended precision cannot build these: at the rim of a disc the latitude moves 5e6 times
    # as much as the reduced latitude
    for f, name in ((1 - 1e-9, "1 - 1e-9"), (1 - 2.0**-53, "1 - 2^-53")):
        b = (1 - f) * RE
        rim = _shell(rng, n, 1.0, 1.0)
        rim[:, :2] /= np.linalg.norm(rim[:, :2], axis=1)[:, None]
        rim[:, :2] *= RE + rng.uniform(-1e6, 1e6, (n, 1))
        rim[:, 2] = rng.uniform(-1e6, 1e6, n) + np.sign(rng.uniform(-1, 1, n)) * b
        yield f"f = {name}, at the rim, within 1e6 m", RE, f, rim


def exact_truth(Re, f, r):
    """mpmath's (lat, alt) of each point, None inside the band (the formula's bits there)."""
    out = []
    for p in r.tolist():
        _, lat, alt = ref.foot_exact(Re, f, *p)
        inside = abs(lat) <= 1.5 and abs(alt) <= 1e6 * Re / RE
        out.append(None if inside else (lat, alt))
    return out


def exact_errors(Re, r, lla, truth):
    """Worst errors (lat rad, alt u) over the points outside the band."""
    worst_lat = worst_alt = 0.0
    for p, lat, alt, t in zip(r.tolist(), lla["lat"].tolist(), lla["alt"].tolist(), truth):
        if t is None:
            continue
        scale = max(Re, math.hypot(*p))
        worst_lat = max(worst_lat, abs(float(lat - t[0])))
        worst_alt = max(worst_alt, abs(float(alt - t[1])) / (EPS * scale))
    return worst_lat, worst_alt


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--check", type=int, default=200)
    parser.add_argument("--exact", type=int, default=2000, help="points per mpmath region")
    parser.add_argument("--seed", type=int, default=32)
    parser.add_argument("--out", type=Path, default=None)
    args = parser.parse_args()
    if np.finfo(LD).nmant < 63:
        sys.exit("numpy.longdouble is not x87 extended precision here: no truth")
    rng = np.random.default_rng(args.seed)
    lines = [
        f"lla_from_pos outside the protected band, {args.points} points per region",
        "",
        "| region | methods: lat | methods: alt | fast: lat | fast: alt | truth vs mpmath |",
        "|---|---|---|---|---|---|",
    ]
    print("\n".join(lines), flush=True)
    for name, Re, f in ELLIPSOIDS:
        e = Ellipsoid(Re, f)
        for label, lat_range, alt_range in regions(Re, f):
            r, true_lat, true_alt = build(rng, Re, f, args.points, lat_range, alt_range)
            m_lat, m_alt = errors(Re, r, e.lla_from_pos(r), true_lat, true_alt)
            f_lat, f_alt = errors(Re, r, fast.lla_from_pos(e, r), true_lat, true_alt)
            c_lat, c_alt = check(Re, f, r, true_lat, true_alt, args.check)
            lines.append(
                f"| {name}, {label} | {m_lat:.1e} rad | {m_alt:.2f} u | {f_lat:.1e} rad "
                f"| {f_alt:.2f} u | {c_lat:.0e} rad, {c_alt:.0e} u ({args.check}) |"
            )
            print(lines[-1], flush=True)
    lines += [
        "",
        (
            f"Inside the evolute and next to the centre, against mpmath: {args.exact} points"
            " per region (those outside the band count):"
        ),
        "",
        "| region | points | methods: lat | methods: alt | fast: lat | fast: alt |",
        "|---|---|---|---|---|---|",
    ]
    print("\n".join(lines[-5:]), flush=True)
    for name, Re, f, r in exact_regions(rng, args.exact):
        e = Ellipsoid(Re, f)
        truth = exact_truth(Re, f, r)
        outside = sum(t is not None for t in truth)
        m_lat, m_alt = exact_errors(Re, r, e.lla_from_pos(r), truth)
        f_lat, f_alt = exact_errors(Re, r, fast.lla_from_pos(e, r), truth)
        lines.append(
            f"| {name} | {outside} | {m_lat:.1e} rad | {m_alt:.2f} u | {f_lat:.1e} rad "
            f"| {f_alt:.2f} u |"
        )
        print(lines[-1], flush=True)
    if args.out:
        args.out.write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    sys.exit(main())
