"""Type stubs of ``quorvane.mathtools.ellipsoid.frames``: local frames of an observer.

Angles are radians unless ``degrees=True``, lengths metres. Inputs are numbers, sequences or
arrays of any integer or floating dtype; observers broadcast against the targets. Vector
results are float64 of shape (3,) or (..., 3); geodetic and AER results are records of
``LLA_dtype`` or ``AER_dtype``, shape (1,) for one target.
"""

from collections.abc import Sequence
from typing import Any

import numpy as np

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

type _Real = float | np.integer[Any] | np.floating[Any]
# Numbers, nested sequences of numbers, or arrays of a real dtype.
type _Reals = (
    _Real
    | Sequence[_Real]
    | Sequence[Sequence[_Real]]
    | np.ndarray[Any, np.dtype[np.integer[Any] | np.floating[Any] | np.bool]]
)
type _Vectors = np.ndarray[tuple[int, ...], np.dtype[np.float64]]
type _Records = np.ndarray[tuple[int, ...], np.dtype[np.void]]

def enu_from_pos(
    ell: Ellipsoid,
    r_target: _Reals,
    lat_obs: _Reals,
    lon_obs: _Reals,
    alt_obs: _Reals,
    *,
    degrees: bool = False,
) -> _Vectors: ...
def ned_from_pos(
    ell: Ellipsoid,
    r_target: _Reals,
    lat_obs: _Reals,
    lon_obs: _Reals,
    alt_obs: _Reals,
    *,
    degrees: bool = False,
) -> _Vectors: ...
def pos_from_enu(
    ell: Ellipsoid,
    enu: _Reals,
    lat_obs: _Reals,
    lon_obs: _Reals,
    alt_obs: _Reals,
    *,
    degrees: bool = False,
) -> _Vectors: ...
def pos_from_ned(
    ell: Ellipsoid,
    ned: _Reals,
    lat_obs: _Reals,
    lon_obs: _Reals,
    alt_obs: _Reals,
    *,
    degrees: bool = False,
) -> _Vectors: ...
def lla_from_enu(
    ell: Ellipsoid,
    enu: _Reals,
    lat_obs: _Reals,
    lon_obs: _Reals,
    alt_obs: _Reals,
    *,
    degrees: bool = False,
) -> _Records: ...
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
) -> _Vectors: ...
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
) -> _Records: ...
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
) -> _Vectors: ...
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
) -> _Records: ...
def enu_from_ecef_vector(
    ell: Ellipsoid, v: _Reals, lat_obs: _Reals, lon_obs: _Reals, *, degrees: bool = False
) -> _Vectors: ...
def ecef_vector_from_enu(
    ell: Ellipsoid, v_enu: _Reals, lat_obs: _Reals, lon_obs: _Reals, *, degrees: bool = False
) -> _Vectors: ...
