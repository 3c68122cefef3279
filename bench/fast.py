#!/usr/bin/env python3
"""Benchmark of the vectorised conversions (quorvane.mathtools.ellipsoid.fast) against the
exact methods, the peers and the memory floor, on pyperf; and the table of its results.

    rm -f bench/results/fast-1e6.json bench/results/fast-1e8.json  # pyperf never overwrites
    python -m bench.fast -o bench/results/fast-1e6.json            # N = 1e6: about 5 min
    python -m bench.fast --points 1e8 -p 1 -n 2 -o bench/results/fast-1e8.json   # 4 min
    python -m bench.fast --table bench/results/fast-1e6.json bench/results/fast-1e8.json > bench/results/fast.md

(Times on 2 cores.) N = 1e8 holds about 5 GB per worker process (2.4 GB in, 2.4 GB
out): run it on a quiet machine (``uptime``: a load below 2), and by default it times only ``fast-1t``, ``fast`` and the
floor (``--all-tools`` adds the others: the exact methods take about a minute per call
there). pyperf records each run's load average, and the table shows the highest.

Benchmarks ``<function> <tool> N=<n>`` (value: seconds per call of N points) for
``lla_from_pos``, ``pos_from_lla`` and ``aer_coords`` (one observer) on WGS84, points
within 1e6 m of the surface, contiguous float64:

``fast-1t``    ``fast.<function>`` with ``QUORVANE_NUM_THREADS=1``; ``fast`` on all CPUs
``exact-1t``   the ``Ellipsoid`` method, one thread; ``exact`` on all CPUs
``pyerfa``     ``erfa.gc2gde`` / ``erfa.gd2gce`` (one thread; no threaded form)
``pyproj``     for ``aer_coords``: pyproj's topocentric pipeline + NumPy (azimuth, elevation,
               range), as bench/peers/pyproj_adapter.py times it (this file runs on its own
               in pyperf's workers, so it builds the pipeline itself)

and ``copy floor N=<n>``, the memory floor: ``np.copyto`` of an array of the input's bytes
and then one of the output's bytes (24 bytes a point each way; the second copies back into
the input, which holds the same values, so that N = 1e8 needs two arrays, not four), as NumPy
does it (one thread).
"""

from __future__ import annotations

import functools
import math
import os
import sys
import time

import numpy as np

RE, F = 6378137.0, 1 / 298.257223563
OBSERVER = (0.6, -1.4, 250.0)  # lat, lon (radians), alt (metres), as bench/workload.py
FUNCTIONS = ("lla_from_pos", "pos_from_lla", "aer_coords")
PEERS = {"lla_from_pos": "pyerfa", "pos_from_lla": "pyerfa", "aer_coords": "pyproj"}
PEER_NAMES = {
    "pyerfa": "pyerfa",
    "pyproj": "pyproj topocentric + NumPy",
}
# From this N only these tools run, unless --all-tools.
LARGE_N, LARGE_TOOLS = 10_000_000, ("fast-1t", "fast")


@functools.cache
def _ellipsoid():
    from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

    return Ellipsoid(RE, F)


@functools.cache
def _geodetic(n):
    """Latitude, longitude and altitude columns: uniform on the sphere's angles, altitudes
    within 1e6 m of the surface."""
    rng = np.random.default_rng(1)
    lat = rng.uniform(-np.pi / 2, np.pi / 2, n)
    lon = rng.uniform(-np.pi, np.pi, n)
    alt = rng.uniform(-1e6, 1e6, n)
    return lat, lon, alt


@functools.cache
def _positions(n):
    """The same points as ECEF rows (made from fresh columns, which are then dropped)."""
    from quorvane.mathtools.ellipsoid import fast

    rng = np.random.default_rng(1)
    lat = rng.uniform(-np.pi / 2, np.pi / 2, n)
    lon = rng.uniform(-np.pi, np.pi, n)
    alt = rng.uniform(-1e6, 1e6, n)
    return fast.pos_from_lla(_ellipsoid(), lat, lon, alt)


def _calls(function, tool, n):
    """A function of no arguments that makes one call of ``tool`` on N points (its data
    made on first use, outside the timing)."""
    from quorvane.mathtools.ellipsoid import fast

    ell = _ellipsoid()
    if tool in ("fast-1t", "fast"):
        if function == "pos_from_lla":
            return lambda: fast.pos_from_lla(ell, *_geodetic(n))
        if function == "aer_coords":
            return lambda: fast.aer_coords(ell, _positions(n), *OBSERVER)
        return lambda: fast.lla_from_pos(ell, _positions(n))
    if tool in ("exact-1t", "exact"):
        if function == "pos_from_lla":
            return lambda: ell.pos_from_lla(*_geodetic(n))
        if function == "aer_coords":
            return lambda: ell.aer_coords(_positions(n), *OBSERVER)
        return lambda: ell.lla_from_pos(_positions(n))
    if tool == "pyerfa":
        import erfa

        if function == "pos_from_lla":
            return lambda: erfa.gd2gce(RE, F, _geodetic(n)[1], _geodetic(n)[0], _geodetic(n)[2])
        return lambda: erfa.gc2gde(RE, F, _positions(n))
    if tool == "pyproj":
        return _pyproj_aer(n)
    raise ValueError(tool)


def _pyproj_aer(n):
    import pyproj  # the topocentric pipeline, as bench/peers/pyproj_adapter.py builds it

    lat0, lon0, alt0 = OBSERVER
    topo = pyproj.Transformer.from_pipeline(
        f"+proj=topocentric +a={RE!r} +rf={1.0 / F!r} +lat_0={math.degrees(lat0)!r} "
        f"+lon_0={math.degrees(lon0)!r} +h_0={alt0!r}"
    )

    @functools.cache
    def columns():
        return tuple(np.ascontiguousarray(_positions(n)[:, k]) for k in range(3))

    def peer():
        east, north, up = topo.transform(*columns())
        rng = np.sqrt(east * east + north * north + up * up)
        return np.arctan2(east, north), np.arcsin(up / rng), rng

    return peer


def _floor(n):
    @functools.cache
    def buffer():
        return np.empty_like(_positions(n))

    def copy():
        r, buf = _positions(n), buffer()
        np.copyto(buf, r)  # the input's bytes
        np.copyto(r, buf)  # the output's bytes (the same values back)

    return copy


def _timed(threads, call):
    """A pyperf time function: ``call()`` ``loops`` times with ``threads`` (None: all CPUs),
    its data made before the clock starts (once per worker)."""

    def run(loops):
        call.prepare()
        if threads is None:
            os.environ.pop("QUORVANE_NUM_THREADS", None)
        else:
            os.environ["QUORVANE_NUM_THREADS"] = str(threads)
        t0 = time.perf_counter()
        for _ in range(loops):
            call()
        return time.perf_counter() - t0

    return run


def _benchmarks(n, all_tools):
    """(name, threads, call) of every benchmark at N = n."""
    tools = ["fast-1t", "fast", "exact-1t", "exact"]
    for function in FUNCTIONS:
        for tool in [*tools, PEERS[function]]:
            if n >= LARGE_N and not all_tools and tool not in LARGE_TOOLS:
                continue
            threads = None if tool in ("fast", "exact") else 1
            yield f"{function} {tool} N={_size(n)}", threads, _Lazy(_calls, function, tool, n)
    yield f"copy floor N={_size(n)}", 1, _Lazy(_floor, n)


def _size(n):
    return f"{n:.0e}".replace("e+0", "e").replace("e+", "e")


class _Lazy:
    """A call whose callee (and data) is made on first use: a pyperf worker runs one
    benchmark and makes only that one's data."""

    def __init__(self, make, *args):
        self._make, self._args, self._call = make, args, None

    def prepare(self):
        if self._call is None:
            self._call = self._make(*self._args)
            self._call()  # makes the data; untimed

    def __call__(self):
        return self._call()


def _run():
    import pyperf

    from quorvane.mathtools.ellipsoid import fast

    def worker_args(cmd, args):
        cmd += ["--points", args.points] + (["--all-tools"] if args.all_tools else [])

    runner = pyperf.Runner(processes=4, values=3, warmups=1, add_cmdline_args=worker_args)
    runner.argparser.add_argument(
        "--points", default="1e6", help="N, or several: 1e6,1e8 (default 1e6)"
    )
    runner.argparser.add_argument(
        "--all-tools", action="store_true", help=f"every tool also from N = {LARGE_N:.0e}"
    )
    args = runner.parse_args()
    runner.metadata["simd_level"] = fast.level()
    for n in (int(float(p)) for p in args.points.split(",")):
        for name, threads, call in _benchmarks(n, args.all_tools):
            runner.bench_time_func(name, _timed(threads, call))


# --------------------------------------------------------------------------------------------
# The table.


def _stats(paths):
    """{(function, tool, n): (mean, stdev, highest load)} and the runs' metadata."""
    import pyperf

    values, metadata = {}, {}
    for path in paths:
        suite = pyperf.BenchmarkSuite.load(path)
        metadata.update(suite.get_metadata())
        for bench in suite.get_benchmarks():
            function, tool, size = bench.get_name().split()
            loads = [
                float(run.get_metadata().get("load_avg_1min", math.nan)) for run in bench.get_runs()
            ]
            stdev = bench.stdev() if bench.get_nvalue() > 1 else 0.0
            n = int(float(size.removeprefix("N=")))
            values[(function, tool, n)] = (bench.mean(), stdev, max(loads, default=math.nan))
    return values, metadata


def _time(seconds):
    return f"{seconds * 1e3:.3g} ms" if seconds < 1 else f"{seconds:.3g} s"


def table(paths):
    """The Markdown of bench/results/fast.md from the JSON files of one or more runs."""
    values, metadata = _stats(paths)
    sizes = sorted({n for (_, _, n) in values})
    out = [
        "# The vectorised conversions: speed",
        "",
        "Made by (from the top of the repository; see bench/fast.py):",
        "",
        "    python -m bench.fast -o bench/results/fast-1e6.json",
        "    python -m bench.fast --points 1e8 -p 1 -n 2 -o bench/results/fast-1e8.json",
        (
            "    python -m bench.fast --table bench/results/fast-1e6.json bench/results/fast-1e8.json"
            " > bench/results/fast.md"
        ),
        "",
        (
            f"Level `{metadata.get('simd_level', '?')}`, {metadata.get('cpu_count', '?')} CPUs "
            f"({metadata.get('cpu_model_name', '?')}). WGS84, points within 1e6 m of the surface, "
            "contiguous float64; `aer_coords` with one observer. Mean time per call of N points "
            "(pyperf; +- one standard deviation where it exceeds a tenth of the mean). The memory "
            "floor is `np.copyto` of an array of the input's bytes and one of the output's bytes "
            "(24 bytes a point each way), one thread."
        ),
    ]

    def cell(function, tool, n):
        v = values.get((function, tool, n))
        if v is None:
            return "-"
        noise = f" (+- {_time(v[1])})" if v[1] > 0.1 * v[0] else ""
        return _time(v[0]) + noise

    def ratio(a, b):
        if a is None or b is None:
            return "-"
        return f"{a[0] / b[0]:.2f}"

    for n in sizes:
        floor = values.get(("copy", "floor", n))
        here = [v[2] for (_, _, m), v in values.items() if m == n and not math.isnan(v[2])]
        out += [
            "",
            f"## N = {_size(n)}",
            "",
            f"Load average during these runs: up to {max(here, default=math.nan):.1f}.",
            "",
            (
                "| function | fast, 1 thread | fast, all cores | exact method, 1 thread | "
                "exact method, all cores | peer | memory floor |"
            ),
            "|---|---|---|---|---|---|---|",
        ]
        for function in FUNCTIONS:
            peer = PEERS[function]
            cells = [cell(function, t, n) for t in ("fast-1t", "fast", "exact-1t", "exact")]
            peer_cell = cell(function, peer, n)
            peer_cell = "-" if peer_cell == "-" else f"{PEER_NAMES[peer]} {peer_cell}"
            out.append(
                f"| `{function}` | "
                + " | ".join([*cells, peer_cell, cell("copy", "floor", n)])
                + " |"
            )
        out += [
            "",
            "| ratio | " + " | ".join(f"`{f}`" for f in FUNCTIONS) + " | target |",
            "|---|---|---|---|---|",
        ]
        rows = [
            ("fast (1 thread) / peer", lambda f: (("fast-1t", f), (PEERS[f], f)), "at most 0.5"),
            (
                "fast (1 thread) / exact method (1 thread)",
                lambda f: (("fast-1t", f), ("exact-1t", f)),
                "",
            ),
            ("fast (all cores) / memory floor", lambda f: (("fast", f), None), "at most 2"),
        ]
        for label, pick, target in rows:
            cells = []
            for function in FUNCTIONS:
                (ta, fa), other = pick(function)
                a = values.get((fa, ta, n))
                b = floor if other is None else values.get((other[1], other[0], n))
                cells.append(ratio(a, b))
            out.append(f"| {label} | " + " | ".join(cells) + f" | {target} |")
    return "\n".join(out) + "\n"


def main():
    if "--table" in sys.argv[1:]:
        paths = [a for a in sys.argv[1:] if a != "--table"]
        sys.stdout.write(table(paths))
        return
    _run()


if __name__ == "__main__":
    main()
