"""The transverse Mercator projection, the UTM and UPS grids, and MGRS grid references.

:func:`tm_forward` and :func:`tm_reverse` are the transverse Mercator of any central meridian
and central scale, by Krueger's series to order n^12 in the third flattening (C. F. F. Karney,
"Transverse Mercator with an accuracy of a few nanometers", J. Geodesy 85 (2011) 475-485; the
coefficients derived by ``scripts/tm_series.py``). Against a 40-digit truth they are within
3.4 nm up to 6,300 km from the central meridian on WGS84 (``bench/results/utm-accuracy.md``);
beyond eta = 1 (6,367 km on the equator, where the series' error grows past that) the rows are
NaN. The series serve flattenings up to 1/25; larger ones are a ValueError.

:func:`forward` and :func:`reverse` are the UTM grid (zones 1-60, central scale 0.9996, false
easting 500 km, false northing 10,000 km in the south) with the Norway and Svalbard zone
exceptions, and UPS (zone 0: polar stereographic, central scale 0.994, false easting and
northing 2,000 km) north of 84 N and south of 80 S. :func:`to_mgrs` and :func:`from_mgrs` write
and read MGRS references on them, polar squares (bands A, B, Y, Z) included.

The transverse Mercator functions take the ellipsoid first, like every companion module; the
grid functions take it as the keyword ``ell`` (WGS84 by default). Angles are radians unless
``degrees=True``; lengths are metres. Numbers or arrays broadcast; numbers give one record.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from quorvane.mathtools.ellipsoid import _fast, _utm
from quorvane.mathtools.ellipsoid._arguments import broadcast_shape, numeric
from quorvane.mathtools.ellipsoid._engine import (
    _warn_latitudes,
    ellipsoid,
    memory_errors,
    public,
)
from quorvane.mathtools.ellipsoid._registry import get
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

__all__ = [
    "forward",
    "from_mgrs",
    "reverse",
    "tm_forward",
    "tm_reverse",
    "to_mgrs",
]

# The records of forward and reverse.
GRID_dtype = np.dtype(
    [
        ("zone", np.int32),
        ("northp", np.bool_),
        ("easting", np.float64),
        ("northing", np.float64),
        ("convergence", np.float64),
        ("scale", np.float64),
    ],
    align=True,
)
GEOGRAPHIC_dtype = np.dtype([(n, np.float64) for n in ("lat", "lon", "convergence", "scale")])
MGRS_WIDTH = 15  # the longest code: "32UMV1234567890"

_tm_forward = public(get("utm.tm_forward"))
_tm_reverse = public(get("utm.tm_reverse"))
_tm_forward_fast = public(get("utm.tm_forward"), fast=True)
_tm_reverse_fast = public(get("utm.tm_reverse"), fast=True)
_MGRS_ERRORS = {
    1: "the zone is not 1-60",
    2: "no latitude band letter (C-X without I and O; A, B, Y, Z for the poles)",
    3: "the 100 km column letter is not one of the zone's",
    4: "the 100 km row letter is not one of the zone's",
    5: "the digits are not two groups of 0-5 digits",
    6: "the square lies outside the zone's grid",
}


def _k0(k0: Any) -> float:
    try:
        value = float(k0)
    except (TypeError, ValueError):
        raise TypeError(f"k0 must be a real number, got {type(k0).__name__}") from None
    if not (np.isfinite(value) and value > 0):
        raise ValueError(f"k0 must be finite and positive, got {k0!r}")
    return value


def _scaled(records: Any, k0: float, fields: tuple[str, ...]) -> Any:
    """The records (one, an array or an xarray Dataset) with ``fields`` times ``k0``; at
    k0 = 1 the kernel's own bits."""
    if k0 == 1.0:
        return records
    if type(records) is np.ndarray:  # fresh from the kernel: scaled in place
        for name in fields:
            np.multiply(records[name], k0, out=records[name])
        return records
    records = records.copy()
    for name in fields:
        records[name] = records[name] * k0
    return records


def tm_forward(
    ell: Ellipsoid | str | tuple[float, float],
    lon0: Any,
    lat: Any,
    lon: Any,
    *,
    k0: float = 1.0,
    degrees: bool = False,
    fast: bool = False,
) -> Any:
    """tm_forward(ell, lon0, lat, lon, *, k0=1.0, degrees=False, fast=False)

    Transverse Mercator coordinates of geodetic latitude and longitude.

    Parameters
    ----------
    ell : Ellipsoid, str or (Re, f)
        The ellipsoid, or its catalogue name (flattening at most 1/25).
    lon0 : array_like
        The central meridian (radians, or degrees with ``degrees=True``).
    lat, lon : array_like
        Geodetic latitude and longitude.
    k0 : float
        The central scale factor.
    degrees : bool
        Angles in and out in degrees instead of radians.
    fast : bool
        The vectorised kernel (``fast.tm_forward``): not the exact kernel's bits, within its
        bounds of the truth and several times faster.

    Returns
    -------
    Records (x, y, convergence, scale): metres east of the central meridian and north of the
    equator (no false origin), the convergence (grid north clockwise from true north) and the
    scale; one record for plain numbers, else of the broadcast shape. Beyond 6,367 km from the
    central meridian (eta = 1) the rows are NaN; latitudes beyond the poles give NaN rows and a
    RuntimeWarning.
    """
    k = _k0(k0)
    function = _tm_forward_fast if fast else _tm_forward
    return _scaled(function(ell, lon0, lat, lon, degrees=degrees), k, ("x", "y", "scale"))


def tm_reverse(
    ell: Ellipsoid | str | tuple[float, float],
    lon0: Any,
    x: Any,
    y: Any,
    *,
    k0: float = 1.0,
    degrees: bool = False,
    fast: bool = False,
) -> Any:
    """tm_reverse(ell, lon0, x, y, *, k0=1.0, degrees=False, fast=False)

    Geodetic latitude and longitude of transverse Mercator coordinates.

    Parameters
    ----------
    ell : Ellipsoid, str or (Re, f)
        The ellipsoid, or its catalogue name (flattening at most 1/25).
    lon0 : array_like
        The central meridian (radians, or degrees with ``degrees=True``).
    x, y : array_like
        Metres east of the central meridian and north of the equator (no false origin).
    k0 : float
        The central scale factor.
    degrees : bool
        Angles in and out in degrees instead of radians.
    fast : bool
        The vectorised kernel (``fast.tm_reverse``): not the exact kernel's bits, within its
        bounds of the truth and several times faster.

    Returns
    -------
    Records (lat, lon, convergence, scale), lon in [-180, 180] degrees ([-pi, pi]); one
    record for plain numbers, else of the broadcast shape. Beyond |x| = 6,367 km k0 the rows
    are NaN.
    """
    k = _k0(k0)
    if k != 1.0:
        x = numeric("x", x) / k
        y = numeric("y", y) / k
    function = _tm_reverse_fast if fast else _tm_reverse
    return _scaled(function(ell, lon0, x, y, degrees=degrees), k, ("scale",))


def _zones(name: str, zone: Any, shape_of: dict[str, tuple[int, ...]]) -> np.ndarray:
    a = numeric(name, zone)
    with np.errstate(invalid="ignore"):
        bad = ~((a >= 0) & (a <= 60) & (a == np.floor(a)))
    if bad.any():
        first = a[bad].reshape(-1)[0].item()
        raise ValueError(f"{name} must be a zone number 0-60 (0: UPS), got {first!r}")
    shape_of[name] = a.shape
    return a


def _column(a: np.ndarray, shape: tuple[int, ...]) -> np.ndarray:
    flat = a.reshape(1) if a.size == 1 else np.broadcast_to(a, shape).reshape(-1)
    return np.ascontiguousarray(flat, dtype=np.float64)


def _latitudes(lat: np.ndarray, degrees: bool) -> np.ndarray:
    """Beyond the poles NaN, with one RuntimeWarning."""
    beyond = np.abs(lat) > (90.0 if degrees else math.pi / 2)
    if beyond.any():
        _warn_latitudes(["lat"], degrees, stacklevel=4)  # the caller of the public function
        lat = np.where(beyond, np.nan, lat)
    return lat


@memory_errors
def forward(
    lat: Any,
    lon: Any,
    *,
    zone: Any = None,
    ell: Ellipsoid | str | tuple[float, float] = "WGS84",
    degrees: bool = False,
    fast: bool = False,
) -> Any:
    """forward(lat, lon, *, zone=None, ell="WGS84", degrees=False, fast=False)

    UTM or UPS coordinates of geodetic latitude and longitude.

    Parameters
    ----------
    lat, lon : array_like
        Geodetic latitude and longitude (radians, or degrees with ``degrees=True``).
    zone : None or array_like of int
        None for the standard zone (with the Norway and Svalbard exceptions, UPS beyond 84 N
        and 80 S); else the zone to use, 1-60 (extended as far as the series serve) or 0 (UPS).
    ell : Ellipsoid, str or (Re, f)
        The ellipsoid (WGS84 by default).
    degrees : bool
        Angles in and out in degrees instead of radians.
    fast : bool
        The UTM points by the vectorised transverse Mercator (``fast.tm_forward``'s lanes; UPS
        by the exact kernel): not the exact kernel's bits, within its bounds of the truth and
        several times faster.

    Returns
    -------
    GRID_dtype records (zone, northp, easting, northing, convergence, scale): one for plain
    numbers, else of the broadcast shape. NaN easting and northing where there is no position
    (a NaN, a forced zone too far away).
    """
    e = ellipsoid(ell)
    shapes: dict[str, tuple[int, ...]] = {}
    a_lat, a_lon = numeric("lat", lat), numeric("lon", lon)
    shapes["lat"], shapes["lon"] = a_lat.shape, a_lon.shape
    a_zone = np.full((), -1.0) if zone is None else _zones("zone", zone, shapes)
    shape = broadcast_shape(shapes)
    a_lat = _latitudes(a_lat, degrees)
    out = np.empty(math.prod(shape), dtype=GRID_dtype)
    loop = _fast.utm_forward if fast else _utm.forward
    loop(e, _column(a_lat, shape), _column(a_lon, shape), _column(a_zone, shape), degrees, out)
    out = out.reshape(shape)
    return out[()] if not shape else out


@memory_errors
def reverse(
    zone: Any,
    northp: Any,
    easting: Any,
    northing: Any,
    *,
    ell: Ellipsoid | str | tuple[float, float] = "WGS84",
    degrees: bool = False,
    fast: bool = False,
) -> Any:
    """reverse(zone, northp, easting, northing, *, ell="WGS84", degrees=False, fast=False)

    Geodetic latitude and longitude of UTM or UPS coordinates.

    Parameters
    ----------
    zone : array_like of int
        The zone, 1-60, or 0 for UPS; anything else is a ValueError.
    northp : array_like of bool
        True in the northern hemisphere.
    easting, northing : array_like
        Metres, with the false easting and northing.
    ell : Ellipsoid, str or (Re, f)
        The ellipsoid (WGS84 by default).
    degrees : bool
        Angles out in degrees instead of radians.
    fast : bool
        The UTM points by the vectorised transverse Mercator (``fast.tm_reverse``'s lanes; UPS
        by the exact kernel): not the exact kernel's bits, within its bounds of the truth and
        several times faster.

    Returns
    -------
    GEOGRAPHIC_dtype records (lat, lon, convergence, scale), lon in [-180, 180) degrees.
    """
    e = ellipsoid(ell)
    shapes: dict[str, tuple[int, ...]] = {}
    a_zone = _zones("zone", zone, shapes)
    a_north = numeric("northp", northp)
    a_e, a_n = numeric("easting", easting), numeric("northing", northing)
    shapes.update(northp=a_north.shape, easting=a_e.shape, northing=a_n.shape)
    shape = broadcast_shape(shapes)
    rows = np.empty((math.prod(shape), 4), dtype=np.float64)
    (_fast.utm_reverse if fast else _utm.reverse)(
        e,
        _column(a_zone, shape),
        _column(a_north != 0, shape),
        _column(a_e, shape),
        _column(a_n, shape),
        degrees,
        rows,
    )
    out = rows.view(GEOGRAPHIC_dtype).reshape(shape)
    return out[()] if not shape else out


@memory_errors
def to_mgrs(
    lat: Any,
    lon: Any,
    *,
    precision: int = 5,
    ell: Ellipsoid | str | tuple[float, float] = "WGS84",
    degrees: bool = False,
    fast: bool = False,
) -> Any:
    """to_mgrs(lat, lon, *, precision=5, ell="WGS84", degrees=False, fast=False)

    MGRS references of geodetic latitude and longitude.

    Parameters
    ----------
    lat, lon : array_like
        Geodetic latitude and longitude (radians, or degrees with ``degrees=True``).
    precision : int
        Digits per coordinate, 0-5: the square's side is 10^(5 - precision) m (1 m at 5).
        The digits are truncated, so that the code names the square the point is in.
    ell : Ellipsoid, str or (Re, f)
        The ellipsoid (WGS84 by default).
    degrees : bool
        Angles in degrees instead of radians.
    fast : bool
        The grid positions by the vectorised transverse Mercator (``fast.tm_forward``'s
        lanes): several times faster; a code differs from the exact kernel's only where a
        point lies within a few nanometres of a square's edge.

    Returns
    -------
    A str array of the broadcast shape (dtype ``<U15``), or one ``str`` for plain numbers:
    ``"32UMV1234567890"`` (zone, band, square, digits), polar codes without a zone
    (``"ZAH1234567890"``). An empty string where there is none (a NaN).
    """
    if not isinstance(precision, (int, np.integer)) or isinstance(precision, bool):
        raise TypeError(f"precision must be an integer 0-5, got {type(precision).__name__}")
    if not 0 <= precision <= 5:
        raise ValueError(f"precision must be 0-5, got {precision}")
    e = ellipsoid(ell)
    a_lat, a_lon = numeric("lat", lat), numeric("lon", lon)
    shape = broadcast_shape({"lat": a_lat.shape, "lon": a_lon.shape})
    a_lat = _latitudes(a_lat, degrees)
    out = np.empty(math.prod(shape), dtype=f"<U{MGRS_WIDTH}")
    loop = _fast.to_mgrs if fast else _utm.to_mgrs
    loop(e, _column(a_lat, shape), _column(a_lon, shape), int(precision), degrees, out)
    out = out.reshape(shape)
    return str(out[()]) if not shape else out


def _index(flat: int, shape: tuple[int, ...]) -> tuple[int, ...]:
    """The index in an array of ``shape`` of its ``flat``-th element (C order). Not
    numpy.unravel_index, which leaks a tuple a call under NumPy 2.5."""
    index = []
    for n in reversed(shape):
        flat, k = divmod(flat, n)
        index.append(k)
    return tuple(reversed(index))


@memory_errors
def from_mgrs(
    codes: Any, *, ell: Ellipsoid | str | tuple[float, float] = "WGS84", degrees: bool = False
) -> Any:
    """from_mgrs(codes, *, ell="WGS84", degrees=False)

    The latitude and longitude of the centres of the squares MGRS references name.

    Parameters
    ----------
    codes : str or array_like of str
        MGRS references (letters of either case; spaces are ignored).
    ell : Ellipsoid, str or (Re, f)
        The ellipsoid (WGS84 by default).
    degrees : bool
        Angles out in degrees instead of radians.

    Returns
    -------
    SurfCoord-like records (lat, lon) of the shape of ``codes``; one for one string. An
    empty code (what :func:`to_mgrs` gives a point without one) gives NaN. A malformed code
    is a ValueError naming it and, in an array, its index.
    """
    e = ellipsoid(ell)
    a = np.asarray(codes)
    if a.dtype.kind not in "US":
        raise TypeError(f"codes must be strings, got an array of dtype {a.dtype}")
    shape = a.shape
    flat = a.reshape(-1)
    if a.dtype.kind == "U":
        try:
            flat = np.char.encode(flat, "ascii") if flat.size else flat.astype("S1")
        except UnicodeEncodeError as exc:
            index = int(np.argmax([not str(c).isascii() for c in flat]))
            where = f" at index {_index(index, shape)}" if shape else ""
            raise ValueError(
                f"codes: {str(flat[index])!r}{where} is no MGRS reference (not ASCII)"
            ) from exc
    flat = np.ascontiguousarray(flat)
    rows = np.empty((flat.shape[0], 2), dtype=np.float64)
    bad = _utm.from_mgrs(e, flat, rows)
    if bad is not None:
        index, reason = bad
        code = flat[index].decode("ascii")
        where = f" at index {_index(index, shape)}" if shape else ""
        raise ValueError(
            f"codes: {code!r}{where} is no MGRS reference: {_MGRS_ERRORS.get(reason, 'malformed')}"
        )
    if not degrees:
        rows = np.radians(rows)
    out = rows.view(np.dtype([("lat", np.float64), ("lon", np.float64)])).reshape(shape)
    return out[()] if not shape else out
