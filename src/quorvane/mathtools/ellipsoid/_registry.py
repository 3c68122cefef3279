"""Every operation of the companion modules, described once.

An entry says what an operation takes (each input's name, unit, and whether it is a
3-vector), what it gives (a record dtype, or 3-vectors, with the fields that are angles),
which kernel computes it exactly and which vectorised kernel computes it fast, and a summary.
The public functions of ``frames``, ``geodesic`` and ``fast`` are built from these entries
(``_engine.public``), and so are their typing stubs (``python -m
quorvane.mathtools.ellipsoid._registry --stubs``), the Dask functions' units and the reference
pages. Adding an operation is a kernel and one entry here.

Kernels are named ``family.name``: ``method.X`` is the ``Ellipsoid`` method ``X``;
``frames.X``, ``geodesic.X``, ``latitudes.X`` and ``fast.X`` the element loops of the private
extensions ``_frames``, ``_geodesic``, ``_latitudes`` and ``_fast``. Their calling conventions
are in ``_engine``. A conversion between auxiliary latitudes is one loop whose two kinds are
constants: ``latitudes.convert:SOURCE:TARGET`` (``latitudes.convert`` binds them per call).
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass, field
from typing import Literal

import numpy as np

from quorvane.datamodel import (
    AER_dtype,
    ENU_dtype,
    GeodesicDirect_dtype,
    GeodesicDirectFull_dtype,
    GeodesicIntersection_dtype,
    GeodesicInverse_dtype,
    GeodesicInverseFull_dtype,
    LLA_dtype,
    PolygonArea_dtype,
    RhumbDirect_dtype,
    RhumbInverse_dtype,
    SegmentIntersection_dtype,
    SurfCoord_dtype,
)

__all__ = [
    "GEOMETRIES",
    "KINDS",
    "OPERATIONS",
    "GeometryEntry",
    "Input",
    "Operation",
    "Option",
    "Output",
    "by_module",
    "entry",
    "geometry",
    "get",
]

# latitude: an angle in [-90, 90] degrees, NaN (with a warning) beyond; angle: any angle;
# unbounded: an angle that is no direction and is never reduced by turns (the isometric
# latitude); length: metres (or the unit of Re); vector: three lengths, an array of shape
# (..., 3). Inputs that are no real numbers: integer (whole numbers within ``bounds``), bool
# (true or false; numbers: not 0), text (strings).
# geometry: GIS geometries (shapely, GeoPandas, GeoArrow) whose coordinates are (lon, lat) in
# degrees, measured whole (``GeometryEntry``).
type Unit = Literal[
    "latitude", "angle", "unbounded", "length", "vector", "integer", "bool", "text", "geometry"
]


@dataclass(frozen=True, slots=True)
class Input:
    name: str
    unit: Unit
    text: str  # what it is, for the docstring
    # An integer's range, and what a value in it is (for errors: "a zone number 0-60").
    bounds: tuple[int, int] | None = None
    domain: str = ""
    # A keyword input that may be left out (None): the kernel then takes this value.
    absent: float | None = None

    @property
    def angle(self) -> bool:
        return self.unit in ("latitude", "angle", "unbounded")


@dataclass(frozen=True, slots=True)
class Option:
    """An integer keyword given once per call (not a column): ``precision=5``."""

    name: str
    default: int
    bounds: tuple[int, int]
    text: str  # what it is, for the docstring and the command line's help
    metavar: str = "N"


@dataclass(frozen=True, slots=True)
class Output:
    """A record dtype (``dtype``), or 3-vectors of float64 when ``dtype`` is None. A record
    of one field is one value per point (the field names it). Records of float64 fields are
    filled by the kernels as rows of float64; records with other fields (integers, bools,
    fixed-width strings) are ``typed``: the kernels fill the records themselves."""

    dtype: np.dtype | None
    angles: tuple[str, ...] = ()  # the fields that are angles (radians, or degrees)
    azimuth: str | None = None  # an observation's azimuth, given in [0, 360) degrees
    text: str = ""

    typed: bool = field(init=False)

    def __post_init__(self) -> None:
        dtype = self.dtype
        other = [n for n in (dtype.names or ()) if dtype[n].base != np.float64] if dtype else []
        object.__setattr__(self, "typed", bool(other))

    @property
    def width(self) -> int:
        return 3 if self.dtype is None else self.dtype.itemsize // 8


@dataclass(frozen=True, slots=True)
class Operation:
    # The public module: "frames" or "geodesic"; "ellipsoid" for an Ellipsoid method that no
    # companion module offers as it is (Dask has a function for it).
    module: str
    name: str
    summary: str
    inputs: tuple[Input, ...]
    output: Output
    exact: str  # family.name of the exact kernel
    fast: str | None = None  # family.name of the vectorised kernel, where one exists
    notes: str = ""
    # Keyword flags of the public function besides ``degrees`` (bool, default False): it
    # chooses among entries by them (``geodesic.inverse(..., full=True)``).
    flags: tuple[str, ...] = ()
    # Inputs given by keyword, which may be left out (``zone=None``), after ``inputs``.
    keywords: tuple[Input, ...] = ()
    # Integer keywords given once per call, passed to the kernel after the inputs.
    options: tuple[Option, ...] = ()
    # The kernel takes ``degrees`` and converts its angles itself (the engine converts none).
    kernel_degrees: bool = False
    # Where a latitude is out of range, the whole row is NaN.
    latitudes: tuple[str, ...] = field(init=False)

    def __post_init__(self) -> None:
        lats = tuple(i.name for i in self.inputs + self.keywords if i.unit == "latitude")
        object.__setattr__(self, "latitudes", lats)

    @property
    def qualname(self) -> str:
        return f"{self.module}.{self.name}"


# -- Inputs shared by several entries ---------------------------------------------------------

_LAT = Input("lat", "latitude", "geodetic latitude")
_LON = Input("lon", "angle", "longitude")
_ALT = Input("alt", "length", "altitude above the ellipsoid along its normal (metres)")
_R = Input("r", "vector", "ECEF positions (metres), shape (3,) or (..., 3)")
_TARGET = Input("r_target", "vector", "ECEF positions of the targets (metres), (3,) or (..., 3)")
_OBSERVER = (
    Input("lat_obs", "latitude", "the observer's geodetic latitude"),
    Input("lon_obs", "angle", "the observer's longitude"),
    Input("alt_obs", "length", "the observer's altitude (metres)"),
)
_AER_IN = (
    Input("azimuth", "angle", "azimuth, clockwise from north"),
    Input("elevation", "angle", "elevation above the local horizontal"),
    Input("range", "length", "slant range (metres)"),
)

_VECTORS = Output(None, text="float64 array of shape (3,) for one point, else (..., 3)")
_LLA = Output(LLA_dtype, ("lat", "lon"), text="LLA_dtype records (lat, lon, alt)")
_SURF = Output(SurfCoord_dtype, ("lat", "lon"), text="SurfCoord_dtype records (lat, lon)")
_AER = Output(
    AER_dtype,
    ("azimuth", "elevation"),
    azimuth="azimuth",
    text="AER_dtype records (azimuth in [0, 360) degrees or [0, 2 pi), elevation, range)",
)
_INVERSE = Output(
    GeodesicInverse_dtype,
    ("azi1", "azi2"),
    text="GeodesicInverse_dtype records (s12, azi1, azi2): the length in metres, the forward "
    "azimuths at both ends in (-180, 180] degrees (or (-pi, pi])",
)
_DIRECT = Output(
    GeodesicDirect_dtype,
    ("lat2", "lon2", "azi2"),
    text="GeodesicDirect_dtype records (lat2, lon2, azi2): the point reached, lon2 in "
    "[-180, 180], and the forward azimuth there",
)


def _frame(
    name: str, summary: str, inputs: tuple[Input, ...], output: Output, **kw: str
) -> Operation:
    return Operation("frames", name, summary, inputs, output, exact=f"frames.{name}", **kw)


OPERATIONS: tuple[Operation, ...] = (
    # Geodetic coordinates and positions: the Ellipsoid methods of the same names, bit for bit.
    Operation(
        "frames",
        "pos_from_lla",
        "ECEF positions (metres) of geodetic latitude, longitude and altitude.",
        (_LAT, _LON, _ALT),
        _VECTORS,
        exact="method.pos_from_lla",
        fast="fast.pos_from_lla",
    ),
    Operation(
        "frames",
        "lla_from_pos",
        "Geodetic coordinates of ECEF positions: the foot of the nearest normal.",
        (_R,),
        _LLA,
        exact="method.lla_from_pos",
        fast="fast.lla_from_pos",
    ),
    Operation(
        "frames",
        "surf_pos_from_surf_coord",
        "ECEF positions (metres) of the surface points at geodetic latitude and longitude.",
        (_LAT, _LON),
        _VECTORS,
        exact="method.surf_pos_from_surf_coord",
    ),
    Operation(
        "frames",
        "surf_coord_from_surf_pos",
        "Geodetic latitude and longitude of points on the surface.",
        (Input("r", "vector", "ECEF positions of surface points (metres)"),),
        _SURF,
        exact="method.surf_coord_from_surf_pos",
    ),
    # Local frames of an observer.
    _frame(
        "enu_from_pos",
        "East, north and up coordinates (metres) of ECEF targets in the observer's frame.",
        (_TARGET, *_OBSERVER),
        _VECTORS,
        fast="fast.enu_from_pos",
    ),
    _frame(
        "ned_from_pos",
        "North, east and down coordinates (metres) of ECEF targets in the observer's frame.",
        (_TARGET, *_OBSERVER),
        _VECTORS,
    ),
    _frame(
        "aer_from_pos",
        "Azimuth, elevation and range of ECEF targets seen from the observer.",
        (_TARGET, *_OBSERVER),
        _AER,
        fast="fast.aer_coords",
    ),
    _frame(
        "pos_from_enu",
        "ECEF positions of east, north, up coordinates in the observer's frame.",
        (Input("enu", "vector", "east, north, up (metres), (3,) or (..., 3)"), *_OBSERVER),
        _VECTORS,
    ),
    _frame(
        "pos_from_ned",
        "ECEF positions of north, east, down coordinates in the observer's frame.",
        (Input("ned", "vector", "north, east, down (metres), (3,) or (..., 3)"), *_OBSERVER),
        _VECTORS,
    ),
    _frame(
        "lla_from_enu",
        "Geodetic coordinates of east, north, up coordinates in the observer's frame.",
        (Input("enu", "vector", "east, north, up (metres), (3,) or (..., 3)"), *_OBSERVER),
        _LLA,
    ),
    _frame(
        "enu_from_lla",
        "East, north and up coordinates (metres) of geodetic targets in the observer's frame.",
        (_LAT, _LON, _ALT, *_OBSERVER),
        _VECTORS,
    ),
    _frame(
        "aer_from_lla",
        "Azimuth, elevation and range of geodetic targets seen from the observer.",
        (_LAT, _LON, _ALT, *_OBSERVER),
        _AER,
    ),
    _frame(
        "pos_from_aer",
        "ECEF positions of targets at azimuth, elevation and range from the observer.",
        (*_AER_IN, *_OBSERVER),
        _VECTORS,
    ),
    _frame(
        "lla_from_aer",
        "Geodetic coordinates of targets at azimuth, elevation and range from the observer.",
        (*_AER_IN, *_OBSERVER),
        _LLA,
    ),
    _frame(
        "enu_from_ecef_vector",
        "East, north and up components of ECEF vectors (a rotation, no translation).",
        (Input("v", "vector", "ECEF vectors, (3,) or (..., 3)"), *_OBSERVER[:2]),
        _VECTORS,
    ),
    _frame(
        "ecef_vector_from_enu",
        "ECEF components of vectors given by east, north, up components (a rotation).",
        (Input("v_enu", "vector", "east, north, up components, (3,) or (..., 3)"), *_OBSERVER[:2]),
        _VECTORS,
    ),
    # Geodesics.
    Operation(
        "geodesic",
        "inverse",
        "The shortest geodesic between points 1 and 2: its length and the azimuths at both ends.",
        (
            Input("lat1", "latitude", "latitude of point 1"),
            Input("lon1", "angle", "longitude of point 1"),
            Input("lat2", "latitude", "latitude of point 2"),
            Input("lon2", "angle", "longitude of point 2"),
        ),
        _INVERSE,
        exact="geodesic.inverse",
        fast="fast.geodesic_inverse",
        notes="Coincident points give s12 = 0. At a pole the azimuths follow the longitude given.",
        flags=("full",),
    ),
    Operation(
        "geodesic",
        "direct",
        "The point at distance s12 along the geodesic leaving point 1 with azimuth azi1.",
        (
            Input("lat1", "latitude", "latitude of point 1"),
            Input("lon1", "angle", "longitude of point 1"),
            Input("azi1", "angle", "azimuth at point 1, clockwise from north"),
            Input("s12", "length", "distance (metres); negative goes backwards"),
        ),
        _DIRECT,
        exact="geodesic.direct",
        fast="fast.geodesic_direct",
        notes="Distances past the antipode keep going around the ellipsoid.",
        flags=("full", "arc"),
    ),
    # Ellipsoid methods that only Dask offers as they are. A method that takes 3-vectors gets
    # rows of its last vector input and one value of each other input per call (the origin of
    # the rays, the observer).
    Operation(
        "ellipsoid",
        "reduced_lat_from_geodetic_lat",
        "Reduced (parametric) latitudes of geodetic latitudes.",
        (Input("geodetic_lat", "latitude", "geodetic latitude"),),
        Output(np.dtype([("reduced_lat", np.float64)]), ("reduced_lat",), text="float64"),
        exact="method.reduced_lat_from_geodetic_lat",
    ),
    Operation(
        "ellipsoid",
        "geodetic_lat_from_reduced_lat",
        "Geodetic latitudes of reduced (parametric) latitudes.",
        (Input("reduced_lat", "latitude", "reduced latitude"),),
        Output(np.dtype([("lat", np.float64)]), ("lat",), text="float64"),
        exact="method.geodetic_lat_from_reduced_lat",
    ),
    Operation(
        "ellipsoid",
        "enu",
        "The local East-North-Up frames at geodetic latitude and longitude: ECEF unit vectors.",
        (_LAT, _LON),
        Output(ENU_dtype, text="ENU_dtype records (u_east, u_north, u_up)"),
        exact="method.enu",
    ),
    Operation(
        "ellipsoid",
        "solve_reduced_lat_equation",
        "Reduced latitudes of the feet of the normals through ECEF positions.",
        (_R,),
        Output(np.dtype([("reduced_lat", np.float64)]), ("reduced_lat",), text="float64"),
        exact="method.solve_reduced_lat_equation",
    ),
    Operation(
        "ellipsoid",
        "surf_pos_of_ray_first_intersection",
        "Where rays from an origin first meet the surface (ECEF, metres); NaN where they miss.",
        (
            Input("r_source", "vector", "ECEF position of the rays' origin (metres)"),
            Input("u_ray", "vector", "directions of the rays (any length)"),
        ),
        _VECTORS,
        exact="method.surf_pos_of_ray_first_intersection",
    ),
    Operation(
        "ellipsoid",
        "aer_coords",
        "Azimuth, elevation and range of ECEF targets seen from the observer.",
        (_TARGET, *_OBSERVER),
        _AER,
        exact="method.aer_coords",
        fast="fast.aer_coords",
    ),
)

# The auxiliary latitudes, in the order of the kernels' Kind; "reduced" is another name of the
# parametric latitude.
KINDS = ("geodetic", "parametric", "geocentric", "rectifying", "conformal", "authalic")

_LATITUDE = Output(np.dtype([("lat", np.float64)]), ("lat",), text="float64 latitudes")
_LATITUDES = (
    Operation(
        "latitudes",
        "convert",
        "Latitudes of kind ``target`` whose latitudes of kind ``source`` are ``lat``.",
        (Input("lat", "latitude", "latitude of kind ``source``"),),
        _LATITUDE,
        exact="latitudes.convert:geodetic:conformal",
        fast="fast.latitudes_convert",
        notes="The poles map to the poles and 0 to 0 exactly; odd symmetry is exact.",
    ),
    Operation(
        "latitudes",
        "isometric",
        "The isometric latitude psi of the geodetic latitude: +-inf at the poles.",
        (_LAT,),
        Output(np.dtype([("psi", np.float64)]), ("psi",), text="float64 isometric latitudes"),
        exact="latitudes.isometric",
        fast="fast.latitudes_isometric",
    ),
    Operation(
        "latitudes",
        "from_isometric",
        "The geodetic latitude of the isometric latitude psi.",
        (Input("psi", "unbounded", "isometric latitude (any real; +-inf at the poles)"),),
        _LATITUDE,
        exact="latitudes.from_isometric",
    ),
    Operation(
        "latitudes",
        "radii",
        "The radii of curvature at the geodetic latitude, and the distance from the centre.",
        (_LAT,),
        Output(
            np.dtype(
                [
                    (n, np.float64)
                    for n in ("meridional", "prime_vertical", "gaussian", "geocentric")
                ]
            ),
            text="records (meridional M, prime_vertical N, gaussian sqrt(M N), geocentric: the "
            "distance from the centre to the surface point), metres",
        ),
        exact="latitudes.radii",
    ),
    Operation(
        "latitudes",
        "meridian_distance",
        "The distance (metres) along the meridian from the equator to the geodetic latitude.",
        (_LAT,),
        Output(np.dtype([("s", np.float64)]), text="float64 distances (metres)"),
        exact="latitudes.meridian_distance",
    ),
    Operation(
        "latitudes",
        "latitude_at_meridian_distance",
        "The geodetic latitude at a distance along the meridian from the equator.",
        (Input("s", "length", "distance along the meridian from the equator (metres)"),),
        _LATITUDE,
        exact="latitudes.latitude_at_meridian_distance",
        notes="Beyond the quarter meridian (past a pole) the latitude is NaN.",
    ),
)
OPERATIONS += _LATITUDES

# The geodesic problems with every quantity, and the direct problem over an arc: the public
# functions of their own names, and inverse(..., full=True), direct(..., full=True, arc=True).
_POINT1 = (
    Input("lat1", "latitude", "latitude of point 1"),
    Input("lon1", "angle", "longitude of point 1"),
)
_AZI1 = Input("azi1", "angle", "azimuth at point 1, clockwise from north")
_S12 = Input("s12", "length", "distance (metres); negative goes backwards")
_A12 = Input(
    "a12",
    "unbounded",
    "arc length on the auxiliary sphere (never reduced by turns); negative goes backwards",
)
_FULL_TEXT = (
    "a12 (the arc on the auxiliary sphere, degrees or radians), m12 (the reduced length, "
    "metres), M12 and M21 (the geodesic scales) and S12 (the area between the geodesic and "
    "the equator, square metres, positive going east north of the equator)"
)
_INVERSE_FULL = Output(
    GeodesicInverseFull_dtype,
    ("azi1", "azi2", "a12"),
    text=f"GeodesicInverseFull_dtype records (s12, azi1, azi2, a12, m12, M12, M21, S12): {_FULL_TEXT}",
)
_DIRECT_FULL = Output(
    GeodesicDirectFull_dtype,
    ("lat2", "lon2", "azi2", "a12"),
    text="GeodesicDirectFull_dtype records (lat2, lon2, azi2, s12, a12, m12, M12, M21, S12): "
    f"{_FULL_TEXT}",
)
OPERATIONS += (
    Operation(
        "geodesic",
        "inverse_full",
        "The shortest geodesic between points 1 and 2 with every quantity of the geodesic.",
        (
            *_POINT1,
            Input("lat2", "latitude", "latitude of point 2"),
            Input("lon2", "angle", "longitude of point 2"),
        ),
        _INVERSE_FULL,
        exact="geodesic.inverse_full",
        notes="The fields of inverse, bit for bit, then the others.",
    ),
    Operation(
        "geodesic",
        "direct_full",
        "The point at distance s12 along the geodesic from point 1, with every quantity.",
        (*_POINT1, _AZI1, _S12),
        _DIRECT_FULL,
        exact="geodesic.direct_full",
        notes="lat2, lon2 and azi2 are those of direct, bit for bit.",
    ),
    Operation(
        "geodesic",
        "direct_arc",
        "The point at arc length a12 on the auxiliary sphere along the geodesic from point 1.",
        (*_POINT1, _AZI1, _A12),
        _DIRECT,
        exact="geodesic.direct_arc",
    ),
    Operation(
        "geodesic",
        "direct_arc_full",
        "The point at arc length a12 along the geodesic from point 1, with every quantity.",
        (*_POINT1, _AZI1, _A12),
        _DIRECT_FULL,
        exact="geodesic.direct_arc_full",
    ),
)

# Intersections of geodesics.
_INTERSECTION_TEXT = (
    "x, y (the signed distances in metres along each line from its start to the intersection), "
    "lat, lon (the point), coincident (0, or +1 / -1 where the lines run along each other in "
    "the same / opposite direction: the point halfway between them)"
)
OPERATIONS += (
    Operation(
        "geodesic",
        "intersect",
        "Where the geodesic from point 1 with azimuth azi1 meets the one from point 2 with "
        "azimuth azi2: the intersection closest to the starts.",
        (
            *_POINT1,
            _AZI1,
            Input("lat2", "latitude", "latitude of point 2"),
            Input("lon2", "angle", "longitude of point 2"),
            Input("azi2", "angle", "azimuth at point 2, clockwise from north"),
        ),
        Output(
            GeodesicIntersection_dtype,
            ("lat", "lon"),
            text=f"GeodesicIntersection_dtype records: {_INTERSECTION_TEXT}",
        ),
        exact="geodesic.intersect",
        notes="Closest in |x| + |y| among the candidates of the iteration from the starts.",
    ),
    Operation(
        "geodesic",
        "intersect_segments",
        "Where the segment from point 1a to 1b meets the segment from 2a to 2b (shortest "
        "geodesics): the intersection of their lines closest to their midpoints.",
        tuple(
            Input(f"{kind}{p}", unit, f"{text} of point {p}")
            for p in ("1a", "1b", "2a", "2b")
            for kind, unit, text in (("lat", "latitude", "latitude"), ("lon", "angle", "longitude"))
        ),
        Output(
            SegmentIntersection_dtype,
            ("lat", "lon"),
            text=f"SegmentIntersection_dtype records: {_INTERSECTION_TEXT}, x from 1a and y from "
            "2a, and inside (1.0 where the point lies within both segments, else 0.0)",
        ),
        exact="geodesic.intersect_segments",
    ),
)

# Rhumb lines (loxodromes), whose loops live in ``_geodesic``.
OPERATIONS += (
    Operation(
        "rhumb",
        "inverse",
        "The rhumb line (constant azimuth) from point 1 to point 2, the shorter way in longitude.",
        (
            *_POINT1,
            Input("lat2", "latitude", "latitude of point 2"),
            Input("lon2", "angle", "longitude of point 2"),
        ),
        Output(
            RhumbInverse_dtype,
            ("azi12",),
            text="RhumbInverse_dtype records (s12, azi12, S12): the length in metres, the "
            "constant azimuth in (-180, 180] degrees (or (-pi, pi]), the area between the line "
            "and the equator in square metres (positive going east north of the equator)",
        ),
        exact="geodesic.rhumb_inverse",
        fast="fast.rhumb_inverse",
        notes="A line to or from a pole is a meridian; its S12 is that of the line that winds "
        "about the pole (+-c^2 times the longitude difference, c the authalic radius).",
    ),
    Operation(
        "rhumb",
        "direct",
        "The point at distance s12 along the rhumb line leaving point 1 with azimuth azi12.",
        (
            *_POINT1,
            Input("azi12", "angle", "the line's constant azimuth, clockwise from north"),
            Input("s12", "length", "distance (metres); negative goes backwards"),
        ),
        Output(
            RhumbDirect_dtype,
            ("lat2", "lon2"),
            text="RhumbDirect_dtype records (lat2, lon2, S12): the point reached, lon2 in "
            "[-180, 180], and the area between the line and the equator (square metres)",
        ),
        exact="geodesic.rhumb_direct",
        fast="fast.rhumb_direct",
        notes="A line that reaches a pole gives lat2 = +-90 degrees and lon2, S12 NaN (it "
        "winds about the pole without end), unless it runs along a meridian (lon2 = lon1, "
        "S12 = 0); a line that would pass beyond a pole gives a NaN row.",
    ),
)
# The transverse Mercator (module utm): x east, y north of the origin at the central meridian
# lon0 on the equator, central scale 1 (utm.tm_forward and tm_reverse scale by k0).
_TM_GRID = Output(
    np.dtype([(n, np.float64) for n in ("x", "y", "convergence", "scale")]),
    ("convergence",),
    text="records (x, y: metres east and north, no false origin; convergence: grid north "
    "clockwise from true north; scale)",
)
_TM_GEOGRAPHIC = Output(
    np.dtype([(n, np.float64) for n in ("lat", "lon", "convergence", "scale")]),
    ("lat", "lon", "convergence"),
    text="records (lat, lon in [-180, 180] degrees or [-pi, pi], convergence, scale)",
)
_UTM = (
    Operation(
        "utm",
        "tm_forward",
        "Transverse Mercator coordinates of geodetic latitude and longitude (Krueger's series).",
        (Input("lon0", "angle", "central meridian"), _LAT, _LON),
        _TM_GRID,
        exact="utm.tm_forward",
        fast="fast.tm_forward",
        notes="Beyond eta = 1 (6,367 km from the central meridian on the equator, the extent "
        "of the series' nanometre accuracy) Lee's exact mapping serves; more than 90 degrees "
        "from the central meridian the row is NaN.",
    ),
    Operation(
        "utm",
        "tm_reverse",
        "Geodetic latitude and longitude of transverse Mercator coordinates.",
        (
            Input("lon0", "angle", "central meridian"),
            Input("x", "length", "easting from the central meridian (metres, no false origin)"),
            Input("y", "length", "northing from the equator (metres, no false origin)"),
        ),
        _TM_GEOGRAPHIC,
        exact="utm.tm_reverse",
        fast="fast.tm_reverse",
        notes="Beyond |x| = 6,367 km (eta = 1 on WGS84) Lee's exact mapping serves; where no "
        "point within 90 degrees of the central meridian maps the row is NaN.",
    ),
)
OPERATIONS += _UTM

# The UTM/UPS grid and MGRS (module utm): zones, hemispheres and codes are typed fields and
# inputs; the kernels take degrees themselves (their exact reductions of the longitude).
GRID_dtype = np.dtype(
    [
        ("zone", np.int32),
        ("northp", np.bool_),
        ("easting", np.float64),
        ("northing", np.float64),
        ("convergence", np.float64),
        ("scale", np.float64),
    ],
    align=True,
)
MGRS_WIDTH = 15  # the longest code: "32UMV1234567890"
_ZONE = Input(
    "zone",
    "integer",
    "UTM zone 1-60, or 0 for UPS",
    bounds=(0, 60),
    domain="a zone number 0-60 (0: UPS)",
)
_GRID_ENTRIES = (
    Operation(
        "utm",
        "forward",
        "UTM or UPS coordinates of geodetic latitude and longitude.",
        (_LAT, _LON),
        Output(
            GRID_dtype,
            ("convergence",),
            text="GRID_dtype records (zone, northp, easting, northing, convergence, scale)",
        ),
        exact="utm.forward",
        fast="fast.utm_forward",
        keywords=(
            dataclasses.replace(
                _ZONE, text="the zone to use (None: the standard one)", absent=-1.0
            ),
        ),
        kernel_degrees=True,
        notes="NaN easting and northing where there is no position (a NaN, a forced zone too "
        "far away).",
    ),
    Operation(
        "utm",
        "reverse",
        "Geodetic latitude and longitude of UTM or UPS coordinates.",
        (
            _ZONE,
            Input("northp", "bool", "hemisphere: true in the northern"),
            Input("easting", "length", "easting with the false easting (metres)"),
            Input("northing", "length", "northing with the false northing (metres)"),
        ),
        Output(
            np.dtype([(n, np.float64) for n in ("lat", "lon", "convergence", "scale")]),
            ("lat", "lon", "convergence"),
            text="GEOGRAPHIC_dtype records (lat, lon in [-180, 180), convergence, scale)",
        ),
        exact="utm.reverse",
        fast="fast.utm_reverse",
        kernel_degrees=True,
    ),
    Operation(
        "utm",
        "to_mgrs",
        "MGRS references of geodetic latitude and longitude.",
        (_LAT, _LON),
        Output(
            np.dtype([("mgrs", f"<U{MGRS_WIDTH}")]),
            text=f"str (dtype <U{MGRS_WIDTH}): the reference of the square each point is in; "
            "empty where there is none (a NaN)",
        ),
        exact="utm.to_mgrs",
        fast="fast.to_mgrs",
        options=(
            Option(
                "precision",
                5,
                (0, 5),
                "digits per coordinate, 0-5: squares of 10^(5 - DIGITS) metres (default 5: 1 m)",
                "DIGITS",
            ),
        ),
        kernel_degrees=True,
    ),
    Operation(
        "utm",
        "from_mgrs",
        "The latitude and longitude of the centres of the squares MGRS references name.",
        (Input("codes", "text", "MGRS references (letters of either case; spaces ignored)"),),
        Output(
            np.dtype([("lat", np.float64), ("lon", np.float64)]),
            ("lat", "lon"),
            text="records (lat, lon)",
        ),
        exact="utm.from_mgrs",
        kernel_degrees=True,
        notes="An empty code gives NaN; a malformed one is a ValueError naming it and its index.",
    ),
)
OPERATIONS += _GRID_ENTRIES

_BY_NAME = {op.qualname: op for op in OPERATIONS}


def get(qualname: str) -> Operation:
    """The entry ``module.name``."""
    return _BY_NAME[qualname]


def by_module(module: str) -> tuple[Operation, ...]:
    """The entries of the public module ``module`` (``fast``: those of ``frames`` and
    ``geodesic`` with a vectorised kernel)."""
    if module == "fast":
        return tuple(op for op in OPERATIONS if op.fast and op.module != "ellipsoid")
    return tuple(op for op in OPERATIONS if op.module == module)


# -- Measures of geometries --------------------------------------------------------------------
# The areas and lengths of whole GIS geometries are operations of another kind: one argument of
# geometries (shapely, GeoPandas, GeoArrow; coordinates (lon, lat) in degrees as GIS stores
# them), the flags ``rhumb`` and ``fast`` instead of ``degrees``, one result per geometry, no
# broadcasting and no one-point path. ``_geometries`` flattens the geometries into coordinates
# and offsets for the loop ``_geodesic.geometries``, and builds from these entries the public
# functions (``_geometries.public``), the Dask functions (Dask-GeoPandas, partition by
# partition), their stubs and, through the command line's table, the subcommands.

_GEOMETRIES = Input(
    "geoms",
    "geometry",
    "shapely geometries, GeoPandas or GeoArrow: coordinates (lon, lat) in degrees",
)


@dataclass(frozen=True, slots=True)
class GeometryEntry:
    module: str
    name: str
    summary: str  # one line, for the command line and the Dask functions
    output: Output  # float64 records: the fields measured, one per geometry
    text: str  # the public function's docstring after its signature line
    # The flags of the public function (bool, default False): rhumb-line edges, SIMD lanes.
    flags: tuple[str, ...] = ("rhumb", "fast")
    inputs: tuple[Input, ...] = (_GEOMETRIES,)
    # The loop's vectorised path (its ``fast`` flag); no keyword inputs, no options.
    fast: str | None = "geodesic.geometries"
    keywords: tuple[Input, ...] = ()
    options: tuple[Option, ...] = ()
    latitudes: tuple[str, ...] = ()

    @property
    def qualname(self) -> str:
        return f"{self.module}.{self.name}"

    @property
    def area(self) -> bool:
        """Whether the loop sums the rings' areas (else only the lengths)."""
        return "area" in (self.output.dtype.names or ())  # type: ignore[union-attr]


_GEOMETRIES_TEXT = """\
``geoms`` is a shapely geometry, an array of them (None for a missing one), a GeoPandas
GeoSeries or GeoDataFrame (its geometry column), a Dask-GeoPandas one (lazily, partition
by partition), or a GeoArrow array (pyarrow, native encodings or WKB; chunked too)."""

GEOMETRIES: tuple[GeometryEntry, ...] = (
    GeometryEntry(
        "geodesic",
        "geometry_area_perimeter",
        "The geodesic area and perimeter of each geometry (lon, lat in degrees).",
        Output(
            PolygonArea_dtype,
            text="PolygonArea_dtype records (area in square metres, perimeter in metres)",
        ),
        f"""\
Geodesic area and perimeter of each geometry, its coordinates (longitude, latitude) in
degrees as GIS stores them, every edge the shortest geodesic between its vertices; with
``rhumb=True`` every edge the rhumb line (constant azimuth) between its vertices, the
shorter way in longitude, as :func:`quorvane.mathtools.ellipsoid.rhumb.polygon_area`
takes them (a rectangle of two parallels and two meridians is then the band between them).

{_GEOMETRIES_TEXT} A polygon's area is the sum of its rings' signed areas:
positive for a counter-clockwise ring, negative for a clockwise one (a hole wound against
its shell subtracts); its perimeter is that of its shells (holes not counted), as
pyproj's ``Geod.geometry_area_perimeter`` gives them. Multi-part geometries and collections
add their parts. Lines have area 0 and their length as perimeter; points 0 and 0; empty
and missing geometries NaN. One ring gives the bits of :func:`polygon_area` (of
``rhumb.polygon_area`` with ``rhumb=True``).

With ``fast=True`` the geodesic edges are solved several at a time in SIMD lanes (the
engine of :mod:`quorvane.mathtools.ellipsoid.fast`), with the same formulas: the same
bits at every instruction-set level, not those of :func:`polygon_area`, and within
nanometres and some 1e-5 square metres an edge of them. Flattenings beyond 1/50 and
rhumb edges take the exact kernels whatever ``fast`` says.

Returns
-------
numpy.void, numpy.ndarray or pandas.DataFrame
    ``PolygonArea_dtype`` records (``area`` in square metres, ``perimeter`` in metres):
    one for one geometry, else of the array's shape; for GeoPandas a DataFrame of two
    columns with its index (a Dask DataFrame for Dask-GeoPandas).""",
    ),
    GeometryEntry(
        "geodesic",
        "geometry_length",
        "The geodesic length of each geometry (lon, lat in degrees; polygons: their shells).",
        Output(np.dtype([("length", np.float64)]), text="float64 lengths (metres)"),
        """\
Geodesic length (metres) of each geometry, its coordinates (longitude, latitude) in
degrees: the length of a line (:func:`line_length`'s bits for one line), the sum over
the lines of a multiline, the perimeter of a polygon's shells (as
:func:`geometry_area_perimeter`); points 0, empty and missing geometries NaN. With
``rhumb=True`` the edges are rhumb lines: a line's length is the sum of its segments'
``rhumb.inverse`` distances ``s12``, added as ``rhumb.polygon_area`` adds a perimeter.
``geoms`` and ``fast`` as for :func:`geometry_area_perimeter`.

Returns
-------
float, numpy.ndarray or pandas.Series
    One float64 for one geometry, else of the array's shape; for GeoPandas a Series with
    its index (a Dask Series for Dask-GeoPandas).""",
    ),
)
_GEOMETRIES_BY_NAME = {g.qualname: g for g in GEOMETRIES}


def geometry(qualname: str) -> GeometryEntry:
    """The geometry entry ``module.name``."""
    return _GEOMETRIES_BY_NAME[qualname]


def entry(qualname: str) -> Operation | GeometryEntry:
    """The entry ``module.name`` of either kind."""
    return _BY_NAME.get(qualname) or _GEOMETRIES_BY_NAME[qualname]


# -- Typing stubs ----------------------------------------------------------------------------

_STUB_HEADER = """# Generated by `python -m quorvane.mathtools.ellipsoid._registry --stubs` from the registry
# of operations (and the signatures of the module's other functions): do not edit.
from collections.abc import Sequence
from typing import Any, overload

import numpy as np

from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

type _Real = float | np.integer[Any] | np.floating[Any]
# Numbers, nested sequences of numbers, or arrays of a real dtype.
type _Reals = (
    _Real
    | Sequence[_Real]
    | Sequence[Sequence[_Real]]
    | np.ndarray[Any, np.dtype[np.integer[Any] | np.floating[Any] | np.bool]]
)
# An Ellipsoid, a catalogue name, or (Re, f).
type _EllipsoidLike = Ellipsoid | str | tuple[float, float]
type _Vectors = np.ndarray[tuple[int, ...], np.dtype[np.float64]]
type _Records = np.ndarray[tuple[int, ...], np.dtype[np.void]]
type _Floats = np.ndarray[tuple[int, ...], np.dtype[np.float64]]
"""


def _stub(op: Operation, name: str, module: str) -> str:
    """The typed signature of the public function ``name`` of ``op`` in ``module`` (the
    vectorised functions of ``fast`` take no flags)."""

    flags = "".join(f"    {flag}: bool = False,\n" for flag in op.flags if module == op.module)

    def signature(kind: str, result: str, comment: str = "") -> str:
        args = "".join(f"    {i.name}: {kind},\n" for i in op.inputs)
        return (
            f"def {name}({comment}\n    ell: _EllipsoidLike,\n{args}    *,\n"
            f"    degrees: bool = False,\n{flags}) -> {result}: ..."
        )

    if op.output.dtype is None:
        return signature("_Reals", "_Vectors")
    if op.keywords or op.options or op.output.typed:
        # Keyword inputs, options, typed records (ints, bools, strings): one signature.
        def kind(unit: str) -> str:
            return "str | Sequence[str] | np.ndarray[Any, Any]" if unit == "text" else "_Reals"

        args = "".join(f"    {i.name}: {kind(i.unit)},\n" for i in op.inputs)
        keywords = "".join(f"    {i.name}: {kind(i.unit)} | None = None,\n" for i in op.keywords)
        options = "".join(f"    {o.name}: int = {o.default},\n" for o in op.options)
        return (
            f"def {name}(\n    ell: _EllipsoidLike,\n{args}    *,\n{keywords}"
            f"    degrees: bool = False,\n{options}) -> Any: ..."
        )
    if any(i.unit == "vector" for i in op.inputs):
        return signature("_Reals", "_Records | np.void")
    one, many = ("np.float64", "_Floats") if op.output.width == 1 else ("np.void", "_Records")
    return "\n".join(
        [
            "@overload",  # numbers give one record (NumPy's scalars overlap its arrays)
            signature("_Real", one, "  # type: ignore[overload-overlap]"),
            "@overload",
            signature("_Reals", many),
        ]
    )


def geometry_stub(g: GeometryEntry, name: str, ell: str, result: str) -> str:
    """The typed signature of the function ``name`` of the geometry entry ``g``."""
    flags = "".join(f"    {flag}: bool = False,\n" for flag in g.flags)
    args = "".join(f"    {i.name}: Any,\n" for i in g.inputs)
    return f"def {name}(\n    {ell},\n{args}    *,\n{flags}) -> {result}: ..."


def stubs(module: str) -> str:
    """The typing stub of the public module ``module`` (frames, geodesic, fast or dask)."""
    import importlib
    import inspect

    if module == "dask":
        from quorvane.mathtools.ellipsoid import dask

        return dask._stub()

    mod = importlib.import_module(f"quorvane.mathtools.ellipsoid.{module}")
    ops = {
        (op.fast.split(".")[1] if module == "fast" and op.fast else op.name): op
        for op in by_module(module)
        if ":" not in op.exact  # a loop with bound constants: its wrapper's own signature
    }
    ops.update({"aer_from_pos": get("frames.aer_from_pos")} if module == "fast" else {})
    geometries = {g.name: g for g in GEOMETRIES if g.module == module}
    lines = [_STUB_HEADER, f"__all__ = {sorted(mod.__all__)!r}", ""]
    for name in mod.__all__:
        value = getattr(mod, name)
        if name in ops:
            lines.append(_stub(ops[name], name, module))
        elif name in geometries:
            lines.append(geometry_stub(geometries[name], name, "ell: _EllipsoidLike", "Any"))
        elif callable(value):
            sig = inspect.signature(value, eval_str=False)
            lines.append(f"def {name}{sig}: ...".replace("'", ""))
        elif isinstance(value, tuple) and all(isinstance(v, str) for v in value):
            lines.append(f"{name}: tuple[str, ...]")
        else:
            lines.append(f"{name}: {type(value).__name__}")
    body = "\n".join(lines[1:])
    header = [
        line
        for line in _STUB_HEADER.splitlines()
        if not line.startswith("type _") or line.split()[1] in body.replace(line, "")
    ]
    if "@overload" not in body:
        header = [h.replace("Any, overload", "Any") for h in header]
    return "\n".join([*header, *lines[1:]]) + "\n"


if __name__ == "__main__":
    import pathlib
    import sys

    if sys.argv[1:] != ["--stubs"]:
        sys.exit("usage: python -m quorvane.mathtools.ellipsoid._registry --stubs")
    here = pathlib.Path(__file__).parent
    for public_module in ("frames", "geodesic", "latitudes", "rhumb", "fast", "dask"):
        (here / f"{public_module}.pyi").write_text(stubs(public_module))
