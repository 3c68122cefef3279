"""Speed of the geodesic problems against pyproj's Geod, on pyperf.

From the top of the repository (about 4 minutes on 2 cores)::

    python -m bench.geodesic -o bench/results/geodesic.json --md bench/results/geodesic.md
    python -m bench.geodesic --n 1e5 --md /tmp/geodesic.md     # a quicker look

The inverse and direct problems on N random WGS84 pairs (degrees in, as pyproj takes them):
the module on one thread (``QUORVANE_NUM_THREADS=1``) and on all CPUs, and pyproj's
``Geod.inv`` / ``Geod.fwd`` (one thread); then one pair of Python floats per call
(``Geod.inv(lon1, lat1, lon2, lat2)`` against ``geodesic.inverse(ell, lat1, lon1, lat2, lon2,
degrees=True)``). Each value is seconds per pair (pyperf's inner loops are the N pairs) or per
call. Inputs are prepared outside the timed call; each call allocates its results, as a user's
would. Before timing, the main process checks that both tools give the same distances and
points. ``-o`` replaces an older JSON file. The Markdown table gives pyperf's medians, the ratios to pyproj and the targets, with
the machine's load average: the all-CPUs row means little on a machine whose cores are busy.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pyperf

from bench import harness, report

N_DEFAULT = 1_000_000
WGS84 = (6378137.0, 1 / 298.257223563)


def pairs(n: int):
    """Random WGS84 pairs in degrees: uniform on the sphere, distances up to half a meridian."""
    rng = np.random.default_rng(2013)
    lat1 = np.degrees(np.arcsin(rng.uniform(-1, 1, n)))
    lat2 = np.degrees(np.arcsin(rng.uniform(-1, 1, n)))
    lon1 = rng.uniform(-180, 180, n)
    lon2 = rng.uniform(-180, 180, n)
    azi1 = rng.uniform(-180, 180, n)
    s12 = rng.uniform(0, 2e7, n)
    return lat1, lon1, lat2, lon2, azi1, s12


def call(tool: str, op: str, n: int):
    """The call to time, its inputs bound (Python floats for one pair)."""
    lat1, lon1, lat2, lon2, azi1, s12 = pairs(max(n, 1))
    if n == 1:
        lat1, lon1, lat2, lon2, azi1, s12 = (
            float(x[0]) for x in (lat1, lon1, lat2, lon2, azi1, s12)
        )
    if tool.startswith("ours"):
        from quorvane.mathtools.ellipsoid import geodesic as gd
        from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

        ell = Ellipsoid(*WGS84)
        if op == "inverse":
            return lambda: gd.inverse(ell, lat1, lon1, lat2, lon2, degrees=True)
        return lambda: gd.direct(ell, lat1, lon1, azi1, s12, degrees=True)
    import pyproj

    geod = pyproj.Geod(a=WGS84[0], f=WGS84[1])
    if op == "inverse":
        return lambda: geod.inv(lon1, lat1, lon2, lat2)
    return lambda: geod.fwd(lon1, lat1, azi1, s12)


def check(n: int) -> None:
    """Both tools solve the same problems: distances within 1 um, points within 1e-9 deg."""
    ours_inv, peer_inv = call("ours", "inverse", n)(), call("pyproj", "inverse", n)()
    ours_dir, peer_dir = call("ours", "direct", n)(), call("pyproj", "direct", n)()
    s12 = np.abs(ours_inv["s12"] - peer_inv[2])
    lat2 = np.abs(ours_dir["lat2"] - peer_dir[1])
    if not (np.nanmax(s12) < 1e-6 and np.nanmax(lat2) < 1e-9):
        sys.exit(
            f"bench.geodesic: the tools disagree (s12 {s12.max():.2g} m, lat2 {lat2.max():.2g})"
        )


name = report.geodesic_name


def main() -> None:
    harness.replace_output(sys.argv[1:])
    runner = harness.runner("geodesic", forward=("n",))
    runner.argparser.add_argument("--n", type=float, default=N_DEFAULT)
    runner.argparser.add_argument("--md", type=Path, help="write the Markdown table here")
    args = runner.parse_args()
    runner.metadata.update(harness.metadata("quorvane-ellipsoid", "pyproj"))
    n = int(args.n)
    results = {}
    if not args.worker:
        check(min(n, 10_000))

    def bench(op: str, tool: str, size: str) -> None:
        # A few processes and values for N pairs (a call takes a second); more for one pair,
        # whose loops pyperf calibrates to a tenth of a second a value.
        if not args.worker:
            runner.args.processes, runner.args.values = (3, 3) if size == "N" else (6, 5)
            runner.args.warmups = 1
            runner.args.loops = 1 if size == "N" else 0
        count = n if size == "N" else 1
        b = harness.bench(
            runner,
            name(op, tool, size),
            call,
            tool,
            op,
            count,
            threads=1 if tool == "ours-1t" else None,
            inner_loops=count,
        )
        if b is not None and not args.worker:
            results[name(op, tool, size)] = b

    for op in ("inverse", "direct"):
        for tool in ("ours-1t", "ours", "pyproj"):
            bench(op, tool, "N")
        for tool in ("ours", "pyproj"):
            bench(op, tool, "1")
    if not args.worker:
        command = " ".join(["python -m bench.geodesic", *sys.argv[1:]])
        text = report.geodesic_table(pyperf.BenchmarkSuite(list(results.values())), n, command)
        print(text)
        if args.md:
            args.md.write_text(text)


if __name__ == "__main__":
    main()
