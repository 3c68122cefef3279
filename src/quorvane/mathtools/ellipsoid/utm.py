"""The transverse Mercator projection, the UTM and UPS grids, and MGRS grid references.

:func:`tm_forward` and :func:`tm_reverse` are the transverse Mercator of any central meridian
and central scale, by Krueger's series to order n^12 in the third flattening (C. F. F. Karney,
"Transverse Mercator with an accuracy of a few nanometers", J. Geodesy 85 (2011) 475-485; the
coefficients derived by ``scripts/tm_series.py``). Against a 40-digit truth they are within
3.4 nm up to 6,300 km from the central meridian on WGS84 (``bench/results/utm-accuracy.md``).
Beyond eta = 1 (6,367 km on the equator, where the series' error would grow) they take L. P.
Lee's exact mapping in Jacobi elliptic functions (the same paper), within 90 degrees of the
central meridian: within 5 nm plus 2 parts in 10^15 of x out to 26,000 km, x at the point (0, 90
degrees); there the equator beyond (1 - e) 90 degrees is a cut (the northern side has y > 0,
-0.0 the southern). Farther than 90 degrees from the central meridian the rows are NaN, and so
beyond 6,367 km on a sphere (f = 0). The series serve flattenings up to 1/25; larger ones are a
ValueError.

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

from typing import Any

import numpy as np

from quorvane.mathtools.ellipsoid._arguments import numeric
from quorvane.mathtools.ellipsoid._engine import public
from quorvane.mathtools.ellipsoid._registry import MGRS_WIDTH, GRID_dtype, get  # noqa: F401
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

__all__ = [
    "forward",
    "from_mgrs",
    "reverse",
    "tm_forward",
    "tm_reverse",
    "to_mgrs",
]

# The records of forward (GRID_dtype, the registry's) and reverse.
GEOGRAPHIC_dtype = get("utm.reverse").output.dtype

# The functions of the registry's entries (those of the grid take the ellipsoid by keyword).
_tm_forward = public(get("utm.tm_forward"))
_tm_reverse = public(get("utm.tm_reverse"))
_forward = public(get("utm.forward"))
_reverse = public(get("utm.reverse"))
_to_mgrs = public(get("utm.to_mgrs"))
_from_mgrs = public(get("utm.from_mgrs"))
# fast=True: the vectorised transverse Mercator of the fast engine (its loops of the grid take
# the exact loops' arguments).
_tm_forward_fast = public(get("utm.tm_forward"), fast=True)
_tm_reverse_fast = public(get("utm.tm_reverse"), fast=True)
_forward_fast = public(get("utm.forward"), fast=True)
_reverse_fast = public(get("utm.reverse"), fast=True)
_to_mgrs_fast = public(get("utm.to_mgrs"), fast=True)


def _k0(k0: Any) -> float:
    try:
        value = float(k0)
    except (TypeError, ValueError):
        raise TypeError(f"k0 must be a real number, got {type(k0).__name__}") from None
    if not (np.isfinite(value) and value > 0):
        raise ValueError(f"k0 must be finite and positive, got {k0!r}")
    return value


_SCALED_ROWS = 8192  # records scaled a block at a time (256 KiB of transverse Mercator rows)


def _scaled(records: Any, k0: float, fields: tuple[str, ...]) -> Any:
    """The records (one, an array or an xarray Dataset) with ``fields`` times ``k0``; at
    k0 = 1 the kernel's own bits."""
    if k0 == 1.0:
        return records
    if type(records) is np.ndarray:  # fresh from the kernel: scaled in place
        names = records.dtype.names or ()
        packed = records.dtype.itemsize == 8 * len(names)
        if (
            records.flags.c_contiguous
            and packed
            and all(records.dtype[n] == np.float64 for n in names)
        ):
            # Rows of float64 fields alone: their doubles in one contiguous pass, a block at a
            # time, times k0 or 1 (a field not scaled keeps its bits). Half the time of a
            # strided pass per field.
            flat = records.reshape(-1).view(np.float64)
            row = [k0 if name in fields else 1.0 for name in names]
            factors = np.tile(np.array(row), _SCALED_ROWS)
            for i in range(0, flat.size, factors.size):
                part = flat[i : i + factors.size]
                np.multiply(part, factors[: part.size], out=part)
            return records
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
    central meridian (eta = 1) Lee's exact mapping serves; more than 90 degrees from the central
    meridian the rows are NaN, and latitudes beyond the poles give NaN rows and a
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
    record for plain numbers, else of the broadcast shape. Beyond |x| = 6,367 km k0 Lee's
    exact mapping serves; where no point within 90 degrees of the central meridian maps (beyond
    the images of the meridian 90 degrees away and of the equator) the rows are NaN.
    """
    k = _k0(k0)
    if k != 1.0:
        x = numeric("x", x) / k
        y = numeric("y", y) / k
    function = _tm_reverse_fast if fast else _tm_reverse
    return _scaled(function(ell, lon0, x, y, degrees=degrees), k, ("scale",))


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
    return (_forward_fast if fast else _forward)(ell, lat, lon, zone=zone, degrees=degrees)


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
    function = _reverse_fast if fast else _reverse
    return function(ell, zone, northp, easting, northing, degrees=degrees)


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
    function = _to_mgrs_fast if fast else _to_mgrs
    return function(ell, lat, lon, degrees=degrees, precision=precision)


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
    return _from_mgrs(ell, codes, degrees=degrees)
