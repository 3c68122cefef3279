"""Speed of UTM and MGRS against pyproj and the `mgrs` package, on pyperf.

From the top of the repository (about ten minutes on 2 cores)::

    python -m bench.utm -o bench/results/utm.json --md bench/results/utm.md
    python -m bench.utm --cpu-time 5 --md bench/results/utm-cpu.md

UTM forward and reverse on N random WGS84 points in zone 32 north (degrees, as NumPy float64):
the module's ``utm.forward``/``utm.reverse`` (standard zone found per point) on one thread
(``QUORVANE_NUM_THREADS=1``) and on all CPUs, and pyproj's ``Transformer`` EPSG:4326 ->
EPSG:32632 (``always_xy``, one thread; a black box). ``to_mgrs`` (precision 5) against the
``mgrs`` package's ``MGRS().toMGRS``, which takes one point per call (timed on N_MGRS points
in a Python loop, as its users call it). Each value is seconds per point; each call allocates
its result, as a user's would. The vectorised kernel (``fast=True``: the transverse Mercator
in lanes, ``fast.tm_forward``'s) is timed at each instruction-set level this machine runs
(``QUORVANE_SIMD``) on one thread, and at the best level on all CPUs; ``tm_forward`` is
``utm.tm_forward(ell, 9, lat, lon, k0=0.9996, degrees=True)``, the projection pyproj's
transformation makes without the false easting (records with the convergence and the scale).
Before timing, the main process checks that the tools agree (12 nm for the grid, the codes on
99 % of the points) and counts the codes of the vectorised path that differ from the exact
path's on 10^6 random points of the whole grid. The Markdown table gives pyperf's medians and
the ratios to the peer with the targets (UTM at most 0.5x pyproj on one thread, 0.3x on all
cores, 0.25x with the vectorised kernel; to_mgrs at least 10x faster than the `mgrs` package)
and the machine's load. ``--cpu-time ROUNDS`` times the one-thread calls by this process's CPU
time instead (the least of ROUNDS calls, the tools taken in turn): on a shared machine it
leaves out the time spent waiting for a core.
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

import numpy as np
import pyperf

from bench import harness

N_DEFAULT = 1_000_000
N_MGRS = 20_000  # the mgrs package: one point per call
N_CODES = 1_000_000  # points whose codes the vectorised and the exact path both write
OPS = ("forward", "tm_forward", "reverse", "to_mgrs")
PEERS = {"forward": "pyproj", "tm_forward": "pyproj", "reverse": "pyproj", "to_mgrs": "mgrs"}
LEVELS = ("scalar", "sse2", "avx2", "avx512", "neon")
# Targets: one thread (exact), all cores (exact), the vectorised kernel on one thread.
TARGETS = {"forward": (0.5, 0.3, 0.25), "reverse": (0.5, 0.3, 0.25), "to_mgrs": (0.1, None, 0.1)}
TARGETS["tm_forward"] = (None, None, 0.25)


def levels() -> tuple[str, ...]:
    from quorvane.mathtools.ellipsoid import fast

    return fast.levels()


def tools(op: str) -> list[str]:
    """The timed tools of an operation: the exact kernel on one thread and all CPUs, the
    vectorised one at each level on one thread and at the best on all CPUs, the peer."""
    ours = ["ours-1t", "ours"] if op != "tm_forward" else ["ours-1t"]
    return [*ours, *(f"fast-{lv}-1t" for lv in levels()), "fast", PEERS[op]]


def points(n: int) -> tuple[np.ndarray, np.ndarray]:
    """Latitudes 0-72 N (south of Svalbard's zones) and longitudes 6-12 E: zone 32 N."""
    rng = np.random.default_rng(34)
    return rng.uniform(0, 72, n), rng.uniform(6.0, 12.0, n)


def _pyproj(inverse: bool):
    import pyproj

    if inverse:
        return pyproj.Transformer.from_crs("EPSG:32632", "EPSG:4326", always_xy=True)
    return pyproj.Transformer.from_crs("EPSG:4326", "EPSG:32632", always_xy=True)


def call(tool: str, op: str, n: int):
    """The call to time, its inputs bound. ``tool``: ``ours-1t``, ``ours`` (the exact kernel),
    ``fast-LEVEL-1t``, ``fast`` (the vectorised one), or the peer."""
    from quorvane.mathtools.ellipsoid import utm

    lat, lon = points(n if tool != "mgrs" else min(n, N_MGRS))
    if op == "reverse":
        g = utm.forward(lat, lon, degrees=True)
        zone, north = np.full(n, 32), np.ones(n, bool)
        east, northing = np.ascontiguousarray(g["easting"]), np.ascontiguousarray(g["northing"])
    if tool.startswith(("ours", "fast")):
        fast = tool.startswith("fast")
        if tool.startswith("fast-"):
            os.environ["QUORVANE_SIMD"] = tool.split("-")[1]
        if op == "forward":
            return lambda: utm.forward(lat, lon, degrees=True, fast=fast)
        if op == "tm_forward":
            return lambda: utm.tm_forward(
                "WGS84", 9.0, lat, lon, k0=0.9996, degrees=True, fast=fast
            )
        if op == "reverse":
            return lambda: utm.reverse(zone, north, east, northing, degrees=True, fast=fast)
        return lambda: utm.to_mgrs(lat, lon, degrees=True, fast=fast)
    if tool == "pyproj":
        t = _pyproj(op == "reverse")
        if op in ("forward", "tm_forward"):
            return lambda: t.transform(lon, lat)
        return lambda: t.transform(east, northing)
    import mgrs

    m = mgrs.MGRS()
    pairs = list(zip(lat.tolist(), lon.tolist()))
    return lambda: [m.toMGRS(a, b) for a, b in pairs]


def check(n: int) -> int:
    """The tools agree; returns how many of N_CODES random codes (the whole grid, UPS too) the
    vectorised path writes otherwise than the exact one."""
    from quorvane.mathtools.ellipsoid import utm

    lat, lon = points(n)
    e, nn = call("pyproj", "forward", n)()
    for fast in (False, True):
        g = utm.forward(lat, lon, degrees=True, fast=fast)
        if not np.hypot(g["easting"] - e, g["northing"] - nn).max() < 12e-9:
            sys.exit("bench.utm: the module and pyproj disagree on the UTM grid")
        ours = utm.to_mgrs(*points(1000), degrees=True, fast=fast)
        theirs = call("mgrs", "to_mgrs", 1000)()
        if not np.mean([a == b for a, b in zip(ours.tolist(), theirs)]) >= 0.99:
            sys.exit("bench.utm: the module and the mgrs package disagree on the codes")
    rng = np.random.default_rng(37)
    lat, lon = np.degrees(np.arcsin(rng.uniform(-1, 1, N_CODES))), rng.uniform(-180, 180, N_CODES)
    exact = utm.to_mgrs(lat, lon, degrees=True)
    return int((utm.to_mgrs(lat, lon, degrees=True, fast=True) != exact).sum())


def _ratio(t: float, peer: float, target: float | None) -> str:
    text = f"{t / peer:.3f}"
    if target is not None:
        text += f" ({'met' if t / peer <= target else 'missed'})"
    return text


def rows(times: dict[str, float], op: str) -> list[str]:
    """The lines of one operation: each tool's time per point and its ratio to the peer."""
    peer = times[f"{op} {PEERS[op]}"]
    one, every, vectorised = TARGETS[op]
    lines = []
    for tool in tools(op):
        t = times.get(f"{op} {tool}")
        if t is None:
            continue
        target = (
            None
            if tool == PEERS[op]
            else vectorised
            if tool == f"fast-{levels()[-1]}-1t"
            else one
            if tool == "ours-1t"
            else every
            if tool == "ours"
            else None
        )
        lines.append(f"| {op} | {tool} | {t * 1e9:.1f} | {_ratio(t, peer, target)} |")
    return lines


def table(suite: pyperf.BenchmarkSuite, n: int, command: str, differ: int) -> str:
    medians = {b.get_name(): b.median() for b in suite.get_benchmarks()}  # per point
    lines = [
        "# UTM and MGRS: speed",
        "",
        (
            f"`{command}`: {n} random WGS84 points in zone 32 N per call (degrees, float64; the "
            f"`mgrs` package {N_MGRS} points, one per call), pyperf's median in nanoseconds per "
            "point and the ratio to the peer (targets: UTM at most 0.5 on one thread and 0.3 on "
            "all cores against pyproj, 0.25 with the vectorised kernel; to_mgrs at most 0.1 "
            "against the mgrs package). Tools: `ours` the exact kernel, `fast` the vectorised "
            "one (`fast=True`), `-1t` on one thread, `-LEVEL` at that instruction-set level; "
            "without `-1t` on all CPUs."
        ),
        "",
        "| operation | tool | ns per point | ratio to the peer |",
        "|---|---|---:|---:|",
    ]
    for op in OPS:
        lines += rows(medians, op)
    md = dict(suite.get_metadata())
    lines += [
        "",
        (
            f"MGRS codes of the vectorised path that differ from the exact path's: {differ} of "
            f"{N_CODES} random points of the whole grid."
        ),
        "",
        harness.machine_line(md, harness.loads(suite.get_benchmarks())) + ".",
        "",
    ]
    return "\n".join(lines)


def cpu_table(n: int, rounds: int, command: str) -> str:
    """The one-thread times as this process's CPU time (``time.process_time``): each tool
    called in turn, ``rounds`` times, the least kept (the tools on all CPUs left out)."""
    import time

    harness.set_threads(1)
    calls = {
        (op, tool): call(tool, op, n)
        for op in OPS
        for tool in tools(op)
        if tool.endswith("-1t") or tool == PEERS[op]
    }
    best: dict[str, float] = {}
    for _ in range(rounds):
        for (op, tool), function in calls.items():
            if tool.startswith("fast-"):
                os.environ["QUORVANE_SIMD"] = tool.split("-")[1]
            points_ = min(n, N_MGRS) if tool == "mgrs" else n
            t0 = time.process_time()
            function()
            spent = (time.process_time() - t0) / points_
            best[f"{op} {tool}"] = min(best.get(f"{op} {tool}", spent), spent)
    lines = [
        "## One thread, CPU time",
        "",
        (
            f"`{command}`: the least CPU time of {rounds} calls per tool on {n} points in zone "
            f"32 N, the tools taken in turn; {harness.machine_line(harness.metadata())}."
        ),
        "",
        "| operation | tool | ns per point | ratio to the peer |",
        "|---|---|---:|---:|",
    ]
    for op in OPS:
        lines += rows(best, op)
    return "\n".join(lines) + "\n"


def main() -> None:
    harness.replace_output(sys.argv[1:])
    runner = harness.runner("utm", forward=("n",))
    runner.argparser.add_argument("--n", type=float, default=N_DEFAULT)
    runner.argparser.add_argument("--md", type=Path, help="write the Markdown table here")
    runner.argparser.add_argument(
        "--cpu-time",
        type=int,
        metavar="ROUNDS",
        help="only the one-thread CPU times, least of ROUNDS calls (no pyperf)",
    )
    args = runner.parse_args()
    runner.metadata.update(harness.metadata("quorvane-ellipsoid", "pyproj", "mgrs"))
    n = int(args.n)
    command = " ".join(["python -m bench.utm", *sys.argv[1:]])
    if args.cpu_time and not args.worker:
        text = cpu_table(n, args.cpu_time, command)
        print(text)
        if args.md:
            args.md.write_text(text)
        return
    results = {}
    differ = 0
    if not args.worker:
        differ = check(min(n, 10_000))
        runner.args.processes, runner.args.values = 3, 3
        runner.args.warmups = 1
        runner.args.loops = 1
    for op in OPS:
        for tool in tools(op):
            b = harness.bench(
                runner,
                f"{op} {tool}",
                call,
                tool,
                op,
                n,
                threads=1 if tool.endswith("-1t") else None,
                inner_loops=min(n, N_MGRS) if tool == "mgrs" else n,
            )
            if b is not None and not args.worker:
                results[f"{op} {tool}"] = b
    if not args.worker:
        text = table(pyperf.BenchmarkSuite(list(results.values())), n, command, differ)
        print(text)
        if args.md:
            args.md.write_text(text)


if __name__ == "__main__":
    main()
