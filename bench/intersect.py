"""Intersections of geodesics: the time per pair on arrays (one thread) against a loop of
one-pair calls, on WGS84.

    QUORVANE_NUM_THREADS=1 python -m bench.intersect [--pairs P] [--repeat R] [-o bench/results/intersect.md]

P pairs of lines from random starts in random directions that cross within a few thousand
kilometres (each built backwards from a random crossing point); the best of R timed calls.
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


def best(call, repeat: int) -> float:
    out = math.inf
    for _ in range(repeat):
        t = time.perf_counter()
        call()
        out = min(out, time.perf_counter() - t)
    return out


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

    array = best(lambda: gd.intersect("WGS84", *columns), args.repeat) / args.pairs * 1e6
    one = best(loop, args.repeat) / args.pairs * 1e6
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
            "| call | microseconds per pair |",
            "|---|---|",
            f"| geodesic.intersect on arrays ({threads} threads) | {array:.2f} |",
            f"| a loop of one-pair calls | {one:.2f} |",
            f"| loop / arrays | {one / array:.1f}x |",
            "",
        ]
    )
    args.output.write_text(text)
    print(text)


if __name__ == "__main__":
    main()
