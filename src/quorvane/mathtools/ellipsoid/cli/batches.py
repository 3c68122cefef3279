"""Running a subcommand batch by batch: the plan resolved from the options and the input
header, and how one batch of input rows becomes output columns through the registry's engine
(``_engine.call``), which converts degrees, runs the exact or the vectorised kernel and gives
observation azimuths in [0, 360).

Here the rows are read and checked (a latitude beyond the poles is an error naming its line and
column, not a NaN row); what the columns are and what the results are called is the table's
(:mod:`.subcommands`) and the registry's.
"""

from __future__ import annotations

import argparse
import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any, Protocol

import numpy as np
import numpy.typing as npt

from quorvane.mathtools.ellipsoid import catalogue
from quorvane.mathtools.ellipsoid.cli.errors import InputError, UsageError
from quorvane.mathtools.ellipsoid.cli.subcommands import Aliases, Subcommand
from quorvane.mathtools.ellipsoid.cli.text import header_names

if TYPE_CHECKING:
    from quorvane.mathtools.ellipsoid._registry import Input, Operation
    from quorvane.mathtools.ellipsoid.cli.readers import Batch, Kept, Source
    from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

FloatArray = npt.NDArray[np.float64]


@dataclass
class Plan:
    """Everything a conversion needs, resolved from the options and the input header."""

    op: Subcommand
    ellipsoid: Ellipsoid
    degrees: bool
    source: str
    names: list[str]  # input header
    columns: dict[str, int]  # role -> index in a row
    param: tuple[float, ...]  # the numbers of the parameter's option, as given; () if none
    param_columns: dict[str, int] | None  # role -> index, when the parameter is per row
    keep: list[int]
    fast: bool = False  # the vectorised kernel
    kinds: tuple[str, str] | None = None  # --from and --to, where the subcommand takes them
    options: dict[str, int] | None = None  # the registry's options (--precision), by name
    rhumb: bool = False  # geometries: rhumb-line edges
    encoding: str | None = None  # geometries: the GeoArrow encoding of the column, if native

    @property
    def operation(self) -> Operation:
        """The registry entry run, with the kinds of a conversion of latitudes bound."""
        if self.kinds is None:
            return self.op.operation
        source, target = self.kinds
        return replace(self.op.operation, exact=f"latitudes.convert:{source}:{target}")

    @property
    def header(self) -> list[str]:
        return [self.names[i] for i in self.keep] + list(self.op.outputs)

    @property
    def result_types(self) -> list[Any]:
        """The Arrow types of the result columns: float64 but where the output records give
        another (a zone, a hemisphere flag, an MGRS code) or the table says bool."""
        import pyarrow as pa

        output = self.op.operation.output
        if not output.typed:
            bools = self.op.bools
            return [pa.bool_() if n in bools else pa.float64() for n in self.op.outputs]
        dtype = output.dtype
        return [
            pa.string() if dtype[n].kind == "U" else pa.from_numpy_dtype(dtype[n])
            for n in dtype.names or ()
        ]


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
    data: Source, columns: Sequence[Aliases], names: str | None, option: str
) -> dict[str, int]:
    if names is not None:
        chosen = [n.strip() for n in names.split(",")]
        if len(chosen) != len(columns):
            raise UsageError(
                f"{option} takes {len(columns)} comma-separated column names "
                f"(for {', '.join(a[0] for a in columns)}), got {len(chosen)}"
            )
        return {a[0]: data.column_index(n) for a, n in zip(columns, chosen, strict=True)}
    selected = {}
    for aliases in columns:
        index = data.find(aliases)
        if index is None:
            raise InputError(
                data.name,
                f"no column for {aliases[0]} (tried {', '.join(aliases)}; the header has "
                f"{header_names(data.header)}); name the columns with {option}",
                data.header_line,
            )
        selected[aliases[0]] = index
    return selected


def check_fast(sub: Subcommand, fast: bool) -> None:
    """Refuse ``--fast`` where the registry has no vectorised kernel for the operation."""
    if fast and sub.operation.fast is None:
        from quorvane.mathtools.ellipsoid.cli.subcommands import SUBCOMMANDS

        having = ", ".join(s.name for s in SUBCOMMANDS.values() if s.operation.fast)
        raise UsageError(
            f"--fast: {sub.name} has no vectorised kernel; run it without --fast (the "
            f"subcommands with --fast: {having})"
        )


def _geometry_column(args: argparse.Namespace, sub: Subcommand, data: Source) -> dict[str, int]:
    """The column of geometries: --geometry-column, --columns, the GeoParquet primary column,
    or the first of the usual names."""
    try:
        import shapely  # noqa: F401
    except ImportError:
        raise UsageError(
            f"{sub.name} reads geometries with shapely, from the geometry extra: "
            "pip install 'quorvane-ellipsoid[geometry]'"
        ) from None
    role = sub.data_columns[0][0]
    given = getattr(args, "geometry_column", None)
    if given is not None and args.columns is not None:
        raise UsageError("give --geometry-column or --columns, not both")
    if given is None and args.columns is None and data.geometry_column in data.header:
        given = data.geometry_column
    if given is not None:
        return {role: data.column_index(given)}
    option = "--geometry-column" if args.columns is None else "--columns"
    return _select(data, sub.data_columns, args.columns, option)


def make_plan(args: argparse.Namespace, sub: Subcommand, data: Source) -> Plan:
    fast = bool(getattr(args, "fast", False))
    check_fast(sub, fast)
    ellipsoid = _ellipsoid(args)
    if sub.geometries:
        columns = _geometry_column(args, sub, data)
    else:
        columns = _select(data, sub.data_columns, args.columns, "--columns")
    param: tuple[float, ...] = ()
    param_columns = None
    if sub.parameter is not None:
        option = sub.parameter.option
        fixed = getattr(args, option)
        names = getattr(args, f"{option}_columns")
        if fixed is not None and names is not None:
            raise UsageError(f"give --{option} or --{option}-columns, not both")
        if fixed is not None:
            param = _fixed_param(sub, fixed, args.degrees)
        elif names is not None or all(data.find(a) is not None for a in sub.parameter_columns):
            param_columns = _select(data, sub.parameter_columns, names, f"--{option}-columns")
        elif not sub.parameter.optional:
            roles = ", ".join(a[0] for a in sub.parameter_columns)
            raise UsageError(f"{sub.name} needs --{option} or input columns {roles}")
    used = set(columns.values()) | set((param_columns or {}).values())
    if args.keep is None:
        keep = []
    elif args.keep.strip() == "*":
        keep = [i for i in range(len(data.header)) if i not in used]
    else:
        keep = [data.column_index(n) for n in args.keep.split(",")]
    _check_unique([data.header[i] for i in keep] + list(sub.outputs))
    kinds = None
    if sub.kinds:
        from quorvane.mathtools.ellipsoid import latitudes

        try:
            kinds = (
                latitudes._kind("--from", args.source),
                latitudes._kind("--to", args.target),
            )
        except ValueError as exc:
            raise UsageError(str(exc)) from None
    return Plan(
        op=sub,
        ellipsoid=ellipsoid,
        degrees=args.degrees,
        source=data.name,
        names=data.header,
        columns=columns,
        param=param,
        param_columns=param_columns,
        keep=keep,
        fast=fast,
        kinds=kinds,
        options={o.name: getattr(args, o.name) for o in sub.operation.options},
        rhumb=bool(getattr(args, "rhumb", False)),
        encoding=data.geometry_encoding(next(iter(columns.values()))) if sub.geometries else None,
    )


def _check_unique(header: list[str]) -> None:
    """Refuse an output with two columns of one name (case ignored, as the input's are): no
    Parquet or pandas reader, nor this tool, could read it back."""
    folded = [name.casefold() for name in header]
    repeated = [name for name, key in zip(header, folded, strict=True) if folded.count(key) > 1]
    if repeated:
        names = ", ".join(repr(name) for name in dict.fromkeys(repeated))
        raise UsageError(
            f"output column names must be unique, but {names} would appear more than once; keep "
            "other columns (--keep), choose other input columns (--columns), or rename them in "
            "the input"
        )


def _given(sub: Subcommand) -> list[Input]:
    """The inputs the parameter gives, in the registry's order."""
    names = sub.parameter.inputs if sub.parameter is not None else ()
    op = sub.operation
    return [i for i in op.inputs + op.keywords if i.name in names]


def _fixed_param(sub: Subcommand, given: Sequence[float], degrees: bool) -> tuple[float, ...]:
    """The numbers of the parameter's option, checked: finite, latitudes within the poles."""
    option = sub.parameter.option  # type: ignore[union-attr]
    units = [u for i in _given(sub) for u in ([i.unit] * len(sub.columns[i.name]))]
    for unit, value in zip(units, given, strict=True):
        if not math.isfinite(value):
            raise UsageError(f"--{option}: {value!r} is not a finite number")
        if unit == "latitude" and abs(value) > (90.0 if degrees else math.pi / 2):
            hint = "" if degrees else " (for degrees add --degrees)"
            raise UsageError(f"--{option}: latitude {value!r} is out of range{hint}")
    for i, value in zip(_given(sub), given):
        if i.unit == "integer" and i.bounds is not None:
            lo, hi = i.bounds
            if not (lo <= value <= hi and value == int(value)):
                raise UsageError(f"--{option}: {value!r} is not {i.domain}")
    return tuple(given)


def _fixed_values(sub: Subcommand, given: Sequence[float]) -> dict[str, Any]:
    """The parameter's numbers as the registry's inputs: a number, or one 3-vector."""
    values: dict[str, Any] = {}
    k = 0
    for i in _given(sub):
        if i.unit == "vector":
            values[i.name] = np.array(given[k : k + 3], dtype=np.float64)
            k += 3
        else:
            values[i.name] = given[k]
            k += 1
    return values


def convert_batch(plan: Plan, batch: Batch) -> tuple[list[Kept], list[FloatArray]]:
    """Return the kept input columns and the result columns of one batch of rows."""
    try:
        return _convert(plan, batch)
    except InputError:
        exact = batch.exact()  # the exact parser names the line of the fault
        if exact is None:
            raise
        return _convert(plan, exact)


def _check_latitudes(lat: FloatArray, batch: Batch, column: str, degrees: bool) -> None:
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
    raise InputError(batch.source, msg, column=column, **batch.locate(k))


def _check_integers(values: FloatArray, i: Input, batch: Batch, column: str) -> None:
    lo, hi = i.bounds or (-math.inf, math.inf)
    with np.errstate(invalid="ignore"):
        bad = ~((values >= lo) & (values <= hi) & (values == np.floor(values)))
    if bad.any():
        k = int(np.argmax(bad))
        msg = f"{i.name} {float(values[k])!r} is not {i.domain or 'a whole number'}"
        raise InputError(batch.source, msg, column=column, **batch.locate(k))


def _read(
    plan: Plan, batch: Batch, inputs: Sequence[Input], index: dict[str, int]
) -> dict[str, FloatArray]:
    """The columns of ``inputs`` in ``batch``, by input (a 3-vector as (N, 3) rows); a
    latitude beyond the poles is an error naming its line."""
    values = {}
    for i in inputs:
        columns = []
        for aliases in plan.op.columns[i.name]:
            k = index[aliases[0]]
            name = plan.names[k]
            if i.unit == "bool":
                column = batch.flags(k, name)
            elif i.unit == "text":
                column = batch.strings(k, name)
            elif i.unit == "geometry":
                column = batch.geometries(k, name, plan.encoding)
            else:
                column = batch.floats(k, name)
            if i.unit == "latitude":
                _check_latitudes(column, batch, name, plan.degrees)
            elif i.unit == "integer":
                _check_integers(column, i, batch, name)
            columns.append(column)
        values[i.name] = np.column_stack(columns) if i.unit == "vector" else columns[0]
    return values


def _measure(plan: Plan, batch: Batch) -> tuple[list[Kept], list[FloatArray]]:
    """The measures of a batch of geometries (the registry's geometry entries)."""
    from quorvane.mathtools.ellipsoid import _geometries

    g = plan.operation
    geoms = _read(plan, batch, g.inputs, plan.columns)[g.inputs[0].name]
    result = _geometries.call(g, plan.ellipsoid, geoms, plan.rhumb, plan.fast, plan.encoding)  # type: ignore[arg-type]
    rows = np.asarray(result).view(np.float64).reshape(batch.rows, -1)
    kept = [batch.kept(k) for k in plan.keep]
    return kept, [rows[:, k] for k in range(rows.shape[1])]


def _convert(plan: Plan, batch: Batch) -> tuple[list[Kept], list[FloatArray]]:
    from quorvane.mathtools.ellipsoid import _engine  # not for --help: it loads the kernels

    batch.check(len(plan.names))
    if plan.op.geometries:
        return _measure(plan, batch)
    op = plan.operation
    given = _given(plan.op)
    values: dict[str, Any] = _read(
        plan, batch, [i for i in op.inputs if i not in given], plan.columns
    )
    if plan.param_columns is not None:
        values |= _read(plan, batch, given, plan.param_columns)
    elif plan.param or not given:
        values |= _fixed_values(plan.op, plan.param)
    args = [values.get(i.name) for i in op.inputs + op.keywords]  # a keyword left out: None
    try:
        result = _engine.call(op, plan.ellipsoid, args, plan.degrees, plan.fast, plan.options)
    except ValueError as exc:  # a value the kernel refuses (an MGRS code): named by its line
        what = getattr(exc, "refused", None)
        if what is None:
            raise
        name, value, reason, flat = what
        column = plan.names[plan.columns[plan.op.columns[name][0][0]]]
        message = f"{value!r} is {reason}"
        raise InputError(batch.source, message, column=column, **batch.locate(flat)) from None
    kept = [batch.kept(k) for k in plan.keep]
    if op.output.typed:  # the fields as they are (an MGRS code: the one field)
        records = np.atleast_1d(result)
        names = records.dtype.names
        return kept, [np.ascontiguousarray(records[n]) for n in names] if names else [records]
    rows = np.asarray(result).view(np.float64).reshape(batch.rows, -1)
    columns: list[Any] = [rows[:, k] for k in range(rows.shape[1])]
    for k, name in enumerate(plan.op.outputs):
        if name in plan.op.bools:
            columns[k] = columns[k] == 1.0
    return kept, columns


def numeric_columns(plan: Plan) -> list[int]:
    """Indices of the input columns read as numbers."""
    used = set(plan.columns.values()) | set((plan.param_columns or {}).values())
    return sorted(used - set(text_columns(plan)))


def text_columns(plan: Plan) -> list[int]:
    """Indices of the input columns read as they are (hemisphere flags, MGRS codes)."""
    return [
        plan.columns[aliases[0]]
        for i in plan.op.operation.inputs
        if i.unit in ("bool", "text", "geometry")
        for aliases in plan.op.columns[i.name]
    ]


class Writer(Protocol):
    """Where :func:`convert_batches` puts the kept and result columns of each batch."""

    def write(self, kept: Sequence[Kept], results: Sequence[FloatArray]) -> None: ...

    def close(self) -> None: ...

    def abandon(self) -> None: ...


def convert_batches(
    plan: Plan, source: Source, chunk_rows: int, writer: Writer, progress: Callable[[int], None]
) -> int:
    """Convert ``source`` batch by batch into ``writer`` and close it (abandon it on any
    failure); ``progress`` is told the rows of each batch. Return the number of rows."""
    rows = 0
    try:
        kept = [*plan.keep, *text_columns(plan)]
        for batch in source.batches(chunk_rows, numeric_columns(plan), kept):
            if batch.rows:
                writer.write(*convert_batch(plan, batch))
            progress(batch.rows)
            rows += batch.rows
    except BaseException:
        writer.abandon()
        raise
    writer.close()
    return rows
