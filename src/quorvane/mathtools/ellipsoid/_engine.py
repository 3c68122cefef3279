"""The one face of the companion modules: every public function of ``frames``, ``geodesic`` and
``fast`` is built here from its entry in ``_registry``.

A call goes through the same steps whatever the operation:

1. the ellipsoid: an ``Ellipsoid``, a catalogue name or an ``(Re, f)`` pair, validated
   (finite ``Re > 0``, ``0 <= f < 1``; also under ``python -O``, where the constructor's
   assertions are gone);
2. plain numbers (and one 3-vector) go straight to the kernel's one-point form where it has
   one; anything else becomes arrays of a real dtype, broadcast against each other;
3. angles from degrees where ``degrees=True`` (longitudes and azimuths beyond 540 degrees
   first reduced exactly by 360); latitudes beyond +-90 degrees become NaN rows, with one
   RuntimeWarning naming the parameters;
4. the kernel, exact or vectorised, fills (N, K) float64 rows (the families below);
5. angles back to degrees, an observation's azimuth into [0, 360) degrees ([0, 2 pi)), and the
   rows shaped as the broadcast shape: a record scalar (or one (3,) vector) for one point.

A failed allocation is a MemoryError, also where NumPy reports it as a SystemError. The call
paths build no function objects (generator expressions, lambdas): under CPython 3.13.0 a
function object whose allocation fails leaves its code object one reference short, and the
interpreter crashes later (docs/development.rst, "Allocation failures").
"""

from __future__ import annotations

import functools
import inspect
import itertools
import math
import numbers
import os
import warnings
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from numpy.lib.stride_tricks import as_strided

from quorvane.mathtools.ellipsoid import catalogue
from quorvane.mathtools.ellipsoid._arguments import broadcast_shape, numeric, strings, vectors
from quorvane.mathtools.ellipsoid._registry import Input, Operation
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

__all__ = [
    "call",
    "ellipsoid",
    "memory_errors",
    "parameters",
    "public",
    "reduced_degree",
    "reduced_degrees",
]

type _Array = np.ndarray[Any, Any]

_HALF_PI = math.pi / 2
_TURN = {False: 2 * math.pi, True: 360.0}

# -- The ellipsoid ---------------------------------------------------------------------------

# The Ellipsoids built from names and pairs, keyed by the exact bits of (Re, f): -0.0 is not
# 0.0. A process that sees many pairs starts afresh.
_BUILT: dict[tuple[str, str], Ellipsoid] = {}
_BUILT_MAX = 32


def _valid(Re: float, f: float) -> None:
    if not (math.isfinite(Re) and Re > 0.0):
        raise ValueError(f"ell: the equatorial radius Re must be finite and positive, got {Re!r}")
    if not (0.0 <= f < 1.0):
        raise ValueError(f"ell: the flattening f must be in [0, 1), got {f!r}")


def _build(Re: float, f: float) -> Ellipsoid:
    key = (Re.hex(), f.hex())
    built = _BUILT.get(key)
    if built is None:
        _valid(Re, f)
        if len(_BUILT) >= _BUILT_MAX:
            _BUILT.clear()
        built = _BUILT[key] = Ellipsoid(Re, f)
    return built


def _real(v: Any) -> bool:
    return isinstance(v, numbers.Real) and not isinstance(v, bool)


def parameters(ell: Any) -> tuple[float, float]:
    """``(Re, f)`` of an ``Ellipsoid``, a catalogue name or an ``(Re, f)`` pair, validated."""
    if isinstance(ell, Ellipsoid):
        Re, f = ell.Re, ell.f
    elif isinstance(ell, str):
        try:
            entry = catalogue.lookup(ell)
        except KeyError as exc:
            raise ValueError(f"ell: {exc.args[0]}") from None
        Re, f = entry.Re, entry.f
    elif isinstance(ell, tuple) and len(ell) == 2:
        if not (_real(ell[0]) and _real(ell[1])):
            raise TypeError(f"ell: (Re, f) must be two real numbers, got {ell!r}")
        Re, f = float(ell[0]), float(ell[1])
    else:
        raise TypeError(
            "ell must be an Ellipsoid, a catalogue name or a pair (Re, f), "
            f"got {type(ell).__name__}"
        )
    _valid(Re, f)
    return Re, f


def ellipsoid(ell: Any) -> Ellipsoid:
    """The ``Ellipsoid`` that ``ell`` names (itself, for an ``Ellipsoid``), validated."""
    if isinstance(ell, Ellipsoid):
        _valid(ell.Re, ell.f)
        return ell
    return _build(*parameters(ell))


# -- Arguments -------------------------------------------------------------------------------


def _plain(values: Sequence[Any]) -> bool:
    """Numbers that ``float`` converts as ``numpy.asarray`` would: floats, and integers
    within int64."""
    for v in values:
        kind = type(v)
        if not (kind is float or kind is np.float64 or (kind is int and -(2**63) <= v < 2**63)):
            return False
    return True


# Warnings point at the first frame outside the package: the caller of the public function,
# however many of the package's functions lie between (utm.forward's wrapper, Dask's task).
_PACKAGE = os.path.dirname(__file__) + os.sep


def _warn_latitudes(names: list[str], degrees: bool) -> None:
    bound = "90 degrees" if degrees else "pi/2 (degrees without degrees=True?)"
    warnings.warn(
        f"{', '.join(names)}: latitudes beyond +-{bound} give NaN rows",
        RuntimeWarning,
        skip_file_prefixes=(_PACKAGE,),
    )


def _integers(i: Input, v: Any) -> _Array:
    """Whole numbers within the input's bounds, as an array of a real dtype."""
    a = numeric(i.name, v)
    lo, hi = i.bounds or (-math.inf, math.inf)
    if a.dtype.kind in "biu" and (a.size == 0 or lo <= a.min() and a.max() <= hi):
        return a  # whole already: two reductions, no temporaries
    bad = ~((a >= lo) & (a <= hi) & (a == np.floor(a)))  # NaN compares quietly: not whole
    if bad.any():
        first = a[bad].reshape(-1)[0].item()
        raise ValueError(f"{i.name} must be {i.domain or 'whole numbers'}, got {first!r}")
    return a


def _argument(i: Input, v: Any) -> _Array | None:
    if v is None and i.absent is not None:  # a keyword input left out
        return None
    if i.unit == "vector":
        return vectors(i.name, v, rows="...")
    if i.unit == "integer":
        return _integers(i, v)
    if i.unit == "text":
        return strings(i.name, v)
    return numeric(i.name, v)


def _arrays(op: Operation, args: Sequence[Any]) -> tuple[tuple[int, ...], list[Any]]:
    """The arguments (of the inputs, then the keyword inputs: None where left out) as arrays
    and their broadcast leading shape."""
    inputs = op.inputs + op.keywords
    arrays = [_argument(i, v) for i, v in zip(inputs, args, strict=True)]
    leading = {
        i.name: a.shape[:-1] if i.unit == "vector" else a.shape
        for i, a in zip(inputs, arrays)
        if a is not None
    }
    shown = {i.name: a.shape for i, a in zip(inputs, arrays) if i.unit == "vector"}
    return broadcast_shape(leading, shown), arrays


def _options(op: Operation, given: dict[str, Any] | None) -> tuple[int, ...]:
    """The values of the operation's options, checked (defaults where not given)."""
    values = []
    for o in op.options:
        v = (given or {}).get(o.name, o.default)
        lo, hi = o.bounds
        if not isinstance(v, (int, np.integer)) or isinstance(v, (bool, np.bool_)):
            raise TypeError(f"{o.name} must be an integer {lo}-{hi}, got {type(v).__name__}")
        if not lo <= v <= hi:
            raise ValueError(f"{o.name} must be {lo}-{hi}, got {v}")
        values.append(int(v))
    return tuple(values)


def _latitudes(
    op: Operation, shape: tuple[int, ...], arrays: list[_Array], degrees: bool
) -> _Array | None:
    """Latitudes beyond the poles replaced by NaN in ``arrays`` (the kernels would fold them
    into the other hemisphere), warning once with their parameters' names; the rows of the
    broadcast shape, flattened, that they make NaN (None where there is none)."""
    limit = 90.0 if degrees else _HALF_PI
    bad: _Array | None = None
    names = []
    for k, i in enumerate(op.inputs):
        if i.unit != "latitude":
            continue
        a = arrays[k]
        # Two reductions without temporaries first: most calls have nothing beyond.
        if a.size == 0 or not (
            np.fmax.reduce(a, axis=None) > limit or np.fmin.reduce(a, axis=None) < -limit
        ):
            continue
        beyond = np.abs(a) > limit
        if beyond.any():
            names.append(i.name)
            arrays[k] = np.where(beyond, np.nan, arrays[k])
            beyond = np.broadcast_to(beyond, shape)
            bad = beyond if bad is None else bad | beyond
    if bad is None:
        return None
    _warn_latitudes(names, degrees)
    return bad.reshape(-1)


# Degrees beyond this are reduced by 360 before they become radians: radians(1e20) is off by
# hundreds of radians, while the remainder by 360 is exact. Up to 540 degrees the conversion
# keeps its bits (and its error, at most half a unit of the last place of 3 pi).
_ORDINARY_DEGREES = 540.0


def reduced_degree(x: float) -> float:
    """``x`` degrees as the angle of (-180, 180] it stands for, exactly, where ``|x| > 540``;
    ``x`` itself otherwise (an infinity gives NaN)."""
    if not abs(x) > _ORDINARY_DEGREES:
        return x
    if math.isinf(x):
        return math.nan
    r = math.fmod(x, 360.0)  # exact, and so is the fold of (180, 360) by 360
    return r - 360.0 if r > 180.0 else r + 360.0 if r <= -180.0 else r


def reduced_degrees(a: _Array) -> _Array:
    """The array form of :func:`reduced_degree` (float64 where anything is reduced)."""
    beyond = np.abs(a, dtype=np.float64) > _ORDINARY_DEGREES  # no overflow of int64's minimum
    if not beyond.any():
        return a
    with np.errstate(invalid="ignore"):  # an infinity gives NaN
        r = np.fmod(a, 360.0, dtype=np.float64)
    r -= np.where(r > 180.0, 360.0, np.where(r <= -180.0, -360.0, 0.0))
    return np.where(beyond, r, a.astype(np.float64))


# Kernels that take and give angles in degrees themselves, with the bits of the conversions
# around them (reduced_degrees, numpy.radians, numpy.degrees) but without their passes over
# whole arrays: at tens of nanoseconds a point those cost a fifth of the time. (Their records
# have no observation's azimuth to wrap.)
_DEGREES_IN_KERNEL = frozenset(
    {"fast.geodesic_inverse", "fast.geodesic_direct", "fast.tm_forward", "fast.tm_reverse"}
)


def _to_radians(op: Operation, arrays: list[_Array]) -> list[_Array]:
    """Angles given in degrees in radians (float64), as ``numpy.radians`` gives them; every
    angle but a latitude (longitudes, azimuths) first reduced exactly beyond 540 degrees."""
    return [
        np.radians(reduced_degrees(a) if i.unit == "angle" else a, dtype=np.float64)
        if i.angle and a is not None
        else a
        for i, a in zip(op.inputs + op.keywords, arrays)
    ]


# -- Kernel families -------------------------------------------------------------------------
# Each takes (ell, name, op, shape, arrays in radians) and returns (N, K) float64 rows.


def _rows(a: _Array, shape: tuple[int, ...]) -> _Array:
    """(N, 3) contiguous float64 rows of 3-vectors broadcast to ``shape``."""
    if a.shape[:-1] != shape:
        a = np.broadcast_to(a, (*shape, 3))
    return np.ascontiguousarray(a, dtype=np.float64).reshape(-1, 3)


def _stacked(columns: Sequence[_Array], shape: tuple[int, ...]) -> _Array:
    """(N, K) contiguous float64 rows of K columns broadcast to ``shape``."""
    out = np.empty((*shape, len(columns)), dtype=np.float64)
    for k, c in enumerate(columns):
        out[..., k] = c
    return out.reshape(-1, len(columns))


def _column(a: _Array, shape: tuple[int, ...]) -> _Array:
    """``a`` broadcast to ``shape`` as a float64 column, or its one value: native float64
    kept as it is, with its stride (the loops read any stride), not copied."""
    flat = a.reshape(1) if a.size == 1 else np.broadcast_to(a, shape).reshape(-1)
    return flat if flat.dtype == np.float64 else flat.astype(np.float64)


def _method(
    ell: Ellipsoid, name: str, op: Operation, shape: tuple[int, ...], arrays: list[_Array]
) -> _Array:
    """An ``Ellipsoid`` method: columns of radians and lengths; or, where it takes 3-vectors,
    (N, 3) rows of its last vector input and one value of each other input (the origin of the
    rays, the observer), called once for all rows, or once per row where those values vary."""
    method = getattr(ell, name)
    width = op.output.width
    vector = [k for k, i in enumerate(op.inputs) if i.unit == "vector"]
    if not vector:
        columns = [np.broadcast_to(a, shape).reshape(-1) for a in arrays]
        out = method(*[np.ascontiguousarray(c, dtype=np.float64) for c in columns])
        return out.view(np.float64).reshape(-1, width)
    rows = _rows(arrays[vector[-1]], shape)
    others = [k for k in range(len(arrays)) if k != vector[-1]]
    if not [1 for k in others if arrays[k].size != (3 if k in vector else 1)]:
        values = [
            rows
            if k == vector[-1]
            else np.ascontiguousarray(a.reshape(3), dtype=np.float64)
            if k in vector
            else float(a)
            for k, a in enumerate(arrays)
        ]
        return method(*values).view(np.float64).reshape(-1, width)
    per_row = [_rows(a, shape) if k in vector else _column(a, shape) for k, a in enumerate(arrays)]
    out = np.empty((rows.shape[0], width), dtype=np.float64)
    for j in range(rows.shape[0]):
        values = [
            np.ascontiguousarray(a[j]) if k in vector else float(a[j % a.size])
            for k, a in enumerate(per_row)
        ]
        values[vector[-1]] = rows[j : j + 1]
        out[j] = method(*values).view(np.float64)
    return out


def _frames_loop(
    ell: Ellipsoid, name: str, op: Operation, shape: tuple[int, ...], arrays: list[_Array]
) -> _Array:
    """A loop of ``_frames``: (N, 3) source rows and (1, 3) or (N, 3) observer rows."""
    from quorvane.mathtools.ellipsoid import _frames

    if op.inputs[0].unit == "vector":
        source, observer = _rows(arrays[0], shape), arrays[1:]
    else:
        source, observer = _stacked(arrays[:3], shape), arrays[3:]
    if len(observer) == 2:  # a rotation: the frame's altitude plays no part
        observer = [*observer, np.zeros(())]
    if {a.size for a in observer} == {1}:
        observers = _stacked([a.reshape(()) for a in observer], ())
    else:
        observers = _stacked(observer, shape)
    out = np.empty((source.shape[0], 3), dtype=np.float64)
    getattr(_frames, name)(ell, source, observers, out)
    return out


def _geodesic_loop(
    ell: Ellipsoid, name: str, op: Operation, shape: tuple[int, ...], arrays: list[_Array]
) -> _Array:
    """A loop of ``_geodesic``: one float64 column (or one value) per argument."""
    from quorvane.mathtools.ellipsoid import _geodesic

    out = np.empty((math.prod(shape), op.output.width), dtype=np.float64)
    getattr(_geodesic, name)(ell, *[_column(a, shape) for a in arrays], out)
    return out


# Inputs of the vectorised loops that are float64 views they can walk with one stride per
# axis (strided, unaligned, broadcast) are read in place. Others (other dtypes, layouts whose
# leading axes do not flatten to one stride) are converted this many rows at a time, so that
# the memory used beyond the result stays bounded.
_BLOCK_ROWS = 1 << 16


def _flattened(a: _Array, lead: int) -> _Array | None:
    """``a`` with its ``lead`` leading axes flattened into one, as a view (no copy) in
    native float64, or None where no single stride walks them."""
    if a.dtype != np.float64:
        return None
    if 0 in a.shape[:lead]:
        return np.empty((0, *a.shape[lead:]))
    axes = [(n, s) for n, s in zip(a.shape[:lead], a.strides[:lead]) if n != 1]
    if [1 for (_, s0), (n1, s1) in itertools.pairwise(axes) if s0 != s1 * n1]:
        return None
    n = math.prod(a.shape[:lead])
    step = axes[-1][1] if axes else 0
    return as_strided(a, (n, *a.shape[lead:]), (step, *a.strides[lead:]), writeable=False)


def _blocks(
    loop: Any, ell: Ellipsoid, shape: tuple[int, ...], args: list[_Array], out: _Array
) -> None:
    """``loop(ell, *args, out)`` over the leading ``shape`` of ``args`` (broadcast to it):
    ``out`` has its rows in C order. Views the loop can walk are passed whole; the others a
    block of rows at a time, converted to contiguous float64."""
    lead = len(shape)
    n = math.prod(shape)
    whole = [_flattened(a, lead) for a in args]
    if not [1 for w in whole if w is None] or n <= _BLOCK_ROWS or lead == 0:
        loop(
            ell,
            *[
                w
                if w is not None
                else np.ascontiguousarray(a, dtype=np.float64).reshape(n, *a.shape[lead:])
                for w, a in zip(whole, args)
            ],
            out,
        )
        return
    inner = n // shape[0]
    if inner > _BLOCK_ROWS:  # one index of the first axis at a time, the others in blocks
        for i in range(shape[0]):
            _blocks(loop, ell, shape[1:], [a[i] for a in args], out[i * inner : (i + 1) * inner])
        return
    step = _BLOCK_ROWS // inner  # blocks of whole indices of the first axis
    for i in range(0, shape[0], step):
        j = min(i + step, shape[0])
        _blocks(loop, ell, (j - i, *shape[1:]), [a[i:j] for a in args], out[i * inner : j * inner])


def _fast_loop(
    ell: Ellipsoid,
    name: str,
    op: Operation,
    shape: tuple[int, ...],
    arrays: list[_Array],
    degrees: bool = False,
    options: tuple[int, ...] = (),
) -> _Array:
    """A loop of ``_fast``: strided views of any layout (rows of 3-vectors, then columns);
    ``degrees`` for a loop of ``_DEGREES_IN_KERNEL`` (which then has them in degrees). The
    loops of the UTM grid take the arguments of ``_utm``'s (``_utm_loop``)."""
    from quorvane.mathtools.ellipsoid import _fast

    if op.kernel_degrees:
        return _utm_loop(ell, name, op, shape, arrays, degrees, options, module=_fast)

    if name.startswith("latitudes_"):
        return _fast_latitudes_loop(ell, name, op, shape, arrays)
    args = []
    for i, a in zip(op.inputs, arrays):
        if a.dtype != np.float64 and a.size <= 3 * _BLOCK_ROWS:
            a = a.astype(np.float64)  # numbers, an observer: at once
        args.append(np.broadcast_to(a, (*shape, 3) if i.unit == "vector" else shape))
    out = np.empty((math.prod(shape), op.output.width), dtype=np.float64)
    loop = getattr(_fast, name)
    if f"fast.{name}" in _DEGREES_IN_KERNEL:
        kernel = loop
        loop = lambda e, *columns: kernel(e, *columns, degrees)
    _blocks(loop, ell, shape, args, out)
    return out


# The functions of ``_latitudes.one``, in the order of its Map.
_LATITUDE_MAPS = (
    "convert",
    "isometric",
    "from_isometric",
    "meridian_distance",
    "latitude_at_meridian_distance",
)


def _latitudes_loop(
    ell: Ellipsoid, name: str, op: Operation, shape: tuple[int, ...], arrays: list[_Array]
) -> _Array:
    """A loop of ``_latitudes``: one float64 column (or one value) in, a column (the radii:
    rows of four) out; ``convert:SOURCE:TARGET`` names a conversion's two kinds."""
    from quorvane.mathtools.ellipsoid import _latitudes
    from quorvane.mathtools.ellipsoid._registry import KINDS

    out = np.empty((math.prod(shape), op.output.width), dtype=np.float64)
    x = _column(arrays[0], shape)
    if name == "radii":
        _latitudes.radii(ell, x, out)
    elif name.startswith("convert:"):
        _, source, target = name.split(":")
        _latitudes.convert(ell, KINDS.index(source), KINDS.index(target), x, out[:, 0])
    else:
        getattr(_latitudes, name)(ell, x, out[:, 0])
    return out


def _fast_latitudes_loop(
    ell: Ellipsoid, name: str, op: Operation, shape: tuple[int, ...], arrays: list[_Array]
) -> _Array:
    """A latitude loop of ``_fast`` (``latitudes_convert:SOURCE:TARGET``,
    ``latitudes_isometric``): one float64 column (or one value) in, a column out."""
    from quorvane.mathtools.ellipsoid import _fast
    from quorvane.mathtools.ellipsoid._registry import KINDS

    out = np.empty((math.prod(shape), 1), dtype=np.float64)
    function, *kinds = name.split(":")
    x = _column(arrays[0], shape)
    getattr(_fast, function)(ell, *[KINDS.index(k) for k in kinds], x, out[:, 0])
    return out


# Why ``_utm.from_mgrs`` refuses a code, by its reason number.
_MGRS_ERRORS = {
    1: "the zone is not 1-60",
    2: "no latitude band letter (C-X without I and O; A, B, Y, Z for the poles)",
    3: "the 100 km column letter is not one of the zone's",
    4: "the 100 km row letter is not one of the zone's",
    5: "the digits are not two groups of 0-5 digits",
    6: "the square lies outside the zone's grid",
}


def _flat_index(flat: int, shape: tuple[int, ...]) -> tuple[int, ...]:
    """The index in an array of ``shape`` of its ``flat``-th element (C order). Not
    numpy.unravel_index, which leaks a tuple a call under NumPy 2.5."""
    index = []
    for n in reversed(shape):
        flat, k = divmod(flat, n)
        index.append(k)
    return tuple(reversed(index))


def refused(name: str, value: str, reason: str, flat: int, where: str) -> ValueError:
    """The ValueError of a value that a kernel refuses: ``{name}: {value!r}{where} is
    {reason}``, ``where`` its index in the array ("" for one value). Its attribute ``refused``
    is ``(name, value, reason, flat)``, ``flat`` the index in C order, for callers that name
    the value otherwise (its index in a whole Dask array, its line in a file)."""
    error = ValueError(f"{name}: {value!r}{where} is {reason}")
    error.refused = (name, value, reason, flat)  # type: ignore[attr-defined]
    return error


def _ascii(name: str, codes: _Array, shape: tuple[int, ...], what: str) -> _Array:
    """Strings as contiguous ASCII bytes, one dimension; a string that is not ASCII is
    refused: it is ``what`` (not ASCII)."""
    flat = codes.reshape(-1)
    if codes.dtype.kind == "U":
        try:
            flat = np.char.encode(flat, "ascii") if flat.size else flat.astype("S1")
        except UnicodeEncodeError:
            k = int(np.argmax([not str(c).isascii() for c in flat]))
            where = f" at index {_flat_index(k, shape)}" if shape else ""
            raise refused(name, str(flat[k]), f"{what} (not ASCII)", k, where) from None
    return np.ascontiguousarray(flat)


def _utm_loop(
    ell: Ellipsoid,
    name: str,
    op: Operation,
    shape: tuple[int, ...],
    arrays: list[Any],
    degrees: bool = False,
    options: tuple[int, ...] = (),
    module: Any = None,
) -> _Array:
    """A loop of ``_utm`` (or of ``module``, whose loops take the same arguments): one float64
    column (or one value) per argument (a keyword input left out: its ``absent`` value; a
    hemisphere: 1.0 or 0.0), then the options and, for the grid, ``degrees``; rows or typed
    records out. ``from_mgrs`` reads ASCII codes and gives degrees, or the index of the first
    code it refuses and why."""
    from quorvane.mathtools.ellipsoid import _utm

    n = math.prod(shape)
    output = op.output
    if name == "from_mgrs":
        codes = arrays[0]
        flat = _ascii(op.inputs[0].name, np.broadcast_to(codes, shape), shape, "no MGRS reference")
        out = np.empty((n, output.width), dtype=np.float64)
        bad = _utm.from_mgrs(ell, flat, out)
        if bad is not None:
            k, reason = bad
            where = f" at index {_flat_index(k, shape)}" if shape else ""
            why = f"no MGRS reference: {_MGRS_ERRORS.get(reason, 'malformed')}"
            raise refused(op.inputs[0].name, flat[k].decode("ascii"), why, k, where)
        return out if degrees else np.radians(out, out=out)
    columns = []
    for i, a in zip(op.inputs + op.keywords, arrays):
        if a is None:
            a = np.full((), i.absent)
        elif i.unit == "bool":
            a = a != 0
        columns.append(_column(a, shape))
    if output.typed:  # zeroed: the padding of aligned records is defined
        out = np.zeros(n, dtype=output.dtype)
        names = output.dtype.names or ()
        target = out if len(names) > 1 else out.view(output.dtype[0])
    else:
        out = target = np.empty((n, output.width), dtype=np.float64)
    kernel_flags = [bool(degrees)] if op.kernel_degrees else []
    getattr(module or _utm, name)(ell, *columns, *options, *kernel_flags, target)
    return out


_FAMILIES: dict[str, Callable[..., _Array]] = {
    "method": _method,
    "frames": _frames_loop,
    "geodesic": _geodesic_loop,
    "latitudes": _latitudes_loop,
    "fast": _fast_loop,
    "utm": _utm_loop,
}


# -- Results ---------------------------------------------------------------------------------


def _wrap_azimuth(az: _Array, degrees: bool) -> None:
    """An observation's azimuth from (-180, 180] into [0, 360) degrees (or radians), in place."""
    turn = _TURN[degrees]
    np.add(az, turn, out=az, where=az < 0.0)
    az[az >= turn] = 0.0  # -tiny + turn rounds to turn: the direction of 0


def _finish(
    op: Operation, out: _Array, shape: tuple[int, ...], degrees: bool, bad: _Array | None
) -> Any:
    """(N, K) rows of radians as the result: angles in degrees if asked, an observation's
    azimuth in [0, turn), NaN rows where a latitude was beyond the poles, shaped as ``shape``
    (a record scalar for one point)."""
    output = op.output
    names = output.dtype.names or () if output.dtype is not None else ()
    if output.typed:  # records filled by the kernel
        for name in names:
            if output.dtype[name] != np.float64:
                continue
            if bad is not None:
                out[name][bad] = np.nan
            if degrees and not op.kernel_degrees and name in output.angles:
                np.degrees(out[name], out=out[name])
        records = out.reshape(shape)
        if len(names) == 1:
            records = records[names[0]]
        return records[()] if not shape else records
    if bad is not None:
        out[bad] = np.nan
    if output.dtype is None:
        return out.reshape(*shape, 3)
    if degrees and not op.kernel_degrees:
        for name in output.angles:
            k = names.index(name)
            np.degrees(out[:, k], out=out[:, k])
    if output.azimuth is not None:
        _wrap_azimuth(out[:, names.index(output.azimuth)], degrees)
    records = out.view(output.dtype).reshape(shape)
    if len(names) == 1:  # one value per point: plain float64
        records = records[names[0]]
    return records[()] if not shape else records


# -- Allocation failures ---------------------------------------------------------------------


def _memory_error(exc: SystemError) -> BaseException:
    """The MemoryError that a SystemError raised by NumPy stands for, or ``exc`` itself. Under
    a failed allocation some of NumPy's C paths return NULL without setting an exception
    (``numpy.nditer``, ufuncs with ``where=``), and the class of ``as_strided``'s view returns
    with the MemoryError set: the interpreter reports both as SystemErrors."""
    cause = exc.__cause__
    if isinstance(cause, MemoryError):
        return cause
    if "returned NULL without setting an exception" in str(exc):
        return MemoryError("an allocation failed in NumPy, which returned without an exception")
    return exc


def memory_errors[F: Callable[..., Any]](function: F) -> F:
    """``function`` raising the MemoryError of a failed allocation that NumPy reports as a
    SystemError (``_memory_error``)."""

    @functools.wraps(function)
    def wrapper(*args: Any, **kwargs: Any) -> Any:
        try:
            return function(*args, **kwargs)
        except SystemError as exc:
            error = _memory_error(exc)
            if error is exc:
                raise
            raise error from exc

    return wrapper  # type: ignore[return-value]


# -- Calls -----------------------------------------------------------------------------------


def call(
    op: Operation,
    ell: Any,
    args: Sequence[Any],
    degrees: bool,
    fast: bool = False,
    options: dict[str, Any] | None = None,
) -> Any:
    """The operation ``op`` on ``args`` (in the order of its inputs, then of its keyword
    inputs, None where left out; the keyword inputs may be left off the end), with
    ``options`` by name: the exact kernel, or the vectorised one with ``fast``."""
    e = ellipsoid(ell)
    family, name = (op.fast if fast else op.exact).split(".")  # type: ignore[union-attr]
    if fast and ":" in op.exact:  # the constants bound in the exact kernel's name bind both
        name += op.exact[op.exact.index(":") :]
    if len(args) < len(op.inputs) + len(op.keywords):
        args = [*args, *[None] * (len(op.inputs) + len(op.keywords) - len(args))]
    values = _options(op, options) if op.options else ()
    shape, arrays = _arrays(op, args)
    bad = _latitudes(op, shape, arrays, degrees) if op.latitudes else None
    if op.kernel_degrees:  # the kernel takes the flag and converts its angles itself
        out = _FAMILIES[family](e, name, op, shape, arrays, degrees, values)
        return _finish(op, out, shape, degrees, bad)
    if degrees and f"{family}.{name}" in _DEGREES_IN_KERNEL:
        out = _FAMILIES[family](e, name, op, shape, arrays, degrees=True)
        return _finish(op, out, shape, False, bad)  # its angles are degrees already
    if degrees:
        arrays = _to_radians(op, arrays)
    out = _FAMILIES[family](e, name, op, shape, arrays)
    return _finish(op, out, shape, degrees, bad)


# -- One point of plain numbers --------------------------------------------------------------
# A shortcut takes (ell, args, degrees) and gives the result, or None where the arguments are
# not plain numbers (the array path then decides, and reports every error).


def _plain_vector(v: Any) -> _Array | None:
    """One 3-vector of plain numbers (a list or tuple, or a float64 array of shape (3,)) as a
    (1, 3) float64 array; None for anything else."""
    if type(v) is np.ndarray:
        if v.shape == (3,) and v.dtype == np.float64:
            return v.reshape(1, 3)
        return None
    if type(v) in (list, tuple) and len(v) == 3 and _plain(v):
        return np.array([v], dtype=np.float64)
    return None


_DEGREES_PER_RADIAN = 180.0 / math.pi  # numpy.degrees's factor


def _rows_point(op: Operation, name: str) -> Callable[..., Any]:
    """The one-point form of a method that takes (1, 3) rows and (1,) columns (the methods of
    positions). The numbers are made those arrays directly (radians as numpy.radians gives
    them, a latitude beyond the poles NaN), the method gives one row."""
    output = op.output
    fields = output.dtype.names if output.dtype is not None else ()
    angles = [fields.index(n) for n in output.angles]
    azimuth = fields.index(output.azimuth) if output.azimuth else None
    units = [i.unit for i in op.inputs]

    def point(e: Ellipsoid, args: Sequence[Any], degrees: bool) -> Any:
        arrays = []
        for unit, v in zip(units, args):
            if unit == "vector":
                a = _plain_vector(v)
                if a is None:
                    return None
            else:
                kind = type(v)
                if not (
                    kind is float or kind is np.float64 or (kind is int and -(2**63) <= v < 2**63)
                ):
                    return None
                x = float(v)
                if unit == "latitude" and abs(x) > (90.0 if degrees else _HALF_PI):
                    x = math.nan  # beyond the poles: a NaN row, not the folded latitude's
                elif degrees and unit != "length":
                    x = math.radians(reduced_degree(x) if unit == "angle" else x)
                a = np.array((x,))
            arrays.append(a)
        out = getattr(e, name)(*arrays)  # (1,) records or values, or (1, 3) vectors
        if output.dtype is None:
            return out[0]
        row = out.view(np.float64)
        if degrees:
            for k in angles:
                row[k] = float(row[k]) * _DEGREES_PER_RADIAN
        if azimuth is not None:
            az = float(row[azimuth])
            turn = _TURN[degrees]
            if az < 0.0:
                az += turn
                row[azimuth] = 0.0 if az >= turn else az
        if len(fields) == 1:  # one value per point: a float64
            return row[0]
        return out[0]

    return point


def _one_point(op: Operation, fast: bool) -> Callable[..., Any]:
    """The one-point shortcut of ``op``'s exact or vectorised kernel."""
    family, name = (op.fast if fast else op.exact).split(".")  # type: ignore[union-attr]
    if family == "frames":
        from quorvane.mathtools.ellipsoid import _frames

        frames_point = getattr(_frames, f"{name}_point")
        rotation = len(op.inputs) == 3  # no altitude of the frame: 0 stands for it
        records = op.output.dtype is not None
        wrap = _TURN if op.output.azimuth is not None else None

        def point(e: Ellipsoid, args: Sequence[Any], degrees: bool) -> Any:
            result = (
                frames_point(e, *args, 0.0, degrees)
                if rotation
                else frames_point(e, *args, degrees)
            )
            if result is None or not records:
                return result
            if wrap is not None:
                row = result.view(np.float64)
                az = float(row[0])
                if az < 0.0:
                    az += wrap[degrees]
                    row[0] = 0.0 if az >= wrap[degrees] else az
            return result[0]

        return point
    if family == "fast" and name.startswith(("latitudes_", "tm_", "utm_", "to_mgrs")):
        # One point: the array path.
        return lambda e, args, degrees: None
    if family == "fast":
        from quorvane.mathtools.ellipsoid import _fast

        fast_point = getattr(_fast, f"{name}_point")
        records = op.output.dtype is not None

        def point(e: Ellipsoid, args: Sequence[Any], degrees: bool) -> Any:
            result = fast_point(e, *args, degrees)
            return result[0] if records and result is not None else result

        return point
    if family == "geodesic":
        from quorvane.mathtools.ellipsoid import _geodesic

        geodesic_point = getattr(_geodesic, f"{name}_one")

        def point(e: Ellipsoid, args: Sequence[Any], degrees: bool) -> Any:
            result = geodesic_point(e, *args, degrees)
            return None if result is None else result[0]

        return point
    if family == "latitudes":
        from quorvane.mathtools.ellipsoid import _latitudes
        from quorvane.mathtools.ellipsoid._registry import KINDS

        if name == "radii":  # a record: the array path
            return lambda e, args, degrees: None
        function, *kinds = name.split(":")
        which = _LATITUDE_MAPS.index(function)
        source, target = (KINDS.index(kinds[0]), KINDS.index(kinds[1])) if kinds else (0, 0)

        def point(e: Ellipsoid, args: Sequence[Any], degrees: bool) -> Any:
            return _latitudes.one(e, which, source, target, args[0], degrees)

        return point
    if family == "utm":  # one point through the array path
        return lambda e, args, degrees: None
    if family == "method" and name in ("lla_from_pos", "surf_coord_from_surf_pos"):
        # The coordinates of one position: in C, as the method gives them.
        from quorvane.mathtools.ellipsoid import _frames

        method_point = getattr(_frames, f"{name}_point")

        def point(e: Ellipsoid, args: Sequence[Any], degrees: bool) -> Any:
            result = method_point(e, args[0], degrees)
            return None if result is None else result[0]

        return point
    if family == "method" and op.output.dtype is None and op.inputs[0].unit != "vector":

        def point(e: Ellipsoid, args: Sequence[Any], degrees: bool) -> Any:
            if not _plain(args):
                return None
            lat, lon = float(args[0]), float(args[1])
            if degrees:
                lon = reduced_degree(lon)
                lat, lon = math.radians(lat), math.radians(lon)  # numpy.radians's product
            if lat > _HALF_PI or lat < -_HALF_PI:
                return np.full(3, np.nan)
            return getattr(e, name)(lat, lon, *args[2:])

        return point
    if family == "method" and len(op.inputs) > 1 and any(i.unit == "vector" for i in op.inputs):
        # A method that takes one value per call beside its rows (the rays' origin, the
        # observer): one point goes through the array path.
        return lambda e, args, degrees: None
    return _rows_point(op, name)


# The Ellipsoids of catalogue names as given (each spelling once).
_NAMED: dict[str, Ellipsoid] = {}


def _quick_ellipsoid(ell: Any) -> Ellipsoid | None:
    """``ell`` as a valid ``Ellipsoid`` (not a subclass) without building anything: itself, or
    the Ellipsoid of a name seen before; None where the full resolution must decide."""
    if type(ell) is Ellipsoid:
        Re, f = ell.Re, ell.f
        return ell if math.isfinite(Re) and Re > 0.0 and 0.0 <= f < 1.0 else None
    if type(ell) is str:
        named = _NAMED.get(ell)
        if named is None and len(_NAMED) < _BUILT_MAX:
            named = _NAMED[ell] = ellipsoid(ell)
        return named
    return None


def _labelled(args: Sequence[Any]) -> bool:
    """Whether any argument is an xarray object (checked by its type's module: xarray is
    imported only where one is given)."""
    for a in args:
        if type(a).__module__.startswith("xarray."):
            return True
    return False


def public(op: Operation, *, fast: bool = False, name: str | None = None) -> Callable[..., Any]:
    """The public function of ``op``: ``name(ell, *inputs, *, degrees=False)``, with its
    signature and docstring."""
    if op.keywords or op.options:
        return _public_with_keywords(op, name, fast)
    point = _one_point(op, fast)
    arity = len(op.inputs)
    latitudes = tuple(k for k, i in enumerate(op.inputs) if i.unit == "latitude")
    names = ", ".join(["ell", *(i.name for i in op.inputs)])

    def function(ell: Any, *args: Any, degrees: bool = False) -> Any:
        if len(args) != arity:
            raise TypeError(
                f"{function.__name__}() takes {arity + 1} arguments ({names}), got {len(args) + 1}"
            )
        try:
            e = _quick_ellipsoid(ell)
            if e is not None:
                result = point(e, args, degrees)
                if result is not None:
                    limit = 90.0 if degrees else _HALF_PI
                    for k in latitudes:
                        if abs(args[k]) > limit:
                            break
                    else:
                        return result
            # Not plain numbers, or a latitude beyond the poles (a NaN row, with the warning).
            if _labelled(args):  # xarray DataArrays in and out
                from quorvane.mathtools.ellipsoid import _xarray

                return _xarray.call(op, ell, args, degrees, fast)
            return call(op, ell, args, degrees, fast)
        except SystemError as exc:
            error = _memory_error(exc)
            if error is exc:
                raise
            raise error from exc

    function.__name__ = function.__qualname__ = name or op.name
    function.__module__ = f"quorvane.mathtools.ellipsoid.{'fast' if fast else op.module}"
    function.__doc__ = _docstring(op, fast)
    kind = inspect.Parameter.POSITIONAL_OR_KEYWORD
    parameters = [inspect.Parameter(n, kind) for n in ("ell", *(i.name for i in op.inputs))]
    parameters.append(inspect.Parameter("degrees", inspect.Parameter.KEYWORD_ONLY, default=False))
    function.__signature__ = inspect.Signature(parameters)  # type: ignore[attr-defined]
    return function


def _public_with_keywords(op: Operation, name: str | None, fast: bool) -> Callable[..., Any]:
    """The public function of an entry with keyword inputs or options:
    ``name(ell, *inputs, *, keywords=None, degrees=False, options=default)``, through the
    array path (the vectorised kernel with ``fast``)."""
    signature = inspect.Signature(
        [
            inspect.Parameter(n, inspect.Parameter.POSITIONAL_OR_KEYWORD)
            for n in ("ell", *(i.name for i in op.inputs))
        ]
        + [
            inspect.Parameter(i.name, inspect.Parameter.KEYWORD_ONLY, default=None)
            for i in op.keywords
        ]
        + [inspect.Parameter("degrees", inspect.Parameter.KEYWORD_ONLY, default=False)]
        + [
            inspect.Parameter(o.name, inspect.Parameter.KEYWORD_ONLY, default=o.default)
            for o in op.options
        ]
    )
    keywords = [i.name for i in op.keywords]
    options = [o.name for o in op.options]

    @memory_errors
    def function(*args: Any, **kwargs: Any) -> Any:
        given = signature.bind(*args, **kwargs).arguments
        values = [given[i.name] for i in op.inputs] + [given.get(k) for k in keywords]
        chosen = {o: given[o] for o in options if o in given}
        degrees = bool(given.get("degrees", False))
        if _labelled(values):  # xarray DataArrays in and out
            from quorvane.mathtools.ellipsoid import _xarray

            return _xarray.call(op, given["ell"], values, degrees, fast, chosen)
        return call(op, given["ell"], values, degrees, fast, chosen)

    function.__name__ = function.__qualname__ = name or op.name
    function.__module__ = f"quorvane.mathtools.ellipsoid.{'fast' if fast else op.module}"
    function.__doc__ = _docstring(op, fast)
    function.__signature__ = signature  # type: ignore[attr-defined]
    return function


def _docstring(op: Operation, fast: bool) -> str:
    lines = [op.summary, "", "Parameters", "----------"]
    lines += ["ell : Ellipsoid, str or (Re, f)", "    The ellipsoid, or its catalogue name."]
    for i in op.inputs + op.keywords:
        kind = {
            "vector": "array_like, shape (3,) or (..., 3)",
            "integer": "array_like of int",
            "bool": "array_like of bool",
            "text": "str or array_like of str",
        }.get(i.unit, "array_like")
        kind = f"None or {kind}" if i.absent is not None else kind
        unit = " (radians, or degrees with ``degrees=True``)" if i.angle else ""
        lines += [f"{i.name} : {kind}", f"    The {i.text}{unit}."]
    lines += [
        "degrees : bool",
        "    Angles in and out in degrees instead of radians.",
    ]
    for o in op.options:
        lines += [f"{o.name} : int", f"    {o.text[0].upper()}{o.text[1:]}."]
    lines += [
        "",
        "Returns",
        "-------",
        f"{op.output.text}: one for plain numbers, else of the broadcast shape.",
    ]
    if op.latitudes:
        lines += [
            "",
            (
                f"Latitudes beyond the poles ({', '.join(op.latitudes)}) give NaN rows and a "
                "RuntimeWarning."
            ),
        ]
    if op.notes:
        lines += ["", op.notes]
    if fast:
        lines += [
            "",
            (
                f"The vectorised kernel of ``{op.qualname}``: not its bits, but at least as "
                "accurate and several times faster."
            ),
        ]
    return "\n".join(lines)
