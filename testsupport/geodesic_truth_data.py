"""The geodesic truth set: pairs of each region and flattening with their 40-digit solutions.

    python -m bench.geodesic_truth_data [--sets NAME ...] [--jobs J]   # from the repo top

Computing the truth (geodesic_truth.py, mpmath) costs 0.1 to 0.3 s per pair, too slow to
repeat on every run of bench/accuracy.py; it is computed once here, on J processes, and kept
in testsupport/data/geodesic-truth.npz, which tests/test_geodesic.py and
bench/geodesic_accuracy.py read. The bounds stated for each set, and the measures of error
against the truth, are here too: the test holds the module to them and the benchmark prints
them beside its tables. Each value is
stored as two doubles (hi + lo), so the stored truth keeps some 30 digits. The pairs come from
geodesic_truth.pairs with a fixed seed per set; the inverse problem's truth is refined from
this module's solution (the truth of the given double inputs) and checked against
geographiclib's distance (up to f = 1/50), which would show a solution on another branch than
the shortest.
Sets already in the file are kept; --sets recomputes the named ones.
"""

from __future__ import annotations

import argparse
import math
import multiprocessing
import sys
import zlib
from pathlib import Path

import numpy as np

from testsupport import geodesic_truth as gt

RE = 6378137.0
WGS84_F = 1 / 298.257223563
DATA = Path(__file__).parent / "data" / "geodesic-truth.npz"
FLATTENINGS = {
    "0": 0.0,
    "1/300": 1 / 300,
    "1/150": 1 / 150,
    "1/50": 1 / 50,
    "0.1": 0.1,
    "0.5": 0.5,
    "0.9": 0.9,
}
REGIONS = ("random", "antipodal", "equatorial", "meridional", "polar", "short")


# The stated bounds: distance (nm), azimuth (rad), per set. None: not stated, the problem's
# own conditioning decides (over micrometres rounding the inputs turns the line by up to
# 1e-3 rad). Near the antipode the problem amplifies the inputs' rounding (the peers' errors
# are as large); at f = 1/50 the series' truncation adds to the rounding.
BOUNDS = {
    "wgs84/random": (15, 1e-14),
    "wgs84/antipodal": (15, 5e-12),
    "wgs84/equatorial": (15, 1e-14),
    "wgs84/meridional": (15, 2e-14),
    "wgs84/polar": (15, 1e-14),
    "wgs84/short": (15, None),
    "f=0/random": (15, 1e-14),
    "f=1/300/random": (15, 1e-14),
    "f=1/150/random": (15, 1e-14),
    "f=1/50/random": (20, 3e-14),
}
for _f in ("0.1", "0.5", "0.9"):  # past 1/50: the integrals exactly
    BOUNDS |= {
        f"f={_f}/random": (20, 1e-14 if _f != "0.9" else 3e-14),
        f"f={_f}/antipodal": (20, 1e-12),
        f"f={_f}/equatorial": (20, 5e-14),
        f"f={_f}/meridional": (20, 1e-14),
        f"f={_f}/polar": (20, 1e-14),
        f"f={_f}/short": (15, None),
    }
# position (nm), azi2 (rad); at f = 1/50 the series' truncation dominates. Past f = 1/50 the
# exact integrals with their rates in double-double (measured 10.9, 5.6 and 8.4 nm).
DIRECT_BOUNDS = {
    "wgs84": (30, 3e-14),
    "f=0": (15, 1e-14),
    "f=1/300": (30, 2e-14),
    "f=1/150": (30, 5e-14),
    "f=1/50": (40, 5e-14),
    "f=0.1": (20, 1e-14),
    "f=0.5": (20, 1e-14),
    "f=0.9": (20, 1e-14),
}


def angle_error(a, b):
    """|a - b| wrapped into [0, pi] (b may be a low-order correction: a - hi - lo)."""
    return np.abs(np.remainder(np.asarray(a, float) - b + math.pi, 2 * math.pi) - math.pi)


def inverse_errors(got, truth):
    """Worst distance (nm) and azimuth (rad) errors of (s12, azi1, azi2) rows."""
    s = np.abs((got[:, 0] - truth[:, 0]) - truth[:, 1]) * 1e9
    a = np.maximum(
        angle_error(got[:, 1] - truth[:, 3], truth[:, 2]),
        angle_error(got[:, 2] - truth[:, 5], truth[:, 4]),
    )
    return float(np.max(s)), float(np.max(a))


def position_nm(f, lat, lon, truth):
    """Distance (nm) between (lat, lon) and the true point, along the meridian and parallel."""
    lat0 = truth[:, 0] + truth[:, 1]
    e2 = f * (2 - f)
    w = np.sqrt(1 - e2 * np.sin(lat0) ** 2)
    north = ((lat - truth[:, 0]) - truth[:, 1]) * RE * (1 - e2) / w**3
    east = angle_error(lon - truth[:, 3], truth[:, 2]) * RE * np.cos(lat0) / w
    return np.hypot(north, east) * 1e9


def inverse_sets() -> dict[str, tuple[float, str, int]]:
    """name -> (f, region, pairs)."""
    sets = {f"wgs84/{r}": (WGS84_F, r, 1000) for r in REGIONS}
    for name, f in FLATTENINGS.items():
        sets[f"f={name}/random"] = (f, "random", 1000)
        if f > 1 / 50:
            for r in REGIONS[1:]:
                sets[f"f={name}/{r}"] = (f, r, 200)
    return sets


def direct_sets() -> dict[str, tuple[float, int]]:
    sets = {"wgs84/direct": (WGS84_F, 500)}
    for name, f in FLATTENINGS.items():
        sets[f"f={name}/direct"] = (f, 500)
    return sets


def _split(x) -> tuple[float, float]:
    hi = float(x)
    return hi, float(x - hi)


def _inverse_chunk(args):
    f, rows = args
    truth = gt.Ellipsoid(RE, f)
    out = []
    for lat1, lon1, lat2, lon2, s12, azi1, azi2 in rows:
        try:
            t = truth.inverse(lat1, lon1, lat2, lon2, azi1, azi2, s12)
            out.append([v for x in t for v in _split(x)])
        except ArithmeticError:
            out.append([math.nan] * 6)
    return out


def _direct_chunk(args):
    f, rows = args
    truth = gt.Ellipsoid(RE, f)
    return [[v for x in truth.direct(*row) for v in _split(x)] for row in rows]


def _seed(name: str) -> int:
    return zlib.crc32(name.encode())


def _peer_s12(f, lat1, lon1, lat2, lon2):
    from geographiclib.geodesic import Geodesic

    g = Geodesic(RE, f)
    return np.array(
        [g.Inverse(*np.degrees(p))["s12"] for p in zip(lat1, lon1, lat2, lon2)], dtype=float
    )


def compute_inverse(name, f, region, n, pool, jobs):
    from quorvane.mathtools.ellipsoid import geodesic as gd
    from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

    p = gt.pairs(region, np.random.default_rng(_seed(name)), n)
    ours = gd.inverse(Ellipsoid(RE, f), *p)
    rows = list(zip(*p, ours["s12"], ours["azi1"], ours["azi2"]))
    chunks = [(f, rows[i::jobs]) for i in range(jobs)]
    parts = pool.map(_inverse_chunk, chunks)
    exact = np.empty((n, 6))
    for i, part in enumerate(parts):
        exact[i::jobs] = part
    # (geographiclib's series are far from the truth past f = 1/50: no check there)
    far = np.abs(_peer_s12(f, *p) - exact[:, 0]) > 1e-6 if f <= 1 / 50 else np.zeros(n, bool)
    if far.any():
        print(f"{name}: {far.sum()} pairs far from geographiclib's distance", file=sys.stderr)
    return {
        "lat1": p[0],
        "lon1": p[1],
        "lat2": p[2],
        "lon2": p[3],
        "truth": exact,  # s12, azi1, azi2 as hi, lo pairs
        "f": np.float64(f),
    }


def compute_direct(name, f, n, pool, jobs):
    rng = np.random.default_rng(_seed(name))
    lat1 = np.arcsin(rng.uniform(-1, 1, n))
    azi1 = rng.uniform(-math.pi, math.pi, n)
    s12 = rng.uniform(-4e7, 4e7, n) * (1 - f / 2)
    rows = list(zip(lat1, azi1, s12))
    parts = pool.map(_direct_chunk, [(f, rows[i::jobs]) for i in range(jobs)])
    exact = np.empty((n, 6))
    for i, part in enumerate(parts):
        exact[i::jobs] = part
    return {"lat1": lat1, "azi1": azi1, "s12": s12, "truth": exact, "f": np.float64(f)}


def load(path: Path = DATA) -> dict[str, dict[str, np.ndarray]]:
    """The truth set: {set name: {field: array}}."""
    sets: dict[str, dict[str, np.ndarray]] = {}
    if not path.exists():
        return sets
    with np.load(path) as data:
        for key in data.files:
            name, field = key.rsplit(":", 1)
            sets.setdefault(name, {})[field] = data[key]
    return sets


def save(sets, path: Path = DATA) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    flat = {f"{name}:{field}": v for name, fields in sets.items() for field, v in fields.items()}
    np.savez_compressed(path, **flat)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sets", nargs="*", default=None, help="set names (default: missing)")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    inv, dirs = inverse_sets(), direct_sets()
    if args.list:
        print("\n".join([*inv, *dirs]))
        return
    sets = load()
    wanted = args.sets if args.sets is not None else [k for k in [*inv, *dirs] if k not in sets]
    with multiprocessing.Pool(args.jobs) as pool:
        for name in wanted:
            if name in inv:
                sets[name] = compute_inverse(name, *inv[name], pool, args.jobs)
            else:
                sets[name] = compute_direct(name, *dirs[name], pool, args.jobs)
            save(sets)
            print(f"{name}: done", file=sys.stderr, flush=True)


if __name__ == "__main__":
    main()
