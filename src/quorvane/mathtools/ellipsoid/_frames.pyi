"""Element loops of the local-frame conversions (see quorvane.mathtools.ellipsoid.frames).

Each conversion fills ``out`` row by row from (N, 3) float64 ``source`` rows and (N, 3) or
(1, 3) geodetic ``observers`` rows (radians), each of any strides and alignment. Its ``_point``
form takes the frames function's own arguments and returns the result of one point of plain
numbers, or None for anything else.
"""

from typing import Any

import numpy as np

type _Rows = np.ndarray[tuple[int, int], np.dtype[np.float64]]
type _Point = np.ndarray[tuple[int], np.dtype[Any]] | None

def enu_from_pos(ell: object, source: _Rows, observers: _Rows, out: _Rows, /) -> None: ...
def ned_from_pos(ell: object, source: _Rows, observers: _Rows, out: _Rows, /) -> None: ...
def enu_from_lla(ell: object, source: _Rows, observers: _Rows, out: _Rows, /) -> None: ...
def aer_from_lla(ell: object, source: _Rows, observers: _Rows, out: _Rows, /) -> None: ...
def aer_from_pos(ell: object, source: _Rows, observers: _Rows, out: _Rows, /) -> None: ...
def pos_from_enu(ell: object, source: _Rows, observers: _Rows, out: _Rows, /) -> None: ...
def pos_from_ned(ell: object, source: _Rows, observers: _Rows, out: _Rows, /) -> None: ...
def lla_from_enu(ell: object, source: _Rows, observers: _Rows, out: _Rows, /) -> None: ...
def pos_from_aer(ell: object, source: _Rows, observers: _Rows, out: _Rows, /) -> None: ...
def lla_from_aer(ell: object, source: _Rows, observers: _Rows, out: _Rows, /) -> None: ...
def enu_from_ecef_vector(ell: object, source: _Rows, observers: _Rows, out: _Rows, /) -> None: ...
def ecef_vector_from_enu(ell: object, source: _Rows, observers: _Rows, out: _Rows, /) -> None: ...
def enu_from_pos_point(
    ell: object,
    vector: object,
    lat_obs: object,
    lon_obs: object,
    alt_obs: object,
    degrees: object,
    /,
) -> _Point: ...
def ned_from_pos_point(
    ell: object,
    vector: object,
    lat_obs: object,
    lon_obs: object,
    alt_obs: object,
    degrees: object,
    /,
) -> _Point: ...
def enu_from_lla_point(
    ell: object,
    lat: object,
    lon: object,
    alt: object,
    lat_obs: object,
    lon_obs: object,
    alt_obs: object,
    degrees: object,
    /,
) -> _Point: ...
def aer_from_lla_point(
    ell: object,
    lat: object,
    lon: object,
    alt: object,
    lat_obs: object,
    lon_obs: object,
    alt_obs: object,
    degrees: object,
    /,
) -> _Point: ...
def aer_from_pos_point(
    ell: object,
    vector: object,
    lat_obs: object,
    lon_obs: object,
    alt_obs: object,
    degrees: object,
    /,
) -> _Point: ...
def pos_from_enu_point(
    ell: object,
    vector: object,
    lat_obs: object,
    lon_obs: object,
    alt_obs: object,
    degrees: object,
    /,
) -> _Point: ...
def pos_from_ned_point(
    ell: object,
    vector: object,
    lat_obs: object,
    lon_obs: object,
    alt_obs: object,
    degrees: object,
    /,
) -> _Point: ...
def lla_from_enu_point(
    ell: object,
    vector: object,
    lat_obs: object,
    lon_obs: object,
    alt_obs: object,
    degrees: object,
    /,
) -> _Point: ...
def pos_from_aer_point(
    ell: object,
    azimuth: object,
    elevation: object,
    range: object,
    lat_obs: object,
    lon_obs: object,
    alt_obs: object,
    degrees: object,
    /,
) -> _Point: ...
def lla_from_aer_point(
    ell: object,
    azimuth: object,
    elevation: object,
    range: object,
    lat_obs: object,
    lon_obs: object,
    alt_obs: object,
    degrees: object,
    /,
) -> _Point: ...
def enu_from_ecef_vector_point(
    ell: object,
    vector: object,
    lat_obs: object,
    lon_obs: object,
    alt_obs: object,
    degrees: object,
    /,
) -> _Point: ...
def ecef_vector_from_enu_point(
    ell: object,
    vector: object,
    lat_obs: object,
    lon_obs: object,
    alt_obs: object,
    degrees: object,
    /,
) -> _Point: ...
def lla_from_pos_point(ell: object, r: object, degrees: object, /) -> _Point: ...
def surf_coord_from_surf_pos_point(ell: object, r: object, degrees: object, /) -> _Point: ...
