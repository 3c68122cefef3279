"""The companion functions on Dask arrays and Dask DataFrames, for more points than memory holds
or more than one machine can convert.

Every operation of the registry (``_registry``) has an array function and a ``dataframe_*``
function here, built from its entry: the ``Ellipsoid`` methods under their own names
(``lla_from_pos``, ``enu``, ``aer_coords``...), the local frames of
:mod:`~quorvane.mathtools.ellipsoid.frames` (``enu_from_pos``, ``aer_from_pos``,
``pos_from_aer``...) and the geodesics as ``geodesic_inverse`` and ``geodesic_direct``. Each
takes the ellipsoid first, then the operation's inputs in order::

    import dask.array as da
    from quorvane.mathtools.ellipsoid import dask as qd

    r = da.from_zarr("positions.zarr")           # (N, 3) ECEF, chunked along rows
    lla = qd.lla_from_pos("WGS84", r)            # lazy, LLA_dtype, shape (N,)
    lla.compute()                                # bit for bit the method on the whole array

The ellipsoid is an ``Ellipsoid``, a catalogue name (``"GRS80"``) or a pair ``(Re, f)``,
validated at once. Tasks carry only ``(Re, f)``; each worker process builds its ``Ellipsoid``
once and keeps it.

Each task runs the function of the companion modules' engine on its blocks, so the face is
theirs: Dask arrays, NumPy arrays and numbers of any real dtype broadcast against each other
(3-vectors along a last axis of 3, rechunked whole; a number among columns stands for a column
of that value); radians unless ``degrees=True``; latitudes beyond the poles give NaN rows and a
RuntimeWarning where the task runs; azimuths of observations in [0, 360) degrees
([0, 2 pi)). The ``Ellipsoid`` methods keep their bits, as ``frames`` and ``geodesic`` keep
theirs. Arguments are judged before anything runs (dtypes, shapes, broadcasting; the
error names the parameter), on empty stand-ins of the same dtypes.

``fast=True`` runs the vectorised kernel of an operation that has one (``lla_from_pos``,
``pos_from_lla``, ``enu_from_pos``, ``aer_from_pos`` and ``aer_coords``), as
:mod:`~quorvane.mathtools.ellipsoid.fast` does: not the methods' bits, but at least as
accurate and several times faster; elsewhere it is a ValueError.

The ``dataframe_*`` functions convert Dask DataFrames partition by partition:
``dataframe_X(ellipsoid, frame, *params, columns=None, keep=True, degrees=False, fast=False)``.
The observer (``lat_obs``, ...) and the rays' origin (``r_source``) are parameters, one value for
the whole frame; every other input is read from columns named as the input (a geodetic latitude
``lat``; 3-vectors ``x, y, z``, ``east, north, up``, ``north, east, down``, or ``ux, uy, uz``
for the rays' directions), and the result is written to columns named as its fields (3-vectors
as above, the fields of ``enu`` as ``east_x, ..., up_z``). ``dd.read_parquet(...)``, a conversion
and ``.to_parquet(...)`` run out of core.

Inputs that are no real numbers (the zones and hemispheres of the UTM grid, MGRS codes) and
typed records (``utm_forward``'s int32 zone and bool northp, ``utm_to_mgrs``'s strings) pass
through as they are. A keyword input (``utm_forward(..., zone=None)``) is an array or a number,
one value for a whole DataFrame; an option (``precision=5``) one value per call. A value a
kernel refuses (a malformed MGRS code) is named by its index in the whole array, or its row
label in a DataFrame, where its task runs.

The measures of geometries (the registry's geometry entries) take a Dask-GeoPandas GeoSeries
or GeoDataFrame: ``geodesic_geometry_area_perimeter(ellipsoid, geoms, *, rhumb=False,
fast=False)`` gives a lazy DataFrame of ``area`` and ``perimeter``, and
``geodesic_geometry_length`` a lazy Series of ``length``, partition by partition, with the
partitions' index (``geodesic.geometry_area_perimeter`` on each).
"""

from __future__ import annotations

import dataclasses
import functools
import inspect
import math
import numbers
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import dask
import dask.array as da
import numpy as np

from quorvane.mathtools.ellipsoid import _engine, _geometries
from quorvane.mathtools.ellipsoid._registry import (
    GEOMETRIES,
    OPERATIONS,
    Input,
    Operation,
    geometry_stub,
    get,
)
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

if TYPE_CHECKING:
    import dask.dataframe as dd

    # Private: without pandas-stubs the name is untyped, and stubtest skips private names.
    import pandas as _pd  # type: ignore[import-untyped,unused-ignore]

    # An Ellipsoid, a catalogue name, or (Re, f).
    type _EllipsoidLike = Ellipsoid | str | tuple[float, float]


def parameters(ellipsoid: _EllipsoidLike) -> tuple[float, float]:
    """``(Re, f)`` of an ``Ellipsoid``, a catalogue name or an ``(Re, f)`` pair, validated.

    Subclasses of ``Ellipsoid`` are refused: tasks rebuild the plain type from ``(Re, f)``,
    which would not run a subclass's kernels.
    """
    if isinstance(ellipsoid, Ellipsoid) and type(ellipsoid) is not Ellipsoid:
        raise TypeError(
            f"cannot distribute a {type(ellipsoid).__qualname__}: tasks rebuild a plain "
            "Ellipsoid from (Re, f); pass Ellipsoid(Re, f), a catalogue name or (Re, f)"
        )
    return _engine.parameters(ellipsoid)


# --------------------------------------------------------------------------------------------
# Names: of the functions, of their arguments, of the DataFrame columns.


def _public_name(op: Operation) -> str:
    """The Dask name of ``op``: its own for methods and frames, ``module_name`` otherwise."""
    return op.name if op.module in ("ellipsoid", "frames") else f"{op.module}_{op.name}"


# Argument names that the Dask functions had before they followed the registry.
_RENAMED = {("surf_coord_from_surf_pos", "r"): "r_surf"}
# Columns named otherwise than their input.
_COLUMNS = {"codes": "mgrs"}

_XYZ = ("x", "y", "z")
# The columns of 3-vectors: by the input's name, or by the result's (``enu_from_...``).
_AXES = {
    "enu": ("east", "north", "up"),
    "v_enu": ("east", "north", "up"),
    "ned": ("north", "east", "down"),
    "u_ray": ("ux", "uy", "uz"),
}


def _is_parameter(i: Input) -> bool:
    """The observer and the rays' origin are one value for a whole DataFrame."""
    return i.name.endswith("_obs") or i.name == "r_source"


def _input_columns(i: Input) -> tuple[str, ...]:
    if i.unit == "vector":
        return _AXES.get(i.name, _XYZ)
    # a latitude is geodetic unless named
    return (_COLUMNS.get(i.name, i.name.removeprefix("geodetic_")),)


def _output_columns(op: Operation) -> tuple[str, ...]:
    dtype = op.output.dtype
    if dtype is None:
        return _AXES.get(op.name.split("_from_")[0], _XYZ)
    columns: list[str] = []
    for name in dtype.names or ():
        if dtype[name].shape:  # the unit vectors of a frame
            columns += [f"{name.removeprefix('u_')}_{c}" for c in "xyz"]
        else:
            columns.append(name)
    return tuple(columns)


# --------------------------------------------------------------------------------------------
# Tasks: the engine on one block of every argument, with this process's Ellipsoid.


def _entry(qualname: str, exact: str) -> Operation:
    """The entry ``qualname``, with its kernel's bound constants ``exact`` (the kinds of a
    conversion of latitudes)."""
    op = get(qualname)
    return op if op.exact == exact else dataclasses.replace(op, exact=exact)


def _bind(op: Operation, constants: dict[str, str]) -> Operation:
    """``op`` with the constants of its kernel given (``latitudes.convert``: the two kinds,
    checked and named as ``latitudes.convert`` names them)."""
    if not constants:
        return op
    from quorvane.mathtools.ellipsoid import latitudes

    source = latitudes._kind("source", constants["source"])
    target = latitudes._kind("target", constants["target"])
    return dataclasses.replace(op, exact=f"latitudes.convert:{source}:{target}")


def _constants(op: Operation) -> tuple[str, ...]:
    """The names of the constants a loop takes after its inputs."""
    return ("source", "target") if ":" in op.exact else ()


def _task(
    *blocks: Any,
    qualname: str,
    exact: str,
    Re: float,
    f: float,
    degrees: bool,
    fast: bool,
    options: dict[str, int],
    block_info: Any = None,
) -> Any:
    try:
        return _engine.call(_entry(qualname, exact), (Re, f), blocks, degrees, fast, options)
    except ValueError as exc:
        # A value the kernel refuses: its index in the block made the index in the whole array.
        location = (block_info or {}).get(0, {}).get("array-location")
        what = getattr(exc, "refused", None)
        if not location or what is None:
            raise
        name, value, reason, flat = what
        shape = tuple([stop - start for start, stop in location])
        local = _engine._flat_index(flat, shape)
        index = tuple(k + start for k, (start, _) in zip(local, location, strict=True))
        raise _engine.refused(name, value, reason, flat, f" at index {index}") from None


def _check_fast(op: Operation, name: str, fast: bool) -> None:
    if fast and op.fast is None:
        with_fast = sorted(_public_name(o) for o in OPERATIONS if o.fast)
        raise ValueError(
            f"{name}: fast=True needs a vectorised kernel, and {name} has none "
            f"(those with one: {', '.join(with_fast)})"
        )


# --------------------------------------------------------------------------------------------
# Arrays.


def _is_number(value: object) -> bool:
    return isinstance(value, (numbers.Number, np.generic))


def _lazy(
    op: Operation,
    name: str,
    ellipsoid: Any,
    args: Sequence[Any],
    degrees: bool,
    fast: bool,
    options: dict[str, int] | None = None,
) -> da.Array:
    Re, f = parameters(ellipsoid)
    _check_fast(op, name, fast)
    values = [
        v if v is None or isinstance(v, da.Array) or _is_number(v) else da.asarray(v) for v in args
    ]

    # The engine judges dtypes, shapes and broadcasting on zero-stride stand-ins of the real
    # shapes (an unknown length as 1), and computes on empty ones: its errors, and the result's
    # dtype and trailing shape, before anything runs.
    stand_ins: list[Any] = []
    empties: list[Any] = []
    for i, arg, value in zip(op.inputs + op.keywords, args, values, strict=True):
        if value is None or _is_number(value):
            stand_ins.append(value)
            empties.append(value)
            continue
        shape = tuple(1 if math.isnan(n) else n for n in value.shape)
        stand_in = np.broadcast_to(np.zeros((), dtype=value.dtype), shape)
        if isinstance(value._meta, np.ma.MaskedArray):
            stand_in = np.ma.masked_array(stand_in)
        stand_ins.append(stand_in if isinstance(arg, da.Array) else arg)
        vector = i.unit == "vector" and value.ndim > 0
        empty = (0,) * (value.ndim - 1) + (3,) if vector else (0,) * value.ndim
        empties.append(np.zeros(empty, dtype=value.dtype))
    lead, _ = _engine._arrays(op, stand_ins)
    meta = np.asarray(_engine.call(op, (Re, f), empties, degrees, fast, options))
    kwargs = {
        "qualname": op.qualname,
        "exact": op.exact,
        "Re": Re,
        "f": f,
        "degrees": degrees,
        "fast": fast,
        "options": options or {},
    }

    if not lead:  # one point: one task
        task = dask.delayed(_task, pure=True)(*values, **kwargs)
        return da.from_delayed(task, shape=meta.shape, dtype=meta.dtype, meta=meta)

    if [1 for i in op.inputs if i.unit == "text"]:
        # Codes a kernel may refuse: blocks that know where they lie in the whole array.
        arrays = [da.asarray(v) for v in values if v is not None]
        if len(arrays) > 1:
            arrays = list(da.broadcast_arrays(*arrays))
        return da.map_blocks(_task, *arrays, dtype=meta.dtype, meta=meta, **kwargs)

    # One task per block of the broadcast leading axes, 3-vectors whole in every task.
    axes = "abcdefghijklmnop"[: len(lead)]
    pairs: list[Any] = []
    for i, value in zip(op.inputs + op.keywords, values, strict=True):
        if value is None or _is_number(value):
            pairs += [value, None]
        elif i.unit == "vector":
            pairs += [value.rechunk({value.ndim - 1: -1}), axes[len(axes) - value.ndim + 1 :] + "z"]
        else:
            pairs += [value, axes[len(axes) - value.ndim :]]
    vectors = op.output.dtype is None
    return da.blockwise(
        _task,
        axes + ("y" if vectors else ""),
        *pairs,
        token=name,
        new_axes={"y": 3} if vectors else None,
        concatenate=True,
        meta=meta,
        **kwargs,
    )


def _keyword_parameters(op: Operation) -> list[inspect.Parameter]:
    """The keyword inputs (None: left out) and the options (their defaults)."""
    keyword = inspect.Parameter.KEYWORD_ONLY
    return [inspect.Parameter(i.name, keyword, default=None) for i in op.keywords] + [
        inspect.Parameter(o.name, keyword, default=o.default) for o in op.options
    ]


def _array_function(op: Operation, name: str) -> Callable[..., da.Array]:
    names = [_RENAMED.get((name, i.name), i.name) for i in op.inputs]
    constants = _constants(op)
    kind = inspect.Parameter.POSITIONAL_OR_KEYWORD
    signature = inspect.Signature(
        [inspect.Parameter(n, kind) for n in ("ellipsoid", *names, *constants)]
        + _keyword_parameters(op)
        + [
            inspect.Parameter(n, inspect.Parameter.KEYWORD_ONLY, default=False)
            for n in ("degrees", "fast")
        ]
    )

    def function(*args: Any, **kwargs: Any) -> da.Array:
        bound = signature.bind(*args, **kwargs)
        given = bound.arguments
        return _lazy(
            _bind(op, {c: given[c] for c in constants}),
            name,
            given["ellipsoid"],
            [given[n] for n in names] + [given.get(i.name) for i in op.keywords],
            bool(given.get("degrees", False)),
            bool(given.get("fast", False)),
            {o.name: given[o.name] for o in op.options if o.name in given},
        )

    function.__name__ = function.__qualname__ = name
    function.__module__ = __name__
    function.__signature__ = signature  # type: ignore[attr-defined]
    function.__doc__ = _docstring(op, name, frame=False)
    return function


# --------------------------------------------------------------------------------------------
# DataFrames.


def _convert_partition(
    part: _pd.DataFrame,
    *,
    qualname: str,
    exact: str,
    Re: float,
    f: float,
    inputs: tuple[str, ...],
    params: tuple[Any, ...],
    keep: bool,
    degrees: bool,
    fast: bool,
    keywords: tuple[Any, ...] = (),
    options: dict[str, int] | None = None,
) -> _pd.DataFrame:
    """One partition: the operation on the input columns, the other columns passed through."""
    import pandas as pd  # type: ignore[import-untyped,unused-ignore]

    op = _entry(qualname, exact)
    columns = iter(part[name].to_numpy() for name in inputs)
    given = iter(params)
    args = []
    for i in op.inputs:
        if _is_parameter(i):
            args.append(next(given))
        elif i.unit == "vector":
            args.append(np.column_stack([next(columns) for _ in range(3)]))
        elif i.unit == "text":  # object or Arrow strings in pandas
            args.append(np.asarray(next(columns), dtype=np.str_))
        else:
            args.append(next(columns))
    try:
        result = _engine.call(op, (Re, f), [*args, *keywords], degrees, fast, options)
    except ValueError as exc:  # a value the kernel refuses: named by its row label
        what = getattr(exc, "refused", None)
        if what is None:
            raise
        name, value, reason, flat = what
        raise _engine.refused(name, value, reason, flat, f" at row {part.index[flat]!r}") from None
    result = np.asarray(result)
    values: list[Any] = []
    for name in result.dtype.names or (None,):
        field = result if name is None else result[name]
        if field.dtype.kind == "U":  # strings as pandas holds them
            field = field.astype(object)
        values += [field] if field.ndim == 1 else list(field.T)
    converted = dict(zip(_output_columns(op), values, strict=True))
    if not keep:
        return pd.DataFrame(converted, index=part.index)
    return part.drop(columns=list(inputs)).assign(**converted)


def _convert_frame(
    op: Operation,
    name: str,
    ellipsoid: Any,
    frame: dd.DataFrame,
    params: tuple[Any, ...],
    columns: Sequence[str] | None,
    keep: bool,
    degrees: bool,
    fast: bool,
    keywords: tuple[Any, ...] = (),
    options: dict[str, int] | None = None,
) -> dd.DataFrame:
    import dask.dataframe as dd

    if not isinstance(frame, dd.DataFrame):
        raise TypeError(f"expected a dask.dataframe.DataFrame, not {type(frame).__qualname__}")
    Re, f = parameters(ellipsoid)
    _check_fast(op, name, fast)
    defaults = tuple(c for i in op.inputs if not _is_parameter(i) for c in _input_columns(i))
    outputs = _output_columns(op)
    inputs = tuple(defaults if columns is None else columns)
    if len(inputs) != len(defaults):
        raise ValueError(
            f"{name} reads {len(defaults)} columns ({', '.join(defaults)}), "
            f"not {len(inputs)}: {list(inputs)}"
        )
    present = list(frame.columns)
    for column in inputs:
        if column not in present:
            raise ValueError(f"no column {column!r} in the DataFrame (columns: {present})")
    if keep:
        clash = [c for c in outputs if c in present and c not in inputs]
        if clash:
            raise ValueError(
                f"output columns {clash} are already in the DataFrame; rename them, or "
                "pass keep=False to write the converted columns only"
            )
    convert: Callable[..., _pd.DataFrame] = functools.partial(
        _convert_partition,
        qualname=op.qualname,
        exact=op.exact,
        Re=Re,
        f=f,
        inputs=inputs,
        params=params,
        keep=keep,
        degrees=degrees,
        fast=fast,
        keywords=keywords,
        options=options,
    )
    # The engine judges the columns' dtypes on the empty partition before anything runs.
    meta = convert(frame._meta)
    return frame.map_partitions(convert, meta=meta, token=f"{name}-frame")


def _frame_function(op: Operation, name: str) -> Callable[..., dd.DataFrame]:
    params = [i.name for i in op.inputs if _is_parameter(i)]
    constants = _constants(op)
    kind = inspect.Parameter.POSITIONAL_OR_KEYWORD
    keyword = inspect.Parameter.KEYWORD_ONLY
    signature = inspect.Signature(
        [inspect.Parameter(n, kind) for n in ("ellipsoid", "frame", *params, *constants)]
        + _keyword_parameters(op)
        + [
            inspect.Parameter("columns", keyword, default=None),
            inspect.Parameter("keep", keyword, default=True),
            inspect.Parameter("degrees", keyword, default=False),
            inspect.Parameter("fast", keyword, default=False),
        ]
    )

    def function(*args: Any, **kwargs: Any) -> dd.DataFrame:
        bound = signature.bind(*args, **kwargs)
        bound.apply_defaults()
        given = bound.arguments
        return _convert_frame(
            _bind(op, {c: given[c] for c in constants}),
            name,
            given["ellipsoid"],
            given["frame"],
            tuple(given[n] for n in params),
            given["columns"],
            bool(given["keep"]),
            bool(given["degrees"]),
            bool(given["fast"]),
            tuple(given[i.name] for i in op.keywords),
            {o.name: given[o.name] for o in op.options},
        )

    function.__name__ = function.__qualname__ = f"dataframe_{name}"
    function.__module__ = __name__
    function.__signature__ = signature  # type: ignore[attr-defined]
    function.__doc__ = _docstring(op, name, frame=True)
    return function


def _docstring(op: Operation, name: str, frame: bool) -> str:
    """NumPy style: the signature line, the entry's summary, its parameters and result."""
    params = [i for i in op.inputs if _is_parameter(i)]
    if frame:
        heads = ["ellipsoid", "frame", *(i.name for i in params), *_constants(op)]
        tails = ["columns=None", "keep=True", "degrees=False", "fast=False"]
        shown = params + list(op.keywords)
    else:
        heads = ["ellipsoid", *(_RENAMED.get((name, i.name), i.name) for i in op.inputs)]
        heads += _constants(op)
        tails = ["degrees=False", "fast=False"]
        shown = list(op.inputs + op.keywords)
    tails[:0] = [f"{i.name}=None" for i in op.keywords]
    tails[:0] = [f"{o.name}={o.default}" for o in op.options]
    lines = [f"{'dataframe_' if frame else ''}{name}({', '.join(heads)}, *, {', '.join(tails)})"]
    lines += ["", op.summary, "", "Parameters", "----------"]
    lines += ["ellipsoid : Ellipsoid, str or (Re, f)", "    The ellipsoid, or its catalogue name."]
    if frame:
        columns = [c for i in op.inputs if not _is_parameter(i) for c in _input_columns(i)]
        lines += ["frame : dask.dataframe.DataFrame", f"    Columns {', '.join(columns)}."]
    for i in shown:
        kind = "Dask array or array_like" if not frame or i.unit == "vector" else "number"
        kind += ", shape (3,) or (..., 3)" if i.unit == "vector" else ""
        kind = f"None or {kind}" if i.absent is not None else kind
        unit = " (radians, or degrees with ``degrees=True``)" if i.angle else ""
        lines += [
            f"{_RENAMED.get((name, i.name), i.name)} : {kind}",
            f"    {i.text[0].upper()}{i.text[1:]}{unit}.",
        ]
    if _constants(op):
        lines += ["source, target : str", "    The kinds of latitude, as ``latitudes.convert``."]
    for o in op.options:
        lines += [f"{o.name} : int", f"    {o.text[0].upper()}{o.text[1:]}."]
    if frame:
        lines += [
            "columns : sequence of str, optional",
            "    The input columns, where they are named otherwise.",
            "keep : bool",
            "    Pass the other columns through (else only the converted columns).",
        ]
    kernel = f"``{op.fast}``" if op.fast else "none: a ValueError"
    lines += [
        "degrees : bool",
        "    Angles in and out in degrees instead of radians.",
        "fast : bool",
        f"    The vectorised kernel ({kernel}): not the methods' bits, several times faster.",
        "",
        "Returns",
        "-------",
    ]
    if frame:
        lines += ["dask.dataframe.DataFrame", f"    Columns {', '.join(_output_columns(op))}."]
    else:
        lines += ["dask.array.Array", f"    Lazy {op.output.text}, of the broadcast shape."]
    return "\n".join(lines)


_STUB_HEADER = """# Generated by `python -m quorvane.mathtools.ellipsoid._registry --stubs` from the registry
# of operations: do not edit.
from collections.abc import Sequence
from typing import Any

import dask.array as da
import dask.dataframe as dd
import numpy as np

from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

# An Ellipsoid, a catalogue name, or (Re, f).
type _EllipsoidLike = Ellipsoid | str | tuple[float, float]
type _Number = float | np.integer[Any] | np.floating[Any]
# A Dask array, or an array Dask takes (split into blocks).
type _Array = da.Array | np.ndarray[Any, np.dtype[Any]]
type _Columns = Sequence[str] | None
"""


def _stub() -> str:
    """The typing stub of this module (``dask.pyi``), as ruff formats it."""

    def define(name: str, arguments: list[str], keywords: list[str], result: str) -> str:
        lines = [f"def {name}(", *(f"    {a}," for a in arguments), "    *,"]
        lines += [*(f"    {k}," for k in keywords), f") -> {result}: ..."]
        return "\n".join(lines)

    flags = ["degrees: bool = False", "fast: bool = False"]
    functions = ["def parameters(ellipsoid: _EllipsoidLike) -> tuple[float, float]: ..."]
    scalar = {"vector": "", "integer": "int", "bool": "bool", "text": "str"}
    for op in OPERATIONS:
        name = _public_name(op)
        arguments = [
            f"{_RENAMED.get((name, i.name), i.name)}: "
            + " | ".join(["_Array", scalar.get(i.unit, "_Number")]).removesuffix(" | ")
            for i in op.inputs
        ]
        arguments += [f"{c}: str" for c in _constants(op)]
        options = [f"{o.name}: int = {o.default}" for o in op.options]
        given = [
            f"{i.name}: _Array | {scalar.get(i.unit, '_Number')} | None = None" for i in op.keywords
        ]
        functions.append(
            define(
                name,
                ["ellipsoid: _EllipsoidLike", *arguments],
                [*given, *options, *flags],
                "da.Array",
            )
        )
        params = [
            f"{i.name}: {'_Array' if i.unit == 'vector' else '_Number'}"
            for i in op.inputs
            if _is_parameter(i)
        ]
        given = [f"{i.name}: {scalar.get(i.unit, '_Number')} | None = None" for i in op.keywords]
        keywords = [*given, *options, "columns: _Columns = None", "keep: bool = True", *flags]
        head = ["ellipsoid: _EllipsoidLike", "frame: dd.DataFrame", *params]
        head += [f"{c}: str" for c in _constants(op)]
        functions.append(define(f"dataframe_{name}", head, keywords, "dd.DataFrame"))
    for g in GEOMETRIES:  # Dask-GeoPandas in, Dask DataFrames or Series out
        result = "dd.DataFrame | dd.Series"
        name = f"{g.module}_{g.name}"
        functions.append(geometry_stub(g, name, "ellipsoid: _EllipsoidLike", result))
    listing = "\n".join(["__all__ = [", *(f'    "{n}",' for n in __all__), "]"])
    return "\n".join([_STUB_HEADER, listing, "", *functions]) + "\n"


# --------------------------------------------------------------------------------------------
# The functions, one array function and one DataFrame function per entry of the registry
# (typed in dask.pyi, generated from the registry by ``_stubs``).

__all__ = ["parameters"]
for _op in OPERATIONS:
    _name = _public_name(_op)
    globals()[_name] = _array_function(_op, _name)
    globals()[f"dataframe_{_name}"] = _frame_function(_op, _name)
    __all__.extend((_name, f"dataframe_{_name}"))
__all__.sort()
del _op, _name

# The measures of geometries (the registry's geometry entries), on Dask-GeoPandas.
for _g in GEOMETRIES:
    _name = f"{_g.module}_{_g.name}"
    globals()[_name] = _geometries.dask_function(_g, _name)
    __all__.append(_name)
__all__.sort()
del _g, _name
