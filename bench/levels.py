"""The instruction-set levels of the vectorised kernels against each other, per operation.

    python -m bench.levels [--n N] [--rounds R] [--levels avx2,avx512] [--md FILE]

One process, one thread (``QUORVANE_NUM_THREADS=1``): each operation's inputs are built
once, then in each of R rounds every level is timed in turn (``QUORVANE_SIMD``), the least
CPU time of this process (``time.process_time``) kept. Taking the levels alternately, round
after round, lets both see the same load of a shared machine; CPU time leaves out the
waiting for a core (not the cache and memory traffic of other work).

Operations: the conversions of ``fast`` (lla_from_pos, pos_from_lla, aer_coords), the
geodesic inverse and direct problems (``bench.fast_geodesic``'s random sets), the rhumb
lines' inverse and direct, the auxiliary latitudes, the UTM grid both ways and MGRS codes
(``bench.utm``'s zone 32 N points), and the polygons' edges (``geometry_area_perimeter``
with ``fast=True`` on ``bench.geometries``' GeoArrow workload, N / 10 polygons; time per
vertex). Times in nanoseconds per point (pair, vertex); the last column is the ratio of
the last level to the first.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from pathlib import Path

import numpy as np

from bench import fast_geodesic, geometries, harness
from bench import utm as utm_bench

WGS84 = (6378137.0, 1 / 298.257223563)


def operations(n: int) -> dict[str, tuple[int, object]]:
    """Each operation's points and its call, the inputs bound."""
    from quorvane.mathtools.ellipsoid import fast, geodesic, utm
    from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

    ell = Ellipsoid(*WGS84)
    rng = np.random.default_rng(6)
    lat, lon = np.arcsin(rng.uniform(-1, 1, n)), rng.uniform(-math.pi, math.pi, n)
    alt = rng.uniform(-1e3, 1e5, n)
    r = fast.pos_from_lla(ell, lat, lon, alt)
    ops: dict[str, tuple[int, object]] = {
        "lla_from_pos": (n, lambda: fast.lla_from_pos(ell, r)),
        "pos_from_lla": (n, lambda: fast.pos_from_lla(ell, lat, lon, alt)),
        "aer_coords": (n, lambda: fast.aer_coords(ell, r[::-1], lat, lon, alt)),
        "latitudes geodetic->authalic": (
            n,
            lambda: fast.latitudes_convert(ell, lat, "geodetic", "authalic"),
        ),
        "latitudes isometric": (n, lambda: fast.latitudes_isometric(ell, lat)),
    }
    for kind in ("inverse", "direct"):
        a = fast_geodesic.pairs(kind, n)
        f = fast.geodesic_direct if kind == "direct" else fast.geodesic_inverse
        ops[f"geodesic {kind}"] = (n, lambda f=f, a=a: f(ell, *a, degrees=True))
    lat2, lon2 = np.arcsin(rng.uniform(-1, 1, n)), rng.uniform(-math.pi, math.pi, n)
    ops["rhumb inverse"] = (n, lambda: fast.rhumb_inverse(ell, lat, lon, lat2, lon2))
    s12 = rng.uniform(0, 2e7, n)
    ops["rhumb direct"] = (n, lambda: fast.rhumb_direct(ell, lat, lon, lon2, s12))
    plat, plon = utm_bench.points(n)
    g = utm.forward(plat, plon, degrees=True)
    zone, north = np.full(n, 32), np.ones(n, bool)
    east, northing = np.ascontiguousarray(g["easting"]), np.ascontiguousarray(g["northing"])
    ops["utm forward"] = (n, lambda: utm.forward(plat, plon, degrees=True, fast=True))
    ops["utm tm_forward"] = (
        n,
        lambda: utm.tm_forward("WGS84", 9.0, plat, plon, k0=0.9996, degrees=True, fast=True),
    )
    ops["utm reverse"] = (
        n,
        lambda: utm.reverse(zone, north, east, northing, degrees=True, fast=True),
    )
    ops["utm to_mgrs"] = (n, lambda: utm.to_mgrs(plat, plon, degrees=True, fast=True))
    try:
        import geoarrow.pyarrow as ga
        import pyarrow as pa
        import shapely
    except ImportError:
        return ops
    polygons = geometries.polygons(max(n // 10, 1))
    arrow = ga.as_geoarrow(pa.array(shapely.to_wkb(polygons)), type=ga.polygon())
    vertices = int(shapely.get_num_coordinates(polygons).sum())
    ops["polygon edges (GeoArrow)"] = (
        vertices,
        lambda: geodesic.geometry_area_perimeter(ell, arrow, fast=True),
    )
    return ops


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=float, default=1e6)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--levels", help="comma-separated levels (default: all there are)")
    parser.add_argument("--md", type=Path, help="write the Markdown table here")
    args = parser.parse_args()
    from quorvane.mathtools.ellipsoid import fast

    levels = args.levels.split(",") if args.levels else list(fast.levels())
    harness.set_threads(1)
    ops = operations(int(args.n))
    best = {(op, lv): math.inf for op in ops for lv in levels}
    for _ in range(args.rounds):
        for op, (points, function) in ops.items():
            for lv in levels:
                os.environ["QUORVANE_SIMD"] = lv
                t0 = time.process_time()
                function()
                best[op, lv] = min(best[op, lv], (time.process_time() - t0) / points)
    os.environ.pop("QUORVANE_SIMD", None)
    command = " ".join(["python -m bench.levels", *sys.argv[1:]])
    lines = [
        "## The levels, one thread, CPU time",
        "",
        (
            f"`{command}`: the least CPU time of {args.rounds} rounds, the levels taken in turn "
            f"in each; N = {int(args.n):.0e}; {harness.machine_line(harness.metadata())}."
        ),
        "",
        "| operation | " + " | ".join(f"{lv} (ns)" for lv in levels) + " | last / first |",
        "|---|" + "---:|" * (len(levels) + 1),
    ]
    for op in ops:
        t = [best[op, lv] * 1e9 for lv in levels]
        lines.append(f"| {op} | " + " | ".join(f"{x:.1f}" for x in t) + f" | {t[-1] / t[0]:.3f} |")
    text = "\n".join(lines) + "\n"
    print(text)
    if args.md:
        args.md.write_text(text)


if __name__ == "__main__":
    main()
