"""The auxiliary latitudes of the ellipsoid, its radii of curvature and the meridian distance.

Six latitudes describe a point on the meridian: geodetic phi (the normal's angle with the
equator), parametric (or reduced) beta, geocentric theta, rectifying mu (proportional to the
distance along the meridian), conformal chi (Mercator, transverse Mercator, stereographic) and
authalic xi (equal-area maps); the isometric latitude psi (rhumb lines) is the conformal one
stretched to the whole real line. :func:`convert` takes any of them to any other.

The algorithms are those of C. F. F. Karney, "On auxiliary latitudes", Survey Review 2023
(arXiv:2212.05818): up to f = 1/25 every conversion is one Fourier series in the third
flattening n, to order n^12 (derived with exact rational arithmetic by
``scripts/latitude_series.py``); beyond, up to any f < 1, the exact forms through the geodetic
latitude (the conformal latitude's tangent, the authalic q function, the meridian arc as an
elliptic integral in Carlson's form) and Newton's method for their inverses. The accuracy
against a 40-digit evaluation of the definitions is in ``bench/results/latitudes-accuracy.md``.

Every function takes the ellipsoid first: an
:class:`~quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid`, a catalogue name (``"WGS84"``) or
an ``(Re, f)`` pair. Angles are radians unless ``degrees=True`` (the isometric latitude too);
lengths are metres (the unit of ``Re``). Numbers or arrays broadcast; numbers give one
float64 (one record for :func:`radii`). A NaN, or a latitude beyond +-90 degrees, gives NaN
(the latter with a RuntimeWarning naming the parameter).
"""

from __future__ import annotations

from dataclasses import replace
from functools import cache
from typing import Any

import numpy as np

from quorvane.mathtools.ellipsoid import _latitudes
from quorvane.mathtools.ellipsoid._engine import ellipsoid, public
from quorvane.mathtools.ellipsoid._registry import KINDS, get
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

__all__ = [
    "KINDS",
    "authalic_radius",
    "convert",
    "from_isometric",
    "isometric",
    "latitude_at_meridian_distance",
    "meridian_distance",
    "radii",
    "rectifying_radius",
]

_ALIASES = {"reduced": "parametric"}

isometric = public(get("latitudes.isometric"))
from_isometric = public(get("latitudes.from_isometric"))
radii = public(get("latitudes.radii"))
meridian_distance = public(get("latitudes.meridian_distance"))
latitude_at_meridian_distance = public(get("latitudes.latitude_at_meridian_distance"))


def _kind(name: str, value: Any) -> str:
    if isinstance(value, str):
        kind = _ALIASES.get(value, value)
        if kind in KINDS:
            return kind
    known = ", ".join(repr(k) for k in (*KINDS, *_ALIASES))
    raise ValueError(f"{name}: unknown latitude kind {value!r}; the kinds are {known}")


@cache
def _conversion(source: str, target: str) -> Any:
    """The public function of one pair of kinds: the engine's face of the loop with the pair
    bound."""
    op = get("latitudes.convert")
    return public(replace(op, exact=f"latitudes.convert:{source}:{target}"), name="convert")


def convert(
    ell: Ellipsoid | str | tuple[float, float],
    lat: Any,
    source: str,
    target: str,
    *,
    degrees: bool = False,
) -> np.float64 | np.ndarray[tuple[int, ...], np.dtype[np.float64]]:
    """convert(ell, lat, source, target, *, degrees=False)

    The latitudes of kind ``target`` whose latitudes of kind ``source`` are ``lat``.

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

    The poles map to the poles and 0 to 0 exactly, and odd symmetry is exact. Latitudes
    beyond the poles give NaN and a RuntimeWarning.
    """
    return _conversion(_kind("source", source), _kind("target", target))(ell, lat, degrees=degrees)


def rectifying_radius(ell: Ellipsoid | str | tuple[float, float]) -> float:
    """rectifying_radius(ell)

    The radius of the sphere whose meridian has the ellipsoid's length: the quarter
    meridian is ``pi/2`` times it (metres, the unit of ``Re``).
    """
    return float(_latitudes.radius(ellipsoid(ell))[0])


def authalic_radius(ell: Ellipsoid | str | tuple[float, float]) -> float:
    """authalic_radius(ell)

    The radius of the sphere of the ellipsoid's area (metres, the unit of ``Re``).
    """
    return float(_latitudes.radius(ellipsoid(ell))[1])
