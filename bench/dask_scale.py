"""Scaling of the methods beyond one thread: Parquet datasets converted out of core on a local
Dask cluster, and two Python threads calling the methods at once.

    python -m bench.dask_scale                       # 1e7 and 1e8 points, 1 and 2 workers
    python -m bench.dask_scale --points 1e7 --workers 1 2 --dir /big/disk
    python -m bench.dask_scale --only threads        # the two-thread part alone

This benchmark keeps its own clock (``time.perf_counter``) instead of pyperf: a conversion runs
on a ``LocalCluster`` started for it, and what it reports (the workers' CPU time and peak memory,
read through the client) belongs to the cluster's worker processes, which pyperf's worker
processes can neither host for every value nor report. The two-thread runs report, for the very
run they time, the process CPU time over the wall time and how far a spinning Python thread
gets, where pyperf keeps one wall-clock value per run.

Part 1 writes a Parquet dataset of ECEF points (x, y, z; one file per --rows-per-file rows) once,
into --dir (a temporary directory by default, removed at the end), and converts the first N
points to lat, lon, alt with ``dataframe_lla_from_pos`` -> ``to_parquet``, on a fresh
``LocalCluster`` of 1 or 2 single-threaded worker processes with ``QUORVANE_NUM_THREADS=1``. It
reports the throughput and the peak resident memory of each worker process (VmHWM, so
imports included); one output file is compared bit for bit with the method.

Part 2 runs each method on --thread-points points in two Python threads at once and the same
two calls one after the other, ``QUORVANE_NUM_THREADS=1``, best of --repeat; the ratio is
threads / sequential (0.5 is perfect on two cores, 1.0 is no overlap at all). It also runs the
Dask array ``lla_from_pos`` on the threaded scheduler with one and with two threads.

Results go to bench/results/dask.md (--out), their numbers to dask.json beside it. Needs the package installed with the ``dask``
extra and pyarrow.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os

os.environ["QUORVANE_NUM_THREADS"] = "1"  # before any call; inherited by the worker processes

import resource
import shutil
import sys
import tempfile
import threading
import time
from pathlib import Path

import dask.array as da
import dask.dataframe as dd
import distributed
import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from bench import harness
from quorvane.mathtools.ellipsoid import catalogue
from quorvane.mathtools.ellipsoid import dask as qd

HERE = Path(__file__).resolve().parent
WGS84 = catalogue.get("WGS84")


# --------------------------------------------------------------------------------------------
# Part 1: Parquet out of core.


def make_dataset(directory: Path, points: int, rows_per_file: int) -> list[Path]:
    """ECEF points within 10 km of the surface, reproducible; existing files are kept."""
    directory.mkdir(parents=True, exist_ok=True)
    files = []
    for k, start in enumerate(range(0, points, rows_per_file)):
        path = directory / f"part-{k:05d}.parquet"
        files.append(path)
        if path.exists():  # from an earlier run with the same --dir
            continue
        n = min(rows_per_file, points - start)
        rng = np.random.default_rng(k)
        lat = np.arcsin(rng.uniform(-1.0, 1.0, n))
        lon = rng.uniform(-np.pi, np.pi, n)
        alt = rng.uniform(-1e3, 1e4, n)
        r = WGS84.pos_from_lla(lat, lon, alt)
        table = pa.table({"x": r[:, 0], "y": r[:, 1], "z": r[:, 2]})
        pq.write_table(table, path.with_suffix(".tmp"))
        path.with_suffix(".tmp").rename(path)
    return files


def _usage() -> tuple[float, float]:
    """Peak resident MiB and CPU seconds of this process so far.

    The peak is the kernel's high-water mark of this process's own memory (VmHWM). Not
    ``ru_maxrss``: Linux carries that over an exec, so a worker started by fork and exec from
    a large parent would report the parent's size."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    peak = usage.ru_maxrss / 1024.0
    with contextlib.suppress(OSError), open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                peak = int(line.split()[1]) / 1024.0
    return peak, usage.ru_utime + usage.ru_stime


def _rss_mib() -> float:
    import psutil

    return psutil.Process().memory_info().rss / 2**20


def convert(files: list[Path], out: Path, workers: int) -> dict[str, object]:
    """One conversion on a fresh cluster; returns seconds and worker memory figures."""
    shutil.rmtree(out, ignore_errors=True)
    with (
        distributed.LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            memory_limit=0,
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        client.run(lambda: qd.parameters("WGS84"))  # import the module on every worker first
        idle = list(client.run(_rss_mib).values())
        before = sum(cpu for _, cpu in client.run(_usage).values())
        frame = dd.read_parquet([str(f) for f in files])
        start = time.perf_counter()
        qd.dataframe_lla_from_pos("WGS84", frame).to_parquet(out, write_index=False)
        seconds = time.perf_counter() - start
        after = list(client.run(_usage).values())
    return {
        "seconds": seconds,
        "idle": idle,
        "peak": [rss for rss, _ in after],
        "cpu": sum(cpu for _, cpu in after) - before,
        "load": os.getloadavg()[0],
    }


def check_output(files: list[Path], out: Path) -> bool:
    """The first output file is the method on the first input file, bit for bit."""
    source = pq.read_table(files[0])
    r = np.column_stack([source[c].to_numpy() for c in ("x", "y", "z")])
    want = WGS84.lla_from_pos(r)
    first = min(out.glob("*.parquet"))
    got = pq.read_table(first)
    return all(
        np.array_equal(got[c].to_numpy().view(np.uint64), want[c].view(np.uint64))
        for c in ("lat", "lon", "alt")
    )


def part_parquet(args: argparse.Namespace, lines: list[str], data: dict) -> None:
    base = Path(args.dir) if args.dir else Path(tempfile.mkdtemp(prefix="quorvane-dask-"))
    try:
        largest = max(args.points)
        start = time.perf_counter()
        all_files = make_dataset(base / "xyz", largest, args.rows_per_file)
        made = time.perf_counter() - start
        size = sum(f.stat().st_size for f in all_files) / 2**30
        lines += [
            "## Parquet dataset converted out of core",
            "",
            (
                f"Input: {largest:.0e} ECEF points (x, y, z float64) in {len(all_files)} "
                f"Parquet files of {args.rows_per_file:.0e} rows, {size:.2f} GiB (written or "
                f"found in {made:.0f} s); "
                "smaller N read the first files. `dd.read_parquet` -> `dataframe_lla_from_pos` -> "
                "`to_parquet` (lat, lon, alt), one partition per file, on a fresh `LocalCluster` "
                "of single-threaded worker processes, `QUORVANE_NUM_THREADS=1`. Peak memory is "
                "each worker process's high-water resident size (VmHWM, imports included); idle is "
                "its resident size before the run. "
                "Worker CPU is the CPU time all workers spent in the run (reading, converting and "
                "writing), which other load on the machine does not inflate; load is the 1-minute "
                "load average at the end of the run."
            ),
            "",
            (
                "| Points | Workers | Seconds | Points/s | Worker CPU s | Points per CPU s "
                "| Peak MiB per worker | Idle MiB | Load | Output |"
            ),
            "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|",
        ]
        for points in sorted(args.points):
            files = all_files[: -(-points // args.rows_per_file)]
            for workers in args.workers:
                out = base / "lla"
                result = convert(files, out, workers)
                ok = check_output(files, out)
                shutil.rmtree(out, ignore_errors=True)
                seconds = float(result["seconds"])  # type: ignore[arg-type]
                peak = ", ".join(f"{p:.0f}" for p in result["peak"])  # type: ignore[attr-defined]
                idle = ", ".join(f"{p:.0f}" for p in result["idle"])  # type: ignore[attr-defined]
                cpu = float(result["cpu"])  # type: ignore[arg-type]
                row = (
                    f"| {points:.0e} | {workers} | {seconds:.1f} | {points / seconds:.3g} "
                    f"| {cpu:.1f} | {points / cpu:.3g} | {peak} | {idle} | {result['load']:.1f} "
                    f"| {'bit-identical' if ok else 'DIFFERS'} |"
                )
                print(row, flush=True)
                lines.append(row)
                data["parquet"].append(
                    {
                        "points": points,
                        "workers": workers,
                        "seconds": seconds,
                        "points_per_s": points / seconds,
                        "worker_cpu_s": cpu,
                        "peak_mib": result["peak"],
                        "idle_mib": result["idle"],
                        "load": result["load"],
                        "identical": ok,
                    }
                )
        lines.append("")
    finally:
        if not args.dir:
            shutil.rmtree(base, ignore_errors=True)


# --------------------------------------------------------------------------------------------
# Part 2: two Python threads.


def _arguments(n: int) -> dict[str, tuple[object, ...]]:
    rng = np.random.default_rng(7)
    lat = np.arcsin(rng.uniform(-1.0, 1.0, n))
    lon = rng.uniform(-np.pi, np.pi, n)
    alt = rng.uniform(-1e3, 1e5, n)
    r = WGS84.pos_from_lla(lat, lon, alt)
    surface = WGS84.surf_pos_from_surf_coord(lat, lon)
    origin = np.array([7.4e6, 1e5, -2e5])
    return {
        "reduced_lat_from_geodetic_lat": (lat,),
        "geodetic_lat_from_reduced_lat": (lat,),
        "enu": (lat, lon),
        "surf_pos_from_surf_coord": (lat, lon),
        "surf_coord_from_surf_pos": (surface,),
        "solve_reduced_lat_equation": (r,),
        "lla_from_pos": (r,),
        "pos_from_lla": (lat, lon, alt),
        "surf_pos_of_ray_first_intersection": (origin, surface - origin),
        "aer_coords": (r, 0.8, 0.1, 300.0),
    }


def _best(run, repeat: int) -> float:
    return _best_with_cpu(run, repeat)[0]


def _best_with_cpu(run, repeat: int) -> tuple[float, float]:
    """The best wall time of ``run``, and the process CPU time of that run over its wall."""
    best = (float("inf"), 0.0)
    for _ in range(repeat):
        start, cpu = time.perf_counter(), time.process_time()
        run()
        wall = time.perf_counter() - start
        best = min(best, (wall, (time.process_time() - cpu) / wall))
    return best


def _two_threads(call) -> None:
    threads = [threading.Thread(target=call) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def _lock_free(call) -> float:
    """How much a spinning Python thread gets done while ``call`` runs, relative to the same
    time with the main thread asleep: near 0 when the call holds the interpreter lock, near
    1 when it lets other threads run. Less sensitive to other load than the ratio."""
    count = 0
    stop = threading.Event()

    def spin() -> None:
        nonlocal count
        while not stop.is_set():
            count += 1

    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        time.sleep(0.05)
        c0, t0 = count, time.perf_counter()
        call()
        c1, t1 = count, time.perf_counter()
        time.sleep(t1 - t0)
        c2 = count
    finally:
        stop.set()
        spinner.join()
    return (c1 - c0) / max(1, c2 - c1)


def part_threads(args: argparse.Namespace, lines: list[str], data: dict) -> None:
    n = int(args.thread_points)
    lines += [
        "## Two Python threads",
        "",
        (
            f"Each method on {n:.0e} points, called twice: one call after the other, and in two "
            "Python threads at once (`QUORVANE_NUM_THREADS=1`, so each call runs on its own "
            f"thread only); best of {args.repeat}. Ratio = two threads / sequential: 0.5 is "
            "perfect overlap on two cores, 1.0 none. CPU / wall: the process's CPU time in the "
            "two-thread run over its wall time; above 1 both threads computed at once (a call "
            "holding the interpreter lock throughout keeps it at 1 or below), below 1 other "
            "load took the CPUs. Other thread runs: how far a spinning Python thread gets while "
            "one call runs, against the same time with the caller asleep (0% while a call holds "
            "the interpreter lock throughout)."
        ),
        "",
        (
            "| Method | Sequential s | Two threads s | Ratio | CPU / wall, two threads "
            "| Other thread runs |"
        ),
        "|---|---:|---:|---:|---:|---:|",
    ]
    for name, call_args in _arguments(n).items():
        method = getattr(WGS84, name)

        def call(method=method, call_args=call_args):
            return method(*call_args)

        call()
        sequential = _best(lambda call=call: (call(), call()), args.repeat)
        threaded, busy = _best_with_cpu(lambda call=call: _two_threads(call), args.repeat)
        free = _lock_free(call)
        row = (
            f"| `{name}` | {sequential:.3f} | {threaded:.3f} | {threaded / sequential:.2f} "
            f"| {busy:.2f} | {free:.0%} |"
        )
        print(row, flush=True)
        lines.append(row)
        data["threads"].append(
            {
                "method": name,
                "sequential_s": sequential,
                "threads_s": threaded,
                "cpu_per_wall": busy,
                "other_thread": free,
            }
        )

    r = da.from_array(_arguments(2 * n)["lla_from_pos"][0], chunks=(n // 4, 3))
    lazy = qd.lla_from_pos(WGS84, r)
    one = _best(lambda: lazy.compute(scheduler="threads", num_workers=1), args.repeat)
    two = _best(lambda: lazy.compute(scheduler="threads", num_workers=2), args.repeat)
    lines += [
        "",
        (
            f"Dask array `lla_from_pos`, {2 * n:.0e} points in 8 chunks, threaded scheduler: "
            f"1 thread {one:.3f} s, 2 threads {two:.3f} s, ratio {two / one:.2f}."
        ),
        "",
    ]
    print(lines[-2], flush=True)


# --------------------------------------------------------------------------------------------


def _machine(loads: list[float]) -> str:
    """The machine line, with the checkout's commit and subject."""
    md = harness.metadata("dask", "distributed", "pyarrow")
    commit = harness.first_line(["git", "-C", str(HERE), "log", "-1", "--format=%h %s"])
    return f"Machine: {harness.machine_line(md, loads)}. Build: {commit}."


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=float, nargs="+", default=[1e7, 1e8])
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--rows-per-file", type=float, default=1e6)
    parser.add_argument("--dir", help="where the dataset is written (and kept)")
    parser.add_argument("--thread-points", type=float, default=2e6)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--only", choices=["parquet", "threads"])
    parser.add_argument("--out", default=str(HERE / "results" / "dask.md"))
    args = parser.parse_args()
    args.points = [int(p) for p in args.points]
    args.rows_per_file = int(args.rows_per_file)

    start = os.getloadavg()[0]
    lines = ["# Beyond one thread: Dask and two Python threads", "", "", ""]
    lines += [f"Command: `python -m bench.dask_scale {' '.join(sys.argv[1:])}`".rstrip(), ""]
    data: dict = {"command": sys.argv[1:], "parquet": [], "threads": []}
    if args.only != "threads":
        part_parquet(args, lines, data)
    if args.only != "parquet":
        part_threads(args, lines, data)
    loads = [start, *(row["load"] for row in data["parquet"]), os.getloadavg()[0]]
    lines[2] = _machine(loads)  # the load of the whole run, known at its end
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    Path(args.out).write_text("\n".join(lines).rstrip() + "\n")
    # The numbers of the tables, for the documentation's figure (python -m bench.report --docs).
    Path(args.out).with_suffix(".json").write_text(json.dumps(data, indent=1) + "\n")
    print(f"written {args.out} and {Path(args.out).with_suffix('.json')}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
