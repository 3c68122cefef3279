"""The conversions of the command-line tool: what each subcommand reads, computes and writes,
and how one batch of input rows becomes output columns."""

from __future__ import annotations

import argparse
import math
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Protocol

import numpy as np
import numpy.typing as npt

from quorvane.mathtools.ellipsoid import catalogue
from quorvane.mathtools.ellipsoid.cli.errors import InputError, UsageError
from quorvane.mathtools.ellipsoid.cli.text import header_names

if TYPE_CHECKING:
    from quorvane.mathtools.ellipsoid.cli.readers import Batch, Kept, Source
    from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

FloatArray = npt.NDArray[np.float64]
Compute = Callable[["Ellipsoid", dict[str, FloatArray], tuple[Any, ...]], list[Any]]


@dataclass(frozen=True)
class Field:
    """An input column: its role, the header names tried by default, and whether it is an
    angle (converted by ``--degrees``) or a latitude (also range-checked)."""

    role: str
    aliases: tuple[str, ...]
    angle: bool = False
    latitude: bool = False


@dataclass(frozen=True)
class Operation:
    name: str
    summary: str
    description: str
    example: str
    fields: tuple[Field, ...]
    outputs: tuple[tuple[str, bool], ...]  # (column name, is an angle)
    # compute(ellipsoid, input columns by role, parameter: numbers, or columns with
    # param_rows) -> output columns
    compute: Compute
    # Optional parameter: the option that fixes it for the whole file, and the columns that
    # give it row by row (rows with equal values are converted together).
    param_option: str | None = None
    param_fields: tuple[Field, ...] = ()
    # compute takes the parameter's columns whole (arrays) instead of one group at a time.
    param_rows: bool = False
    # The same conversion on the vectorised path (--fast), which takes the parameter's
    # columns whole; None where there is none.
    fast_compute: Compute | None = None


def _rows3(cols: dict[str, FloatArray], a: str, b: str, c: str) -> FloatArray:
    return np.column_stack((cols[a], cols[b], cols[c]))


def _fields(rec: np.ndarray[Any, Any]) -> list[Any]:
    names = rec.dtype.names or ()
    return [rec[name] for name in names]


def _compute_lla(ell: Ellipsoid, cols: dict[str, FloatArray], _: object) -> list[Any]:
    return _fields(ell.lla_from_pos(_rows3(cols, "x", "y", "z")))


def _compute_ecef(ell: Ellipsoid, cols: dict[str, FloatArray], _: object) -> list[Any]:
    r = ell.pos_from_lla(cols["lat"], cols["lon"], cols["alt"])
    return [r[:, 0], r[:, 1], r[:, 2]]


def _compute_enu(ell: Ellipsoid, cols: dict[str, FloatArray], _: object) -> list[Any]:
    out: list[Any] = []
    for vector in _fields(ell.enu(cols["lat"], cols["lon"])):
        out.extend((vector[:, 0], vector[:, 1], vector[:, 2]))
    return out


def _compute_aer(ell: Ellipsoid, cols: dict[str, FloatArray], obs: tuple[float, ...]) -> list[Any]:
    from quorvane.mathtools.ellipsoid import frames

    return _fields(frames.aer_from_pos(ell, _rows3(cols, "x", "y", "z"), *obs))


def _fast_lla(ell: Ellipsoid, cols: dict[str, FloatArray], _: object) -> list[Any]:
    from quorvane.mathtools.ellipsoid import fast

    return _fields(fast.lla_from_pos(ell, _rows3(cols, "x", "y", "z")))


def _fast_ecef(ell: Ellipsoid, cols: dict[str, FloatArray], _: object) -> list[Any]:
    from quorvane.mathtools.ellipsoid import fast

    r = fast.pos_from_lla(ell, cols["lat"], cols["lon"], cols["alt"])
    return [r[:, 0], r[:, 1], r[:, 2]]


def _fast_aer(ell: Ellipsoid, cols: dict[str, FloatArray], obs: tuple[Any, ...]) -> list[Any]:
    from quorvane.mathtools.ellipsoid import fast

    return _fields(fast.aer_coords(ell, _rows3(cols, "x", "y", "z"), *obs))


def _fast_enu(ell: Ellipsoid, cols: dict[str, FloatArray], obs: tuple[Any, ...]) -> list[Any]:
    from quorvane.mathtools.ellipsoid import fast

    r = fast.enu_from_pos(ell, _rows3(cols, "x", "y", "z"), *obs)
    return [r[:, 0], r[:, 1], r[:, 2]]


def _compute_ray(
    ell: Ellipsoid, cols: dict[str, FloatArray], origin: tuple[float, ...]
) -> list[Any]:
    r = ell.surf_pos_of_ray_first_intersection(
        np.array(origin, dtype=np.float64), _rows3(cols, "ux", "uy", "uz")
    )
    return [r[:, 0], r[:, 1], r[:, 2]]


def _frames_compute(
    function: str, inputs: tuple[str, ...]
) -> Callable[[Ellipsoid, dict[str, FloatArray], tuple[Any, ...]], list[Any]]:
    """compute of a local-frame conversion: the input columns (as (N, 3) rows, or as three
    columns for geodetic and AER input) and the observer, numbers or columns."""

    def compute(ell: Ellipsoid, cols: dict[str, FloatArray], obs: tuple[Any, ...]) -> list[Any]:
        from quorvane.mathtools.ellipsoid import frames

        convert = getattr(frames, function)
        if inputs[0] in ("lat", "azimuth"):
            result = convert(ell, *(cols[name] for name in inputs), *obs)
        else:
            result = convert(ell, _rows3(cols, *inputs), *obs)
        return _fields(result) if result.dtype.names else [result[:, k] for k in range(3)]

    return compute


_X = Field("x", ("x", "ecef_x"))
_Y = Field("y", ("y", "ecef_y"))
_Z = Field("z", ("z", "ecef_z"))
_LAT = Field("lat", ("lat", "latitude"), angle=True, latitude=True)
_LON = Field("lon", ("lon", "longitude", "lng"), angle=True)
_ALT = Field("alt", ("alt", "altitude", "height", "h"))
_OBSERVER = (
    Field("obs_lat", ("obs_lat",), angle=True, latitude=True),
    Field("obs_lon", ("obs_lon",), angle=True),
    Field("obs_alt", ("obs_alt",)),
)
_EAST, _NORTH = Field("east", ("east", "e")), Field("north", ("north", "n"))
_UP, _DOWN = Field("up", ("up", "u")), Field("down", ("down", "d"))
_AER = (
    Field("azimuth", ("azimuth", "az"), angle=True),
    Field("elevation", ("elevation", "el"), angle=True),
    Field("range", ("range", "slant_range")),
)
_VECTOR = (Field("vx", ("vx", "v_x")), Field("vy", ("vy", "v_y")), Field("vz", ("vz", "v_z")))
_OBSERVER_TEXT = (
    "The observer is given once by --observer, or row by row by the columns obs_lat, obs_lon"
    ", obs_alt (see --observer-columns)."
)


def _frames_operation(
    name: str,
    function: str,
    summary: str,
    description: str,
    fields: tuple[Field, ...],
    outputs: tuple[tuple[str, bool], ...],
    observer: tuple[Field, ...] = _OBSERVER,
    fast_compute: Compute | None = None,
) -> Operation:
    given = " ".join(("47.3769", "8.5417", "408")[: len(observer)])
    return Operation(
        name=name,
        summary=summary,
        description=f"{description} {_OBSERVER_TEXT} Output columns: "
        + ", ".join(out for out, _ in outputs)
        + ".",
        example=f"%(prog)s --degrees --observer {given} points.csv",
        fields=fields,
        outputs=outputs,
        param_option="observer",
        param_fields=observer,
        param_rows=True,
        compute=_frames_compute(function, tuple(f.role for f in fields)),
        fast_compute=fast_compute,
    )


_LOCAL = (("east", False), ("north", False), ("up", False))
_NED = (("north", False), ("east", False), ("down", False))
_ECEF_OUT = (("x", False), ("y", False), ("z", False))
_LLA_OUT = (("lat", True), ("lon", True), ("alt", False))
_AER_OUT = (("azimuth", True), ("elevation", True), ("range", False))
_FRAMES = (
    _frames_operation(
        "enu-from-ecef",
        "enu_from_pos",
        "ECEF targets -> east, north, up in an observer's frame",
        "East, north and up coordinates in metres of ECEF targets in the local frame of an "
        "observer.",
        (_X, _Y, _Z),
        _LOCAL,
        fast_compute=_fast_enu,
    ),
    _frames_operation(
        "ned-from-ecef",
        "ned_from_pos",
        "ECEF targets -> north, east, down in an observer's frame",
        "North, east and down coordinates in metres of ECEF targets in the local frame of an "
        "observer.",
        (_X, _Y, _Z),
        _NED,
    ),
    _frames_operation(
        "ecef-from-enu",
        "pos_from_enu",
        "east, north, up in an observer's frame -> ECEF",
        "ECEF positions in metres of east, north and up coordinates in the local frame of an "
        "observer.",
        (_EAST, _NORTH, _UP),
        _ECEF_OUT,
    ),
    _frames_operation(
        "ecef-from-ned",
        "pos_from_ned",
        "north, east, down in an observer's frame -> ECEF",
        "ECEF positions in metres of north, east and down coordinates in the local frame of an "
        "observer.",
        (_NORTH, _EAST, _DOWN),
        _ECEF_OUT,
    ),
    _frames_operation(
        "enu-from-lla",
        "enu_from_lla",
        "geodetic targets -> east, north, up in an observer's frame",
        "East, north and up coordinates in metres of geodetic targets (lat, lon, alt) in the "
        "local frame of an observer.",
        (_LAT, _LON, _ALT),
        _LOCAL,
    ),
    _frames_operation(
        "lla-from-enu",
        "lla_from_enu",
        "east, north, up in an observer's frame -> geodetic lat, lon, alt",
        "Geodetic latitude, longitude and altitude of east, north and up coordinates in the "
        "local frame of an observer.",
        (_EAST, _NORTH, _UP),
        _LLA_OUT,
    ),
    _frames_operation(
        "aer-from-lla",
        "aer_from_lla",
        "geodetic targets -> azimuth, elevation, range from an observer",
        "Azimuth (from north towards east), elevation and slant range in metres of geodetic "
        "targets (lat, lon, alt) as seen by an observer.",
        (_LAT, _LON, _ALT),
        _AER_OUT,
    ),
    _frames_operation(
        "ecef-from-aer",
        "pos_from_aer",
        "azimuth, elevation, range from an observer -> ECEF",
        "ECEF positions in metres of targets at azimuth, elevation and slant range from an "
        "observer.",
        _AER,
        _ECEF_OUT,
    ),
    _frames_operation(
        "lla-from-aer",
        "lla_from_aer",
        "azimuth, elevation, range from an observer -> geodetic lat, lon, alt",
        "Geodetic latitude, longitude and altitude of targets at azimuth, elevation and slant "
        "range from an observer.",
        _AER,
        _LLA_OUT,
    ),
    _frames_operation(
        "enu-from-ecef-vector",
        "enu_from_ecef_vector",
        "ECEF vectors -> east, north, up components (rotation only)",
        "East, north and up components of ECEF vectors (velocities, directions) in the local "
        "frame at the observer's latitude and longitude: a rotation, no translation.",
        _VECTOR,
        _LOCAL,
        _OBSERVER[:2],
    ),
    _frames_operation(
        "ecef-vector-from-enu",
        "ecef_vector_from_enu",
        "east, north, up components -> ECEF vectors (rotation only)",
        "ECEF components of vectors given by east, north and up components in the local frame "
        "at the observer's latitude and longitude: a rotation, no translation.",
        (_EAST, _NORTH, _UP),
        (("vx", False), ("vy", False), ("vz", False)),
        _OBSERVER[:2],
    ),
)


def _compute_geodesic_inverse(ell: Ellipsoid, cols: dict[str, FloatArray], _: object) -> list[Any]:
    from quorvane.mathtools.ellipsoid import geodesic

    return _fields(geodesic.inverse(ell, cols["lat1"], cols["lon1"], cols["lat2"], cols["lon2"]))


def _compute_geodesic_direct(ell: Ellipsoid, cols: dict[str, FloatArray], _: object) -> list[Any]:
    from quorvane.mathtools.ellipsoid import geodesic

    return _fields(geodesic.direct(ell, cols["lat1"], cols["lon1"], cols["azi1"], cols["s12"]))


_LAT1 = Field("lat1", ("lat1", "latitude1"), angle=True, latitude=True)
_LON1 = Field("lon1", ("lon1", "longitude1", "lng1"), angle=True)
_GEODESICS = (
    Operation(
        name="geodesic-inverse",
        summary="two points -> geodesic distance and azimuths",
        description="Length in metres of the shortest geodesic between points 1 and 2 (lat1, "
        "lon1, lat2, lon2), and the forward azimuths at both ends (clockwise from north). "
        "Output columns: s12, azi1, azi2.",
        example="%(prog)s --degrees pairs.csv -o distances.csv",
        fields=(
            _LAT1,
            _LON1,
            Field("lat2", ("lat2", "latitude2"), angle=True, latitude=True),
            Field("lon2", ("lon2", "longitude2", "lng2"), angle=True),
        ),
        outputs=(("s12", False), ("azi1", True), ("azi2", True)),
        compute=_compute_geodesic_inverse,
    ),
    Operation(
        name="geodesic-direct",
        summary="start, azimuth, distance -> the point reached along the geodesic",
        description="The point reached from point 1 (lat1, lon1) along the geodesic leaving it "
        "with azimuth azi1 (clockwise from north) after s12 metres (negative: backwards), and "
        "the forward azimuth there. Output columns: lat2, lon2, azi2.",
        example="%(prog)s --degrees starts.csv -o destinations.csv",
        fields=(
            _LAT1,
            _LON1,
            Field("azi1", ("azi1", "azimuth1", "az1"), angle=True),
            Field("s12", ("s12", "distance")),
        ),
        outputs=(("lat2", True), ("lon2", True), ("azi2", True)),
        compute=_compute_geodesic_direct,
    ),
)

OPERATIONS: dict[str, Operation] = {
    op.name: op
    for op in (
        Operation(
            name="lla",
            summary="ECEF x, y, z -> geodetic lat, lon, alt",
            description="Geodetic latitude, longitude and altitude above the ellipsoid of "
            "Earth-centred Earth-fixed (ECEF) positions in metres. Output columns: lat, lon, "
            "alt. Latitude is NaN for the centre of the ellipsoid.",
            example="%(prog)s --degrees track.csv -o track_lla.csv",
            fields=(_X, _Y, _Z),
            outputs=(("lat", True), ("lon", True), ("alt", False)),
            compute=_compute_lla,
            fast_compute=_fast_lla,
        ),
        Operation(
            name="ecef",
            summary="geodetic lat, lon, alt -> ECEF x, y, z",
            description="ECEF positions in metres of geodetic latitude, longitude and altitude "
            "(metres above the ellipsoid, along its normal). Output columns: x, y, z.",
            example="%(prog)s --degrees --keep time points.csv > points_ecef.csv",
            fields=(_LAT, _LON, _ALT),
            outputs=(("x", False), ("y", False), ("z", False)),
            compute=_compute_ecef,
            fast_compute=_fast_ecef,
        ),
        Operation(
            name="aer",
            summary="ECEF targets -> azimuth, elevation, range from an observer",
            description="Azimuth (from north towards east, in [0, 360) degrees or [0, 2 pi)), "
            "elevation and slant range in metres of ECEF targets as "
            "seen by an observer. The observer is given once by --observer LAT LON ALT, or "
            "row by row by the columns obs_lat, obs_lon, obs_alt (see --observer-columns). "
            "Output columns: azimuth, elevation, range.",
            example="%(prog)s --degrees --observer 47.3769 8.5417 408 satellites.csv",
            fields=(_X, _Y, _Z),
            outputs=(("azimuth", True), ("elevation", True), ("range", False)),
            param_option="observer",
            param_fields=(
                Field("obs_lat", ("obs_lat",), angle=True, latitude=True),
                Field("obs_lon", ("obs_lon",), angle=True),
                Field("obs_alt", ("obs_alt",)),
            ),
            compute=_compute_aer,
            fast_compute=_fast_aer,
        ),
        Operation(
            name="enu",
            summary="lat, lon -> local East-North-Up unit vectors (ECEF components)",
            description="The East-North-Up frame at surface points given by geodetic latitude "
            "and longitude: nine output columns east_x, east_y, east_z, north_x, north_y, "
            "north_z, up_x, up_y, up_z (ECEF components of unit vectors).",
            example="%(prog)s --degrees stations.csv -o frames.csv",
            fields=(_LAT, _LON),
            outputs=tuple(
                (f"{axis}_{c}", False) for axis in ("east", "north", "up") for c in "xyz"
            ),
            compute=_compute_enu,
        ),
        Operation(
            name="ray",
            summary="ray directions from an origin -> point where the line meets the surface",
            description="The point (ECEF metres) where the line through an origin along each "
            "direction ux, uy, uz meets the ellipsoid surface nearest to the origin, in "
            "either direction along the line (behind the origin too). The origin is given "
            "once by --origin X Y Z, or row by row by the columns ox, oy, oz (see "
            "--origin-columns). Directions need not be unit vectors. A line that misses "
            "gives nan in all three output columns x, y, z.",
            example="%(prog)s --origin 7000000 0 0 directions.csv",
            fields=(
                Field("ux", ("ux", "u_x", "dx")),
                Field("uy", ("uy", "u_y", "dy")),
                Field("uz", ("uz", "u_z", "dz")),
            ),
            outputs=(("x", False), ("y", False), ("z", False)),
            param_option="origin",
            param_fields=(
                Field("ox", ("ox", "origin_x")),
                Field("oy", ("oy", "origin_y")),
                Field("oz", ("oz", "origin_z")),
            ),
            compute=_compute_ray,
        ),
        *_FRAMES,
        *_GEODESICS,
    )
}


def _check_latitudes(lat: FloatArray, batch: Batch, column: str, degrees: bool) -> None:
    limit = 90.0 if degrees else math.pi / 2
    outside = np.abs(lat) > limit
    if not outside.any():
        return
    k = int(np.argmax(outside))
    if degrees:
        msg = f"latitude {float(lat[k])!r} is outside [-90, 90] degrees"
    else:
        msg = (
            f"latitude {float(lat[k])!r} is outside [-pi/2, pi/2] radians "
            "(for angles in degrees add --degrees)"
        )
    raise InputError(batch.source, msg, column=column, **batch.locate(k))


# --------------------------------------------------------------------------------------------
# Running a conversion.


@dataclass
class Plan:
    """Everything a conversion needs, resolved from the options and the input header."""

    op: Operation
    ellipsoid: Ellipsoid
    degrees: bool
    positive_azimuth: bool
    source: str
    names: list[str]  # input header
    columns: dict[str, int]  # role -> index in a row
    param: tuple[float, ...]  # per-file parameter, radians and metres; () if none
    param_columns: dict[str, int] | None  # role -> index, when the parameter is per row
    keep: list[int]
    fast: bool = False  # the vectorised path (op.fast_compute)

    @property
    def header(self) -> list[str]:
        return [self.names[i] for i in self.keep] + [name for name, _ in self.op.outputs]


def _ellipsoid(args: argparse.Namespace) -> Ellipsoid:
    if args.re is None and args.f is None:
        try:
            return catalogue.get(args.ellipsoid or catalogue.DEFAULT)
        except KeyError as exc:
            raise UsageError(str(exc.args[0])) from None
    if args.ellipsoid is not None:
        raise UsageError("give --ellipsoid or --re and --f, not both")
    if args.re is None or args.f is None:
        raise UsageError("--re and --f must be given together")
    if not (math.isfinite(args.re) and args.re > 0):
        raise UsageError(f"--re must be a positive number of metres, got {args.re!r}")
    if not 0 <= args.f < 1:
        raise UsageError(f"--f must be in [0, 1), got {args.f!r}")
    from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

    return Ellipsoid(args.re, args.f)


def _select(
    data: Source, fields: Sequence[Field], names: str | None, option: str
) -> dict[str, int]:
    if names is not None:
        chosen = [n.strip() for n in names.split(",")]
        if len(chosen) != len(fields):
            raise UsageError(
                f"{option} takes {len(fields)} comma-separated column names "
                f"(for {', '.join(f.role for f in fields)}), got {len(chosen)}"
            )
        return {f.role: data.column_index(n) for f, n in zip(fields, chosen, strict=True)}
    selected = {}
    for f in fields:
        index = data.find(f.aliases)
        if index is None:
            raise InputError(
                data.name,
                f"no column for {f.role} (tried {', '.join(f.aliases)}; the header has "
                f"{header_names(data.header)}); name the columns with {option}",
                data.header_line,
            )
        selected[f.role] = index
    return selected


def make_plan(args: argparse.Namespace, op: Operation, data: Source) -> Plan:
    ellipsoid = _ellipsoid(args)
    columns = _select(data, op.fields, args.columns, "--columns")
    param: tuple[float, ...] = ()
    param_columns = None
    if op.param_option is not None:
        option = op.param_option
        fixed = getattr(args, option)
        names = getattr(args, f"{option}_columns")
        if fixed is not None and names is not None:
            raise UsageError(f"give --{option} or --{option}-columns, not both")
        if fixed is not None:
            param = _fixed_param(op, fixed, args.degrees)
        elif names is not None or all(data.find(f.aliases) is not None for f in op.param_fields):
            param_columns = _select(data, op.param_fields, names, f"--{option}-columns")
        else:
            roles = ", ".join(f.role for f in op.param_fields)
            raise UsageError(f"{op.name} needs --{option} or input columns {roles}")
    used = set(columns.values()) | set((param_columns or {}).values())
    if args.keep is None:
        keep = []
    elif args.keep.strip() == "*":
        keep = [i for i in range(len(data.header)) if i not in used]
    else:
        keep = [data.column_index(n) for n in args.keep.split(",")]
    _check_unique([data.header[i] for i in keep] + [name for name, _ in op.outputs])
    return Plan(
        op=op,
        ellipsoid=ellipsoid,
        degrees=args.degrees,
        positive_azimuth=getattr(args, "positive_azimuth", False),
        source=data.name,
        names=data.header,
        columns=columns,
        param=param,
        param_columns=param_columns,
        keep=keep,
        fast=bool(getattr(args, "fast", False)),
    )


def _check_unique(header: list[str]) -> None:
    """Refuse an output with two columns of one name (case ignored, as the input's are): no
    Parquet or pandas reader, nor this tool, could read it back."""
    folded = [name.casefold() for name in header]
    repeated = [name for name, key in zip(header, folded, strict=True) if folded.count(key) > 1]
    if repeated:
        names = ", ".join(repr(name) for name in dict.fromkeys(repeated))
        raise UsageError(
            f"output column names must be unique, but {names} would appear more than once; keep "
            "other columns (--keep), choose other input columns (--columns), or rename them in "
            "the input"
        )


def _fixed_param(op: Operation, given: Sequence[float], degrees: bool) -> tuple[float, ...]:
    values = []
    for fld, value in zip(op.param_fields, given, strict=True):
        if not math.isfinite(value):
            raise UsageError(f"--{op.param_option}: {value!r} is not a finite number")
        if fld.latitude and abs(value) > (90.0 if degrees else math.pi / 2):
            hint = "" if degrees else " (for degrees add --degrees)"
            raise UsageError(f"--{op.param_option}: latitude {value!r} is out of range{hint}")
        values.append(math.radians(value) if fld.angle and degrees else value)
    return tuple(values)


def _groups(keys: FloatArray) -> Iterator[tuple[tuple[float, ...], npt.NDArray[np.intp]]]:
    """Yield each distinct row of ``keys`` with the indices of the rows that equal it."""
    _, inverse = np.unique(keys, axis=0, return_inverse=True)
    inverse = inverse.reshape(-1)
    order = np.argsort(inverse, kind="stable")
    bounds = np.flatnonzero(np.diff(inverse[order])) + 1
    for idx in np.split(order, bounds):
        yield tuple(float(v) for v in keys[idx[0]]), idx


def convert_batch(plan: Plan, batch: Batch) -> tuple[list[Kept], list[FloatArray]]:
    """Return the kept input columns and the result columns of one batch of rows."""
    try:
        return _convert(plan, batch)
    except InputError:
        exact = batch.exact()  # the exact parser names the line of the fault
        if exact is None:
            raise
        return _convert(plan, exact)


def _convert(plan: Plan, batch: Batch) -> tuple[list[Kept], list[FloatArray]]:
    batch.check(len(plan.names))
    op = plan.op

    def read(fields: Sequence[Field], index: dict[str, int]) -> dict[str, FloatArray]:
        out = {}
        for fld in fields:
            k = index[fld.role]
            name = plan.names[k]
            values = batch.floats(k, name)
            if fld.latitude:
                _check_latitudes(values, batch, name, plan.degrees)
            out[fld.role] = np.radians(values) if fld.angle and plan.degrees else values
        return out

    cols = read(op.fields, plan.columns)
    compute = op.compute
    param_rows = op.param_rows
    if plan.fast and op.fast_compute is not None:
        compute, param_rows = op.fast_compute, True  # the fast functions broadcast observers
    if plan.param_columns is not None and param_rows:
        columns = tuple(read(op.param_fields, plan.param_columns).values())
        results = [np.asarray(r, np.float64) for r in compute(plan.ellipsoid, cols, columns)]
    elif plan.param_columns is None:
        results = [np.asarray(r, np.float64) for r in compute(plan.ellipsoid, cols, plan.param)]
    else:
        keys = np.column_stack(list(read(op.param_fields, plan.param_columns).values()))
        results = [np.empty(batch.rows) for _ in op.outputs]
        for key, idx in _groups(keys):
            part = {role: values[idx] for role, values in cols.items()}
            for out, res in zip(results, op.compute(plan.ellipsoid, part, key), strict=True):
                out[idx] = res
    for i, (name, angle) in enumerate(op.outputs):
        if angle and plan.degrees:
            results[i] = np.degrees(results[i])
    return [batch.kept(k) for k in plan.keep], results


def numeric_columns(plan: Plan) -> list[int]:
    """Indices of the input columns read as numbers."""
    return sorted(set(plan.columns.values()) | set((plan.param_columns or {}).values()))


class Writer(Protocol):
    """Where :func:`convert_batches` puts the kept and result columns of each batch."""

    def write(self, kept: Sequence[Kept], results: Sequence[FloatArray]) -> None: ...

    def close(self) -> None: ...

    def abandon(self) -> None: ...


def convert_batches(
    plan: Plan, source: Source, chunk_rows: int, writer: Writer, progress: Callable[[int], None]
) -> int:
    """Convert ``source`` batch by batch into ``writer`` and close it (abandon it on any
    failure); ``progress`` is told the rows of each batch. Return the number of rows."""
    rows = 0
    try:
        for batch in source.batches(chunk_rows, numeric_columns(plan), plan.keep):
            if batch.rows:
                writer.write(*convert_batch(plan, batch))
            progress(batch.rows)
            rows += batch.rows
    except BaseException:
        writer.abandon()
        raise
    writer.close()
    return rows
