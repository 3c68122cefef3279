"""Convert coordinate files on a reference ellipsoid from the command line.

Run ``quorvane-ellipsoid --help`` (or ``python -m quorvane.mathtools.ellipsoid --help``).
Every subcommand reads a file (CSV or TSV, plain or compressed, Parquet, Arrow IPC), picks
its input columns by name, converts the rows batch by batch with vectorised calls of
:class:`~quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid` and writes a file in any of those
formats.

The package: :mod:`.parser` (command-line options), :mod:`.operations` (the conversions and
the batch loop), :mod:`.conversion` (running one, to a file or standard output) and
:mod:`.cluster` (on Dask), :mod:`.readers`, :mod:`.writers` and :mod:`.formats` (files and
their formats), :mod:`.output` (where the results go), :mod:`.errors` (what the messages
report), :mod:`.progress` (the progress bar) and :mod:`.demo` (sample data).
"""

from __future__ import annotations

import contextlib
import os
import signal
import sys
from collections.abc import Iterator, Sequence
from types import FrameType

from quorvane.mathtools.ellipsoid.cli.conversion import run_conversion
from quorvane.mathtools.ellipsoid.cli.demo import (
    SAMPLE_OBSERVATIONS,
    SAMPLE_TRACK,
    run_demo,
    run_ellipsoids,
    sample_path,
)
from quorvane.mathtools.ellipsoid.cli.errors import PROG, InputError, UsageError
from quorvane.mathtools.ellipsoid.cli.operations import OPERATIONS
from quorvane.mathtools.ellipsoid.cli.parser import build_parser

__all__ = [
    "OPERATIONS",
    "SAMPLE_OBSERVATIONS",
    "SAMPLE_TRACK",
    "build_parser",
    "main",
    "sample_path",
]


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
