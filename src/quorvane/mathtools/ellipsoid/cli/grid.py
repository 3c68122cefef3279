"""The UTM/UPS grid and MGRS on the command line: ``utm``, ``utm-reverse``, ``mgrs`` and
``mgrs-reverse``.

These run the functions of :mod:`quorvane.mathtools.ellipsoid.utm` rather than an entry of the
registry's engine: their inputs and outputs are not all float64 (a zone number, a hemisphere
flag, an MGRS code). The operations below describe them for the table of subcommands (columns,
units, output records); :func:`call` runs one batch.

Units beyond the registry's: ``zone`` (a whole number 0-60, 0 for UPS), ``flag`` (true or
false: the northern hemisphere) and ``code`` (text: an MGRS reference).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from quorvane.mathtools.ellipsoid._registry import Input, Operation, Output
from quorvane.mathtools.ellipsoid.cli.errors import InputError

if TYPE_CHECKING:
    from quorvane.mathtools.ellipsoid.cli.batches import Plan
    from quorvane.mathtools.ellipsoid.cli.readers import Batch

# The units of inputs read from a column other than as float64 numbers.
TEXT_UNITS = ("flag", "code")


def _input(name: str, unit: str, text: str) -> Input:
    return Input(name, unit, text)  # type: ignore[arg-type]


_LAT = _input("lat", "latitude", "geodetic latitude")
_LON = _input("lon", "angle", "longitude")
_ZONE = _input("zone", "zone", "UTM zone 1-60, or 0 for UPS")

# The output records, as utm.GRID_dtype and utm.GEOGRAPHIC_dtype (not imported: --help must
# not load the kernels).
_GRID = Output(
    np.dtype(
        [
            ("zone", np.int32),
            ("northp", np.bool_),
            ("easting", np.float64),
            ("northing", np.float64),
            ("convergence", np.float64),
            ("scale", np.float64),
        ]
    ),
    ("convergence",),
)
_GEOGRAPHIC = Output(
    np.dtype([(n, np.float64) for n in ("lat", "lon", "convergence", "scale")]),
    ("lat", "lon", "convergence"),
)

FORWARD = Operation(
    "utm",
    "forward",
    "UTM or UPS coordinates of geodetic latitude and longitude.",
    (_LAT, _LON, _ZONE),
    _GRID,
    exact="utm.forward",
)
REVERSE = Operation(
    "utm",
    "reverse",
    "Geodetic latitude and longitude of UTM or UPS coordinates.",
    (
        _ZONE,
        _input("northp", "flag", "true in the northern hemisphere"),
        _input("easting", "length", "easting with the false easting (metres)"),
        _input("northing", "length", "northing with the false northing (metres)"),
    ),
    _GEOGRAPHIC,
    exact="utm.reverse",
)
TO_MGRS = Operation(
    "utm",
    "to_mgrs",
    "MGRS references of geodetic latitude and longitude.",
    (_LAT, _LON),
    Output(None),
    exact="utm.to_mgrs",
)
FROM_MGRS = Operation(
    "utm",
    "from_mgrs",
    "The latitude and longitude of the centres of the squares MGRS references name.",
    (_input("code", "code", "MGRS reference"),),
    Output(np.dtype([("lat", np.float64), ("lon", np.float64)]), ("lat", "lon")),
    exact="utm.from_mgrs",
)


def call(plan: Plan, values: dict[str, Any], batch: Batch) -> list[Any]:
    """The result columns of one batch: ``values`` are its inputs by name (``zone`` absent
    for the standard zone); a malformed code is an error naming its file, line or row."""
    from quorvane.mathtools.ellipsoid import utm

    ell, degrees = plan.ellipsoid, plan.degrees
    name = plan.op.operation.name
    if name == "forward":
        records = utm.forward(
            values["lat"], values["lon"], zone=values.get("zone"), ell=ell, degrees=degrees
        )
    elif name == "reverse":
        records = utm.reverse(
            values["zone"],
            values["northp"],
            values["easting"],
            values["northing"],
            ell=ell,
            degrees=degrees,
        )
    elif name == "to_mgrs":
        precision = 5 if plan.precision is None else plan.precision
        codes = utm.to_mgrs(
            values["lat"], values["lon"], precision=precision, ell=ell, degrees=degrees
        )
        return [np.atleast_1d(codes)]
    else:
        codes = values["code"]
        try:
            records = utm.from_mgrs(codes, ell=ell, degrees=degrees)
        except ValueError:
            k, message = _first_bad(codes, ell)
            column = plan.names[plan.columns[plan.op.columns["code"][0][0]]]
            raise InputError(batch.source, message, column=column, **batch.locate(k)) from None
    records = np.atleast_1d(records)
    return [np.ascontiguousarray(records[field]) for field in records.dtype.names]


def _first_bad(codes: Any, ell: Any) -> tuple[int, str]:
    """The index of the first code of ``codes`` that utm.from_mgrs refuses, and why (found by
    halving: one call per halving, however long the batch)."""
    from quorvane.mathtools.ellipsoid import utm

    lo, hi = 0, len(codes)  # the first bad one is in [lo, hi)
    while hi - lo > 1:
        mid = (lo + hi) // 2
        try:
            utm.from_mgrs(codes[lo:mid], ell=ell)
        except ValueError:
            hi = mid
        else:
            lo = mid
    try:
        utm.from_mgrs(str(codes[lo]), ell=ell)
    except ValueError as exc:
        message = str(exc).removeprefix("codes: ")
    else:  # pragma: no cover - the batch failed, so one code does
        message = f"{str(codes[lo])!r} is no MGRS reference"
    return lo, message
