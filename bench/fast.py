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
               range), built here as testsupport/peers/pyproj_adapter.py builds it

and ``copy floor N=<n>``, the memory floor: ``np.copyto`` of an array of the input's bytes
and then one of the output's bytes (24 bytes a point each way; the second copies back into
the input, which holds the same values, so that N = 1e8 needs two arrays, not four), as NumPy
does it (one thread).
"""

from __future__ import annotations

import functools
import math
import sys

import numpy as np

from bench import harness, report

RE, F = 6378137.0, 1 / 298.257223563
OBSERVER = (0.6, -1.4, 250.0)  # lat, lon (radians), alt (metres), as testsupport/workload.py
FUNCTIONS, PEERS = report.FAST_FUNCTIONS, report.FAST_PEERS
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
    import pyproj  # the topocentric pipeline, as testsupport/peers/pyproj_adapter.py builds it

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


def _benchmarks(n, all_tools):
    """(name, threads, make, args) of every benchmark at N = n: ``make(*args)`` builds the
    call, whose first call (outside the timing) makes its data."""
    tools = ["fast-1t", "fast", "exact-1t", "exact"]
    for function in FUNCTIONS:
        for tool in [*tools, PEERS[function]]:
            if n >= LARGE_N and not all_tools and tool not in LARGE_TOOLS:
                continue
            threads = None if tool in ("fast", "exact") else 1
            yield f"{function} {tool} N={_size(n)}", threads, _calls, (function, tool, n)
    yield f"copy floor N={_size(n)}", 1, _floor, (n,)


_size = report.fast_size


def _run():
    from quorvane.mathtools.ellipsoid import fast

    runner = harness.runner(
        "fast", forward=("points", "all_tools"), processes=4, values=3, warmups=1
    )
    runner.argparser.add_argument(
        "--points", default="1e6", help="N, or several: 1e6,1e8 (default 1e6)"
    )
    runner.argparser.add_argument(
        "--all-tools", action="store_true", help=f"every tool also from N = {LARGE_N:.0e}"
    )
    args = runner.parse_args()
    runner.metadata["simd_level"] = fast.level()
    runner.metadata.update(harness.metadata("quorvane-ellipsoid", "pyerfa", "pyproj"))
    for n in (int(float(p)) for p in args.points.split(",")):
        for name, threads, make, make_args in _benchmarks(n, args.all_tools):
            harness.bench(runner, name, make, *make_args, threads=threads)


def main():
    if "--table" in sys.argv[1:]:
        paths = [a for a in sys.argv[1:] if a != "--table"]
        sys.stdout.write(report.fast_table(paths))
        return
    _run()


if __name__ == "__main__":
    main()
