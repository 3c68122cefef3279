"""Vectorised geodetic conversions: several points per instruction, for clouds of
millions of points.

The functions take the arguments of the :class:`~quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid`
methods of the same names, the ellipsoid first, and give results of the same dtypes and
shapes. Inputs may be of any real numeric dtype and any layout (strided, unaligned);
latitudes and longitudes are radians, lengths are in the unit of ``Re``.

The results are not bit-identical to the methods: the formulas are chosen for speed and
accuracy rather than the methods' fixed order. ECEF to geodetic solves the foot-point
equation for the sine and cosine of the reduced latitude by Newton steps without
trigonometry in the loop (after T. Fukushima, "Transformation from Cartesian to geodetic
coordinates accelerated by Halley's method", J. Geodesy 79, 2006), then takes one
arctangent; geodetic to ECEF uses the prime-vertical radius; azimuth, elevation and range
rotate the offset from the observer into East-North-Up and take both angles by an
arctangent, well-conditioned at every elevation. On WGS84 within 1e6 m of the surface the
latitude is within 4e-16 rad of the truth and the altitude within 2 units in the last place
of max(Re, \\|r\\|).

Points where these formulas lose accuracy or range take the methods' exact kernel, point by
point: within Re / 4 of the centre, exactly on the polar axis, lengths beyond about 2^490 or
below 2^-490 (``aer_coords`` serves targets at any finite distance: it scales far offsets
before squaring them), flattenings above 1/100 (for ``lla_from_pos``), latitudes outside
[-pi/2, pi/2], longitudes beyond 2^20 rad, a target straight above or below its observer,
and NaN or infinite values (whose rows are then those of the methods).

The instruction-set level (``scalar``, ``sse2``, ``avx2`` on x86-64; ``neon`` on
arm64) is the best the machine has; the environment variable ``QUORVANE_SIMD``
forces one (for tests and bug reports). Every level gives the same bits. Long loops
release the interpreter lock and are split over threads, as the methods' loops are
(``QUORVANE_NUM_THREADS`` caps the threads).
"""

from __future__ import annotations

import itertools
import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.lib.stride_tricks import as_strided

from quorvane.datamodel import AER_dtype, LLA_dtype
from quorvane.mathtools.ellipsoid import _fast
from quorvane.mathtools.ellipsoid._arguments import (
    broadcast_shape,
    check_ellipsoid,
    numeric,
    vectors,
)
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

__all__ = ["aer_coords", "enu_from_pos", "level", "levels", "lla_from_pos", "pos_from_lla"]

# The aliases exist for the type checker only (as in frames).
if TYPE_CHECKING:
    type _Real = float | np.integer[Any] | np.floating[Any]
    # Numbers, nested sequences of numbers, or arrays of a real dtype.
    type _Reals = (
        _Real
        | Sequence[_Real]
        | Sequence[Sequence[_Real]]
        | np.ndarray[Any, np.dtype[np.integer[Any] | np.floating[Any] | np.bool]]
    )
    type _Records = np.ndarray[tuple[int, ...], np.dtype[np.void]]
    type _Float64 = np.ndarray[tuple[int, ...], np.dtype[np.float64]]


# Inputs that are float64 views the loops can walk with one stride per axis (strided,
# unaligned, broadcast) are read in place. Others (other dtypes, layouts whose leading axes
# do not flatten to one stride) are converted this many rows at a time, so that the memory
# used beyond the result stays bounded.
_BLOCK_ROWS = 1 << 16


def _rows_of(name: str, x: Any) -> np.ndarray[Any, Any]:
    """``x`` as an array of shape (..., 3) of a real dtype, or an error naming ``name``."""
    return _small_as_float64(vectors(name, x, rows="..."))


def _small_as_float64(a: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    """Arrays of another dtype no longer than a block are converted at once (numbers, an
    observer); longer ones block by block."""
    if a.dtype != np.float64 and a.size <= 3 * _BLOCK_ROWS:
        return a.astype(np.float64)
    return a


def _flattened(a: np.ndarray[Any, Any], lead: int) -> np.ndarray[Any, Any] | None:
    """``a`` with its ``lead`` leading axes flattened into one, as a view (no copy) in
    native float64, or None where no single stride walks them."""
    if a.dtype != np.float64:
        return None
    if any(n == 0 for n in a.shape[:lead]):
        return np.empty((0, *a.shape[lead:]))
    axes = [(n, s) for n, s in zip(a.shape[:lead], a.strides[:lead]) if n != 1]
    if any(s0 != s1 * n1 for (_, s0), (n1, s1) in itertools.pairwise(axes)):
        return None
    n = math.prod(a.shape[:lead])
    step = axes[-1][1] if axes else 0
    return as_strided(a, (n, *a.shape[lead:]), (step, *a.strides[lead:]), writeable=False)


def _run(
    loop: Any,
    ell: Ellipsoid,
    shape: tuple[int, ...],
    rows: list[np.ndarray[Any, Any]],
    columns: list[np.ndarray[Any, Any]],
    out: _Float64,
) -> None:
    """``loop(ell, *rows, *columns, out)`` over the broadcast leading ``shape``: ``rows``
    are broadcast to ``shape + (3,)``, ``columns`` to ``shape``, ``out`` has ``shape``'s
    rows in C order. Views the loop can walk are passed whole; the others a block of rows at
    a time, converted to contiguous float64."""
    lead = len(shape)
    rows = [np.broadcast_to(r, (*shape, 3)) for r in rows]
    columns = [np.broadcast_to(c, shape) for c in columns]
    n = math.prod(shape)
    whole = [_flattened(a, lead) for a in (*rows, *columns)]
    if all(w is not None for w in whole) or n <= _BLOCK_ROWS or lead == 0:
        args = [
            w
            if w is not None
            else np.ascontiguousarray(a, dtype=np.float64).reshape(n, *a.shape[lead:])
            for w, a in zip(whole, (*rows, *columns))
        ]
        loop(ell, *args, out)
        return
    inner = n // shape[0]
    if inner > _BLOCK_ROWS:  # one index of the first axis at a time, the others in blocks
        for i in range(shape[0]):
            part = out[i * inner : (i + 1) * inner]
            _run(loop, ell, shape[1:], [r[i] for r in rows], [c[i] for c in columns], part)
        return
    # Blocks of whole indices of the first axis, each within _BLOCK_ROWS rows.
    step = _BLOCK_ROWS // inner
    for i in range(0, shape[0], step):
        j = min(i + step, shape[0])
        _run(
            loop,
            ell,
            (j - i, *shape[1:]),
            [r[i:j] for r in rows],
            [c[i:j] for c in columns],
            out[i * inner : j * inner],
        )


def level() -> str:
    """The instruction-set level the conversions run at now: the best this machine
    has, or the one ``QUORVANE_SIMD`` names.

    Raises
    ------
    ValueError
        If ``QUORVANE_SIMD`` names a level this machine or build lacks.
    """
    return str(_fast.level())


def levels() -> tuple[str, ...]:
    """The instruction-set levels this machine runs, best last (each a value of
    ``QUORVANE_SIMD``)."""
    return tuple(_fast.levels())


def lla_from_pos(ell: Ellipsoid, r: _Reals) -> _Records:
    """Geodetic latitude, longitude and altitude of ECEF positions.

    Parameters
    ----------
    ell : Ellipsoid
        The reference ellipsoid.
    r : array_like, shape (3,) or (..., 3)
        Positions in the unit of ``ell.Re``; any real dtype and layout.

    Returns
    -------
    numpy.ndarray of LLA_dtype
        Records (lat, lon, alt): radians, radians, the unit of ``Re``. Shape (1,) for
        a (3,) input, else the leading shape of ``r``, as ``Ellipsoid.lla_from_pos``.

    Notes
    -----
    On the polar axis the longitude is 0, as the method gives it. NaN and infinite
    rows are those of the method.

    Examples
    --------
    >>> from quorvane.mathtools.ellipsoid import catalogue, fast
    >>> lla = fast.lla_from_pos(catalogue.get("WGS84"), [6378137.0, 0.0, 0.0])
    >>> float(lla["lat"][0]), float(lla["alt"][0])
    (0.0, 0.0)
    """
    check_ellipsoid(ell)
    rows = _rows_of("r", r)
    lead = rows.shape[:-1]
    out = np.empty(math.prod(lead), dtype=LLA_dtype)
    _run(_fast.lla_from_pos, ell, lead, [rows], [], out.view(np.float64).reshape(-1, 3))
    return out.reshape(lead if lead else (1,))


def pos_from_lla(ell: Ellipsoid, lat: _Reals, lon: _Reals, alt: _Reals) -> _Float64:
    """ECEF positions of geodetic coordinates.

    Parameters
    ----------
    ell : Ellipsoid
        The reference ellipsoid.
    lat, lon : array_like
        Geodetic latitude and longitude, radians; any real dtype and layout.
    alt : array_like
        Altitude above the ellipsoid along its normal, in the unit of ``ell.Re``.
        The three broadcast against each other.

    Returns
    -------
    numpy.ndarray of float64, shape (..., 3)
        Positions: shape (3,) for numbers, the broadcast shape plus (3,) for arrays,
        as ``Ellipsoid.pos_from_lla``.

    Raises
    ------
    ValueError
        If the shapes do not broadcast.

    Examples
    --------
    >>> from quorvane.mathtools.ellipsoid import catalogue, fast
    >>> fast.pos_from_lla(catalogue.get("WGS84"), 0.0, 0.0, 0.0).tolist()
    [6378137.0, 0.0, 0.0]
    """
    check_ellipsoid(ell)
    names = ("lat", "lon", "alt")
    arrays = [_small_as_float64(numeric(n, v)) for n, v in zip(names, (lat, lon, alt))]
    shape = broadcast_shape({n: a.shape for n, a in zip(names, arrays)})
    out = np.empty(shape + (3,), dtype=np.float64)
    _run(_fast.pos_from_lla, ell, shape, [], arrays, out.reshape(-1, 3))
    return out


def aer_coords(
    ell: Ellipsoid, r_target: _Reals, lat_obs: _Reals, lon_obs: _Reals, alt_obs: _Reals
) -> _Records:
    """Azimuth, elevation and range of ECEF targets seen from geodetic observers.

    Parameters
    ----------
    ell : Ellipsoid
        The reference ellipsoid.
    r_target : array_like, shape (3,) or (..., 3)
        Target positions in the unit of ``ell.Re``; any real dtype and layout.
    lat_obs, lon_obs, alt_obs : array_like
        The observers' geodetic latitude and longitude (radians) and altitude; numbers, or
        arrays that broadcast against the targets' leading shape (one observer per target).

    Returns
    -------
    numpy.ndarray of AER_dtype
        Records (azimuth, elevation, range): azimuth clockwise from north in (-pi, pi],
        elevation in [-pi/2, pi/2], range in the unit of ``Re``. Shape (1,) for one target
        and scalar observers, else the broadcast leading shape, as ``Ellipsoid.aer_coords``.

    Notes
    -----
    The elevation is ``atan2(up, horizontal)`` at every elevation. A target at the
    observer, straight overhead, or rows with NaN or infinite values are the method's.

    Raises
    ------
    ValueError
        If the shapes do not broadcast.

    Examples
    --------
    >>> from quorvane.mathtools.ellipsoid import catalogue, fast
    >>> aer = fast.aer_coords(catalogue.get("WGS84"), [7378137.0, 0.0, 1.0], 0.0, 0.0, 0.0)
    >>> round(float(aer["range"][0]), 3)
    1000000.0
    """
    shape, rows, columns = _observed(ell, r_target, lat_obs, lon_obs, alt_obs)
    out = np.empty(math.prod(shape), dtype=AER_dtype)
    _run(_fast.aer_coords, ell, shape, rows, columns, out.view(np.float64).reshape(-1, 3))
    return out.reshape(shape if shape else (1,))


def enu_from_pos(
    ell: Ellipsoid, r_target: _Reals, lat_obs: _Reals, lon_obs: _Reals, alt_obs: _Reals
) -> _Float64:
    """East, north and up coordinates of ECEF targets in the frames of geodetic observers.

    Parameters
    ----------
    ell : Ellipsoid
        The reference ellipsoid.
    r_target : array_like, shape (3,) or (..., 3)
        Target positions in the unit of ``ell.Re``; any real dtype and layout.
    lat_obs, lon_obs, alt_obs : array_like
        The observers' geodetic latitude and longitude (radians) and altitude; numbers, or
        arrays that broadcast against the targets' leading shape.

    Returns
    -------
    numpy.ndarray of float64, shape (..., 3)
        East, north, up in the unit of ``Re``: the broadcast leading shape plus (3,), as
        ``frames.enu_from_pos``.

    Raises
    ------
    ValueError
        If the shapes do not broadcast.

    Examples
    --------
    >>> from quorvane.mathtools.ellipsoid import catalogue, fast
    >>> fast.enu_from_pos(catalogue.get("WGS84"), [7378137.0, 0.0, 0.0], 0.0, 0.0, 0.0).tolist()
    [0.0, 0.0, 1000000.0]
    """
    shape, rows, columns = _observed(ell, r_target, lat_obs, lon_obs, alt_obs)
    out = np.empty(shape + (3,), dtype=np.float64)
    _run(_fast.enu_from_pos, ell, shape, rows, columns, out.reshape(-1, 3))
    return out


def _observed(
    ell: Any, r_target: Any, lat_obs: Any, lon_obs: Any, alt_obs: Any
) -> tuple[tuple[int, ...], list[np.ndarray[Any, Any]], list[np.ndarray[Any, Any]]]:
    """The broadcast leading shape, the targets' rows and the observers' columns."""
    check_ellipsoid(ell)
    rows = _rows_of("r_target", r_target)
    lead = rows.shape[:-1]
    names = ("lat_obs", "lon_obs", "alt_obs")
    arrays = [_small_as_float64(numeric(n, v)) for n, v in zip(names, (lat_obs, lon_obs, alt_obs))]
    shape = broadcast_shape(
        {"r_target": lead, **{n: a.shape for n, a in zip(names, arrays)}},
        shown={"r_target": rows.shape},
    )
    return shape, [rows], arrays
