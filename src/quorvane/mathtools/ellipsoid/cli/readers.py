"""Reading input batch by batch: CSV and other delimited text (plain, gzip, bz2 or xz), Parquet
files and directories of them, and Arrow IPC (Feather) files and streams.

Text is cut into blocks of whole records (:mod:`.text`) and each block is parsed by pyarrow's
multi-threaded CSV reader. Where that reader refuses a block (a bad number, a wrong number of
fields, a comment line, bytes that are not UTF-8) or reads an infinity, the block is read again
by the exact parser of :mod:`.text`: it either names the line and column of the fault, or reads
the block. Both read numbers by one grammar, correctly rounded, so the path taken never changes
a result.
"""

from __future__ import annotations

import contextlib
import functools
import io
import lzma
import os
import re
import sys
import zlib
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import IO, Any

import numpy as np
import numpy.typing as npt
import pyarrow as pa
import pyarrow.csv as pcsv
import pyarrow.parquet as pq
from pyarrow import ipc

from quorvane.mathtools.ellipsoid.cli.errors import PROG, InputError, UsageError
from quorvane.mathtools.ellipsoid.cli.formats import (
    ERRORS,
    decompressed,
    format_of,
    sniff_compression,
)
from quorvane.mathtools.ellipsoid.cli.text import (
    DEFAULT_MAX_RECORD_BYTES,
    Chunk,
    RecordCutter,
    allow_fields,
    check_fields,
    first_record,
    header_names,
    parse_numbers,
    read_exact,
)

_READ_SIZE = 1 << 21
# A line whose first field starts with '#': a comment, which pyarrow's reader does not know.
_COMMENT = re.compile(rb"(?:^|[\r\n])[ \t]*#")

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
                f"no column {name!r} in the header (columns: {header_names(self.header)})",
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

    @property
    def geometry_column(self) -> str | None:
        """The primary geometry column a table's metadata names (GeoParquet), if any."""
        return _primary_geometry(getattr(self, "_schema", None))

    def geometry_encoding(self, index: int) -> str | None:
        """The GeoArrow encoding (``geoarrow.polygon``) that a table's metadata gives the
        column ``index``, where its values are no WKB or WKT: the extension name of the field,
        or the GeoParquet column's encoding."""
        return _geoarrow_encoding(getattr(self, "_schema", None), index)


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

    def strings(self, index: int, name: str) -> npt.NDArray[np.str_]:
        """A column of text (an MGRS code), missing values an error."""
        raise NotImplementedError

    def flags(self, index: int, name: str) -> npt.NDArray[np.bool_]:
        """A column of true or false: booleans, 1 or 0, or the words true/false, t/f,
        yes/no (case ignored); anything else an error."""
        raise NotImplementedError

    def geometries(self, index: int, name: str, encoding: str | None) -> Any:
        """A column of geometries: shapely geometries (None where missing) of WKT text or WKB,
        or the Arrow column itself where it holds a GeoArrow encoding (measured in place). A
        malformed geometry is an error."""
        raise NotImplementedError

    def locate(self, k: int) -> dict[str, int]:
        """Where row ``k`` of the batch is: ``{"line": n}`` or ``{"row": n}``; ``{}`` if
        unknown, when :meth:`exact` gives a batch that knows it."""
        return {}

    def exact(self) -> Batch | None:
        """The same rows read by the exact parser, for a batch read by the fast one."""
        return None


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
        return parse_numbers(values, self.source, name, self.locate)

    def kept(self, index: int) -> Kept:
        return [row[index] for row in self.chunk.rows]

    def strings(self, index: int, name: str) -> npt.NDArray[np.str_]:
        return np.array([row[index] for row in self.chunk.rows], dtype=np.str_)

    def flags(self, index: int, name: str) -> npt.NDArray[np.bool_]:
        return parse_flags(self.strings(index, name), self.source, name, self.locate)

    def geometries(self, index: int, name: str, encoding: str | None) -> Any:
        texts = np.array([row[index] for row in self.chunk.rows], dtype=object)
        return parse_geometries(texts, False, self.source, name, self.locate)

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
            values = _numpy(column)
            if self._exact is not None and np.isinf(values).any():
                # Text read by the fast reader, which reads 1e999 as infinity: the exact parser
                # reads the block again and tells an overflow from a spelled-out inf.
                raise InputError(self.source, "infinite value", column=name)
            return values
        import pyarrow.compute as pc  # slow to import: only where it is needed

        if column.null_count:
            k = int(pc.index(pc.is_null(column), True).as_py())
            raise InputError(
                self.source, "missing value, expected a number", column=name, **self.locate(k)
            )
        t = column.type
        if pa.types.is_string(t) or pa.types.is_large_string(t):
            try:
                values = _numpy(pc.cast(column, pa.float64()))
                if not np.isinf(values).any():
                    return values
            except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
                pass
            return parse_numbers(column.to_pylist(), self.source, name, self.locate)
        try:
            # Numbers are rounded to the nearest double, as float() does (a whole number above
            # 2**53 is not an error).
            numeric = pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_decimal(t)
            return _numpy(pc.cast(column, pa.float64(), safe=not numeric))
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
            raise InputError(
                self.source, f"a column of type {column.type} is not numbers", column=name
            ) from None

    def kept(self, index: int) -> Kept:
        return self.columns[index]

    def _present(self, index: int, name: str, what: str) -> pa.Array | pa.ChunkedArray:
        column = self.columns[index]
        if column.null_count:
            import pyarrow.compute as pc

            k = int(pc.index(pc.is_null(column), True).as_py())
            raise InputError(
                self.source, f"missing value, expected {what}", column=name, **self.locate(k)
            )
        return column

    def strings(self, index: int, name: str) -> npt.NDArray[np.str_]:
        column = self._present(index, name, "text")
        if not (pa.types.is_string(column.type) or pa.types.is_large_string(column.type)):
            raise InputError(
                self.source, f"a column of type {column.type} is not text", column=name
            )
        return np.array(column.to_pylist(), dtype=np.str_)

    def flags(self, index: int, name: str) -> npt.NDArray[np.bool_]:
        column = self._present(index, name, "true or false")
        t = column.type
        if pa.types.is_boolean(t):
            return np.array(column.to_pylist(), dtype=np.bool_)
        if pa.types.is_integer(t) or pa.types.is_floating(t):
            values = np.array(column.to_pylist(), dtype=np.float64)
            bad = (values != 0) & (values != 1)
            if bad.any():
                k = int(np.argmax(bad))
                raise InputError(
                    self.source,
                    f"{float(values[k])!r} is not true or false (1 or 0)",
                    column=name,
                    **self.locate(k),
                )
            return values == 1
        if pa.types.is_string(t) or pa.types.is_large_string(t):
            texts = np.array(column.to_pylist(), dtype=np.str_)
            return parse_flags(texts, self.source, name, self.locate)
        raise InputError(self.source, f"a column of type {t} is not true or false", column=name)

    def geometries(self, index: int, name: str, encoding: str | None) -> Any:
        column = self.columns[index]
        extension = getattr(column.type, "extension_name", None)
        if extension in ("geoarrow.wkb", "ogc.wkb", "geoarrow.wkt"):
            chunks = column.chunks if isinstance(column, pa.ChunkedArray) else [column]
            column = pa.chunked_array([c.storage for c in chunks], column.type.storage_type)
        elif extension is not None or encoding is not None:
            return column  # GeoArrow's native encodings: the coordinates read in place
        t = column.type
        text = pa.types.is_string(t) or pa.types.is_large_string(t)
        if not (text or pa.types.is_binary(t) or pa.types.is_large_binary(t)):
            raise InputError(
                self.source,
                f"a column of type {t} is not geometries (WKT text, WKB or GeoArrow)",
                column=name,
            )
        values = column.to_numpy(zero_copy_only=False).astype(object, copy=False)
        return parse_geometries(values, not text, self.source, name, self.locate)

    def locate(self, k: int) -> dict[str, int]:
        return {} if self.first_row is None else {"row": self.first_row + k}

    def exact(self) -> Batch | None:
        return None if self._exact is None else self._exact()


_TRUE = frozenset(("true", "t", "yes", "1"))
_FALSE = frozenset(("false", "f", "no", "0"))


def parse_flags(
    texts: npt.NDArray[np.str_], source: str, column: str, locate: Callable[[int], dict[str, int]]
) -> npt.NDArray[np.bool_]:
    """The booleans spelled in ``texts``, or an InputError at the first other text."""
    words = np.char.lower(np.char.strip(texts))
    true = np.isin(words, list(_TRUE))
    bad = ~true & ~np.isin(words, list(_FALSE))
    if bad.any():
        k = int(np.argmax(bad))
        raise InputError(
            source,
            f"{str(texts[k])!r} is not true or false (true/false, 1/0, yes/no)",
            column=column,
            **locate(k),
        )
    return true


def parse_geometries(
    values: npt.NDArray[np.object_],
    wkb: bool,
    source: str,
    column: str,
    locate: Callable[[int], dict[str, int]],
) -> npt.NDArray[np.object_]:
    """Shapely geometries of WKB (``wkb``) or WKT text, None where a value is missing (a null,
    or blank text), or an InputError at the first malformed one."""
    import shapely

    if wkb:
        present = np.array([v is not None for v in values], dtype=bool)
    else:
        present = np.array([v is not None and not v.isspace() and v != "" for v in values])
    values = np.where(present, values, None)
    parse = shapely.from_wkb if wkb else shapely.from_wkt
    geoms = parse(values, on_invalid="ignore")
    bad = present & shapely.is_missing(geoms)
    if bad.any():
        k = int(np.argmax(bad))
        given = values[k].hex() if wkb else values[k]
        shown = repr(given) if len(given) <= 60 else repr(given[:57]) + "..."
        what = "WKB" if wkb else "WKT"
        raise InputError(source, f"{shown} is no geometry in {what}", column=column, **locate(k))
    return geoms


def _primary_geometry(schema: pa.Schema | None) -> str | None:
    """The GeoParquet primary column, else the first field of a GeoArrow extension type."""
    geo = _geoparquet(schema)
    primary = geo.get("primary_column") if geo else None
    if isinstance(primary, str):
        return primary
    for field in schema or ():
        name = (field.metadata or {}).get(b"ARROW:extension:name", b"")
        extension = getattr(field.type, "extension_name", None) or name.decode(errors="replace")
        if extension.startswith(("geoarrow.", "ogc.wkb")):
            return str(field.name)
    return None


def _geoparquet(schema: pa.Schema | None) -> dict[str, Any] | None:
    """The GeoParquet metadata of a table's schema (its key ``geo``), or None."""
    import json

    raw = (schema.metadata or {}).get(b"geo") if schema is not None else None
    if raw is None:
        return None
    try:
        geo = json.loads(raw)
    except ValueError:
        return None
    return geo if isinstance(geo, dict) else None


def _geoarrow_encoding(schema: pa.Schema | None, index: int) -> str | None:
    if schema is None:
        return None
    field = schema.field(index)
    name = (field.metadata or {}).get(b"ARROW:extension:name")
    if name is not None and name.decode() not in ("geoarrow.wkb", "ogc.wkb", "geoarrow.wkt"):
        return name.decode()
    columns = (_geoparquet(schema) or {}).get("columns")
    column = columns.get(field.name) if isinstance(columns, dict) else None
    encoding = column.get("encoding") if isinstance(column, dict) else None
    if isinstance(encoding, str) and encoding.lower() not in ("wkb", "wkt"):
        return f"geoarrow.{encoding.lower()}"
    return None


def _looks_like(head: bytes) -> str:
    """A hint for a binary file read as text that is a table format the tool reads."""
    if head.startswith(b"PAR1"):
        return " (it looks like Parquet: add --format parquet)"
    if head.startswith((b"ARROW1", b"\xff\xff\xff\xff")):
        return " (it looks like Arrow IPC: add --format arrow)"
    return ""


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

    Blank lines and lines starting with ``#`` are skipped. Line numbers count from 1. Records
    are cut as :mod:`.text` describes; one longer than ``max_record`` bytes is an error.
    """

    def __init__(
        self,
        stream: IO[bytes],
        name: str,
        delimiter: str,
        size: int | None = None,
        raw: IO[bytes] | None = None,
        max_record: int = DEFAULT_MAX_RECORD_BYTES,
        compression: str | None = None,
    ) -> None:
        self.stream = stream
        self.name = name
        self.delimiter = delimiter
        self.size = size
        self._raw = raw or stream  # the file itself, whose position the progress bar shows
        self._compression = compression
        allow_fields(max_record)
        first = self._piece()
        if first.startswith(b"\xef\xbb\xbf"):
            first = first[3:]
        if b"\0" in first[:8192]:  # as grep and git tell binary files
            raise InputError(name, "binary data, not delimited text" + _looks_like(first))
        self._cutter = RecordCutter(self._piece, delimiter, max_record, name, first)
        header, self.header_line = first_record(self._cutter, delimiter, name)
        self.header = [h.strip() for h in header]

    def position(self) -> int | None:
        try:
            return int(self._raw.tell())
        except (OSError, ValueError, AttributeError):
            return None

    def _piece(self) -> bytes:
        """What the stream has next, without waiting for more; ``b""`` at the end."""
        read = getattr(self.stream, "read1", self.stream.read)
        try:
            piece: bytes = read(_READ_SIZE)
        except EOFError:
            what = f"the {self._compression} data ends early: the file is truncated"
            raise InputError(self.name, what) from None
        except (OSError, zlib.error, lzma.LZMAError) as exc:
            what = f"damaged {self._compression} data" if self._compression else "cannot read"
            raise InputError(self.name, f"{what}: {exc}") from None
        return piece

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
                first = self._cutter.line
                block = self._cutter.block(rows)
                ahead = None
                if block:
                    ahead = pool.submit(self._fast, block, first, names, convert, wanted)
                if pending is not None:
                    yield pending.result()
                if ahead is None:
                    return
                pending = ahead
        finally:
            pool.shutdown(wait=False, cancel_futures=True)

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
        return TextBatch(self.name, read_exact(block, first, self.delimiter, self.name))


# --------------------------------------------------------------------------------------------
# Parquet and Arrow.


_NOT_PARQUET = "not a Parquet file, or a damaged one"


class ParquetSource(Source):
    """A Parquet file, or a directory of them read as one dataset (file by file, in name
    order; errors name the file and the row in it)."""

    def __init__(self, path: str) -> None:
        self.name = path
        if os.path.isdir(path):
            import pyarrow.dataset as ds

            with _damaged(path, _NOT_PARQUET):
                self.files = sorted(ds.dataset(path, format="parquet").files)
            if not self.files:
                raise UsageError(f"no Parquet files in the directory {path!r}")
        else:
            self.files = [path]
        metas = []
        for file in self.files:
            with _damaged(file, _NOT_PARQUET):
                metas.append(pq.ParquetFile(file, pre_buffer=False))
        self._schema = metas[0].schema_arrow
        self.header = list(self._schema.names)
        self.rows = sum(m.metadata.num_rows for m in metas)

    def kept_type(self, index: int) -> pa.DataType:
        return self._schema.field(index).type

    def batches(self, rows: int, numeric: Sequence[int], kept: Sequence[int]) -> Iterator[Batch]:
        wanted = sorted(set(numeric) | set(kept))
        names = [self.header[i] for i in wanted]
        for path in self.files:
            with _damaged(path, _NOT_PARQUET):
                data = pq.ParquetFile(path, pre_buffer=False)  # one row group at a time
            have = set(data.schema_arrow.names)
            missing = [n for n in names if n not in have]
            if missing:
                raise InputError(path, f"no column {missing[0]!r} in this file of the dataset")
            first = 1
            pieces = data.iter_batches(batch_size=rows, columns=names)
            while True:
                with _damaged(path, "damaged Parquet data", first):
                    batch = next(pieces, None)
                if batch is None:
                    break
                columns = {i: batch.column(names.index(self.header[i])) for i in wanted}
                yield ArrowBatch(path, columns, batch.num_rows, first)
                first += batch.num_rows


class ArrowSource(Source):
    """An Arrow IPC file (Feather version 2) or stream."""

    def __init__(self, stream: IO[bytes] | str, name: str) -> None:
        self.name = name
        with _damaged(name, "not an Arrow IPC file or stream, or a damaged one"):
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
        self._schema = reader.schema
        self.header = list(self._schema.names)

    def kept_type(self, index: int) -> pa.DataType:
        return self._schema.field(index).type

    def batches(self, rows: int, numeric: Sequence[int], kept: Sequence[int]) -> Iterator[Batch]:
        wanted = sorted(set(numeric) | set(kept))
        first = 1
        while True:
            with _damaged(self.name, "damaged Arrow IPC data", first):
                whole = next(self._batches, None)
            if whole is None:
                break
            for start in range(0, whole.num_rows, rows):
                batch = whole.slice(start, rows)
                columns = {i: batch.column(i) for i in wanted}
                yield ArrowBatch(self.name, columns, batch.num_rows, first)
                first += batch.num_rows


@contextlib.contextmanager
def _damaged(path: str, what: str, row: int | None = None) -> Iterator[None]:
    """pyarrow's errors in reading ``path`` as one line: a file that cannot be opened is a
    usage error, one whose contents pyarrow refuses an input error naming the file (and the
    row where reading stopped)."""
    try:
        yield
    except (FileNotFoundError, PermissionError, IsADirectoryError) as exc:
        raise UsageError(f"cannot read {path!r}: {exc.strerror or exc}") from None
    except (pa.ArrowException, OSError, EOFError) as exc:
        raise InputError(path, f"{what}: {exc}", row=row) from None


# --------------------------------------------------------------------------------------------
# Opening an input.


@contextlib.contextmanager
def open_input(
    path: str,
    fmt: str | None,
    delimiter: str | None,
    max_record: int = DEFAULT_MAX_RECORD_BYTES,
) -> Iterator[Source]:
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
            if sys.stdin is None:  # closed (<&-)
                raise UsageError("standard input is closed: give an input FILE")
            name = "<stdin>"
            raw = getattr(sys.stdin, "buffer", None)
            if raw is None:  # a text-only stand-in for standard input
                raw = io.BufferedReader(io.BytesIO(sys.stdin.read().encode("utf-8", ERRORS)))
            elif sys.stdin.isatty() and sys.stderr is not None:
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
        yield TextSource(stream, name, sep, size, raw, max_record, compression)
