"""The direct problem at strong flattening and over long lines (up to 1e8 m), against a
40-digit truth.

    python -m bench.geodesic_direct_long [--starts N] [--east N] [--jobs J] [--out FILE]

Two kinds of rows, on an ellipsoid of equatorial radius 6378137 m:

- random starts (latitude uniform on the sphere, azimuth uniform, |s12| log-uniform from 1 km
  to 1e8 m): the truth is testsupport/geodesic_truth.py's direct problem (Karney's integrals in
  mpmath), N starts per flattening (about 0.3 s each);
- due east from the equator: lon2 = lon1 + s12 / a exactly (the line is the equator; the
  azimuth's rounding tilts it by 6e-17 rad, which moves the longitude by 1e-33 rad), for N
  distances log-uniform from 1 m to 1e8 m, each sign; the truth is that sum reduced in mpmath.

Columns: the number of lines, the worst distance between the end point and the true one (nm,
along the meridian and the parallel), the same less the output's own resolution (each angle's
error less half a unit in the last place of the double it is given in: near the poles of a flat
ellipsoid half a unit of the latitude is 1.1e-16 rad times the polar radius of curvature
a / (1 - f), 70 nm at f = 0.99), and the worst azi2 error (rad).
"""

from __future__ import annotations

import argparse
import math
import multiprocessing
import sys
from pathlib import Path

import mpmath as mp
import numpy as np

from quorvane.mathtools.ellipsoid import geodesic as gd
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid
from testsupport import geodesic_truth as gt
from testsupport import geodesic_truth_data as data

RE = data.RE
FLATTENINGS = [
    ("0", 0.0),
    ("1/298.257223563 (WGS84)", data.WGS84_F),
    ("1/50", 1 / 50),
    ("0.1", 0.1),
    ("0.5", 0.5),
    ("0.9", 0.9),
    ("0.99", 0.99),
]


def _chunk(args):
    f, rows = args
    truth = gt.Ellipsoid(RE, f)
    out = []
    for lat1, azi1, s12 in rows:
        lat2, lam12, azi2 = truth.direct(lat1, azi1, s12)
        out.append(
            [
                float(lat2),
                float(lat2 - mp.mpf(float(lat2))),
                float(lam12),
                float(lam12 - mp.mpf(float(lam12))),
                float(azi2),
                float(azi2 - mp.mpf(float(azi2))),
            ]
        )
    return out


def random_row(pool, jobs, label, f, n, seed):
    rng = np.random.default_rng(seed)
    lat1 = np.arcsin(rng.uniform(-1, 1, n))
    azi1 = rng.uniform(-math.pi, math.pi, n)
    s12 = 10.0 ** rng.uniform(3, 8, n) * rng.choice([-1.0, 1.0], n)
    rows = list(zip(lat1.tolist(), azi1.tolist(), s12.tolist()))
    parts = pool.map(_chunk, [(f, rows[i::jobs]) for i in range(jobs)])
    truth = np.empty((n, 6))
    for i, part in enumerate(parts):
        truth[i::jobs] = part
    ours = gd.direct(Ellipsoid(RE, f), lat1, 0.0, azi1, s12)
    nm = data.position_nm(f, ours["lat2"], ours["lon2"], truth)
    # Beyond the output's own resolution: each angle's error less half a unit of the double
    # it is given in (near the poles of a flat ellipsoid half a unit of the latitude is
    # 1.1e-16 times the polar radius of curvature a / (1 - f): 70 nm at f = 0.99).
    dlat = (ours["lat2"] - truth[:, 0]) - truth[:, 1]
    dlon = data.angle_error(ours["lon2"] - truth[:, 3], truth[:, 2])
    dlat = np.maximum(np.abs(dlat) - np.spacing(np.abs(ours["lat2"])) / 2, 0)
    dlon = np.maximum(dlon - np.spacing(np.abs(ours["lon2"])) / 2, 0)
    lat0 = truth[:, 0] + truth[:, 1]
    w = np.sqrt(1 - f * (2 - f) * np.sin(lat0) ** 2)
    north = dlat * RE * (1 - f) ** 2 / w**3
    east = dlon * RE * np.cos(lat0) / w
    beyond = np.hypot(north, east) * 1e9
    azi = data.angle_error(ours["azi2"] - truth[:, 5], truth[:, 4])
    return (
        f"| {label}, random starts, 1 km .. 1e8 m | {n} | {nm.max():.1f} nm "
        f"| {beyond.max():.1f} nm | {azi.max():.1e} |"
    )


def east_row(label, f, n, seed):
    rng = np.random.default_rng(seed)
    lon1 = rng.uniform(-math.pi, math.pi, n)
    s12 = 10.0 ** rng.uniform(0, 8, n) * rng.choice([-1.0, 1.0], n)
    ours = gd.direct(Ellipsoid(RE, f), 0.0, lon1, math.pi / 2, s12)
    worst = 0.0
    with mp.workdps(30):
        two_pi = 2 * mp.pi
        for l1, s, got in zip(lon1.tolist(), s12.tolist(), ours["lon2"].tolist()):
            d = mp.mpf(got) - (mp.mpf(l1) + mp.mpf(s) / RE)
            worst = max(worst, abs(float(d - two_pi * mp.nint(d / two_pi))))
    lat = np.abs(ours["lat2"]).max()
    return (
        f"| {label}, due east on the equator, 1 m .. 1e8 m | {n} | {worst * RE * 1e9:.1f} nm "
        f"(\\|lat2\\| <= {lat:.1e} rad) | - | - |"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--starts", type=int, default=100)
    parser.add_argument("--east", type=int, default=100_000)
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--out", type=Path, default=None)
    args = parser.parse_args()
    lines = [
        "| Direct problem, a = 6378137 m | lines | position | beyond half a unit of lat2, lon2 | azi2 |",
        "|---|---|---|---|---|",
    ]
    with multiprocessing.Pool(args.jobs) as pool:
        for k, (label, f) in enumerate(FLATTENINGS):
            lines.append(east_row(f"f = {label}", f, args.east, 100 + k))
            print(lines[-1], flush=True)
            if args.starts:
                lines.append(random_row(pool, args.jobs, f"f = {label}", f, args.starts, 200 + k))
                print(lines[-1], flush=True)
    if args.out:
        args.out.write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    sys.exit(main())
