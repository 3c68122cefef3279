#!/usr/bin/env python3
"""Benchmark of the command-line tool against a pandas + pyproj script and pyarrow's floor.

    python -m bench.cli                    # writes bench/results/cli.md (a few minutes on 2 cores)
    python -m bench.cli --repeat 1 --out /tmp/cli.md

It needs the package with its ``cli`` extra, and pandas and pyproj, in the running interpreter.
Every run is a process of its own (interpreter start and imports included), timed by wall
clock; the table shows the best of ``--repeat`` runs and the peak resident set of the child
(``ru_maxrss``). The jobs:

- CSV -> CSV ``lla``, 1e6 rows: ``quorvane-ellipsoid lla in.csv -o out.csv`` against a short
  pandas + pyproj script doing the same job (``read_csv``, ``Transformer`` EPSG:4978 ->
  EPSG:4979 in radians, ``to_csv``);
- Parquet -> Parquet ``lla``, 1e7 rows: the tool against pyarrow's own floor, a script that
  reads the whole table with ``pyarrow.parquet.read_table``, calls ``lla_from_pos`` once and
  writes with ``write_table``; and the same script followed by an ``fsync`` of its output, as
  the tool does before it renames its output into place;
- peak memory of the tool at 1e6 and 1e7 rows, CSV and Parquet.
"""

from __future__ import annotations

import argparse
import datetime
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

PANDAS = """
import sys
import pandas as pd
from pyproj import Transformer
df = pd.read_csv(sys.argv[1])
t = Transformer.from_crs("EPSG:4978", "EPSG:4979")
lat, lon, alt = t.transform(
    df["x"].to_numpy(), df["y"].to_numpy(), df["z"].to_numpy(), radians=True
)
pd.DataFrame({"lat": lat, "lon": lon, "alt": alt}).to_csv(sys.argv[2], index=False)
"""

FLOOR = """
import sys
import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
from quorvane.mathtools.ellipsoid import catalogue
table = pq.read_table(sys.argv[1])
r = np.column_stack([table[c].to_numpy() for c in ("x", "y", "z")])
lla = catalogue.get("WGS84").lla_from_pos(r)
pq.write_table(pa.table({k: lla[k] for k in ("lat", "lon", "alt")}), sys.argv[2])
if sys.argv[3:] == ["fsync"]:  # as durable as the tool's output: on disk before it returns
    import os
    fd = os.open(sys.argv[2], os.O_RDONLY)
    os.fsync(fd)
    os.close(fd)
"""


def make_inputs(work: Path, sizes: list[int]) -> dict[tuple[str, int], Path]:
    import numpy as np
    import pyarrow as pa
    import pyarrow.csv as pacsv
    import pyarrow.parquet as pq

    from quorvane.mathtools.ellipsoid import catalogue

    wgs84 = catalogue.get("WGS84")
    rng = np.random.default_rng(7)
    paths = {}
    for n in sizes:
        table = None
        for start in range(0, n, 1_000_000):  # in pieces, to keep this process small
            m = min(1_000_000, n - start)
            r = wgs84.pos_from_lla(
                rng.uniform(-1.5, 1.5, m), rng.uniform(-3.1, 3.1, m), rng.uniform(-1e3, 1e5, m)
            )
            piece = pa.table({"x": r[:, 0], "y": r[:, 1], "z": r[:, 2]})
            if table is None:
                paths["parquet", n] = work / f"in{n}.parquet"
                paths["csv", n] = work / f"in{n}.csv"
                pw = pq.ParquetWriter(paths["parquet", n], piece.schema)
                cw = pacsv.CSVWriter(
                    paths["csv", n],
                    piece.schema,
                    write_options=pacsv.WriteOptions(quoting_header="none"),
                )
                table = piece
            pw.write_table(piece)
            cw.write_table(piece)
        pw.close()
        cw.close()
    return paths


def run(cmd: list[str]) -> tuple[float, float, float]:
    """Wall seconds, CPU seconds (user + system, all threads) and peak resident MiB of one run
    of ``cmd``. This process stays small (the inputs are made by a child of their own), since
    a child's peak resident set counts what it inherited before it started the program."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    assert proc.stderr is not None
    err = proc.stderr.read().decode()
    proc.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{' '.join(cmd)} failed:\n{err}")
    return elapsed, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def best(cmd: list[str], repeat: int) -> tuple[float, float, float]:
    runs = [run(cmd) for _ in range(repeat)]
    return min(r[0] for r in runs), min(r[1] for r in runs), max(r[2] for r in runs)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3, help="runs per timing (best is kept)")
    parser.add_argument("--out", default=str(Path(__file__).parent / "results" / "cli.md"))
    parser.add_argument("--make-inputs", metavar="DIR", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.make_inputs:
        make_inputs(Path(args.make_inputs), [1_000_000, 10_000_000])
        return

    tool = [sys.executable, "-m", "quorvane.mathtools.ellipsoid"]
    work = Path(tempfile.mkdtemp(prefix="quorvane-cli-bench-"))
    try:
        (work / "pandas_lla.py").write_text(textwrap.dedent(PANDAS))
        (work / "floor_lla.py").write_text(textwrap.dedent(FLOOR))
        print("making the inputs ...", flush=True)
        subprocess.run([sys.executable, __file__, "--make-inputs", str(work)], check=True)
        paths = {
            (fmt, n): work / f"in{n}.{fmt}" for fmt in ("csv", "parquet") for n in (10**6, 10**7)
        }
        out_csv, out_pq = str(work / "out.csv"), str(work / "out.parquet")
        rows: list[tuple[str, str, float, float, float]] = []

        def measure(label: str, job: str, cmd: list[str], repeat: int) -> tuple[float, float]:
            seconds, cpu, mib = best(cmd, repeat)
            rows.append((job, label, seconds, cpu, mib))
            print(f"{job:34} {label:30} {seconds:7.2f} s {cpu:7.2f} s {mib:6.0f} MiB", flush=True)
            return seconds, cpu

        csv6 = str(paths["csv", 1_000_000])
        job = "CSV -> CSV lla, 1e6 rows"
        ours_csv = measure(
            "quorvane-ellipsoid", job, [*tool, "lla", csv6, "-o", out_csv], args.repeat
        )
        pandas = measure(
            "pandas + pyproj script",
            job,
            [sys.executable, str(work / "pandas_lla.py"), csv6, out_csv],
            args.repeat,
        )
        pq7 = str(paths["parquet", 10_000_000])
        job = "Parquet -> Parquet lla, 1e7 rows"
        ours_pq = measure("quorvane-ellipsoid", job, [*tool, "lla", pq7, "-o", out_pq], args.repeat)
        floor = measure(
            "pyarrow read + method + write",
            job,
            [sys.executable, str(work / "floor_lla.py"), pq7, out_pq],
            args.repeat,
        )
        floor_sync = measure(
            "the same + fsync of the output",
            job,
            [sys.executable, str(work / "floor_lla.py"), pq7, out_pq, "fsync"],
            args.repeat,
        )
        memory = {}
        for fmt in ("csv", "parquet"):
            for n in (1_000_000, 10_000_000):
                out = out_csv if fmt == "csv" else out_pq
                mib = run([*tool, "lla", str(paths[fmt, n]), "-o", out])[2]
                memory[fmt, n] = mib
                print(f"peak memory {fmt} {n:.0e}: {mib:.0f} MiB", flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    import numpy
    import pyarrow

    lines = [
        "# Command-line tool",
        "",
        (
            f"`python -m bench.cli` on {datetime.date.today()}, {platform.machine()}, "
            f"{len(os.sched_getaffinity(0))} CPUs (load average at the end "
            f"{os.getloadavg()[0]:.1f}), Python {platform.python_version()}, NumPy "
            f"{numpy.__version__}, pyarrow {pyarrow.__version__}. Wall time and CPU time (user +"
            f" system, all threads) of a whole process, start-up and imports included, best of "
            f"{args.repeat}; peak resident set of the process."
        ),
        "",
        "| Job | Program | Wall time | CPU time | Peak memory |",
        "|---|---|---:|---:|---:|",
        *(f"| {j} | {p} | {t:.2f} s | {c:.2f} s | {m:.0f} MiB |" for j, p, t, c, m in rows),
        "",
        "| Ratio | Wall time | CPU time | Target (time) |",
        "|---|---:|---:|---:|",
        (
            f"| CSV: ours / pandas + pyproj | {ours_csv[0] / pandas[0]:.2f} | "
            f"{ours_csv[1] / pandas[1]:.2f} | <= 0.33 |"
        ),
        (
            f"| Parquet: ours / pyarrow floor | {ours_pq[0] / floor[0]:.2f} | "
            f"{ours_pq[1] / floor[1]:.2f} | <= 1.5 |"
        ),
        (
            f"| Parquet: ours / pyarrow floor + fsync | {ours_pq[0] / floor_sync[0]:.2f} | "
            f"{ours_pq[1] / floor_sync[1]:.2f} | <= 1.5 |"
        ),
        "",
        "| Peak memory of the tool | 1e6 rows | 1e7 rows |",
        "|---|---:|---:|",
        *(
            f"| {fmt} | {memory[fmt, 1_000_000]:.0f} MiB | {memory[fmt, 10_000_000]:.0f} MiB |"
            for fmt in ("csv", "parquet")
        ),
        "",
    ]
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    Path(args.out).write_text("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
