"""Delimited text: where its records end, and the exact parser that names the line and column
of a fault.

A record ends at a line end (``\\n``, ``\\r\\n`` or a bare ``\\r``) outside quotes, as both
parsers read it. A quote opens a quoted field only at the start of a field; there a line end is
part of the field and ``""`` is a quote. A quote elsewhere (``12" pipe``) is a character like
any other.

Numbers in text have one grammar, whichever parser reads them: decimal floats (``1``, ``-0.5``,
``.5``, ``5.``, ``6.4e6``, blanks around them allowed) and the spelled-out ``nan``, ``inf`` and
``infinity`` (any case, with a sign). Refused, with the line and column: underscores (``1_0``),
digits other than ASCII, and values that overflow to infinity (``1e999``).
"""

from __future__ import annotations

import csv
import io
import math
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from quorvane.mathtools.ellipsoid.cli.errors import InputError
from quorvane.mathtools.ellipsoid.cli.formats import ERRORS

FloatArray = npt.NDArray[np.float64]
Ends = npt.NDArray[np.int64]

DEFAULT_MAX_RECORD_BYTES = 64 << 20
# A block of records is cut at this size even before it holds the rows asked for, so that
# long rows do not make blocks (and the memory they take) grow without bound.
BLOCK_BYTES = 16 << 20

_LF, _CR, _QUOTE = 10, 13, 34


def count_lines(data: bytes | bytearray | memoryview) -> int:
    """The line ends in ``data`` (``\\r\\n`` counts once), quoted or not, as line numbers count
    them. ``data`` never ends between the two bytes of a ``\\r\\n``."""
    data = bytes(data) if isinstance(data, memoryview) else data
    if b"\r" not in data:
        return data.count(b"\n")
    return data.count(b"\n") + data.count(b"\r") - data.count(b"\r\n")


class RecordCutter:
    """Cuts text read piece by piece into blocks of whole records.

    Every byte is scanned once, so the time is linear in the input whatever its quotes, and
    the memory is one block plus one record. A record longer than ``max_record`` bytes (a quote
    that opens a field and is never closed, or a line of a gigabyte) is an error naming the
    line it starts on, found without reading further.
    """

    def __init__(
        self,
        read: Callable[[], bytes],
        delimiter: str,
        max_record: int,
        source: str,
        first: bytes = b"",
    ) -> None:
        self._read = read
        self._delimiter = delimiter.encode("utf-8")[-1]
        self._max_record = max_record
        self._source = source
        self._buffer = bytearray(first)
        self._base = 0  # offset in the input of the buffer's first byte
        self._scanned = 0  # bytes of the buffer scanned so far
        self._ends: Ends = np.empty(0, np.int64)  # input offsets just past each record found
        self._quoted = False  # the scan stopped inside a quoted field
        self._closed_at = -2  # input offset of the last quote that closed a quoted field
        self._eof = False
        self.line = 1  # the line the next block starts on

    def block(self, rows: int) -> bytes:
        """The next ``rows`` whole records (fewer past :data:`BLOCK_BYTES`, but at least one;
        at the end of the input, the rest, whose last record needs no line end); ``b""`` at the
        end."""
        while not self._eof and len(self._ends) < rows and not self._full():
            self._fill()
        ends = self._ends[:rows]
        count = max(1, int(np.searchsorted(ends, self._base + BLOCK_BYTES, side="right")))
        if self._eof and count >= len(self._ends):
            cut = self._base + len(self._buffer)
        else:
            cut = int(ends[count - 1])
        taken = bytes(memoryview(self._buffer)[: cut - self._base])
        del self._buffer[: cut - self._base]
        self._scanned -= cut - self._base
        self._base = cut
        self._ends = self._ends[np.searchsorted(self._ends, cut, side="right") :]
        self.line += count_lines(taken)
        return taken

    def _full(self) -> bool:
        return bool(len(self._ends)) and self._ends[-1] - self._base >= BLOCK_BYTES

    def _fill(self) -> None:
        piece = self._read()
        self._eof = not piece
        self._buffer += piece
        self._scan()
        start = int(self._ends[-1]) if len(self._ends) else self._base
        if self._base + len(self._buffer) - start > self._max_record:
            line = self.line + count_lines(memoryview(self._buffer)[: start - self._base])
            if self._quoted:
                what = f"a quoted field runs on past {self._max_record} bytes (is its quote "
                what += "never closed?)"
            else:
                what = f"a record longer than {self._max_record} bytes"
            raise InputError(self._source, f"{what}; see --max-record-bytes", line)

    def _scan(self) -> None:
        """Find the record ends in what is not scanned yet. One byte is kept back until the
        end of the input: a quote or a ``\\r`` needs the byte after it."""
        start = self._scanned
        stop = len(self._buffer) if self._eof else len(self._buffer) - 1
        if stop <= start:
            return
        # A view of the buffer, dropped on return (the buffer cannot grow while it lives).
        data = np.frombuffer(
            self._buffer,
            dtype=np.uint8,
            count=min(stop + 1, len(self._buffer)) - start,
            offset=start,
        )
        scan = data[: stop - start]
        lf = np.flatnonzero(scan == _LF)
        cr = np.flatnonzero(scan == _CR)
        if len(cr):
            after = cr + 1
            bare = after >= len(data)
            bare[~bare] = data[after[~bare]] != _LF
            cr = cr[bare]
        line_ends = np.union1d(lf, cr) if len(cr) else lf
        quotes = np.flatnonzero(scan == _QUOTE)
        offset = self._base + start
        if len(quotes) or self._quoted:
            toggles = self._toggles(scan, quotes, offset)
            inside = (np.searchsorted(toggles, line_ends) + self._quoted) % 2 == 1
            line_ends = line_ends[~inside]
            if len(toggles):
                self._quoted = (len(toggles) + self._quoted) % 2 == 1
                if not self._quoted:
                    self._closed_at = offset + int(toggles[-1])
        if len(line_ends):
            self._ends = np.concatenate((self._ends, line_ends.astype(np.int64) + offset + 1))
        self._scanned = stop

    def _toggles(self, scan: npt.NDArray[np.uint8], quotes: Ends, offset: int) -> Ends:
        """The quotes that open or close a quoted field, of ``quotes`` at ``offset`` onwards."""
        before = self._buffer[self._scanned - 1] if self._scanned else _LF
        starts = np.array([self._delimiter, _LF, _CR], dtype=np.uint8)
        # Well-formed text: quotes alternate between opening and closing, and every opening
        # one starts a field, or follows the quote that closed one ("" inside a field).
        opening = quotes[(np.arange(len(quotes)) + self._quoted) % 2 == 0]
        if not len(opening):
            return quotes
        prev = np.where(opening > 0, scan[np.maximum(opening - 1, 0)], before)
        after_close = np.isin(opening - 1, quotes) | (opening - 1 + offset == self._closed_at)
        if np.all(np.isin(prev, starts) | after_close):
            return quotes
        # A quote in the middle of a field: follow the quotes one by one.
        toggles = []
        quoted = self._quoted
        closed_at = self._closed_at - offset
        for q in quotes.tolist():
            if quoted:
                quoted, closed_at = False, q
                toggles.append(q)
            elif q == closed_at + 1 or (scan[q - 1] if q else before) in (
                self._delimiter,
                _LF,
                _CR,
            ):
                quoted = True
                toggles.append(q)
        return np.array(toggles, dtype=np.int64)


# --------------------------------------------------------------------------------------------
# The exact parser: Python's csv module and the number grammar above. It reads the blocks the
# fast reader refuses, and either names the line and column of the fault or reads them.


@dataclass
class Chunk:
    rows: list[list[str]]
    lines: list[int]  # line number of each row in the input


def skipped(row: list[str]) -> bool:
    """A blank line or a comment. A lone quoted empty field (``""``, as an empty MGRS code is
    written) is a row: the csv module reads a blank line as no field at all."""
    return (
        not row
        or row[0].lstrip().startswith("#")
        or (len(row) == 1 and row[0] != "" and not row[0].strip())
    )


def read_exact(block: bytes, first: int, delimiter: str, source: str) -> Chunk:
    """The rows of ``block``, whose first line is line ``first`` of the input."""
    text = block.decode("utf-8", ERRORS)
    reader = csv.reader(io.StringIO(text, newline=""), strict=True, delimiter=delimiter)
    rows: list[list[str]] = []
    lines: list[int] = []
    try:
        for row in reader:
            if not skipped(row):
                rows.append(row)
                lines.append(first - 1 + reader.line_num)
    except csv.Error as exc:
        raise InputError(source, f"malformed CSV: {exc}", first - 1 + reader.line_num) from None
    return Chunk(rows, lines)


def allow_fields(size: int) -> None:
    """Let the csv module read fields of ``size`` characters (its default limit is 131072)."""
    if csv.field_size_limit() < size:
        csv.field_size_limit(size)


def show(text: str) -> str:
    """``text`` quoted, or the bytes it was read from when they are not UTF-8."""
    if _utf8(text):
        return repr(text)
    return f"{text.encode('utf-8', ERRORS)!r} (not UTF-8)"


def header_names(header: list[str]) -> str:
    """Header names for a message: as they are, or as bytes when they are not UTF-8."""
    return ", ".join(name if _utf8(name) else show(name) for name in header)


def _utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def parse_number(text: str) -> float:
    """The value of one number, or a ValueError saying what is wrong with it."""
    if text.isascii() and "_" not in text:
        try:
            value = float(text)
        except ValueError:
            pass
        else:
            if math.isinf(value) and not _spelled_out(text):
                raise ValueError(f"{show(text)} is out of range")
            return value
    if not text.strip():
        raise ValueError("empty value, expected a number")
    raise ValueError(f"{show(text)} is not a number")


_INFINITY = ("inf", "infinity")


def parse_numbers(
    values: list[str], source: str, column: str, locate: Callable[[int], dict[str, int]]
) -> FloatArray:
    """The numbers in ``values``, or an InputError at the first bad one, placed by ``locate``
    (its index -> ``{"line": n}`` or ``{"row": n}``)."""
    joined = "".join(values)
    if joined.isascii() and "_" not in joined:
        try:
            out = np.fromiter(map(float, values), dtype=np.float64, count=len(values))
        except ValueError:
            pass
        else:
            infinite = np.flatnonzero(np.isinf(out)).tolist()
            if all(_spelled_out(values[k]) for k in infinite):
                return out
    for k, text in enumerate(values):
        try:
            parse_number(text)
        except ValueError as exc:
            raise InputError(source, str(exc), column=column, **locate(k)) from None
    raise AssertionError("unreachable")  # pragma: no cover


def _spelled_out(text: str) -> bool:
    return text.strip().lstrip("+-").lower() in _INFINITY


def check_fields(chunk: Chunk, count: int, source: str) -> None:
    if all(len(row) == count for row in chunk.rows):
        return
    for row, line in zip(chunk.rows, chunk.lines, strict=True):
        if len(row) != count:
            raise InputError(
                source, f"expected {count} fields as in the header, found {len(row)}", line
            )


def first_record(cutter: RecordCutter, delimiter: str, source: str) -> tuple[list[str], int]:
    """The first record that is not blank or a comment (the header), and its line."""
    while True:
        line = cutter.line
        block = cutter.block(1)
        if not block:
            raise InputError(source, "empty input: expected a header line")
        rows = read_exact(block, line, delimiter, source)
        if rows.rows:
            return rows.rows[0], line
