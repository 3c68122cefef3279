"""File formats: the names the tool knows, how a file name tells the format and compression,
how compressed text is recognised by its first bytes, and the text encoding."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator
from typing import IO, Any

# Input is read as UTF-8 (with or without a byte-order mark). Bytes that are not UTF-8 are kept
# as they are: in a numeric column they are reported as bad numbers, in a column copied by
# --keep they are written back unchanged.
ERRORS = "surrogateescape"

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


def unknown_extension(path: str) -> str | None:
    """The extension of ``path`` when it names no format (``None`` when it names one, or when
    there is none), with the formats the tool knows, for a usage error."""
    stem, ext = os.path.splitext(os.path.basename(path).lower())
    if ext in COMPRESSIONS:
        stem, ext = os.path.splitext(stem)
    if not ext or ext in _EXTENSIONS:
        return None
    known: dict[str, list[str]] = {}
    for name, fmt in _EXTENSIONS.items():
        known.setdefault(fmt, []).append(name)
    listed = [f"{fmt} ({', '.join(names)})" for fmt, names in known.items()]
    return (
        f"{path!r}: the extension {ext!r} names no format; the formats are "
        f"{', '.join(listed[:-1])} and {listed[-1]}, text also compressed "
        f"({', '.join(COMPRESSIONS)}): name one, or give --output-format"
    )


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
