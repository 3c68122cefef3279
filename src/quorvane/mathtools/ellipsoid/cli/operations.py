"""Convert coordinate files on a reference ellipsoid from the command line.

Run ``quorvane-ellipsoid --help`` (or ``python -m quorvane.mathtools.ellipsoid --help``).
Every subcommand reads a CSV file with a header line, picks its input columns by name,
converts the rows chunk by chunk with vectorised calls of
:class:`~quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid` and writes a CSV file.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import io
import math
import os
import sys
import tempfile
import textwrap
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from importlib import resources
from itertools import islice
from typing import IO, TYPE_CHECKING, Any, Protocol, TextIO

import numpy as np
import numpy.typing as npt

from quorvane.mathtools.ellipsoid import catalogue

if TYPE_CHECKING:
    from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

PROG = "quorvane-ellipsoid"
DEFAULT_CHUNK_ROWS = 16384
SAMPLE_TRACK = "gnss_track_ecef.csv"
SAMPLE_OBSERVATIONS = "observer_targets.csv"

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
# Operations: what each subcommand reads, computes and writes.


@dataclass(frozen=True)
class Field:
    """An input column: its role, the header names tried by default, and whether it is an
    angle (converted by ``--degrees``) or a latitude (also range-checked)."""

    role: str
    aliases: tuple[str, ...]
    angle: bool = False
    latitude: bool = False


@dataclass(frozen=True)
class Operation:
    name: str
    summary: str
    description: str
    example: str
    fields: tuple[Field, ...]
    outputs: tuple[tuple[str, bool], ...]  # (column name, is an angle)
    # compute(ellipsoid, input columns by role, parameter) -> output columns
    compute: Callable[[Ellipsoid, dict[str, FloatArray], tuple[float, ...]], list[Any]]
    # Optional parameter: the option that fixes it for the whole file, and the columns that
    # give it row by row (rows with equal values are converted together).
    param_option: str | None = None
    param_fields: tuple[Field, ...] = ()


def _rows3(cols: dict[str, FloatArray], a: str, b: str, c: str) -> FloatArray:
    return np.column_stack((cols[a], cols[b], cols[c]))


def _fields(rec: np.ndarray[Any, Any]) -> list[Any]:
    names = rec.dtype.names or ()
    return [rec[name] for name in names]


def _compute_lla(ell: Ellipsoid, cols: dict[str, FloatArray], _: object) -> list[Any]:
    return _fields(ell.lla_from_pos(_rows3(cols, "x", "y", "z")))


def _compute_ecef(ell: Ellipsoid, cols: dict[str, FloatArray], _: object) -> list[Any]:
    r = ell.pos_from_lla(cols["lat"], cols["lon"], cols["alt"])
    return [r[:, 0], r[:, 1], r[:, 2]]


def _compute_enu(ell: Ellipsoid, cols: dict[str, FloatArray], _: object) -> list[Any]:
    out: list[Any] = []
    for vector in _fields(ell.enu(cols["lat"], cols["lon"])):
        out.extend((vector[:, 0], vector[:, 1], vector[:, 2]))
    return out


def _compute_aer(ell: Ellipsoid, cols: dict[str, FloatArray], obs: tuple[float, ...]) -> list[Any]:
    lat, lon, alt = obs
    return _fields(ell.aer_coords(_rows3(cols, "x", "y", "z"), lat, lon, alt))


def _compute_ray(
    ell: Ellipsoid, cols: dict[str, FloatArray], origin: tuple[float, ...]
) -> list[Any]:
    r = ell.surf_pos_of_ray_first_intersection(
        np.array(origin, dtype=np.float64), _rows3(cols, "ux", "uy", "uz")
    )
    return [r[:, 0], r[:, 1], r[:, 2]]


_X = Field("x", ("x", "ecef_x"))
_Y = Field("y", ("y", "ecef_y"))
_Z = Field("z", ("z", "ecef_z"))
_LAT = Field("lat", ("lat", "latitude"), angle=True, latitude=True)
_LON = Field("lon", ("lon", "longitude", "lng"), angle=True)
_ALT = Field("alt", ("alt", "altitude", "height", "h"))

OPERATIONS: dict[str, Operation] = {
    op.name: op
    for op in (
        Operation(
            name="lla",
            summary="ECEF x, y, z -> geodetic lat, lon, alt",
            description="Geodetic latitude, longitude and altitude above the ellipsoid of "
            "Earth-centred Earth-fixed (ECEF) positions in metres. Output columns: lat, lon, "
            "alt. Latitude is NaN for the centre of the ellipsoid.",
            example="%(prog)s --degrees track.csv -o track_lla.csv",
            fields=(_X, _Y, _Z),
            outputs=(("lat", True), ("lon", True), ("alt", False)),
            compute=_compute_lla,
        ),
        Operation(
            name="ecef",
            summary="geodetic lat, lon, alt -> ECEF x, y, z",
            description="ECEF positions in metres of geodetic latitude, longitude and altitude "
            "(metres above the ellipsoid, along its normal). Output columns: x, y, z.",
            example="%(prog)s --degrees --keep time points.csv > points_ecef.csv",
            fields=(_LAT, _LON, _ALT),
            outputs=(("x", False), ("y", False), ("z", False)),
            compute=_compute_ecef,
        ),
        Operation(
            name="aer",
            summary="ECEF targets -> azimuth, elevation, range from an observer",
            description="Azimuth (from north towards east, in [-180, 180] degrees or [-pi, pi]; "
            "see --positive-azimuth), elevation and slant range in metres of ECEF targets as "
            "seen by an observer. The observer is given once by --observer LAT LON ALT, or "
            "row by row by the columns obs_lat, obs_lon, obs_alt (see --observer-columns). "
            "Output columns: azimuth, elevation, range.",
            example="%(prog)s --degrees --observer 47.3769 8.5417 408 satellites.csv",
            fields=(_X, _Y, _Z),
            outputs=(("azimuth", True), ("elevation", True), ("range", False)),
            param_option="observer",
            param_fields=(
                Field("obs_lat", ("obs_lat",), angle=True, latitude=True),
                Field("obs_lon", ("obs_lon",), angle=True),
                Field("obs_alt", ("obs_alt",)),
            ),
            compute=_compute_aer,
        ),
        Operation(
            name="enu",
            summary="lat, lon -> local East-North-Up unit vectors (ECEF components)",
            description="The East-North-Up frame at surface points given by geodetic latitude "
            "and longitude: nine output columns east_x, east_y, east_z, north_x, north_y, "
            "north_z, up_x, up_y, up_z (ECEF components of unit vectors).",
            example="%(prog)s --degrees stations.csv -o frames.csv",
            fields=(_LAT, _LON),
            outputs=tuple(
                (f"{axis}_{c}", False) for axis in ("east", "north", "up") for c in "xyz"
            ),
            compute=_compute_enu,
        ),
        Operation(
            name="ray",
            summary="ray directions from an origin -> point where the line meets the surface",
            description="The point (ECEF metres) where the line through an origin along each "
            "direction ux, uy, uz meets the ellipsoid surface nearest to the origin, in "
            "either direction along the line (behind the origin too). The origin is given "
            "once by --origin X Y Z, or row by row by the columns ox, oy, oz (see "
            "--origin-columns). Directions need not be unit vectors. A line that misses "
            "gives nan in all three output columns x, y, z.",
            example="%(prog)s --origin 7000000 0 0 directions.csv",
            fields=(
                Field("ux", ("ux", "u_x", "dx")),
                Field("uy", ("uy", "u_y", "dy")),
                Field("uz", ("uz", "u_z", "dz")),
            ),
            outputs=(("x", False), ("y", False), ("z", False)),
            param_option="origin",
            param_fields=(
                Field("ox", ("ox", "origin_x")),
                Field("oy", ("oy", "origin_y")),
                Field("oz", ("oz", "origin_z")),
            ),
            compute=_compute_ray,
        ),
    )
}


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


def _parse_column(values: list[str], lines: list[int], source: str, column: str) -> FloatArray:
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


def _check_fields(chunk: Chunk, count: int, source: str) -> None:
    if all(len(row) == count for row in chunk.rows):
        return
    for row, line in zip(chunk.rows, chunk.lines, strict=True):
        if len(row) != count:
            raise InputError(
                source, f"expected {count} fields as in the header, found {len(row)}", line
            )


def _check_latitudes(
    lat: FloatArray, lines: list[int], source: str, column: str, degrees: bool
) -> None:
    limit = 90.0 if degrees else math.pi / 2
    outside = np.abs(lat) > limit
    if not outside.any():
        return
    k = int(np.argmax(outside))
    if degrees:
        msg = f"latitude {float(lat[k])!r} is outside [-90, 90] degrees"
    else:
        msg = (
            f"latitude {float(lat[k])!r} is outside [-pi/2, pi/2] radians "
            "(for angles in degrees add --degrees)"
        )
    raise InputError(source, msg, lines[k], column)


# --------------------------------------------------------------------------------------------
# Writing output.


@contextlib.contextmanager
def _output(path: str | None) -> Iterator[_Writer]:
    """Standard output, or a file that appears (or is replaced) only if the run succeeds."""
    if path is None or path == "-":
        buffer = getattr(sys.stdout, "buffer", None)
        if buffer is None:  # a text-only stand-in for standard output
            yield sys.stdout
            return
        sys.stdout.flush()
        yield _ByteWriter(buffer)
        buffer.flush()
        return
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, tmp = tempfile.mkstemp(
            dir=directory, prefix=f".{os.path.basename(path)}.", suffix=".part"
        )
    except OSError as exc:
        raise UsageError(f"cannot write {path!r}: {exc.strerror}") from None
    try:
        with open(fd, "w", encoding="utf-8", errors=ERRORS, newline="") as out:
            yield out
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        try:
            os.replace(tmp, path)
        except OSError as exc:
            raise UsageError(f"cannot write {path!r}: {exc.strerror}") from None
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


class _Writer(Protocol):
    def write(self, text: str, /) -> int: ...


class _ByteWriter:
    """Text written as UTF-8 to a binary stream (standard output), like the output files."""

    def __init__(self, buffer: IO[bytes]) -> None:
        self.buffer = buffer

    def write(self, text: str) -> int:
        return self.buffer.write(text.encode("utf-8", ERRORS))


def _formatter(fmt: str | None) -> Callable[[FloatArray], list[Any]]:
    if fmt is None:
        # str() of a Python float is the shortest text that reads back to the same double.
        return lambda values: values.tolist()
    return lambda values: [format(v, fmt) for v in values.tolist()]


# --------------------------------------------------------------------------------------------
# Running a conversion.


@dataclass
class Plan:
    """Everything a conversion needs, resolved from the options and the input header."""

    op: Operation
    ellipsoid: Ellipsoid
    degrees: bool
    positive_azimuth: bool
    source: str
    names: list[str]  # input header
    columns: dict[str, int]  # role -> index in a row
    param: tuple[float, ...]  # per-file parameter, radians and metres; () if none
    param_columns: dict[str, int] | None  # role -> index, when the parameter is per row
    keep: list[int]

    @property
    def header(self) -> list[str]:
        return [self.names[i] for i in self.keep] + [name for name, _ in self.op.outputs]


def _parse_f(text: str) -> float:
    """A flattening, as a number or as ``1/INVERSE``."""
    num, slash, den = text.partition("/")
    try:
        return float(num) / float(den) if slash else float(text)
    except (ValueError, ZeroDivisionError):
        raise argparse.ArgumentTypeError(f"not a flattening: {text!r}") from None


def _ellipsoid(args: argparse.Namespace) -> Ellipsoid:
    if args.re is None and args.f is None:
        try:
            return catalogue.get(args.ellipsoid or catalogue.DEFAULT)
        except KeyError as exc:
            raise UsageError(str(exc.args[0])) from None
    if args.ellipsoid is not None:
        raise UsageError("give --ellipsoid or --re and --f, not both")
    if args.re is None or args.f is None:
        raise UsageError("--re and --f must be given together")
    if not (math.isfinite(args.re) and args.re > 0):
        raise UsageError(f"--re must be a positive number of metres, got {args.re!r}")
    if not 0 <= args.f < 1:
        raise UsageError(f"--f must be in [0, 1), got {args.f!r}")
    from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

    return Ellipsoid(args.re, args.f)


def _select(
    data: CsvInput, fields: Sequence[Field], names: str | None, option: str
) -> dict[str, int]:
    if names is not None:
        chosen = [n.strip() for n in names.split(",")]
        if len(chosen) != len(fields):
            raise UsageError(
                f"{option} takes {len(fields)} comma-separated column names "
                f"(for {', '.join(f.role for f in fields)}), got {len(chosen)}"
            )
        return {f.role: data.column_index(n) for f, n in zip(fields, chosen, strict=True)}
    selected = {}
    for f in fields:
        index = data.find(f.aliases)
        if index is None:
            raise InputError(
                data.name,
                f"no column for {f.role} (tried {', '.join(f.aliases)}; the header has "
                f"{', '.join(data.header)}); name the columns with {option}",
                data.header_line,
            )
        selected[f.role] = index
    return selected


def _make_plan(args: argparse.Namespace, op: Operation, data: CsvInput) -> Plan:
    ellipsoid = _ellipsoid(args)
    columns = _select(data, op.fields, args.columns, "--columns")
    param: tuple[float, ...] = ()
    param_columns = None
    if op.param_option is not None:
        option = op.param_option
        fixed = getattr(args, option)
        names = getattr(args, f"{option}_columns")
        if fixed is not None and names is not None:
            raise UsageError(f"give --{option} or --{option}-columns, not both")
        if fixed is not None:
            param = _fixed_param(op, fixed, args.degrees)
        elif names is not None or all(data.find(f.aliases) is not None for f in op.param_fields):
            param_columns = _select(data, op.param_fields, names, f"--{option}-columns")
        else:
            roles = ", ".join(f.role for f in op.param_fields)
            raise UsageError(f"{op.name} needs --{option} or input columns {roles}")
    used = set(columns.values()) | set((param_columns or {}).values())
    if args.keep is None:
        keep = []
    elif args.keep.strip() == "*":
        keep = [i for i in range(len(data.header)) if i not in used]
    else:
        keep = [data.column_index(n) for n in args.keep.split(",")]
    return Plan(
        op=op,
        ellipsoid=ellipsoid,
        degrees=args.degrees,
        positive_azimuth=getattr(args, "positive_azimuth", False),
        source=data.name,
        names=data.header,
        columns=columns,
        param=param,
        param_columns=param_columns,
        keep=keep,
    )


def _fixed_param(op: Operation, given: Sequence[float], degrees: bool) -> tuple[float, ...]:
    values = []
    for fld, value in zip(op.param_fields, given, strict=True):
        if not math.isfinite(value):
            raise UsageError(f"--{op.param_option}: {value!r} is not a finite number")
        if fld.latitude and abs(value) > (90.0 if degrees else math.pi / 2):
            hint = "" if degrees else " (for degrees add --degrees)"
            raise UsageError(f"--{op.param_option}: latitude {value!r} is out of range{hint}")
        values.append(math.radians(value) if fld.angle and degrees else value)
    return tuple(values)


def _groups(keys: FloatArray) -> Iterator[tuple[tuple[float, ...], npt.NDArray[np.intp]]]:
    """Yield each distinct row of ``keys`` with the indices of the rows that equal it."""
    _, inverse = np.unique(keys, axis=0, return_inverse=True)
    inverse = inverse.reshape(-1)
    order = np.argsort(inverse, kind="stable")
    bounds = np.flatnonzero(np.diff(inverse[order])) + 1
    for idx in np.split(order, bounds):
        yield tuple(float(v) for v in keys[idx[0]]), idx


def _convert_chunk(plan: Plan, chunk: Chunk) -> tuple[list[list[str]], list[FloatArray]]:
    """Return the kept input columns and the result columns of one chunk."""
    _check_fields(chunk, len(plan.names), plan.source)
    op = plan.op

    def read(fields: Sequence[Field], index: dict[str, int]) -> dict[str, FloatArray]:
        out = {}
        for fld in fields:
            k = index[fld.role]
            name = plan.names[k]
            values = _parse_column([row[k] for row in chunk.rows], chunk.lines, plan.source, name)
            if fld.latitude:
                _check_latitudes(values, chunk.lines, plan.source, name, plan.degrees)
            out[fld.role] = np.radians(values) if fld.angle and plan.degrees else values
        return out

    cols = read(op.fields, plan.columns)
    if plan.param_columns is None:
        results = [np.asarray(r, np.float64) for r in op.compute(plan.ellipsoid, cols, plan.param)]
    else:
        keys = np.column_stack(list(read(op.param_fields, plan.param_columns).values()))
        results = [np.empty(len(chunk.rows)) for _ in op.outputs]
        for key, idx in _groups(keys):
            part = {role: values[idx] for role, values in cols.items()}
            for out, res in zip(results, op.compute(plan.ellipsoid, part, key), strict=True):
                out[idx] = res
    for i, (name, angle) in enumerate(op.outputs):
        if name == "azimuth" and plan.positive_azimuth:
            results[i] = np.where(results[i] < 0, results[i] + 2 * math.pi, results[i])
        if angle and plan.degrees:
            results[i] = np.degrees(results[i])
    kept = [[row[k] for row in chunk.rows] for k in plan.keep]
    return kept, results


@contextlib.contextmanager
def _open_input(path: str) -> Iterator[CsvInput]:
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


@contextlib.contextmanager
def _progress(mode: str, data: CsvInput, desc: str) -> Iterator[Callable[[int], None]]:
    """A callback taking the rows done so far, drawing a tqdm bar on standard error.

    ``auto`` draws it only when standard error is a terminal and the run lasts over a second.
    """
    bar = None
    if mode == "always" or (mode == "auto" and sys.stderr.isatty()):
        try:
            from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]
        except ImportError:
            if mode == "always":
                print(f"{PROG}: the progress bar needs the tqdm package", file=sys.stderr)
        else:
            common: dict[str, Any] = {
                "desc": desc,
                "file": sys.stderr,
                "delay": 0.0 if mode == "always" else 1.0,
                "dynamic_ncols": True,
            }
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


def _run_conversion(args: argparse.Namespace, op: Operation) -> int:
    fmt = _formatter(args.float_format)
    with _open_input(args.input) as data:
        plan = _make_plan(args, op, data)
        with _output(args.output) as out, _progress(args.progress, data, op.name) as progress:
            writer = csv.writer(out, lineterminator="\n")
            header = [plan.header]  # written with the first good chunk
            for chunk in data.chunks(args.chunk_rows):
                kept, results = _convert_chunk(plan, chunk)
                writer.writerows(header)
                header = []
                writer.writerows(zip(*kept, *map(fmt, results), strict=True))
                progress(len(chunk.rows))
            writer.writerows(header)
    return 0


# --------------------------------------------------------------------------------------------
# Bundled sample data and the demo.


@contextlib.contextmanager
def sample_path(name: str) -> Iterator[str]:
    """Path of a bundled sample file (``gnss_track_ecef.csv`` or ``observer_targets.csv``)."""
    ref = resources.files("quorvane.mathtools.ellipsoid") / "data" / name
    with resources.as_file(ref) as path:
        yield str(path)


def _convert_file(argv: list[str]) -> tuple[list[str], list[list[str]], list[FloatArray]]:
    """Run a conversion in memory (small files only): header, kept and result columns."""
    args = build_parser().parse_args(argv)
    op = OPERATIONS[args.command]
    with _open_input(args.input) as data:
        plan = _make_plan(args, op, data)
        kept: list[list[str]] = [[] for _ in plan.keep]
        results: list[list[FloatArray]] = [[] for _ in op.outputs]
        for chunk in data.chunks(args.chunk_rows):
            k, r = _convert_chunk(plan, chunk)
            for acc, part in zip(kept, k, strict=True):
                acc.extend(part)
            for accr, res in zip(results, r, strict=True):
                accr.append(res)
    return plan.header, kept, [np.concatenate(r) if r else np.empty(0) for r in results]


def _table(header: list[str], columns: list[list[str]], text_columns: int) -> str:
    """A plain-text table: the first ``text_columns`` aligned left, the numbers right."""
    widths = [max(len(h), *(len(v) for v in col)) for h, col in zip(header, columns, strict=True)]
    lines = []
    for row in [header, *zip(*columns, strict=True)]:
        cells = [
            v.ljust(w) if i < text_columns else v.rjust(w)
            for i, (v, w) in enumerate(zip(row, widths, strict=True))
        ]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines)


def _run_demo(args: argparse.Namespace) -> int:
    out = sys.stdout
    with sample_path(SAMPLE_TRACK) as track, sample_path(SAMPLE_OBSERVATIONS) as pairs:
        _, kept, (lat, lon, alt) = _convert_file(["lla", "--degrees", "--keep", "time", track])
        out.write(
            f"GNSS track in ECEF (bundled sample {track})\nas WGS84 geodetic coordinates:\n\n"
        )
        out.write(
            _table(
                ["time", "lat [deg]", "lon [deg]", "alt [m]"],
                [
                    kept[0],
                    [f"{v:.7f}" for v in lat],
                    [f"{v:.7f}" for v in lon],
                    [f"{v:.3f}" for v in alt],
                ],
                text_columns=1,
            )
        )
        _, kept, (az, el, rng) = _convert_file(
            ["aer", "--degrees", "--positive-azimuth", "--keep", "observer,target", pairs]
        )
        out.write(f"\n\nTargets seen from observers (bundled sample {pairs}):\n\n")
        out.write(
            _table(
                ["observer", "target", "azimuth [deg]", "elevation [deg]", "range [km]"],
                [
                    kept[0],
                    kept[1],
                    [f"{v:.3f}" for v in az],
                    [f"{v:.3f}" for v in el],
                    [f"{v / 1000:.3f}" for v in rng],
                ],
                text_columns=2,
            )
        )
        if (el > 89.999).any():
            out.write(
                "\n(The azimuth of a target straight overhead is not defined: the value shown "
                "comes from rounding.)"
            )
        out.write(
            "\n\nConvert a file of your own in the same way, for example:\n"
            f"  {PROG} lla --degrees --keep time {track} -o track_lla.csv\n"
            f"See {PROG} --help and {PROG} SUBCOMMAND --help.\n"
        )
    return 0


def _run_ellipsoids(args: argparse.Namespace) -> int:
    entries = list(catalogue.REFERENCE_ELLIPSOIDS.values())
    columns = [
        [e.name for e in entries],
        [repr(e.Re) for e in entries],
        [repr(e.inv_f) for e in entries],
        [e.source for e in entries],
    ]
    print(_table(["name", "Re [m]", "1/f", "source"], columns, text_columns=4))
    return 0


# --------------------------------------------------------------------------------------------
# Command line.


class _Formatter(argparse.RawDescriptionHelpFormatter):
    def __init__(self, prog: str) -> None:
        super().__init__(prog, max_help_position=30, width=min(100, _terminal_width()))


def _terminal_width() -> int:
    try:
        return os.get_terminal_size().columns
    except OSError:
        return 100


def _paragraphs(*texts: str) -> str:
    return "\n\n".join(textwrap.fill(t, min(90, _terminal_width() - 2)) for t in texts)


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text!r}")
    return value


def _float_format(text: str) -> str:
    try:
        format(1.5, text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a float format: {text!r}") from None
    return text


def _common_options() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    io_group = common.add_argument_group("input and output")
    io_group.add_argument(
        "input",
        nargs="?",
        default="-",
        metavar="FILE",
        help="CSV file with a header line; '-' or nothing reads standard input",
    )
    io_group.add_argument(
        "-o", "--output", metavar="FILE", help="write here instead of standard output"
    )
    io_group.add_argument(
        "--degrees",
        action="store_true",
        help="angles in degrees, in the input, the options and the output (default: radians)",
    )
    io_group.add_argument(
        "--columns",
        metavar="A,B,C",
        help="names of the input columns to use, in the order of the defaults shown above",
    )
    io_group.add_argument(
        "-k",
        "--keep",
        metavar="NAMES",
        help="copy these input columns (comma-separated, or '*' for all others) to the output, "
        "before the results",
    )
    io_group.add_argument(
        "--float-format",
        metavar="FORMAT",
        type=_float_format,
        help="Python number format of the results, such as '.3f' (default: shortest text that "
        "reads back to the same double)",
    )
    io_group.add_argument(
        "--chunk-rows",
        metavar="N",
        type=_positive_int,
        default=DEFAULT_CHUNK_ROWS,
        help=f"rows converted per chunk (default {DEFAULT_CHUNK_ROWS}); bounds the memory used",
    )
    io_group.add_argument(
        "--progress",
        choices=("auto", "always", "never"),
        default="auto",
        help="progress bar on standard error: auto shows it for runs over a second when "
        "standard error is a terminal (default auto)",
    )
    ell = common.add_argument_group("ellipsoid")
    ell.add_argument(
        "-e",
        "--ellipsoid",
        metavar="NAME",
        help=f"a named ellipsoid (default {catalogue.DEFAULT}; list them with '{PROG} ellipsoids')",
    )
    ell.add_argument("--re", type=float, metavar="METRES", help="equatorial radius, with --f")
    ell.add_argument("--f", type=_parse_f, metavar="F", help="flattening, such as 1/298.257223563")
    return common


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the command-line tool."""
    examples = "\n".join(
        f"  {PROG} {op.name} " + op.example.replace("%(prog)s ", "") for op in OPERATIONS.values()
    )
    parser = argparse.ArgumentParser(
        prog=PROG,
        formatter_class=_Formatter,
        description=_paragraphs(
            "Convert coordinate files on a reference ellipsoid (WGS84 by default). Positions "
            "are Earth-centred Earth-fixed (ECEF) in metres; angles are radians unless "
            "--degrees is given. Input and output are CSV with a header line."
        ),
        epilog=f"examples:\n  {PROG} demo\n{examples}\n  {PROG} ellipsoids\n\n"
        f"Run '{PROG} SUBCOMMAND --help' for the options and columns of each subcommand.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="SUBCOMMAND")
    common = _common_options()
    for op in OPERATIONS.values():
        defaults = ", ".join("|".join(f.aliases) for f in op.fields)
        p = sub.add_parser(
            op.name,
            parents=[common],
            formatter_class=_Formatter,
            help=op.summary,
            description=_paragraphs(
                op.description,
                f"Input columns by default: {defaults} (case ignored). Blank lines and lines "
                "starting with # are skipped.",
            ),
            epilog=f"example:\n  {op.example}\n\n"
            + _paragraphs(
                "On bad input the tool stops with an error naming the file, line and column, "
                "and exit status 1; an --output file is then not written. On standard output, "
                "the rows of the chunks before the bad one (--chunk-rows) have been written."
            ),
        )
        if op.name == "aer":
            g = p.add_argument_group("observer")
            g.add_argument(
                "--observer",
                nargs=3,
                type=float,
                metavar=("LAT", "LON", "ALT"),
                help="observer latitude, longitude and altitude (metres) for every row",
            )
            g.add_argument(
                "--observer-columns",
                metavar="LAT,LON,ALT",
                help="input columns giving the observer row by row (default obs_lat, obs_lon, "
                "obs_alt, used when --observer is not given)",
            )
            g.add_argument(
                "--positive-azimuth",
                action="store_true",
                help="azimuth in [0, 360) degrees or [0, 2 pi) instead of [-180, 180] or [-pi, pi]",
            )
        if op.name == "ray":
            g = p.add_argument_group("origin")
            g.add_argument(
                "--origin",
                nargs=3,
                type=float,
                metavar=("X", "Y", "Z"),
                help="ray origin, ECEF metres, for every row",
            )
            g.add_argument(
                "--origin-columns",
                metavar="X,Y,Z",
                help="input columns giving the origin row by row (default ox, oy, oz)",
            )
    sub.add_parser(
        "demo",
        formatter_class=_Formatter,
        help="convert the bundled sample data and print readable tables",
        description=_paragraphs(
            "Convert the bundled GNSS track (ECEF) to latitude, longitude and altitude and the "
            "bundled observer/target pairs to azimuth, elevation and range, and print the "
            "results as tables."
        ),
        epilog=f"example:\n  {PROG} demo",
    )
    sub.add_parser(
        "ellipsoids",
        formatter_class=_Formatter,
        help="list the named ellipsoids",
        description="List the named reference ellipsoids that --ellipsoid accepts.",
        epilog=f"example:\n  {PROG} ellipsoids",
    )
    return parser


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("quorvane-ellipsoid")
    except metadata.PackageNotFoundError:
        return "(not installed)"


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command-line tool; return its exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        if args.command == "demo":
            return _run_demo(args)
        if args.command == "ellipsoids":
            return _run_ellipsoids(args)
        return _run_conversion(args, OPERATIONS[args.command])
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
        return 130


if __name__ == "__main__":
    sys.exit(main())
