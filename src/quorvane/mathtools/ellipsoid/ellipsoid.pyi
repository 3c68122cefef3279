"""Type stubs of the compiled module ``quorvane.mathtools.ellipsoid.ellipsoid``.

Angles are radians, lengths metres, positions ECEF. Methods that take angles return a Python
float (or a single 3-vector) for Python numbers and an array for arrays; methods that take
positions accept arrays only, any integer or floating dtype, shape (3,) or (N, 3).
"""

from numbers import Real as Real
from typing import Any, TypeVar, overload

import numpy as np
import numpy as numpy
from typing_extensions import disjoint_base

from quorvane.datamodel import AER_dtype as AER_dtype
from quorvane.datamodel import ENU_dtype as ENU_dtype
from quorvane.datamodel import LLA_dtype as LLA_dtype
from quorvane.datamodel import SurfCoord_dtype as SurfCoord_dtype

_ShapeT = TypeVar("_ShapeT", bound=tuple[int, ...])

# A Python int, float or bool, or a NumPy integer or floating scalar: what the methods take
# for one angle or altitude (numbers.Real at run time).
type _Number = float | np.integer[Any] | np.floating[Any]
# Inputs read element by element: any integer or floating dtype, any memory layout.
type _NumArray = np.ndarray[Any, np.dtype[np.integer[Any] | np.floating[Any]]]
type _Float64Array = np.ndarray[tuple[int, ...], np.dtype[np.float64]]
type _Vector = np.ndarray[tuple[int], np.dtype[np.float64]]
type _Matrix = np.ndarray[tuple[int, int], np.dtype[np.float64]]
# One-dimensional structured arrays of LLA_dtype, AER_dtype, SurfCoord_dtype or ENU_dtype.
type _Records = np.ndarray[tuple[int], np.dtype[np.void]]

__test__: dict[str, Any]

@disjoint_base
class Ellipsoid:
    """Ellipsoid of revolution given by its equatorial radius and flattening.

    ``Re`` in metres, greater than 0; ``f`` in [0.0, 1.0). ``Rp = (1 - f) * Re``.
    """

    def __init__(self, Re: float, f: float) -> None: ...
    @property
    def Re(self) -> float: ...
    @property
    def f(self) -> float: ...
    @property
    def Rp(self) -> float: ...

    # Latitude conversions: a number gives a float, a 1-D float64 array an array of its shape.
    @overload
    def reduced_lat_from_geodetic_lat(self, geodetic_lat: _Number) -> float: ...
    @overload
    def reduced_lat_from_geodetic_lat(
        self, geodetic_lat: np.ndarray[_ShapeT, np.dtype[np.float64]]
    ) -> np.ndarray[_ShapeT, np.dtype[np.float64]]: ...
    @overload
    def geodetic_lat_from_reduced_lat(self, reduced_lat: _Number) -> float: ...
    @overload
    def geodetic_lat_from_reduced_lat(
        self, reduced_lat: np.ndarray[_ShapeT, np.dtype[np.float64]]
    ) -> np.ndarray[_ShapeT, np.dtype[np.float64]]: ...

    # Surface methods.
    # ENU_dtype records (u_east, u_north, u_up): shape (1,) for numbers, (N,) for arrays.
    @overload
    def enu(self, lat: _Number, lon: _Number) -> _Records: ...
    @overload
    def enu(self, lat: _NumArray, lon: _NumArray) -> _Records: ...
    @overload
    def surf_pos_from_surf_coord(self, lat: _Number, lon: _Number) -> _Vector: ...
    @overload
    def surf_pos_from_surf_coord(self, lat: _NumArray, lon: _NumArray) -> _Matrix: ...
    def surf_coord_from_surf_pos(self, r_surf: _NumArray) -> _Records:
        """SurfCoord_dtype records (lat, lon); shape (1,) for a (3,) input, (N,) for (N, 3)."""

    # Geodetic position methods.
    def solve_reduced_lat_equation(self, r: _NumArray) -> float | _Float64Array:
        """A float for r of shape (3,); a float64 array of shape (N,) for r of shape (N, 3)."""

    def lla_from_pos(self, r: _NumArray) -> _Records:
        """LLA_dtype records (lat, lon, alt); shape (1,) for a (3,) input, (N,) for (N, 3)."""

    @overload
    def pos_from_lla(self, lat: _Number, lon: _Number, alt: _Number) -> _Vector: ...
    @overload
    def pos_from_lla(self, lat: _NumArray, lon: _NumArray, alt: _NumArray) -> _Matrix: ...

    # Observation methods.
    def surf_pos_of_ray_first_intersection(
        self, r_source: _NumArray, u_ray: _NumArray
    ) -> _Float64Array:
        """Shape (3,) for a (3,) u_ray, (N, 3) for (N, 3); NaN rows where the line misses."""

    def aer_coords(
        self, r_target: _NumArray, lat_obs: _Number, lon_obs: _Number, alt_obs: _Number
    ) -> _Records:
        """AER_dtype records (azimuth, elevation, range); shape (1,) or (N,)."""

    def __reduce__(self) -> Any: ...
    def __setstate__(self, state: Any) -> Any: ...
