"""UTM of a large Parquet dataset through the command line, on several workers: the wall time,
the rows per second and the peak memory of the whole run. From the top of the repository::

    python -m bench.utm_cli --rows 1e8 --workers 2 --data /tmp/utm-cli --md bench/results/utm-cli.md
    python -m bench.utm_cli --rows 1e6 --data /tmp/utm-cli-small        # a quick look

The dataset (``--data``/in, files of at most 1e7 rows of ``lat``, ``lon`` in degrees, uniform
over zone 32's band of longitude from 80 S to 84 N) is written once and reused; the output
(``--data``/out.parquet, a directory of files, one per input file) is replaced on every run.
The run is ``quorvane-ellipsoid utm --degrees --workers N IN -o OUT`` under ``/usr/bin/time``
(interpreter start, the local cluster and imports included; the peak memory is that of the
largest process, the tool or one of its workers); ``--fast`` adds ``--fast`` where
the subcommand has it. The table states the machine's load, since the cores may be shared.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from bench import harness

FILE_ROWS = 10_000_000


def dataset(folder: Path, rows: int) -> Path:
    """The input dataset of ``rows`` points (written unless it is there already)."""
    done = folder / f"in-{rows}.done"
    data = folder / f"in-{rows}"
    if done.exists():
        return data
    shutil.rmtree(data, ignore_errors=True)
    data.mkdir(parents=True)
    rng = np.random.default_rng(32)
    for k, start in enumerate(range(0, rows, FILE_ROWS)):
        n = min(FILE_ROWS, rows - start)
        lat = np.degrees(np.arcsin(rng.uniform(np.sin(np.radians(-80)), np.sin(np.radians(84)), n)))
        table = pa.table({"lat": lat, "lon": rng.uniform(6.0, 12.0, n)})
        pq.write_table(table, data / f"part-{k:05d}.parquet")
    done.touch()
    return data


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=float, default=1e8)
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--data", type=Path, default=Path("/tmp/utm-cli"))
    parser.add_argument("--fast", action="store_true")
    parser.add_argument("--md", type=Path)
    args = parser.parse_args()
    rows = int(args.rows)
    source = dataset(args.data, rows)
    out = args.data / "out.parquet"
    shutil.rmtree(out, ignore_errors=True)
    tool = Path(sys.executable).with_name("quorvane-ellipsoid")
    command = [str(tool), "utm", "--degrees", "--workers", str(args.workers), str(source)]
    command += ["-o", str(out), "--progress", "never"] + (["--fast"] if args.fast else [])
    start = time.perf_counter()
    run = subprocess.run(
        ["/usr/bin/time", "-f", "%M", *command], capture_output=True, text=True, check=False
    )
    wall = time.perf_counter() - start
    if run.returncode != 0:
        sys.exit(f"the run failed ({run.returncode}):\n{run.stderr}")
    peak_kib = int(run.stderr.strip().splitlines()[-1])
    written = sum(pq.ParquetFile(p).metadata.num_rows for p in sorted(out.glob("*.parquet")))
    if written != rows:
        sys.exit(f"{written} rows written for {rows}")
    files = len(list(source.glob("*.parquet")))
    machine = harness.machine_line(harness.metadata("pyarrow"))
    text = (
        f"# UTM of a Parquet dataset through the command line\n\n"
        f"`python -m bench.utm_cli --rows {args.rows:g} --workers {args.workers}"
        f"{' --fast' if args.fast else ''}`, {time.strftime('%Y-%m-%d')}: {machine}.\n\n"
        f"`quorvane-ellipsoid utm --degrees --workers {args.workers} IN -o OUT"
        f"{' --fast' if args.fast else ''}` over {files} Parquet file(s) of lat, lon in degrees"
        f" (IN), written as a Parquet directory (OUT).\n\n"
        f"| Rows | Workers | Wall time | Rows per second | Peak memory (largest process) |\n"
        f"|---:|---:|---:|---:|---:|\n"
        f"| {rows:.0e} | {args.workers} | {wall:.1f} s | {rows / wall:.3g} | "
        f"{peak_kib / 1024:.0f} MiB |\n"
    )
    print(text)
    if args.md:
        args.md.write_text(text)


if __name__ == "__main__":
    main()
