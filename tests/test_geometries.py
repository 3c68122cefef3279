"""Areas, perimeters and lengths of arrays of geometries: pyproj on every kind, the bits of
polygon_area and line_length for one ring (of rhumb.polygon_area for rhumb edges), rhumb
rectangles against their bands, GeoArrow equal to shapely, empty and missing geometries,
pandas indexes, and bad input."""

import math

import numpy as np
import pytest
from helpers import EARTH

from quorvane.mathtools.ellipsoid import _geodesic, latitudes
from quorvane.mathtools.ellipsoid import geodesic as gd
from quorvane.mathtools.ellipsoid import rhumb as rh
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

shapely = pytest.importorskip("shapely")
pyproj = pytest.importorskip("pyproj")
from shapely.geometry import (
    GeometryCollection,
    LinearRing,
    LineString,
    MultiLineString,
    MultiPoint,
    MultiPolygon,
    Point,
    Polygon,
)

WGS84 = Ellipsoid(*EARTH)
PEER = pyproj.Geod(a=EARTH[0], f=EARTH[1])

SQUARE = [(0, 0), (1, 0), (1, 1), (0, 1)]
HOLE = [(0.2, 0.2), (0.2, 0.8), (0.8, 0.8), (0.8, 0.2)]  # clockwise
POLYGONS = {
    "counter-clockwise": Polygon(SQUARE),
    "clockwise": Polygon(SQUARE[::-1]),
    "hole": Polygon(SQUARE, [HOLE]),
    "hole wound as its shell": Polygon(SQUARE, [HOLE[::-1]]),
    "metre": Polygon([(8.5, 47.0), (8.5000132, 47.0), (8.5000132, 47.000009), (8.5, 47.000009)]),
    "antimeridian": Polygon([(170, -10), (-170, -10), (-170, 10), (170, 10)]),
    "north pole": Polygon([(0, 80), (90, 80), (180, 80), (-90, 80)]),
    "nearly a hemisphere": Polygon([(0, 1), (90, 1), (180, 1), (-90, 1)]),
    "multipolygon": MultiPolygon(
        [Polygon(SQUARE, [HOLE]), Polygon([(10, 10), (11, 10), (10, 11)])]
    ),
}


@pytest.mark.parametrize("fast", [False, True])
@pytest.mark.parametrize("name", POLYGONS)
def test_polygons_agree_with_pyproj(name, fast):
    geom = POLYGONS[name]
    area, perimeter = gd.geometry_area_perimeter(WGS84, geom, fast=fast)
    peer_area, peer_perimeter = PEER.geometry_area_perimeter(geom)
    assert area == pytest.approx(peer_area, rel=1e-9, abs=1e-6)
    assert perimeter == pytest.approx(peer_perimeter, rel=1e-9)
    assert gd.geometry_length(WGS84, geom, fast=fast) == perimeter  # the shells, as pyproj


@pytest.mark.parametrize(
    ("geom", "length"),
    [
        (LineString([(0, 0), (1, 1), (3, 0)]), None),
        (MultiLineString([[(0, 0), (1, 1)], [(5, 5), (6, 5), (6, 7)]]), None),
        (LinearRing(SQUARE), None),  # a closed line: no area
        (Point(1, 2), 0.0),
        (MultiPoint([(1, 2), (3, 4)]), 0.0),
        (Polygon(), np.nan),
        (LineString(), np.nan),
        (None, np.nan),
        (GeometryCollection(), np.nan),
    ],
)
def test_lines_points_empty_and_missing(geom, length):
    area, perimeter = gd.geometry_area_perimeter(WGS84, geom)
    got = gd.geometry_length(WGS84, geom)
    if length is None:
        length = PEER.geometry_length(geom)
        assert got == pytest.approx(length, rel=1e-12)
        assert (area, perimeter) == (0.0, got)
    else:
        np.testing.assert_array_equal([area, perimeter, got], [length] * 3)


def test_collection_adds_its_members():
    members = [POLYGONS["hole"], LineString([(0, 0), (1, 1)]), Point(0, 0), Polygon()]
    whole = gd.geometry_area_perimeter(WGS84, GeometryCollection(members))
    parts = gd.geometry_area_perimeter(WGS84, members)
    assert whole["area"] == parts["area"][0]
    assert whole["perimeter"] == parts["perimeter"][0] + parts["perimeter"][1]


def random_rings(n, seed=1):
    rng = np.random.default_rng(seed)
    sizes = rng.integers(3, 40, n)
    rings = []
    for k in sizes:
        centre = rng.uniform([-180, -80], [180, 80])
        angle = np.sort(rng.uniform(0, 2 * np.pi, k)) * rng.choice([-1, 1])
        radius = rng.uniform(0.01, 5) * rng.uniform(0.5, 1, k)
        rings.append(centre + radius[:, None] * np.c_[np.cos(angle), np.sin(angle)])
    return rings


@pytest.mark.parametrize("rhumb", [False, True])
@pytest.mark.parametrize(("ell", "n"), [(WGS84, 300), (Ellipsoid(EARTH[0], 0.1), 100)])
def test_one_ring_gives_the_bits_of_polygon_area_and_line_length(ell, n, rhumb):
    # Enough polygons that the loop is split over threads, every one on its own; the series,
    # and the exact integrals of a strong flattening. Rhumb lines: a line back to its first
    # vertex has the bits of the polygon's perimeter (the sum of the edges' s12).
    rings = random_rings(n)
    records = gd.geometry_area_perimeter(ell, [Polygon(r) for r in rings], rhumb=rhumb)
    lines = [LineString(np.r_[r, r[:1]] if rhumb else r) for r in rings]
    lengths = gd.geometry_length(ell, lines, rhumb=rhumb)
    for r, rec, length in zip(rings, records, lengths):
        one = (rh if rhumb else gd).polygon_area(ell, r[:, 1], r[:, 0], degrees=True)
        assert rec.tobytes() == one.tobytes()
        line = one["perimeter"] if rhumb else gd.line_length(ell, r[:, 1], r[:, 0], degrees=True)
        assert length == line


@pytest.mark.parametrize(
    ("ell", "rhumb"), [(WGS84, False), (Ellipsoid(EARTH[0], 1 / 50), False), (WGS84, True)]
)
def test_fast_edges_agree_with_the_exact_kernels(ell, rhumb):
    # Geodesic edges in lanes up to f = 1/50: within nanometres and some 1e-5 m^2 an edge
    # (and the rounding of the edges' terms, some 1e-15 of the area) of the exact kernels'
    # (meridians and the equator handed to them); rhumb edges take
    # the exact kernels whatever fast says, as flattenings beyond 1/50 do.
    rings = [*random_rings(100), np.array(rectangle(0, 10, 0, 10), float)]
    polygons = [Polygon(r) for r in rings]
    exact = gd.geometry_area_perimeter(ell, polygons, rhumb=rhumb)
    got = gd.geometry_area_perimeter(ell, polygons, rhumb=rhumb, fast=True)
    if rhumb:
        assert got.tobytes() == exact.tobytes()
        return
    edges = np.array([len(r) for r in rings])
    assert np.all(np.abs(got["perimeter"] - exact["perimeter"]) <= 1e-8 * edges)
    assert np.all(np.abs(got["area"] - exact["area"]) <= 1e-4 * edges + 1e-13 * abs(exact["area"]))
    flat = Ellipsoid(EARTH[0], 0.1)
    assert (
        gd.geometry_area_perimeter(flat, polygons, fast=True).tobytes()
        == gd.geometry_area_perimeter(flat, polygons).tobytes()
    )


def band(south, north, west, east):
    """The area between two parallels and two meridians (west to east the shorter way)."""
    xi = np.radians(latitudes.convert(EARTH, [south, north], "geodetic", "authalic", degrees=True))
    lam = math.radians(math.remainder(east - west, 360.0))
    return latitudes.authalic_radius(EARTH) ** 2 * lam * (math.sin(xi[1]) - math.sin(xi[0]))


def rectangle(south, north, west, east):
    return [(west, south), (east, south), (east, north), (west, north)]


@pytest.mark.parametrize(
    ("shell", "hole"),
    [((10.0, 40.0, -20.0, 35.0), None), ((-60.0, -10.0, 170.0, -170.0), (-50, -20, 175, -175))],
)
def test_rhumb_rectangles_are_bands(shell, hole):
    # Parallels and meridians are rhumb lines: a rectangle's area is the band's exactly (a
    # geodesic between two points of a parallel leaves it); a hole wound clockwise subtracts.
    holes = [rectangle(*hole)[::-1]] if hole else []
    geom = Polygon(rectangle(*shell), holes)
    area, perimeter = gd.geometry_area_perimeter(WGS84, geom, rhumb=True)
    assert area == pytest.approx(band(*shell) - (band(*hole) if hole else 0.0), abs=2.0)
    assert abs(gd.geometry_area_perimeter(WGS84, geom)["area"] - area) > 1e6
    s, n, w, e = shell
    edges = rh.inverse(WGS84, [s, s, n, n], [w, e, e, w], [s, n, n, s], [e, e, w, w], degrees=True)
    assert perimeter == pytest.approx(math.fsum(edges["s12"]), rel=1e-15)
    assert gd.geometry_length(WGS84, geom.exterior, rhumb=True) == perimeter
    dask_geopandas = pytest.importorskip("dask_geopandas")
    gpd = pytest.importorskip("geopandas")
    lazy = dask_geopandas.from_geopandas(gpd.GeoSeries([geom, geom.exterior]), npartitions=2)
    computed = gd.geometry_length(WGS84, lazy, rhumb=True).compute()
    np.testing.assert_array_equal(computed, [perimeter, perimeter])


def test_shapes_and_pandas_indexes():
    grid = np.array([[POLYGONS["hole"], None], [Point(0, 0), POLYGONS["clockwise"]]])
    records = gd.geometry_area_perimeter("WGS84", grid)
    assert records.shape == (2, 2) and records.dtype.names == ("area", "perimeter")
    assert gd.geometry_length("WGS84", grid).shape == (2, 2)
    gpd = pytest.importorskip("geopandas")
    series = gpd.GeoSeries(grid.reshape(-1), index=list("abcd"))
    frame = gd.geometry_area_perimeter(
        "WGS84", gpd.GeoDataFrame({"v": range(4)}, index=series.index, geometry=series)
    )
    assert list(frame.index) == list("abcd") and list(frame.columns) == ["area", "perimeter"]
    np.testing.assert_array_equal(frame["area"], records["area"].reshape(-1))
    lengths = gd.geometry_length("WGS84", series)
    assert list(lengths.index) == list("abcd")
    dask_geopandas = pytest.importorskip("dask_geopandas")
    lazy = gd.geometry_area_perimeter("WGS84", dask_geopandas.from_geopandas(series, npartitions=2))
    assert type(lazy).__module__.startswith("dask")  # partition by partition, when computed
    np.testing.assert_array_equal(lazy.compute().to_numpy(), frame.to_numpy())
    lazy = gd.geometry_length("WGS84", dask_geopandas.from_geopandas(series, npartitions=3))
    np.testing.assert_array_equal(lazy.compute(), lengths)
    lazy = dask_geopandas.from_geopandas(series, npartitions=3)
    lanes = gd.geometry_length("WGS84", series, fast=True)
    np.testing.assert_array_equal(gd.geometry_length("WGS84", lazy, fast=True).compute(), lanes)


@pytest.mark.parametrize("name", ["geometry_area_perimeter", "geometry_length"])
def test_the_dask_functions_measure_partition_by_partition(name):
    dask_geopandas = pytest.importorskip("dask_geopandas")
    gpd = pytest.importorskip("geopandas")
    from quorvane.mathtools.ellipsoid import dask as qd

    series = gpd.GeoSeries([*POLYGONS.values(), None, LineString([(0, 0), (1, 1)])])
    lazy = getattr(qd, f"geodesic_{name}")(
        "WGS84",
        dask_geopandas.from_geopandas(series, npartitions=3),
        rhumb=True,
    )
    expected = getattr(gd, name)("WGS84", series, rhumb=True)
    np.testing.assert_array_equal(lazy.compute().to_numpy(), expected.to_numpy())
    with pytest.raises(TypeError, match="expected a Dask-GeoPandas GeoSeries or GeoDataFrame"):
        getattr(qd, f"geodesic_{name}")("WGS84", series)


def test_geoarrow_buffers_at_any_byte_give_the_bits_of_aligned_ones():
    """Coordinates and int64 offsets one byte past an aligned address, read in place: under
    the sanitizers a misaligned read is a failure."""
    pa = pytest.importorskip("pyarrow")

    def moved(a):
        out = np.frombuffer(b"\0" + a.tobytes(), a.dtype, offset=1)
        assert not out.flags.aligned
        return out

    def polygons(x, y, rings, parts):
        coords = pa.StructArray.from_arrays([pa.array(x), pa.array(y)], names=["x", "y"])
        ring = pa.LargeListArray.from_arrays(pa.array(rings), coords)
        return pa.LargeListArray.from_arrays(pa.array(parts), ring)

    rings = random_rings(50)
    xy = np.concatenate([np.r_[r, r[:1]] for r in rings])
    x, y = np.ascontiguousarray(xy[:, 0]), np.ascontiguousarray(xy[:, 1])
    offsets = np.r_[0, np.cumsum([len(r) + 1 for r in rings])].astype(np.int64)
    parts = np.arange(len(rings) + 1, dtype=np.int64)
    aligned = polygons(x, y, offsets, parts)
    shifted = polygons(moved(x), moved(y), moved(offsets), moved(parts))
    assert shifted.values.values.field(0).buffers()[1].address % 8
    expected = gd.geometry_area_perimeter(WGS84, aligned)
    assert gd.geometry_area_perimeter(WGS84, shifted).tobytes() == expected.tobytes()
    one = gd.polygon_area(WGS84, rings[7][:, 1], rings[7][:, 0], degrees=True)
    assert expected[7].tobytes() == one.tobytes()


def floats(a):
    """Records as rows of float64 (NaN compares equal to NaN there)."""
    a = np.ascontiguousarray(a)
    return a.view(np.float64).reshape(len(a), -1) if a.dtype.names else a


@pytest.mark.parametrize(
    ("kind", "coords"),
    [
        ("polygon", "SEPARATED"),
        ("polygon", "INTERLEAVED"),
        ("multipolygon", "SEPARATED"),
        ("linestring", "INTERLEAVED"),
        ("multilinestring", "SEPARATED"),
        ("wkb", None),
        ("wkt", None),
    ],
)
def test_geoarrow_equals_shapely(kind, coords):
    pa = pytest.importorskip("pyarrow")
    ga = pytest.importorskip("geoarrow.pyarrow")
    lines = "line" in kind
    rings = random_rings(100, seed=2)
    geoms = [LineString(r) if lines else Polygon(r) for r in rings]
    if kind in ("polygon", "multipolygon", "wkb", "wkt"):
        geoms[3] = POLYGONS["hole"]
        holes = [
            [(0.1, 0.2), (0.1, 0.8), (0.4, 0.8), (0.4, 0.2)],
            [(0.6, 0.2), (0.6, 0.8), (0.9, 0.2)],
        ]
        geoms[9] = Polygon(SQUARE, holes)  # holes of 5 and 4 vertices: each ring in its own slot
    if kind == "multilinestring":
        geoms[3] = MultiLineString([rings[3], rings[4]])
    geoms[5], geoms[7] = None, (LineString() if lines else Polygon())
    geoms = np.array(geoms, dtype=object)
    wkb = pa.array(shapely.to_wkb(geoms))
    if kind == "wkb":
        array = ga.as_wkb(wkb)
    elif kind == "wkt":  # plain strings: the geometries they stand for
        text = shapely.to_wkt(geoms, rounding_precision=-1)
        array, geoms = pa.array(text), shapely.from_wkt(text)
    else:
        array = ga.as_geoarrow(wkb, type=getattr(ga, kind)().with_coord_type(coords))
    for function in (gd.geometry_area_perimeter, gd.geometry_length):
        expected = floats(function(WGS84, geoms))
        np.testing.assert_array_equal(floats(function(WGS84, array)), expected)
        np.testing.assert_array_equal(floats(function(WGS84, array[4:60])), expected[4:60])
        chunked = pa.chunked_array([array[:10], array[10:]])
        np.testing.assert_array_equal(floats(function(WGS84, chunked)), expected)
        lanes = floats(function(WGS84, geoms, fast=True))  # fast=True reaches the loop from both
        np.testing.assert_array_equal(floats(function(WGS84, chunked, fast=True)), lanes)


@pytest.mark.parametrize("fast", [False, True])
def test_coordinates_copied_out_in_chunks_give_the_same_bits(monkeypatch, fast):
    from quorvane.mathtools.ellipsoid import _geometries

    rings = random_rings(60, seed=4)
    geoms = np.array([Polygon(r) for r in rings] + [POLYGONS["hole"], None, Polygon()], object)
    geoms[10] = MultiPolygon([Polygon(rings[10]), Polygon(rings[11])])
    whole = floats(gd.geometry_area_perimeter(WGS84, geoms, fast=fast))
    monkeypatch.setattr(_geometries, "_CHUNK_VERTICES", 50)  # a chunk every few polygons
    np.testing.assert_array_equal(
        floats(gd.geometry_area_perimeter(WGS84, geoms, fast=fast)), whole
    )


def test_bad_input():
    with pytest.raises(TypeError, match="geoms must hold shapely geometries or None, got int"):
        gd.geometry_length(WGS84, [Point(0, 0), 3])
    ga = pytest.importorskip("geoarrow.pyarrow")
    with pytest.raises(TypeError, match="geoarrow.box are not geometries measured here"):
        gd.geometry_length(WGS84, ga.box(ga.as_geoarrow(["POLYGON ((0 0, 1 0, 1 1, 0 0))"])))
    with pytest.raises(ValueError, match="the flattening"):
        gd.geometry_length((6378137.0, 1.5), Point(0, 0))
    # The loop refuses offsets beyond its coordinates, going backwards or of another type or
    # layout, before it runs; and what is no buffer, as the other loops refuse it.
    x = y = np.zeros(4)
    out = np.empty(1)
    one = np.array([0, 1])
    for rings, parts in (
        ([0, 5], one),
        ([0, 4], [0, 2]),
        ([2, 1], one),
        (np.array([0, 4], dtype=np.int32), one),
        (np.array([0, 9, 4])[::2], one),
    ):
        with pytest.raises(ValueError, match="ring_offsets|part_offsets"):
            _geodesic.geometries(WGS84, x, y, np.asarray(rings), np.asarray(parts), one, out, None)
    with pytest.raises(TypeError, match="^ring_offsets must be a 1-D int64 array, got list$"):
        _geodesic.geometries(WGS84, x, y, [0, 4], one, one, out, None)
    with pytest.raises(TypeError, match="^length must be an"):
        _geodesic.geometries(WGS84, x, y, np.array([0, 4]), one, one, 1.0, None)
