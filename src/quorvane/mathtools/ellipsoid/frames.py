"""Geodetic coordinates and ECEF positions, and the coordinates of targets in an observer's
local frames, and back.

Geodetic coordinates and ECEF positions (``pos_from_lla``, ``lla_from_pos``, and their
surface forms), East-North-Up (ENU) and North-East-Down (NED) coordinates,
azimuth/elevation/range (AER), in both directions. Every function takes the
ellipsoid first: an :class:`~quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid`, a catalogue name
(``"WGS84"``) or an ``(Re, f)`` pair. Angles are radians unless
``degrees=True``; lengths are metres. Numbers, lists and arrays broadcast together. The
conversions between geodetic coordinates and positions are the ``Ellipsoid`` methods of the
same names bit for bit. A latitude (of a target or an observer) outside [-90, 90] degrees
([-pi/2, pi/2]) gives a NaN row, not the result of the folded latitude, and a RuntimeWarning
naming the parameter (latitudes in degrees passed without ``degrees=True`` are caught so).
Azimuths of observations are in [0, 360) degrees ([0, 2 pi)), clockwise from north.

The observer (``lat_obs``, ``lon_obs``, ``alt_obs``) is numbers, or arrays broadcast
against the targets (one observer per target). Targets are 3-vectors ``(3,)`` or
``(N, 3)`` (any leading shape), or separate coordinate arrays broadcast together. One
point in (plain numbers, or one 3-vector) gives a ``(3,)`` array or one record (a NumPy
record scalar), as NumPy gives scalars for scalars.

The observer's position and frame are those of ``Ellipsoid.enu`` and
``Ellipsoid.aer_coords``; ``aer_from_pos`` gives bit for bit what ``aer_coords`` gives (its
azimuth taken into [0, 2 pi)), and ``aer_from_lla`` what ``aer_from_pos(pos_from_lla(lat, lon,
alt), ...)`` gives. A NaN makes its own row NaN only.
Masked arrays (``numpy.ma``) are refused with a TypeError: their masked values would be
computed as ordinary ones; ``x.filled(np.nan)`` turns them into NaN rows.
"""

from __future__ import annotations

from quorvane.mathtools.ellipsoid._engine import public
from quorvane.mathtools.ellipsoid._registry import get

__all__ = [
    "aer_from_lla",
    "aer_from_pos",
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

# The functions, from their entries in the registry (typed in frames.pyi).
pos_from_lla = public(get("frames.pos_from_lla"))
lla_from_pos = public(get("frames.lla_from_pos"))
surf_pos_from_surf_coord = public(get("frames.surf_pos_from_surf_coord"))
surf_coord_from_surf_pos = public(get("frames.surf_coord_from_surf_pos"))
enu_from_pos = public(get("frames.enu_from_pos"))
ned_from_pos = public(get("frames.ned_from_pos"))
aer_from_pos = public(get("frames.aer_from_pos"))
pos_from_enu = public(get("frames.pos_from_enu"))
pos_from_ned = public(get("frames.pos_from_ned"))
lla_from_enu = public(get("frames.lla_from_enu"))
enu_from_lla = public(get("frames.enu_from_lla"))
aer_from_lla = public(get("frames.aer_from_lla"))
pos_from_aer = public(get("frames.pos_from_aer"))
lla_from_aer = public(get("frames.lla_from_aer"))
enu_from_ecef_vector = public(get("frames.enu_from_ecef_vector"))
ecef_vector_from_enu = public(get("frames.ecef_vector_from_enu"))
