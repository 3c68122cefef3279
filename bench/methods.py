#!/usr/bin/env python3
"""Benchmark of the Ellipsoid methods against a C++ floor and the peer libraries, on pyperf.

    python -m bench.methods -o bench/results/methods.json      # full run, about 15 min on 2 cores
    python -m bench.methods --quick -o /tmp/quick.json         # small N, short budgets
    python -m bench.report bench/results/methods.json          # results.md and scaling.png

pyperf runs every benchmark in worker processes of its own, calibrates the loops, records the
machine and writes the JSON; ``python -m pyperf compare_to a.json b.json --table`` compares
two runs. Options of pyperf (``-p``, ``-n``, ``--min-time``, ``-v``, ...) override the budgets
below; ``--help`` lists them with ours.

Benchmarks (``<method> <tool> N=<n>``, value: seconds per point) for each of the ten methods at
each N, for the tools:

``floor``        ``testsupport/floor.cpp``, a C++ loop over the published kernel table into a fresh
                 ``numpy.zeros`` result, lock released; ``floor-gil`` the same, lock held
``ours-1t``      exact float64 arrays, ``QUORVANE_NUM_THREADS=1``
``ours``         the same on all CPUs the process may use
``ours-interp``  an ndarray subclass, read through interpreter indexing (N <= --interp-max)
``pyerfa``, ``pyproj``, ``pymap3d``  the peers, each in its own natural layout
``numpy``        a hand-written NumPy expression where no peer offers the method

and ``one-point <method> <tool>`` (value: seconds per call) for one point of lla_from_pos,
pos_from_lla, aer_coords and enu against the peers' one-point calls. The adapters are
``ours_adapter.py``, ``floor_adapter.py`` and ``peers/`` in ``testsupport``; their agreement is
checked by tests/test_peer_agreement.py, not here. The timed loop is bench/harness.py's.

Once a call of a tool would take longer than --max-call seconds, its larger N are skipped.
"""

from __future__ import annotations

import atexit
import importlib.util
import json
import os
import platform
import shutil
import sys
import tempfile
import time
from pathlib import Path

from bench import harness
from testsupport import floor_adapter, ours_adapter
from testsupport.peers import numpy_adapter, pyerfa_adapter, pymap3d_adapter, pyproj_adapter
from testsupport.workload import AER_ONCE, OPS, TOOLS, WGS84, Workload, fmt_n

HERE = Path(__file__).resolve().parent
PEERS = {
    "pyerfa": pyerfa_adapter,
    "pyproj": pyproj_adapter,
    "pymap3d": pymap3d_adapter,
    "numpy": numpy_adapter,
}
FLOORS = ("floor", "floor-gil")
OURS = ("ours-1t", "ours", "ours-interp")
ONE_POINT_TOOLS = ("ours", "pyproj", "pymap3d", "pyerfa")


def ops_of(tool: str) -> tuple[str, ...]:
    if tool in FLOORS:
        return (*OPS, AER_ONCE)
    if tool in OURS:
        return ours_adapter.OPS
    return PEERS[tool].OPS


def one_point_ops(tool: str) -> dict[str, str]:
    return ours_adapter.ONE_POINT if tool == "ours" else PEERS[tool].ONE_POINT


def available(tool: str) -> bool:
    if tool in PEERS:
        return importlib.util.find_spec(PEERS[tool].MODULE) is not None
    return True


# ---------------------------------------------------------------------------------------------
# In the workers: the calls to time. Each worker runs one benchmark; harness.time_calls
# prepares its call on the first call of the time function, outside the timing.


def context(args) -> dict:
    return json.loads((Path(args.workdir) / "context.json").read_text())


def prepare(args, tool: str, op: str, n: int):
    w = Workload.load(Path(args.workdir), n)
    if tool in OURS or tool in FLOORS:
        e = ours_adapter.ellipsoid(*WGS84)
        if tool in OURS:
            builders = ours_adapter.calls(e, interpreter=tool == "ours-interp")
        else:
            floor = floor_adapter.load(Path(context(args)["floor"]))
            builders = floor_adapter.calls(e, floor, hold_gil=tool == "floor-gil")
    else:
        builders = PEERS[tool].calls(*WGS84)
    return builders[op](w, n)


def prepare_one_point(tool: str, op: str):
    w = Workload(1)
    if tool == "ours":
        return ours_adapter.one_point(ours_adapter.ellipsoid(*WGS84), w)[op]
    return PEERS[tool].one_point(*WGS84, w)[op]


# ---------------------------------------------------------------------------------------------
# In the main process: the shared inputs, the floor and the description of the machine, in a
# directory every worker reads.


def command_line_has(*options: str) -> bool:
    return any(
        a == o or a.startswith(o + "=") or (len(o) == 2 and a.startswith(o))
        for a in sys.argv[1:]
        for o in options
    )


def budget(n: int, quick: bool) -> dict:
    """pyperf's processes, values, minimum time per value and loops (0: calibrated) for a
    benchmark of n points (n = 1: one point). From 1e7 points on a call takes longer than
    the minimum time, so the loops are 1 without a calibration run."""
    if quick:
        return {"processes": 1, "values": 2, "min_time": 0.02, "loops": 0}
    if n >= 10**7:
        return {"processes": 1, "values": 3, "min_time": 0.05, "loops": 1}
    return {"processes": 2, "values": 3, "min_time": 0.05, "loops": 0}


def describe(tools: list[str]) -> dict:
    dists = ("quorvane-ellipsoid", *(PEERS[t].DIST for t in tools if t in PEERS))
    info = harness.metadata(*(d for d in dists if d))
    info["compiler"] = harness.first_line([os.environ.get("CXX", "c++"), "--version"])
    info["os"] = f"{platform.system()} {platform.release()}"
    spec = importlib.util.find_spec("quorvane.mathtools.ellipsoid.ellipsoid")
    if spec and spec.origin:
        stamp = time.gmtime(Path(spec.origin).stat().st_mtime)
        info["module"] = f"{spec.origin} (built {time.strftime('%Y-%m-%d %H:%M UTC', stamp)})"
    return info


def set_up(args, sizes: list[int], tools: list[str]) -> list[str]:
    """Makes the work directory; returns the tools that can run."""
    workdir = Path(tempfile.mkdtemp(prefix="quorvane-bench-"))
    atexit.register(shutil.rmtree, workdir, ignore_errors=True)
    args.workdir = str(workdir)
    ctx = {}
    if any(t in FLOORS for t in tools):
        try:
            path, flags = floor_adapter.build(workdir)
            ctx["floor"] = str(path)
        except RuntimeError as exc:
            print(f"the floor is skipped: {exc}", file=sys.stderr)
            tools = [t for t in tools if t not in FLOORS]
    print(f"making {fmt_n(max(sizes))} points ...", flush=True)
    Workload(max(sizes)).save(workdir)
    ctx["metadata"] = describe(tools)
    if "floor" in ctx:
        ctx["metadata"]["floor_flags"] = flags
    (workdir / "context.json").write_text(json.dumps(ctx))
    return tools


def main() -> None:
    # The workers run this module as the main process does: from the top of the repository.
    runner = harness.runner(
        "methods",
        forward=("workdir", "sizes", "tools", "ops", "interp_max", "skip", "no_one_point"),
    )
    p = runner.argparser
    p.add_argument("--quick", action="store_true", help="N = 1e3 and 1e5, short budgets")
    p.add_argument("--sizes", help="comma-separated N (default 1e3,1e4,1e5,1e6,1e7)")
    p.add_argument("--tools", help="comma-separated subset of: " + ", ".join(TOOLS))
    p.add_argument("--ops", help="comma-separated subset of the methods (default all ten)")
    p.add_argument("--interp-max", type=float, help="largest N of ours-interp (default 1e5)")
    p.add_argument(
        "--max-call",
        type=float,
        default=2.0,
        help="skip larger N of a tool once a call would take longer (seconds, default 2)",
    )
    p.add_argument("--no-one-point", action="store_true", help="skip the one-point latencies")
    p.add_argument("--workdir", help=argparse_hidden())
    p.add_argument("--skip", default="", help=argparse_hidden())
    args = runner.parse_args()
    args.skip = [s for s in args.skip.split(",") if s]

    if not args.worker:
        default_sizes = "1e3,1e5" if args.quick else "1e3,1e4,1e5,1e6,1e7"
        sizes = sorted({int(float(s)) for s in (args.sizes or default_sizes).split(",")})
        if args.interp_max is None:
            args.interp_max = 1e3 if args.quick else 1e5
        tools = [t for t in (args.tools.split(",") if args.tools else TOOLS) if t]
        unknown = [t for t in tools if t not in TOOLS]
        unknown += [op for op in (args.ops or "").split(",") if op and op not in OPS]
        if unknown:
            raise SystemExit(f"unknown tools or methods: {', '.join(unknown)}")
        missing = [t for t in tools if not available(t)]
        if missing:
            print(f"not installed, skipped: {', '.join(missing)}", file=sys.stderr)
        tools = set_up(args, sizes, [t for t in tools if t not in missing])
        args.sizes, args.tools = ",".join(map(str, sizes)), ",".join(tools)
        print(f"work directory {args.workdir}", flush=True)
    sizes = [int(s) for s in args.sizes.split(",")]
    tools = [t for t in args.tools.split(",") if t]
    runner.metadata.update(context(args)["metadata"])

    given = {
        "processes": command_line_has("-p", "--processes", "--fast", "--rigorous"),
        "values": command_line_has("-n", "--values", "--fast", "--rigorous"),
        "min_time": command_line_has("--min-time"),
        "loops": command_line_has("-l", "--loops"),
    }

    def bench(name, n, make, *make_args, threads=None, **metadata):
        if name in args.skip:
            return None
        if not args.worker:
            for key, value in budget(n, args.quick).items():
                if not given[key]:
                    setattr(runner.args, key, value)
        return harness.bench(
            runner,
            name,
            make,
            *make_args,
            threads=threads,
            warm_up=False,
            inner_loops=n if n > 1 else None,
            metadata={"points": n, **metadata},
        )

    ops = [op for op in (args.ops.split(",") if args.ops else OPS) if op]
    if "aer_coords" in ops:
        ops.append(AER_ONCE)
    for op in ops:
        for tool in tools:
            if op not in ops_of(tool):
                continue
            series = [n for n in sizes if tool != "ours-interp" or n <= args.interp_max]
            for i, n in enumerate(series):
                result = bench(
                    f"{op} {tool} N={fmt_n(n)}",
                    n,
                    prepare,
                    args,
                    tool,
                    op,
                    n,
                    threads=1 if tool == "ours-1t" else None,
                    op=op,
                    tool=tool,
                )
                timed = result is not None and result.get_unit() == "second"
                if not args.worker and timed and i + 1 < len(series):
                    seconds = result.median() * series[i + 1]
                    if seconds > args.max_call:
                        later = [f"{op} {tool} N={fmt_n(m)}" for m in series[i + 1 :]]
                        args.skip.extend(later)
                        print(f"skipped (a call would take {seconds:.1f} s): {', '.join(later)}")
    if not args.no_one_point:
        for tool in ONE_POINT_TOOLS:
            if tool not in tools:
                continue
            for op, call in one_point_ops(tool).items():
                if op not in ops:
                    continue
                bench(
                    f"one-point {op} {tool}",
                    1,
                    prepare_one_point,
                    tool,
                    op,
                    op=op,
                    tool=tool,
                    call=call,
                )


def argparse_hidden():
    import argparse

    return argparse.SUPPRESS


if __name__ == "__main__":
    main()
