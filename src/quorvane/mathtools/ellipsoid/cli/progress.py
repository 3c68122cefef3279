"""The progress bar on standard error (tqdm, from the ``cli`` extra)."""

from __future__ import annotations

import contextlib
import io
import os
import sys
from collections.abc import Callable, Iterator
from typing import IO, Any, Protocol

from quorvane.mathtools.ellipsoid.cli.errors import INSTALL_HINT, PROG


class Progress(Protocol):
    """What the progress bar needs of an input: its size in bytes (for text) or its number of
    rows (for tables), when known, and how many bytes have been read so far."""

    size: int | None
    rows: int | None

    def position(self) -> int | None: ...


def _usable_width(stream: IO[str]) -> bool:
    """Whether a terminal on ``stream`` reports a width a bar fits in (some report 0)."""
    try:
        return os.get_terminal_size(stream.fileno()).columns >= 20
    except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
        return True  # not a terminal: tqdm picks its own default


@contextlib.contextmanager
def progress_bar(mode: str, data: Progress, desc: str) -> Iterator[Callable[[int], None]]:
    """A callback taking the rows done so far, drawing a tqdm bar on standard error.

    ``auto`` draws it only when standard error is a terminal and the run lasts over a second.
    """
    bar = None
    if sys.stderr is not None and (mode == "always" or (mode == "auto" and sys.stderr.isatty())):
        try:
            from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]
        except ImportError:
            if mode == "always":
                print(f"{PROG}: the progress bar needs tqdm: {INSTALL_HINT}", file=sys.stderr)
        else:
            common: dict[str, Any] = {
                "desc": desc,
                "file": sys.stderr,
                "delay": 0.0 if mode == "always" else 1.0,
                "dynamic_ncols": True,
            }
            if not _usable_width(sys.stderr):
                common.update(dynamic_ncols=False, ncols=80)
            if data.size:
                bar = tqdm(total=data.size, unit="B", unit_scale=True, unit_divisor=1024, **common)
            else:
                bar = tqdm(total=data.rows, unit=" rows", unit_scale=True, **common)

    def update(rows: int) -> None:
        if bar is None:
            return
        position = data.position() if data.size else None
        if position is not None and data.size:
            bar.update(min(position, data.size) - bar.n)
        else:
            bar.update(rows)

    try:
        yield update
        if bar is not None and data.size:
            bar.update(data.size - bar.n)  # all read
    finally:
        if bar is not None:
            bar.close()
