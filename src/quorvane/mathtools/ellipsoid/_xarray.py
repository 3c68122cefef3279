"""xarray DataArrays through the companion functions: the engine sends here every call of a
public function of ``frames``, ``geodesic``, ``latitudes``, ``utm`` or ``fast`` that has a DataArray
among its arguments (``_engine.public``; the check costs nothing on the one-point path).

The call goes through ``xarray.apply_ufunc``: the arguments are aligned and broadcast by
dimension name, the engine's NumPy path computes each block (with ``dask="parallelized"``, a
Dask-backed DataArray stays lazy, one task per chunk), and the result comes back labelled:

- values (a record of one field) as a DataArray;
- 3-vectors as a DataArray whose last dimension is the 3-vector's: that of the first DataArray
  of 3-vectors among the arguments, else ``"xyz"``;
- records as a Dataset, one variable per field, each of its field's dtype (the UTM grid's
  int32 zone and bool northp);
- strings (MGRS codes) as a DataArray of strings.

Keyword inputs (``zone``) are DataArrays or numbers like the others, or left out (None);
options (``precision``) are one value per call.

Coordinates follow xarray's rules; attributes are kept where the arguments agree on them
(``keep_attrs="drop_conflicts"``), but for those that name the quantity and its unit
(``units``, ``standard_name``, ``long_name``): a latitude's are not a position's. Beside DataArrays, the other arguments are numbers, or one
3-vector for an input of 3-vectors (for example the rays' origin).
"""

from __future__ import annotations

import functools
from collections.abc import Sequence
from typing import Any

import numpy as np

from quorvane.mathtools.ellipsoid._registry import Operation

__all__ = ["call"]

_VECTOR_DIM = "xyz"
# Attributes of an argument that do not describe the result.
_QUANTITY = ("units", "standard_name", "long_name")


def _block(
    op: Operation,
    e: Any,
    degrees: bool,
    fast: bool,
    options: dict[str, Any] | None,
    given: tuple[bool, ...],
    *arrays: Any,
) -> Any:
    """The engine's NumPy path on one block: the fields of records as a tuple. ``given`` says
    which arguments are here (a keyword input left out, None, is not)."""
    from quorvane.mathtools.ellipsoid._engine import call as numpy_call

    values = iter(arrays)
    args = [next(values) if here else None for here in given]
    out = numpy_call(op, e, args, degrees, fast, options)
    names = op.output.dtype.names if op.output.dtype is not None else None
    if names is None or len(names) == 1:
        return out
    out = np.asarray(out)
    return tuple(np.ascontiguousarray(out[n]) for n in names)


def call(
    op: Operation,
    ell: Any,
    args: Sequence[Any],
    degrees: bool,
    fast: bool,
    options: dict[str, Any] | None = None,
) -> Any:
    """``op`` on ``args`` (its inputs, then its keyword inputs, None where left out), some of
    them DataArrays, with ``options`` by name: a DataArray or a Dataset. Fields that are no
    float64 (a zone, a hemisphere, an MGRS code) keep their dtypes."""
    import xarray as xr

    from quorvane.mathtools.ellipsoid._engine import ellipsoid

    e = ellipsoid(ell)
    for i, a in zip(op.inputs, args):
        if isinstance(a, xr.Dataset):
            raise TypeError(f"{i.name}: a Dataset is no argument; give its DataArray")
    vector_dim = None
    for i, a in zip(op.inputs, args):
        if i.unit == "vector" and isinstance(a, xr.DataArray):
            if a.ndim == 0 or a.shape[-1] != 3:
                raise ValueError(
                    f"{i.name}: a DataArray of 3-vectors must have a last dimension of "
                    f"length 3, got dims {a.dims} of shape {a.shape}"
                )
            vector_dim = vector_dim or a.dims[-1]
    values: list[Any] = []
    core: list[list[Any]] = []
    given = tuple(a is not None for a in args)
    for i, a in zip(op.inputs + op.keywords, args):
        if a is None:  # a keyword input left out
            continue
        if i.unit == "vector":
            if not isinstance(a, xr.DataArray):
                v = np.asarray(a)
                if v.shape != (3,):
                    raise ValueError(
                        f"{i.name}: beside DataArrays, 3-vectors are a DataArray or one vector "
                        f"of shape (3,), got shape {v.shape}"
                    )
                a = xr.DataArray(v, dims=[vector_dim or _VECTOR_DIM])
            core.append([a.dims[-1]])
        else:
            if not isinstance(a, xr.DataArray) and np.ndim(a) != 0:
                raise TypeError(
                    f"{i.name}: beside DataArrays, arguments are DataArrays or numbers, got an "
                    f"array of shape {np.shape(a)}"
                )
            core.append([])
        values.append(a)
    dtype = op.output.dtype
    names = dtype.names if dtype is not None else None
    records = names is not None and len(names) > 1
    out_dim = vector_dim or _VECTOR_DIM
    output_core = [[out_dim]] if names is None else [[]] * (len(names) if records else 1)
    gufunc: dict[str, Any] = {"allow_rechunk": True}
    if names is None:
        gufunc["output_sizes"] = {out_dim: 3}
    types = [dtype[n].base for n in names] if dtype is not None and names else [np.float64]
    result = xr.apply_ufunc(
        functools.partial(_block, op, e, degrees, fast, options, given),
        *values,
        input_core_dims=core,
        output_core_dims=output_core,
        dask="parallelized",
        output_dtypes=types,
        dask_gufunc_kwargs=gufunc,
        keep_attrs="drop_conflicts",
    )
    outputs = result if records else (result,)
    for o in outputs:
        for key in _QUANTITY:
            o.attrs.pop(key, None)
    if records:
        return xr.Dataset(dict(zip(names, outputs)))  # type: ignore[arg-type]
    return result.rename(names[0]) if names is not None else result
