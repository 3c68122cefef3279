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

Every function takes the :class:`~quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid`
first. Angles are radians unless ``degrees=True``; lengths are metres; azimuths are
clockwise from north. Numbers or arrays are broadcast against each other (one origin
and many destinations, or pairs); numbers alone give a one-record result, as the
methods do. A NaN, or a latitude outside [-pi/2, pi/2], gives a NaN row; the other
rows are unaffected. At a pole the azimuths follow the longitude given.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from quorvane.datamodel import GeodesicDirect_dtype, GeodesicInverse_dtype
from quorvane.mathtools.ellipsoid import _geodesic
from quorvane.mathtools.ellipsoid._arguments import broadcast_shape, column, numeric
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

__all__ = [
    "MAX_FLATTENING",
    "direct",
    "inverse",
    "line_length",
    "points_along",
    "polygon_area",
    "waypoints",
]

#: The largest flattening the sixth-order series serve; beyond it (up to any f < 1) the
#: integrals are evaluated exactly.
MAX_FLATTENING = 1 / 50


def _columns(
    names: tuple[str, ...], values: tuple[Any, ...], angles: int, degrees: bool
) -> tuple[tuple[int, ...], list[np.ndarray]]:
    """The broadcast shape and one contiguous float64 column per argument (the
    first ``angles`` in radians): its values in broadcast order, or one value."""
    arrays = {n: numeric(n, v) for n, v in zip(names, values)}
    shape = broadcast_shape({n: a.shape for n, a in arrays.items()})
    columns = [column(a, shape, degrees and k < angles) for k, a in enumerate(arrays.values())]
    return shape, columns


def _solve(
    function: Any,
    ell: Any,
    names: tuple[str, ...],
    values: tuple[Any, ...],
    angles: int,
    dtype: np.dtype,
    out_angles: slice,
    degrees: bool,
) -> np.ndarray:
    """The arguments as columns through the element loop ``function``, giving records
    of ``dtype`` (the one-pair functions have declined them)."""
    shape, columns = _columns(names, values, angles, degrees)
    out = np.empty((math.prod(shape), 3), dtype=np.float64)
    function(ell, *columns, out)
    if degrees:
        np.degrees(out[:, out_angles], out=out[:, out_angles])
    return out.view(dtype).reshape(shape if shape else (1,))


def inverse(
    ell: Ellipsoid, lat1: Any, lon1: Any, lat2: Any, lon2: Any, *, degrees: bool = False
) -> np.ndarray:
    """inverse(ell, lat1, lon1, lat2, lon2, *, degrees=False)

    The shortest geodesic between points 1 and 2: its length and the forward
    azimuths at both ends.

    Returns
    -------
    numpy.ndarray
        ``GeodesicInverse_dtype`` records ``(s12, azi1, azi2)``: ``s12`` in metres,
        ``azi1`` and ``azi2`` the direction of travel at points 1 and 2 (clockwise
        from north, in (-pi, pi]). Coincident points give ``s12 = 0``.
    """
    one = _geodesic.inverse_one(ell, lat1, lon1, lat2, lon2, degrees)
    if one is not None:  # plain numbers, in one call
        return one
    return _solve(
        _geodesic.inverse,
        ell,
        ("lat1", "lon1", "lat2", "lon2"),
        (lat1, lon1, lat2, lon2),
        4,
        GeodesicInverse_dtype,
        slice(1, 3),
        degrees,
    )


def direct(
    ell: Ellipsoid, lat1: Any, lon1: Any, azi1: Any, s12: Any, *, degrees: bool = False
) -> np.ndarray:
    """direct(ell, lat1, lon1, azi1, s12, *, degrees=False)

    The point at distance ``s12`` (metres) along the geodesic leaving point 1 with
    azimuth ``azi1``. A negative distance goes backwards; distances past the antipode
    keep going around the ellipsoid.

    Returns
    -------
    numpy.ndarray
        ``GeodesicDirect_dtype`` records ``(lat2, lon2, azi2)``; ``lon2`` in [-pi, pi],
        ``azi2`` the forward azimuth there.
    """
    one = _geodesic.direct_one(ell, lat1, lon1, azi1, s12, degrees)
    if one is not None:  # plain numbers, in one call
        return one
    return _solve(
        _geodesic.direct,
        ell,
        ("lat1", "lon1", "azi1", "s12"),
        (lat1, lon1, azi1, s12),
        3,
        GeodesicDirect_dtype,
        slice(0, 3),
        degrees,
    )


def points_along(
    ell: Ellipsoid, lat1: Any, lon1: Any, azi1: Any, distances: Any, *, degrees: bool = False
) -> np.ndarray:
    """points_along(ell, lat1, lon1, azi1, distances, *, degrees=False)

    The points at ``distances`` (metres) along the geodesic leaving point 1 with
    azimuth ``azi1``: :func:`direct` with the distances as ``s12``. One geodesic
    (numbers for the start) is set up once for all the distances.
    """
    d = numeric("distances", distances)
    return direct(ell, lat1, lon1, azi1, d, degrees=degrees)


def waypoints(
    ell: Ellipsoid, lat1: Any, lon1: Any, lat2: Any, lon2: Any, n: int, *, degrees: bool = False
) -> np.ndarray:
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
    names = ("lat1", "lon1", "lat2", "lon2")
    arrays = [numeric(k, v) for k, v in zip(names, (lat1, lon1, lat2, lon2))]
    line = inverse(ell, *arrays, degrees=degrees)
    shape = np.broadcast_shapes(*(a.shape for a in arrays))
    line = line.reshape(shape)
    fractions = np.linspace(0.0, 1.0, int(n))
    start = [np.asarray(a)[..., np.newaxis] for a in arrays[:2]]
    points = direct(
        ell,
        start[0],
        start[1],
        line["azi1"][..., np.newaxis],
        line["s12"][..., np.newaxis] * fractions,
        degrees=degrees,
    )
    # The ends exactly as given (the computed last one is within nanometres of it).
    turn = 360.0 if degrees else 2 * math.pi
    for k, (lat, lon) in ((0, arrays[:2]), (-1, arrays[2:])):
        points["lat2"][..., k] = lat
        points["lon2"][..., k] = np.remainder(lon + turn / 2, turn) - turn / 2
    bad = np.isnan(line["s12"])
    if bad.any():
        points[bad] = np.full((), np.nan, dtype=GeodesicDirect_dtype)
    return points


def _path(lat: Any, lon: Any, degrees: bool) -> tuple[np.ndarray, np.ndarray]:
    la, lo = numeric("lat", lat), numeric("lon", lon)
    if la.ndim != 1 or lo.ndim != 1 or la.shape != lo.shape:
        raise ValueError(
            f"lat and lon must be 1-D of the same length, got shapes {la.shape} and {lo.shape}"
        )
    la = np.array(la, dtype=np.float64)
    lo = np.array(lo, dtype=np.float64)
    if degrees:
        np.radians(la, out=la)
        np.radians(lo, out=lo)
    return la, lo


def line_length(ell: Ellipsoid, lat: Any, lon: Any, *, degrees: bool = False) -> float:
    """line_length(ell, lat, lon, *, degrees=False)

    The length (metres) of the path of shortest geodesics through the points
    ``(lat[i], lon[i])`` in order (1-D arrays); 0 for fewer than two points.
    """
    la, lo = _path(lat, lon, degrees)
    return float(_geodesic.path(ell, la, lo, area=False)[1])


def polygon_area(
    ell: Ellipsoid, lat: Any, lon: Any, *, signed: bool = True, degrees: bool = False
) -> tuple[float, float]:
    """polygon_area(ell, lat, lon, *, signed=True, degrees=False)

    Area (square metres) and perimeter (metres) of the polygon whose edges are the
    shortest geodesics between consecutive vertices ``(lat[i], lon[i])`` and from the
    last back to the first (1-D arrays; do not repeat the first vertex). Edges may
    cross the antimeridian and the polygon may hold a pole.

    With ``signed=True`` the area is that of the smaller of the two regions the path
    bounds, positive when the path runs counter-clockwise around it and negative
    when clockwise. With ``signed=False`` it is the area of the region to the left of
    the path, in [0, total area): a polygon covering more than half the ellipsoid.
    """
    la, lo = _path(lat, lon, degrees)
    area, perimeter = _geodesic.path(ell, la, lo, area=True, signed=bool(signed))
    return float(area), float(perimeter)
