"""Vectorised element loops (see quorvane.mathtools.ellipsoid.fast)."""

from typing import Any

import numpy as np

from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

_Column = np.ndarray[tuple[int, ...], np.dtype[np.float64]]
_Rows = np.ndarray[tuple[int, ...], np.dtype[np.float64]]

def lla_from_pos(ell: Ellipsoid, r: _Rows, out: _Rows, /) -> None: ...
def pos_from_lla(
    ell: Ellipsoid, lat: _Column, lon: _Column, alt: _Column, out: _Rows, /
) -> None: ...
def aer_coords(
    ell: Ellipsoid, r: _Rows, lat: _Column, lon: _Column, alt: _Column, out: _Rows, /
) -> None: ...
def enu_from_pos(
    ell: Ellipsoid, r: _Rows, lat: _Column, lon: _Column, alt: _Column, out: _Rows, /
) -> None: ...
def geodesic_inverse(
    ell: Ellipsoid,
    lat1: _Column,
    lon1: _Column,
    lat2: _Column,
    lon2: _Column,
    out: _Rows,
    degrees: bool,
    /,
) -> None: ...
def geodesic_direct(
    ell: Ellipsoid,
    lat1: _Column,
    lon1: _Column,
    azi1: _Column,
    s12: _Column,
    out: _Rows,
    degrees: bool,
    /,
) -> None: ...
def rhumb_inverse(
    ell: Ellipsoid, lat1: _Column, lon1: _Column, lat2: _Column, lon2: _Column, out: _Rows, /
) -> None: ...
def rhumb_direct(
    ell: Ellipsoid, lat1: _Column, lon1: _Column, azi12: _Column, s12: _Column, out: _Rows, /
) -> None: ...

# One point of plain numbers: one LLA or AER record (shape (1,)), or a (3,) vector; None
# for anything else.
type _Point = np.ndarray[tuple[int], np.dtype[Any]] | None

def lla_from_pos_point(ell: object, r: object, degrees: object, /) -> _Point: ...
def pos_from_lla_point(
    ell: object, lat: object, lon: object, alt: object, degrees: object, /
) -> _Point: ...
def enu_from_pos_point(
    ell: object, r: object, lat: object, lon: object, alt: object, degrees: object, /
) -> _Point: ...
def aer_coords_point(
    ell: object, r: object, lat: object, lon: object, alt: object, degrees: object, /
) -> _Point: ...
def geodesic_inverse_point(
    ell: object, lat1: object, lon1: object, lat2: object, lon2: object, degrees: object, /
) -> _Point: ...
def geodesic_direct_point(
    ell: object, lat1: object, lon1: object, azi1: object, s12: object, degrees: object, /
) -> _Point: ...
def rhumb_inverse_point(
    ell: object, lat1: object, lon1: object, lat2: object, lon2: object, degrees: object, /
) -> _Point: ...
def rhumb_direct_point(
    ell: object, lat1: object, lon1: object, azi12: object, s12: object, degrees: object, /
) -> _Point: ...
def latitudes_convert(
    ell: Ellipsoid, source: int, target: int, x: _Column, out: _Column, /
) -> None: ...
def latitudes_isometric(ell: Ellipsoid, lat: _Column, out: _Column, /) -> None: ...
def elementary(which: int, x: _Column, y: _Column, out: _Column, /) -> None: ...
def level() -> str: ...
def levels() -> tuple[str, ...]: ...

# The transverse Mercator (central scale 1, radians) and the UTM grid and MGRS on its lanes.
def tm_forward(
    ell: Ellipsoid, lon0: _Column, lat: _Column, lon: _Column, out: _Rows, /
) -> None: ...
def tm_reverse(ell: Ellipsoid, lon0: _Column, x: _Column, y: _Column, out: _Rows, /) -> None: ...
def utm_forward(
    ell: Ellipsoid,
    lat: _Column,
    lon: _Column,
    zone: _Column,
    degrees: bool,
    out: np.ndarray[tuple[int], np.dtype[np.void]],
    /,
) -> None: ...
def utm_reverse(
    ell: Ellipsoid,
    zone: _Column,
    northp: _Column,
    easting: _Column,
    northing: _Column,
    degrees: bool,
    out: _Rows,
    /,
) -> None: ...
def to_mgrs(
    ell: Ellipsoid,
    lat: _Column,
    lon: _Column,
    precision: int,
    degrees: bool,
    out: np.ndarray[tuple[int], np.dtype[np.str_]],
    /,
) -> None: ...
