#!/usr/bin/env python3
"""Benchmark of the local-frame conversions (quorvane.mathtools.ellipsoid.frames), on pyperf.

Every function on N random WGS84 targets (altitudes up to 3e7 m), with one observer for all
targets and with one observer per target, against pymap3d and, where a PROJ pipeline does the
same job for one observer, pyproj's ``+proj=topocentric``. From the top of the repository::

    python -m bench.frames                         # N = 1e5, writes bench/results/frames.md
    python -m bench.frames --n 1e4 --fast --table /tmp/frames.md -o /tmp/frames.json
    python -m bench.frames --one-point             # writes bench/results/frames-one-point.md

``--one-point`` times calls of one point of Python floats instead: the frames functions (their
one-point path in ``_frames``), the same call made to take the array path (the observer's
latitude as a 0-d array), the ``Ellipsoid`` methods that compute the same, and pymap3d's
scalar call.

pyperf runs every benchmark (``<function> <observers> <tool>``, value: seconds per call) in
worker processes of its own and calibrates the loops; ``-o`` keeps its JSON, and its options
(``-p``, ``-n``, ``--fast``, ``--min-time``, ...) override the budget set here. Inputs are
prepared outside the timed call in each tool's own layout (separate coordinate arrays for the
peers, (N, 3) arrays here); the result allocation is inside it. The module runs with all CPUs
("ours") and with ``QUORVANE_NUM_THREADS=1`` ("ours-1t"). Before timing, the main process
compares each peer's result with the module's. The table gives pyperf's medians.
"""

from __future__ import annotations

import math
import sys
from pathlib import Path

import numpy as np
import pymap3d as pm
import pyperf
import pyproj

from bench import harness, report
from quorvane.mathtools.ellipsoid import frames as fr
from quorvane.mathtools.ellipsoid.catalogue import get

HERE = Path(__file__).resolve().parent
WGS84 = get("WGS84")
PEER = pm.Ellipsoid(semimajor_axis=WGS84.Re, semiminor_axis=WGS84.Rp)
OBSERVER = (0.6, -1.4, 250.0)  # lat, lon (radians), alt (metres)


def points(n, seed=20_261_208):
    rng = np.random.default_rng(seed)
    lat, lon = np.arcsin(rng.uniform(-1, 1, n)), rng.uniform(-math.pi, math.pi, n)
    alt = rng.uniform(-1e4, 3e7, n)
    obs = (
        np.arcsin(rng.uniform(-1, 1, n)),
        rng.uniform(-math.pi, math.pi, n),
        rng.uniform(-500, 1e4, n),
    )
    # ENU and AER inputs: those of the same targets seen from the observers (all above the
    # surface, where geodetic coordinates are unambiguous).
    local = {
        one: fr.enu_from_lla(WGS84, lat, lon, alt, *(OBSERVER if one else obs))
        for one in (True, False)
    }
    aer = {}
    for one in (True, False):
        records = fr.aer_from_lla(WGS84, lat, lon, alt, *(OBSERVER if one else obs))
        aer[one] = tuple(np.ascontiguousarray(records[f]) for f in records.dtype.names)
    pos = WGS84.pos_from_lla(lat, lon, alt)
    return {"lla": (lat, lon, alt), "pos": pos, "local": local, "aer": aer, "obs": obs}


def topocentric(obs, steps_before="", steps_after=""):
    """The PROJ pipeline into the topocentric frame of one observer (radians in and out)."""
    lat, lon, alt = obs
    topo = (
        f"+step +proj=topocentric +ellps=WGS84 +lat_0={math.degrees(lat)!r} "
        f"+lon_0={math.degrees(lon)!r} +h_0={alt!r}"
    )
    return pyproj.Transformer.from_pipeline(f"+proj=pipeline {steps_before} {topo} {steps_after}")


def cases(p, one):
    """name -> (ours, pymap3d, pyproj or None); each a call with no arguments."""
    obs = OBSERVER if one else p["obs"]
    lat0, lon0, _ = obs
    pos, local, lla, aer = p["pos"], p["local"][one], p["lla"], p["aer"][one]
    x, y, z = (np.ascontiguousarray(c) for c in pos.T)
    e, n, u = (np.ascontiguousarray(c) for c in local.T)
    ned = np.ascontiguousarray(local[:, [1, 0, 2]] * [1, 1, -1])
    proj = {}
    if one:
        cart = "+step +proj=cart +ellps=WGS84"
        swap = "+step +proj=axisswap +order=2,1,-3"
        t_enu, t_ned = topocentric(obs), topocentric(obs, steps_after=swap)
        t_geo = topocentric(obs, steps_before=cart)
        # Geodetic input to a pipeline is (lon, lat, alt).
        proj = {
            "enu_from_pos": lambda: t_enu.transform(x, y, z),
            "ned_from_pos": lambda: t_ned.transform(x, y, z),
            "pos_from_enu": lambda: t_enu.transform(e, n, u, direction="INVERSE"),
            "pos_from_ned": lambda: t_ned.transform(n, e, -u, direction="INVERSE"),
            "enu_from_lla": lambda: t_geo.transform(lla[1], lla[0], lla[2], radians=True),
            "lla_from_enu": lambda: t_geo.transform(e, n, u, radians=True, direction="INVERSE"),
        }
    return {
        "enu_from_pos": (
            lambda: fr.enu_from_pos(WGS84, pos, *obs),
            lambda: pm.ecef2enu(x, y, z, *obs, PEER, deg=False),
        ),
        "ned_from_pos": (
            lambda: fr.ned_from_pos(WGS84, pos, *obs),
            lambda: pm.ecef2ned(x, y, z, *obs, PEER, deg=False),
        ),
        "pos_from_enu": (
            lambda: fr.pos_from_enu(WGS84, local, *obs),
            lambda: pm.enu2ecef(e, n, u, *obs, PEER, deg=False),
        ),
        "pos_from_ned": (
            lambda: fr.pos_from_ned(WGS84, ned, *obs),
            lambda: pm.ned2ecef(n, e, -u, *obs, PEER, deg=False),
        ),
        "enu_from_lla": (
            lambda: fr.enu_from_lla(WGS84, *lla, *obs),
            lambda: pm.geodetic2enu(*lla, *obs, PEER, deg=False),
        ),
        "lla_from_enu": (
            lambda: fr.lla_from_enu(WGS84, local, *obs),
            lambda: pm.enu2geodetic(e, n, u, *obs, PEER, deg=False),
        ),
        "aer_from_lla": (
            lambda: fr.aer_from_lla(WGS84, *lla, *obs),
            lambda: pm.geodetic2aer(*lla, *obs, PEER, deg=False),
        ),
        "pos_from_aer": (
            lambda: fr.pos_from_aer(WGS84, *aer, *obs),
            lambda: pm.aer2ecef(*aer, *obs, PEER, deg=False),
        ),
        "lla_from_aer": (
            lambda: fr.lla_from_aer(WGS84, *aer, *obs),
            lambda: pm.aer2geodetic(*aer, *obs, PEER, deg=False),
        ),
        "enu_from_ecef_vector": (
            lambda: fr.enu_from_ecef_vector(WGS84, local, lat0, lon0),
            lambda: pm.ecef2enuv(e, n, u, lat0, lon0, deg=False),
        ),
        "ecef_vector_from_enu": (
            lambda: fr.ecef_vector_from_enu(WGS84, local, lat0, lon0),
            lambda: pm.enu2uvw(e, n, u, lat0, lon0, deg=False),
        ),
    }, proj


def columns(result):
    if isinstance(result, np.ndarray) and result.dtype.names:
        return np.stack([result[f] for f in result.dtype.names])
    if isinstance(result, np.ndarray):
        return result.T
    return np.stack(result)


def disagreement(name, ours, peer, peer_is_proj=False):
    """Largest difference: lengths in metres, angles in radians (wrapped)."""
    a, b = columns(ours), columns(peer)
    if peer_is_proj and name == "lla_from_enu":
        b = b[[1, 0, 2]]  # (lon, lat, alt) out of the pipeline
    d = np.abs(a - b)
    if name.startswith("lla") or name == "aer_from_lla":
        d[:2] = np.abs((a[:2] - b[:2] + math.pi) % (2 * math.pi) - math.pi)
    return np.nanmax(d, axis=1)


TOOLS = ("ours", "ours-1t", "pymap3d", "pyproj")
TABLE = HERE / "results" / "frames.md"


def observers(one: bool) -> str:
    return "one" if one else "per-target"


# One point of Python floats: a target and an observer (radians, metres).
LAT, LON, ALT = 0.83, 0.15, 9000.0
AZ, EL, RANGE = 0.7, 0.2, 4e5
R_TARGET = [4_200_000.0, 600_000.0, 4_700_000.0]
ONE_POINT_TOOLS = ("frames", "frames, array path", "method", "pymap3d")


def one_point_cases():
    """name -> {tool: a call with no arguments}: one point of each tool."""
    lat0, lon0, alt0 = OBSERVER
    arr = np.array(lat0)  # a 0-d array is not a plain number: the frames array path
    w, p = WGS84, PEER
    r = np.array(R_TARGET)
    return {
        "aer_from_lla": {
            "frames": lambda: fr.aer_from_lla(w, LAT, LON, ALT, lat0, lon0, alt0),
            "frames, array path": lambda: fr.aer_from_lla(w, LAT, LON, ALT, arr, lon0, alt0),
            "method": lambda: w.aer_coords(w.pos_from_lla(LAT, LON, ALT), lat0, lon0, alt0),
            "pymap3d": lambda: pm.geodetic2aer(LAT, LON, ALT, lat0, lon0, alt0, p, deg=False),
        },
        "enu_from_pos": {
            "frames": lambda: fr.enu_from_pos(w, R_TARGET, lat0, lon0, alt0),
            "frames, array path": lambda: fr.enu_from_pos(w, R_TARGET, arr, lon0, alt0),
            "pymap3d": lambda: pm.ecef2enu(*R_TARGET, lat0, lon0, alt0, p, deg=False),
        },
        "lla_from_aer": {
            "frames": lambda: fr.lla_from_aer(w, AZ, EL, RANGE, lat0, lon0, alt0),
            "frames, array path": lambda: fr.lla_from_aer(w, AZ, EL, RANGE, arr, lon0, alt0),
            "pymap3d": lambda: pm.aer2geodetic(AZ, EL, RANGE, lat0, lon0, alt0, p, deg=False),
        },
        "pos_from_lla": {
            "frames": lambda: fr.pos_from_lla(w, LAT, LON, ALT),
            "frames, array path": lambda: fr.pos_from_lla(w, np.array(LAT), LON, ALT),
            "method": lambda: w.pos_from_lla(LAT, LON, ALT),
            "pymap3d": lambda: pm.geodetic2ecef(LAT, LON, ALT, p, deg=False),
        },
        "lla_from_pos": {
            "frames": lambda: fr.lla_from_pos(w, r),
            "frames, array path": lambda: fr.lla_from_pos(w, [R_TARGET]),
            "method": lambda: w.lla_from_pos(r),
            "pymap3d": lambda: pm.ecef2geodetic(*R_TARGET, p, deg=False),
        },
    }


def every_function_cases():
    """name -> {"ours": a call}: one point of plain numbers for every public function of the
    companion modules (the registry's entries, exact and vectorised, and the geodesic paths)."""
    from quorvane.mathtools.ellipsoid import fast, geodesic
    from quorvane.mathtools.ellipsoid._registry import OPERATIONS

    values = {"latitude": 0.6, "angle": 0.4, "length": 2e4, "vector": R_TARGET}
    cases = {}
    for op in OPERATIONS:
        module = {"frames": fr, "geodesic": geodesic}.get(op.module)
        if module is None:
            continue
        args = [values[i.unit] for i in op.inputs]
        for label, function in ((op.qualname, getattr(module, op.name)),) + (
            ((f"fast.{op.name}", getattr(fast, op.name)),) if op.fast else ()
        ):
            cases[label] = {"ours": lambda f=function, a=args: f(WGS84, *a)}
    path = ([0.1, 0.2, 0.3], [0.4, 0.5, 0.7])
    cases["geodesic.waypoints"] = {"ours": lambda: geodesic.waypoints(WGS84, 0.1, 0.2, 0.3, 0.4, 5)}
    cases["geodesic.points_along"] = {
        "ours": lambda: geodesic.points_along(WGS84, 0.1, 0.2, 0.3, 1e6)
    }
    cases["geodesic.line_length"] = {"ours": lambda: geodesic.line_length(WGS84, *path)}
    cases["geodesic.polygon_area"] = {"ours": lambda: geodesic.polygon_area(WGS84, *path)}
    return cases


def one_point(runner, args):
    """Time one point of every tool, and of every companion function; the tables of medians go
    to ``args.table``."""
    benches = []
    for name, calls in {**one_point_cases(), **every_function_cases()}.items():
        for tool, call in calls.items():
            b = harness.bench(
                runner,
                f"{name} one-point {tool}",
                lambda call=call: call,
                metadata={"function": name},
            )
            if b is not None:
                benches.append(b)
    if args.worker:
        return
    table = args.table if args.table != TABLE else HERE / "results" / "frames-one-point.md"
    command = " ".join(["python -m bench.frames", *sys.argv[1:]])
    table.parent.mkdir(parents=True, exist_ok=True)
    table.write_text(report.frames_one_point_table(pyperf.BenchmarkSuite(benches), command))
    print(f"written to {table}")


def main():
    # A call takes 0.2 to 30 ms at N = 1e5: four processes of three values each are enough.
    runner = harness.runner("frames", forward=("n", "one_point"), values=3, processes=4)
    runner.argparser.add_argument("--n", type=float, default=1e5, help="targets (default 1e5)")
    runner.argparser.add_argument("--table", type=Path, default=TABLE, help="the Markdown table")
    runner.argparser.add_argument(
        "--one-point", action="store_true", help="one point of Python floats per call instead"
    )
    args = runner.parse_args()
    runner.metadata.update(harness.metadata("quorvane-ellipsoid", "pymap3d", "pyproj"))
    runner.metadata["PROJ_version"] = pyproj.proj_version_str
    if args.one_point:
        one_point(runner, args)
        return
    n = int(args.n)
    p = points(n)
    checks, benches = [], []
    for one in (True, False):
        ours_pm, proj = cases(p, one)
        for name, (ours, peer) in ours_pm.items():
            if not args.worker:
                result = ours()
                checks.append((name, one, "pymap3d", disagreement(name, result, peer())))
                if name in proj:
                    d = disagreement(name, result, proj[name](), peer_is_proj=True)
                    checks.append((name, one, "pyproj", d))
            calls = {"ours": ours, "ours-1t": ours, "pymap3d": peer, "pyproj": proj.get(name)}
            for tool in TOOLS:
                if calls[tool] is None:
                    continue
                b = harness.bench(
                    runner,
                    f"{name} {observers(one)} {tool}",
                    lambda call=calls[tool]: call,
                    threads=1 if tool == "ours-1t" else None,
                    metadata={"points": n, "function": name, "observers": observers(one)},
                )
                if b is not None:
                    benches.append(b)
    if not args.worker:
        command = " ".join(["python -m bench.frames", *sys.argv[1:]])
        text = report.frames_table(pyperf.BenchmarkSuite(benches), n, checks, command)
        args.table.parent.mkdir(parents=True, exist_ok=True)
        args.table.write_text(text)
        print(f"written to {args.table}")


if __name__ == "__main__":
    main()
