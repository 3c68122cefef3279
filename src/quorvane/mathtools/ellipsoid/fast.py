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
below 2^-490, flattenings above 1/100 (for ``lla_from_pos``), latitudes outside
[-pi/2, pi/2], longitudes beyond 2^20 rad, a target straight above or below its observer,
and NaN or infinite values (whose rows are then those of the methods).

The instruction-set level (``scalar``, ``sse2``, ``avx2`` on x86-64; ``neon`` on
arm64) is the best the machine has; the environment variable ``QUORVANE_SIMD``
forces one (for tests and bug reports). Every level gives the same bits. Long loops
release the interpreter lock and are split over threads, as the methods' loops are
(``QUORVANE_NUM_THREADS`` caps the threads).
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from quorvane.datamodel import AER_dtype, LLA_dtype
from quorvane.mathtools.ellipsoid import _fast
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

__all__ = ["aer_coords", "level", "levels", "lla_from_pos", "pos_from_lla"]

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


def _check_ell(ell: Any) -> None:
    if not isinstance(ell, Ellipsoid):
        raise TypeError(f"ell must be an Ellipsoid, got {type(ell).__name__}")


def _numeric(name: str, x: Any) -> np.ndarray[Any, Any]:
    """``x`` as an array of a real numeric dtype, or an error naming ``name``."""
    try:
        a = np.asarray(x)
    except (ValueError, TypeError) as exc:
        raise ValueError(f"{name}: not convertible to an array ({exc})") from None
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{name} must be real numbers, got an array of dtype {a.dtype}")
    return a


def _float64_rows(name: str, x: Any) -> tuple[tuple[int, ...], _Float64]:
    """The leading shape of (..., 3) ``x`` and its rows as a C-contiguous (N, 3)
    float64 array (``x`` itself where it already is one, aligned or not)."""
    a = _numeric(name, x)
    if a.ndim == 0 or a.shape[-1] != 3:
        raise ValueError(f"{name} must have shape (3,) or (..., 3), got {a.shape}")
    lead = a.shape[:-1]
    rows = a.reshape(-1, 3)
    if rows.dtype != np.float64 or not rows.flags.c_contiguous:
        rows = np.ascontiguousarray(rows, dtype=np.float64)
    return lead, rows


def _column(a: np.ndarray[Any, Any], shape: tuple[int, ...]) -> _Float64:
    """``a`` broadcast to ``shape`` as a contiguous float64 column, or its one value."""
    if a.size == 1:
        return a.reshape(1).astype(np.float64)
    if a.shape == shape:
        return np.ascontiguousarray(a.reshape(-1), dtype=np.float64)
    return np.ascontiguousarray(np.broadcast_to(a, shape).reshape(-1), dtype=np.float64)


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
    _check_ell(ell)
    lead, rows = _float64_rows("r", r)
    out = np.empty(len(rows), dtype=LLA_dtype)
    _fast.lla_from_pos(ell, rows, out.view(np.float64).reshape(-1, 3))
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
    _check_ell(ell)
    names = ("lat", "lon", "alt")
    arrays = [_numeric(n, v) for n, v in zip(names, (lat, lon, alt))]
    try:
        shape = np.broadcast_shapes(*(a.shape for a in arrays))
    except ValueError:
        listed = ", ".join(f"{n} {a.shape}" for n, a in zip(names, arrays))
        raise ValueError(f"shapes do not broadcast: {listed}") from None
    lat_c, lon_c, alt_c = (_column(a, shape) for a in arrays)
    out = np.empty(shape + (3,), dtype=np.float64)
    _fast.pos_from_lla(ell, lat_c, lon_c, alt_c, out.reshape(-1, 3))
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
    _check_ell(ell)
    lead, rows = _float64_rows("r_target", r_target)
    names = ("lat_obs", "lon_obs", "alt_obs")
    arrays = [_numeric(n, v) for n, v in zip(names, (lat_obs, lon_obs, alt_obs))]
    try:
        shape = np.broadcast_shapes(lead, *(a.shape for a in arrays))
    except ValueError:
        listed = ", ".join(f"{n} {a.shape}" for n, a in zip(names, arrays))
        raise ValueError(f"shapes do not broadcast: r_target {lead + (3,)}, {listed}") from None
    if shape != lead:
        rows = np.ascontiguousarray(np.broadcast_to(rows.reshape(lead + (3,)), shape + (3,)))
        rows = rows.reshape(-1, 3)
    lat_c, lon_c, alt_c = (_column(a, shape) for a in arrays)
    out = np.empty(int(np.prod(shape, dtype=np.int64)), dtype=AER_dtype)
    _fast.aer_coords(ell, rows, lat_c, lon_c, alt_c, out.view(np.float64).reshape(-1, 3))
    return out.reshape(shape if shape else (1,))
