"""Element loops of the geodesic problems (see quorvane.mathtools.ellipsoid.geodesic)."""

import numpy as np

_Column = np.ndarray[tuple[int], np.dtype[np.float64]]
_Rows = np.ndarray[tuple[int, int], np.dtype[np.float64]]

def inverse(
    a: float, f: float, lat1: _Column, lon1: _Column, lat2: _Column, lon2: _Column, out: _Rows, /
) -> None: ...
def direct(
    a: float, f: float, lat1: _Column, lon1: _Column, azi1: _Column, s12: _Column, out: _Rows, /
) -> None: ...
def inverse_one(
    a: float, f: float, lat1: float, lon1: float, lat2: float, lon2: float, /
) -> tuple[float, float, float]: ...
def direct_one(
    a: float, f: float, lat1: float, lon1: float, azi1: float, s12: float, /
) -> tuple[float, float, float]: ...
def path(
    a: float, f: float, lat: _Column, lon: _Column, closed: bool, signed: bool, /
) -> tuple[float, float]: ...
