"""Convert coordinate files on a reference ellipsoid from the command line.

Run ``quorvane-ellipsoid --help`` (or ``python -m quorvane.mathtools.ellipsoid --help``).
Every subcommand reads a file (CSV or TSV, plain or compressed, Parquet, Arrow IPC), picks
its input columns by name, converts the rows batch by batch with vectorised calls of
:class:`~quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid` and writes a file in any of those
formats.

The package: :mod:`.parser` (command-line options), :mod:`.operations` (the conversions),
:mod:`.fileio`, :mod:`.readers` and :mod:`.writers` (files and their formats), :mod:`.output`
(where the results go) and :mod:`.demo` (sample data).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
from collections.abc import Iterator, Sequence
from types import FrameType

from quorvane.mathtools.ellipsoid.cli.demo import (
    SAMPLE_OBSERVATIONS,
    SAMPLE_TRACK,
    run_demo,
    run_ellipsoids,
    sample_path,
)
from quorvane.mathtools.ellipsoid.cli.fileio import (
    INSTALL_HINT,
    PROG,
    TEXT_FORMATS,
    InputError,
    UsageError,
    compressed,
    format_of,
    progress_bar,
)
from quorvane.mathtools.ellipsoid.cli.operations import (
    OPERATIONS,
    Operation,
    convert_batch,
    make_plan,
    numeric_columns,
)
from quorvane.mathtools.ellipsoid.cli.output import open_output
from quorvane.mathtools.ellipsoid.cli.parser import build_parser

__all__ = [
    "OPERATIONS",
    "SAMPLE_OBSERVATIONS",
    "SAMPLE_TRACK",
    "build_parser",
    "main",
    "sample_path",
]


def run_conversion(args: argparse.Namespace, op: Operation) -> int:
    _require_extra()
    if args.workers is not None or args.scheduler is not None:
        try:
            from quorvane.mathtools.ellipsoid.dask import run_cli_conversion
        except ImportError:
            hint = "pip install 'quorvane-ellipsoid[dask]'"
            raise UsageError(f"--workers and --scheduler need Dask: {hint}") from None
        return run_cli_conversion(args, op)
    from quorvane.mathtools.ellipsoid.cli.readers import open_input
    from quorvane.mathtools.ellipsoid.cli.writers import open_writer

    with open_input(args.input, args.format, args.delimiter) as data:
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
        numeric = numeric_columns(plan)
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
            )
            try:
                for batch in data.batches(args.chunk_rows, numeric, plan.keep):
                    if batch.rows:
                        writer.write(*convert_batch(plan, batch))
                    progress(batch.rows)
            except BaseException:
                writer.abandon()
                raise
            writer.close()
    return 0


def _require_extra() -> None:
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise UsageError(
            f"reading and writing files needs pyarrow, from the cli extra: {INSTALL_HINT}"
        ) from None


class Terminated(BaseException):
    """A termination signal (SIGTERM, SIGHUP), raised like KeyboardInterrupt for Ctrl-C so that
    the same clean-up runs: no temporary file is left and an existing output is kept."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _terminate(signum: int, frame: FrameType | None) -> None:
    raise Terminated(signum)


@contextlib.contextmanager
def _termination_signals() -> Iterator[None]:
    """Turn SIGTERM and SIGHUP into :class:`Terminated` while a command runs (a signal that was
    ignored when the tool started, as under nohup, stays ignored)."""
    previous = {}
    try:
        for signum in (signal.SIGTERM, signal.SIGHUP):
            handler = signal.getsignal(signum)
            if handler in (signal.SIG_DFL, signal.default_int_handler):
                previous[signum] = signal.signal(signum, _terminate)
    except ValueError:  # not the main thread: signals cannot be handled here
        pass
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command-line tool; return its exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        with _termination_signals():
            if args.command == "demo":
                return run_demo(args)
            if args.command == "ellipsoids":
                return run_ellipsoids(args)
            return run_conversion(args, OPERATIONS[args.command])
    except UsageError as exc:
        print(f"{PROG} {args.command}: error: {exc}", file=sys.stderr)
        return 2
    except InputError as exc:
        print(f"{PROG} {args.command}: error: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader of standard output went away (as with '| head'): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except OSError as exc:  # such as a full disk
        print(f"{PROG} {args.command}: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 128 + signal.SIGINT
    except Terminated as exc:
        return 128 + exc.signum
