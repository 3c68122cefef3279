"""Geodesics on the ellipsoid: distances and azimuths between points, destinations,
points along a geodesic, path lengths and polygon areas.

The algorithms are those of C. F. F. Karney, "Algorithms for geodesics", J. Geodesy
87 (2013) 43-55: series in the third flattening on the auxiliary sphere, Newton's
method for the inverse problem (with the astroid start for nearly antipodal points),
and the area integral with the authalic term. The series serve flattenings up to
:data:`MAX_FLATTENING` (1/50); a flatter ellipsoid, up to any f < 1, takes the same
integrals evaluated exactly (Carlson's elliptic integrals for distance and longitude, a
double-exponential quadrature for the area), a few times slower. Against a 40-digit
evaluation of the integrals on 1000 pairs per region (bench/geodesic_accuracy.py), on WGS84
the inverse problem's distances are within 11 nm and its azimuths within 3.1e-15 rad (2.4e-12
rad next to the antipode, where the problem itself amplifies rounding); the table there gives
every flattening up to 0.9, with the bound stated for each.

Every function takes the ellipsoid first: an
:class:`~quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid`, a catalogue name (``"WGS84"``) or
an ``(Re, f)`` pair. Angles are radians unless ``degrees=True``; lengths are metres; azimuths
are clockwise from north, in (-180, 180] degrees. Numbers or arrays are broadcast against each
other (one origin and many destinations, or pairs); numbers alone give one record (a NumPy
record scalar). A NaN, or a latitude outside [-90, 90] degrees, gives a NaN row (the latter
with a RuntimeWarning naming the parameter); the other rows are unaffected. At a pole the
azimuths follow the longitude given. Longitudes of any number of turns are reduced exactly
(degrees by 360 beyond 540 degrees, radians to the last bit beyond 10 rad); ``lon2`` of
:func:`direct` is in [-180, 180] degrees, the ends of :func:`waypoints` in [-180, 180).
"""

from __future__ import annotations

from typing import Any

import numpy as np

from quorvane.datamodel import GeodesicDirect_dtype, PolygonArea_dtype
from quorvane.mathtools.ellipsoid import _geodesic, _geometries
from quorvane.mathtools.ellipsoid._arguments import numeric
from quorvane.mathtools.ellipsoid._engine import (
    _plain,
    ellipsoid,
    memory_errors,
    public,
    reduced_degrees,
)
from quorvane.mathtools.ellipsoid._registry import geometry, get
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

__all__ = [
    "MAX_FLATTENING",
    "direct",
    "direct_arc",
    "direct_arc_full",
    "direct_full",
    "intersect",
    "intersect_segments",
    "inverse",
    "inverse_full",
    "line_length",
    "points_along",
    "polygon_area",
    "waypoints",
]

#: The largest flattening the sixth-order series serve; beyond it (up to any f < 1) the
#: integrals are evaluated exactly.
MAX_FLATTENING = 1 / 50

_inverse = public(get("geodesic.inverse"))
_direct = public(get("geodesic.direct"))
inverse_full = public(get("geodesic.inverse_full"))
direct_full = public(get("geodesic.direct_full"))
direct_arc = public(get("geodesic.direct_arc"))
direct_arc_full = public(get("geodesic.direct_arc_full"))
intersect = public(get("geodesic.intersect"))
intersect_segments = public(get("geodesic.intersect_segments"))
_DIRECT = {(False, False): _direct, (True, False): direct_full}
_DIRECT |= {(False, True): direct_arc, (True, True): direct_arc_full}

_FULL_DOC = """
With ``full=True``: {full} records, every quantity of the geodesic (the function
``{name}_full``): also ``a12``, the arc on the auxiliary sphere (degrees, or radians), ``m12``,
the reduced length (metres), ``M12`` and ``M21``, the geodesic scales, and ``S12``, the area
between the geodesic and the equator (square metres; positive going east north of the
equator). The default fields keep their bits.
"""


def inverse(
    ell: Ellipsoid | str | tuple[float, float],
    lat1: Any,
    lon1: Any,
    lat2: Any,
    lon2: Any,
    *,
    degrees: bool = False,
    full: bool = False,
) -> Any:
    return (inverse_full if full else _inverse)(ell, lat1, lon1, lat2, lon2, degrees=degrees)


def direct(
    ell: Ellipsoid | str | tuple[float, float],
    lat1: Any,
    lon1: Any,
    azi1: Any,
    s12: Any,
    *,
    degrees: bool = False,
    full: bool = False,
    arc: bool = False,
) -> Any:
    return _DIRECT[bool(full), bool(arc)](ell, lat1, lon1, azi1, s12, degrees=degrees)


inverse.__doc__ = (
    (_inverse.__doc__ or "")
    + "\n"
    + _FULL_DOC.format(full="``GeodesicInverseFull_dtype``", name="inverse")
)
direct.__doc__ = (
    (_direct.__doc__ or "")
    + "\n"
    + _FULL_DOC.format(full="``GeodesicDirectFull_dtype``", name="direct")
    + """
With ``arc=True``, ``s12`` is the arc length ``a12`` on the auxiliary sphere (an angle, degrees
with ``degrees=True``, never reduced by turns) instead of the distance (``direct_arc``, and
``direct_arc_full`` with ``full=True``, whose ``s12`` field is then the distance).
"""
)


@memory_errors
def points_along(
    ell: Ellipsoid | str | tuple[float, float],
    lat1: Any,
    lon1: Any,
    azi1: Any,
    distances: Any,
    *,
    degrees: bool = False,
) -> np.ndarray[tuple[int, ...], np.dtype[np.void]] | np.void:
    """points_along(ell, lat1, lon1, azi1, distances, *, degrees=False)

    The points at ``distances`` (metres) along the geodesic leaving point 1 with
    azimuth ``azi1``: :func:`direct` with the distances as ``s12``. One geodesic
    (numbers for the start) is set up once for all the distances.
    """
    if not _plain((distances,)):  # one distance stays a number: the one-point path
        distances = numeric("distances", distances)
    return direct(ell, lat1, lon1, azi1, distances, degrees=degrees)


@memory_errors
def waypoints(
    ell: Ellipsoid | str | tuple[float, float],
    lat1: Any,
    lon1: Any,
    lat2: Any,
    lon2: Any,
    n: int,
    *,
    degrees: bool = False,
) -> np.ndarray[tuple[int, ...], np.dtype[np.void]]:
    """waypoints(ell, lat1, lon1, lat2, lon2, n, *, degrees=False)

    ``n`` points equally spaced along the shortest geodesic from point 1 to point 2,
    both ends included (``n >= 2``).

    Returns
    -------
    numpy.ndarray
        ``GeodesicDirect_dtype`` records of shape ``(..., n)``: the broadcast shape of
        the end points, then the points in order.
    """
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)):
        raise TypeError(f"n must be an integer, got {type(n).__name__}")
    if n < 2:
        raise ValueError(f"n must be at least 2 (the two ends), got {n}")
    e = ellipsoid(ell)
    one = _geodesic.waypoints_one(e, lat1, lon1, lat2, lon2, int(n), degrees)
    if one is not None:  # one pair of plain numbers
        return one
    line = np.asarray(inverse(e, lat1, lon1, lat2, lon2, degrees=degrees))
    ends = np.broadcast_arrays(*[np.asarray(a, dtype=np.float64) for a in (lat1, lon1, lat2, lon2)])
    ends = [np.broadcast_to(a, line.shape)[..., np.newaxis] for a in ends]
    bad = np.isnan(line["s12"])
    lat = np.where(bad[..., np.newaxis], np.nan, ends[0])  # warned once, by inverse
    fractions = np.linspace(0.0, 1.0, int(n))
    points = direct(
        e,
        lat,
        ends[1],
        line["azi1"][..., np.newaxis],
        line["s12"][..., np.newaxis] * fractions,
        degrees=degrees,
    )
    # The ends exactly as given (the computed last one is within nanometres of it), their
    # longitudes reduced exactly to [-180, 180) degrees ([-pi, pi)).
    for k, (la, lo) in ((0, ends[:2]), (-1, ends[2:])):
        points["lat2"][..., k] = la[..., 0]
        points["lon2"][..., k] = _reduced_longitudes(lo[..., 0], degrees)
    if bad.any():
        points[bad] = np.full((), np.nan, dtype=GeodesicDirect_dtype)
    return points


def _reduced_longitudes(lon: np.ndarray[Any, Any], degrees: bool) -> np.ndarray[Any, Any]:
    """Longitudes as the angles of [-180, 180) degrees ([-pi, pi)) they stand for, exactly
    (radians of more than a few turns as the kernels reduce them)."""
    flat = np.ascontiguousarray(lon, dtype=np.float64).reshape(-1)
    out = np.empty_like(flat)
    _geodesic.longitudes(flat, out, degrees)
    return out.reshape(np.shape(lon))


def _path(lat: Any, lon: Any, degrees: bool) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]:
    la, lo = numeric("lat", lat), numeric("lon", lon)
    if la.ndim != 1 or lo.ndim != 1 or la.shape != lo.shape:
        raise ValueError(
            f"lat and lon must be 1-D of the same length, got shapes {la.shape} and {lo.shape}"
        )
    la = np.array(la, dtype=np.float64)
    lo = np.array(reduced_degrees(lo) if degrees else lo, dtype=np.float64)
    if degrees:
        np.radians(la, out=la)
        np.radians(lo, out=lo)
    return la, lo


@memory_errors
def line_length(
    ell: Ellipsoid | str | tuple[float, float], lat: Any, lon: Any, *, degrees: bool = False
) -> float:
    """line_length(ell, lat, lon, *, degrees=False)

    The length (metres) of the path of shortest geodesics through the points
    ``(lat[i], lon[i])`` in order (1-D arrays); 0 for fewer than two points.
    """
    e = ellipsoid(ell)
    la, lo = _path(lat, lon, degrees)
    return float(_geodesic.path(e, la, lo, area=False)[1])


@memory_errors
def polygon_area(
    ell: Ellipsoid | str | tuple[float, float],
    lat: Any,
    lon: Any,
    *,
    signed: bool = True,
    degrees: bool = False,
) -> np.void:
    """polygon_area(ell, lat, lon, *, signed=True, degrees=False)

    Area and perimeter of the polygon whose edges are the shortest geodesics between
    consecutive vertices ``(lat[i], lon[i])`` and from the last back to the first (1-D
    arrays; do not repeat the first vertex). Edges may cross the antimeridian and the
    polygon may hold a pole.

    With ``signed=True`` the area is that of the smaller of the two regions the path
    bounds, positive when the path runs counter-clockwise around it and negative
    when clockwise. With ``signed=False`` it is the area of the region to the left of
    the path, in [0, total area): a polygon covering more than half the ellipsoid.

    Returns
    -------
    numpy.void
        One ``PolygonArea_dtype`` record: ``area`` (square metres) and ``perimeter``
        (metres); ``area, perimeter = polygon_area(...)`` unpacks it.
    """
    e = ellipsoid(ell)
    la, lo = _path(lat, lon, degrees)
    area, perimeter = _geodesic.path(e, la, lo, area=True, signed=bool(signed))
    return np.array((area, perimeter), dtype=PolygonArea_dtype)[()]


# -- Geometries --------------------------------------------------------------------------------
# The measures of whole GIS geometries: the registry's geometry entries (``_geometries``).

__all__ += ["geometry_area_perimeter", "geometry_length"]

geometry_area_perimeter = _geometries.public(geometry("geodesic.geometry_area_perimeter"))
geometry_length = _geometries.public(geometry("geodesic.geometry_length"))
