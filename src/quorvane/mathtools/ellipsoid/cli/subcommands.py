"""The conversion subcommands of the command-line tool, one row of a table each: the operation
it runs (the qualname of its registry entry), the header names of its columns, the option
that gives some inputs once for the whole file, and its help prose.

What an operation takes and gives (units, latitudes, output records and which fields are
angles, a vectorised kernel) is the registry's (``quorvane.mathtools.ellipsoid._registry``);
:mod:`.batches` runs any row of this table through the registry's engine.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass

from quorvane.mathtools.ellipsoid import _registry
from quorvane.mathtools.ellipsoid._registry import GeometryEntry, Operation

__all__ = ["SUBCOMMANDS", "Parameter", "Subcommand"]

# The header names tried for one column (case ignored); the first names its role in messages.
type Aliases = tuple[str, ...]


@dataclass(frozen=True, slots=True)
class Parameter:
    """Inputs given once for the whole file by an option (``--observer LAT LON ALT``), or row
    by row by input columns (``--observer-columns``, by default the columns of those inputs)."""

    option: str  # the option's name, and the noun of its help
    inputs: tuple[str, ...]  # the registry's inputs it gives
    metavar: tuple[str, ...]  # one per number
    text: str  # what the numbers are, for the option's help
    # Neither the option nor the columns given: the operation's default (utm's standard zone).
    optional: bool = False


@dataclass(frozen=True, slots=True, eq=False)
class Subcommand:
    name: str
    qualname: str  # the registry entry it runs
    summary: str
    text: str  # the description, before the parameter's and the output columns' sentences
    example: str
    # The columns of each registry input, in the order of the inputs: three for a 3-vector.
    columns: Mapping[str, tuple[Aliases, ...]]
    parameter: Parameter | None = None
    # Names of the output columns where the output's dtype gives none (3-vectors, or fields
    # that are 3-vectors); else the dtype's field names.
    output_columns: tuple[str, ...] = ()
    # The options --from and --to choose the kinds of a conversion of latitudes (the
    # constants of the entry's loop).
    kinds: bool = False
    # Fields of the float64 records that hold 1.0 or 0.0: bool columns.
    bools: tuple[str, ...] = ()

    @property
    def operation(self) -> Operation | GeometryEntry:
        return _registry.entry(self.qualname)

    @property
    def geometries(self) -> bool:
        """Whether it measures geometries (a geometry column in, the flag --rhumb)."""
        return isinstance(self.operation, GeometryEntry)

    @property
    def outputs(self) -> tuple[str, ...]:
        """The output columns, in order."""
        if self.output_columns:
            return self.output_columns
        dtype = self.operation.output.dtype
        return tuple(dtype.names or ()) if dtype is not None else ()

    def _columns(self, given: bool) -> tuple[Aliases, ...]:
        by_parameter = self.parameter.inputs if self.parameter else ()
        return tuple(
            aliases
            for i in self.operation.inputs + self.operation.keywords
            if (i.name in by_parameter) == given
            for aliases in self.columns[i.name]
        )

    @property
    def data_columns(self) -> tuple[Aliases, ...]:
        """The columns of the inputs read from the file, in the order ``--columns`` names them."""
        return self._columns(False)

    @property
    def parameter_columns(self) -> tuple[Aliases, ...]:
        """The columns that give the parameter row by row."""
        return self._columns(True)

    @property
    def description(self) -> str:
        parts = [self.text]
        if self.parameter is not None and self.parameter.optional:
            option = self.parameter.option
            roles = ", ".join(a[0] for a in self.parameter_columns)
            parts.append(
                f"The {option} may be given once by --{option} {' '.join(self.parameter.metavar)}, "
                f"or row by row by the column {roles} (see --{option}-columns)."
            )
        elif self.parameter is not None:
            option = self.parameter.option
            roles = ", ".join(a[0] for a in self.parameter_columns)
            parts.append(
                f"The {option} is given once by --{option} {' '.join(self.parameter.metavar)}, "
                f"or row by row by the columns {roles} (see --{option}-columns)."
            )
        parts.append(f"Output columns: {', '.join(self.outputs)}.")
        return " ".join(parts)


# -- Columns and parameters shared by several subcommands --------------------------------------

_XYZ = (("x", "ecef_x"), ("y", "ecef_y"), ("z", "ecef_z"))
_LAT = (("lat", "latitude"),)
_LON = (("lon", "longitude", "lng"),)
_ALT = (("alt", "altitude", "height", "h"),)
_GEODETIC = {"lat": _LAT, "lon": _LON, "alt": _ALT}
_EAST, _NORTH = ("east", "e"), ("north", "n")
_ENU = (_EAST, _NORTH, ("up", "u"))
_NED = (_NORTH, _EAST, ("down", "d"))
_AER = {
    "azimuth": (("azimuth", "az"),),
    "elevation": (("elevation", "el"),),
    "range": (("range", "slant_range"),),
}
_OBSERVER_COLUMNS = {
    "lat_obs": (("obs_lat",),),
    "lon_obs": (("obs_lon",),),
    "alt_obs": (("obs_alt",),),
}
_OBSERVER = Parameter(
    "observer",
    ("lat_obs", "lon_obs", "alt_obs"),
    ("LAT", "LON", "ALT"),
    "observer latitude, longitude and altitude (metres)",
)
# The frame of a rotation: its altitude plays no part.
_FRAME = Parameter(
    "observer", ("lat_obs", "lon_obs"), ("LAT", "LON"), "observer latitude and longitude"
)
_FRAME_COLUMNS = {k: _OBSERVER_COLUMNS[k] for k in _FRAME.inputs}
_VECTOR_OUT = ("x", "y", "z")
_ENU_OUT = ("east", "north", "up")


def _local(
    name: str,
    qualname: str,
    summary: str,
    text: str,
    columns: Mapping[str, tuple[Aliases, ...]],
    output_columns: tuple[str, ...] = (),
    rotation: bool = False,
) -> Subcommand:
    """A conversion in the local frame of an observer."""
    observer = _FRAME if rotation else _OBSERVER
    given = " ".join(("47.3769", "8.5417", "408")[: len(observer.inputs)])
    return Subcommand(
        name,
        qualname,
        summary,
        text,
        f"%(prog)s --degrees --observer {given} points.csv",
        {**columns, **(_FRAME_COLUMNS if rotation else _OBSERVER_COLUMNS)},
        observer,
        output_columns,
    )


_TABLE = (
    Subcommand(
        "lla",
        "frames.lla_from_pos",
        "ECEF x, y, z -> geodetic lat, lon, alt",
        "Geodetic latitude, longitude and altitude above the ellipsoid of Earth-centred "
        "Earth-fixed (ECEF) positions in metres. Latitude is NaN for the centre of the ellipsoid.",
        "%(prog)s --degrees track.csv -o track_lla.csv",
        {"r": _XYZ},
    ),
    Subcommand(
        "ecef",
        "frames.pos_from_lla",
        "geodetic lat, lon, alt -> ECEF x, y, z",
        "ECEF positions in metres of geodetic latitude, longitude and altitude (metres above the "
        "ellipsoid, along its normal).",
        "%(prog)s --degrees --keep time points.csv > points_ecef.csv",
        _GEODETIC,
        output_columns=_VECTOR_OUT,
    ),
    Subcommand(
        "aer",
        "frames.aer_from_pos",
        "ECEF targets -> azimuth, elevation, range from an observer",
        "Azimuth (from north towards east, in [0, 360) degrees or [0, 2 pi)), elevation and "
        "slant range in metres of ECEF targets as seen by an observer.",
        "%(prog)s --degrees --observer 47.3769 8.5417 408 satellites.csv",
        {"r_target": _XYZ, **_OBSERVER_COLUMNS},
        _OBSERVER,
    ),
    Subcommand(
        "enu",
        "ellipsoid.enu",
        "lat, lon -> local East-North-Up unit vectors (ECEF components)",
        "The East-North-Up frame at surface points given by geodetic latitude and longitude: the "
        "ECEF components of its three unit vectors.",
        "%(prog)s --degrees stations.csv -o frames.csv",
        {"lat": _LAT, "lon": _LON},
        output_columns=tuple(f"{axis}_{c}" for axis in ("east", "north", "up") for c in "xyz"),
    ),
    Subcommand(
        "ray",
        "ellipsoid.surf_pos_of_ray_first_intersection",
        "ray directions from an origin -> point where the line meets the surface",
        "The point (ECEF metres) where the line through an origin along each direction ux, uy, "
        "uz meets the ellipsoid surface nearest to the origin, in either direction along the "
        "line (behind the origin too). Directions need not be unit vectors. A line that misses "
        "gives nan in all three output columns.",
        "%(prog)s --origin 7000000 0 0 directions.csv",
        {
            "r_source": (("ox", "origin_x"), ("oy", "origin_y"), ("oz", "origin_z")),
            "u_ray": (("ux", "u_x", "dx"), ("uy", "u_y", "dy"), ("uz", "u_z", "dz")),
        },
        Parameter("origin", ("r_source",), ("X", "Y", "Z"), "ray origin in ECEF metres"),
        _VECTOR_OUT,
    ),
    _local(
        "enu-from-ecef",
        "frames.enu_from_pos",
        "ECEF targets -> east, north, up in an observer's frame",
        "East, north and up coordinates in metres of ECEF targets in the local frame of an "
        "observer.",
        {"r_target": _XYZ},
        _ENU_OUT,
    ),
    _local(
        "ned-from-ecef",
        "frames.ned_from_pos",
        "ECEF targets -> north, east, down in an observer's frame",
        "North, east and down coordinates in metres of ECEF targets in the local frame of an "
        "observer.",
        {"r_target": _XYZ},
        ("north", "east", "down"),
    ),
    _local(
        "ecef-from-enu",
        "frames.pos_from_enu",
        "east, north, up in an observer's frame -> ECEF",
        "ECEF positions in metres of east, north and up coordinates in the local frame of an "
        "observer.",
        {"enu": _ENU},
        _VECTOR_OUT,
    ),
    _local(
        "ecef-from-ned",
        "frames.pos_from_ned",
        "north, east, down in an observer's frame -> ECEF",
        "ECEF positions in metres of north, east and down coordinates in the local frame of an "
        "observer.",
        {"ned": _NED},
        _VECTOR_OUT,
    ),
    _local(
        "enu-from-lla",
        "frames.enu_from_lla",
        "geodetic targets -> east, north, up in an observer's frame",
        "East, north and up coordinates in metres of geodetic targets (lat, lon, alt) in the "
        "local frame of an observer.",
        _GEODETIC,
        _ENU_OUT,
    ),
    _local(
        "lla-from-enu",
        "frames.lla_from_enu",
        "east, north, up in an observer's frame -> geodetic lat, lon, alt",
        "Geodetic latitude, longitude and altitude of east, north and up coordinates in the "
        "local frame of an observer.",
        {"enu": _ENU},
    ),
    _local(
        "aer-from-lla",
        "frames.aer_from_lla",
        "geodetic targets -> azimuth, elevation, range from an observer",
        "Azimuth (from north towards east), elevation and slant range in metres of geodetic "
        "targets (lat, lon, alt) as seen by an observer.",
        _GEODETIC,
    ),
    _local(
        "ecef-from-aer",
        "frames.pos_from_aer",
        "azimuth, elevation, range from an observer -> ECEF",
        "ECEF positions in metres of targets at azimuth, elevation and slant range from an "
        "observer.",
        _AER,
        _VECTOR_OUT,
    ),
    _local(
        "lla-from-aer",
        "frames.lla_from_aer",
        "azimuth, elevation, range from an observer -> geodetic lat, lon, alt",
        "Geodetic latitude, longitude and altitude of targets at azimuth, elevation and slant "
        "range from an observer.",
        _AER,
    ),
    _local(
        "enu-from-ecef-vector",
        "frames.enu_from_ecef_vector",
        "ECEF vectors -> east, north, up components (rotation only)",
        "East, north and up components of ECEF vectors (velocities, directions) in the local "
        "frame at the observer's latitude and longitude: a rotation, no translation.",
        {"v": (("vx", "v_x"), ("vy", "v_y"), ("vz", "v_z"))},
        _ENU_OUT,
        rotation=True,
    ),
    _local(
        "ecef-vector-from-enu",
        "frames.ecef_vector_from_enu",
        "east, north, up components -> ECEF vectors (rotation only)",
        "ECEF components of vectors given by east, north and up components in the local frame "
        "at the observer's latitude and longitude: a rotation, no translation.",
        {"v_enu": _ENU},
        ("vx", "vy", "vz"),
        rotation=True,
    ),
    Subcommand(
        "geodesic-inverse",
        "geodesic.inverse",
        "two points -> geodesic distance and azimuths",
        "Length in metres of the shortest geodesic between points 1 and 2 (lat1, lon1, lat2, "
        "lon2), and the forward azimuths at both ends (clockwise from north).",
        "%(prog)s --degrees pairs.csv -o distances.csv",
        {
            "lat1": (("lat1", "latitude1"),),
            "lon1": (("lon1", "longitude1", "lng1"),),
            "lat2": (("lat2", "latitude2"),),
            "lon2": (("lon2", "longitude2", "lng2"),),
        },
    ),
    Subcommand(
        "geodesic-direct",
        "geodesic.direct",
        "start, azimuth, distance -> the point reached along the geodesic",
        "The point reached from point 1 (lat1, lon1) along the geodesic leaving it with azimuth "
        "azi1 (clockwise from north) after s12 metres (negative: backwards), and the forward "
        "azimuth there.",
        "%(prog)s --degrees starts.csv -o destinations.csv",
        {
            "lat1": (("lat1", "latitude1"),),
            "lon1": (("lon1", "longitude1", "lng1"),),
            "azi1": (("azi1", "azimuth1", "az1"),),
            "s12": (("s12", "distance"),),
        },
    ),
)

_LATITUDES = (
    Subcommand(
        "latitude",
        "latitudes.convert",
        "a latitude of one kind -> the latitude of another (--from, --to)",
        "The auxiliary latitude of kind --to (geodetic, parametric or reduced, geocentric, "
        "rectifying, conformal, authalic) whose latitude of kind --from is lat.",
        "%(prog)s --degrees --from geodetic --to conformal points.csv -o conformal.csv",
        {"lat": _LAT},
        kinds=True,
    ),
    Subcommand(
        "isometric",
        "latitudes.isometric",
        "geodetic lat -> isometric latitude psi",
        "The isometric latitude psi of geodetic latitudes (+-inf at the poles; in degrees with "
        "--degrees).",
        "%(prog)s --degrees points.csv",
        {"lat": _LAT},
    ),
    Subcommand(
        "radii",
        "latitudes.radii",
        "geodetic lat -> radii of curvature",
        "The meridional radius of curvature M, the prime vertical radius N, the gaussian radius "
        "sqrt(M N) and the distance from the centre to the surface point, in metres, at "
        "geodetic latitudes.",
        "%(prog)s --degrees points.csv",
        {"lat": _LAT},
    ),
    Subcommand(
        "meridian-distance",
        "latitudes.meridian_distance",
        "geodetic lat -> distance along the meridian from the equator",
        "The distance in metres along the meridian from the equator to geodetic latitudes.",
        "%(prog)s --degrees points.csv",
        {"lat": _LAT},
    ),
    Subcommand(
        "latitude-at-meridian-distance",
        "latitudes.latitude_at_meridian_distance",
        "distance along the meridian -> geodetic lat",
        "The geodetic latitude at a distance s in metres along the meridian from the equator "
        "(nan beyond the quarter meridian).",
        "%(prog)s --degrees distances.csv",
        {"s": (("s", "distance", "meridian_distance"),)},
    ),
)

_POINTS = {
    "lat1": (("lat1", "latitude1"),),
    "lon1": (("lon1", "longitude1", "lng1"),),
    "lat2": (("lat2", "latitude2"),),
    "lon2": (("lon2", "longitude2", "lng2"),),
}
_RHUMB = (
    Subcommand(
        "rhumb-inverse",
        "rhumb.inverse",
        "two points -> rhumb-line distance, azimuth and area",
        "Length in metres of the rhumb line (constant azimuth) from point 1 to point 2 (lat1, "
        "lon1, lat2, lon2), the shorter way in longitude, its azimuth (clockwise from north) "
        "and the area between it and the equator (the record's S12 as column area12, square "
        "metres: column names are compared without case).",
        "%(prog)s --degrees pairs.csv -o courses.csv",
        _POINTS,
        output_columns=("s12", "azi12", "area12"),
    ),
    Subcommand(
        "rhumb-direct",
        "rhumb.direct",
        "start, azimuth, distance -> the point reached along the rhumb line",
        "The point reached from point 1 (lat1, lon1) along the rhumb line of azimuth azi12 "
        "(clockwise from north) after s12 metres (negative: backwards), and the area between "
        "the line and the equator (S12, as column area12, square metres).",
        "%(prog)s --degrees starts.csv -o destinations.csv",
        {
            "lat1": (("lat1", "latitude1"),),
            "lon1": (("lon1", "longitude1", "lng1"),),
            "azi12": (("azi12", "azimuth", "azi1", "course"),),
            "s12": (("s12", "distance"),),
        },
        output_columns=("lat2", "lon2", "area12"),
    ),
)

_INTERSECT = (
    Subcommand(
        "intersect",
        "geodesic.intersect",
        "two lines (start, azimuth) -> where their geodesics meet",
        "Where the geodesic from point 1 (lat1, lon1) with azimuth azi1 meets the one from "
        "point 2 (lat2, lon2) with azimuth azi2, the intersection closest to the starts: x and y "
        "(metres along each line from its start), the point (lat, lon), and coincident (0, or "
        "+1 / -1 where the lines run along each other).",
        "%(prog)s --degrees lines.csv -o crossings.csv",
        {
            "lat1": (("lat1", "latitude1"),),
            "lon1": (("lon1", "longitude1", "lng1"),),
            "azi1": (("azi1", "azimuth1", "az1"),),
            "lat2": (("lat2", "latitude2"),),
            "lon2": (("lon2", "longitude2", "lng2"),),
            "azi2": (("azi2", "azimuth2", "az2"),),
        },
    ),
)

# The transverse Mercator of a central meridian (k0 = 1: scale x, y by k0 for another).
_CENTRAL_MERIDIAN = Parameter("lon0", ("lon0",), ("LON0",), "the central meridian")
_UTM = (
    Subcommand(
        "tm-forward",
        "utm.tm_forward",
        "geodetic lat, lon -> transverse Mercator x, y",
        "Transverse Mercator x (east) and y (north) in metres of geodetic latitude and longitude, "
        "from the central meridian on the equator (no false origin, central scale 1), with the "
        "convergence and the scale (Krueger's series to n^12: within 3.4 nm up to 6,300 km from the "
        "central meridian; Lee's exact mapping beyond 6,367 km; nan beyond 90 degrees).",
        "%(prog)s --degrees --lon0 9 points.csv -o grid.csv",
        {"lon0": (("lon0", "central_meridian"),), "lat": _LAT, "lon": _LON},
        _CENTRAL_MERIDIAN,
    ),
    Subcommand(
        "tm-reverse",
        "utm.tm_reverse",
        "transverse Mercator x, y -> geodetic lat, lon",
        "Geodetic latitude and longitude of transverse Mercator x (east) and y (north) in metres "
        "from the central meridian on the equator (no false origin, central scale 1), with the "
        "convergence and the scale.",
        "%(prog)s --degrees --lon0 9 grid.csv -o points.csv",
        {
            "lon0": (("lon0", "central_meridian"),),
            "x": (("x", "easting"),),
            "y": (("y", "northing"),),
        },
        _CENTRAL_MERIDIAN,
    ),
)

# The UTM/UPS grid and MGRS: zones, hemisphere flags and codes are typed columns.
_ZONE_COLUMN = {"zone": (("zone", "utm_zone"),)}
_MGRS_COLUMN = (("mgrs", "code", "mgrs_code"),)
_GRID = (
    Subcommand(
        "utm",
        "utm.forward",
        "geodetic lat, lon -> UTM/UPS zone, hemisphere, easting, northing",
        "UTM or UPS coordinates of geodetic latitude and longitude: the zone (1-60; 0 for UPS), "
        "northp (true in the northern hemisphere), easting and northing in metres with the false "
        "origin, the convergence (grid north clockwise from true north) and the scale. The "
        "standard zone has the Norway (32V) and Svalbard (31X-37X) exceptions and UPS beyond 84 N "
        "and 80 S; a forced zone (--zone, or a zone column) is used as given, as far as the "
        "series serve (nan easting and northing beyond).",
        "%(prog)s --degrees points.csv -o grid.csv",
        {"lat": _LAT, "lon": _LON, **_ZONE_COLUMN},
        Parameter("zone", ("zone",), ("ZONE",), "the zone (1-60, 0 for UPS)", optional=True),
    ),
    Subcommand(
        "utm-reverse",
        "utm.reverse",
        "UTM/UPS zone, hemisphere, easting, northing -> geodetic lat, lon",
        "Geodetic latitude and longitude of UTM or UPS coordinates (zone 1-60 or 0 for UPS, "
        "northp true or false, also 1 or 0, easting and northing in metres with the false "
        "origin), with the convergence and the scale; longitude in [-180, 180).",
        "%(prog)s --degrees grid.csv -o points.csv",
        {
            **_ZONE_COLUMN,
            "northp": (("northp", "north", "northern"),),
            "easting": (("easting", "x"),),
            "northing": (("northing", "y"),),
        },
    ),
    Subcommand(
        "mgrs",
        "utm.to_mgrs",
        "geodetic lat, lon -> MGRS reference",
        "The MGRS reference of the square each point is in (truncated, not rounded), with "
        "--precision digits per coordinate (5: 1 m squares, the default; 0: 100 km); polar "
        "references (A, B, Y, Z) beyond 84 N and 80 S. Empty where there is none (nan).",
        "%(prog)s --degrees --precision 3 points.csv -o codes.csv",
        {"lat": _LAT, "lon": _LON},
    ),
    Subcommand(
        "mgrs-reverse",
        "utm.from_mgrs",
        "MGRS reference -> geodetic lat, lon of the square's centre",
        "Geodetic latitude and longitude of the centre of the square an MGRS reference names "
        "(letters of either case, spaces ignored). A malformed reference is an error naming its "
        "line and column.",
        "%(prog)s --degrees codes.csv -o points.csv",
        {"codes": _MGRS_COLUMN},
    ),
)

# Where two segments meet: the columns of their four ends.
_SEGMENTS = (
    Subcommand(
        "intersect-segments",
        "geodesic.intersect_segments",
        "two segments (their ends) -> where their geodesics meet, and whether within both",
        "Where the segment (shortest geodesic) from point 1a to 1b meets the one from 2a to 2b, "
        "the intersection of their lines closest to their midpoints: x and y (metres along each "
        "line from 1a and from 2a), the point (lat, lon), coincident (0, or +1 / -1 where the "
        "lines run along each other) and inside (true where the point lies within both "
        "segments).",
        "%(prog)s --degrees segments.csv -o crossings.csv",
        {
            f"{kind}{p}": ((f"{kind}{p}", f"{long}{p}"),)
            for p in ("1a", "1b", "2a", "2b")
            for kind, long in (("lat", "latitude"), ("lon", "longitude"))
        },
        bools=("inside",),
    ),
)

# The measures of geometries: one column of geometries (WKT text, WKB or GeoArrow), its
# coordinates (lon, lat) in degrees whatever --degrees says.
GEOMETRY_COLUMN = (("geometry", "geom", "the_geom", "wkt", "wkb", "shape"),)
_GEOMETRY_TEXT = (
    "Coordinates are longitude, latitude in degrees, as GIS stores them (--degrees changes "
    "nothing). The geometry column is WKT text in CSV and TSV, WKB or GeoArrow in GeoParquet, "
    "Parquet and Arrow; it is the GeoParquet primary column, or the column named by "
    "--geometry-column (default: geometry). Edges are geodesics, or rhumb lines with --rhumb. "
    "Empty and missing geometries (an empty field, a null) give nan; a malformed one is an "
    "error naming its line or row and column."
)
_GEOMETRY = (
    Subcommand(
        "geometry-area",
        "geodesic.geometry_area_perimeter",
        "polygons (WKT, WKB, GeoArrow) -> geodesic area and perimeter",
        "The geodesic area in square metres of each geometry (signed: counter-clockwise "
        "positive; holes subtract, parts add; 0 for lines and points) and its perimeter in "
        "metres (the shells'; a line's length). " + _GEOMETRY_TEXT,
        "%(prog)s countries.parquet -o areas.csv --keep name",
        {"geoms": GEOMETRY_COLUMN},
    ),
    Subcommand(
        "geometry-length",
        "geodesic.geometry_length",
        "lines (WKT, WKB, GeoArrow) -> geodesic length",
        "The geodesic length in metres of each geometry (a line's, the sum of a multiline's, "
        "the perimeter of a polygon's shells; 0 for points). " + _GEOMETRY_TEXT,
        "%(prog)s --rhumb tracks.csv -o lengths.csv --keep id",
        {"geoms": GEOMETRY_COLUMN},
    ),
)

SUBCOMMANDS: dict[str, Subcommand] = {
    sub.name: sub
    for sub in (*_TABLE, *_LATITUDES, *_RHUMB, *_INTERSECT, *_UTM, *_GRID, *_SEGMENTS, *_GEOMETRY)
}
