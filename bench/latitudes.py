"""Speed of the auxiliary latitudes against pymap3d, on pyperf.

From the top of the repository (a few minutes on 2 cores)::

    python -m bench.latitudes -o bench/results/latitudes.json --md bench/results/latitudes.md

geodetic -> conformal, authalic and rectifying and back on N random WGS84 latitudes (radians,
as NumPy float64): the exact kernels (``latitudes.convert``) and the vectorised ones
(``fast.latitudes_convert``), each on one thread (``QUORVANE_NUM_THREADS=1``) and on all CPUs,
and pymap3d's ``geodetic2conformal``... ``rectifying2geodetic`` (NumPy, one thread; a black
box).
Each value is seconds per latitude (pyperf's inner loops are the N latitudes); each call
allocates its result, as a user's would. Before timing, the main process checks that both tools
agree within 1e-9 rad. The Markdown table gives pyperf's medians and the ratios to pymap3d with
the targets (at most 0.5x on one thread, 0.3x on all cores) and the machine's load average.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pyperf

from bench import harness

N_DEFAULT = 1_000_000
WGS84 = (6378137.0, 1 / 298.257223563)
KINDS = ("conformal", "authalic", "rectifying")
TOOLS = ("ours-1t", "ours", "fast-1t", "fast", "pymap3d")
DIRECTIONS = ("from", "to")  # geodetic -> kind, kind -> geodetic


def name(kind: str, direction: str, tool: str) -> str:
    pair = f"geodetic->{kind}" if direction == "from" else f"{kind}->geodetic"
    return f"{pair} {tool}"


def call(tool: str, kind: str, direction: str, n: int):
    """The call to time, its inputs bound."""
    lat = np.random.default_rng(2023).uniform(-np.pi / 2, np.pi / 2, n)
    if tool.startswith(("ours", "fast")):
        from quorvane.mathtools.ellipsoid import fast, latitudes
        from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

        ell = Ellipsoid(*WGS84)
        source, target = ("geodetic", kind) if direction == "from" else (kind, "geodetic")
        convert = fast.latitudes_convert if tool.startswith("fast") else latitudes.convert
        return lambda: convert(ell, lat, source, target)
    import pymap3d
    from pymap3d import latitude as pl

    ell = pymap3d.Ellipsoid(WGS84[0], WGS84[0] * (1 - WGS84[1]))
    function = getattr(pl, f"geodetic2{kind}" if direction == "from" else f"{kind}2geodetic")
    return lambda: function(lat, ell, deg=False)


def check(n: int) -> None:
    for kind in KINDS:
        for direction in DIRECTIONS:
            peer = np.asarray(call("pymap3d", kind, direction, n)())
            for tool in ("ours", "fast"):
                ours = call(tool, kind, direction, n)()
                if not np.nanmax(np.abs(ours - peer)) < 1e-9:
                    sys.exit(f"bench.latitudes: {tool} and pymap3d disagree on {kind} {direction}")


def table(suite: pyperf.BenchmarkSuite, n: int, command: str) -> str:
    medians = {b.get_name(): b.median() for b in suite.get_benchmarks()}  # per latitude
    lines = [
        "# Auxiliary latitudes: speed",
        "",
        (
            f"`{command}`: {n} random WGS84 latitudes per call (radians, float64), pyperf's "
            "median in nanoseconds per latitude, for the exact kernels (`latitudes.convert`) and "
            "the vectorised ones (`fast.latitudes_convert`); ratios to pymap3d (targets: at most "
            "0.5 on one thread, 0.3 on all cores)."
        ),
        "",
        (
            "| conversion | exact, 1 thread | exact, all cores | fast, 1 thread | "
            "fast, all cores | pymap3d | exact/pymap3d 1 thread | exact/pymap3d all cores | "
            "fast/pymap3d 1 thread | fast/pymap3d all cores |"
        ),
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for kind in KINDS:
        for direction in DIRECTIONS:
            one, every, fast_one, fast_every, peer = (
                medians[name(kind, direction, t)] for t in TOOLS
            )
            pair = name(kind, direction, "").strip()
            times = " | ".join(f"{t * 1e9:.1f}" for t in (one, every, fast_one, fast_every, peer))
            ratios = " | ".join(f"{t / peer:.2f}" for t in (one, every, fast_one, fast_every))
            lines.append(f"| {pair} | {times} | {ratios} |")
    md = dict(suite.get_metadata())
    lines += ["", harness.machine_line(md, harness.loads(suite.get_benchmarks())) + ".", ""]
    return "\n".join(lines)


def main() -> None:
    harness.replace_output(sys.argv[1:])
    runner = harness.runner("latitudes", forward=("n",))
    runner.argparser.add_argument("--n", type=float, default=N_DEFAULT)
    runner.argparser.add_argument("--md", type=Path, help="write the Markdown table here")
    args = runner.parse_args()
    runner.metadata.update(harness.metadata("quorvane-ellipsoid", "pymap3d"))
    n = int(args.n)
    results = {}
    if not args.worker:
        check(min(n, 10_000))
        runner.args.processes, runner.args.values = 3, 3
        runner.args.warmups = 1
        runner.args.loops = 1
    for kind in KINDS:
        for direction in DIRECTIONS:
            for tool in TOOLS:
                b = harness.bench(
                    runner,
                    name(kind, direction, tool),
                    call,
                    tool,
                    kind,
                    direction,
                    n,
                    threads=1 if tool.endswith("-1t") else None,
                    inner_loops=n,
                )
                if b is not None and not args.worker:
                    results[name(kind, direction, tool)] = b
    if not args.worker:
        command = " ".join(["python -m bench.latitudes", *sys.argv[1:]])
        text = table(pyperf.BenchmarkSuite(list(results.values())), n, command)
        print(text)
        if args.md:
            args.md.write_text(text)


if __name__ == "__main__":
    main()
