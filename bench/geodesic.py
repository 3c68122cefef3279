"""Speed of the geodesic problems against pyproj's Geod, on pyperf.

    python -m bench.geodesic -o bench/results/geodesic.json [--n 1e6] [--md bench/results/geodesic.md]

The inverse and direct problems on N random WGS84 pairs (degrees in, as pyproj takes them):
the module on one thread (``QUORVANE_NUM_THREADS=1``) and on all CPUs, and pyproj's
``Geod.inv`` / ``Geod.fwd``; then one pair of Python floats per call. Each value is seconds per
pair (pyperf's inner loops are the N pairs) or per call. Inputs are prepared outside the timed
call; each call allocates its results, as a user's would. The Markdown table beside the JSON
gives the medians and the ratios to pyproj.
"""

from __future__ import annotations

import os
import time
from pathlib import Path

import numpy as np
import pyperf

N_DEFAULT = 1_000_000
WGS84 = (6378137.0, 1 / 298.257223563)


def pairs(n: int):
    rng = np.random.default_rng(2013)
    lat1 = np.degrees(np.arcsin(rng.uniform(-1, 1, n)))
    lat2 = np.degrees(np.arcsin(rng.uniform(-1, 1, n)))
    lon1 = rng.uniform(-180, 180, n)
    lon2 = rng.uniform(-180, 180, n)
    azi1 = rng.uniform(-180, 180, n)
    s12 = rng.uniform(0, 2e7, n)
    return lat1, lon1, lat2, lon2, azi1, s12


def call(tool: str, op: str, n: int):
    """The call to time, its inputs bound."""
    if tool == "ours-1t":
        os.environ["QUORVANE_NUM_THREADS"] = "1"
    else:
        os.environ.pop("QUORVANE_NUM_THREADS", None)
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


def time_calls(loops: int, tool: str, op: str, n: int) -> float:
    f = call(tool, op, n)
    f()  # first call outside the timing
    t0 = time.perf_counter()
    for _ in range(loops):
        f()
    return time.perf_counter() - t0


def table(results: dict[str, float], n: int) -> str:
    lines = [
        f"| Geodesics, WGS84 | N = {n:.0e}, one thread | all CPUs | one pair |",
        "|---|---|---|---|",
    ]
    for op in ("inverse", "direct"):
        peer = results[f"{op} pyproj N={n}"]
        peer1 = results[f"{op} pyproj one pair"]
        ours1t = results[f"{op} ours-1t N={n}"]
        ours = results[f"{op} ours N={n}"]
        one = results[f"{op} ours one pair"]
        lines.append(
            f"| {op}: ours | {ours1t * 1e9:.0f} ns/pair ({ours1t / peer:.2f}x) "
            f"| {ours * 1e9:.0f} ns/pair ({ours / peer:.2f}x) | {one * 1e6:.2f} us ({one / peer1:.2f}x) |"
        )
        lines.append(f"| {op}: pyproj Geod | {peer * 1e9:.0f} ns/pair | - | {peer1 * 1e6:.2f} us |")
    return "\n".join(lines) + "\n"


def main() -> None:
    runner = pyperf.Runner(
        program_args=("-m", "bench.geodesic"),
        add_cmdline_args=lambda cmd, args: cmd.extend(("--n", str(args.n))),
    )
    runner.argparser.add_argument("--n", type=float, default=N_DEFAULT)
    runner.argparser.add_argument("--md", type=Path, help="write the Markdown table here")
    args = runner.parse_args()
    n = int(args.n)
    results = {}

    def bench(name, tool, op, size):
        # A few processes and values: a call on N pairs takes a second; one pair is calibrated.
        if not args.worker:
            runner.args.processes, runner.args.values, runner.args.warmups = 3, 3, 1
            runner.args.loops = 1 if size > 1 else 0
        b = runner.bench_time_func(name, time_calls, tool, op, size, inner_loops=size)
        if b is not None and not args.worker:
            results[name] = b.median()

    for op in ("inverse", "direct"):
        for tool in ("ours-1t", "ours", "pyproj"):
            bench(f"{op} {tool} N={n}", tool, op, n)
        for tool in ("ours", "pyproj"):
            bench(f"{op} {tool} one pair", tool, op, 1)
    if not args.worker:
        text = table(results, n)
        print(text)
        if args.md:
            args.md.write_text(text)


if __name__ == "__main__":
    main()
