"""Element loops of the transverse Mercator, UTM/UPS and MGRS (see
quorvane.mathtools.ellipsoid.utm)."""

import numpy as np

from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

_Column = np.ndarray[tuple[int], np.dtype[np.float64]]
_Rows = np.ndarray[tuple[int, int], np.dtype[np.float64]]
_Strings = np.ndarray[tuple[int], np.dtype[np.str_]]
_Bytes = np.ndarray[tuple[int], np.dtype[np.bytes_]]

def tm_forward(
    ell: Ellipsoid, lon0: _Column, lat: _Column, lon: _Column, out: _Rows, /
) -> None: ...
def tm_reverse(ell: Ellipsoid, lon0: _Column, x: _Column, y: _Column, out: _Rows, /) -> None: ...
def forward(
    ell: Ellipsoid,
    lat: _Column,
    lon: _Column,
    zone: _Column,
    degrees: bool,
    out: np.ndarray[tuple[int], np.dtype[np.void]],
    /,
) -> None: ...
def reverse(
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
    ell: Ellipsoid, lat: _Column, lon: _Column, precision: int, degrees: bool, out: _Strings, /
) -> None: ...
def from_mgrs(ell: Ellipsoid, codes: _Bytes, out: _Rows, /) -> tuple[int, int] | None: ...
