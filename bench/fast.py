#!/usr/bin/env python3
"""Benchmark of the vectorised conversions (quorvane.mathtools.ellipsoid.fast) against the
exact methods, pyerfa and the memory floor, on pyperf.

    python -m bench.fast -o bench/results/fast.json          # N = 1e6, about 3 min on 2 cores
    python -m bench.fast --points 100000 -o /tmp/quick.json  # smaller N
    python -m pyperf show bench/results/fast.json

Benchmarks ``<function> <tool>`` (value: seconds per call of N points) for ``lla_from_pos``,
``pos_from_lla`` and ``aer_coords`` (one observer) on WGS84, points within 1e6 m of the
surface, contiguous float64:

``fast-1t``    ``fast.<function>`` with ``QUORVANE_NUM_THREADS=1``; ``fast`` on all CPUs
``exact-1t``   the ``Ellipsoid`` method, one thread; ``exact`` on all CPUs
``pyerfa``     ``erfa.gc2gde`` / ``erfa.gd2gce`` (one thread; no threaded form)
``pyproj``     for ``aer_coords``: pyproj's topocentric pipeline + NumPy (azimuth, elevation,
               range), as bench/peers/pyproj_adapter.py times it (this file runs on its own
               in pyperf's workers, so it builds the pipeline itself)
``floor``      the memory floor: ``np.copyto`` of an array of the input's bytes and one of
               the output's bytes (24 bytes a point each way), as NumPy does it (one thread)
"""

from __future__ import annotations

import math
import os
import time

import numpy as np
import pyperf

from quorvane.mathtools.ellipsoid import fast
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

RE, F = 6378137.0, 1 / 298.257223563
OBSERVER = (0.6, -1.4, 250.0)  # lat, lon (radians), alt (metres), as bench/workload.py


def _data(n):
    rng = np.random.default_rng(1)
    lat = rng.uniform(-np.pi / 2, np.pi / 2, n)
    lon = rng.uniform(-np.pi, np.pi, n)
    alt = rng.uniform(-1e6, 1e6, n)
    return lat, lon, alt, Ellipsoid(RE, F).pos_from_lla(lat, lon, alt)


def _timed(threads, call):
    """A pyperf time function: ``call()`` ``loops`` times with ``threads`` (None: all CPUs)."""

    def run(loops):
        if threads is None:
            os.environ.pop("QUORVANE_NUM_THREADS", None)
        else:
            os.environ["QUORVANE_NUM_THREADS"] = str(threads)
        t0 = time.perf_counter()
        for _ in range(loops):
            call()
        return time.perf_counter() - t0

    return run


def _tools(n):
    import erfa

    ell = Ellipsoid(RE, F)
    lat, lon, alt, r = _data(n)
    geo = np.stack([lat, lon, alt], axis=1)
    src, dst = np.empty_like(r), np.empty_like(r)

    def floor():
        np.copyto(src, r)
        np.copyto(dst, geo)

    yield "lla_from_pos", "fast-1t", 1, lambda: fast.lla_from_pos(ell, r)
    yield "lla_from_pos", "fast", None, lambda: fast.lla_from_pos(ell, r)
    yield "lla_from_pos", "exact-1t", 1, lambda: ell.lla_from_pos(r)
    yield "lla_from_pos", "exact", None, lambda: ell.lla_from_pos(r)
    yield "lla_from_pos", "pyerfa", 1, lambda: erfa.gc2gde(RE, F, r)
    yield "lla_from_pos", "floor", 1, floor
    yield "pos_from_lla", "fast-1t", 1, lambda: fast.pos_from_lla(ell, lat, lon, alt)
    yield "pos_from_lla", "fast", None, lambda: fast.pos_from_lla(ell, lat, lon, alt)
    yield "pos_from_lla", "exact-1t", 1, lambda: ell.pos_from_lla(lat, lon, alt)
    yield "pos_from_lla", "exact", None, lambda: ell.pos_from_lla(lat, lon, alt)
    yield "pos_from_lla", "pyerfa", 1, lambda: erfa.gd2gce(RE, F, lon, lat, alt)
    yield "pos_from_lla", "floor", 1, floor

    import pyproj  # the topocentric pipeline, as bench/peers/pyproj_adapter.py builds it

    lat0, lon0, alt0 = OBSERVER
    topo = pyproj.Transformer.from_pipeline(
        f"+proj=topocentric +a={RE!r} +rf={1.0 / F!r} +lat_0={math.degrees(lat0)!r} "
        f"+lon_0={math.degrees(lon0)!r} +h_0={alt0!r}"
    )
    x, y, z = (np.ascontiguousarray(r[:, k]) for k in range(3))

    def peer():
        east, north, up = topo.transform(x, y, z)
        rng = np.sqrt(east * east + north * north + up * up)
        return np.arctan2(east, north), np.arcsin(up / rng), rng

    yield "aer_coords", "fast-1t", 1, lambda: fast.aer_coords(ell, r, *OBSERVER)
    yield "aer_coords", "fast", None, lambda: fast.aer_coords(ell, r, *OBSERVER)
    yield "aer_coords", "exact-1t", 1, lambda: ell.aer_coords(r, *OBSERVER)
    yield "aer_coords", "exact", None, lambda: ell.aer_coords(r, *OBSERVER)
    yield "aer_coords", "pyproj", 1, peer
    yield "aer_coords", "floor", 1, floor


def main():
    runner = pyperf.Runner(processes=4, values=3, warmups=1)
    runner.argparser.add_argument("--points", type=int, default=1_000_000)
    n = runner.parse_args().points
    runner.metadata["simd_level"] = fast.level()
    for function, tool, threads, call in _tools(n):
        runner.bench_time_func(f"{function} {tool} N={n:.0e}", _timed(threads, call))


if __name__ == "__main__":
    main()
