"""Reading input batch by batch: CSV and other delimited text (plain, gzip, bz2 or xz), Parquet
files and directories of them, and Arrow IPC (Feather) files and streams.

Text is cut into blocks of whole records and each block is parsed by pyarrow's multi-threaded
CSV reader. Where that reader refuses a block (a bad number, a wrong number of fields, a comment
line, bytes that are not UTF-8, blanks around a number), the block is read again by Python's
``csv`` module and ``float``: that exact parser either names the line and column of the fault,
or reads the block as the tool always has. Numbers are parsed correctly rounded by both, so the
path taken never changes a result.
"""

from __future__ import annotations

import contextlib
import csv
import functools
import io
import os
import re
import sys
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import IO, Any

import numpy as np
import numpy.typing as npt
import pyarrow as pa
import pyarrow.csv as pcsv
import pyarrow.parquet as pq
from pyarrow import ipc

from quorvane.mathtools.ellipsoid.cli.errors import PROG, InputError, UsageError
from quorvane.mathtools.ellipsoid.cli.formats import (
    ENCODING,
    ERRORS,
    decompressed,
    format_of,
    sniff_compression,
)

_READ_SIZE = 1 << 21
# A line whose first field starts with '#': a comment, which pyarrow's reader does not know.
_COMMENT = re.compile(rb"(?:^|\n)[ \t]*#")

type Kept = pa.Array | pa.ChunkedArray | list[str]
FloatArray = npt.NDArray[np.float64]


class Source:
    """An input with named columns, read batch by batch."""

    name: str
    header: list[str]
    header_line: int | None = None  # where the header is, for text
    size: int | None = None  # bytes, for the progress bar of text input
    rows: int | None = None  # rows, when a table format tells

    def position(self) -> int | None:
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
            if any(h.casefold() == wanted for h in self.header):
                return self.column_index(alias)
        return None

    def kept_type(self, index: int) -> pa.DataType:
        return pa.string()

    def batches(self, rows: int, numeric: Sequence[int], kept: Sequence[int]) -> Iterator[Batch]:
        raise NotImplementedError


class Batch:
    """Rows of the input: numeric columns as float64, kept columns as they are."""

    source: str
    rows: int

    def check(self, fields: int) -> None:
        """Check the shape of the rows (text read by the exact parser)."""

    def floats(self, index: int, name: str) -> FloatArray:
        raise NotImplementedError

    def kept(self, index: int) -> Kept:
        raise NotImplementedError

    def locate(self, k: int) -> dict[str, int]:
        """Where row ``k`` of the batch is: ``{"line": n}`` or ``{"row": n}``; ``{}`` if
        unknown, when :meth:`exact` gives a batch that knows it."""
        return {}

    def exact(self) -> Batch | None:
        """The same rows read by the exact parser, for a batch read by the fast one."""
        return None


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


class TextBatch(Batch):
    """Rows of text read by the exact parser, with the line of each."""

    def __init__(self, source: str, chunk: Chunk) -> None:
        self.source = source
        self.chunk = chunk
        self.rows = len(chunk.rows)

    def check(self, fields: int) -> None:
        check_fields(self.chunk, fields, self.source)

    def floats(self, index: int, name: str) -> FloatArray:
        values = [row[index] for row in self.chunk.rows]
        return parse_column(values, self.chunk.lines, self.source, name)

    def kept(self, index: int) -> Kept:
        return [row[index] for row in self.chunk.rows]

    def locate(self, k: int) -> dict[str, int]:
        return {"line": self.chunk.lines[k]}


class ArrowBatch(Batch):
    """Columns read by pyarrow. ``first_row`` numbers the rows in errors (1 for the first data
    row of the file; ``None`` for text, whose errors come from :meth:`exact`)."""

    def __init__(
        self,
        source: str,
        columns: dict[int, pa.Array | pa.ChunkedArray],
        rows: int,
        first_row: int | None,
        exact: Callable[[], Batch] | None = None,
    ) -> None:
        self.source = source
        self.columns = columns
        self.rows = rows
        self.first_row = first_row
        self._exact = exact

    def floats(self, index: int, name: str) -> FloatArray:
        column = self.columns[index]
        if column.type == pa.float64() and column.null_count == 0:
            return _numpy(column)
        import pyarrow.compute as pc  # slow to import: only where it is needed

        if column.null_count:
            k = int(pc.index(pc.is_null(column), True).as_py())
            raise InputError(
                self.source, "missing value, expected a number", column=name, **self.locate(k)
            )
        try:
            # Numbers are rounded to the nearest double, as float() does (a whole number above
            # 2**53 is not an error); text is parsed.
            t = column.type
            exact = not (
                pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_decimal(t)
            )
            values = pc.cast(column, pa.float64(), safe=exact)
            return _numpy(values)
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
            pass
        if not (pa.types.is_string(column.type) or pa.types.is_large_string(column.type)):
            raise InputError(
                self.source, f"a column of type {column.type} is not numbers", column=name
            )
        for k, text in enumerate(column.to_pylist()):
            try:
                float(text)
            except ValueError:
                what = "empty value, expected a number" if not text.strip() else None
                raise InputError(
                    self.source,
                    what or f"{show(text)} is not a number",
                    column=name,
                    **self.locate(k),
                ) from None
        return parse_column(column.to_pylist(), [0] * self.rows, self.source, name)

    def kept(self, index: int) -> Kept:
        return self.columns[index]

    def locate(self, k: int) -> dict[str, int]:
        return {} if self.first_row is None else {"row": self.first_row + k}

    def exact(self) -> Batch | None:
        return None if self._exact is None else self._exact()


def _numpy(column: pa.Array | pa.ChunkedArray) -> FloatArray:
    """The float64 values of a column without nulls, read from its buffers (``to_numpy`` imports
    pandas when it is installed, a fifth of a second)."""
    chunks = column.chunks if isinstance(column, pa.ChunkedArray) else [column]
    parts = [
        np.frombuffer(c.buffers()[1], dtype=np.float64, count=len(c), offset=8 * c.offset)
        for c in chunks
    ]
    if len(parts) == 1:
        return parts[0]
    return np.concatenate(parts) if parts else np.empty(0)


# --------------------------------------------------------------------------------------------
# Delimited text.


class TextSource(Source):
    """CSV, TSV or other delimited text with a header line, from a binary stream.

    Blank lines and lines starting with ``#`` are skipped. Line numbers count from 1.
    """

    def __init__(
        self,
        stream: IO[bytes],
        name: str,
        delimiter: str,
        size: int | None = None,
        raw: IO[bytes] | None = None,
    ) -> None:
        self.stream = stream
        self.name = name
        self.delimiter = delimiter
        self.size = size
        self._raw = raw or stream  # the file itself, whose position the progress bar shows
        self._rest = b""
        self._eof = False
        self._read_header()

    def position(self) -> int | None:
        try:
            return int(self._raw.tell())
        except (OSError, ValueError, AttributeError):
            return None

    def _piece(self) -> bytes:
        """What the stream has next, without waiting for more; ``b""`` at the end."""
        read = getattr(self.stream, "read1", self.stream.read)
        piece: bytes = read(_READ_SIZE)
        self._eof = not piece
        return piece

    def _read(self) -> bool:
        piece = self._piece()
        self._rest += piece
        return bool(piece)

    def _read_header(self) -> None:
        self._read()
        if self._rest.startswith(b"\xef\xbb\xbf"):
            self._rest = self._rest[3:]
        while True:
            end = len(self._rest) if self._eof else self._rest.rfind(b"\n") + 1
            text = self._rest[:end].decode(ENCODING, ERRORS)
            reader = csv.reader(
                io.StringIO(text, newline=""), strict=True, delimiter=self.delimiter
            )
            try:
                header = next((row for row in reader if not _skipped(row)), None)
            except csv.Error as exc:
                if self._eof:
                    raise InputError(self.name, f"malformed CSV: {exc}", reader.line_num) from None
                header = None  # a quoted field runs on past what has been read
            if header is not None:
                break
            if self._eof:
                raise InputError(self.name, "empty input: expected a header line")
            self._read()
        self.header_line = reader.line_num
        self.header = [h.strip() for h in header]
        self._rest = self._rest[_line_end(self._rest, reader.line_num) :]
        self._line = reader.line_num + 1  # the line the next block starts on

    def batches(self, rows: int, numeric: Sequence[int], kept: Sequence[int]) -> Iterator[Batch]:
        names = [f"c{i}" for i in range(len(self.header))]
        wanted = sorted(set(numeric) | set(kept))
        types = {names[i]: pa.float64() for i in numeric}
        types.update({names[i]: pa.string() for i in kept if i not in numeric})
        convert = pcsv.ConvertOptions(
            column_types=types,
            include_columns=[names[i] for i in wanted],
            null_values=[],
            strings_can_be_null=False,
            quoted_strings_can_be_null=False,
        )

        # Each block is parsed on a thread of its own while the one before is converted and
        # written: one block ahead, no more. Reading stays on this thread, where a signal
        # interrupts it.
        pool = ThreadPoolExecutor(1, thread_name_prefix="quorvane-parse")
        try:
            pending = None
            while True:
                block = self._next_block(rows)
                ahead = None
                if block:
                    first = self._line
                    self._line += block.count(b"\n")
                    ahead = pool.submit(self._fast, block, first, names, convert, wanted)
                if pending is not None:
                    yield pending.result()
                if ahead is None:
                    return
                pending = ahead
        finally:
            pool.shutdown(wait=False, cancel_futures=True)

    def _next_block(self, rows: int) -> bytes:
        """The next whole records, about ``rows`` lines of them."""
        pieces = [self._rest]
        newlines = self._rest.count(b"\n")
        while True:
            while newlines < rows and not self._eof:
                pieces.append(self._piece())
                newlines += pieces[-1].count(b"\n")
            data = b"".join(pieces)
            cut = _record_end(data, rows, self._eof)
            if cut is not None:
                self._rest = data[cut:]
                return data[:cut]
            pieces = [data, self._piece()]  # a quoted field runs on past what has been read

    def _fast(
        self,
        block: bytes,
        first: int,
        names: list[str],
        convert: pcsv.ConvertOptions,
        wanted: list[int],
    ) -> Batch:
        exact = functools.partial(self._exact, block, first)
        if b"#" in block and _COMMENT.search(block):
            return exact()
        try:
            table = pcsv.read_csv(
                io.BytesIO(block),
                read_options=pcsv.ReadOptions(column_names=names),
                parse_options=pcsv.ParseOptions(
                    delimiter=self.delimiter, newlines_in_values=b'"' in block
                ),
                convert_options=convert,
            )
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
            return exact()
        columns = {i: table.column(names[i]) for i in wanted}
        return ArrowBatch(self.name, columns, table.num_rows, None, exact)

    def _exact(self, block: bytes, first: int) -> Batch:
        text = block.decode("utf-8", ERRORS)
        reader = csv.reader(io.StringIO(text, newline=""), strict=True, delimiter=self.delimiter)
        rows: list[list[str]] = []
        lines: list[int] = []
        try:
            for row in reader:
                if not _skipped(row):
                    rows.append(row)
                    lines.append(first - 1 + reader.line_num)
        except csv.Error as exc:
            raise InputError(
                self.name, f"malformed CSV: {exc}", first - 1 + reader.line_num
            ) from None
        return TextBatch(self.name, Chunk(rows, lines))


def _skipped(row: list[str]) -> bool:
    """A blank line or a comment."""
    return not row or row[0].lstrip().startswith("#") or (len(row) == 1 and not row[0].strip())


def _line_end(data: bytes, lines: int) -> int:
    """Offset just past the first ``lines`` lines of ``data``."""
    at = -1
    for _ in range(lines):
        at = data.find(b"\n", at + 1)
        if at < 0:
            return len(data)
    return at + 1


def _record_end(data: bytes, rows: int, eof: bool) -> int | None:
    """Offset just past the ``rows``-th line end outside quotes, or past the last one before it
    (``None`` if there is none yet); at the end of the input, the end unless ``rows`` lines
    end before it."""
    if not data:
        return 0 if eof else None
    raw = np.frombuffer(data, dtype=np.uint8)
    ends = np.flatnonzero(raw == 10)
    if b'"' in data:
        quotes = np.cumsum(raw == 34)
        ends = ends[quotes[ends] % 2 == 0]
    if len(ends) < rows and eof:
        return len(data)
    if len(ends) == 0:
        return None
    return int(ends[min(rows, len(ends)) - 1]) + 1


# --------------------------------------------------------------------------------------------
# Parquet and Arrow.


class ParquetSource(Source):
    """A Parquet file, or a directory of them read as one dataset (file by file, in name
    order; errors name the file and the row in it)."""

    def __init__(self, path: str) -> None:
        self.name = path
        if os.path.isdir(path):
            import pyarrow.dataset as ds

            self.files = sorted(ds.dataset(path, format="parquet").files)
            if not self.files:
                raise UsageError(f"no Parquet files in the directory {path!r}")
        else:
            self.files = [path]
        try:
            metas = [pq.ParquetFile(f, pre_buffer=False) for f in self.files]
        except (pa.ArrowInvalid, OSError) as exc:
            raise UsageError(f"cannot read {path!r} as Parquet: {exc}") from None
        self._schema = metas[0].schema_arrow
        self.header = list(self._schema.names)
        self.rows = sum(m.metadata.num_rows for m in metas)

    def kept_type(self, index: int) -> pa.DataType:
        return self._schema.field(index).type

    def batches(self, rows: int, numeric: Sequence[int], kept: Sequence[int]) -> Iterator[Batch]:
        wanted = sorted(set(numeric) | set(kept))
        names = [self.header[i] for i in wanted]
        for path in self.files:
            data = pq.ParquetFile(path, pre_buffer=False)  # one row group at a time
            have = set(data.schema_arrow.names)
            missing = [n for n in names if n not in have]
            if missing:
                raise InputError(path, f"no column {missing[0]!r} in this file of the dataset")
            first = 1
            for batch in data.iter_batches(batch_size=rows, columns=names):
                columns = {i: batch.column(names.index(self.header[i])) for i in wanted}
                yield ArrowBatch(path, columns, batch.num_rows, first)
                first += batch.num_rows


class ArrowSource(Source):
    """An Arrow IPC file (Feather version 2) or stream."""

    def __init__(self, stream: IO[bytes] | str, name: str) -> None:
        self.name = name
        try:
            if isinstance(stream, str):
                self._file = pa.OSFile(stream)
                try:
                    reader: Any = ipc.open_file(self._file)
                    self._batches: Iterator[pa.RecordBatch] = (
                        reader.get_batch(i) for i in range(reader.num_record_batches)
                    )
                except pa.ArrowInvalid:
                    self._file.seek(0)
                    reader = ipc.open_stream(self._file)
                    self._batches = iter(reader)
            else:
                reader = ipc.open_stream(stream)
                self._batches = iter(reader)
        except (pa.ArrowInvalid, OSError) as exc:
            raise UsageError(f"cannot read {name!r} as Arrow IPC: {exc}") from None
        self._schema = reader.schema
        self.header = list(self._schema.names)

    def kept_type(self, index: int) -> pa.DataType:
        return self._schema.field(index).type

    def batches(self, rows: int, numeric: Sequence[int], kept: Sequence[int]) -> Iterator[Batch]:
        wanted = sorted(set(numeric) | set(kept))
        first = 1
        for whole in self._batches:
            for start in range(0, whole.num_rows, rows):
                batch = whole.slice(start, rows)
                columns = {i: batch.column(i) for i in wanted}
                yield ArrowBatch(self.name, columns, batch.num_rows, first)
                first += batch.num_rows


# --------------------------------------------------------------------------------------------
# Opening an input.


@contextlib.contextmanager
def open_input(path: str, fmt: str | None, delimiter: str | None) -> Iterator[Source]:
    """The input at ``path`` (``-``: standard input) in format ``fmt`` (from the extension when
    ``None``; plain CSV when the name does not tell). Compressed text is recognised by its
    first bytes."""
    fmt, _ = format_of(path, fmt)
    fmt = fmt or "csv"
    if fmt == "parquet":
        if path == "-":
            raise UsageError("Parquet input must be a file or a directory, not standard input")
        yield ParquetSource(path)
        return
    with contextlib.ExitStack() as stack:
        if path == "-":
            name = "<stdin>"
            raw = getattr(sys.stdin, "buffer", None)
            if raw is None:  # a text-only stand-in for standard input
                raw = io.BufferedReader(io.BytesIO(sys.stdin.read().encode("utf-8", ERRORS)))
            elif sys.stdin.isatty():
                print(f"{PROG}: reading from the terminal; end with Ctrl-D", file=sys.stderr)
            size = None
        else:
            name = path
            try:
                raw = stack.enter_context(open(path, "rb"))
            except OSError as exc:
                raise UsageError(f"cannot read {path!r}: {exc.strerror}") from None
            size = os.fstat(raw.fileno()).st_size if os.path.isfile(path) else None
        if fmt == "arrow":
            yield ArrowSource(raw if path == "-" else path, name)
            return
        compression = sniff_compression(raw)
        stream = stack.enter_context(decompressed(raw, compression)) if compression else raw
        sep = delimiter or ("\t" if fmt == "tsv" else ",")
        yield TextSource(stream, name, sep, size, raw)
