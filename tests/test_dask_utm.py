"""The Dask functions of the UTM grid and MGRS: the module's bits across chunks, errors judged
at once, a malformed code named by its index in the whole array (its row label in a frame)."""

import numpy as np
import pytest

da = pytest.importorskip("dask.array")

from quorvane.mathtools.ellipsoid import dask as qd
from quorvane.mathtools.ellipsoid import utm

RNG = np.random.default_rng(3434)
LAT = np.concatenate([RNG.uniform(-89, 89, 40), [60.5, 78.0, 85.0, -81.0, np.nan]])
LON = np.concatenate([RNG.uniform(-180, 180, 40), [5.5, 20.0, 10.0, -70.0, 1.0]])
GRID = utm.forward(LAT[:-1], LON[:-1], degrees=True)
CODES = utm.to_mgrs(LAT[:-1], LON[:-1], precision=3, degrees=True)


def chunked(a):
    return da.from_array(a, chunks=7)


CASES = [
    ("forward", lambda: qd.utm_forward("WGS84", chunked(LAT), chunked(LON), degrees=True),
     lambda: utm.forward(LAT, LON, degrees=True)),
    ("forward-zone", lambda: qd.utm_forward("WGS84", chunked(LAT), LON, zone=33, degrees=True),
     lambda: utm.forward(LAT, LON, zone=33, degrees=True)),
    ("forward-zones", lambda: qd.utm_forward(
        "GRS80", chunked(LAT[:-1]), chunked(LON[:-1]), zone=chunked(GRID["zone"]), degrees=True),
     lambda: utm.forward(LAT[:-1], LON[:-1], zone=GRID["zone"], ell="GRS80", degrees=True)),
    ("reverse", lambda: qd.utm_reverse(
        "WGS84", chunked(GRID["zone"]), chunked(GRID["northp"]), chunked(GRID["easting"]),
        GRID["northing"], degrees=True),
     lambda: utm.reverse(GRID["zone"], GRID["northp"], GRID["easting"], GRID["northing"],
                         degrees=True)),
    ("to_mgrs", lambda: qd.utm_to_mgrs("WGS84", chunked(LAT), chunked(LON), precision=3,
                                       degrees=True),
     lambda: utm.to_mgrs(LAT, LON, precision=3, degrees=True)),
    ("from_mgrs", lambda: qd.utm_from_mgrs("WGS84", chunked(CODES)),
     lambda: utm.from_mgrs(CODES)),
]  # fmt: skip


@pytest.mark.parametrize(("lazy", "expected"), [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_arrays_give_the_module_bits_across_chunks(lazy, expected):
    got, want = lazy(), expected()
    assert got.dtype == want.dtype
    computed = got.compute()
    if want.dtype.names:
        for name in want.dtype.names:
            assert np.array_equal(computed[name], want[name], equal_nan=True), name
    else:
        assert computed.tolist() == want.tolist()


def test_errors_at_once_and_a_bad_code_by_its_index_in_the_whole_array():
    with pytest.raises(ValueError, match="zone must be a zone number 0-60"):
        qd.utm_forward("WGS84", chunked(LAT), chunked(LON), zone=61)
    with pytest.raises(TypeError, match="lat"):
        qd.utm_forward("WGS84", chunked(np.array(["a"] * 3)), 0.0)
    with pytest.raises(ValueError, match="precision must be 0-5"):
        qd.utm_to_mgrs("WGS84", chunked(LAT), chunked(LON), precision=6)
    codes = CODES.copy()
    codes[23] = "32TMT1"
    lazy = qd.utm_from_mgrs("WGS84", chunked(codes))  # judged at once: the dtype is right
    with pytest.raises(ValueError, match=r"'32TMT1' at index \(23,\) is no MGRS reference"):
        lazy.compute()


def test_dataframes_give_the_module_bits_and_name_a_bad_row():
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    lat, lon = LAT[:-1], LON[:-1]
    frame = dd.from_pandas(pd.DataFrame({"id": np.arange(lat.size), "lat": lat, "lon": lon}), 3)

    grid = qd.dataframe_utm_forward("WGS84", frame, degrees=True).compute()
    assert list(grid.columns) == ["id", *utm.GRID_dtype.names]
    for name in utm.GRID_dtype.names:
        assert np.array_equal(grid[name].to_numpy(), GRID[name]), name
    back = qd.dataframe_utm_reverse("WGS84", dd.from_pandas(grid, 2), keep=False).compute()
    expected = utm.reverse(GRID["zone"], GRID["northp"], GRID["easting"], GRID["northing"])
    for name in expected.dtype.names:
        assert np.array_equal(back[name].to_numpy(), expected[name]), name

    codes = qd.dataframe_utm_to_mgrs("WGS84", frame, precision=3, degrees=True).compute()
    assert codes["mgrs"].tolist() == CODES.tolist()
    centres = qd.dataframe_utm_from_mgrs("WGS84", dd.from_pandas(codes, 2)).compute()
    expected = utm.from_mgrs(CODES)
    for name in ("lat", "lon"):
        assert np.array_equal(centres[name].to_numpy(), expected[name]), name

    codes.loc[30, "mgrs"] = "31U"
    lazy = qd.dataframe_utm_from_mgrs("WGS84", dd.from_pandas(codes, 2))
    with pytest.raises(ValueError, match=r"'31U' at row 30 is no MGRS reference"):
        lazy.compute()
    with pytest.raises(ValueError, match="zone must be a zone number"):
        qd.dataframe_utm_forward("WGS84", frame, zone=0.5)
