"""The conversion subcommands on a Dask cluster (``--workers N`` or ``--scheduler ADDRESS``):
a Parquet dataset converted file by file, one task and one output file per input file."""

from __future__ import annotations

import argparse
import copy
import dataclasses
import logging
import os
import shutil
import tempfile
import uuid
from typing import Any

import distributed
import pyarrow as pa

from quorvane.mathtools.ellipsoid.cli.batches import Plan, convert_batches, make_plan
from quorvane.mathtools.ellipsoid.cli.errors import InputError, UsageError
from quorvane.mathtools.ellipsoid.cli.output import ignore_stop_signals
from quorvane.mathtools.ellipsoid.cli.progress import progress_bar
from quorvane.mathtools.ellipsoid.cli.readers import ParquetSource
from quorvane.mathtools.ellipsoid.cli.subcommands import SUBCOMMANDS, Subcommand
from quorvane.mathtools.ellipsoid.cli.writers import open_writer
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid


def run_on_cluster(args: argparse.Namespace, op: Subcommand) -> int:
    """``quorvane-ellipsoid SUBCOMMAND --workers N`` or ``--scheduler ADDRESS``: convert a
    Parquet dataset (a directory, or one file) into a directory of Parquet files, one task and
    one output file per input file, with the conversions, options and error messages of the
    command-line tool. The output appears only once every file has been converted.

    ``--workers N`` starts a local cluster of N single-threaded worker processes and stops it
    at the end; ``--scheduler ADDRESS`` uses a running cluster, whose workers must see the
    input and output paths.
    """
    if args.scheduler is not None and args.workers is not None:
        raise UsageError("give --workers or --scheduler, not both")
    where = "--scheduler" if args.scheduler is not None else "--workers"
    if args.input == "-" or not os.path.isdir(args.input):
        raise UsageError(
            f"{where} converts a Parquet dataset, a directory of Parquet files, one task per "
            f"file; convert a single file or other input without {where}"
        )
    if args.format not in (None, "parquet"):
        raise UsageError(f"{where} reads Parquet files, not {args.format}")
    if args.output is None or args.output == "-":
        raise UsageError(f"{where} writes a directory of Parquet files: give -o DIRECTORY")
    if args.output_format not in (None, "parquet"):
        raise UsageError(f"{where} writes Parquet files, not {args.output_format}")
    target = os.path.abspath(args.output)
    if os.path.lexists(target) and not (os.path.isdir(target) and not os.listdir(target)):
        raise UsageError(f"{args.output!r} exists: give a new or empty directory for the output")

    # Local workers share this directory, so paths (and messages) stay as given; a remote
    # cluster needs them absolute.
    given = args.input if args.scheduler is None else os.path.abspath(args.input)
    source = ParquetSource(given)
    plan = make_plan(args, op, source)
    # What a task needs: everything in the plan but the Ellipsoid, which travels as (Re, f).
    Re, f = plan.ellipsoid.Re, plan.ellipsoid.f
    spec = {
        field.name: getattr(plan, field.name)
        for field in dataclasses.fields(plan)
        if field.name not in ("op", "ellipsoid")
    }
    kept_types = [source.kept_type(i) for i in plan.keep]

    run = uuid.uuid4().hex[:8]
    parent = os.path.dirname(target) or "."
    staging = tempfile.mkdtemp(dir=parent, prefix=f".{os.path.basename(target)}.", suffix=".part")
    cluster = None
    try:
        if args.scheduler is not None:
            client = distributed.Client(args.scheduler, timeout="20s", set_as_default=False)
        else:
            env = {"QUORVANE_NUM_THREADS": os.environ.get("QUORVANE_NUM_THREADS", "1")}
            cluster = distributed.LocalCluster(
                n_workers=args.workers,
                threads_per_worker=1,
                processes=True,
                # The scheduler serves HTTP even without a dashboard, on 8787 unless told
                # otherwise: a free port keeps a second cluster on the machine from warning.
                dashboard_address=":0",
                silence_logs=logging.CRITICAL,
                env=env,
            )
            client = distributed.Client(cluster, set_as_default=False)
        with client, progress_bar(args.progress, source, op.name) as progress:
            futures = []
            for k, path in enumerate(source.files):
                one = copy.copy(source)
                one.files = [path]
                out = os.path.join(staging, f"part-{k:05d}.parquet")
                futures.append(
                    client.submit(
                        _convert_file,
                        op.name,
                        Re,
                        f,
                        spec,
                        one,
                        kept_types,
                        args.chunk_rows,
                        out,
                        key=f"{op.name}-{run}-{k}",
                    )
                )
            # Stop at the first bad file in name order, as a run without Dask does: files
            # after it are cancelled, files before it finish and may hold an earlier fault.
            order = {future.key: k for k, future in enumerate(futures)}
            first: tuple[int, tuple[str, str]] | None = None
            try:
                for future in distributed.as_completed(futures, loop=client.loop):
                    k = order[future.key]
                    if future.cancelled() or (first is not None and k > first[0]):
                        continue
                    result = future.result()
                    if isinstance(result, int):
                        progress(result)
                    else:
                        first = (k, result)
                        client.cancel(futures[k + 1 :])
            except BaseException:
                client.cancel(futures)
                raise
            if first is not None:
                _reraise(first[1])
        os.chmod(staging, 0o777 & ~_umask())
        ignore_stop_signals()  # the run succeeds once the output is in place
        if os.path.isdir(target):
            os.rmdir(target)  # empty, checked above
        os.replace(staging, target)
    finally:
        if cluster is not None:
            cluster.close()
        shutil.rmtree(staging, ignore_errors=True)
    return 0


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _convert_file(
    name: str,
    Re: float,
    f: float,
    spec: dict[str, Any],
    source: ParquetSource,
    kept_types: list[pa.DataType],
    chunk_rows: int,
    out: str,
) -> int | tuple[str, str]:
    """One task: one input file, converted batch by batch into one Parquet file. Returns the
    number of rows, or the tool's own input or usage error as (kind, message)."""
    plan = Plan(op=SUBCOMMANDS[name], ellipsoid=Ellipsoid(Re, f), **spec)
    try:
        with open(out, "wb") as sink:
            writer = open_writer(
                "parquet", sink, plan.header, kept_types, source.name, None, None, plan.result_types
            )
            return convert_batches(plan, source, chunk_rows, writer, lambda rows: None)
    except InputError as exc:
        return ("input", str(exc))
    except UsageError as exc:
        return ("usage", str(exc))


def _reraise(result: int | tuple[str, str]) -> int:
    """The rows a task converted, or its error raised again as the tool's own exception (they
    take the place and line apart, so they do not travel as exceptions)."""
    if isinstance(result, int):
        return result
    kind, message = result
    error = Exception.__new__(InputError if kind == "input" else UsageError)
    Exception.__init__(error, message)
    raise error
