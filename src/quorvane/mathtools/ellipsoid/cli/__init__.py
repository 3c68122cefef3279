"""Convert coordinate files on a reference ellipsoid from the command line.

Run ``quorvane-ellipsoid --help`` (or ``python -m quorvane.mathtools.ellipsoid --help``).
Every subcommand reads a file (CSV or TSV, plain or compressed, Parquet, Arrow IPC), picks
its input columns by name, converts the rows batch by batch with the operation of the
companion modules' registry that it serves (``quorvane.mathtools.ellipsoid._registry``) and
writes a file in any of those formats.

The package: :mod:`.parser` (command-line options), :mod:`.subcommands` (the table of
subcommands: their operations, columns and help), :mod:`.batches` (the plan of a run and the
batch loop), :mod:`.conversion` (running one, to a file or standard output) and
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
from typing import Any

from quorvane.mathtools.ellipsoid.cli.conversion import run_conversion
from quorvane.mathtools.ellipsoid.cli.demo import (
    SAMPLE_OBSERVATIONS,
    SAMPLE_TRACK,
    run_demo,
    run_ellipsoids,
    sample_path,
)
from quorvane.mathtools.ellipsoid.cli.errors import PROG, InputError, UsageError
from quorvane.mathtools.ellipsoid.cli.parser import build_parser
from quorvane.mathtools.ellipsoid.cli.subcommands import SUBCOMMANDS

__all__ = [
    "SAMPLE_OBSERVATIONS",
    "SAMPLE_TRACK",
    "SUBCOMMANDS",
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
def _termination_signals(program: bool) -> Iterator[None]:
    """Turn SIGTERM and SIGHUP into :class:`Terminated` while a command runs (a signal that was
    ignored when the tool started, as under nohup, stays ignored), and restore the handlers of
    all three stop signals afterwards.

    Once the output is renamed into place, :func:`.output.ignore_stop_signals` has made them
    ignored, and the run ends with status 0. Run as the program (``program``), they then stay
    ignored until the process exits, so that a late signal cannot turn that status into 130 or
    143, nor kill the process while it shuts down.
    """
    stops = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
    previous: dict[int, Any] = {}
    try:
        previous = {signum: signal.getsignal(signum) for signum in stops}
        for signum in (signal.SIGTERM, signal.SIGHUP):
            if previous[signum] in (signal.SIG_DFL, signal.default_int_handler):
                signal.signal(signum, _terminate)
    except ValueError:  # not the main thread: signals cannot be handled here
        previous = {}
    try:
        yield
    finally:
        replaced = any(
            signal.getsignal(signum) is signal.SIG_IGN and handler is not signal.SIG_IGN
            for signum, handler in previous.items()
        )
        if not (program and replaced):
            for signum, handler in previous.items():
                signal.signal(signum, handler)


def _report(command: str, exc: BaseException) -> None:
    if sys.stderr is not None:  # standard error may be closed (2>&-)
        print(f"{PROG} {command}: error: {exc}", file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command-line tool on ``argv`` (the program's arguments if ``None``, as when run
    as the program); return its exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        with _termination_signals(program=argv is None):
            if args.command in ("demo", "ellipsoids"):
                if sys.stdout is None:
                    raise UsageError("standard output is closed")
                return run_demo(args) if args.command == "demo" else run_ellipsoids(args)
            return run_conversion(args, SUBCOMMANDS[args.command])
    except UsageError as exc:
        _report(args.command, exc)
        return 2
    except InputError as exc:
        _report(args.command, exc)
        return 1
    except BrokenPipeError:
        # The reader of standard output went away (as with '| head'): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except OSError as exc:  # such as a full disk
        _report(args.command, exc)
        return 1
    except KeyboardInterrupt:
        return 128 + signal.SIGINT
    except Terminated as exc:
        return 128 + exc.signum
