"""xarray DataArrays through the companion functions: broadcast by dimension name,
coordinates and attributes kept, records as Datasets, 3-vectors along their dimension, the
NumPy path's values, and Dask-backed arrays left lazy."""

import numpy as np
import pytest

from quorvane.mathtools.ellipsoid import fast, frames, geodesic, latitudes, utm

xr = pytest.importorskip("xarray")

LAT = xr.DataArray(
    [10.0, -45.0, 89.0],
    dims="y",
    coords={"y": [1, 2, 3]},
    attrs={"units": "degrees_north", "source": "grid A"},
)
LON = xr.DataArray([0.0, 120.0], dims="x", coords={"x": [100, 200]}, attrs={"source": "grid A"})


def grid(a):
    """The DataArray's values broadcast to (y, x)."""
    return np.broadcast_to(a.values.reshape(-1, 1) if a.dims == ("y",) else a.values, (3, 2))


@pytest.mark.parametrize(
    ("function", "args"),
    [
        (geodesic.inverse, (LAT, LON, 5.0, 7.0)),  # records: a Dataset
        (frames.pos_from_lla, (LAT, LON, 100.0)),  # 3-vectors
        (latitudes.convert, (LAT, "geodetic", "authalic")),  # values
        (fast.pos_from_lla, (LAT, LON, 100.0)),
    ],
)
def test_labelled_results_equal_the_numpy_path(function, args):
    got = function("WGS84", *args, degrees=True)
    plain = [grid(a) if isinstance(a, xr.DataArray) else a for a in args]
    if len(args) == 3 and isinstance(args[1], str):  # convert: lat alone, its own dims
        plain = [LAT.values, *args[1:]]
    expected = function("WGS84", *plain, degrees=True)
    assert got.coords["y"].values.tolist() == [1, 2, 3]
    if isinstance(got, xr.Dataset):
        assert set(got.data_vars) == set(expected.dtype.names)
        for name in expected.dtype.names:
            assert got[name].dims == ("y", "x")
            np.testing.assert_array_equal(got[name].values, expected[name])
        assert got["s12"].attrs == {"source": "grid A"}  # the agreed attribute, no units
    else:
        np.testing.assert_array_equal(got.values, expected)
        assert "units" not in got.attrs and got.attrs["source"] == "grid A"
        if expected.ndim == 3:
            assert got.dims == ("y", "x", "xyz")


def test_vectors_in_along_their_dimension():
    r = frames.pos_from_lla("WGS84", LAT, LON, 0.0, degrees=True).rename(xyz="ecef")
    lla = frames.lla_from_pos("WGS84", r, degrees=True)
    np.testing.assert_allclose(lla["lat"].values, grid(LAT), atol=1e-12)
    enu = frames.enu_from_pos("WGS84", r, 10.0, 20.0, 0.0, degrees=True)
    assert enu.dims == ("y", "x", "ecef")
    ray = frames.pos_from_enu("WGS84", [1.0, 2.0, 3.0], LAT, LON, 0.0, degrees=True)
    assert ray.dims == ("y", "x", "xyz")
    with pytest.raises(ValueError, match="last dimension of length 3"):
        frames.lla_from_pos("WGS84", r.isel(ecef=slice(0, 2)))
    with pytest.raises(TypeError, match="lon: beside DataArrays"):
        frames.pos_from_lla("WGS84", LAT, np.zeros(3), 0.0)


def test_dask_backed_arrays_stay_lazy():
    da = pytest.importorskip("dask.array")
    lazy = LAT.chunk({"y": 2})
    out = geodesic.inverse("WGS84", lazy, LON, 5.0, 7.0, degrees=True)
    assert isinstance(out["s12"].data, da.Array)
    expected = geodesic.inverse("WGS84", LAT, LON, 5.0, 7.0, degrees=True)
    xr.testing.assert_identical(out.compute(), expected)
    r = frames.pos_from_lla("WGS84", lazy, LON, 0.0, degrees=True)
    assert isinstance(r.data, da.Array) and r.chunks[-1] == (3,)
    xr.testing.assert_identical(
        r.compute(), frames.pos_from_lla("WGS84", LAT, LON, 0.0, degrees=True)
    )


@pytest.mark.parametrize("lazy", [False, True], ids=["numpy", "dask"])
def test_the_grid_keeps_its_typed_fields_and_strings(lazy):
    """UTM records as a Dataset of int32 zones, bool hemispheres and floats; MGRS codes as a
    DataArray of strings and back; a zone given as a DataArray; Dask-backed arrays lazy."""
    lat = LAT.chunk({"y": 2}) if lazy else LAT
    records = utm.forward(lat, LON, degrees=True)
    codes = utm.to_mgrs(lat, LON, degrees=True, precision=3)
    back = utm.reverse(records["zone"], records["northp"], records["easting"], records["northing"])
    forced = utm.forward(lat, LON, zone=xr.DataArray([31, 32], dims="x"), degrees=True)
    if lazy:
        da = pytest.importorskip("dask.array")
        assert all(isinstance(o.data, da.Array) for o in (records["zone"], codes, back["lat"]))
        records, codes, back, forced = (o.compute() for o in (records, codes, back, forced))
    expected = utm.forward(grid(LAT), grid(LON), degrees=True)
    assert records.coords["y"].values.tolist() == [1, 2, 3] and records["zone"].dims == ("y", "x")
    assert [records[n].dtype for n in ("zone", "northp")] == [np.int32, np.bool_]
    for name in expected.dtype.names:
        np.testing.assert_array_equal(records[name].values, expected[name])
    assert codes.name == "mgrs" and codes.attrs == {"source": "grid A"}
    mgrs = utm.to_mgrs(grid(LAT), grid(LON), degrees=True, precision=3)
    np.testing.assert_array_equal(codes.values, mgrs)
    centres = utm.from_mgrs(codes, degrees=True)
    assert centres["lat"].dims == ("y", "x")
    np.testing.assert_allclose(centres["lat"].values, grid(LAT), atol=0.01)
    np.testing.assert_allclose(np.degrees(back["lat"].values), grid(LAT), atol=1e-9)
    assert forced["zone"].values.tolist() == [[31, 32]] * 3
