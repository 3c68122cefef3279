"""Rhumb lines: accuracy against the 40-digit truth beside pymap3d's loxodrome, and speed.

    python -m bench.rhumb [-n N] [--pairs P] [--repeat R] [-o bench/results/rhumb.md]

Accuracy: per flattening and kind of line (random; east-west: within 1e-17 to 1e-9 rad of due
east or west, a third exactly along a parallel; across the antimeridian; short; next to the
poles, within 1e-9 to 1e-2 rad), N lines against testsupport/rhumb_truth.py (mpmath, 40
digits, from the definitions): the distance (nm), the azimuth (rad), S12 (m^2), and direct's
landing point from inverse's azimuth and distance (rad). pymap3d (3.x, a black box,
``lox.loxodrome_inverse`` in radians, its ellipsoid built from the same a and f) is measured
on the same lines for the distance and azimuth, given lon2 on lon1's side of the antimeridian
(it does not go the shorter way itself); it has no S12.

Speed: P random pairs, rhumb.inverse (with S12) in radians on one thread
(QUORVANE_NUM_THREADS=1, set before the first call) and on all cores, against
pymap3d.lox.loxodrome_inverse (NumPy-vectorised) on the same arrays: the best of R timed calls
each, as wall time.
"""

from __future__ import annotations

import argparse
import math
import os
import subprocess
import sys
import time
import zlib
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
FLATTENINGS = {"1/298.257": 1 / 298.257223563, "0": 0.0, "1/50": 1 / 50, "0.1": 0.1, "0.5": 0.5}
A = 6378137.0


def accuracy(n: int) -> list[str]:
    import warnings

    from pymap3d import lox
    from pymap3d.ellipsoid import Ellipsoid as PmEllipsoid

    from quorvane.mathtools.ellipsoid import rhumb
    from testsupport import rhumb_truth as rt
    from testsupport.rhumb_truth import KINDS, lines

    rows = [
        (
            "| f | lines | s12 (nm) | azi12 (rad) | S12 (m^2) | direct (rad) | pymap3d s12 (nm) |"
            " pymap3d azi12 (rad) |"
        ),
        "|---|---|---|---|---|---|---|---|",
    ]
    for label, f in FLATTENINGS.items():
        kinds = KINDS if label == "1/298.257" else ("random", "east-west")
        truth = rt.Ellipsoid(A, f)
        pm = PmEllipsoid(A, A * (1 - f), "bench")
        for kind in kinds:
            lat1, lon1, lat2, lon2 = lines(kind, np.random.default_rng(zlib.crc32(kind.encode())), n)
            r = rhumb.inverse((A, f), lat1, lon1, lat2, lon2)
            d = rhumb.direct((A, f), lat1, lon1, r["azi12"], r["s12"])
            worst = np.zeros(6)
            for i in range(n):
                s, a, S = (float(x) for x in truth.inverse(lat1[i], lon1[i], lat2[i], lon2[i]))
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    # pymap3d does not go the shorter way: it gets lon2 on lon1's side.
                    near = lon1[i] + math.remainder(lon2[i] - lon1[i], 2 * math.pi)
                    ps, pa = lox.loxodrome_inverse(
                        lat1[i], lon1[i], lat2[i], near, ell=pm, deg=False
                    )
                pa = math.remainder(float(pa), 2 * math.pi)
                land = max(
                    abs(d["lat2"][i] - lat2[i]),
                    abs(math.remainder(d["lon2"][i] - lon2[i], 2 * math.pi)),
                )
                errors = [
                    abs(r["s12"][i] - s) * 1e9,
                    abs(math.remainder(r["azi12"][i] - a, 2 * math.pi)),
                    abs(r["S12"][i] - S),
                    land,
                    abs(float(ps) - s) * 1e9 if math.isfinite(float(ps)) else math.inf,
                    abs(math.remainder(pa - a, 2 * math.pi)) if math.isfinite(pa) else math.inf,
                ]
                worst = np.maximum(worst, errors)
            rows.append(
                f"| {label} | {kind} | {worst[0]:.3g} | {worst[1]:.2g} | {worst[2]:.3g} |"
                f" {worst[3]:.2g} | {worst[4]:.3g} | {worst[5]:.2g} |"
            )
    return rows


def _best(call, repeat: int) -> float:
    best = math.inf
    for _ in range(repeat):
        t = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - t)
    return best


def speed_worker(pairs: int, repeat: int, which: str) -> float:
    rng = np.random.default_rng(0)
    lat1, lat2 = np.arcsin(rng.uniform(-1, 1, (2, pairs)))
    lon1, lon2 = rng.uniform(-math.pi, math.pi, (2, pairs))
    if which == "pymap3d":
        from pymap3d import lox

        return _best(lambda: lox.loxodrome_inverse(lat1, lon1, lat2, lon2, deg=False), repeat)
    from quorvane.mathtools.ellipsoid import rhumb

    rhumb.inverse("WGS84", lat1[:10], lon1[:10], lat2[:10], lon2[:10])
    return _best(lambda: rhumb.inverse("WGS84", lat1, lon1, lat2, lon2), repeat)


def speed(pairs: int, repeat: int) -> list[str]:
    out = {}
    for which, threads in (("ours-1", "1"), ("ours-all", ""), ("pymap3d", "")):
        env = dict(os.environ, QUORVANE_NUM_THREADS=threads)
        code = (
            "import bench.rhumb as b; "
            f"print(b.speed_worker({pairs}, {repeat}, {which.split('-')[0]!r}))"
        )
        text = subprocess.run(
            [sys.executable, "-c", code],
            env=env,
            cwd=HERE.parent,
            check=True,
            capture_output=True,
            text=True,
        ).stdout
        out[which] = float(text.split()[-1])
    ns = {k: v / pairs * 1e9 for k, v in out.items()}
    return [
        "| call | ns per pair | pymap3d / it |",
        "|---|---|---|",
        f"| rhumb.inverse, one thread | {ns['ours-1']:.0f} | {ns['pymap3d'] / ns['ours-1']:.2f}x |",
        (
            f"| rhumb.inverse, {os.cpu_count()} threads | {ns['ours-all']:.0f} |"
            f" {ns['pymap3d'] / ns['ours-all']:.2f}x |"
        ),
        f"| pymap3d.lox.loxodrome_inverse | {ns['pymap3d']:.0f} | 1 |",
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", type=int, default=200)
    parser.add_argument("--pairs", type=int, default=10**6)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("-o", "--output", type=Path, default=HERE / "results" / "rhumb.md")
    args = parser.parse_args()
    import platform
    from importlib.metadata import version

    machine = (
        f"{os.cpu_count()} CPUs, load average (1 min) {os.getloadavg()[0]:.1f} at the start, "
        f"Python {platform.python_version()}, NumPy {np.__version__}, "
        f"pymap3d {version('pymap3d')}"
    )
    command = " ".join(["python -m bench.rhumb", *sys.argv[1:]])
    text = [
        "# Rhumb lines: accuracy and speed",
        "",
        f"`{command}` ({machine}).",
        "",
        "## Accuracy",
        "",
        (
            f"The worst of {args.n} lines per row against the 40-digit truth of the same double "
            "inputs (testsupport/rhumb_truth.py); direct: the landing point of rhumb.direct from "
            "rhumb.inverse's azimuth and distance, against point 2. pymap3d on the same lines, "
            "given lon2 within 180 degrees of lon1 (it does not go the shorter way itself)."
        ),
        "",
        *accuracy(args.n),
        "",
        "## Speed",
        "",
        f"{args.pairs} random pairs (radians, WGS84), the best of {args.repeat} calls.",
        "",
        *speed(args.pairs, args.repeat),
        "",
    ]
    args.output.write_text("\n".join(text))
    print("\n".join(text))


if __name__ == "__main__":
    main()
