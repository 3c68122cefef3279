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

The vectorised kernel (fast.rhumb_inverse, fast.rhumb_direct: the same series in lanes, the
exact kernel for what the lanes hand over) is measured on the same lines beside the exact one.

Speed: P random pairs, rhumb.inverse and fast.rhumb_inverse (with S12) in radians on one thread
(QUORVANE_NUM_THREADS=1, set before the first call) and on all cores, against
pymap3d.lox.loxodrome_inverse (NumPy-vectorised) on the same arrays, each in a process of its
own: the best of R timed calls each, as wall time and as the process's CPU time
(time.process_time: on a shared machine the CPU time of a one-thread call is what other
processes disturb least; on all cores it is the sum over the threads).
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

    from quorvane.mathtools.ellipsoid import fast, rhumb
    from testsupport import rhumb_truth as rt
    from testsupport.rhumb_truth import KINDS, lines

    rows = [
        (
            "| f | lines | s12 (nm) | azi12 (rad) | S12 (m^2) | direct (rad) | fast s12 (nm) |"
            " fast azi12 (rad) | fast S12 (m^2) | fast direct (rad) | pymap3d s12 (nm) |"
            " pymap3d azi12 (rad) |"
        ),
        "|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for label, f in FLATTENINGS.items():
        kinds = KINDS if label == "1/298.257" else ("random", "east-west")
        truth = rt.Ellipsoid(A, f)
        pm = PmEllipsoid(A, A * (1 - f), "bench")
        for kind in kinds:
            lat1, lon1, lat2, lon2 = lines(
                kind, np.random.default_rng(zlib.crc32(kind.encode())), n
            )
            r = rhumb.inverse((A, f), lat1, lon1, lat2, lon2)
            d = rhumb.direct((A, f), lat1, lon1, r["azi12"], r["s12"])
            fr = fast.rhumb_inverse((A, f), lat1, lon1, lat2, lon2)
            fd = fast.rhumb_direct((A, f), lat1, lon1, fr["azi12"], fr["s12"])
            worst = np.zeros(10)
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
                errors = []
                for inv, dire in ((r, d), (fr, fd)):
                    land = max(
                        abs(dire["lat2"][i] - lat2[i]),
                        abs(math.remainder(dire["lon2"][i] - lon2[i], 2 * math.pi)),
                    )
                    errors += [
                        abs(inv["s12"][i] - s) * 1e9,
                        abs(math.remainder(inv["azi12"][i] - a, 2 * math.pi)),
                        abs(inv["S12"][i] - S),
                        land,
                    ]
                errors += [
                    abs(float(ps) - s) * 1e9 if math.isfinite(float(ps)) else math.inf,
                    abs(math.remainder(pa - a, 2 * math.pi)) if math.isfinite(pa) else math.inf,
                ]
                worst = np.maximum(worst, errors)
            rows.append(
                f"| {label} | {kind} | {worst[0]:.3g} | {worst[1]:.2g} | {worst[2]:.3g} |"
                f" {worst[3]:.2g} | {worst[4]:.3g} | {worst[5]:.2g} | {worst[6]:.3g} |"
                f" {worst[7]:.2g} | {worst[8]:.3g} | {worst[9]:.2g} |"
            )
    return rows


def _best(call, repeat: int) -> tuple[float, float]:
    """The best wall time and the best process CPU time of ``repeat`` calls."""
    wall = cpu = math.inf
    for _ in range(repeat):
        t, c = time.perf_counter(), time.process_time()
        call()
        wall = min(wall, time.perf_counter() - t)
        cpu = min(cpu, time.process_time() - c)
    return wall, cpu


def speed_worker(pairs: int, repeat: int, which: str) -> tuple[float, float]:
    rng = np.random.default_rng(0)
    lat1, lat2 = np.arcsin(rng.uniform(-1, 1, (2, pairs)))
    lon1, lon2 = rng.uniform(-math.pi, math.pi, (2, pairs))
    if which == "pymap3d":
        from pymap3d import lox

        return _best(lambda: lox.loxodrome_inverse(lat1, lon1, lat2, lon2, deg=False), repeat)
    from quorvane.mathtools.ellipsoid import fast, rhumb

    inverse = fast.rhumb_inverse if which == "fast" else rhumb.inverse
    inverse("WGS84", lat1[:10], lon1[:10], lat2[:10], lon2[:10])
    return _best(lambda: inverse("WGS84", lat1, lon1, lat2, lon2), repeat)


CALLS = {
    "exact-1": "rhumb.inverse, one thread",
    "exact-all": "rhumb.inverse, {cpus} threads",
    "fast-1": "fast.rhumb_inverse, one thread",
    "fast-all": "fast.rhumb_inverse, {cpus} threads",
    "pymap3d": "pymap3d.lox.loxodrome_inverse",
}


def speed(pairs: int, repeat: int) -> list[str]:
    out = {}
    for which in CALLS:
        env = dict(os.environ, QUORVANE_NUM_THREADS="1" if which.endswith("-1") else "")
        code = (
            "import bench.rhumb as b; "
            f"print(*b.speed_worker({pairs}, {repeat}, {which.split('-')[0]!r}))"
        )
        text = subprocess.run(
            [sys.executable, "-c", code],
            env=env,
            cwd=HERE.parent,
            check=True,
            capture_output=True,
            text=True,
        ).stdout
        out[which] = [float(x) / pairs * 1e9 for x in text.split()[-2:]]
    wall, cpu = out["pymap3d"]
    rows = [
        "| call | ns per pair (wall) | pymap3d / it | CPU ns per pair | pymap3d / it (CPU) |",
        "|---|---|---|---|---|",
    ]
    for which, name in CALLS.items():
        w, c = out[which]
        rows.append(
            f"| {name.format(cpus=os.cpu_count())} | {w:.0f} | {wall / w:.2f}x | {c:.0f} |"
            f" {cpu / c:.2f}x |"
        )
    return rows


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
        (
            f"{args.pairs} random pairs (radians, WGS84), the best of {args.repeat} calls, as wall"
            " time and as CPU time (on all cores: the threads' sum)."
        ),
        "",
        *speed(args.pairs, args.repeat),
        "",
    ]
    args.output.write_text("\n".join(text))
    print("\n".join(text))


if __name__ == "__main__":
    main()
