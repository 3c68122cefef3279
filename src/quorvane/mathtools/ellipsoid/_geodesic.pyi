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

# The problems with every quantity, and the direct problem over an arc.
def inverse_full(
    ell: Ellipsoid, lat1: _Column, lon1: _Column, lat2: _Column, lon2: _Column, out: _Rows, /
) -> None: ...
def direct_full(
    ell: Ellipsoid, lat1: _Column, lon1: _Column, azi1: _Column, s12: _Column, out: _Rows, /
) -> None: ...
def direct_arc(
    ell: Ellipsoid, lat1: _Column, lon1: _Column, azi1: _Column, a12: _Column, out: _Rows, /
) -> None: ...
def direct_arc_full(
    ell: Ellipsoid, lat1: _Column, lon1: _Column, azi1: _Column, a12: _Column, out: _Rows, /
) -> None: ...
def inverse_full_one(
    ell: object, lat1: object, lon1: object, lat2: object, lon2: object, degrees: object, /
) -> _Record | None: ...
def direct_full_one(
    ell: object, lat1: object, lon1: object, azi1: object, s12: object, degrees: object, /
) -> _Record | None: ...
def direct_arc_one(
    ell: object, lat1: object, lon1: object, azi1: object, a12: object, degrees: object, /
) -> _Record | None: ...
def direct_arc_full_one(
    ell: object, lat1: object, lon1: object, azi1: object, a12: object, degrees: object, /
) -> _Record | None: ...

# Rhumb lines.
def rhumb_inverse(
    ell: Ellipsoid, lat1: _Column, lon1: _Column, lat2: _Column, lon2: _Column, out: _Rows, /
) -> None: ...
def rhumb_direct(
    ell: Ellipsoid, lat1: _Column, lon1: _Column, azi12: _Column, s12: _Column, out: _Rows, /
) -> None: ...
def rhumb_inverse_one(
    ell: object, lat1: object, lon1: object, lat2: object, lon2: object, degrees: object, /
) -> _Record | None: ...
def rhumb_direct_one(
    ell: object, lat1: object, lon1: object, azi12: object, s12: object, degrees: object, /
) -> _Record | None: ...
def rhumb_polygon(
    ell: Ellipsoid, lat: _Column, lon: _Column, /, *, signed: bool = False
) -> tuple[float, float]: ...

# Intersections.
def intersect(
    ell: Ellipsoid,
    lat1: _Column,
    lon1: _Column,
    azi1: _Column,
    lat2: _Column,
    lon2: _Column,
    azi2: _Column,
    out: _Rows,
    /,
) -> None: ...
def intersect_segments(
    ell: Ellipsoid,
    lat1a: _Column,
    lon1a: _Column,
    lat1b: _Column,
    lon1b: _Column,
    lat2a: _Column,
    lon2a: _Column,
    lat2b: _Column,
    lon2b: _Column,
    out: _Rows,
    /,
) -> None: ...
def intersect_one(
    ell: object,
    lat1: object,
    lon1: object,
    azi1: object,
    lat2: object,
    lon2: object,
    azi2: object,
    degrees: object,
    /,
) -> _Record | None: ...
def intersect_segments_one(
    ell: object,
    lat1a: object,
    lon1a: object,
    lat1b: object,
    lon1b: object,
    lat2a: object,
    lon2a: object,
    lat2b: object,
    lon2b: object,
    degrees: object,
    /,
) -> _Record | None: ...
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
    rhumb: bool = False,
) -> None: ...
