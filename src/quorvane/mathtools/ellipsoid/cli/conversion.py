"""Running a conversion subcommand: the input read batch by batch, converted and written to a
file or to standard output; with ``--workers`` or ``--scheduler``, on a Dask cluster."""

from __future__ import annotations

import argparse

from quorvane.mathtools.ellipsoid.cli.batches import check_fast, convert_batches, make_plan
from quorvane.mathtools.ellipsoid.cli.errors import INSTALL_HINT, UsageError
from quorvane.mathtools.ellipsoid.cli.formats import (
    TEXT_FORMATS,
    compressed,
    format_of,
    unknown_extension,
)
from quorvane.mathtools.ellipsoid.cli.output import open_output
from quorvane.mathtools.ellipsoid.cli.progress import progress_bar
from quorvane.mathtools.ellipsoid.cli.subcommands import Subcommand


def run_conversion(args: argparse.Namespace, op: Subcommand) -> int:
    """Convert ``args.input`` into ``args.output``; return the exit status."""
    check_fast(op, args.fast)
    _require_extra()
    if args.workers is not None or args.scheduler is not None:
        try:
            from quorvane.mathtools.ellipsoid.cli.cluster import run_on_cluster
        except ImportError:
            hint = "pip install 'quorvane-ellipsoid[dask]'"
            raise UsageError(f"--workers and --scheduler need Dask: {hint}") from None
        return run_on_cluster(args, op)
    if args.output not in (None, "-") and args.output_format is None:
        unknown = unknown_extension(args.output)
        if unknown is not None:
            raise UsageError(unknown)
    from quorvane.mathtools.ellipsoid.cli.readers import open_input
    from quorvane.mathtools.ellipsoid.cli.writers import open_writer

    with open_input(args.input, args.format, args.delimiter, args.max_record_bytes) as data:
        plan = make_plan(args, op, data)
        out_format, compression = format_of(args.output, args.output_format)
        if out_format is None:
            in_format = format_of(args.input, args.format)[0] or "csv"
            out_format = in_format if in_format in TEXT_FORMATS else "csv"
        if compression is not None and out_format not in TEXT_FORMATS:
            raise UsageError(
                f"{out_format} output has its own compression; drop the .gz, .bz2 or .xz"
            )
        kept_types = [data.kept_type(i) for i in plan.keep]
        with (
            open_output(args.output) as sink,
            compressed(sink, compression) as stream,
            progress_bar(args.progress, data, op.name) as progress,
        ):
            writer = open_writer(
                out_format,
                stream,
                plan.header,
                kept_types,
                data.name,
                args.delimiter,
                args.float_format,
                plan.result_types,
            )
            convert_batches(plan, data, args.chunk_rows, writer, progress)
    return 0


def _require_extra() -> None:
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise UsageError(
            f"reading and writing files needs pyarrow, from the cli extra: {INSTALL_HINT}"
        ) from None
