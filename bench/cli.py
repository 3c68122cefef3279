#!/usr/bin/env python3
"""Benchmark of the command-line tool against a pandas + pyproj script and pyarrow's floor,
on pyperf. From the top of the repository::

    python -m bench.cli                     # writes bench/results/cli.md (a few minutes on 2 cores)
    python -m bench.cli --csv-rows 1e5 --parquet-rows 1e6 --table /tmp/cli.md -o /tmp/cli.json

It needs the package with its ``cli`` extra, and pandas and pyproj, in the running interpreter.
Every run is a process of its own (interpreter start and imports included), run by pyperf's
``bench_command`` in worker processes of its own: the value is the wall time of the whole
process, and pyperf records the peak resident set of each run (``command_max_rss``); ``-o``
keeps its JSON, and its options (``-p``, ``-n``, ``--fast``, ...) override the budget set here.
The table gives the median wall time and the largest peak. The jobs:

- CSV -> CSV ``lla``, 1e6 rows: ``quorvane-ellipsoid lla in.csv -o out.csv`` against a short
  pandas + pyproj script doing the same job (``read_csv``, ``Transformer`` EPSG:4978 ->
  EPSG:4979 in radians, ``to_csv``);
- Parquet -> Parquet ``lla``, 1e7 rows: the tool against pyarrow's own floor, a script that
  reads the whole table with ``pyarrow.parquet.read_table``, calls ``lla_from_pos`` once and
  writes with ``write_table``; and the same script followed by an ``fsync`` of its output, as
  the tool does before it renames its output into place;
- the tool on the other two inputs (CSV of 1e7 rows, Parquet of 1e6), for its peak memory.
"""

from __future__ import annotations

import atexit
import shutil
import sys
import tempfile
import textwrap
from pathlib import Path

import pyperf

from bench import harness, report

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


def main() -> None:
    # pyperf's workers run this module as the main process does: from the top of the repository.
    # A run takes one to ten seconds: one value in each of three processes, after a warm-up.
    runner = harness.runner(
        "cli", forward=("workdir", "csv_rows", "parquet_rows"), values=1, processes=3, loops=1
    )
    p = runner.argparser
    p.add_argument("--csv-rows", type=float, default=1e6, help="rows of the CSV job (1e6)")
    p.add_argument("--parquet-rows", type=float, default=1e7, help="rows of the Parquet job (1e7)")
    p.add_argument("--table", default=str(Path(__file__).parent / "results" / "cli.md"))
    p.add_argument("--workdir", help=argparse_hidden())
    args = runner.parse_args()
    runner.metadata.update(harness.metadata("quorvane-ellipsoid", "pyarrow"))
    small, large = int(args.csv_rows), int(args.parquet_rows)
    if not args.worker:
        work = Path(tempfile.mkdtemp(prefix="quorvane-cli-bench-"))
        atexit.register(shutil.rmtree, work, ignore_errors=True)
        args.workdir = str(work)
        (work / "pandas_lla.py").write_text(textwrap.dedent(PANDAS))
        (work / "floor_lla.py").write_text(textwrap.dedent(FLOOR))
        print("making the inputs ...", flush=True)
        make_inputs(work, sorted({small, large}))
    work = Path(args.workdir)
    tool = [sys.executable, "-m", "quorvane.mathtools.ellipsoid"]
    out_csv, out_pq = str(work / "out.csv"), str(work / "out.parquet")

    def path(fmt: str, n: int) -> str:
        return str(work / f"in{n}.{fmt}")

    def ours(fmt: str, n: int) -> tuple[str, list[str]]:
        out = out_csv if fmt == "csv" else out_pq
        return f"ours {fmt} {n:.0e}", [*tool, "lla", path(fmt, n), "-o", out]

    floor = [sys.executable, str(work / "floor_lla.py"), path("parquet", large), out_pq]
    pandas = [sys.executable, str(work / "pandas_lla.py"), path("csv", small), out_csv]
    # name -> (job, program, command); the tool's name also keys its peak memory.
    jobs = {
        ours("csv", small)[0]: ("CSV -> CSV", "quorvane-ellipsoid", ours("csv", small)[1]),
        f"pandas csv {small:.0e}": ("CSV -> CSV", "pandas + pyproj script", pandas),
        ours("parquet", large)[0]: (
            "Parquet -> Parquet",
            "quorvane-ellipsoid",
            ours("parquet", large)[1],
        ),
        f"floor parquet {large:.0e}": (
            "Parquet -> Parquet",
            "pyarrow read + method + write",
            floor,
        ),
        f"floor+fsync parquet {large:.0e}": (
            "Parquet -> Parquet",
            "the same + fsync of the output",
            [*floor, "fsync"],
        ),
    }
    benches = []
    # The jobs, then the tool on the other two inputs, for its peak memory alone.
    extra = {name: ("", "", cmd) for name, cmd in (ours("csv", large), ours("parquet", small))}
    for name, (_, _, cmd) in {**jobs, **{k: v for k, v in extra.items() if k not in jobs}}.items():
        bench = runner.bench_command(name, cmd)
        if bench is not None:
            benches.append(bench)
    if not args.worker:
        rows = [
            (f"{job} lla, {small if job.startswith('CSV') else large:.0e} rows", program, name)
            for name, (job, program, _) in jobs.items()
        ]
        command = " ".join(["python -m bench.cli", *sys.argv[1:]])
        text = report.cli_table(pyperf.BenchmarkSuite(benches), rows, small, large, command)
        out = Path(args.table)
        out.parent.mkdir(parents=True, exist_ok=True)
        # Sections below the generated tables ("## ..."), measured by other means, are kept.
        previous = out.read_text() if out.exists() else ""
        kept = previous[previous.find("\n## ") :] if "\n## " in previous else ""
        out.write_text(text + kept)
        print(text)


def argparse_hidden():
    import argparse

    return argparse.SUPPRESS


if __name__ == "__main__":
    main()
