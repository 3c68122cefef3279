"""Intersections of geodesics: the time per pair on arrays (one thread) against a loop of
one-pair calls, on WGS84.

    QUORVANE_NUM_THREADS=1 python -m bench.intersect [--pairs P] [--repeat R] [-o bench/results/intersect.md]

P pairs of lines from random starts in random directions that cross within a few thousand
kilometres (each built backwards from a random crossing point); the best of R timed calls.
Beside them, P lines from random points in random directions anywhere: their closest
intersection is mostly farther than 9,985 km (|x| + |y|) from the starts, where the search for
the closest one runs.
"""

from __future__ import annotations

import argparse
import math
import os
import platform
import time
from pathlib import Path

import numpy as np

from quorvane.mathtools.ellipsoid import geodesic as gd

HERE = Path(__file__).resolve().parent


def lines(pairs: int):
    rng = np.random.default_rng(1)
    lat = np.arcsin(rng.uniform(-0.95, 0.95, pairs))
    lon = rng.uniform(-math.pi, math.pi, pairs)
    b1 = rng.uniform(-math.pi, math.pi, pairs)
    b2 = b1 + rng.uniform(0.2, math.pi - 0.2, pairs)
    d1, d2 = rng.uniform(1e4, 4e6, (2, pairs))
    p1 = gd.direct("WGS84", lat, lon, b1 + math.pi, d1)
    p2 = gd.direct("WGS84", lat, lon, b2 + math.pi, d2)
    return [
        p1["lat2"],
        p1["lon2"],
        p1["azi2"] + math.pi,
        p2["lat2"],
        p2["lon2"],
        p2["azi2"] + math.pi,
    ]


def random_lines(pairs: int):
    rng = np.random.default_rng(2)
    lat1, lat2 = np.arcsin(rng.uniform(-1, 1, (2, pairs)))
    lon1, lon2, azi1, azi2 = rng.uniform(-math.pi, math.pi, (4, pairs))
    return [lat1, lon1, azi1, lat2, lon2, azi2]


def best(call, repeat: int) -> tuple[float, float]:
    """The least wall-clock and the least CPU time of the process (which waiting for a core on
    a shared machine does not inflate) of R calls."""
    wall = cpu = math.inf
    for _ in range(repeat):
        t, c = time.perf_counter(), time.process_time()
        call()
        wall, cpu = min(wall, time.perf_counter() - t), min(cpu, time.process_time() - c)
    return wall, cpu


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pairs", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("-o", "--output", type=Path, default=HERE / "results" / "intersect.md")
    args = parser.parse_args()
    columns = lines(args.pairs)
    rows = [[float(c[i]) for c in columns] for i in range(args.pairs)]

    def loop() -> None:
        for row in rows:
            gd.intersect("WGS84", *row)

    per = 1e6 / args.pairs
    array, array_cpu = (t * per for t in best(lambda: gd.intersect("WGS84", *columns), args.repeat))
    one, one_cpu = (t * per for t in best(loop, args.repeat))
    anywhere = random_lines(args.pairs)
    far = gd.intersect("WGS84", *anywhere)
    share = np.mean(np.abs(far["x"]) + np.abs(far["y"]) > math.pi * 6356752.314245 / 2)
    spread, spread_cpu = (
        t * per for t in best(lambda: gd.intersect("WGS84", *anywhere), args.repeat)
    )
    threads = os.environ.get("QUORVANE_NUM_THREADS", "all")
    text = "\n".join(
        [
            "# Intersections of geodesics: time per pair",
            "",
            (
                f"`QUORVANE_NUM_THREADS={threads} python -m bench.intersect --pairs {args.pairs} "
                f"--repeat {args.repeat}` ({os.cpu_count()} CPUs, load average (1 min) "
                f"{os.getloadavg()[0]:.1f} at the start, Python {platform.python_version()}, "
                f"NumPy {np.__version__})."
            ),
            "",
            "| call | microseconds per pair | CPU microseconds per pair |",
            "|---|---|---|",
            f"| geodesic.intersect on arrays ({threads} threads) | {array:.2f} | {array_cpu:.2f} |",
            f"| a loop of one-pair calls | {one:.2f} | {one_cpu:.2f} |",
            f"| loop / arrays | {one / array:.1f}x | {one_cpu / array_cpu:.1f}x |",
            (
                f"| geodesic.intersect on arrays, lines from random points anywhere "
                f"({share:.0%} searched) | {spread:.2f} | {spread_cpu:.2f} |"
            ),
            "",
        ]
    )
    args.output.write_text(text)
    print(text)


if __name__ == "__main__":
    main()
