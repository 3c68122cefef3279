"""Input and output of the command-line tool: CSV read in chunks of rows, results written
to standard output or to a file that appears only when the run succeeds, and the progress bar."""

from __future__ import annotations

import contextlib
import csv
import io
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from itertools import islice
from typing import IO, Any, TextIO

import numpy as np
import numpy.typing as npt

PROG = "quorvane-ellipsoid"
INSTALL_HINT = "pip install 'quorvane-ellipsoid[cli]'"

# Input is read as UTF-8 (with or without a byte-order mark). Bytes that are not UTF-8 are kept
# as they are: in a numeric column they are reported as bad numbers, in a column copied by
# --keep they are written back unchanged.
ENCODING = "utf-8-sig"
ERRORS = "surrogateescape"

FloatArray = npt.NDArray[np.float64]


class InputError(Exception):
    """Bad input data, reported with the file, line and column where it was found."""

    def __init__(
        self, source: str, message: str, line: int | None = None, column: str | None = None
    ) -> None:
        where = source
        if line is not None:
            where += f", line {line}"
        if column is not None:
            where += f", column {column!r}"
        super().__init__(f"{where}: {message}")


class UsageError(Exception):
    """Inconsistent command-line options."""


# --------------------------------------------------------------------------------------------
# Reading CSV input in chunks.


@dataclass
class Chunk:
    rows: list[list[str]]
    lines: list[int]  # line number of each row in the input


class CsvInput:
    """A CSV text stream with a header, read in chunks of rows.

    Blank lines and lines starting with ``#`` are skipped. Line numbers count from 1.
    """

    def __init__(self, stream: TextIO, name: str, size: int | None = None) -> None:
        self.stream = stream
        self.name = name
        self.size = size  # bytes, when known, for the progress bar
        self._reader = csv.reader(stream, strict=True)
        self._records = self._iter_records()
        try:
            first = next(self._records)
        except StopIteration:
            raise InputError(name, "empty input: expected a header line") from None
        self.header_line, header = first
        self.header = [h.strip() for h in header]

    def _iter_records(self) -> Iterator[tuple[int, list[str]]]:
        reader = self._reader
        try:
            for row in reader:
                if not row or (row[0].lstrip().startswith("#")):
                    continue
                if len(row) == 1 and not row[0].strip():
                    continue
                yield reader.line_num, row
        except csv.Error as exc:
            raise InputError(self.name, f"malformed CSV: {exc}", reader.line_num) from None

    def chunks(self, rows_per_chunk: int) -> Iterator[Chunk]:
        while True:
            block = list(islice(self._records, rows_per_chunk))
            if not block:
                return
            yield Chunk([row for _, row in block], [line for line, _ in block])

    def position(self) -> int | None:
        """Bytes consumed so far (rounded up to the read-ahead buffer), if known."""
        buffer = getattr(self.stream, "buffer", None)
        try:
            return int(buffer.tell()) if buffer is not None else None
        except (OSError, ValueError):
            return None

    def column_index(self, name: str) -> int:
        """Index of the header column called ``name`` (case and surrounding blanks ignored)."""
        wanted = name.strip().casefold()
        found = [i for i, h in enumerate(self.header) if h.casefold() == wanted]
        if not found:
            raise InputError(
                self.name,
                f"no column {name!r} in the header (columns: {', '.join(self.header)})",
                self.header_line,
            )
        if len(found) > 1:
            raise InputError(
                self.name, f"column {name!r} appears {len(found)} times", self.header_line
            )
        return found[0]

    def find(self, aliases: Sequence[str]) -> int | None:
        for alias in aliases:
            wanted = alias.casefold()
            found = [i for i, h in enumerate(self.header) if h.casefold() == wanted]
            if found:
                return self.column_index(alias)
        return None


def parse_column(values: list[str], lines: list[int], source: str, column: str) -> FloatArray:
    try:
        return np.fromiter(map(float, values), dtype=np.float64, count=len(values))
    except ValueError:
        pass
    for text, line in zip(values, lines, strict=True):
        try:
            float(text)
        except ValueError:
            if not text.strip():
                raise InputError(source, "empty value, expected a number", line, column) from None
            raise InputError(source, f"{_show(text)} is not a number", line, column) from None
    raise AssertionError("unreachable")  # pragma: no cover


def _show(text: str) -> str:
    """``text`` quoted, or the bytes it was read from when they are not UTF-8."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return f"{text.encode('utf-8', ERRORS)!r} (not UTF-8)"
    return repr(text)


def check_fields(chunk: Chunk, count: int, source: str) -> None:
    if all(len(row) == count for row in chunk.rows):
        return
    for row, line in zip(chunk.rows, chunk.lines, strict=True):
        if len(row) != count:
            raise InputError(
                source, f"expected {count} fields as in the header, found {len(row)}", line
            )


# --------------------------------------------------------------------------------------------
# Writing output.


class ByteWriter:
    """Text written as UTF-8 to a binary stream."""

    def __init__(self, buffer: IO[bytes]) -> None:
        self.buffer = buffer

    def write(self, text: str) -> int:
        return self.buffer.write(text.encode("utf-8", ERRORS))


def float_formatter(fmt: str | None) -> Callable[[FloatArray], list[Any]]:
    if fmt is None:
        # str() of a Python float is the shortest text that reads back to the same double.
        return lambda values: values.tolist()
    return lambda values: [format(v, fmt) for v in values.tolist()]


@contextlib.contextmanager
def open_input(path: str) -> Iterator[CsvInput]:
    if path == "-":
        buffer = getattr(sys.stdin, "buffer", None)
        if buffer is None:  # a text-only stand-in for standard input
            yield CsvInput(sys.stdin, "<stdin>")
            return
        stream = io.TextIOWrapper(buffer, encoding=ENCODING, errors=ERRORS, newline="")
        if sys.stdin.isatty():
            print(f"{PROG}: reading CSV from the terminal; end with Ctrl-D", file=sys.stderr)
        try:
            yield CsvInput(stream, "<stdin>")
        finally:
            stream.detach()  # leave sys.stdin usable
        return
    with contextlib.ExitStack() as stack:
        try:
            handle = stack.enter_context(open(path, encoding=ENCODING, errors=ERRORS, newline=""))
        except OSError as exc:
            raise UsageError(f"cannot read {path!r}: {exc.strerror}") from None
        size = os.fstat(handle.fileno()).st_size
        yield CsvInput(handle, path, size if os.path.isfile(path) else None)


def _usable_width(stream: IO[str]) -> bool:
    """Whether a terminal on ``stream`` reports a width a bar fits in (some report 0)."""
    try:
        return os.get_terminal_size(stream.fileno()).columns >= 20
    except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
        return True  # not a terminal: tqdm picks its own default


@contextlib.contextmanager
def progress_bar(mode: str, data: CsvInput, desc: str) -> Iterator[Callable[[int], None]]:
    """A callback taking the rows done so far, drawing a tqdm bar on standard error.

    ``auto`` draws it only when standard error is a terminal and the run lasts over a second.
    """
    bar = None
    if mode == "always" or (mode == "auto" and sys.stderr.isatty()):
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
                bar = tqdm(unit=" rows", unit_scale=True, **common)

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
