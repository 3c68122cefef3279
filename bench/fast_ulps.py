#!/usr/bin/env python3
"""Measured error, in units in the last place, of the vector sin, cos and atan2 of the fast
conversions, against 40-digit values (mpmath), at the level the machine picks (every level
gives the same bits: tests/test_fast.py).

    python -m bench.fast_ulps [--points N]

Ranges: sin and cos on [-pi, pi] and on [-2^20, 2^20] (the largest argument served);
atan2 on pairs of random signs and exponents from 1e-300 to 1e300, and on pairs of
magnitudes within a factor of 10 (the octant boundaries).
"""

from __future__ import annotations

import argparse
import math

import mpmath as mp
import numpy as np

from quorvane.mathtools.ellipsoid import _fast, fast


def ulp_error(got, truth):
    """|got - truth| in units in the last place of truth (a 40-digit mpf)."""
    if truth == 0:
        return 0.0 if got == 0 else math.inf
    e = int(mp.floor(mp.log(abs(truth), 2)))
    return float(abs(mp.mpf(got) - truth) / mp.mpf(2) ** (max(e, -1022) - 52))


def worst(which, x, y, exact):
    out = np.empty(len(x))
    _fast.elementary(which, x, y, out)
    return max(ulp_error(g, exact(a, b)) for g, a, b in zip(out.tolist(), x.tolist(), y.tolist()))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=1)
    n = parser.parse_args().points
    rng = np.random.default_rng(parser.parse_args().seed)
    mp.mp.dps = 40
    print(f"level {fast.level()}, {n} points per range")
    ones = np.ones(n)
    for label, x in (
        ("[-pi, pi]", rng.uniform(-math.pi, math.pi, n)),
        ("[-2^20, 2^20]", rng.uniform(-(2.0**20), 2.0**20, n)),
    ):
        s = worst(0, x, ones, lambda a, _: mp.sin(mp.mpf(a)))
        c = worst(1, x, ones, lambda a, _: mp.cos(mp.mpf(a)))
        print(f"sin {label}: {s:.3f} ulp; cos {label}: {c:.3f} ulp")
    signs = rng.choice([-1.0, 1.0], (2, n))
    wide = signs * 10.0 ** rng.uniform(-300, 300, (2, n))
    near = signs * 10.0 ** rng.uniform(-1, 1, (2, n))
    for label, (y, x) in (("random exponents", wide), ("within a factor of 10", near)):
        a = worst(2, y, x, lambda u, v: mp.atan2(mp.mpf(u), mp.mpf(v)))
        print(f"atan2, {label}: {a:.3f} ulp")


if __name__ == "__main__":
    main()
