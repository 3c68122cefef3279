"""Speed of the geodesic problems in lanes (``fast.geodesic_inverse``, ``fast.geodesic_direct``)
per instruction-set level, against the exact kernels and pyproj's Geod, on pyperf.

From the top of the repository (about 6 minutes on 2 cores)::

    python -m bench.fast_geodesic -o bench/results/fast-geodesic.json \\
        --md bench/results/fast-geodesic.md
    python -m bench.fast_geodesic --n 1e5 --md /tmp/fast-geodesic.md     # a quicker look
    python -m bench.fast_geodesic --cpu-time 7 --md bench/results/fast-geodesic-cpu.md

Three sets of N WGS84 pairs (degrees in, as pyproj takes them): the inverse problem on random
pairs (uniform on the sphere) and on nearly antipodal ones (point 2 within half a degree of
the antipode of point 1: the astroid start, more Newton steps), the direct problem from random
starts over distances up to 2e7 m. Tools: the lanes at each level this machine runs
(``QUORVANE_SIMD``), on one thread (``QUORVANE_NUM_THREADS=1``) and on all CPUs; the exact
kernels (``geodesic.inverse`` / ``geodesic.direct``) likewise; pyproj's ``Geod.inv`` /
``Geod.fwd`` (one thread). Values are seconds per pair (pyperf's inner loops are the N pairs);
inputs are made outside the timed call, and each call allocates its result. ``-o`` replaces an
older JSON file. The parallel efficiency is the one-thread time over the CPUs times the
all-CPUs time: it means little on a machine whose cores are busy (the table states the load).
``--cpu-time ROUNDS`` times the one-thread calls instead by this process's CPU time, the tools
taken in turn, the least of ROUNDS calls kept: on a shared machine it leaves out the time spent
waiting for a core.
"""

from __future__ import annotations

import functools
import os
import sys
from pathlib import Path

import numpy as np
import pyperf

from bench import harness, report

N_DEFAULT = 1_000_000
WGS84 = (6378137.0, 1 / 298.257223563)
SETS = ("inverse", "antipodal", "direct")
LEVELS = ("scalar", "sse2", "avx2", "avx512", "neon")
# Targets: ratio to pyproj on one thread (inverse, direct), parallel efficiency.
TARGETS = {"inverse": 0.3, "direct": 0.25}
EFFICIENCY_TARGET = 0.75


@functools.cache
def pairs(kind: str, n: int):
    """The four input columns of a set, in degrees (and metres)."""
    rng = np.random.default_rng(2013)
    lat1 = np.degrees(np.arcsin(rng.uniform(-1, 1, n)))
    lon1 = rng.uniform(-180, 180, n)
    if kind == "direct":
        return lat1, lon1, rng.uniform(-180, 180, n), rng.uniform(0, 2e7, n)
    if kind == "antipodal":
        lat2 = np.clip(-lat1 + rng.uniform(-0.5, 0.5, n), -90, 90)
        return lat1, lon1, lat2, lon1 + 180 - rng.uniform(0, 0.5, n)
    return lat1, lon1, np.degrees(np.arcsin(rng.uniform(-1, 1, n))), rng.uniform(-180, 180, n)


def call(kind: str, tool: str, n: int):
    """The call to time, its inputs bound. ``tool``: ``fast-<level>``, ``exact`` or
    ``pyproj``."""
    a = pairs(kind, n)
    if tool == "pyproj":
        import pyproj

        geod = pyproj.Geod(a=WGS84[0], f=WGS84[1])
        if kind == "direct":
            return lambda: geod.fwd(a[1], a[0], a[2], a[3])
        return lambda: geod.inv(a[1], a[0], a[3], a[2])
    from quorvane.mathtools.ellipsoid import fast, geodesic
    from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

    ell = Ellipsoid(*WGS84)
    if tool.startswith("fast-"):
        os.environ["QUORVANE_SIMD"] = tool.removeprefix("fast-")
        function = fast.geodesic_direct if kind == "direct" else fast.geodesic_inverse
    else:
        function = geodesic.direct if kind == "direct" else geodesic.inverse
    return lambda: function(ell, *a, degrees=True)


def check(n: int) -> None:
    """The lanes and pyproj solve the same problems: distances within 1 um, points within
    1e-9 degrees."""
    for kind in SETS:
        ours, peer = call(kind, "fast-" + levels()[-1], n)(), call(kind, "pyproj", n)()
        if kind == "direct":
            worst = np.nanmax(np.abs(ours["lat2"] - peer[1]))
            ok = worst < 1e-9
        else:
            worst = np.nanmax(np.abs(ours["s12"] - peer[2]))
            ok = worst < 1e-6
        if not ok:
            sys.exit(f"bench.fast_geodesic: the tools disagree on {kind} ({worst:.2g})")


def levels() -> tuple[str, ...]:
    from quorvane.mathtools.ellipsoid import fast

    return fast.levels()


def name(kind: str, tool: str, threads: str) -> str:
    return f"{kind} {tool} {threads}"


def table(suite: pyperf.BenchmarkSuite, n: int, command: str) -> str:
    """bench/results/fast-geodesic.md."""
    t = report.medians(suite)
    cpus = suite.get_metadata().get("cpus_available", os.cpu_count())
    lines = [
        "# Geodesics in lanes: speed per instruction-set level",
        "",
        (
            f"`{command}` on {report.run_date(suite)}, N = {n:.0e} WGS84 pairs per set "
            f"(degrees): pyperf's medians; {report.machine(suite)}. Times per pair; pyproj's "
            "Geod runs on one thread. Ratios: to pyproj's time on one thread (targets: inverse "
            f"{TARGETS['inverse']}x, direct {TARGETS['direct']}x), to the exact kernels on "
            f"the same threads; efficiency: one-thread time / ({cpus} x all-CPUs time) "
            f"(target {EFFICIENCY_TARGET:.0%})."
        ),
        "",
        (
            "| set | tool | one thread | all CPUs | efficiency | vs pyproj (1 thread) "
            "| vs exact (1 thread) |"
        ),
        "|---|---|---:|---:|---:|---:|---:|",
    ]
    for kind in SETS:
        peer = t.get(name(kind, "pyproj", "1t"))
        exact = t.get(name(kind, "exact", "1t"))
        tools = [f"fast-{lv}" for lv in LEVELS if name(kind, f"fast-{lv}", "1t") in t]
        for tool in [*tools, "exact", "pyproj"]:
            one, every = t.get(name(kind, tool, "1t")), t.get(name(kind, tool, "all"))
            if one is None:
                continue
            efficiency = f"{one / (cpus * every):.0%}" if every else "-"
            target = TARGETS.get(kind) if tool.startswith("fast-") else None
            versus = f"{one / peer:.2f}x" if peer else "-"
            if target is not None:
                versus += f" ({'met' if one / peer <= target else 'missed'})"
            lines.append(
                f"| {kind} | {tool} | {one * 1e9:.0f} ns | "
                + (f"{every * 1e9:.0f} ns" if every else "-")
                + f" | {efficiency} | {versus} | "
                + (f"{one / exact:.2f}x" if exact else "-")
                + " |"
            )
    return "\n".join(lines) + "\n"


def cpu_table(n: int, rounds: int, command: str) -> str:
    """The one-thread times as CPU time of this process (``time.process_time``): each tool
    called in turn, ``rounds`` times, the least kept. On a machine shared with other work
    the wall clock counts the time this process waits for a core; its CPU time does not
    (cache and memory traffic of the other work still count)."""
    import time

    harness.set_threads(1)
    tools = [f"fast-{lv}" for lv in levels()] + ["exact", "pyproj"]
    calls = {(kind, tool): call(kind, tool, n) for kind in SETS for tool in tools}
    best: dict[tuple[str, str], float] = {}
    for _ in range(rounds):
        for (kind, tool), function in calls.items():
            if tool.startswith("fast-"):
                os.environ["QUORVANE_SIMD"] = tool.removeprefix("fast-")
            t0 = time.process_time()
            function()
            spent = (time.process_time() - t0) / n
            best[kind, tool] = min(best.get((kind, tool), spent), spent)
    lines = [
        "## One thread, CPU time",
        "",
        (
            f"`{command}`: the least CPU time of {rounds} calls per tool on N = {n:.0e} pairs "
            f"per set, the tools taken in turn; {harness.machine_line(harness.metadata())}."
        ),
        "",
        "| set | tool | CPU time per pair | vs pyproj | vs exact |",
        "|---|---|---:|---:|---:|",
    ]
    for kind in SETS:
        peer, exact = best[kind, "pyproj"], best[kind, "exact"]
        for tool in tools:
            t = best[kind, tool]
            target = TARGETS.get(kind) if tool.startswith("fast-") else None
            versus = f"{t / peer:.2f}x"
            if target is not None:
                versus += f" ({'met' if t / peer <= target else 'missed'})"
            lines.append(f"| {kind} | {tool} | {t * 1e9:.0f} ns | {versus} | {t / exact:.2f}x |")
    return "\n".join(lines) + "\n"


def main() -> None:
    harness.replace_output(sys.argv[1:])
    runner = harness.runner("fast_geodesic", forward=("n",))
    runner.argparser.add_argument("--n", type=float, default=N_DEFAULT)
    runner.argparser.add_argument("--md", type=Path, help="write the Markdown table here")
    runner.argparser.add_argument(
        "--cpu-time",
        type=int,
        metavar="ROUNDS",
        help="only the one-thread CPU times, least of ROUNDS calls (no pyperf)",
    )
    args = runner.parse_args()
    runner.metadata.update(harness.metadata("quorvane-ellipsoid", "pyproj"))
    n = int(args.n)
    results = {}
    if args.cpu_time and not args.worker:
        command = " ".join(["python -m bench.fast_geodesic", *sys.argv[1:]])
        text = cpu_table(n, args.cpu_time, command)
        print(text)
        if args.md:
            args.md.write_text(text)
        return
    if not args.worker:
        check(min(n, 10_000))
        runner.args.processes, runner.args.values, runner.args.warmups = 3, 3, 1
        runner.args.loops = 1
    tools = [f"fast-{lv}" for lv in levels()] + ["exact", "pyproj"]
    for kind in SETS:
        for tool in tools:
            for threads in ("1t", "all") if tool != "pyproj" else ("1t",):
                b = harness.bench(
                    runner,
                    name(kind, tool, threads),
                    call,
                    kind,
                    tool,
                    n,
                    threads=1 if threads == "1t" else None,
                    inner_loops=n,
                )
                if b is not None and not args.worker:
                    results[b.get_name()] = b
    if not args.worker:
        command = " ".join(["python -m bench.fast_geodesic", *sys.argv[1:]])
        text = table(pyperf.BenchmarkSuite(list(results.values())), n, command)
        print(text)
        if args.md:
            args.md.write_text(text)


if __name__ == "__main__":
    main()
