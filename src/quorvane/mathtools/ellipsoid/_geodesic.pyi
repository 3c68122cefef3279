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
    ell: Ellipsoid, lat1: float, lon1: float, lat2: float, lon2: float, degrees: bool, /
) -> _Record: ...
def direct_one(
    ell: Ellipsoid, lat1: float, lon1: float, azi1: float, s12: float, degrees: bool, /
) -> _Record: ...
def path(
    ell: Ellipsoid, lat: _Column, lon: _Column, closed: bool, signed: bool, /
) -> tuple[float, float]: ...
