"""Geometries of the GIS libraries as flat coordinates and offsets, for
``geodesic.geometry_area_perimeter`` and ``geodesic.geometry_length``.

Shapely 2 (and GeoPandas, which holds shapely geometries) gives the coordinates of a whole
array of one kind in one call (``shapely.get_coordinates`` for polygons, with their rings'
vertex counts; ``shapely.to_ragged_array`` for the others); GeoArrow arrays hold them already,
as nested lists whose offsets are read in place. Either way the extension's loop
(``_geodesic.geometries``) gets one layout, GeoArrow's multipolygons: coordinates, ring
offsets, part offsets, geometry offsets. There is no Python loop over geometries: a call costs
a few NumPy operations per kind of geometry present, then the loop over all of them.

Kinds: polygons and multipolygons (closed rings: signed areas, counter-clockwise positive, and
the perimeters of the shells), lines and multilines (open paths: their lengths; a line bounds
no area), linear rings (closed lines), points (0), collections (the sum of their members).
Empty geometries and missing ones (None, null) give NaN. The edges are geodesics, or rhumb
lines with ``rhumb=True`` (the same loop over another kind of edge). With ``fast=True``
geodesic edges go through SIMD lanes, several edges an instruction (the loop's
``fast`` flag).
"""

from __future__ import annotations

import inspect
import itertools
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np

from quorvane.mathtools.ellipsoid import _geodesic
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

if TYPE_CHECKING:
    from quorvane.mathtools.ellipsoid._registry import GeometryEntry

__all__ = ["call", "dask_function", "measure", "partitioned", "public"]

type _Array = np.ndarray[Any, Any]

# shapely.get_type_id's codes.
_POINT, _LINE, _RING, _POLYGON = 0, 1, 2, 3
_MULTIPOINT, _MULTILINE, _MULTIPOLYGON, _COLLECTION = 4, 5, 6, 7
# Shapely's coordinates are copied out this many vertices at a time (2 MiB of x, y): the
# copy stays in the cache for the loop that reads it, and no copy of a whole column is made.
_CHUNK_VERTICES = 1 << 17


def _int64(a: Any) -> _Array:
    """Offsets as the loop reads them in place: contiguous int64, aligned (the buffer of a
    GeoArrow array of large lists may start at any byte; coordinates are read safely there)."""
    return np.require(a, dtype=np.int64, requirements=["C", "A"])


class _Flat:
    """Coordinates and the three levels of offsets of some geometries, and what their rings
    are (closed: polygons; open: lines)."""

    __slots__ = ("closed", "geometries", "parts", "rings", "x", "y")

    def __init__(
        self, x: _Array, y: _Array, rings: Any, parts: Any, geometries: Any, closed: bool
    ) -> None:
        self.x, self.y, self.closed = x, y, closed
        self.rings, self.parts, self.geometries = _int64(rings), _int64(parts), _int64(geometries)

    def run(
        self, e: Ellipsoid, area: bool, rhumb: bool = False, fast: bool = False
    ) -> tuple[_Array, _Array]:
        """(area, length): each geometry's area (0 for lines) and perimeter or length, its
        edges geodesics or (``rhumb``) rhumb lines; geodesic edges in SIMD lanes with
        ``fast``."""
        n = len(self.geometries) - 1
        length = np.empty(n)
        out = np.empty(n) if area and self.closed else None
        _geodesic.geometries(
            e, self.x, self.y, self.rings, self.parts, self.geometries, length, out,
            closed=self.closed, rhumb=rhumb, fast=fast,
        )  # fmt: skip
        if out is None:
            out = np.where(np.isnan(length), np.nan, 0.0)
        # No coordinates at all (rings without vertices): an empty geometry.
        first = self.rings[self.parts[self.geometries]]
        empty = first[1:] == first[:-1]
        if empty.any():
            length[empty] = np.nan
            out[empty] = np.nan
        return out, length


def _columns(coords: _Array) -> tuple[_Array, _Array]:
    return coords[:, 0], coords[:, 1]


def _ragged(geoms: _Array) -> _Flat:
    """Polygons, lines (or their multi-part forms, mixed with the single ones) through
    ``shapely.to_ragged_array``."""
    import shapely

    kind, coords, offsets = shapely.to_ragged_array(geoms, include_z=False)
    x, y = _columns(coords)
    n = len(geoms)
    if kind == shapely.GeometryType.LINESTRING:
        one = np.arange(n + 1)
        return _Flat(x, y, offsets[0], one, one, closed=False)
    if kind == shapely.GeometryType.MULTILINESTRING:
        return _Flat(x, y, offsets[0], np.arange(len(offsets[0])), offsets[1], closed=False)
    if kind == shapely.GeometryType.POLYGON:
        return _Flat(x, y, offsets[0], offsets[1], np.arange(n + 1), closed=True)
    return _Flat(x, y, *offsets, closed=True)  # multipolygons


def _polygonal(geoms: _Array) -> _Flat:
    """Polygons and multipolygons: polygons alone without ``to_ragged_array``, which builds
    an object a ring; a shell's vertex count is its polygon's, and only the polygons with
    holes are taken apart into rings."""
    import shapely

    if (shapely.get_type_id(geoms) != _POLYGON).any():
        return _ragged(geoms)
    x, y = _columns(shapely.get_coordinates(geoms))
    holes = shapely.get_num_interior_rings(geoms)
    parts = np.zeros(len(geoms) + 1, dtype=np.int64)
    np.cumsum(1 + holes, out=parts[1:])
    counts = np.empty(parts[-1], dtype=np.int64)
    counts[parts[:-1]] = shapely.get_num_coordinates(geoms)
    holed = holes > 0
    if holed.any():  # their rings fill their polygons' slots, in order
        counts[np.repeat(holed, 1 + holes)] = shapely.get_num_coordinates(
            shapely.get_rings(geoms[holed])
        )
    rings = np.zeros(len(counts) + 1, dtype=np.int64)
    np.cumsum(counts, out=rings[1:])
    return _Flat(x, y, rings, parts, np.arange(len(geoms) + 1), closed=True)


def _linear_rings(geoms: _Array) -> _Flat:
    """Linear rings (which ``to_ragged_array`` refuses): closed lines."""
    import shapely

    coords, index = shapely.get_coordinates(geoms, return_index=True)
    x, y = _columns(coords)
    rings = np.searchsorted(index, np.arange(len(geoms) + 1))
    one = np.arange(len(geoms) + 1)
    return _Flat(x, y, rings, one, one, closed=False)


def _in_chunks(
    flatten: Callable[[_Array], _Flat],
    geoms: _Array,
    e: Ellipsoid,
    area: bool,
    rhumb: bool,
    fast: bool,
) -> tuple[_Array, _Array]:
    """(area, length) of geometries of one group, flattened and measured some
    _CHUNK_VERTICES vertices at a time."""
    import shapely

    ends = np.cumsum(shapely.get_num_coordinates(geoms))
    cuts = np.searchsorted(ends, np.arange(_CHUNK_VERTICES, ends[-1], _CHUNK_VERTICES), "right")
    bounds = np.unique(np.concatenate([[0], cuts, [len(geoms)]]))
    if len(bounds) == 2:
        return flatten(geoms).run(e, area, rhumb, fast)
    out_area, out_length = np.empty(len(geoms)), np.empty(len(geoms))
    for lo, hi in itertools.pairwise(bounds):
        out_area[lo:hi], out_length[lo:hi] = flatten(geoms[lo:hi]).run(e, area, rhumb, fast)
    return out_area, out_length


def _shapely(
    e: Ellipsoid, geoms: _Array, area: bool, rhumb: bool, fast: bool = False
) -> tuple[_Array, _Array]:
    """(area, length) of a 1-D object array of shapely geometries (or None)."""
    import shapely

    n = len(geoms)
    out_area, out_length = np.full(n, np.nan), np.full(n, np.nan)
    kind = shapely.get_type_id(geoms)
    present = kind >= 0
    present[present] = ~shapely.is_empty(geoms[present])
    points = present & ((kind == _POINT) | (kind == _MULTIPOINT))
    out_area[points] = out_length[points] = 0.0
    groups = (
        (_POLYGON, _MULTIPOLYGON, _polygonal),
        (_LINE, _MULTILINE, _ragged),
        (_RING, _RING, _linear_rings),
    )
    for single, multi, flatten in groups:
        chosen = present & ((kind == single) | (kind == multi))
        if chosen.any():
            out_area[chosen], out_length[chosen] = _in_chunks(
                flatten, geoms[chosen], e, area, rhumb, fast
            )
    collections = present & (kind == _COLLECTION)
    if collections.any():
        members, index = shapely.get_parts(geoms[collections], return_index=True)
        s, l = _shapely(e, members, area, rhumb, fast)
        at = np.flatnonzero(collections)[index]
        out_area[collections] = out_length[collections] = 0.0
        np.add.at(out_area, at, np.nan_to_num(s, nan=0.0))  # an empty member adds nothing
        np.add.at(out_length, at, np.nan_to_num(l, nan=0.0))
    return out_area, out_length


# -- GeoArrow ----------------------------------------------------------------------------------

_NESTING = {  # GeoArrow's extension names: lists above the coordinates, closed rings
    "geoarrow.point": (0, False),
    "geoarrow.multipoint": (1, False),
    "geoarrow.linestring": (1, False),
    "geoarrow.multilinestring": (2, False),
    "geoarrow.polygon": (2, True),
    "geoarrow.multipolygon": (3, True),
}


def _coordinates(coords: Any) -> tuple[_Array, _Array]:
    """x and y of GeoArrow coordinates, in place: a struct of x, y (z, m) columns, or
    interleaved fixed-size lists of 2 to 4 values."""
    import pyarrow as pa

    if pa.types.is_struct(coords.type):
        fields = coords.flatten()
        return fields[0].to_numpy(zero_copy_only=False), fields[1].to_numpy(zero_copy_only=False)
    if pa.types.is_fixed_size_list(coords.type):
        width = coords.type.list_size
        flat = coords.flatten().to_numpy(zero_copy_only=False).reshape(-1, width)
        return flat[:, 0], flat[:, 1]
    raise TypeError(
        f"geoms: GeoArrow coordinates must be a struct or a fixed-size list, got {coords.type}"
    )


def _arrow_chunk(
    e: Ellipsoid,
    array: Any,
    area: bool,
    rhumb: bool,
    fast: bool = False,
    encoding: str | None = None,
) -> tuple[_Array, _Array]:
    """(area, length) of one GeoArrow (pyarrow) array of a native encoding, or of WKB. A
    plain (storage) array may be given the name of its ``encoding`` (``geoarrow.polygon``)."""
    import pyarrow as pa

    name = getattr(array.type, "extension_name", None)
    storage = array.storage if name is not None else array
    name = name or encoding
    n = len(array)
    kind = storage.type
    if name in ("geoarrow.wkb", "ogc.wkb") or pa.types.is_binary(kind):
        import shapely

        wkb = shapely.from_wkb(storage.to_numpy(zero_copy_only=False))
        return _shapely(e, wkb, area, rhumb, fast)
    if name == "geoarrow.wkt" or pa.types.is_string(kind) or pa.types.is_large_string(kind):
        import shapely

        wkt = shapely.from_wkt(storage.to_numpy(zero_copy_only=False))
        return _shapely(e, wkt, area, rhumb, fast)
    if pa.types.is_large_binary(kind):
        import shapely

        wkb = shapely.from_wkb(storage.to_numpy(zero_copy_only=False))
        return _shapely(e, wkb, area, rhumb, fast)
    if name is not None and name not in _NESTING:
        raise TypeError(f"geoms: GeoArrow arrays of {name} are not geometries measured here")
    offsets, level = [], storage
    while pa.types.is_list(level.type) or pa.types.is_large_list(level.type):
        offsets.append(_int64(level.offsets))
        level = level.values
    depth, closed = _NESTING.get(name, (len(offsets), len(offsets) >= 2))
    if depth != len(offsets):
        raise TypeError(f"geoms: {name} must hold {depth} levels of lists, got {array.type}")
    if depth == 0 or name == "geoarrow.multipoint":  # points
        values = np.zeros(n)
    else:
        x, y = _coordinates(level)
        one = np.arange(n + 1)
        if depth == 1:
            flat = _Flat(x, y, offsets[0], one, one, closed=False)
        elif depth == 2:
            if closed:
                flat = _Flat(x, y, offsets[1], offsets[0], one, closed=True)
            else:  # multilines: a part per line
                flat = _Flat(x, y, offsets[1], np.arange(len(offsets[1])), offsets[0], False)
        else:
            flat = _Flat(x, y, offsets[2], offsets[1], offsets[0], closed=True)
        s, l = flat.run(e, area, rhumb, fast)
        if array.null_count:
            missing = array.is_null().to_numpy(zero_copy_only=False)
            s[missing] = l[missing] = np.nan
        return s, l
    if array.null_count:
        values[array.is_null().to_numpy(zero_copy_only=False)] = np.nan
    return values, values.copy()


def _arrow(
    e: Ellipsoid,
    array: Any,
    area: bool,
    rhumb: bool,
    fast: bool = False,
    encoding: str | None = None,
) -> tuple[_Array, _Array]:
    chunks = getattr(array, "chunks", None)
    if chunks is None:
        return _arrow_chunk(e, array, area, rhumb, fast, encoding)
    if not chunks:
        return np.empty(0), np.empty(0)
    results = [_arrow_chunk(e, c, area, rhumb, fast, encoding) for c in chunks]
    return np.concatenate([r[0] for r in results]), np.concatenate([r[1] for r in results])


# -- Dispatch ---------------------------------------------------------------------------------


def partitioned(geoms: Any) -> bool:
    """Whether ``geoms`` is a Dask-GeoPandas GeoSeries or GeoDataFrame."""
    return type(geoms).__module__.startswith("dask_geopandas")


def measure(
    e: Ellipsoid,
    geoms: Any,
    area: bool,
    rhumb: bool = False,
    fast: bool = False,
    encoding: str | None = None,
) -> tuple[_Array, _Array, Any]:
    """(area, length, shape or index) of ``geoms``: flat float64 arrays, and what to shape
    them as: a tuple (the NumPy shape; () for one geometry), or the pandas index of a
    GeoSeries or GeoDataFrame. ``encoding`` names the GeoArrow encoding of a plain pyarrow
    array (read from a file's metadata)."""
    module = type(geoms).__module__.partition(".")[0]
    if module in ("pyarrow", "geoarrow"):
        s, l = _arrow(e, geoms, area, rhumb, fast, encoding)
        return s, l, (len(s),)
    if module == "geopandas":
        series = geoms.geometry if hasattr(geoms, "geometry") else geoms
        s, l = _shapely(e, np.asarray(series.array, dtype=object), area, rhumb, fast)
        return s, l, series.index
    import shapely

    if isinstance(geoms, shapely.Geometry) or geoms is None:
        s, l = _shapely(e, np.array([geoms], dtype=object), area, rhumb, fast)
        return s, l, ()
    array = np.asarray(geoms, dtype=object)
    flat = array.reshape(-1)
    bad = ~(shapely.is_geometry(flat) | shapely.is_missing(flat))
    if bad.any():
        raise TypeError(
            f"geoms must hold shapely geometries or None, got {type(flat[bad][0]).__name__}"
        )
    s, l = _shapely(e, flat, area, rhumb, fast)
    return s, l, array.shape


# -- The functions of the registry's geometry entries -----------------------------------------


def _shaped(g: GeometryEntry, area: _Array, length: _Array, shape: Any) -> Any:
    """The measures of ``g`` shaped as the geometries: NumPy records (values, for one field)
    of their shape (one for one geometry), or pandas with the index of a GeoSeries or
    GeoDataFrame."""
    names = g.output.dtype.names  # type: ignore[union-attr]
    if len(names) == 1:
        values = length
    else:
        values = np.empty(len(area), dtype=g.output.dtype)
        values["area"], values["perimeter"] = area, length
    if isinstance(shape, tuple):
        out = values.reshape(shape)
        return out[()] if not shape else out
    import pandas as pd

    if len(names) == 1:
        return pd.Series(values, index=shape, name=names[0])
    return pd.DataFrame({n: values[n] for n in names}, index=shape)


def _partition(part: Any, qualname: str, ell: Any, rhumb: bool, fast: bool) -> Any:
    from quorvane.mathtools.ellipsoid._registry import entry

    return call(entry(qualname), ell, part, rhumb, fast)  # type: ignore[arg-type]


def _per_partition(g: GeometryEntry, ell: Any, geoms: Any, rhumb: bool, fast: bool) -> Any:
    """``g`` on each partition of a Dask-GeoPandas object, lazily: a Dask DataFrame of its
    fields, or a Dask Series for one field. The tasks carry the entry's name and ``(Re, f)``
    (Dask hashes the arguments, and not an Ellipsoid)."""
    import pandas as pd

    from quorvane.mathtools.ellipsoid._engine import parameters

    names = g.output.dtype.names  # type: ignore[union-attr]
    if len(names) == 1:
        meta: Any = pd.Series([], dtype=np.float64, name=names[0])
    else:
        meta = pd.DataFrame({c: pd.Series([], dtype=np.float64) for c in names})
    return geoms.map_partitions(_partition, g.qualname, parameters(ell), rhumb, fast, meta=meta)


def call(
    g: GeometryEntry,
    ell: Any,
    geoms: Any,
    rhumb: bool = False,
    fast: bool = False,
    encoding: str | None = None,
) -> Any:
    """The measures of the entry ``g`` of ``geoms``, edges geodesics or (``rhumb``) rhumb
    lines, geodesic edges in SIMD lanes with ``fast`` (``encoding`` as for :func:`measure`)."""
    from quorvane.mathtools.ellipsoid._engine import ellipsoid

    if partitioned(geoms):
        return _per_partition(g, ell, geoms, bool(rhumb), bool(fast))
    e = ellipsoid(ell)
    area, length, shape = measure(e, geoms, g.area, bool(rhumb), bool(fast), encoding)
    return _shaped(g, area, length, shape)


def _flag_parameters(g: GeometryEntry) -> list[inspect.Parameter]:
    keyword = inspect.Parameter.KEYWORD_ONLY
    return [inspect.Parameter(flag, keyword, default=False) for flag in g.flags]


def public(g: GeometryEntry) -> Callable[..., Any]:
    """The public function of ``g``: ``name(ell, geoms, *, rhumb=False, fast=False)``, with its
    signature and docstring."""
    from quorvane.mathtools.ellipsoid._engine import memory_errors

    @memory_errors
    def function(
        ell: Ellipsoid | str | tuple[float, float],
        geoms: Any,
        *,
        rhumb: bool = False,
        fast: bool = False,
    ) -> Any:
        return call(g, ell, geoms, rhumb, fast)

    positional = inspect.Parameter.POSITIONAL_OR_KEYWORD
    names = ("ell", *(i.name for i in g.inputs))
    function.__name__ = function.__qualname__ = g.name
    function.__module__ = f"quorvane.mathtools.ellipsoid.{g.module}"
    function.__signature__ = inspect.Signature(  # type: ignore[attr-defined]
        [inspect.Parameter(n, positional) for n in names] + _flag_parameters(g)
    )
    flags = ", ".join(f"{flag}=False" for flag in g.flags)
    function.__doc__ = f"{g.name}({', '.join(names)}, *, {flags})\n\n{g.text}\n"
    return function


def dask_function(g: GeometryEntry, name: str) -> Callable[..., Any]:
    """The Dask function of ``g``: ``name(ellipsoid, geoms, *, rhumb=False, fast=False)`` on a
    Dask-GeoPandas GeoSeries or GeoDataFrame, partition by partition."""

    def function(ellipsoid: Any, geoms: Any, *, rhumb: bool = False, fast: bool = False) -> Any:
        if not partitioned(geoms):
            raise TypeError(
                f"{name}: expected a Dask-GeoPandas GeoSeries or GeoDataFrame, not "
                f"{type(geoms).__qualname__} (geodesic.{g.name} takes it as it is)"
            )
        from quorvane.mathtools.ellipsoid.dask import parameters

        return _per_partition(g, parameters(ellipsoid), geoms, bool(rhumb), bool(fast))

    positional = inspect.Parameter.POSITIONAL_OR_KEYWORD
    names = ("ellipsoid", *(i.name for i in g.inputs))
    function.__name__ = function.__qualname__ = name
    function.__module__ = "quorvane.mathtools.ellipsoid.dask"
    function.__signature__ = inspect.Signature(  # type: ignore[attr-defined]
        [inspect.Parameter(n, positional) for n in names] + _flag_parameters(g)
    )
    fields = ", ".join(g.output.dtype.names)  # type: ignore[union-attr]
    function.__doc__ = "\n".join(
        [
            f"{name}(ellipsoid, geoms, *, rhumb=False, fast=False)",
            "",
            g.summary,
            "",
            "Parameters",
            "----------",
            "ellipsoid : Ellipsoid, str or (Re, f)",
            "    The ellipsoid, or its catalogue name.",
            "geoms : dask_geopandas.GeoSeries or GeoDataFrame",
            "    Geometries whose coordinates are (lon, lat) in degrees.",
            "rhumb : bool",
            "    Edges that are rhumb lines instead of geodesics.",
            "fast : bool",
            "    Geodesic edges in SIMD lanes: not the exact kernels' bits, within nanometres.",
            "",
            "Returns",
            "-------",
            "dask.dataframe.DataFrame or dask.dataframe.Series",
            f"    Lazy {fields} of each geometry, with the partitions' index:",
            f"    :func:`quorvane.mathtools.ellipsoid.{g.module}.{g.name}` on each partition.",
        ]
    )
    return function
