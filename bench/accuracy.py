"""Measured accuracy of the geodetic conversions on WGS84.

    python bench/accuracy.py [--points N]

Prints the worst errors of lla_from_pos(pos_from_lla(lla)) over the stated ranges, and of the
altitude next to the polar axis against a 60-digit decimal reference (tests/reference.py).
"""

import argparse
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
import reference as ref

from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

RE, F = 6378137.0, 1 / 298.257223563


def round_trip(e, rng, n, alt_range):
    lat = rng.uniform(-1.5, 1.5, n)
    lon = rng.uniform(-np.pi, np.pi, n)
    alt = rng.uniform(*alt_range, n)
    lla = e.lla_from_pos(e.pos_from_lla(lat, lon, alt))
    return (np.max(np.abs(lla["lat"] - lat)), np.max(np.abs(lla["lon"] - lon)),
            np.max(np.abs(lla["alt"] - alt)))


def near_axis(e, rng, n, rho_range):
    rho = 10.0 ** rng.uniform(*np.log10(rho_range), n)
    lon = rng.uniform(-np.pi, np.pi, n)
    alt = rng.uniform(-5e6, 4e7, n)
    z = rng.choice([-1.0, 1.0], n) * ((1 - F) * RE + alt)
    r = np.stack([rho * np.cos(lon), rho * np.sin(lon), z], axis=1)
    got = e.lla_from_pos(r)["alt"]
    exact = np.array([ref.altitude_exact(RE, F, *p) for p in r.tolist()])
    return np.max(np.abs(got - exact))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=200_000)
    args = parser.parse_args()
    e = Ellipsoid(RE, F)
    rng = np.random.default_rng(1)
    print(f"round trip lla -> ECEF -> lla, {args.points} points, |lat| <= 1.5 rad:")
    for label, alt_range in [("alt -5e6 .. 4e7 m", (-5e6, 4e7)), ("alt -1e4 .. 1e4 m", (-1e4, 1e4))]:
        dlat, dlon, dalt = round_trip(e, rng, args.points, alt_range)
        print(f"  {label:18}  lat {dlat:.2e} rad   lon {dlon:.2e} rad   alt {dalt:.2e} m")
    print("altitude next to the polar axis (alt -5e6 .. 4e7 m) against 60-digit decimals:")
    for lo, hi in [(1e-8, 1e-5), (1e-5, 1.0), (1.0, 1e4), (1e4, 1e6)]:
        err = near_axis(e, rng, 2000, (lo, hi))
        print(f"  {lo:.0e} .. {hi:.0e} m from the axis: {err:.2e} m")


if __name__ == "__main__":
    main()
