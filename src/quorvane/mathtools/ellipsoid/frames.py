"""Coordinates of targets in an observer's local frames, and back.

East-North-Up (ENU) and North-East-Down (NED) coordinates, azimuth/elevation/range
(AER), ECEF positions and geodetic coordinates, in both directions. Every function takes
the :class:`~quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid` first. Angles are radians
unless ``degrees=True``; lengths are metres.

The observer (``lat_obs``, ``lon_obs``, ``alt_obs``) is numbers, or arrays broadcast
against the targets (one observer per target). Targets are 3-vectors ``(3,)`` or
``(N, 3)`` (any leading shape), or separate coordinate arrays broadcast together. One
target in gives a ``(3,)`` array or a one-record result, as the methods do.

The observer's position and frame are those of ``Ellipsoid.enu`` and
``Ellipsoid.aer_coords``; for one observer, ``aer_from_lla`` gives bit for bit what
``aer_coords(pos_from_lla(lat, lon, alt), ...)`` gives. A NaN makes its own row NaN only.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from quorvane.datamodel import AER_dtype, LLA_dtype
from quorvane.mathtools.ellipsoid import _frames
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

__all__ = [
    "aer_from_lla",
    "ecef_vector_from_enu",
    "enu_from_ecef_vector",
    "enu_from_lla",
    "enu_from_pos",
    "lla_from_aer",
    "lla_from_enu",
    "ned_from_pos",
    "pos_from_aer",
    "pos_from_enu",
    "pos_from_ned",
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


def _numeric(name: str, x: Any) -> _Array:
    """``x`` as an array of a real numeric dtype, or an error naming ``name``."""
    try:
        a = np.asarray(x)
    except (ValueError, TypeError) as exc:
        raise ValueError(f"{name}: not convertible to an array ({exc})") from None
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{name} must be real numbers, got an array of dtype {a.dtype}")
    return a


def _vectors(name: str, x: Any) -> _Array:
    """3-vectors: shape (3,) or (..., 3)."""
    a = _numeric(name, x)
    if a.ndim == 0 or a.shape[-1] != 3:
        raise ValueError(f"{name} must have shape (3,) or (N, 3), got {a.shape}")
    return a


def _check_ell(ell: Any) -> None:
    if not isinstance(ell, Ellipsoid):
        raise TypeError(f"ell must be an Ellipsoid, got {type(ell).__name__}")


def _shape(named: dict[str, tuple[int, ...]]) -> tuple[int, ...]:
    """The broadcast of the named shapes, or a ValueError naming them all."""
    try:
        return np.broadcast_shapes(*named.values())
    except ValueError:
        listed = ", ".join(f"{name} {shape}" for name, shape in named.items())
        raise ValueError(f"shapes do not broadcast: {listed}") from None


def _rows(shape: tuple[int, ...], columns: list[_Array], angles: int, degrees: bool) -> Any:
    """(N, 3) float64 rows of three broadcast columns; the first ``angles`` in radians."""
    out = np.empty(shape + (3,), dtype=np.float64)
    for k, column in enumerate(columns):
        out[..., k] = column
    if degrees and angles:
        np.radians(out[..., :angles], out=out[..., :angles])
    return out.reshape(-1, 3)


def _vector_rows(shape: tuple[int, ...], a: _Array) -> Any:
    """(N, 3) contiguous float64 rows of 3-vectors broadcast to ``shape``."""
    if a.shape[:-1] != shape:
        a = np.broadcast_to(a, shape + (3,))
    return np.ascontiguousarray(a, dtype=np.float64).reshape(-1, 3)


def _observers(
    lat_obs: Any, lon_obs: Any, alt_obs: Any
) -> tuple[dict[str, tuple[int, ...]], list[_Array]]:
    arrays = [
        _numeric("lat_obs", lat_obs),
        _numeric("lon_obs", lon_obs),
        _numeric("alt_obs", alt_obs),
    ]
    named = {n: a.shape for n, a in zip(("lat_obs", "lon_obs", "alt_obs"), arrays)}
    return named, arrays


def _observer_rows(shape: tuple[int, ...], observers: list[_Array], degrees: bool) -> Any:
    """One row when every observer argument holds one value, else a row per target."""
    if all(a.size == 1 for a in observers):
        return _rows((), [a.reshape(()) for a in observers], 2, degrees)
    return _rows(shape, observers, 2, degrees)


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


def _from_vectors(
    name: str, ell: Any, vectors: Any, observer: tuple[Any, Any, Any], degrees: bool
) -> tuple[_Array, tuple[int, ...]]:
    """The conversion ``name`` of 3-vectors ``vectors`` as seen from ``observer``."""
    _check_ell(ell)
    parameter = {
        "enu_from_pos": "r_target",
        "ned_from_pos": "r_target",
        "pos_from_enu": "enu",
        "pos_from_ned": "ned",
        "lla_from_enu": "enu",
        "enu_from_ecef_vector": "v",
        "ecef_vector_from_enu": "v_enu",
    }[name]
    a = _vectors(parameter, vectors)
    named, observers = _observers(*observer)
    shape = _shape({parameter: a.shape[:-1], **named})
    out = _run(
        getattr(_frames, name),
        ell,
        _vector_rows(shape, a),
        _observer_rows(shape, observers, degrees),
    )
    return out, shape


def _from_triples(
    name: str,
    ell: Any,
    names: tuple[str, str, str],
    values: tuple[Any, Any, Any],
    observer: tuple[Any, Any, Any],
    degrees: bool,
) -> tuple[_Array, tuple[int, ...]]:
    """The conversion ``name`` of three coordinate arrays (two angles, one length)."""
    _check_ell(ell)
    columns = [_numeric(n, v) for n, v in zip(names, values)]
    named, observers = _observers(*observer)
    shape = _shape({**{n: c.shape for n, c in zip(names, columns)}, **named})
    out = _run(
        getattr(_frames, name),
        ell,
        _rows(shape, columns, 2, degrees),
        _observer_rows(shape, observers, degrees),
    )
    return out, shape


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
    out, shape = _from_vectors("enu_from_pos", ell, r_target, (lat_obs, lon_obs, alt_obs), degrees)
    return _vectors_out(out, shape)


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
    out, shape = _from_vectors("ned_from_pos", ell, r_target, (lat_obs, lon_obs, alt_obs), degrees)
    return _vectors_out(out, shape)


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
    out, shape = _from_vectors("pos_from_enu", ell, enu, (lat_obs, lon_obs, alt_obs), degrees)
    return _vectors_out(out, shape)


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
    out, shape = _from_vectors("pos_from_ned", ell, ned, (lat_obs, lon_obs, alt_obs), degrees)
    return _vectors_out(out, shape)


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
    out, shape = _from_vectors("lla_from_enu", ell, enu, (lat_obs, lon_obs, alt_obs), degrees)
    return _records_out(out, shape, LLA_dtype, degrees)


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
    out, shape = _from_triples(
        "enu_from_lla",
        ell,
        ("lat", "lon", "alt"),
        (lat, lon, alt),
        (lat_obs, lon_obs, alt_obs),
        degrees,
    )
    return _vectors_out(out, shape)


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
    out, shape = _from_triples(
        "aer_from_lla",
        ell,
        ("lat", "lon", "alt"),
        (lat, lon, alt),
        (lat_obs, lon_obs, alt_obs),
        degrees,
    )
    return _records_out(out, shape, AER_dtype, degrees)


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
    out, shape = _from_triples(
        "pos_from_aer",
        ell,
        ("azimuth", "elevation", "range"),
        (azimuth, elevation, range),
        (lat_obs, lon_obs, alt_obs),
        degrees,
    )
    return _vectors_out(out, shape)


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
    out, shape = _from_triples(
        "lla_from_aer",
        ell,
        ("azimuth", "elevation", "range"),
        (azimuth, elevation, range),
        (lat_obs, lon_obs, alt_obs),
        degrees,
    )
    return _records_out(out, shape, LLA_dtype, degrees)


def enu_from_ecef_vector(
    ell: Ellipsoid, v: _Reals, lat_obs: _Reals, lon_obs: _Reals, *, degrees: bool = False
) -> _Vectors:
    """East, north and up components of ECEF vectors ``v`` (velocities, directions) in the
    frame at ``lat_obs``, ``lon_obs``: a rotation, no translation."""
    out, shape = _from_vectors("enu_from_ecef_vector", ell, v, (lat_obs, lon_obs, 0.0), degrees)
    return _vectors_out(out, shape)


def ecef_vector_from_enu(
    ell: Ellipsoid, v_enu: _Reals, lat_obs: _Reals, lon_obs: _Reals, *, degrees: bool = False
) -> _Vectors:
    """ECEF components of vectors with east, north, up components ``v_enu`` in the frame at
    ``lat_obs``, ``lon_obs``: a rotation, no translation."""
    out, shape = _from_vectors("ecef_vector_from_enu", ell, v_enu, (lat_obs, lon_obs, 0.0), degrees)
    return _vectors_out(out, shape)
