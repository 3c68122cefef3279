"""The Dask functions of the UTM/UPS grid and MGRS (:mod:`quorvane.mathtools.ellipsoid.utm`),
published by :mod:`quorvane.mathtools.ellipsoid.dask`: ``utm_forward``, ``utm_reverse``,
``utm_to_mgrs``, ``utm_from_mgrs`` on Dask arrays and their ``dataframe_*`` forms on Dask
DataFrames.

They are not generated from the registry, whose engine takes and gives float64 only: a zone is
an integer, a hemisphere a bool, an MGRS reference a string. Each task runs the function of
``utm`` on its blocks, so the results are its bits; the arguments are judged at once on empty
stand-ins (the error names the parameter), and a malformed MGRS reference names its index in
the whole array, not in its block.
"""

from __future__ import annotations

import functools
import re
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import dask.array as da
import numpy as np

from quorvane.mathtools.ellipsoid import utm

if TYPE_CHECKING:
    import dask.dataframe as dd
    import pandas as _pd  # type: ignore[import-untyped,unused-ignore]

__all__ = [
    "dataframe_utm_forward",
    "dataframe_utm_from_mgrs",
    "dataframe_utm_reverse",
    "dataframe_utm_to_mgrs",
    "utm_forward",
    "utm_from_mgrs",
    "utm_reverse",
    "utm_to_mgrs",
]


def _parameters(ellipsoid: Any) -> tuple[float, float]:
    from quorvane.mathtools.ellipsoid.dask import parameters

    return parameters(ellipsoid)


# --------------------------------------------------------------------------------------------
# Tasks: the function of utm on one block of every argument (an array, also for one point).


def _forward(lat: Any, lon: Any, *, Re: float, f: float, degrees: bool) -> Any:
    return np.asarray(utm.forward(lat, lon, ell=(Re, f), degrees=degrees))


def _forward_zone(lat: Any, lon: Any, zone: Any, *, Re: float, f: float, degrees: bool) -> Any:
    return np.asarray(utm.forward(lat, lon, zone=zone, ell=(Re, f), degrees=degrees))


def _reverse(zone: Any, northp: Any, e: Any, n: Any, *, Re: float, f: float, degrees: bool) -> Any:
    return np.asarray(utm.reverse(zone, northp, e, n, ell=(Re, f), degrees=degrees))


def _to_mgrs(lat: Any, lon: Any, *, Re: float, f: float, precision: int, degrees: bool) -> Any:
    codes = utm.to_mgrs(lat, lon, precision=precision, ell=(Re, f), degrees=degrees)
    return np.asarray(codes, dtype=f"<U{utm.MGRS_WIDTH}")


_AT_INDEX = re.compile(r" at index \(([\d, ]*)\)")


def _from_mgrs(codes: Any, *, Re: float, f: float, degrees: bool, block_info: Any = None) -> Any:
    try:
        return np.asarray(utm.from_mgrs(codes, ell=(Re, f), degrees=degrees))
    except ValueError as exc:
        # The index in the block, made the index in the whole array.
        location = (block_info or {}).get(0, {}).get("array-location")
        found = _AT_INDEX.search(str(exc))
        if not location or found is None:
            raise
        local = [int(k) for k in found.group(1).split(",") if k.strip()]
        index = tuple(k + start for k, (start, _) in zip(local, location, strict=True))
        raise ValueError(_AT_INDEX.sub(f" at index {index}", str(exc), count=1)) from None


def _lazy(task: Callable[..., Any], args: Sequence[Any]) -> da.Array:
    """``task`` block by block on ``args`` broadcast against each other. The task judges the
    arguments first, on empty stand-ins of their dtypes (numbers as they are), and gives the
    result's dtype: errors at once, naming the parameter."""
    arrays = [a if isinstance(a, da.Array) else da.asarray(a) for a in args]
    stand_ins = [
        a if np.ndim(a) == 0 and not isinstance(a, da.Array) else np.zeros((0,), b.dtype)
        for a, b in zip(args, arrays, strict=True)
    ]
    meta = task(*stand_ins)
    if any(a.ndim for a in arrays):
        arrays = list(da.broadcast_arrays(*arrays))
    return da.map_blocks(task, *arrays, dtype=meta.dtype, meta=meta.reshape(-1)[:0])


# --------------------------------------------------------------------------------------------
# Arrays.


def utm_forward(
    ellipsoid: Any, lat: Any, lon: Any, *, zone: Any = None, degrees: bool = False
) -> da.Array:
    """utm_forward(ellipsoid, lat, lon, *, zone=None, degrees=False)

    UTM or UPS coordinates of geodetic latitude and longitude, as ``utm.forward``.

    Parameters
    ----------
    ellipsoid : Ellipsoid, str or (Re, f)
        The ellipsoid, or its catalogue name.
    lat, lon : Dask array or array_like
        Geodetic latitude and longitude (radians, or degrees with ``degrees=True``).
    zone : None, or Dask array or array_like of int
        None for the standard zone; else the zone to use, 1-60 or 0 (UPS).
    degrees : bool
        Angles in and out in degrees instead of radians.

    Returns
    -------
    dask.array.Array
        Lazy ``utm.GRID_dtype`` records (zone, northp, easting, northing, convergence, scale),
        of the broadcast shape.
    """
    Re, f = _parameters(ellipsoid)
    if zone is None:
        return _lazy(functools.partial(_forward, Re=Re, f=f, degrees=degrees), [lat, lon])
    task = functools.partial(_forward_zone, Re=Re, f=f, degrees=degrees)
    return _lazy(task, [lat, lon, zone])


def utm_reverse(
    ellipsoid: Any, zone: Any, northp: Any, easting: Any, northing: Any, *, degrees: bool = False
) -> da.Array:
    """utm_reverse(ellipsoid, zone, northp, easting, northing, *, degrees=False)

    Geodetic latitude and longitude of UTM or UPS coordinates, as ``utm.reverse``.

    Parameters
    ----------
    ellipsoid : Ellipsoid, str or (Re, f)
        The ellipsoid, or its catalogue name.
    zone : Dask array or array_like of int
        The zone, 1-60, or 0 for UPS; anything else a ValueError (a number at once, the
        values of an array where its task runs).
    northp : Dask array or array_like of bool
        True in the northern hemisphere.
    easting, northing : Dask array or array_like
        Metres, with the false easting and northing.
    degrees : bool
        Angles out in degrees instead of radians.

    Returns
    -------
    dask.array.Array
        Lazy ``utm.GEOGRAPHIC_dtype`` records (lat, lon, convergence, scale), of the broadcast
        shape.
    """
    Re, f = _parameters(ellipsoid)
    task = functools.partial(_reverse, Re=Re, f=f, degrees=degrees)
    return _lazy(task, [zone, northp, easting, northing])


def utm_to_mgrs(
    ellipsoid: Any, lat: Any, lon: Any, *, precision: int = 5, degrees: bool = False
) -> da.Array:
    """utm_to_mgrs(ellipsoid, lat, lon, *, precision=5, degrees=False)

    MGRS references of geodetic latitude and longitude, as ``utm.to_mgrs``.

    Parameters
    ----------
    ellipsoid : Ellipsoid, str or (Re, f)
        The ellipsoid, or its catalogue name.
    lat, lon : Dask array or array_like
        Geodetic latitude and longitude (radians, or degrees with ``degrees=True``).
    precision : int
        Digits per coordinate, 0-5 (1 m squares at 5), truncated.
    degrees : bool
        Angles in degrees instead of radians.

    Returns
    -------
    dask.array.Array
        Lazy strings (dtype ``<U15``) of the broadcast shape; empty where there is none.
    """
    Re, f = _parameters(ellipsoid)
    task = functools.partial(_to_mgrs, Re=Re, f=f, precision=precision, degrees=degrees)
    return _lazy(task, [lat, lon])


def utm_from_mgrs(ellipsoid: Any, codes: Any, *, degrees: bool = False) -> da.Array:
    """utm_from_mgrs(ellipsoid, codes, *, degrees=False)

    The latitude and longitude of the centres of the squares MGRS references name, as
    ``utm.from_mgrs``.

    Parameters
    ----------
    ellipsoid : Ellipsoid, str or (Re, f)
        The ellipsoid, or its catalogue name.
    codes : Dask array or array_like of str
        MGRS references; a malformed one is a ValueError where its task runs, naming it and its
        index in the whole array.
    degrees : bool
        Angles out in degrees instead of radians.

    Returns
    -------
    dask.array.Array
        Lazy records (lat, lon) of the shape of ``codes``.
    """
    Re, f = _parameters(ellipsoid)
    return _lazy(functools.partial(_from_mgrs, Re=Re, f=f, degrees=degrees), [codes])


# --------------------------------------------------------------------------------------------
# DataFrames: the task on the input columns of each partition.


def _partition(
    part: _pd.DataFrame,
    *,
    task: Callable[..., Any],
    inputs: tuple[str, ...],
    outputs: tuple[str, ...],
    text: bool,
    keep: bool,
) -> _pd.DataFrame:
    import pandas as pd  # type: ignore[import-untyped,unused-ignore]

    columns = [part[c].to_numpy() for c in inputs]
    if text:  # MGRS codes: object or Arrow strings in pandas
        columns = [np.asarray(c, dtype=np.str_) for c in columns]
    try:
        result = task(*columns)
    except ValueError as exc:
        found = _AT_INDEX.search(str(exc))
        if found is None:
            raise
        label = part.index[int(found.group(1).strip(", "))]
        raise ValueError(_AT_INDEX.sub(f" at row {label!r}", str(exc), count=1)) from None
    if result.dtype.names:
        values = [result[n] for n in result.dtype.names]
    else:
        values = [result.astype(object)]
    converted = dict(zip(outputs, values, strict=True))
    if not keep:
        return pd.DataFrame(converted, index=part.index)
    return part.drop(columns=list(inputs)).assign(**converted)


def _frame(
    name: str,
    task: Callable[..., Any],
    frame: dd.DataFrame,
    defaults: tuple[str, ...],
    outputs: tuple[str, ...],
    columns: Sequence[str] | None,
    keep: bool,
    text: bool = False,
) -> dd.DataFrame:
    import dask.dataframe as dd

    if not isinstance(frame, dd.DataFrame):
        raise TypeError(f"expected a dask.dataframe.DataFrame, not {type(frame).__qualname__}")
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
    convert = functools.partial(
        _partition, task=task, inputs=inputs, outputs=outputs, text=text, keep=keep
    )
    # The task judges the columns' dtypes on the empty partition before anything runs.
    meta = convert(frame._meta)
    return frame.map_partitions(convert, meta=meta, token=f"{name}-frame")


_GRID = ("zone", "northp", "easting", "northing", "convergence", "scale")
_GEOGRAPHIC = ("lat", "lon", "convergence", "scale")


def dataframe_utm_forward(
    ellipsoid: Any,
    frame: dd.DataFrame,
    *,
    zone: int | None = None,
    columns: Sequence[str] | None = None,
    keep: bool = True,
    degrees: bool = False,
) -> dd.DataFrame:
    """dataframe_utm_forward(ellipsoid, frame, *, zone=None, columns=None, keep=True, degrees=False)

    UTM or UPS coordinates of the columns lat, lon (or ``columns``), as ``utm.forward``: the
    columns zone, northp, easting, northing, convergence, scale. ``zone`` forces one zone
    (1-60, 0: UPS) for the whole frame; ``keep`` passes the other columns through.
    """
    Re, f = _parameters(ellipsoid)
    if zone is None:
        task = functools.partial(_forward, Re=Re, f=f, degrees=degrees)
    else:
        utm._zones("zone", zone, {})
        task = functools.partial(_forward_zone, zone=zone, Re=Re, f=f, degrees=degrees)
    return _frame("utm_forward", task, frame, ("lat", "lon"), _GRID, columns, keep)


def dataframe_utm_reverse(
    ellipsoid: Any,
    frame: dd.DataFrame,
    *,
    columns: Sequence[str] | None = None,
    keep: bool = True,
    degrees: bool = False,
) -> dd.DataFrame:
    """dataframe_utm_reverse(ellipsoid, frame, *, columns=None, keep=True, degrees=False)

    Geodetic latitude and longitude of the columns zone, northp, easting, northing (or
    ``columns``), as ``utm.reverse``: the columns lat, lon, convergence, scale.
    """
    Re, f = _parameters(ellipsoid)
    task = functools.partial(_reverse, Re=Re, f=f, degrees=degrees)
    inputs = ("zone", "northp", "easting", "northing")
    return _frame("utm_reverse", task, frame, inputs, _GEOGRAPHIC, columns, keep)


def dataframe_utm_to_mgrs(
    ellipsoid: Any,
    frame: dd.DataFrame,
    *,
    precision: int = 5,
    columns: Sequence[str] | None = None,
    keep: bool = True,
    degrees: bool = False,
) -> dd.DataFrame:
    """dataframe_utm_to_mgrs(ellipsoid, frame, *, precision=5, columns=None, keep=True, degrees=False)

    MGRS references of the columns lat, lon (or ``columns``), as ``utm.to_mgrs``: the column
    mgrs (strings).
    """
    Re, f = _parameters(ellipsoid)
    task = functools.partial(_to_mgrs, Re=Re, f=f, precision=precision, degrees=degrees)
    return _frame("utm_to_mgrs", task, frame, ("lat", "lon"), ("mgrs",), columns, keep)


def dataframe_utm_from_mgrs(
    ellipsoid: Any,
    frame: dd.DataFrame,
    *,
    columns: Sequence[str] | None = None,
    keep: bool = True,
    degrees: bool = False,
) -> dd.DataFrame:
    """dataframe_utm_from_mgrs(ellipsoid, frame, *, columns=None, keep=True, degrees=False)

    The centres of the squares the column mgrs (or ``columns``) names, as ``utm.from_mgrs``:
    the columns lat, lon. A malformed reference is a ValueError naming it and its row label.
    """
    Re, f = _parameters(ellipsoid)
    task = functools.partial(_from_mgrs, Re=Re, f=f, degrees=degrees)
    return _frame("utm_from_mgrs", task, frame, ("mgrs",), ("lat", "lon"), columns, keep, True)


# The stubs of these functions in dask.pyi.
STUB = """def utm_forward(
    ellipsoid: _EllipsoidLike,
    lat: _Array | _Number,
    lon: _Array | _Number,
    *,
    zone: _Array | int | None = None,
    degrees: bool = False,
) -> da.Array: ...
def utm_reverse(
    ellipsoid: _EllipsoidLike,
    zone: _Array | int,
    northp: _Array | bool,
    easting: _Array | _Number,
    northing: _Array | _Number,
    *,
    degrees: bool = False,
) -> da.Array: ...
def utm_to_mgrs(
    ellipsoid: _EllipsoidLike,
    lat: _Array | _Number,
    lon: _Array | _Number,
    *,
    precision: int = 5,
    degrees: bool = False,
) -> da.Array: ...
def utm_from_mgrs(
    ellipsoid: _EllipsoidLike, codes: _Array | str, *, degrees: bool = False
) -> da.Array: ...
def dataframe_utm_forward(
    ellipsoid: _EllipsoidLike,
    frame: dd.DataFrame,
    *,
    zone: int | None = None,
    columns: _Columns = None,
    keep: bool = True,
    degrees: bool = False,
) -> dd.DataFrame: ...
def dataframe_utm_reverse(
    ellipsoid: _EllipsoidLike,
    frame: dd.DataFrame,
    *,
    columns: _Columns = None,
    keep: bool = True,
    degrees: bool = False,
) -> dd.DataFrame: ...
def dataframe_utm_to_mgrs(
    ellipsoid: _EllipsoidLike,
    frame: dd.DataFrame,
    *,
    precision: int = 5,
    columns: _Columns = None,
    keep: bool = True,
    degrees: bool = False,
) -> dd.DataFrame: ...
def dataframe_utm_from_mgrs(
    ellipsoid: _EllipsoidLike,
    frame: dd.DataFrame,
    *,
    columns: _Columns = None,
    keep: bool = True,
    degrees: bool = False,
) -> dd.DataFrame: ..."""
