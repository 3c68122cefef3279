"""The stored rhumb-line truth: lines of each kind and flattening with their 40-digit s12,
azi12 and S12 (testsupport/rhumb_truth.py), kept in testsupport/data/rhumb-truth.npz, which
tests/test_rhumb.py holds the module to (BOUNDS, per set).

    python -m testsupport.rhumb_truth_data [-n N]   # from the top of the repository

Each truth is stored as two doubles (hi + lo). The lines come from rhumb_truth.lines with a
fixed seed per set.
"""

from __future__ import annotations

import argparse
import zlib
from pathlib import Path

import numpy as np

from testsupport import rhumb_truth as rt

RE = 6378137.0
DATA = Path(__file__).parent / "data" / "rhumb-truth.npz"
FLATTENINGS = {"wgs84": 1 / 298.257223563, "f=0": 0.0, "f=1/50": 1 / 50, "f=0.1": 0.1, "f=0.5": 0.5}
# s12 (nm), azi12 (rad), S12 (m^2) per flattening: 15 nm (measured up to 7.4 nm on WGS84 and
# 10 nm at f = 0.5), 1e-14 rad, 0.1 m^2.
BOUNDS = {name: (15, 1e-14, 0.1) for name in FLATTENINGS}


def set_names() -> dict[str, tuple[float, str]]:
    out = {}
    for name, f in FLATTENINGS.items():
        for kind in rt.KINDS if name == "wgs84" else ("random", "east-west"):
            out[f"{name}/{kind}"] = (f, kind)
    return out


def compute(name: str, f: float, kind: str, n: int) -> dict[str, np.ndarray]:
    lat1, lon1, lat2, lon2 = rt.lines(kind, np.random.default_rng(zlib.crc32(name.encode())), n)
    truth = rt.Ellipsoid(RE, f)
    exact = np.empty((n, 6))
    for i in range(n):
        values = truth.inverse(lat1[i], lon1[i], lat2[i], lon2[i])
        for k, v in enumerate(values):
            hi = float(v)
            exact[i, 2 * k], exact[i, 2 * k + 1] = hi, float(v - hi)
    return {
        "lat1": lat1,
        "lon1": lon1,
        "lat2": lat2,
        "lon2": lon2,
        "truth": exact,
        "f": np.float64(f),
    }


def load(path: Path = DATA) -> dict[str, dict[str, np.ndarray]]:
    sets: dict[str, dict[str, np.ndarray]] = {}
    with np.load(path) as data:
        for key in data.files:
            name, field = key.rsplit(":", 1)
            sets.setdefault(name, {})[field] = data[key]
    return sets


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-n", type=int, default=100)
    args = parser.parse_args()
    sets = {name: compute(name, f, kind, args.n) for name, (f, kind) in set_names().items()}
    flat = {f"{name}:{field}": v for name, fields in sets.items() for field, v in fields.items()}
    DATA.parent.mkdir(parents=True, exist_ok=True)
    np.savez_compressed(DATA, **flat)


if __name__ == "__main__":
    main()
