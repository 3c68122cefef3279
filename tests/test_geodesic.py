"""Geodesics: the paper's worked examples, the 40-digit truth per region, geographiclib on
random and special pairs, round trips, polygons, broadcasting and bad input."""

import math

import numpy as np
import pytest
from helpers import EARTH

from quorvane.datamodel import GeodesicDirect_dtype, GeodesicInverse_dtype
from quorvane.mathtools.ellipsoid import fast
from quorvane.mathtools.ellipsoid import geodesic as gd
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid
from testsupport import geodesic_truth as gt

geographiclib = pytest.importorskip("geographiclib.geodesic")

WGS84 = Ellipsoid(*EARTH)
PEER = geographiclib.Geodesic(*EARTH)
REGIONS = ["random", "antipodal", "equatorial", "meridional", "polar", "short"]


def angle_diff(a, b):
    return np.abs(np.remainder(np.asarray(a) - np.asarray(b) + math.pi, 2 * math.pi) - math.pi)


# Karney (2013), Tables 2, 3 and 5 (WGS84, degrees): the direct example, a short
# inverse line and a nearly antipodal one.
def test_paper_examples():
    d = gd.direct(WGS84, 40.0, 0.0, 30.0, 10e6, degrees=True)
    assert d["lat2"] == pytest.approx(41.79331020506, abs=1e-11)
    assert d["lon2"] == pytest.approx(137.84490004377, abs=1e-11)
    assert d["azi2"] == pytest.approx(149.09016931807, abs=1e-11)
    short = gd.inverse(WGS84, -30.12345, 0.0, -30.12344, 0.00005, degrees=True)
    assert short["s12"] == pytest.approx(4.944208, abs=1e-6)
    # 5 m apart, the degrees' rounding to radians (1e-16 rad) turns the line by 6e-11 rad
    assert short["azi1"] == pytest.approx(77.043533542, abs=1e-8)
    assert short["azi2"] == pytest.approx(77.043508449, abs=1e-8)
    far = gd.inverse(WGS84, -30.0, 0.0, 29.9, 179.8, degrees=True)
    assert far["s12"] == pytest.approx(19989832.827610, abs=1e-6)
    assert far["azi1"] == pytest.approx(161.890524736, abs=1e-9)
    assert far["azi2"] == pytest.approx(18.090737246, abs=1e-9)


# Bounds per region against the 40-digit truth for the same double inputs: the
# distance to 15 nm everywhere; azimuths to 1e-14 rad except where the problem
# itself amplifies rounding (near the antipode, and over micrometres, where
# rounding the latitudes' sines moves the points by 1e-16 of the radius).
AZI_TOL = {"antipodal": 1e-12, "short": 1e-3}


@pytest.mark.parametrize("region", REGIONS)
def test_inverse_against_truth(region):
    lat1, lon1, lat2, lon2 = gt.pairs(region, np.random.default_rng(11), 4)
    ours = gd.inverse(WGS84, lat1, lon1, lat2, lon2)
    truth = gt.Ellipsoid(*EARTH)
    for i in range(4):
        r = ours[i]
        s12, azi1, azi2 = truth.inverse(
            lat1[i], lon1[i], lat2[i], lon2[i], r["azi1"], r["azi2"], r["s12"]
        )
        assert abs(r["s12"] - float(s12)) <= 15e-9
        tol = AZI_TOL.get(region, 1e-14)
        assert angle_diff(r["azi1"], float(azi1)) <= tol
        assert angle_diff(r["azi2"], float(azi2)) <= tol


# The direct problem's tolerance (rad) per flattening: the series' truncation grows as
# f^7; past 1/50 the integrals are exact, and on a flat ellipsoid the longitude of a
# point near the rim is sensitive to sigma (a nearly equatorial line winds fast).
DIRECT_TOL = {
    0: 1e-14,
    1 / 300: 1e-14,
    1 / 150: 1e-14,
    1 / 50: 5e-14,
    0.1: 1e-14,
    0.5: 1e-14,
    0.9: 2e-13,
}


@pytest.mark.parametrize("f", list(DIRECT_TOL))
def test_direct_against_truth(f):
    ell = Ellipsoid(EARTH[0], f)
    truth = gt.Ellipsoid(EARTH[0], f)
    rng = np.random.default_rng(3)
    lat1 = np.arcsin(rng.uniform(-1, 1, 3))
    azi1 = rng.uniform(-math.pi, math.pi, 3)
    s12 = rng.uniform(-4e7, 4e7, 3)
    ours = gd.direct(ell, lat1, 0.0, azi1, s12)
    tol = DIRECT_TOL[f]
    for i in range(3):
        lat2, lon2, azi2 = truth.direct(lat1[i], azi1[i], s12[i])
        assert abs(ours["lat2"][i] - float(lat2)) <= tol
        assert angle_diff(ours["lon2"][i], float(lon2)) <= tol
        assert angle_diff(ours["azi2"][i], float(azi2)) <= tol


def _excess_nm(f, lat2, lon2, truth):
    """Distance (nm, on a = 6378137 m) of (lat2, lon2) from geodesic_truth's (lat2, lon2 -
    lon1 unreduced), beyond half a unit of each double: near the poles of a flat ellipsoid half
    a unit of the latitude is 1.1e-16 a / (1 - f), 70 nm at f = 0.99."""
    import mpmath as mp

    with mp.workdps(30):
        dlat = abs(float(lat2 - truth[0]))
        d = mp.mpf(lon2) - truth[1]
        dlon = abs(float(d - 2 * mp.pi * mp.nint(d / (2 * mp.pi))))
    dlat = max(dlat - np.spacing(abs(lat2)) / 2, 0.0)
    dlon = max(dlon - np.spacing(abs(lon2)) / 2, 0.0)
    w = math.sqrt(1 - f * (2 - f) * math.sin(lat2) ** 2)
    north = dlat * EARTH[0] * (1 - f) ** 2 / w**3
    east = dlon * EARTH[0] * math.cos(lat2) / w
    return math.hypot(north, east) * 1e9


# Over lines up to 1e8 m (sigma runs to 1e3 rad at f = 0.99), past f = 1/50 and beyond a turn
# below it: the point within DIRECT_LONG_NM of the truth, beyond the resolution of the doubles
# it is given in. The reproducers: f = 0.9 over a turn (62.7 nm before), and due east from the
# equator at f = 0.99, where lon2 = lon1 + s12 / a (254 nm off at 1e7 m, 1690 nm at 1e8 m
# before: the rate of omega - lambda is 1 - (1 - f) to a unit, which the difference
# omega12 - (omega - lambda)12 lost 100 times).
DIRECT_LONG_NM = 15


@pytest.mark.parametrize(
    "f, lat1, azi1, s12",
    [
        (0.9, -0.004108675735995888, -1.4163927941018206, -33126156.920003194),
        (0.5, 0.7, 2.0, 9.9e7),
        (0.99, -1.2, 0.3, 6e7),
        (0.99, 0.01, 1.5, -1e8),
        (1 / 50, 0.3, 1.0, -9e7),
    ],
)
def test_direct_long_lines(f, lat1, azi1, s12):
    r = gd.direct(Ellipsoid(EARTH[0], f), lat1, 0.16111842604515036, azi1, s12)
    lat2, lam12, azi2 = gt.Ellipsoid(EARTH[0], f).direct(lat1, azi1, s12)
    lam12 += 0.16111842604515036
    assert _excess_nm(f, float(r["lat2"]), float(r["lon2"]), (lat2, lam12)) <= DIRECT_LONG_NM
    assert angle_diff(r["azi2"], float(azi2)) <= 1e-14


@pytest.mark.parametrize("s12", [1e7, -1e7, 1e8, -1e8, 3.5e4, 2.2e7])
def test_direct_due_east_on_the_equator_at_f_099(s12):
    import mpmath as mp

    lon1 = 1.03525102978453
    r = gd.direct(Ellipsoid(EARTH[0], 0.99), 0.0, lon1, math.pi / 2, s12)
    with mp.workdps(30):
        d = mp.mpf(r["lon2"]) - (mp.mpf(lon1) + mp.mpf(s12) / EARTH[0])
        d -= 2 * mp.pi * mp.nint(d / (2 * mp.pi))
    assert abs(float(d)) * EARTH[0] <= DIRECT_LONG_NM * 1e-9
    assert abs(r["lat2"]) <= 1e-14  # the azimuth's rounding tilts the line by 6e-17 rad


# Past f = 1/50 the integrals are evaluated exactly: the same bounds, with distances
# in metres of an equatorial radius of 6378137 m.
@pytest.mark.parametrize("f", [0.1, 0.5, 0.9])
@pytest.mark.parametrize("region", REGIONS)
def test_large_flattening_inverse_against_truth(f, region):
    lat1, lon1, lat2, lon2 = gt.pairs(region, np.random.default_rng(12), 2)
    ours = gd.inverse(Ellipsoid(EARTH[0], f), lat1, lon1, lat2, lon2)
    truth = gt.Ellipsoid(EARTH[0], f)
    for i in range(2):
        r = ours[i]
        s12, azi1, azi2 = truth.inverse(
            lat1[i], lon1[i], lat2[i], lon2[i], r["azi1"], r["azi2"], r["s12"]
        )
        assert abs(r["s12"] - float(s12)) <= 30e-9
        tol = AZI_TOL.get(region, 1e-14)
        assert angle_diff(r["azi1"], float(azi1)) <= tol
        assert angle_diff(r["azi2"], float(azi2)) <= tol


@pytest.mark.parametrize("f, tol", [(0.5, 5e-14), (0.9, 2e-12)])
def test_large_flattening_round_trip(f, tol):
    ell = Ellipsoid(EARTH[0], f)
    lat1, lon1, lat2, lon2 = gt.pairs("random", np.random.default_rng(9), 2000)
    inv = gd.inverse(ell, lat1, lon1, lat2, lon2)
    back = gd.direct(ell, lat1, lon1, inv["azi1"], inv["s12"])
    assert np.abs(back["lat2"] - lat2).max() <= tol
    assert (angle_diff(back["lon2"], lon2) * np.cos(lat2)).max() <= tol
    assert angle_diff(back["azi2"], inv["azi2"]).max() <= 1e-13


@pytest.mark.parametrize("f", [0.5, 0.9])
def test_large_flattening_polygon_against_truth(f):
    """The area against the integral of A(phi) dlambda along each edge, a formulation
    apart from the kernels' (geodesic_truth.edge_area)."""
    lat, lon = np.radians([10.0, 10.0, 50.0, 40.0]), np.radians([0.0, 60.0, 60.0, -20.0])
    ell, truth = Ellipsoid(EARTH[0], f), gt.Ellipsoid(EARTH[0], f)
    area, perimeter = gd.polygon_area(ell, lat, lon)
    lat2, lon2 = np.roll(lat, -1), np.roll(lon, -1)
    e = gd.inverse(ell, lat, lon, lat2, lon2)
    want = sum(
        truth.edge_area(lat[i], lon[i], lat2[i], lon2[i], e["azi1"][i], e["azi2"][i], e["s12"][i])
        for i in range(4)
    )
    assert area == pytest.approx(float(want), rel=1e-13)
    assert perimeter == pytest.approx(e["s12"].sum(), rel=1e-15)
    # the other side: the whole ellipsoid less the polygon
    left, _ = gd.polygon_area(ell, lat[::-1], lon[::-1], signed=False)
    assert left + area == pytest.approx(_total_area(EARTH[0], f), rel=1e-14)


def test_flattening_near_one_never_hangs():
    """f = 0.99 (b = a/100): every region's pairs get finite answers, quickly."""
    ell = Ellipsoid(EARTH[0], 0.99)
    rng = np.random.default_rng(6)
    p = [np.concatenate(x) for x in zip(*(gt.pairs(r, rng, 2000) for r in REGIONS))]
    inv = gd.inverse(ell, *p)
    assert np.isfinite(inv.view((float, 3))).all()
    d = gd.direct(ell, p[0], p[1], p[2] * 2, p[3] * 4e6)
    assert np.isfinite(d.view((float, 3))).all()
    assert np.isfinite(gd.polygon_area(ell, p[0][:50], p[1][:50]).tolist()).all()


@pytest.mark.parametrize(
    ("inverse", "direct"),
    [
        pytest.param(gd.inverse, gd.direct, id="exact"),
        pytest.param(fast.geodesic_inverse, fast.geodesic_direct, id="fast"),
    ],
)
def test_stored_truth_set_within_the_stated_bounds(inverse, direct):
    """Every set of testsupport/data/geodesic-truth.npz (thousands of pairs, 40-digit truths)
    within the bound stated for it (testsupport/geodesic_truth_data.py, which
    bench/geodesic_accuracy.py prints beside each set), by the exact kernels and by the lanes
    of quorvane.mathtools.ellipsoid.fast alike."""
    from testsupport import geodesic_truth_data as data

    sets = data.load()
    assert len(sets) == len(data.inverse_sets()) + len(data.direct_sets())
    for name, s in sets.items():
        ell = Ellipsoid(data.RE, float(s["f"]))
        if name.endswith("/direct"):
            r = direct(ell, s["lat1"], 0.0, s["azi1"], s["s12"])
            nm = data.position_nm(float(s["f"]), r["lat2"], r["lon2"], s["truth"]).max()
            rad = data.angle_error(r["azi2"] - s["truth"][:, 5], s["truth"][:, 4]).max()
            bound = data.DIRECT_BOUNDS[name.rsplit("/", 1)[0]]
        else:
            r = inverse(ell, s["lat1"], s["lon1"], s["lat2"], s["lon2"])
            rows = np.stack([r["s12"], r["azi1"], r["azi2"]], axis=1)
            nm, rad = data.inverse_errors(rows, s["truth"])
            bound = data.BOUNDS[name]
        assert nm <= bound[0], name
        assert bound[1] is None or rad <= bound[1], name


def _peer_inverse(lat1, lon1, lat2, lon2):
    rows = [PEER.Inverse(*p) for p in zip(lat1, lon1, lat2, lon2)]
    return np.array([[r["s12"], r["azi1"], r["azi2"]] for r in rows])


@pytest.mark.parametrize("region", REGIONS)
def test_inverse_against_geographiclib(region):
    pairs = [np.degrees(x) for x in gt.pairs(region, np.random.default_rng(5), 2000)]
    ours = gd.inverse(WGS84, *pairs, degrees=True)
    peer = _peer_inverse(*pairs)
    assert np.abs(ours["s12"] - peer[:, 0]).max() <= 30e-9
    # Azimuths only where they are well conditioned: elsewhere the two inputs'
    # rounding (degrees here, radians in the module) decides them; the truth tests
    # cover those regions.
    if region in ("random", "meridional", "antipodal"):
        tol = 1e-9 if region == "antipodal" else 1e-11  # degrees
        for k, name in ((1, "azi1"), (2, "azi2")):
            diff = np.abs(np.remainder(ours[name] - peer[:, k] + 180, 360) - 180)
            assert diff.max() <= tol


@pytest.mark.parametrize(
    "p",
    [
        (90.0, 0.0, 10.0, 30.0),  # from the north pole: azimuths follow the longitude
        (90.0, 40.0, 10.0, 30.0),
        (-90.0, 0.0, 10.0, -130.0),
        (20.0, 10.0, -90.0, 70.0),
        (0.0, 0.0, 0.0, 179.5),  # equatorial, past (1 - f) pi: over a pole
        (0.0, 0.0, 0.0, 180.0),
        (30.0, 0.0, -30.0, 180.0),  # exactly antipodal
        (-30.0, 0.0, 30.0, 179.9),
    ],
)
def test_special_pairs_against_geographiclib(p):
    r = gd.inverse(WGS84, *p, degrees=True)
    peer = PEER.Inverse(*p)
    assert r["s12"] == pytest.approx(peer["s12"], abs=30e-9)
    if p[:2] != (30.0, 0.0) and p[2:] != (0.0, 180.0):  # several shortest geodesics
        assert r["azi1"] == pytest.approx(peer["azi1"], abs=1e-9)
        assert r["azi2"] == pytest.approx(peer["azi2"], abs=1e-9)


def test_direct_inverse_round_trip():
    lat1, lon1, lat2, lon2 = gt.pairs("random", np.random.default_rng(9), 20000)
    inv = gd.inverse(WGS84, lat1, lon1, lat2, lon2)
    back = gd.direct(WGS84, lat1, lon1, inv["azi1"], inv["s12"])
    assert np.abs(back["lat2"] - lat2).max() <= 1e-14
    assert (angle_diff(back["lon2"], lon2) * np.cos(lat2)).max() <= 1e-14
    assert angle_diff(back["azi2"], inv["azi2"]).max() <= 1e-13
    # past the antipode and backwards: a full turn of the meridian comes back
    meridian = gd.inverse(WGS84, math.pi / 2, 0.0, -math.pi / 2, 0.0)["s12"]
    lap = gd.direct(WGS84, 0.3, 0.2, 0.0, [2 * meridian, -2 * meridian])
    np.testing.assert_allclose(lap["lat2"], 0.3, atol=1e-14)
    np.testing.assert_allclose(lap["lon2"], 0.2, atol=1e-14)


def test_coincident_nan_and_out_of_range_rows():
    with pytest.warns(RuntimeWarning, match="lat1: latitudes beyond"):
        r = gd.inverse(WGS84, [0.5, math.nan, 2.0, 0.5], 0.1, [0.5, 0.1, 0.1, -1.0], 0.1)
    assert r["s12"][0] == 0.0
    assert np.isnan(r[1].tolist()).all() and np.isnan(r[2].tolist()).all()
    assert r["s12"][3] > 0
    with pytest.warns(RuntimeWarning, match="lat1"):
        d = gd.direct(WGS84, [0.1, 1.7], 0.0, 0.3, [1e6, 1e6])
    assert np.isfinite(d[0].tolist()).all() and np.isnan(d[1].tolist()).all()


@pytest.mark.parametrize("f", [1 / 298.257223563, 0.02, 0.1, 0.3, 0.5, 0.9])
@pytest.mark.parametrize("solve", [gd.inverse, fast.geodesic_inverse])
def test_points_a_few_units_of_the_last_place_apart(solve, f):
    # Reduced latitudes an ulp apart can round the other way round; that once gave NaN, or
    # a Newton run stranded 9 cm away (the first row, f = 0.5).
    rng = np.random.default_rng(11)
    lat1, lon1 = rng.uniform(-1.5, 1.5, 4000), rng.uniform(-3, 3, 4000)
    lat1[0], lon1[0] = 0.983556211670554, 0.4039292044575654
    lat2, lon2 = np.nextafter(lat1, 9), np.nextafter(np.nextafter(lon1, -9), -9)
    lat2[1::2], lon2[1::2] = np.nextafter(lat1[1::2], -9), np.nextafter(lon1[1::2], 9)
    s12 = solve((6378137.0, f), lat1, lon1, lat2, lon2)["s12"]
    # the local flat metric, to a part in 1e-6 over nanometres
    e2 = f * (2 - f)
    w = 1 - e2 * np.sin(lat1) ** 2
    flat = np.hypot(
        6378137.0 * (1 - e2) / w**1.5 * (lat2 - lat1),
        6378137.0 / np.sqrt(w) * np.cos(lat1) * (lon2 - lon1),
    )
    assert np.abs(s12 - flat).max() <= 1e-8


@pytest.mark.parametrize("solve", [gd.inverse, gd.direct])
def test_unaligned_columns_give_the_aligned_bits(solve):
    """Columns at an odd address (a view into bytes) are read safely: the sanitizer run
    checks every load."""
    values = np.array([0.1, -0.7, 1.2, 2e6])
    u = np.frombuffer(b"\0" + values.tobytes(), np.float64, offset=1)
    assert u.ctypes.data % 8 != 0
    assert solve(WGS84, u, u, u, u).tobytes() == solve(WGS84, *[values] * 4).tobytes()


def test_broadcasting_and_records():
    one = gd.inverse(WGS84, 0.1, 0.2, 0.3, 0.4)
    assert one.dtype == GeodesicInverse_dtype and isinstance(one, np.void)
    assert f"{one['s12']:.3f}" == f"{float(one['s12']):.3f}"  # formats as a number
    many = gd.inverse(WGS84, 0.1, 0.2, np.zeros((2, 1)), np.linspace(0, 1, 3))
    assert many.shape == (2, 3)
    assert many[0, 1] == gd.inverse(WGS84, 0.1, 0.2, 0.0, 0.5)
    np.testing.assert_array_equal(
        gd.inverse(WGS84, np.float32(0.5), 0, [1, 2], 3)["s12"],
        gd.inverse(WGS84, float(np.float32(0.5)), 0.0, [1.0, 2.0], 3.0)["s12"],
    )
    # one pair of numbers (solved without arrays) gives the bits of the array path
    for fn in (gd.inverse, gd.direct):
        for args in (
            (10.0, 20.0, 30.0, 40.0 if fn is gd.inverse else 4e6),
            (1, -2, np.float64(3), 4),
        ):
            one = fn(WGS84, *args, degrees=True)
            assert one.dtype == fn(WGS84, [1], 2, 3, 4).dtype and isinstance(one, np.void)
            assert one == fn(WGS84, [args[0]], *args[1:], degrees=True)[0]
    deg = gd.direct(WGS84, 10, 20, 30, [1e5, 2e5], degrees=True)
    rad = gd.direct(WGS84, *np.radians([10, 20, 30]), [1e5, 2e5])
    assert deg.dtype == GeodesicDirect_dtype
    for name in ("lat2", "lon2", "azi2"):
        np.testing.assert_allclose(np.radians(deg[name]), rad[name], rtol=0, atol=1e-15)


@pytest.mark.parametrize("threads", ["2", "3", "8"])
def test_results_do_not_depend_on_the_thread_count(monkeypatch, threads):
    # from 2000 pairs the loops are split, in blocks taken in turn; NaN rows mixed in
    lat1, lon1, lat2, lon2 = gt.pairs("random", np.random.default_rng(6), 20_011)
    lat1[::997] = np.nan
    s12 = lon2 * 3e6
    monkeypatch.setenv("QUORVANE_NUM_THREADS", "1")
    want = gd.inverse(WGS84, lat1, lon1, lat2, lon2), gd.direct(WGS84, lat1, lon1, lat2, s12)
    line = gd.points_along(WGS84, 0.5, 0.1, 0.2, s12)
    monkeypatch.setenv("QUORVANE_NUM_THREADS", threads)
    got = gd.inverse(WGS84, lat1, lon1, lat2, lon2), gd.direct(WGS84, lat1, lon1, lat2, s12)
    for a, b in zip(got + (gd.points_along(WGS84, 0.5, 0.1, 0.2, s12),), want + (line,)):
        np.testing.assert_array_equal(a.view(np.float64), b.view(np.float64))


def test_waypoints_points_along_and_line_length():
    pts = gd.waypoints(WGS84, 10.0, 20.0, -40.0, 170.0, 5, degrees=True)
    assert pts.shape == (5,)
    assert (pts["lat2"][[0, -1]] == [10.0, -40.0]).all()
    assert (pts["lon2"][[0, -1]] == [20.0, 170.0]).all()
    legs = gd.inverse(
        WGS84, pts["lat2"][:-1], pts["lon2"][:-1], pts["lat2"][1:], pts["lon2"][1:], degrees=True
    )["s12"]
    np.testing.assert_allclose(legs, legs[0], rtol=1e-12)
    total = gd.line_length(WGS84, pts["lat2"], pts["lon2"], degrees=True)
    whole = gd.inverse(WGS84, 10.0, 20.0, -40.0, 170.0, degrees=True)["s12"]
    assert total == pytest.approx(whole, abs=1e-7)
    grid = gd.waypoints(WGS84, [0.0, 0.1], 0.0, 0.5, 0.5, 3)
    assert grid.shape == (2, 3)
    along = gd.points_along(WGS84, 0.1, 0.2, 0.3, [[0.0, 1e6], [2e6, 3e6]])
    assert along.shape == (2, 2) and along["lat2"][0, 0] == pytest.approx(0.1, abs=1e-15)
    assert gd.line_length(WGS84, [0.1], [0.2]) == 0.0


def _peer_polygon(lat, lon, signed):
    p = PEER.Polygon()
    for y, x in zip(lat, lon):
        p.AddPoint(y, x)
    _, perimeter, area = p.Compute(False, signed)
    return area, perimeter


@pytest.mark.parametrize(
    "lat, lon",
    [
        ([0, 0, 1, 1], [0, 1, 1, 0]),  # counter-clockwise
        ([0, 1, 1, 0], [0, 0, 1, 1]),  # clockwise
        ([80, 80, 80, 80], [0, 90, 180, -90]),  # around the north pole, eastwards
        ([-80, -80, -80, -80], [0, 90, 180, -90]),  # around the south pole
        ([10, 10, 20, 20], [170, -170, -170, 170]),  # across the antimeridian
        ([-60, -60, 60, 60], [0, 120, 120, 0]),  # a third of the ellipsoid
        ([0, 0, 90], [0, 90, 0]),  # a vertex at the pole
    ],
)
@pytest.mark.parametrize("signed", [True, False])
def test_polygon_area_against_geographiclib(lat, lon, signed):
    area, perimeter = gd.polygon_area(WGS84, lat, lon, signed=signed, degrees=True)
    peer_area, peer_perimeter = _peer_polygon(lat, lon, signed)
    assert area == pytest.approx(peer_area, rel=1e-13, abs=0.1)
    assert perimeter == pytest.approx(peer_perimeter, abs=1e-7)


@pytest.mark.parametrize("metres", [1.0, 100.0])
def test_small_polygon_area_against_the_truth(metres):
    # The rounding of each edge's azimuths, c^2 times 1e-16 rad, once cost a 1 m square
    # 2e-3 of its area; the azimuth change from the auxiliary longitude keeps it relative.
    t = np.linspace(0, 2 * np.pi, 7)[:-1]
    lat = np.radians(47 + metres / 111_000 * np.sin(t))
    lon = np.radians(8.5 + metres / 76_000 * np.cos(t))
    area, _ = gd.polygon_area(WGS84, lat, lon)
    e = gd.inverse(WGS84, lat, lon, np.roll(lat, -1), np.roll(lon, -1))
    truth = gt.Ellipsoid(*EARTH)
    edges = zip(lat, lon, np.roll(lat, -1), np.roll(lon, -1), e["azi1"], e["azi2"], e["s12"])
    exact = float(sum(truth.edge_area(*edge) for edge in edges))
    assert area == pytest.approx(exact, rel=3e-5 if metres == 1 else 1e-8)


def _total_area(a, f):
    e = math.sqrt(f * (2 - f))
    return 2 * math.pi * (a * a + (a * (1 - f)) ** 2 * math.atanh(e) / e)  # 4 pi c^2


def test_polygon_more_than_half_the_ellipsoid():
    lat, lon = [-60, -60, 60, 60], [0, 120, 120, 0]
    small, _ = gd.polygon_area(WGS84, lat, lon, degrees=True)
    left, _ = gd.polygon_area(WGS84, lat[::-1], lon[::-1], signed=False, degrees=True)
    total = _total_area(*EARTH)
    assert left > total / 2 > small > 0
    assert left + small == pytest.approx(total, rel=1e-14)


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda: gd.direct(WGS84, 0, 0, [1, 2], [1, 2, 3]), ValueError, "azi1.*s12"),
        (lambda: gd.waypoints(WGS84, 0, 0, 1, 1, 1), ValueError, "n must be at least 2"),
        (lambda: gd.waypoints(WGS84, 0, 0, 1, 1, 2.5), TypeError, "n must be an integer"),
        (lambda: gd.polygon_area(WGS84, [0, 1], [0]), ValueError, "lat and lon"),
        (lambda: gd.line_length(WGS84, [[0, 1]], [[0, 1]]), ValueError, "lat and lon"),
    ],
)
def test_bad_input(call, error, match):
    with pytest.raises(error, match=match):
        call()


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_cli_inverse_and_direct(tmp_path, capsys, suffix):
    from quorvane.mathtools.ellipsoid import cli

    pa = pytest.importorskip("pyarrow")
    import pyarrow.csv
    import pyarrow.parquet as pq

    lat1, lon1, lat2, lon2 = np.degrees(gt.pairs("random", np.random.default_rng(2), 50))
    table = pa.table({"lat1": lat1, "lon1": lon1, "lat2": lat2, "lon2": lon2})
    source, out = tmp_path / f"pairs{suffix}", tmp_path / f"out{suffix}"
    if suffix == ".csv":
        pyarrow.csv.write_csv(table, source)
    else:
        pq.write_table(table, source)
    assert cli.main(["geodesic-inverse", "--degrees", str(source), "-o", str(out)]) == 0
    got = pyarrow.csv.read_csv(out) if suffix == ".csv" else pq.read_table(out)
    want = gd.inverse(WGS84, lat1, lon1, lat2, lon2, degrees=True)
    for name in ("s12", "azi1", "azi2"):
        np.testing.assert_array_equal(got[name].to_numpy(), want[name])
    # the direct problem from the same starts comes back to point 2
    starts = pa.table({"lat1": lat1, "lon1": lon1, "azi1": want["azi1"], "s12": want["s12"]})
    pq.write_table(starts, tmp_path / "starts.parquet")
    assert (
        cli.main(
            [
                "geodesic-direct",
                "--degrees",
                str(tmp_path / "starts.parquet"),
                "-o",
                str(tmp_path / "ends.parquet"),
            ]
        )
        == 0
    )
    ends = pq.read_table(tmp_path / "ends.parquet")
    np.testing.assert_allclose(ends["lat2"].to_numpy(), lat2, atol=1e-12)
    # any flattening the ellipsoid takes
    flat = tmp_path / f"flat{suffix}"
    args = [
        "geodesic-inverse",
        "--degrees",
        "--re",
        "1",
        "--f",
        "0.9",
        str(source),
        "-o",
        str(flat),
    ]
    assert cli.main(args) == 0


def test_dask_arrays_and_dataframes():
    da = pytest.importorskip("dask.array")
    dd = pytest.importorskip("dask.dataframe")
    import pandas as pd

    from quorvane.mathtools.ellipsoid import dask as qd

    lat1, lon1, lat2, lon2 = gt.pairs("random", np.random.default_rng(4), 900)
    lazy = qd.geodesic_inverse("WGS84", da.from_array(lat1, chunks=256), lon1, lat2, 0.5)
    np.testing.assert_array_equal(lazy.compute(), gd.inverse(WGS84, lat1, lon1, lat2, 0.5))
    frame = pd.DataFrame({"lat1": lat1, "lon1": lon1, "azi1": lat2, "s12": lon2 * 1e6})
    out = qd.dataframe_geodesic_direct("WGS84", dd.from_pandas(frame, npartitions=3)).compute()
    want = gd.direct(WGS84, lat1, lon1, lat2, lon2 * 1e6)
    np.testing.assert_array_equal(out["lon2"].to_numpy(), want["lon2"])


@pytest.mark.parametrize("n", [2, 5, 101])
@pytest.mark.parametrize(
    ("pair", "degrees"),
    [
        ((0.1, 0.2, 0.3, 0.4), False),
        ((10.0, 20, -30, -179.5), True),
        ((0.1, 0.2, math.nan, 0.4), False),
    ],
)
def test_waypoints_of_one_pair_are_the_array_path_bit_for_bit(pair, degrees, n):
    """Plain numbers go straight through the direct problem's loop."""
    one = gd.waypoints(WGS84, *pair, n, degrees=degrees)
    arrays = gd.waypoints(WGS84, *(np.array(v) for v in pair), n, degrees=degrees)
    assert one.shape == (n,) and one.tobytes() == arrays.tobytes()
