"""The one benchmark harness: pyperf runners whose workers get the main process's options, the
one timed loop every pyperf benchmark here uses, and what the tables say of the machine.

pyperf runs each benchmark in worker processes of its own (``python -m bench.<name>`` from the
top of the repository, with the options ``runner`` forwards), calibrates the loops, records
each run's load average and writes the JSON (``-o``). ``bench/report.py`` writes every table
and figure from what it records; ``machine_line`` is the one description of the machine and
its load in them.
"""

from __future__ import annotations

import gc
import itertools
import os
import platform
import subprocess
import time
from collections.abc import Callable, Iterable
from importlib.metadata import PackageNotFoundError, version
from pathlib import Path

import pyperf

HERE = Path(__file__).resolve().parent


def runner(module: str, forward: Iterable[str] = (), **defaults) -> pyperf.Runner:
    """A pyperf ``Runner`` whose workers run ``python -m bench.<module>`` and get the options
    named in ``forward`` (argparse destinations) as the main process parsed them: a true flag
    as ``--name``, a list joined with commas, None, False and empty lists left out.
    ``defaults`` are pyperf's (``processes``, ``values``, ...), which its own options override."""
    forward = tuple(forward)

    def add_worker_args(cmd: list[str], args) -> None:
        for dest in forward:
            value = getattr(args, dest)
            flag = "--" + dest.replace("_", "-")
            if value is True:
                cmd.append(flag)
            elif value is None or value is False or value == []:
                continue
            elif isinstance(value, (list, tuple)):
                cmd.extend([flag, ",".join(map(str, value))])
            else:
                cmd.extend([flag, str(value)])

    r = pyperf.Runner(
        program_args=("-m", f"bench.{module}"), add_cmdline_args=add_worker_args, **defaults
    )
    return r


def replace_output(argv: list[str]) -> None:
    """pyperf refuses to write its JSON over an older run's: this run replaces it."""
    if "--worker" in argv:
        return
    for k, arg in enumerate(argv):
        path = argv[k + 1] if arg in ("-o", "--output") and k + 1 < len(argv) else None
        if arg.startswith("--output="):
            path = arg.split("=", 1)[1]
        if path and os.path.isfile(path):
            os.remove(path)


def set_threads(threads: int | None) -> None:
    """``QUORVANE_NUM_THREADS`` for the calls that follow (None: all CPUs); the module reads it
    at each call."""
    if threads is None:
        os.environ.pop("QUORVANE_NUM_THREADS", None)
    else:
        os.environ["QUORVANE_NUM_THREADS"] = str(threads)


_built: dict[str, object] = {}


def time_calls(
    loops: int, name: str, make: Callable, threads: int | None, warm_up: bool, *args
) -> float:
    """pyperf's time function of every benchmark: ``loops`` calls of what ``make(*args)``
    builds (once per worker, outside the timing, with ``threads`` set first), the garbage
    collector off. ``make`` returns a callable of no arguments, or ``(function, args, kwargs)``,
    called as such so that one-point timings carry no wrapper. With ``warm_up`` one call is made
    before the clock starts."""
    set_threads(threads)
    if name not in _built:
        _built[name] = make(*args)
        if warm_up:
            call = _built[name]
            call() if callable(call) else call[0](*call[1], **call[2])
    call = _built[name]
    gc.disable()
    try:
        if callable(call):
            t0 = time.perf_counter()
            for _ in itertools.repeat(None, loops):
                call()
        else:
            fn, a, kw = call
            if kw:
                t0 = time.perf_counter()
                for _ in itertools.repeat(None, loops):
                    fn(*a, **kw)
            else:
                t0 = time.perf_counter()
                for _ in itertools.repeat(None, loops):
                    fn(*a)
        return time.perf_counter() - t0
    finally:
        gc.enable()


def bench(
    r: pyperf.Runner,
    name: str,
    make: Callable,
    *args,
    threads: int | None = None,
    warm_up: bool = True,
    inner_loops: int | None = None,
    metadata: dict | None = None,
) -> pyperf.Benchmark | None:
    """Times ``make(*args)``'s call as benchmark ``name`` (see ``time_calls``); returns pyperf's
    result in the main process, None in a worker that runs another benchmark."""
    return r.bench_time_func(
        name,
        time_calls,
        name,
        make,
        threads,
        warm_up,
        *args,
        inner_loops=inner_loops,
        metadata=metadata,
    )


# ---------------------------------------------------------------------------------------------
# The machine and its load


def first_line(command: list[str]) -> str:
    try:
        out = subprocess.run(command, capture_output=True, text=True, check=False).stdout
    except OSError:
        return "?"
    return out.splitlines()[0].strip() if out.strip() else "?"


def metadata(*dists: str) -> dict[str, object]:
    """What the tables say of the machine beyond pyperf's own metadata: the CPUs this process
    may use, the architecture, the checkout, NumPy's and each distribution's version."""
    import numpy as np

    info: dict[str, object] = {
        "cpus_available": len(os.sched_getaffinity(0)),
        "machine": platform.machine(),
        "numpy_version": np.__version__,
        "git_commit": first_line(["git", "-C", str(HERE), "rev-parse", "--short", "HEAD"]),
    }
    for dist in dists:
        try:
            info[f"{dist}_version"] = version(dist)
        except PackageNotFoundError:
            pass
    return info


def loads(benchmarks: Iterable[pyperf.Benchmark]) -> list[float]:
    """The 1-minute load averages pyperf recorded with each run."""
    return [
        float(x)
        for b in benchmarks
        for run in b.get_runs()
        if (x := run.get_metadata().get("load_avg_1min")) is not None
    ]


def machine_line(md: dict, load: Iterable[float] = ()) -> str:
    """The machine, the versions and the load, as every table states them: from pyperf's
    metadata and ``metadata()`` (or the same keys gathered otherwise), and the load averages of
    the runs (none given: the load now)."""
    load = list(load) or [os.getloadavg()[0]]
    cpus = md.get("cpus_available", md.get("cpu_count", os.cpu_count()))
    about = ", ".join(str(x) for x in (md.get("machine"), md.get("cpu_model_name")) if x)
    python = str(md.get("python_version", platform.python_version())).split()[0]
    versions = [f"NumPy {md['numpy_version']}"] if "numpy_version" in md else []
    versions += [
        f"{'pyperf' if key == 'perf_version' else key.removesuffix('_version')} {value}"
        for key, value in sorted(md.items())
        if key.endswith("_version") and key not in ("python_version", "numpy_version")
    ]
    low, high = min(load), max(load)
    span = f"{low:.1f}" if f"{low:.1f}" == f"{high:.1f}" else f"{low:.1f} to {high:.1f}"
    return (
        f"{cpus} CPUs{f' ({about})' if about else ''}, load average (1 min) {span} during the"
        f" runs, Python {', '.join([python, *versions])}"
    )
