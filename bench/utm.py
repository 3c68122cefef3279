"""Speed of UTM and MGRS against pyproj and the `mgrs` package, on pyperf.

From the top of the repository (a few minutes on 2 cores)::

    python -m bench.utm -o bench/results/utm.json --md bench/results/utm.md

UTM forward and reverse on N random WGS84 points in zone 32 north (degrees, as NumPy float64):
the module's ``utm.forward``/``utm.reverse`` (standard zone found per point) on one thread
(``QUORVANE_NUM_THREADS=1``) and on all CPUs, and pyproj's ``Transformer`` EPSG:4326 ->
EPSG:32632 (``always_xy``, one thread; a black box). ``to_mgrs`` (precision 5) against the
``mgrs`` package's ``MGRS().toMGRS``, which takes one point per call (timed on N_MGRS points
in a Python loop, as its users call it). Each value is seconds per point; each call allocates
its result, as a user's would. Before timing, the main process checks that the tools agree
(12 nm for the grid, the codes on 99 % of the points). The Markdown table gives pyperf's
medians and the ratios to the peer with the targets (UTM at most 0.5x pyproj on one thread,
0.3x on all cores; to_mgrs at least 10x faster than the `mgrs` package) and the machine's load.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pyperf

from bench import harness

N_DEFAULT = 1_000_000
N_MGRS = 20_000  # the mgrs package: one point per call
OPS = ("forward", "reverse", "to_mgrs")
TOOLS = {"forward": ("ours-1t", "ours", "pyproj"), "reverse": ("ours-1t", "ours", "pyproj")}
TOOLS["to_mgrs"] = ("ours-1t", "ours", "mgrs")


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
    """The call to time, its inputs bound."""
    from quorvane.mathtools.ellipsoid import utm

    lat, lon = points(n if tool != "mgrs" else min(n, N_MGRS))
    if op == "reverse":
        g = utm.forward(lat, lon, degrees=True)
        zone, north = np.full(n, 32), np.ones(n, bool)
        east, northing = np.ascontiguousarray(g["easting"]), np.ascontiguousarray(g["northing"])
    if tool.startswith("ours"):
        if op == "forward":
            return lambda: utm.forward(lat, lon, degrees=True)
        if op == "reverse":
            return lambda: utm.reverse(zone, north, east, northing, degrees=True)
        return lambda: utm.to_mgrs(lat, lon, degrees=True)
    if tool == "pyproj":
        t = _pyproj(op == "reverse")
        if op == "forward":
            return lambda: t.transform(lon, lat)
        return lambda: t.transform(east, northing)
    import mgrs

    m = mgrs.MGRS()
    pairs = list(zip(lat.tolist(), lon.tolist()))
    return lambda: [m.toMGRS(a, b) for a, b in pairs]


def check(n: int) -> None:
    from quorvane.mathtools.ellipsoid import utm

    lat, lon = points(n)
    g = utm.forward(lat, lon, degrees=True)
    e, nn = call("pyproj", "forward", n)()
    if not np.hypot(g["easting"] - e, g["northing"] - nn).max() < 12e-9:
        sys.exit("bench.utm: the module and pyproj disagree on the UTM grid")
    ours = call("ours", "to_mgrs", 1000)()
    theirs = call("mgrs", "to_mgrs", 1000)()
    if not np.mean([a == b for a, b in zip(ours.tolist(), theirs)]) >= 0.99:
        sys.exit("bench.utm: the module and the mgrs package disagree on the codes")


def table(suite: pyperf.BenchmarkSuite, n: int, command: str) -> str:
    medians = {b.get_name(): b.median() for b in suite.get_benchmarks()}  # per point
    lines = [
        "# UTM and MGRS: speed",
        "",
        (
            f"`{command}`: {n} random WGS84 points in zone 32 N per call (degrees, float64; the "
            f"`mgrs` package {N_MGRS} points, one per call), pyperf's median in nanoseconds per "
            "point; ratios to the peer (targets: UTM at most 0.5 on one thread and 0.3 on all "
            "cores against pyproj; to_mgrs at most 0.1 against the mgrs package)."
        ),
        "",
        "| operation | ours, 1 thread | ours, all cores | peer | ratio 1 thread | ratio all cores |",
        "|---|---|---|---|---|---|",
    ]
    for op in OPS:
        one, every, peer = (medians[f"{op} {t}"] for t in TOOLS[op])
        lines.append(
            f"| {op} (peer: {TOOLS[op][2]}) | {one * 1e9:.1f} | {every * 1e9:.1f} | "
            f"{peer * 1e9:.1f} | {one / peer:.3f} | {every / peer:.3f} |"
        )
    md = dict(suite.get_metadata())
    lines += ["", harness.machine_line(md, harness.loads(suite.get_benchmarks())) + ".", ""]
    return "\n".join(lines)


def main() -> None:
    harness.replace_output(sys.argv[1:])
    runner = harness.runner("utm", forward=("n",))
    runner.argparser.add_argument("--n", type=float, default=N_DEFAULT)
    runner.argparser.add_argument("--md", type=Path, help="write the Markdown table here")
    args = runner.parse_args()
    runner.metadata.update(harness.metadata("quorvane-ellipsoid", "pyproj", "mgrs"))
    n = int(args.n)
    results = {}
    if not args.worker:
        check(min(n, 10_000))
        runner.args.processes, runner.args.values = 3, 3
        runner.args.warmups = 1
        runner.args.loops = 1
    for op in OPS:
        for tool in TOOLS[op]:
            b = harness.bench(
                runner,
                f"{op} {tool}",
                call,
                tool,
                op,
                n,
                threads=1 if tool == "ours-1t" else None,
                inner_loops=min(n, N_MGRS) if tool == "mgrs" else n,
            )
            if b is not None and not args.worker:
                results[f"{op} {tool}"] = b
    if not args.worker:
        command = " ".join(["python -m bench.utm", *sys.argv[1:]])
        text = table(pyperf.BenchmarkSuite(list(results.values())), n, command)
        print(text)
        if args.md:
            args.md.write_text(text)


if __name__ == "__main__":
    main()
