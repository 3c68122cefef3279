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

import datetime
import os
import platform
import sys
import time
from pathlib import Path

import numpy as np
import pyperf

N_DEFAULT = 1_000_000
WGS84 = (6378137.0, 1 / 298.257223563)
# The rows on N pairs (label, tool, target ratio to pyproj's time), and the one-pair target.
ROWS = (("one thread", "ours-1t", 1.0), ("all CPUs", "ours", 0.6))
ONE_PAIR_TARGET = 0.5


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


def time_calls(loops: int, tool: str, op: str, n: int) -> float:
    f = call(tool, op, n)
    f()  # first call outside the timing
    t0 = time.perf_counter()
    for _ in range(loops):
        f()
    return time.perf_counter() - t0


def name(op: str, tool: str, size: str) -> str:
    return f"{op} {tool} {'one pair' if size == '1' else 'N'}"


def table(results: dict[str, float], n: int, load: tuple[float, float]) -> str:
    import pyproj

    def ratio(ours: float, peer: float, target: float) -> str:
        mark = "met" if ours / peer <= target else "missed"
        return f"{ours / peer:.2f}x | {target:.1f}x ({mark})"

    today = datetime.date.today().isoformat()
    command = " ".join(["python -m bench.geodesic", *sys.argv[1:]])
    lines = [
        "# Geodesics: speed against pyproj's Geod",
        "",
        (
            f"`{command}` on {today}, N = {n:.0e} random WGS84 pairs (degrees): pyperf's medians; "
            f"{os.cpu_count()} CPUs ({platform.machine()}), load average {load[0]:.1f} at the "
            f"start and {load[1]:.1f} at the end of the run, Python {platform.python_version()}, "
            f"NumPy {np.__version__}, pyproj {pyproj.__version__}. pyproj runs on one thread in "
            "every row; a ratio is ours over pyproj's time, at most the target to meet it."
        ),
        "",
        "| problem | ours | pyproj Geod | ratio | target |",
        "|---|---:|---:|---:|---:|",
    ]
    for op in ("inverse", "direct"):
        peer = results[name(op, "pyproj", "N")]
        for label, tool, target in ROWS:
            ours = results[name(op, tool, "N")]
            lines.append(
                f"| {op}, {label} | {ours * 1e9:.0f} ns/pair | {peer * 1e9:.0f} ns/pair "
                f"| {ratio(ours, peer, target)} |"
            )
        ours, peer = results[name(op, "ours", "1")], results[name(op, "pyproj", "1")]
        lines.append(
            f"| {op}, one pair | {ours * 1e6:.2f} us | {peer * 1e6:.2f} us "
            f"| {ratio(ours, peer, ONE_PAIR_TARGET)} |"
        )
    return "\n".join(lines) + "\n"


def replace_output(argv: list[str]) -> None:
    """pyperf refuses to write its JSON over an older run's: this run replaces it."""
    if "--worker" in argv:
        return
    for k, arg in enumerate(argv):
        path = argv[k + 1] if arg in ("-o", "--output") and k + 1 < len(argv) else None
        if arg.startswith("--output="):
            path = arg.split("=", 1)[1]
        if path and os.path.isfile(path):
            os.remove(path)


def main() -> None:
    replace_output(sys.argv[1:])
    runner = pyperf.Runner(
        program_args=("-m", "bench.geodesic"),
        add_cmdline_args=lambda cmd, args: cmd.extend(("--n", str(args.n))),
    )
    runner.argparser.add_argument("--n", type=float, default=N_DEFAULT)
    runner.argparser.add_argument("--md", type=Path, help="write the Markdown table here")
    args = runner.parse_args()
    n = int(args.n)
    results = {}
    if not args.worker:
        check(min(n, 10_000))
        load_start = os.getloadavg()[0]

    def bench(op: str, tool: str, size: str) -> None:
        # A few processes and values for N pairs (a call takes a second); more for one pair,
        # whose loops pyperf calibrates to a tenth of a second a value.
        if not args.worker:
            runner.args.processes, runner.args.values = (3, 3) if size == "N" else (6, 5)
            runner.args.warmups = 1
            runner.args.loops = 1 if size == "N" else 0
        count = n if size == "N" else 1
        b = runner.bench_time_func(
            name(op, tool, size), time_calls, tool, op, count, inner_loops=count
        )
        if b is not None and not args.worker:
            results[name(op, tool, size)] = b.median()

    for op in ("inverse", "direct"):
        for tool in ("ours-1t", "ours", "pyproj"):
            bench(op, tool, "N")
        for tool in ("ours", "pyproj"):
            bench(op, tool, "1")
    if not args.worker:
        text = table(results, n, (load_start, os.getloadavg()[0]))
        print(text)
        if args.md:
            args.md.write_text(text)


if __name__ == "__main__":
    main()
