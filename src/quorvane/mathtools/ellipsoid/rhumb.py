"""Rhumb lines (loxodromes): the lines of constant azimuth that ships steer and Mercator
charts draw straight. Distances and azimuths between points, destinations, points along a
line and the areas of polygons whose sides are rhumb lines.

The algorithms are those of C. F. F. Karney, "The area of rhumb polygons", Stud. Geophys.
Geod. (2024), on the auxiliary latitudes of :mod:`~quorvane.mathtools.ellipsoid.latitudes`:
the line is straight in the isometric latitude psi and the longitude, its length is the
meridian distance over the cosine of its azimuth, and its area to the equator the integral
of the authalic latitude's sine over psi. The ratio of the meridian distance to psi is taken
as a divided difference, so that lines within a hair of due east or west (where both vanish)
keep their full accuracy. Every flattening ``0 <= f < 1``: Fourier series in the third
flattening up to f = 1/25, the exact forms and a quadrature beyond.

Every function takes the ellipsoid first: an
:class:`~quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid`, a catalogue name (``"WGS84"``) or
an ``(Re, f)`` pair. Angles are radians unless ``degrees=True``; lengths are metres, areas
square metres; azimuths are clockwise from north, in (-180, 180] degrees. Numbers or arrays
broadcast; numbers give one record. A NaN, or a latitude beyond +-90 degrees, gives a NaN row
(the latter with a RuntimeWarning naming the parameter). :func:`inverse` goes the shorter way
in longitude (across the antimeridian where that is shorter); ``S12``, the area between the
line and the equator, is positive for a line going east north of the equator.

Poles: a line to or from a pole is a meridian, and its ``S12`` that of the line that winds
about the pole (``+-c^2`` times the longitude difference, ``c`` the authalic radius), so that
polygon areas with a vertex at a pole come out right. A line of :func:`direct` that reaches a
pole gives the pole and NaN for ``lon2`` and ``S12`` (it winds about the pole without end),
unless it runs along a meridian; one that would pass beyond a pole gives a NaN row.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from quorvane.datamodel import PolygonArea_dtype, RhumbDirect_dtype
from quorvane.mathtools.ellipsoid import _geodesic
from quorvane.mathtools.ellipsoid._engine import ellipsoid, memory_errors, public
from quorvane.mathtools.ellipsoid._registry import get
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid
from quorvane.mathtools.ellipsoid.geodesic import _path, _reduced_longitudes

__all__ = ["direct", "inverse", "polygon_area", "waypoints"]

inverse = public(get("rhumb.inverse"))
direct = public(get("rhumb.direct"))


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

    ``n`` points equally spaced along the rhumb line from point 1 to point 2 (the line of
    :func:`inverse`), both ends included (``n >= 2``).

    Returns
    -------
    numpy.ndarray
        ``RhumbDirect_dtype`` records of shape ``(..., n)``: the broadcast shape of the end
        points, then the points in order (``S12``: the area from point 1 to each).
    """
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)):
        raise TypeError(f"n must be an integer, got {type(n).__name__}")
    if n < 2:
        raise ValueError(f"n must be at least 2 (the two ends), got {n}")
    e = ellipsoid(ell)
    line = np.asarray(inverse(e, lat1, lon1, lat2, lon2, degrees=degrees))
    shape = line.shape
    # Flat rows throughout: a record scalar or a 0-d array of one pair would be indexed by
    # field, which crashes NumPy under a failed allocation (docs/development.rst).
    line = line.reshape(-1)
    ends = np.broadcast_arrays(*[np.asarray(a, dtype=np.float64) for a in (lat1, lon1, lat2, lon2)])
    ends = [a.reshape(-1, 1) for a in ends]
    bad = np.isnan(line["s12"])
    lat = np.where(bad[:, np.newaxis], np.nan, ends[0])  # warned once, by inverse
    fractions = np.linspace(0.0, 1.0, int(n))
    points = direct(
        e,
        lat,
        ends[1],
        line["azi12"][:, np.newaxis],
        line["s12"][:, np.newaxis] * fractions,
        degrees=degrees,
    )
    # The ends exactly as given, their longitudes reduced exactly to [-180, 180) degrees; the
    # last one's area that of the line itself.
    for k, (la, lo) in ((0, ends[:2]), (-1, ends[2:])):
        points["lat2"][:, k] = la[:, 0]
        points["lon2"][:, k] = _reduced_longitudes(lo[:, 0], degrees)
    points["S12"][:, -1] = line["S12"]
    if bad.any():
        points[bad] = np.full((), np.nan, dtype=RhumbDirect_dtype)
    return points.reshape(*shape, int(n))


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

    Area and perimeter of the polygon whose sides are the rhumb lines between consecutive
    vertices ``(lat[i], lon[i])`` and from the last back to the first (1-D arrays; do not
    repeat the first vertex), each the shorter way in longitude: a rectangle of two parallels
    and two meridians is four vertices. Sides may cross the antimeridian and the polygon may
    hold a pole.

    With ``signed=True`` the area is that of the smaller of the two regions the path bounds,
    positive when the path runs counter-clockwise around it and negative when clockwise; with
    ``signed=False`` the area of the region to the left of the path, in [0, total area).

    Returns
    -------
    numpy.void
        One ``PolygonArea_dtype`` record: ``area`` (square metres) and ``perimeter``
        (metres).
    """
    e = ellipsoid(ell)
    la, lo = _path(lat, lon, degrees)
    area, perimeter = _geodesic.rhumb_polygon(e, la, lo, signed=bool(signed))
    return np.array((area, perimeter), dtype=PolygonArea_dtype)[()]
