"""Vectorised geodetic conversions: several points per instruction, for clouds of
millions of points.

Each function is the vectorised kernel of the function of the same name in
:mod:`~quorvane.mathtools.ellipsoid.frames` (``aer_coords`` is ``frames.aer_from_pos``, also
named ``aer_from_pos`` here; ``latitudes_convert`` and ``latitudes_isometric`` are those of
``latitudes.convert`` and ``latitudes.isometric``), with the same face: the ellipsoid first (an ``Ellipsoid``, a
catalogue name or an ``(Re, f)`` pair), numbers, lists and arrays of any real dtype and any
layout (strided, unaligned) broadcast together, radians unless ``degrees=True``, lengths in the
unit of ``Re``, latitudes beyond the poles NaN rows with a RuntimeWarning, azimuths of
observations in [0, 360) degrees, one record or one (3,) vector for one point.

The results are not bit-identical to the methods: the formulas are chosen for speed and
accuracy rather than the methods' fixed order. ECEF to geodetic solves the foot-point
equation for the sine and cosine of the reduced latitude by Newton steps without
trigonometry in the loop (after T. Fukushima, "Transformation from Cartesian to geodetic
coordinates accelerated by Halley's method", J. Geodesy 79, 2006), then takes one
arctangent; geodetic to ECEF uses the prime-vertical radius; azimuth, elevation and range
rotate the offset from the observer into East-North-Up and take both angles by an
arctangent, well-conditioned at every elevation. On WGS84 within 1e6 m of the surface the
latitude is within 4e-16 rad of the truth and the altitude within 2 units in the last place
of max(Re, \\|r\\|).

Points where these formulas lose accuracy or range take the methods' exact kernel, point by
point: within Re / 4 of the centre, exactly on the polar axis, lengths beyond about 2^490 or
below 2^-490 (``aer_coords`` serves targets at any finite distance: it scales far offsets
before squaring them), flattenings above 1/100 (for ``lla_from_pos``), latitudes outside
[-pi/2, pi/2], longitudes beyond 2^20 rad, a target straight above or below its observer,
and NaN or infinite values (whose rows are then those of the methods).

``geodesic_inverse`` and ``geodesic_direct`` are the vectorised kernels of
:mod:`~quorvane.mathtools.ellipsoid.geodesic`'s ``inverse`` and ``direct``, with their records:
Karney's series ("Algorithms for geodesics", J. Geodesy 87, 2013) in lanes, Newton's method on
the azimuth at point 1 with a convergence mask per lane, the astroid start near the antipode.
On the stored 40-digit truth they meet the exact module's bounds in every region. Flattenings
above 1/50, meridional and equatorial geodesics, nearly antipodal pairs mirrored exactly in the
equator, longitudes beyond 10 rad, azimuths beyond 2^20 rad, distances beyond a full turn and
NaN or infinite values take the exact kernels, pair by pair.

``tm_forward`` and ``tm_reverse`` are the vectorised kernels of
:mod:`~quorvane.mathtools.ellipsoid.utm`'s (central scale 1; ``utm.tm_forward(..., k0=k0,
fast=True)`` scales them): Krueger's series to order n^12 (Karney, "Transverse Mercator with an
accuracy of a few nanometers", J. Geodesy 85, 2011) summed in lanes on the lanes' own sine,
cosine, arctangent, logarithm and hyperbolic functions, within the exact kernel's bounds of the
truth. NaN and infinite values, the poles and points beyond the series' domain (eta = 1) take
the exact kernel, point by point. ``utm_forward``, ``utm_reverse`` and ``to_mgrs`` are
``utm.forward``, ``utm.reverse`` and ``utm.to_mgrs`` with ``fast=True``: the UTM points of the
grid on those lanes, UPS by the exact kernel.

``rhumb_inverse`` and ``rhumb_direct`` are the vectorised kernels of
:mod:`~quorvane.mathtools.ellipsoid.rhumb`'s ``inverse`` and ``direct``, with their records
(``S12`` included): the exact kernel's series path (Karney, "The area of rhumb polygons", 2024),
with the divided differences that keep lines nearly due east or west accurate, in lanes. On the
stored 40-digit truth they meet the exact module's bounds on every kind of line. Flattenings
above 1/25, a pole at either end, longitudes beyond 10 rad, longitude differences within 1e-10
of a half turn, coincident points, NaN or infinite values and, for ``rhumb_direct``, courses
that come within 1e-9 rad of a pole or turn more than 10 rad in longitude take the exact
kernels, line by line.

The instruction-set level (``scalar``, ``sse2``, ``avx2``, ``avx512`` on x86-64; ``neon``
on arm64) is the best the machine has; the environment variable ``QUORVANE_SIMD``
forces one (for tests and bug reports). Every level gives the same bits. Long loops
release the interpreter lock and are split over threads, as the methods' loops are
(``QUORVANE_NUM_THREADS`` caps the threads).
"""

from __future__ import annotations

from dataclasses import replace
from functools import cache
from typing import Any

import numpy as np

from quorvane.mathtools.ellipsoid import _fast
from quorvane.mathtools.ellipsoid._engine import public
from quorvane.mathtools.ellipsoid._registry import get
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

__all__ = [
    "aer_coords",
    "aer_from_pos",
    "enu_from_pos",
    "geodesic_direct",
    "geodesic_inverse",
    "latitudes_convert",
    "latitudes_isometric",
    "level",
    "levels",
    "lla_from_pos",
    "pos_from_lla",
    "rhumb_direct",
    "rhumb_inverse",
    "tm_forward",
    "tm_reverse",
    "to_mgrs",
    "utm_forward",
    "utm_reverse",
]


def level() -> str:
    """The instruction-set level the conversions run at now: the best this machine
    has, or the one ``QUORVANE_SIMD`` names.

    Raises
    ------
    ValueError
        If ``QUORVANE_SIMD`` names a level this machine or build lacks.
    """
    return str(_fast.level())


def levels() -> tuple[str, ...]:
    """The instruction-set levels this machine runs, best last (each a value of
    ``QUORVANE_SIMD``)."""
    return tuple(_fast.levels())


# The vectorised kernels of the registry's entries that have one (typed in fast.pyi).
lla_from_pos = public(get("frames.lla_from_pos"), fast=True)
pos_from_lla = public(get("frames.pos_from_lla"), fast=True)
enu_from_pos = public(get("frames.enu_from_pos"), fast=True)
aer_from_pos = public(get("frames.aer_from_pos"), fast=True)
aer_coords = public(get("frames.aer_from_pos"), fast=True, name="aer_coords")
geodesic_inverse = public(get("geodesic.inverse"), fast=True, name="geodesic_inverse")
geodesic_direct = public(get("geodesic.direct"), fast=True, name="geodesic_direct")
latitudes_isometric = public(get("latitudes.isometric"), fast=True, name="latitudes_isometric")
tm_forward = public(get("utm.tm_forward"), fast=True, name="tm_forward")
utm_forward = public(get("utm.forward"), fast=True, name="utm_forward")
utm_reverse = public(get("utm.reverse"), fast=True, name="utm_reverse")
to_mgrs = public(get("utm.to_mgrs"), fast=True, name="to_mgrs")
tm_reverse = public(get("utm.tm_reverse"), fast=True, name="tm_reverse")
rhumb_inverse = public(get("rhumb.inverse"), fast=True, name="rhumb_inverse")
rhumb_direct = public(get("rhumb.direct"), fast=True, name="rhumb_direct")


@cache
def _latitude_conversion(source: str, target: str) -> Any:
    op = get("latitudes.convert")
    bound = replace(op, exact=f"latitudes.convert:{source}:{target}")
    return public(bound, fast=True, name="latitudes_convert")


def latitudes_convert(
    ell: Ellipsoid | str | tuple[float, float],
    lat: Any,
    source: str,
    target: str,
    *,
    degrees: bool = False,
) -> np.float64 | np.ndarray[tuple[int, ...], np.dtype[np.float64]]:
    """latitudes_convert(ell, lat, source, target, *, degrees=False)

    The vectorised kernel of :func:`~quorvane.mathtools.ellipsoid.latitudes.convert`, with
    its arguments and results: the latitudes of kind ``target`` whose latitudes of kind
    ``source`` are ``lat``.

    Parameters
    ----------
    ell : Ellipsoid, str or (Re, f)
        The ellipsoid, or its catalogue name.
    lat : array_like
        Latitudes of kind ``source`` (radians, or degrees with ``degrees=True``).
    source, target : str
        ``"geodetic"``, ``"parametric"`` (or ``"reduced"``), ``"geocentric"``,
        ``"rectifying"``, ``"conformal"`` or ``"authalic"``.
    degrees : bool
        Angles in and out in degrees instead of radians.

    Returns
    -------
    float64 latitudes: one for a plain number, else of the shape of ``lat``.

    Up to f = 1/25 each conversion is the exact kernel's Fourier series (Karney, "On
    auxiliary latitudes", 2023), summed several latitudes at a time on the lanes' own sine
    and cosine: not its bits, but within the same bound of the truth. The poles, NaN and
    latitudes beyond the poles, and every latitude of a larger flattening, are the exact
    kernel's.
    """
    from quorvane.mathtools.ellipsoid.latitudes import _kind

    conversion = _latitude_conversion(_kind("source", source), _kind("target", target))
    return conversion(ell, lat, degrees=degrees)
