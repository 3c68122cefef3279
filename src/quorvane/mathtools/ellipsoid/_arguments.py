"""The arguments of the companion modules (``frames``, ``fast``, ``geodesic``): one
convention for all of them (the ellipsoid is resolved by ``_engine.ellipsoid``).

Every argument but the ellipsoid is a number,
a (nested) sequence of numbers or an array of a real dtype (boolean, integer or floating), or
for an input of text strings;
anything else is a TypeError or ValueError that names the parameter, and so is a masked
array, whose masked values would otherwise be computed as ordinary ones. Arguments are
broadcast against each other, and shapes that do not broadcast are a ValueError listing
every shape by name.
"""

from __future__ import annotations

import sys
from collections.abc import Mapping
from typing import Any

import numpy as np

__all__ = ["broadcast_shape", "numeric", "strings", "vectors"]

type _Array = np.ndarray[tuple[int, ...], np.dtype[Any]]


def _array(name: str, x: Any, missing: str) -> _Array:
    """``x`` as an array, or an error naming ``name``; a masked array is refused (``missing``:
    what to fill it with)."""
    ma = sys.modules.get("numpy.ma")  # loaded if x can be a masked array
    if ma is not None and isinstance(x, ma.MaskedArray):
        raise TypeError(
            f"{name} is a masked array, whose masked values would be computed as they are: "
            f"pass {name}.filled({missing}) to get NaN rows for them"
        )
    try:
        return np.asarray(x)
    except (ValueError, TypeError) as exc:
        raise ValueError(f"{name}: not convertible to an array ({exc})") from None


def numeric(name: str, x: Any) -> _Array:
    """``x`` as an array of a real numeric dtype, or an error naming ``name``."""
    a = _array(name, x, "np.nan")
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{name} must be real numbers, got an array of dtype {a.dtype}")
    return a


def strings(name: str, x: Any) -> _Array:
    """``x`` as an array of strings (str or bytes), or an error naming ``name``."""
    a = _array(name, x, '""')
    if a.dtype.kind not in "US":
        raise TypeError(f"{name} must be strings, got an array of dtype {a.dtype}")
    return a


def vectors(name: str, x: Any, rows: str = "N") -> _Array:
    """``x`` as 3-vectors, an array of shape (3,) or (..., 3) of a real dtype; the error
    names the second shape ``(rows, 3)``."""
    a = numeric(name, x)
    if a.ndim == 0 or a.shape[-1] != 3:
        raise ValueError(f"{name} must have shape (3,) or ({rows}, 3), got {a.shape}")
    return a


def broadcast_shape(
    named: Mapping[str, tuple[int, ...]], shown: Mapping[str, tuple[int, ...]] | None = None
) -> tuple[int, ...]:
    """The broadcast of the named shapes, or a ValueError listing them by name (a name in
    ``shown`` with the shape given there: the whole array's, where ``named`` has its
    leading axes)."""
    try:
        return np.broadcast_shapes(*named.values())
    except ValueError:
        listing = {**named, **(shown or {})}
        listed = ", ".join([f"{name} {listing[name]}" for name in named])
        raise ValueError(f"shapes do not broadcast: {listed}") from None
