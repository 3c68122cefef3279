"""Element loops of the geodesic problems (see quorvane.mathtools.ellipsoid.geodesic)."""

import numpy as np

from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

_Column = np.ndarray[tuple[int], np.dtype[np.float64]]
_Rows = np.ndarray[tuple[int, int], np.dtype[np.float64]]
_Record = np.ndarray[tuple[int], np.dtype[np.void]]

def inverse(
    ell: Ellipsoid, lat1: _Column, lon1: _Column, lat2: _Column, lon2: _Column, out: _Rows, /
) -> None: ...
def direct(
    ell: Ellipsoid, lat1: _Column, lon1: _Column, azi1: _Column, s12: _Column, out: _Rows, /
) -> None: ...
def inverse_one(
    ell: object, lat1: object, lon1: object, lat2: object, lon2: object, degrees: object, /
) -> _Record | None: ...
def direct_one(
    ell: object, lat1: object, lon1: object, azi1: object, s12: object, degrees: object, /
) -> _Record | None: ...
def waypoints_one(
    ell: Ellipsoid,
    lat1: object,
    lon1: object,
    lat2: object,
    lon2: object,
    n: int,
    degrees: object,
    /,
) -> np.ndarray[tuple[int], np.dtype[np.void]] | None: ...
def longitudes(lon: _Column, out: _Column, degrees: bool, /) -> None: ...
def path(
    ell: Ellipsoid, lat: _Column, lon: _Column, /, *, area: bool = False, signed: bool = False
) -> tuple[float, float]: ...
def geometries(
    ell: Ellipsoid,
    x: _Column,
    y: _Column,
    ring_offsets: np.ndarray[tuple[int], np.dtype[np.int64]],
    part_offsets: np.ndarray[tuple[int], np.dtype[np.int64]],
    geometry_offsets: np.ndarray[tuple[int], np.dtype[np.int64]],
    length: _Column,
    area: _Column | None,
    /,
    *,
    closed: bool = False,
) -> None: ...
