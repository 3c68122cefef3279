"""Rhumb lines: the 40-digit truth per flattening and kind of line (east-west within a hair,
across the antimeridian, short, near the poles), the sphere's closed form, round trips, the
poles' convention, rectangles against the band's exact area, and waypoints."""

import math

import numpy as np
import pytest
from helpers import EARTH

from quorvane.mathtools.ellipsoid import fast, latitudes
from quorvane.mathtools.ellipsoid import rhumb as rh
from testsupport import rhumb_truth as rt
from testsupport.rhumb_truth import lines

A = EARTH[0]
# The exact kernels and the vectorised ones (fast), held to the same truth.
SOLVERS = {"exact": (rh.inverse, rh.direct), "fast": (fast.rhumb_inverse, fast.rhumb_direct)}


# Against the truth of the definitions for the same double inputs: the distance within 15 nm,
# the azimuth within 1e-14 rad, S12 within 0.1 m^2.
CASES = [(EARTH[1], k) for k in ("random", "east-west", "antimeridian", "short", "polar")]
CASES += [(f, k) for f in (0.0, 1 / 50, 0.1, 0.5) for k in ("random", "east-west")]


@pytest.mark.parametrize("solver", SOLVERS)
@pytest.mark.parametrize(("f", "kind"), CASES)
def test_inverse_and_direct_against_truth(f, kind, solver):
    inverse, direct = SOLVERS[solver]
    lat1, lon1, lat2, lon2 = lines(kind, np.random.default_rng(17), 4)
    ell = (A, f)
    r = inverse(ell, lat1, lon1, lat2, lon2)
    d = direct(ell, lat1, lon1, r["azi12"], r["s12"])
    truth = rt.Ellipsoid(A, f)
    for i in range(4):
        s12, azi12, S12 = (float(x) for x in truth.inverse(lat1[i], lon1[i], lat2[i], lon2[i]))
        assert abs(r["s12"][i] - s12) <= 15e-9
        assert abs(r["azi12"][i] - azi12) <= 1e-14
        assert abs(r["S12"][i] - S12) <= 0.1
        lat, dlon, area = truth.direct(lat1[i], lon1[i], r["azi12"][i], r["s12"][i])
        assert abs(d["lat2"][i] - float(lat)) <= 1e-14
        dl = math.remainder(d["lon2"][i] - lon1[i] - float(dlon), 2 * math.pi)
        assert abs(dl) <= 1e-14
        assert abs(d["S12"][i] - float(area)) <= 0.1


@pytest.mark.parametrize("solver", SOLVERS)
def test_a_line_from_next_to_one_pole_to_next_to_the_other(solver):
    # chi12 near a half turn, where 1 - cos chi12 from sin^2 / (1 + cos) cancels.
    line = (1.569279079, 0.3, -1.556480684, -2.181)
    r = SOLVERS[solver][0](EARTH, *line)
    s12, _, S12 = (float(x) for x in rt.Ellipsoid(*EARTH).inverse(*line))
    assert abs(r["s12"] - s12) <= 15e-9 and abs(r["S12"] - S12) <= 0.1


@pytest.mark.parametrize("solver", SOLVERS)
def test_stored_truth_within_the_stated_bounds(solver):
    """Every set of testsupport/data/rhumb-truth.npz (100 lines per kind and flattening, 40
    digits) within the bounds stated for it (testsupport/rhumb_truth_data.py), and direct
    back from each line onto point 2 within 1e-12 degrees."""
    from testsupport import rhumb_truth_data as data

    inverse, direct = SOLVERS[solver]
    sets = data.load()
    assert set(sets) == set(data.set_names())
    for name, s in sets.items():
        ell = (data.RE, float(s["f"]))
        r = inverse(ell, s["lat1"], s["lon1"], s["lat2"], s["lon2"])
        t = s["truth"]
        nm, rad, area = data.BOUNDS[name.rsplit("/", 1)[0]]
        assert np.abs((r["s12"] - t[:, 0]) - t[:, 1]).max() <= nm * 1e-9, name
        dazi = np.remainder(r["azi12"] - t[:, 2] - t[:, 3] + math.pi, 2 * math.pi) - math.pi
        assert np.abs(dazi).max() <= rad, name
        assert np.abs((r["S12"] - t[:, 4]) - t[:, 5]).max() <= area, name
        d = direct(ell, s["lat1"], s["lon1"], r["azi12"], r["s12"])
        dlon = np.remainder(d["lon2"] - s["lon2"] + math.pi, 2 * math.pi) - math.pi
        assert np.degrees(np.abs(d["lat2"] - s["lat2"])).max() <= 1e-12, name
        assert np.degrees(np.abs(dlon)).max() <= 1e-12, name


def test_due_east_for_many_turns_against_truth():
    """A line due east (azimuth pi/2 as a double, 6e-17 off) over 1e8 m: the longitude of
    many turns, the latitude drifting by the azimuth's rounding only."""
    truth = rt.Ellipsoid(*EARTH)
    for lat1 in (0.0, 0.7, -1.4):
        d = rh.direct(EARTH, lat1, 3.0, math.pi / 2, 1e8)
        lat, dlon, area = truth.direct(lat1, 3.0, math.pi / 2, 1e8)
        assert abs(d["lat2"] - float(lat)) <= 1e-15
        assert abs(math.remainder(d["lon2"] - 3.0 - float(dlon), 2 * math.pi)) <= 2e-13
        assert abs(d["S12"] - float(area)) <= 1e-15 * abs(float(area)) + 0.1


@pytest.mark.parametrize("f", [0.0, 1 / 50, 0.1, 0.5])
def test_round_trips(f):
    """direct(inverse) lands on point 2 within 1e-12 degrees."""
    lat1, lon1, lat2, lon2 = lines("random", np.random.default_rng(2), 2000)
    lat2[:500] = lat1[:500] + np.random.default_rng(3).normal(0, 1e-12, 500)  # east-west
    ell = (A, f)
    r = rh.inverse(ell, lat1, lon1, lat2, lon2)
    d = rh.direct(ell, lat1, lon1, r["azi12"], r["s12"])
    assert np.abs(np.degrees(d["lat2"] - lat2)).max() <= 1e-12
    dlon = np.remainder(d["lon2"] - lon2 + math.pi, 2 * math.pi) - math.pi
    assert np.abs(np.degrees(dlon)).max() <= 1e-12
    np.testing.assert_allclose(d["S12"], r["S12"], rtol=1e-12, atol=1.0)


def test_sphere_closed_form():
    """f = 0: psi = asinh(tan phi), s12 = a phi12 / cos(alpha), and S12 = a^2 lambda12
    log(cos phi1 / cos phi2) / psi12 (the integral of tan phi dphi)."""
    lat1, lon1, lat2, lon2 = lines("random", np.random.default_rng(5), 500)
    r = rh.inverse((A, 0.0), lat1, lon1, lat2, lon2)
    psi12 = np.arcsinh(np.tan(lat2)) - np.arcsinh(np.tan(lat1))
    lam12 = np.remainder(lon2 - lon1 + math.pi, 2 * math.pi) - math.pi
    np.testing.assert_allclose(r["azi12"], np.arctan2(lam12, psi12), rtol=0, atol=1e-14)
    np.testing.assert_allclose(r["s12"], A * (lat2 - lat1) / np.cos(r["azi12"]), rtol=1e-13)
    area = A * A * lam12 * np.log(np.cos(lat1) / np.cos(lat2)) / psi12
    np.testing.assert_allclose(r["S12"], area, rtol=1e-12, atol=1.0)


def test_poles():
    """Lines to a pole are meridians whose S12 winds about the pole; direct lines that reach
    a pole give it with NaN longitude (or along a meridian, the longitude); beyond, NaN."""
    c2 = latitudes.authalic_radius(EARTH) ** 2
    quarter = float(latitudes.meridian_distance(EARTH, 90.0, degrees=True))
    r = rh.inverse(
        EARTH, [45.0, -90.0, 90.0], [0.0, 0.0, 10.0], [90.0, 10.0, 90.0], 30.0, degrees=True
    )
    np.testing.assert_array_equal(r["azi12"], [0.0, 0.0, 0.0])
    assert r["s12"][0] == pytest.approx(
        quarter - latitudes.meridian_distance(EARTH, 45.0, degrees=True)
    )
    assert r["s12"][2] == 0 and r["S12"][2] == 0
    assert r["S12"][0] == pytest.approx(c2 * math.radians(30.0), rel=1e-15)
    assert r["S12"][1] == pytest.approx(-c2 * math.radians(30.0), rel=1e-15)
    s_pole = quarter - float(latitudes.meridian_distance(EARTH, 45.0, degrees=True))
    d = rh.direct(EARTH, 45.0, 5.0, [0.0, 10.0, 0.0, 180.0], [s_pole, 1e7, 1e7, 1e6], degrees=True)
    assert d["lat2"][0] == pytest.approx(90.0, abs=1e-12)
    assert (d["lon2"][0], d["S12"][0]) == (5.0, 0.0)
    at_pole = rh.direct(EARTH, 0.0, 5.0, 0.0, quarter, degrees=True)
    assert (at_pole["lat2"], at_pole["lon2"], at_pole["S12"]) == (90.0, 5.0, 0.0)
    assert np.isnan(d.view(np.float64).reshape(4, 3)[1:3]).all()  # beyond the pole
    assert d["lat2"][3] < 45 and d["lon2"][3] == pytest.approx(5.0, abs=1e-12)
    from_pole = rh.direct(EARTH, 90.0, 0.0, [180.0, 170.0], 1e6, degrees=True)
    assert from_pole["lon2"][0] == 0.0 and from_pole["S12"][0] == 0.0
    assert from_pole["lat2"][1] < 90 and np.isnan(from_pole["lon2"][1])  # winds about it


@pytest.mark.parametrize(
    ("lats", "lons"),
    [
        ((10.0, 40.0), (-20.0, 35.0)),
        ((-60.0, -10.0), (170.0, -170.0)),  # across the antimeridian
        ((0.0, 1e-6), (0.0, 1e-6)),
        ((-89.0, 89.0), (-179.0, 179.0)),
    ],
)
def test_rectangle_is_the_band_exactly(lats, lons):
    """A rectangle of two parallels and two meridians: the band's area c^2 lambda12 (sin xi2 -
    sin xi1) within 1 m^2, counter-clockwise positive (lambda12 the shorter way from w to e),
    its perimeter the two meridians and the two parallels."""
    (s, n), (w, e) = lats, lons
    lat = [s, s, n, n]
    lon = [w, e, e, w]
    area, perimeter = rh.polygon_area(EARTH, lat, lon, degrees=True)
    xi = np.radians(latitudes.convert(EARTH, [s, n], "geodetic", "authalic", degrees=True))
    lam = math.radians(math.remainder(e - w, 360.0))
    band = latitudes.authalic_radius(EARTH) ** 2 * lam * (math.sin(xi[1]) - math.sin(xi[0]))
    assert area == pytest.approx(band, abs=1.0)
    clockwise = rh.polygon_area(EARTH, lat[::-1], lon[::-1], degrees=True)
    assert clockwise["area"] == pytest.approx(-band, abs=1.0)
    meridian = latitudes.meridian_distance(EARTH, n, degrees=True) - latitudes.meridian_distance(
        EARTH, s, degrees=True
    )
    parallels = sum(rh.inverse(EARTH, x, w, x, e, degrees=True)["s12"] for x in (s, n))
    assert perimeter == pytest.approx(2 * meridian + parallels, rel=1e-14)


def test_ring_about_a_pole():
    """A ring of parallels east about the north pole bounds the cap: 2 pi c^2 (1 - sin xi);
    unsigned, the other side."""
    c2 = latitudes.authalic_radius(EARTH) ** 2
    lon = np.arange(0.0, 360.0, 30.0)
    cap = rh.polygon_area(EARTH, np.full(12, 60.0), lon, degrees=True)
    xi = math.radians(float(latitudes.convert(EARTH, 60.0, "geodetic", "authalic", degrees=True)))
    assert cap["area"] == pytest.approx(2 * math.pi * c2 * (1 - math.sin(xi)), abs=1.0)
    west = rh.polygon_area(EARTH, np.full(12, 60.0), -lon, signed=False, degrees=True)
    assert west["area"] == pytest.approx(4 * math.pi * c2 - cap["area"], abs=4.0)
    tri = rh.polygon_area(EARTH, [0.0, 0.0, 90.0], [0.0, 90.0, 0.0], degrees=True)
    assert tri["area"] == pytest.approx(math.pi / 2 * c2, rel=1e-14)  # an octant


def test_waypoints():
    p = rh.waypoints(EARTH, 40.64, -73.78, 51.47, -0.45, 5, degrees=True)
    line = rh.inverse(EARTH, 40.64, -73.78, 51.47, -0.45, degrees=True)
    assert (p["lat2"][0], p["lon2"][0], p["lat2"][-1], p["lon2"][-1]) == (
        40.64,
        -73.78,
        51.47,
        -0.45,
    )
    assert p["S12"][-1] == line["S12"] and p["S12"][0] == 0
    steps = rh.inverse(
        EARTH, p["lat2"][:-1], p["lon2"][:-1], p["lat2"][1:], p["lon2"][1:], degrees=True
    )
    np.testing.assert_allclose(steps["s12"], line["s12"] / 4, rtol=1e-13)
    np.testing.assert_allclose(steps["azi12"], line["azi12"], atol=1e-11)
    with pytest.warns(RuntimeWarning, match="lat1"):
        many = rh.waypoints(EARTH, [10.0, 95.0], 0.0, 20.0, 30.0, 3, degrees=True)
    assert many.shape == (2, 3) and np.isnan(many[1].view(np.float64)).all()
    with pytest.raises(ValueError, match="at least 2"):
        rh.waypoints(EARTH, 0, 0, 1, 1, 1)


def test_cli_rhumb_inverse_and_direct(tmp_path):
    """rhumb-inverse and rhumb-direct give the module's doubles (S12 as column area12)."""
    from quorvane.mathtools.ellipsoid import cli

    pa = pytest.importorskip("pyarrow")
    import pyarrow.csv

    lat1, lon1, lat2, lon2 = np.degrees(lines("random", np.random.default_rng(9), 20))
    source, out = tmp_path / "pairs.csv", tmp_path / "out.csv"
    pyarrow.csv.write_csv(
        pa.table({"lat1": lat1, "lon1": lon1, "lat2": lat2, "lon2": lon2}), source
    )
    assert cli.main(["rhumb-inverse", "--degrees", str(source), "-o", str(out)]) == 0
    got = pyarrow.csv.read_csv(out)
    want = rh.inverse(EARTH, lat1, lon1, lat2, lon2, degrees=True)
    for column, field in (("s12", "s12"), ("azi12", "azi12"), ("area12", "S12")):
        np.testing.assert_array_equal(got[column].to_numpy(), want[field])
    starts = pa.table({"lat1": lat1, "lon1": lon1, "azi12": want["azi12"], "s12": want["s12"]})
    pyarrow.csv.write_csv(starts, tmp_path / "starts.csv")
    assert (
        cli.main(["rhumb-direct", "--degrees", str(tmp_path / "starts.csv"), "-o", str(out)]) == 0
    )
    ends = pyarrow.csv.read_csv(out)
    np.testing.assert_allclose(ends["lat2"].to_numpy(), lat2, atol=1e-12)


def test_dask_functions():
    da = pytest.importorskip("dask.array")
    from quorvane.mathtools.ellipsoid import dask as qd

    lat1, lon1, lat2, lon2 = np.degrees(lines("random", np.random.default_rng(4), 100))
    chunks = [da.from_array(x, chunks=30) for x in (lat1, lon1, lat2, lon2)]
    got = qd.rhumb_inverse(EARTH, *chunks, degrees=True).compute()
    want = rh.inverse(EARTH, lat1, lon1, lat2, lon2, degrees=True)
    np.testing.assert_array_equal(got.view(np.float64), np.asarray(want).view(np.float64))
