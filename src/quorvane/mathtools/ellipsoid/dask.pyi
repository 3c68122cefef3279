"""Type stubs of ``quorvane.mathtools.ellipsoid.dask``.

Every array function returns a lazy ``dask.array.Array``; every ``dataframe_*`` function a
``dask.dataframe.DataFrame``.
"""

import argparse
from collections.abc import Sequence
from typing import Any

import numpy as np
from dask.array import Array
from dask.dataframe import DataFrame

from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

__all__ = [
    "aer_coords",
    "dataframe_aer_coords",
    "dataframe_enu",
    "dataframe_geodetic_lat_from_reduced_lat",
    "dataframe_lla_from_pos",
    "dataframe_pos_from_lla",
    "dataframe_reduced_lat_from_geodetic_lat",
    "dataframe_solve_reduced_lat_equation",
    "dataframe_surf_coord_from_surf_pos",
    "dataframe_surf_pos_from_surf_coord",
    "dataframe_surf_pos_of_ray_first_intersection",
    "enu",
    "geodetic_lat_from_reduced_lat",
    "lla_from_pos",
    "parameters",
    "pos_from_lla",
    "reduced_lat_from_geodetic_lat",
    "run_cli_conversion",
    "solve_reduced_lat_equation",
    "surf_coord_from_surf_pos",
    "surf_pos_from_surf_coord",
    "surf_pos_of_ray_first_intersection",
]

ROWS: str
COLUMN: str
WHOLE: str

# An Ellipsoid, a catalogue name, or (Re, f).
type _EllipsoidLike = Ellipsoid | str | tuple[float, float]
type _Number = float | np.integer[Any] | np.floating[Any]
# A Dask array, or an array Dask takes (rows split into blocks).
type _Array = Array | np.ndarray[Any, np.dtype[Any]]
type _Columns = Sequence[str] | None

def parameters(ellipsoid: _EllipsoidLike) -> tuple[float, float]: ...
def reduced_lat_from_geodetic_lat(
    ellipsoid: _EllipsoidLike, geodetic_lat: _Array | _Number
) -> Array: ...
def geodetic_lat_from_reduced_lat(
    ellipsoid: _EllipsoidLike, reduced_lat: _Array | _Number
) -> Array: ...
def enu(ellipsoid: _EllipsoidLike, lat: _Array | _Number, lon: _Array | _Number) -> Array: ...
def surf_pos_from_surf_coord(
    ellipsoid: _EllipsoidLike, lat: _Array | _Number, lon: _Array | _Number
) -> Array: ...
def surf_coord_from_surf_pos(ellipsoid: _EllipsoidLike, r_surf: _Array) -> Array: ...
def solve_reduced_lat_equation(ellipsoid: _EllipsoidLike, r: _Array) -> Array: ...
def lla_from_pos(ellipsoid: _EllipsoidLike, r: _Array) -> Array: ...
def pos_from_lla(
    ellipsoid: _EllipsoidLike,
    lat: _Array | _Number,
    lon: _Array | _Number,
    alt: _Array | _Number,
) -> Array: ...
def surf_pos_of_ray_first_intersection(
    ellipsoid: _EllipsoidLike, r_source: _Array, u_ray: _Array
) -> Array: ...
def aer_coords(
    ellipsoid: _EllipsoidLike,
    r_target: _Array,
    lat_obs: _Number | Array,
    lon_obs: _Number | Array,
    alt_obs: _Number | Array,
) -> Array: ...
def dataframe_reduced_lat_from_geodetic_lat(
    ellipsoid: _EllipsoidLike, frame: DataFrame, *, columns: _Columns = None, keep: bool = True
) -> DataFrame: ...
def dataframe_geodetic_lat_from_reduced_lat(
    ellipsoid: _EllipsoidLike, frame: DataFrame, *, columns: _Columns = None, keep: bool = True
) -> DataFrame: ...
def dataframe_enu(
    ellipsoid: _EllipsoidLike, frame: DataFrame, *, columns: _Columns = None, keep: bool = True
) -> DataFrame: ...
def dataframe_surf_pos_from_surf_coord(
    ellipsoid: _EllipsoidLike, frame: DataFrame, *, columns: _Columns = None, keep: bool = True
) -> DataFrame: ...
def dataframe_surf_coord_from_surf_pos(
    ellipsoid: _EllipsoidLike, frame: DataFrame, *, columns: _Columns = None, keep: bool = True
) -> DataFrame: ...
def dataframe_solve_reduced_lat_equation(
    ellipsoid: _EllipsoidLike, frame: DataFrame, *, columns: _Columns = None, keep: bool = True
) -> DataFrame: ...
def dataframe_lla_from_pos(
    ellipsoid: _EllipsoidLike, frame: DataFrame, *, columns: _Columns = None, keep: bool = True
) -> DataFrame: ...
def dataframe_pos_from_lla(
    ellipsoid: _EllipsoidLike, frame: DataFrame, *, columns: _Columns = None, keep: bool = True
) -> DataFrame: ...
def dataframe_surf_pos_of_ray_first_intersection(
    ellipsoid: _EllipsoidLike,
    frame: DataFrame,
    r_source: _Array,
    *,
    columns: _Columns = None,
    keep: bool = True,
) -> DataFrame: ...
def dataframe_aer_coords(
    ellipsoid: _EllipsoidLike,
    frame: DataFrame,
    lat_obs: _Number,
    lon_obs: _Number,
    alt_obs: _Number,
    *,
    columns: _Columns = None,
    keep: bool = True,
) -> DataFrame: ...

# The command-line tool's --workers and --scheduler: op is one of the tool's operations.
def run_cli_conversion(args: argparse.Namespace, op: Any) -> int: ...
