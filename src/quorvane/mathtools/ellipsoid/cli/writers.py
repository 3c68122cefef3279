"""Writing results batch by batch: delimited text (plain, gzip, bz2 or xz), Parquet, Arrow IPC.

Result columns are float64, the exact doubles of the API. In text each is written as the
shortest decimal that reads back to the same double (``6378137``, ``0.1``, ``1e+16``, ``nan``),
or with ``--float-format``. Kept columns are copied as they were read.
"""

from __future__ import annotations

import contextlib
import csv
import os
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import IO, Any

import numpy as np
import pyarrow as pa
import pyarrow.csv as pcsv
import pyarrow.parquet as pq
from pyarrow import ipc

from quorvane.mathtools.ellipsoid.cli.errors import InputError
from quorvane.mathtools.ellipsoid.cli.formats import ERRORS
from quorvane.mathtools.ellipsoid.cli.readers import FloatArray, Kept


class Writer:
    """Takes the kept and result columns of each batch; :meth:`close` finishes the output."""

    def write(self, kept: Sequence[Kept], results: Sequence[FloatArray]) -> None:
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError

    def abandon(self) -> None:
        """Stop after a failure (what was written is thrown away or stays incomplete)."""


def float_array(values: FloatArray) -> pa.Array:
    """``values`` as a float64 Arrow array of the same bits. Built from the buffer: pyarrow's
    ``pa.array`` first asks whether the values are a pandas object, which imports pandas when it
    is installed (a fifth of a second)."""
    data = np.ascontiguousarray(values, dtype=np.float64)
    return pa.Array.from_buffers(pa.float64(), len(data), [None, pa.py_buffer(data)])


def result_array(values: Any) -> pa.Array:
    """A result column as an Arrow array: float64 from its buffer, others (a zone, a
    hemisphere flag, an MGRS code) by their type."""
    if values.dtype == np.float64:
        return float_array(values)
    if values.dtype.kind == "U":
        return pa.array(values.tolist(), pa.string())
    return pa.array(values, pa.from_numpy_dtype(values.dtype))


class ByteWriter:
    """Text written as UTF-8 to a binary stream."""

    def __init__(self, buffer: IO[bytes]) -> None:
        self.buffer = buffer

    def write(self, text: str) -> int:
        return self.buffer.write(text.encode("utf-8", ERRORS))


class TextWriter(Writer):
    def __init__(
        self, sink: IO[bytes], header: list[str], delimiter: str, float_format: str | None
    ) -> None:
        self.sink = sink
        self.header: list[str] | None = header  # written with the first batch
        self.delimiter = delimiter
        self.float_format = float_format
        self.options = pcsv.WriteOptions(
            include_header=False, delimiter=delimiter, quoting_style="none"
        )
        self.names = [f"c{i}" for i in range(len(header))]
        self._pool: ThreadPoolExecutor | None = None

    def _write_header(self) -> None:
        if self.header is not None:
            self._csv().writerow(self.header)
            self.header = None

    def _csv(self) -> Any:
        return csv.writer(ByteWriter(self.sink), delimiter=self.delimiter, lineterminator="\n")

    def _numbers(self, values: FloatArray) -> pa.Array:
        if self.float_format is None or values.dtype != np.float64:
            return result_array(values)
        fmt = self.float_format
        return pa.array([format(v, fmt) for v in values.tolist()], pa.string())

    def write(self, kept: Sequence[Kept], results: Sequence[FloatArray]) -> None:
        self._write_header()
        numbers = [self._numbers(r) for r in results]
        # A row of one empty text (no MGRS code) would be a blank line, which readers skip: the
        # csv module writes it as "".
        blank = len(self.names) == 1 and any(r.dtype.kind == "U" and not r.all() for r in results)
        if not blank and not any(isinstance(k, list) for k in kept):
            try:
                table = pa.Table.from_arrays([*kept, *numbers], names=self.names)
                texts = self._format(table)
            except (pa.ArrowInvalid, pa.ArrowNotImplementedError, pa.ArrowTypeError):
                pass  # a delimiter, quote or line end in a value: quoted below
            else:
                for text in texts:
                    self.sink.write(text)
                return
        # Quoting where needed, as the csv module does; the numbers formatted as above.
        columns = [k if isinstance(k, list) else _texts(k) for k in kept]
        columns += [_texts(n) for n in numbers]
        self._csv().writerows(zip(*columns, strict=True))

    def _format(self, table: pa.Table) -> list[pa.Buffer]:
        """The text of ``table``, formatted in parts on the CPUs the process may use (pyarrow's
        writer formats on one thread)."""
        parts = min(_cpus(), max(1, table.num_rows // 8192))

        def text(k: int) -> pa.Buffer:
            start = k * table.num_rows // parts
            stop = (k + 1) * table.num_rows // parts
            out = pa.BufferOutputStream()
            pcsv.write_csv(table.slice(start, stop - start), out, self.options)
            return out.getvalue()

        if parts == 1:
            return [text(0)]
        if self._pool is None:
            self._pool = ThreadPoolExecutor(_cpus())
        return list(self._pool.map(text, range(parts)))

    def close(self) -> None:
        self._write_header()
        self.abandon()

    def abandon(self) -> None:
        if self._pool is not None:
            self._pool.shutdown()
            self._pool = None


def _cpus() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _texts(column: pa.Array | pa.ChunkedArray) -> list[str]:
    if not pa.types.is_string(column.type):
        column = column.cast(pa.string())
    return ["" if v is None else v for v in column.to_pylist()]


class TableWriter(Writer):
    """Parquet or Arrow IPC: one row group or record batch per batch of rows."""

    def __init__(
        self,
        sink: IO[bytes],
        schema: pa.Schema,
        source: str,
        opener: Callable[[IO[bytes], pa.Schema], Any],
    ) -> None:
        self.schema = schema
        self.source = source
        # Large writes into the Python file object: pyarrow's own small writes would each
        # go through the interpreter.
        self.stream = pa.BufferedOutputStream(pa.PythonFile(_Borrowed(sink), mode="w"), 4 << 20)
        self.writer = opener(self.stream, schema)

    def write(self, kept: Sequence[Kept], results: Sequence[FloatArray]) -> None:
        arrays = []
        for k, field in zip(kept, self.schema, strict=False):
            if isinstance(k, list):
                try:
                    k = pa.array(k, field.type)
                except (UnicodeEncodeError, pa.ArrowException):
                    raise InputError(
                        self.source,
                        f"column {field.name!r} holds text that is not UTF-8, which Parquet "
                        "and Arrow cannot store",
                    ) from None
            elif isinstance(k, pa.ChunkedArray):
                k = k.combine_chunks()
            arrays.append(k)
        arrays += [result_array(r) for r in results]
        self.writer.write_batch(pa.RecordBatch.from_arrays(arrays, schema=self.schema))

    def close(self) -> None:
        self.writer.close()
        self.stream.close()  # the file object itself stays open for its owner

    def abandon(self) -> None:
        with contextlib.suppress(Exception):
            self.writer.close()
        with contextlib.suppress(Exception):
            self.stream.close()


class _Borrowed:
    """A file object lent to pyarrow: written and flushed, never closed (its owner closes it,
    after an fsync), and counting what was written (standard output cannot tell)."""

    closed = False

    def __init__(self, sink: IO[bytes]) -> None:
        self.sink = sink
        self.written = 0

    def write(self, data: Any) -> int:
        self.sink.write(data)
        self.written += len(memoryview(data))
        return len(memoryview(data))

    def tell(self) -> int:
        return self.written

    def flush(self) -> None:
        self.sink.flush()

    def close(self) -> None:
        pass

    def writable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return False


def open_writer(
    fmt: str,
    sink: IO[bytes],
    header: list[str],
    kept_types: list[pa.DataType],
    source: str,
    delimiter: str | None,
    float_format: str | None,
    result_types: list[pa.DataType] | None = None,
) -> Writer:
    if fmt in ("csv", "tsv"):
        sep = "\t" if fmt == "tsv" else delimiter or ","
        return TextWriter(sink, header, sep, float_format)
    types = kept_types + (result_types or [pa.float64()] * (len(header) - len(kept_types)))
    schema = pa.schema([pa.field(n, t) for n, t in zip(header, types, strict=True)])
    if fmt == "parquet":
        # Dictionary encoding only for the kept columns: it cannot shrink results, which are
        # all different, and hashing every one of them costs as much as computing them.
        kept_names = header[: len(kept_types)]

        def parquet(out: Any, schema: pa.Schema) -> Any:
            return pq.ParquetWriter(out, schema, use_dictionary=kept_names or False)

        return TableWriter(sink, schema, source, parquet)
    return TableWriter(sink, schema, source, ipc.new_file)
