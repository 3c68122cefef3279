"""The ellipsoid methods on Dask arrays and Dask DataFrames, for more points than memory holds
or more than one machine can convert.

Each array function has the name of an :class:`~quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid`
method and takes the ellipsoid first, then the method's own arguments in the same order::

    import dask.array as da
    from quorvane.mathtools.ellipsoid import dask as qd

    r = da.from_zarr("positions.zarr")           # (N, 3) ECEF, chunked along rows
    lla = qd.lla_from_pos("WGS84", r)            # lazy, LLA_dtype, shape (N,)
    lla.compute()                                # bit for bit the method on the whole array

The ellipsoid is an ``Ellipsoid``, a catalogue name (``"GRS80"``) or a pair ``(Re, f)``. Tasks
carry only ``(Re, f)``; each worker process builds its ``Ellipsoid`` once and keeps it.

Array arguments may be Dask arrays or anything :func:`dask.array.asarray` takes; (N, 3) inputs
are rechunked to whole rows and row chunks of several arguments are aligned. Numbers (the
observer of ``aer_coords``, the origin of ``surf_pos_of_ray_first_intersection``) are passed to
every task as they are; a number among columns (``pos_from_lla("WGS84", lat, lon, 0.0)``)
stands for a column of that value. The result is a lazy Dask array with the dtype and shape the method gives.

Arguments the method refuses are found before anything runs: the method itself is called on
empty arrays of the same dtypes and shapes, and its exception is raised. What only the data can
show (a string in an object array) fails in its chunk, and computing raises the method's own
exception, on a distributed cluster too.

``lla_from_pos``, ``pos_from_lla`` and ``aer_coords`` (and their ``dataframe_*`` forms) take
``fast=True`` to run the functions of :mod:`quorvane.mathtools.ellipsoid.fast` instead: not the
methods' bits, but at least as accurate and several times faster.

The ``dataframe_*`` functions convert Dask DataFrames partition by partition: columns x, y, z
become lat, lon, alt and so on (see each function). ``dd.read_parquet(...)``, a conversion and
``.to_parquet(...)`` run out of core.
"""

from __future__ import annotations

import functools
import numbers
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import dask
import dask.array as da
import numpy as np

from quorvane.mathtools.ellipsoid import catalogue
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

__all__ = [
    "aer_coords",
    "dataframe_aer_coords",
    "dataframe_enu",
    "dataframe_geodesic_direct",
    "dataframe_geodesic_inverse",
    "dataframe_geodetic_lat_from_reduced_lat",
    "dataframe_lla_from_pos",
    "dataframe_pos_from_lla",
    "dataframe_reduced_lat_from_geodetic_lat",
    "dataframe_solve_reduced_lat_equation",
    "dataframe_surf_coord_from_surf_pos",
    "dataframe_surf_pos_from_surf_coord",
    "dataframe_surf_pos_of_ray_first_intersection",
    "enu",
    "geodesic_direct",
    "geodesic_inverse",
    "geodetic_lat_from_reduced_lat",
    "lla_from_pos",
    "parameters",
    "pos_from_lla",
    "reduced_lat_from_geodetic_lat",
    "solve_reduced_lat_equation",
    "surf_coord_from_surf_pos",
    "surf_pos_from_surf_coord",
    "surf_pos_of_ray_first_intersection",
]

if TYPE_CHECKING:
    import dask.dataframe as dd

    # Private: without pandas-stubs the name is untyped, and stubtest skips private names.
    import pandas as _pd  # type: ignore[import-untyped,unused-ignore]

    # An Ellipsoid, a catalogue name, or (Re, f).
    type _EllipsoidLike = Ellipsoid | str | tuple[float, float]
    type _Number = float | np.integer[Any] | np.floating[Any]
    # A Dask array, or an array Dask takes (rows split into blocks).
    type _Array = da.Array | np.ndarray[Any, np.dtype[Any]]
    type _Columns = Sequence[str] | None

# How each argument of a method is split over the tasks: ROWS, an (N, 3) array cut into row
# blocks; COLUMN, an (N,) array (or a number) cut like the rows; WHOLE, the same value for
# every task (a number, or the origin of a ray).
ROWS, COLUMN, WHOLE = "rows", "column", "whole"

_ARGUMENTS: dict[str, tuple[str, ...]] = {
    "reduced_lat_from_geodetic_lat": (COLUMN,),
    "geodetic_lat_from_reduced_lat": (COLUMN,),
    "enu": (COLUMN, COLUMN),
    "surf_pos_from_surf_coord": (COLUMN, COLUMN),
    "surf_coord_from_surf_pos": (ROWS,),
    "solve_reduced_lat_equation": (ROWS,),
    "lla_from_pos": (ROWS,),
    "pos_from_lla": (COLUMN, COLUMN, COLUMN),
    "surf_pos_of_ray_first_intersection": (WHOLE, ROWS),
    "aer_coords": (ROWS, WHOLE, WHOLE, WHOLE),
    "geodesic_inverse": (COLUMN, COLUMN, COLUMN, COLUMN),
    "geodesic_direct": (COLUMN, COLUMN, COLUMN, COLUMN),
}
# The functions of quorvane.mathtools.ellipsoid.geodesic among them (radians, metres).
_GEODESIC = {"geodesic_inverse": "inverse", "geodesic_direct": "direct"}
# A method name with this prefix names the function of quorvane.mathtools.ellipsoid.fast
# of the same name (same arguments, not the same bits).
_FAST = "fast."


def _named(method: str, fast: bool) -> str:
    """The name tasks carry: ``method``, or its form on the vectorised path."""
    return _FAST + method if fast else method


def _base(method: str) -> str:
    return method.removeprefix(_FAST)


# Small WHOLE arguments given as Dask arrays are checked with zeros of their own shape.
_SMALL = 64


# --------------------------------------------------------------------------------------------
# The ellipsoid: resolved on the client, rebuilt from (Re, f) in every worker process.


def parameters(ellipsoid: _EllipsoidLike) -> tuple[float, float]:
    """``(Re, f)`` of an ``Ellipsoid``, a catalogue name or an ``(Re, f)`` pair.

    The pair is checked by building the ``Ellipsoid`` (its own errors). Subclasses of
    ``Ellipsoid`` are refused: tasks rebuild the plain type from ``(Re, f)``, which would not
    run a subclass's kernels.
    """
    if isinstance(ellipsoid, str):
        entry = catalogue.lookup(ellipsoid)
        Re, f = entry.Re, entry.f
    elif isinstance(ellipsoid, Ellipsoid):
        if type(ellipsoid) is not Ellipsoid:
            raise TypeError(
                f"cannot distribute a {type(ellipsoid).__qualname__}: tasks rebuild a plain "
                "Ellipsoid from (Re, f); pass Ellipsoid(Re, f), a catalogue name or (Re, f)"
            )
        Re, f = ellipsoid.Re, ellipsoid.f
    elif isinstance(ellipsoid, tuple) and len(ellipsoid) == 2:
        if not all(isinstance(v, numbers.Real) for v in ellipsoid):
            raise TypeError(f"(Re, f) must be two real numbers, not {ellipsoid!r}")
        Re, f = float(ellipsoid[0]), float(ellipsoid[1])
    else:
        raise TypeError(
            "ellipsoid must be an Ellipsoid, a catalogue name or a pair (Re, f), "
            f"not {type(ellipsoid).__qualname__}"
        )
    _ellipsoid(Re, f)
    return Re, f


# The Ellipsoids this process has built, keyed by the exact bits of (Re, f), so -0.0 is not
# 0.0: a worker builds each once. A worker that sees many pairs starts afresh.
_BUILT: dict[tuple[str, str], Ellipsoid] = {}
_BUILT_MAX = 32


def _ellipsoid(Re: float, f: float) -> Ellipsoid:
    """The ``Ellipsoid(Re, f)`` of this process."""
    key = (Re.hex(), f.hex())
    built = _BUILT.get(key)
    if built is None:
        if len(_BUILT) >= _BUILT_MAX:
            _BUILT.clear()
        built = _BUILT[key] = Ellipsoid(Re, f)
    return built


def _call(*args: Any, method: str, Re: float, f: float, spread: tuple[int, ...] = ()) -> Any:
    """One task: the method of this process's ellipsoid on one block of every argument.

    The numbers at the positions ``spread`` become columns as long as the block."""
    if spread:
        rows = next(len(a) for i, a in enumerate(args) if i not in spread)
        args = tuple(_column(a, rows) if i in spread else a for i, a in enumerate(args))
    return _apply(_ellipsoid(Re, f), method, args)


def _apply(ell: Ellipsoid, method: str, args: Sequence[Any]) -> Any:
    """The method ``method`` of ``ell``, or the geodesic function it names, on ``args``."""
    if method in _GEODESIC:
        from quorvane.mathtools.ellipsoid import geodesic

        return getattr(geodesic, _GEODESIC[method])(ell, *args)
    if method.startswith(_FAST):
        from quorvane.mathtools.ellipsoid import fast

        return getattr(fast, _base(method))(ell, *args)
    return getattr(ell, method)(*args)


def _column(number: Any, rows: int) -> np.ndarray[Any, Any]:
    """``number`` repeated ``rows`` times, in the dtype ``numpy.asarray`` gives it."""
    return np.full(rows, number, dtype=np.asarray(number).dtype)


# --------------------------------------------------------------------------------------------
# Arrays.


def _is_number(value: object) -> bool:
    return isinstance(value, (numbers.Number, np.generic))


def _template(value: da.Array, length: int | None) -> np.ndarray[Any, Any]:
    """Zeros of ``value``'s dtype and shape with ``length`` rows (all of them if None)."""
    shape = value.shape if length is None else (length, *value.shape[1:])
    return np.zeros(shape, dtype=value.dtype)


def _empty(meta: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    return np.empty((0,) * meta.ndim, dtype=meta.dtype)


def _lazy(method: str, ellipsoid: _EllipsoidLike, args: Sequence[Any]) -> da.Array:
    Re, f = parameters(ellipsoid)
    kinds = _ARGUMENTS[_base(method)]
    values: list[Any] = []
    for kind, value in zip(kinds, args, strict=True):
        if isinstance(value, da.Array) or not (kind == WHOLE or _is_number(value)):
            value = da.asarray(value)
        values.append(value)

    # Row-split arguments, and whether this is the method's one-point form.
    split = [
        v for k, v in zip(kinds, values, strict=True) if k != WHOLE and isinstance(v, da.Array)
    ]
    point = not split or any(
        k == ROWS and v.ndim == 1 and v.shape == (3,) for k, v in zip(kinds, values, strict=True)
    )
    known = [v.shape[0] for v in split if v.ndim and not np.isnan(v.shape[0])]
    first = known[0] if known else 0
    # Numbers among columns are spread along them, as the frames module broadcasts them.
    spread = tuple(
        i
        for i, (k, v) in enumerate(zip(kinds, values, strict=True))
        if k == COLUMN and not point and not isinstance(v, da.Array)
    )

    # Let the method judge the arguments on empty (or tiny) stand-ins of the same dtype and
    # shape; arguments it refuses raise its own exception here, before anything is computed.
    templates: list[Any] = []
    for i, (kind, value) in enumerate(zip(kinds, values, strict=True)):
        if i in spread:
            templates.append(_column(value, 0))
        elif not isinstance(value, da.Array):
            templates.append(value)
        elif kind == WHOLE or value.ndim == 0:
            small = value.size <= _SMALL
            templates.append(_template(value, None if small else 0))
        elif point and value.shape == (3,):
            templates.append(_template(value, None))
        else:
            # Arguments longer or shorter than the first get one row, the others none, so the
            # method sees (and reports) lengths that differ.
            n = value.shape[0]
            templates.append(_template(value, 0 if np.isnan(n) or n == first else 1))
    meta = np.asarray(_apply(_ellipsoid(Re, f), method, templates))
    if len(set(known)) > 1:
        raise ValueError(f"{method}: arguments of different lengths {known}")

    if point:
        return _one_task(method, Re, f, values, meta)
    return _row_blocks(method, Re, f, kinds, values, meta, spread)


def _one_task(
    method: str, Re: float, f: float, values: list[Any], meta: np.ndarray[Any, Any]
) -> da.Array:
    """The one-point form (a (3,) position, or numbers): a single task."""
    task = dask.delayed(_call, pure=True)(*values, method=method, Re=Re, f=f)
    return da.from_delayed(task, shape=meta.shape, dtype=meta.dtype, meta=_empty(meta))


def _row_blocks(
    method: str,
    Re: float,
    f: float,
    kinds: tuple[str, ...],
    values: list[Any],
    meta: np.ndarray[Any, Any],
    spread: tuple[int, ...],
) -> da.Array:
    """One task per row block, blocks of all row-split arguments aligned."""
    out = "i" + "jkl"[: meta.ndim - 1]
    pairs: list[Any] = []
    extra = iter("pqrstuvw")
    for kind, value in zip(kinds, values, strict=True):
        if not isinstance(value, da.Array):
            pairs += [value, None]
        elif kind == WHOLE or value.ndim == 0:
            # The same whole array in every task.
            index = "".join(next(extra) for _ in range(value.ndim))
            pairs += [value.rechunk(-1) if value.ndim else value, index]
        elif kind == ROWS:
            pairs += [value.rechunk({1: -1}), "i" + "abc"[: value.ndim - 1]]
        else:
            pairs += [value, "i"]
    return da.blockwise(
        _call,
        out,
        *pairs,
        token=method,
        new_axes={axis: meta.shape[n + 1] for n, axis in enumerate(out[1:])},
        concatenate=True,
        meta=_empty(meta),
        method=method,
        Re=Re,
        f=f,
        spread=spread,
    )


def reduced_lat_from_geodetic_lat(
    ellipsoid: _EllipsoidLike, geodetic_lat: _Array | _Number
) -> da.Array:
    """Lazy :meth:`Ellipsoid.reduced_lat_from_geodetic_lat`: float64, shape (N,)."""
    return _lazy("reduced_lat_from_geodetic_lat", ellipsoid, (geodetic_lat,))


def geodetic_lat_from_reduced_lat(
    ellipsoid: _EllipsoidLike, reduced_lat: _Array | _Number
) -> da.Array:
    """Lazy :meth:`Ellipsoid.geodetic_lat_from_reduced_lat`: float64, shape (N,)."""
    return _lazy("geodetic_lat_from_reduced_lat", ellipsoid, (reduced_lat,))


def enu(ellipsoid: _EllipsoidLike, lat: _Array | _Number, lon: _Array | _Number) -> da.Array:
    """Lazy :meth:`Ellipsoid.enu`: ENU_dtype records, shape (N,)."""
    return _lazy("enu", ellipsoid, (lat, lon))


def surf_pos_from_surf_coord(
    ellipsoid: _EllipsoidLike, lat: _Array | _Number, lon: _Array | _Number
) -> da.Array:
    """Lazy :meth:`Ellipsoid.surf_pos_from_surf_coord`: float64, shape (N, 3)."""
    return _lazy("surf_pos_from_surf_coord", ellipsoid, (lat, lon))


def surf_coord_from_surf_pos(ellipsoid: _EllipsoidLike, r_surf: _Array) -> da.Array:
    """Lazy :meth:`Ellipsoid.surf_coord_from_surf_pos`: SurfCoord_dtype records, shape (N,)."""
    return _lazy("surf_coord_from_surf_pos", ellipsoid, (r_surf,))


def solve_reduced_lat_equation(ellipsoid: _EllipsoidLike, r: _Array) -> da.Array:
    """Lazy :meth:`Ellipsoid.solve_reduced_lat_equation`: float64, shape (N,)."""
    return _lazy("solve_reduced_lat_equation", ellipsoid, (r,))


def lla_from_pos(ellipsoid: _EllipsoidLike, r: _Array, *, fast: bool = False) -> da.Array:
    """Lazy :meth:`Ellipsoid.lla_from_pos`: LLA_dtype records, shape (N,).

    With ``fast=True``, :func:`fast.lla_from_pos <quorvane.mathtools.ellipsoid.fast.lla_from_pos>`
    instead: not the method's bits, but at least as accurate, and several times faster."""
    return _lazy(_named("lla_from_pos", fast), ellipsoid, (r,))


def pos_from_lla(
    ellipsoid: _EllipsoidLike,
    lat: _Array | _Number,
    lon: _Array | _Number,
    alt: _Array | _Number,
    *,
    fast: bool = False,
) -> da.Array:
    """Lazy :meth:`Ellipsoid.pos_from_lla`: float64, shape (N, 3).

    With ``fast=True``, :func:`fast.pos_from_lla <quorvane.mathtools.ellipsoid.fast.pos_from_lla>`
    instead: not the method's bits, but at least as accurate, and several times faster."""
    return _lazy(_named("pos_from_lla", fast), ellipsoid, (lat, lon, alt))


def surf_pos_of_ray_first_intersection(
    ellipsoid: _EllipsoidLike, r_source: _Array, u_ray: _Array
) -> da.Array:
    """Lazy :meth:`Ellipsoid.surf_pos_of_ray_first_intersection`: float64, shape (N, 3)."""
    return _lazy("surf_pos_of_ray_first_intersection", ellipsoid, (r_source, u_ray))


def aer_coords(
    ellipsoid: _EllipsoidLike,
    r_target: _Array,
    lat_obs: _Number | da.Array,
    lon_obs: _Number | da.Array,
    alt_obs: _Number | da.Array,
    *,
    fast: bool = False,
) -> da.Array:
    """Lazy :meth:`Ellipsoid.aer_coords`: AER_dtype records, shape (N,).

    With ``fast=True``, :func:`fast.aer_coords <quorvane.mathtools.ellipsoid.fast.aer_coords>`
    instead: not the method's bits, but at least as accurate, and several times faster."""
    return _lazy(_named("aer_coords", fast), ellipsoid, (r_target, lat_obs, lon_obs, alt_obs))


def geodesic_inverse(
    ellipsoid: _EllipsoidLike,
    lat1: _Array | _Number,
    lon1: _Array | _Number,
    lat2: _Array | _Number,
    lon2: _Array | _Number,
) -> da.Array:
    """Lazy :func:`geodesic.inverse <quorvane.mathtools.ellipsoid.geodesic.inverse>` (radians):
    GeodesicInverse_dtype records (s12, azi1, azi2), shape (N,)."""
    return _lazy("geodesic_inverse", ellipsoid, (lat1, lon1, lat2, lon2))


def geodesic_direct(
    ellipsoid: _EllipsoidLike,
    lat1: _Array | _Number,
    lon1: _Array | _Number,
    azi1: _Array | _Number,
    s12: _Array | _Number,
) -> da.Array:
    """Lazy :func:`geodesic.direct <quorvane.mathtools.ellipsoid.geodesic.direct>` (radians):
    GeodesicDirect_dtype records (lat2, lon2, azi2), shape (N,)."""
    return _lazy("geodesic_direct", ellipsoid, (lat1, lon1, azi1, s12))


# --------------------------------------------------------------------------------------------
# DataFrames.

_ENU_COLUMNS = tuple(f"{axis}_{c}" for axis in ("east", "north", "up") for c in "xyz")

# Input columns (in the method's argument order) and output columns of each conversion.
_COLUMNS: dict[str, tuple[tuple[str, ...], tuple[str, ...]]] = {
    "reduced_lat_from_geodetic_lat": (("lat",), ("reduced_lat",)),
    "geodetic_lat_from_reduced_lat": (("reduced_lat",), ("lat",)),
    "enu": (("lat", "lon"), _ENU_COLUMNS),
    "surf_pos_from_surf_coord": (("lat", "lon"), ("x", "y", "z")),
    "surf_coord_from_surf_pos": (("x", "y", "z"), ("lat", "lon")),
    "solve_reduced_lat_equation": (("x", "y", "z"), ("reduced_lat",)),
    "lla_from_pos": (("x", "y", "z"), ("lat", "lon", "alt")),
    "pos_from_lla": (("lat", "lon", "alt"), ("x", "y", "z")),
    "surf_pos_of_ray_first_intersection": (("ux", "uy", "uz"), ("x", "y", "z")),
    "aer_coords": (("x", "y", "z"), ("azimuth", "elevation", "range")),
    "geodesic_inverse": (("lat1", "lon1", "lat2", "lon2"), ("s12", "azi1", "azi2")),
    "geodesic_direct": (("lat1", "lon1", "azi1", "s12"), ("lat2", "lon2", "azi2")),
}


def _output_columns(result: Any) -> list[Any]:
    """The columns of a method result: record fields (3-vector fields give three columns),
    or the columns of an (N, 3) array, or the array itself."""
    result = np.asarray(result)
    if result.dtype.names:
        columns = []
        for name in result.dtype.names:
            field = result[name]
            columns += [field] if field.ndim == 1 else [field[:, k] for k in range(3)]
        return columns
    if result.ndim == 2:
        return [result[:, k] for k in range(result.shape[1])]
    return [result]


def _convert_partition(
    part: _pd.DataFrame,
    method: str,
    Re: float,
    f: float,
    inputs: tuple[str, ...],
    outputs: tuple[str, ...],
    params: tuple[Any, ...],
    keep: bool,
) -> _pd.DataFrame:
    """One partition: the method on the input columns, the other columns passed through."""
    import pandas as pd  # type: ignore[import-untyped,unused-ignore]

    columns = [part[name].to_numpy() for name in inputs]
    kinds = _ARGUMENTS[_base(method)]
    args: list[Any]
    if ROWS in kinds:
        rows = np.column_stack(columns) if columns[0].size else np.empty((0, len(columns)))
        args = [*params, rows] if kinds[0] == WHOLE else [rows, *params]
    else:
        args = columns
    result = _call(*args, method=method, Re=Re, f=f)
    converted = dict(zip(outputs, _output_columns(result), strict=True))
    if not keep:
        return pd.DataFrame(converted, index=part.index)
    return part.drop(columns=list(inputs)).assign(**converted)


def _convert_frame(
    method: str,
    ellipsoid: _EllipsoidLike,
    frame: dd.DataFrame,
    params: tuple[Any, ...],
    columns: Sequence[str] | None,
    keep: bool,
) -> dd.DataFrame:
    import dask.dataframe as dd

    if not isinstance(frame, dd.DataFrame):
        raise TypeError(f"expected a dask.dataframe.DataFrame, not {type(frame).__qualname__}")
    Re, f = parameters(ellipsoid)
    defaults, outputs = _COLUMNS[_base(method)]
    inputs = tuple(defaults if columns is None else columns)
    if len(inputs) != len(defaults):
        raise ValueError(
            f"{method} reads {len(defaults)} columns ({', '.join(defaults)}), "
            f"not {len(inputs)}: {list(inputs)}"
        )
    present = list(frame.columns)
    for name in inputs:
        if name not in present:
            raise ValueError(f"no column {name!r} in the DataFrame (columns: {present})")
    if keep:
        clash = [name for name in outputs if name in present and name not in inputs]
        if clash:
            raise ValueError(
                f"output columns {clash} are already in the DataFrame; rename them, or "
                "pass keep=False to write the converted columns only"
            )
    convert: Callable[..., _pd.DataFrame] = functools.partial(
        _convert_partition,
        method=method,
        Re=Re,
        f=f,
        inputs=inputs,
        outputs=outputs,
        params=params,
        keep=keep,
    )
    # The method judges the columns' dtypes on the empty partition before anything runs.
    meta = convert(frame._meta)
    return frame.map_partitions(convert, meta=meta, token=f"{method}-frame")


def dataframe_reduced_lat_from_geodetic_lat(
    ellipsoid: _EllipsoidLike,
    frame: dd.DataFrame,
    *,
    columns: _Columns = None,
    keep: bool = True,
) -> dd.DataFrame:
    """Column lat (float64) -> reduced_lat."""
    return _convert_frame("reduced_lat_from_geodetic_lat", ellipsoid, frame, (), columns, keep)


def dataframe_geodetic_lat_from_reduced_lat(
    ellipsoid: _EllipsoidLike,
    frame: dd.DataFrame,
    *,
    columns: _Columns = None,
    keep: bool = True,
) -> dd.DataFrame:
    """Column reduced_lat (float64) -> lat."""
    return _convert_frame("geodetic_lat_from_reduced_lat", ellipsoid, frame, (), columns, keep)


def dataframe_enu(
    ellipsoid: _EllipsoidLike,
    frame: dd.DataFrame,
    *,
    columns: _Columns = None,
    keep: bool = True,
) -> dd.DataFrame:
    """Columns lat, lon -> east_x, east_y, east_z, north_x, ..., up_z (ECEF unit vectors)."""
    return _convert_frame("enu", ellipsoid, frame, (), columns, keep)


def dataframe_surf_pos_from_surf_coord(
    ellipsoid: _EllipsoidLike,
    frame: dd.DataFrame,
    *,
    columns: _Columns = None,
    keep: bool = True,
) -> dd.DataFrame:
    """Columns lat, lon -> x, y, z on the surface."""
    return _convert_frame("surf_pos_from_surf_coord", ellipsoid, frame, (), columns, keep)


def dataframe_surf_coord_from_surf_pos(
    ellipsoid: _EllipsoidLike,
    frame: dd.DataFrame,
    *,
    columns: _Columns = None,
    keep: bool = True,
) -> dd.DataFrame:
    """Columns x, y, z (surface points) -> lat, lon."""
    return _convert_frame("surf_coord_from_surf_pos", ellipsoid, frame, (), columns, keep)


def dataframe_solve_reduced_lat_equation(
    ellipsoid: _EllipsoidLike,
    frame: dd.DataFrame,
    *,
    columns: _Columns = None,
    keep: bool = True,
) -> dd.DataFrame:
    """Columns x, y, z -> reduced_lat of the foot of the normal."""
    return _convert_frame("solve_reduced_lat_equation", ellipsoid, frame, (), columns, keep)


def dataframe_lla_from_pos(
    ellipsoid: _EllipsoidLike,
    frame: dd.DataFrame,
    *,
    columns: _Columns = None,
    keep: bool = True,
    fast: bool = False,
) -> dd.DataFrame:
    """Columns x, y, z (ECEF) -> lat, lon, alt. ``fast=True``: on the vectorised path, as :func:`lla_from_pos`."""
    return _convert_frame(_named("lla_from_pos", fast), ellipsoid, frame, (), columns, keep)


def dataframe_pos_from_lla(
    ellipsoid: _EllipsoidLike,
    frame: dd.DataFrame,
    *,
    columns: _Columns = None,
    keep: bool = True,
    fast: bool = False,
) -> dd.DataFrame:
    """Columns lat, lon, alt -> x, y, z (ECEF). ``fast=True``: on the vectorised path, as :func:`pos_from_lla`."""
    return _convert_frame(_named("pos_from_lla", fast), ellipsoid, frame, (), columns, keep)


def dataframe_surf_pos_of_ray_first_intersection(
    ellipsoid: _EllipsoidLike,
    frame: dd.DataFrame,
    r_source: _Array,
    *,
    columns: _Columns = None,
    keep: bool = True,
) -> dd.DataFrame:
    """Columns ux, uy, uz (directions from ``r_source``) -> x, y, z (NaN where a line misses)."""
    return _convert_frame(
        "surf_pos_of_ray_first_intersection", ellipsoid, frame, (r_source,), columns, keep
    )


def dataframe_aer_coords(
    ellipsoid: _EllipsoidLike,
    frame: dd.DataFrame,
    lat_obs: _Number,
    lon_obs: _Number,
    alt_obs: _Number,
    *,
    columns: _Columns = None,
    keep: bool = True,
    fast: bool = False,
) -> dd.DataFrame:
    """Columns x, y, z (ECEF targets) -> azimuth, elevation, range from the observer.
    ``fast=True``: on the vectorised path, as :func:`aer_coords`."""
    return _convert_frame(
        _named("aer_coords", fast), ellipsoid, frame, (lat_obs, lon_obs, alt_obs), columns, keep
    )


def dataframe_geodesic_inverse(
    ellipsoid: _EllipsoidLike,
    frame: dd.DataFrame,
    *,
    columns: _Columns = None,
    keep: bool = True,
) -> dd.DataFrame:
    """Columns lat1, lon1, lat2, lon2 (radians) -> s12, azi1, azi2 of the shortest geodesic."""
    return _convert_frame("geodesic_inverse", ellipsoid, frame, (), columns, keep)


def dataframe_geodesic_direct(
    ellipsoid: _EllipsoidLike,
    frame: dd.DataFrame,
    *,
    columns: _Columns = None,
    keep: bool = True,
) -> dd.DataFrame:
    """Columns lat1, lon1, azi1 (radians), s12 (metres) -> lat2, lon2, azi2 of the point reached."""
    return _convert_frame("geodesic_direct", ellipsoid, frame, (), columns, keep)
