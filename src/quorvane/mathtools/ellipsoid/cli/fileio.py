"""What reading and writing files share: errors that name the place, file formats and their
compression, the exact text parser for numbers, and the progress bar. The readers and writers
themselves (:mod:`.readers`, :mod:`.writers`) use pyarrow, from the ``cli`` extra."""

from __future__ import annotations

import contextlib
import io
import os
import sys
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import IO, Any, Protocol

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
        self,
        source: str,
        message: str,
        line: int | None = None,
        column: str | None = None,
        row: int | None = None,
    ) -> None:
        where = source
        if line is not None:
            where += f", line {line}"
        if row is not None:
            where += f", row {row}"
        if column is not None:
            where += f", column {column!r}"
        super().__init__(f"{where}: {message}")


class UsageError(Exception):
    """Inconsistent command-line options."""


class Progress(Protocol):
    """What the progress bar needs of an input: its size in bytes (for text) or its number of
    rows (for tables), when known, and how many bytes have been read so far."""

    size: int | None
    rows: int | None

    def position(self) -> int | None: ...


# --------------------------------------------------------------------------------------------
# The exact parser of text input, used where the fast reader refuses a block of rows: it gives
# the line and column of the fault, or reads what the fast reader does not.


@dataclass
class Chunk:
    rows: list[list[str]]
    lines: list[int]  # line number of each row in the input


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
            raise InputError(source, f"{show(text)} is not a number", line, column) from None
    raise AssertionError("unreachable")  # pragma: no cover


def show(text: str) -> str:
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


class ByteWriter:
    """Text written as UTF-8 to a binary stream."""

    def __init__(self, buffer: IO[bytes]) -> None:
        self.buffer = buffer

    def write(self, text: str) -> int:
        return self.buffer.write(text.encode("utf-8", ERRORS))


# --------------------------------------------------------------------------------------------
# Formats.

FORMATS = ("csv", "tsv", "parquet", "arrow")
TEXT_FORMATS = ("csv", "tsv")
_EXTENSIONS = {
    ".csv": "csv",
    ".txt": "csv",
    ".tsv": "tsv",
    ".tab": "tsv",
    ".parquet": "parquet",
    ".pq": "parquet",
    ".arrow": "arrow",
    ".feather": "arrow",
    ".ipc": "arrow",
}
COMPRESSIONS = {".gz": "gzip", ".bz2": "bz2", ".xz": "xz"}
_MAGIC = ((b"\x1f\x8b", "gzip"), (b"BZh", "bz2"), (b"\xfd7zXZ\x00", "xz"))


def format_of(path: str | None, given: str | None) -> tuple[str | None, str | None]:
    """The format (``None`` when the name does not tell) and the compression of a file
    named ``path``, from its extensions; ``given`` (--format) overrides the format."""
    if path is None or path == "-":
        return given, None
    stem, ext = os.path.splitext(path.lower())
    compression = COMPRESSIONS.get(ext)
    if compression is not None:
        stem, ext = os.path.splitext(stem)
    if given is None:
        given = _EXTENSIONS.get(ext)
        if given is None and os.path.isdir(path):
            given = "parquet"  # a directory of Parquet files read as one dataset
    return given, compression


def sniff_compression(stream: IO[bytes]) -> str | None:
    """The compression of a binary stream, from its first bytes (the stream must peek)."""
    peek = getattr(stream, "peek", None)
    head = peek(8)[:8] if peek is not None else b""
    return next((name for magic, name in _MAGIC if head.startswith(magic)), None)


def decompressed(stream: IO[bytes], compression: str | None) -> Any:
    if compression == "gzip":
        import gzip

        return gzip.GzipFile(fileobj=stream, mode="rb")
    if compression == "bz2":
        import bz2

        return bz2.BZ2File(stream, "rb")
    if compression == "xz":
        import lzma

        return lzma.LZMAFile(stream, "rb")
    return stream


@contextlib.contextmanager
def compressed(sink: IO[bytes], compression: str | None) -> Iterator[IO[bytes]]:
    """``sink`` itself, or a compressor writing into it (closed on leaving; ``sink`` is not)."""
    if compression is None:
        yield sink
        return
    stream: Any
    if compression == "gzip":
        import gzip

        # No file name or time stamp in the header: the same results give the same bytes.
        stream = gzip.GzipFile(filename="", fileobj=sink, mode="wb", compresslevel=6, mtime=0)
    elif compression == "bz2":
        import bz2

        stream = bz2.BZ2File(sink, "wb")
    else:
        import lzma

        stream = lzma.LZMAFile(sink, "wb")  # noqa: SIM115 (closed below)
    with stream:
        yield stream


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
