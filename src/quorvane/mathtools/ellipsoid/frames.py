"""Geodetic coordinates and ECEF positions, and the coordinates of targets in an observer's
local frames, and back.

Geodetic coordinates and ECEF positions (``pos_from_lla``, ``lla_from_pos``, and their
surface forms), East-North-Up (ENU) and North-East-Down (NED) coordinates,
azimuth/elevation/range (AER), in both directions. Every function takes the
:class:`~quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid` first. Angles are radians unless
``degrees=True``; lengths are metres. Numbers, lists and arrays broadcast together. The
conversions between geodetic coordinates and positions are the ``Ellipsoid`` methods of the
same names bit for bit. A latitude (of a target or an observer) outside [-pi/2, pi/2], after
conversion from degrees, gives a NaN row, not the result of the folded latitude.

The observer (``lat_obs``, ``lon_obs``, ``alt_obs``) is numbers, or arrays broadcast
against the targets (one observer per target). Targets are 3-vectors ``(3,)`` or
``(N, 3)`` (any leading shape), or separate coordinate arrays broadcast together. One
target in gives a ``(3,)`` array or a one-record result, as the methods do.

The observer's position and frame are those of ``Ellipsoid.enu`` and
``Ellipsoid.aer_coords``; for one observer, ``aer_from_lla`` gives bit for bit what
``aer_coords(pos_from_lla(lat, lon, alt), ...)`` gives. A NaN makes its own row NaN only.
Masked arrays (``numpy.ma``) are refused with a TypeError: their masked values would be
computed as ordinary ones; ``x.filled(np.nan)`` turns them into NaN rows.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from quorvane.datamodel import AER_dtype, LLA_dtype, SurfCoord_dtype
from quorvane.mathtools.ellipsoid import _frames
from quorvane.mathtools.ellipsoid._arguments import (
    broadcast_shape,
    check_ellipsoid,
    numeric,
    vectors,
)
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

__all__ = [
    "aer_from_lla",
    "ecef_vector_from_enu",
    "enu_from_ecef_vector",
    "enu_from_lla",
    "enu_from_pos",
    "lla_from_aer",
    "lla_from_enu",
    "lla_from_pos",
    "ned_from_pos",
    "pos_from_aer",
    "pos_from_enu",
    "pos_from_lla",
    "pos_from_ned",
    "surf_coord_from_surf_pos",
    "surf_pos_from_surf_coord",
]

# The aliases exist for the type checker only.
if TYPE_CHECKING:
    type _Real = float | np.integer[Any] | np.floating[Any]
    # Numbers, nested sequences of numbers, or arrays of a real dtype.
    type _Reals = (
        _Real
        | Sequence[_Real]
        | Sequence[Sequence[_Real]]
        | np.ndarray[Any, np.dtype[np.integer[Any] | np.floating[Any] | np.bool]]
    )
    # Vector results: float64 of shape (3,) or (..., 3). Geodetic and AER results: records of
    # LLA_dtype or AER_dtype, shape (1,) for one target.
    type _Vectors = np.ndarray[tuple[int, ...], np.dtype[np.float64]]
    type _Records = np.ndarray[tuple[int, ...], np.dtype[np.void]]
    type _Array = np.ndarray[tuple[int, ...], np.dtype[Any]]


_FLOAT64 = np.dtype(np.float64)
_HALF_PI = math.pi / 2


def _rows(
    shape: tuple[int, ...],
    columns: list[_Array],
    angles: int,
    degrees: bool,
    latitude: bool = False,
) -> Any:
    """(N, K) float64 rows of K broadcast columns; the first ``angles`` in radians.

    With ``latitude``, a row whose first column lies past the poles gets a NaN latitude and
    longitude (so even the east axis is NaN): the kernels would fold it into the other
    hemisphere."""
    out = np.empty(shape + (len(columns),), dtype=np.float64)
    for k, column in enumerate(columns):
        out[..., k] = column
    if degrees and angles:
        np.radians(out[..., :angles], out=out[..., :angles])
    out = out.reshape(-1, len(columns))
    if latitude:
        np.copyto(out[:, :2], np.nan, where=np.abs(out[:, :1]) > _HALF_PI)
    return out


def _vector_rows(shape: tuple[int, ...], a: _Array) -> Any:
    """(N, 3) contiguous float64 rows of 3-vectors broadcast to ``shape``."""
    if a.shape[:-1] != shape:
        a = np.broadcast_to(a, shape + (3,))
    return np.ascontiguousarray(a, dtype=np.float64).reshape(-1, 3)


def _observers(
    lat_obs: Any, lon_obs: Any, alt_obs: Any
) -> tuple[dict[str, tuple[int, ...]], list[_Array]]:
    arrays = [
        numeric("lat_obs", lat_obs),
        numeric("lon_obs", lon_obs),
        numeric("alt_obs", alt_obs),
    ]
    named = {n: a.shape for n, a in zip(("lat_obs", "lon_obs", "alt_obs"), arrays)}
    return named, arrays


def _observer_rows(shape: tuple[int, ...], observers: list[_Array], degrees: bool) -> Any:
    """One row when every observer argument holds one value, else a row per target."""
    if all(a.size == 1 for a in observers):
        return _rows((), [a.reshape(()) for a in observers], 2, degrees, latitude=True)
    return _rows(shape, observers, 2, degrees, latitude=True)


def _run(function: Any, ell: Any, source: Any, observers: Any) -> _Array:
    out = np.empty((source.shape[0], 3), dtype=np.float64)
    function(ell, source, observers, out)
    return out


def _vectors_out(out: _Array, shape: tuple[int, ...]) -> _Vectors:
    return out.reshape(shape + (3,))


def _records_out(
    out: _Array, shape: tuple[int, ...], dtype: np.dtype[Any], degrees: bool
) -> _Records:
    if degrees:
        np.degrees(out[:, :2], out=out[:, :2])
    return out.view(dtype).reshape(shape if shape else (1,))


def _finish(
    out: _Array, shape: tuple[int, ...], dtype: np.dtype[Any] | None, degrees: bool
) -> _Array:
    """Vectors of ``shape``, or records of ``dtype`` (angles in degrees if asked)."""
    return _vectors_out(out, shape) if dtype is None else _records_out(out, shape, dtype, degrees)


def _from_vectors(
    name: str,
    point: Callable[..., _Array | None],
    ell: Any,
    source: Any,
    observer: tuple[Any, Any, Any],
    degrees: bool,
    dtype: np.dtype[Any] | None = None,
) -> _Array:
    """The conversion ``name`` of 3-vectors ``source`` as seen from ``observer``: plain
    numbers in one call of ``point`` (``_frames.<name>_point``), else by the element loop
    ``_frames.<name>``."""
    result = point(ell, source, *observer, degrees)
    if result is not None:  # plain numbers, in one call
        return result
    check_ellipsoid(ell)
    parameter = {
        "enu_from_pos": "r_target",
        "ned_from_pos": "r_target",
        "pos_from_enu": "enu",
        "pos_from_ned": "ned",
        "lla_from_enu": "enu",
        "enu_from_ecef_vector": "v",
        "ecef_vector_from_enu": "v_enu",
    }[name]
    a = vectors(parameter, source)
    named, observers = _observers(*observer)
    shape = broadcast_shape({parameter: a.shape[:-1], **named})
    out = _run(
        getattr(_frames, name),
        ell,
        _vector_rows(shape, a),
        _observer_rows(shape, observers, degrees),
    )
    return _finish(out, shape, dtype, degrees)


def _from_triples(
    name: str,
    point: Callable[..., _Array | None],
    ell: Any,
    names: tuple[str, str, str],
    values: tuple[Any, Any, Any],
    observer: tuple[Any, Any, Any],
    degrees: bool,
    dtype: np.dtype[Any] | None = None,
) -> _Array:
    """The conversion ``name`` of three coordinate arrays (two angles, one length): plain
    numbers in one call of ``point``, else by the element loop, as ``_from_vectors``."""
    result = point(ell, *values, *observer, degrees)
    if result is not None:  # plain numbers, in one call
        return result
    check_ellipsoid(ell)
    columns = [numeric(n, v) for n, v in zip(names, values)]
    named, observers = _observers(*observer)
    shape = broadcast_shape({**{n: c.shape for n, c in zip(names, columns)}, **named})
    out = _run(
        getattr(_frames, name),
        ell,
        _rows(shape, columns, 2, degrees, latitude=names[0] == "lat"),
        _observer_rows(shape, observers, degrees),
    )
    return _finish(out, shape, dtype, degrees)


def _plain(values: tuple[Any, ...]) -> bool:
    """Numbers that ``float`` converts as ``numpy.asarray`` would: floats, and integers
    within int64."""
    for v in values:
        kind = type(v)
        if not (kind is float or kind is np.float64 or (kind is int and -(2**63) <= v < 2**63)):
            return False
    return True


def _from_geodetic(
    method: str, ell: Any, names: tuple[str, ...], values: tuple[Any, ...], degrees: bool
) -> _Vectors:
    """The method ``method`` of latitudes, longitudes (and altitudes): positions (..., 3).

    The method gets float64 radians column by column; rows whose latitude lies outside
    [-pi/2, pi/2] are NaN (the method would give the point of the folded latitude)."""
    check_ellipsoid(ell)
    if _plain(values):  # the method's one-point form, the same bits
        lat, lon = float(values[0]), float(values[1])
        if degrees:
            lat, lon = math.radians(lat), math.radians(lon)  # np.radians's product
        if lat > _HALF_PI or lat < -_HALF_PI:
            return np.full(3, np.nan)
        return getattr(ell, method)(lat, lon, *values[2:])  # type: ignore[no-any-return]
    columns = [numeric(n, v) for n, v in zip(names, values)]
    shape = broadcast_shape({n: c.shape for n, c in zip(names, columns)})
    rows = _rows(shape, columns, 2, degrees)
    out = getattr(ell, method)(*rows.T)
    out[np.abs(rows[:, 0]) > np.pi / 2] = np.nan
    return _vectors_out(out, shape)


def _to_geodetic(method: str, ell: Any, r: Any, dtype: np.dtype[Any], degrees: bool) -> _Records:
    """The method ``method`` of positions ``r`` ((3,) or (..., 3)): records, (1,) for one."""
    check_ellipsoid(ell)
    if not degrees and type(r) is np.ndarray and r.dtype is _FLOAT64 and r.shape == (3,):
        return getattr(ell, method)(r)  # type: ignore[no-any-return]
    a = vectors("r", r)
    shape = a.shape[:-1]
    if not shape and a.dtype == np.float64:  # the method's one-point form
        out = getattr(ell, method)(a)
    else:
        out = getattr(ell, method)(np.ascontiguousarray(a, dtype=np.float64).reshape(-1, 3))
    return _records_out(
        out.view(np.float64).reshape(-1, dtype.itemsize // 8), shape, dtype, degrees
    )


def pos_from_lla(
    ell: Ellipsoid, lat: _Reals, lon: _Reals, alt: _Reals, *, degrees: bool = False
) -> _Vectors:
    """ECEF positions (metres) of geodetic ``lat``, ``lon``, ``alt``: (3,) for one point,
    (..., 3) for arrays. NaN rows where ``|lat| > pi/2`` (90 degrees)."""
    return _from_geodetic("pos_from_lla", ell, ("lat", "lon", "alt"), (lat, lon, alt), degrees)


def lla_from_pos(ell: Ellipsoid, r: _Reals, *, degrees: bool = False) -> _Records:
    """Geodetic coordinates (``LLA_dtype`` records) of ECEF positions ``r`` ((3,) or (..., 3),
    metres): the foot of the nearest normal."""
    return _to_geodetic("lla_from_pos", ell, r, LLA_dtype, degrees)


def surf_pos_from_surf_coord(
    ell: Ellipsoid, lat: _Reals, lon: _Reals, *, degrees: bool = False
) -> _Vectors:
    """ECEF positions (metres) of the surface points at geodetic ``lat``, ``lon``: (3,) for
    one point, (..., 3) for arrays. NaN rows where ``|lat| > pi/2`` (90 degrees)."""
    return _from_geodetic("surf_pos_from_surf_coord", ell, ("lat", "lon"), (lat, lon), degrees)


def surf_coord_from_surf_pos(ell: Ellipsoid, r: _Reals, *, degrees: bool = False) -> _Records:
    """Geodetic coordinates (``SurfCoord_dtype`` records) of points ``r`` on the surface
    ((3,) or (..., 3), metres)."""
    return _to_geodetic("surf_coord_from_surf_pos", ell, r, SurfCoord_dtype, degrees)


def enu_from_pos(
    ell: Ellipsoid,
    r_target: _Reals,
    lat_obs: _Reals,
    lon_obs: _Reals,
    alt_obs: _Reals,
    *,
    degrees: bool = False,
) -> _Vectors:
    """East, north and up coordinates (metres) of ECEF targets ``r_target`` ((3,) or (N, 3))
    in the frame of the observer at geodetic ``lat_obs``, ``lon_obs``, ``alt_obs``."""
    return _from_vectors(
        "enu_from_pos",
        _frames.enu_from_pos_point,
        ell,
        r_target,
        (lat_obs, lon_obs, alt_obs),
        degrees,
    )


def ned_from_pos(
    ell: Ellipsoid,
    r_target: _Reals,
    lat_obs: _Reals,
    lon_obs: _Reals,
    alt_obs: _Reals,
    *,
    degrees: bool = False,
) -> _Vectors:
    """North, east and down coordinates (metres) of ECEF targets in the observer's frame."""
    return _from_vectors(
        "ned_from_pos",
        _frames.ned_from_pos_point,
        ell,
        r_target,
        (lat_obs, lon_obs, alt_obs),
        degrees,
    )


def pos_from_enu(
    ell: Ellipsoid,
    enu: _Reals,
    lat_obs: _Reals,
    lon_obs: _Reals,
    alt_obs: _Reals,
    *,
    degrees: bool = False,
) -> _Vectors:
    """ECEF positions of east, north, up coordinates ((3,) or (N, 3)) in the observer's frame."""
    return _from_vectors(
        "pos_from_enu", _frames.pos_from_enu_point, ell, enu, (lat_obs, lon_obs, alt_obs), degrees
    )


def pos_from_ned(
    ell: Ellipsoid,
    ned: _Reals,
    lat_obs: _Reals,
    lon_obs: _Reals,
    alt_obs: _Reals,
    *,
    degrees: bool = False,
) -> _Vectors:
    """ECEF positions of north, east, down coordinates ((3,) or (N, 3)) in the observer's
    frame."""
    return _from_vectors(
        "pos_from_ned", _frames.pos_from_ned_point, ell, ned, (lat_obs, lon_obs, alt_obs), degrees
    )


def lla_from_enu(
    ell: Ellipsoid,
    enu: _Reals,
    lat_obs: _Reals,
    lon_obs: _Reals,
    alt_obs: _Reals,
    *,
    degrees: bool = False,
) -> _Records:
    """Geodetic coordinates (``LLA_dtype`` records) of east, north, up coordinates in the
    observer's frame."""
    return _from_vectors(
        "lla_from_enu",
        _frames.lla_from_enu_point,
        ell,
        enu,
        (lat_obs, lon_obs, alt_obs),
        degrees,
        LLA_dtype,
    )


def enu_from_lla(
    ell: Ellipsoid,
    lat: _Reals,
    lon: _Reals,
    alt: _Reals,
    lat_obs: _Reals,
    lon_obs: _Reals,
    alt_obs: _Reals,
    *,
    degrees: bool = False,
) -> _Vectors:
    """East, north and up coordinates (metres) of geodetic targets in the observer's frame."""
    return _from_triples(
        "enu_from_lla",
        _frames.enu_from_lla_point,
        ell,
        ("lat", "lon", "alt"),
        (lat, lon, alt),
        (lat_obs, lon_obs, alt_obs),
        degrees,
    )


def aer_from_lla(
    ell: Ellipsoid,
    lat: _Reals,
    lon: _Reals,
    alt: _Reals,
    lat_obs: _Reals,
    lon_obs: _Reals,
    alt_obs: _Reals,
    *,
    degrees: bool = False,
) -> _Records:
    """Azimuth (from north towards east), elevation and range of geodetic targets seen from
    the observer, as ``AER_dtype`` records."""
    return _from_triples(
        "aer_from_lla",
        _frames.aer_from_lla_point,
        ell,
        ("lat", "lon", "alt"),
        (lat, lon, alt),
        (lat_obs, lon_obs, alt_obs),
        degrees,
        AER_dtype,
    )


def pos_from_aer(
    ell: Ellipsoid,
    azimuth: _Reals,
    elevation: _Reals,
    range: _Reals,
    lat_obs: _Reals,
    lon_obs: _Reals,
    alt_obs: _Reals,
    *,
    degrees: bool = False,
) -> _Vectors:
    """ECEF positions of targets at ``azimuth``, ``elevation`` and ``range`` from the
    observer."""
    return _from_triples(
        "pos_from_aer",
        _frames.pos_from_aer_point,
        ell,
        ("azimuth", "elevation", "range"),
        (azimuth, elevation, range),
        (lat_obs, lon_obs, alt_obs),
        degrees,
    )


def lla_from_aer(
    ell: Ellipsoid,
    azimuth: _Reals,
    elevation: _Reals,
    range: _Reals,
    lat_obs: _Reals,
    lon_obs: _Reals,
    alt_obs: _Reals,
    *,
    degrees: bool = False,
) -> _Records:
    """Geodetic coordinates (``LLA_dtype`` records) of targets at ``azimuth``,
    ``elevation`` and ``range`` from the observer."""
    return _from_triples(
        "lla_from_aer",
        _frames.lla_from_aer_point,
        ell,
        ("azimuth", "elevation", "range"),
        (azimuth, elevation, range),
        (lat_obs, lon_obs, alt_obs),
        degrees,
        LLA_dtype,
    )


def enu_from_ecef_vector(
    ell: Ellipsoid, v: _Reals, lat_obs: _Reals, lon_obs: _Reals, *, degrees: bool = False
) -> _Vectors:
    """East, north and up components of ECEF vectors ``v`` (velocities, directions) in the
    frame at ``lat_obs``, ``lon_obs``: a rotation, no translation."""
    return _from_vectors(
        "enu_from_ecef_vector",
        _frames.enu_from_ecef_vector_point,
        ell,
        v,
        (lat_obs, lon_obs, 0.0),
        degrees,
    )


def ecef_vector_from_enu(
    ell: Ellipsoid, v_enu: _Reals, lat_obs: _Reals, lon_obs: _Reals, *, degrees: bool = False
) -> _Vectors:
    """ECEF components of vectors with east, north, up components ``v_enu`` in the frame at
    ``lat_obs``, ``lon_obs``: a rotation, no translation."""
    return _from_vectors(
        "ecef_vector_from_enu",
        _frames.ecef_vector_from_enu_point,
        ell,
        v_enu,
        (lat_obs, lon_obs, 0.0),
        degrees,
    )
