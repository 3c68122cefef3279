"""The vectorised conversions: truth by region, the same bits at every instruction-set
level, the methods' rows where the fast formulas hand over, and any input layout."""

import math
import tracemalloc
import warnings

import mpmath as mp
import numpy as np
import pytest
from helpers import EARTH, stable_rng

from quorvane.mathtools.ellipsoid import _engine, fast, rhumb, utm
from quorvane.mathtools.ellipsoid import geodesic as gd
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid
from quorvane.mathtools.ellipsoid.latitudes import KINDS
from testsupport import reference as ref

EPS = np.finfo(float).eps
WGS84 = Ellipsoid(*EARTH)


def _geodetic(rng, Re, f, n, alt_range, lat_max=math.pi / 2):
    lat = rng.uniform(-lat_max, lat_max, n)
    lon = rng.uniform(-math.pi, math.pi, n)
    alt = rng.uniform(*alt_range, n)
    return lat, lon, alt


def _rows(lla):
    return np.stack([lla["lat"], lla["lon"], lla["alt"]], axis=1)


# (Re, f, altitude range, latitude bound): where the fast formulas serve every point.
FAST_REGIONS = [
    pytest.param(*EARTH, (-1e6, 1e6), 4e-16, id="wgs84-1e6m"),
    pytest.param(*EARTH, (-4.7e6, 4e7), 4e-16, id="wgs84-deep-and-far"),
    pytest.param(1.0, EARTH[1], (-0.7, 10.0), 4e-16, id="unit-earth"),
    pytest.param(3396190.0, 0.01, (-1e6, 1e7), 6e-16, id="f-0.01"),
    pytest.param(6371000.0, 0.0, (-1e6, 1e8), 4e-16, id="sphere"),
]


@pytest.mark.parametrize(("Re", "f", "alt_range", "lat_bound"), FAST_REGIONS)
def test_lla_from_pos_truth(Re, f, alt_range, lat_bound):
    """Latitude within 4e-16 rad (6e-16 for f = 0.01) and altitude within 2 units of max(Re, |r|) of the
    60-digit nearest foot; the longitude as the method's atan2 gives it within an ulp."""
    rng = stable_rng("fast-lla", Re, f)
    lat, lon, alt = _geodetic(rng, Re, f, 150, alt_range)
    r = np.array([ref.c_pos_from_lla(Re, f, *p) for p in zip(lat, lon, alt)])
    ell = Ellipsoid(Re, f)
    got = _rows(fast.lla_from_pos(ell, r))
    truth = np.array([[float(v) for v in ref.foot_exact(Re, f, *p)[1:]] for p in r.tolist()])
    unit = EPS * np.maximum(Re, np.linalg.norm(r, axis=1))
    assert np.max(np.abs(got[:, 0] - truth[:, 0])) <= lat_bound
    assert np.max(np.abs(got[:, 2] - truth[:, 1]) / unit) <= 2.0
    np.testing.assert_allclose(got[:, 1], np.arctan2(r[:, 1], r[:, 0]), rtol=2.3e-16, atol=0)


def _position_truth(Re, f, lat, lon, alt):
    with mp.workdps(40):
        s, c = mp.sin(mp.mpf(lat)), mp.cos(mp.mpf(lat))
        om2 = (1 - mp.mpf(f)) ** 2
        n = mp.mpf(Re) / mp.sqrt(c * c + om2 * s * s)
        h = mp.mpf(alt)
        xy = (n + h) * c
        return [
            float(xy * mp.cos(mp.mpf(lon))),
            float(xy * mp.sin(mp.mpf(lon))),
            float((n * om2 + h) * s),
        ]


@pytest.mark.parametrize(("Re", "f", "alt_range", "lat_bound"), FAST_REGIONS)
def test_pos_from_lla_truth(Re, f, alt_range, lat_bound):
    """Each coordinate within 2.5 units of max(Re, |r|) of the 40-digit position."""
    lat, lon, alt = _geodetic(stable_rng("fast-pos", Re, f), Re, f, 200, alt_range)
    got = fast.pos_from_lla(Ellipsoid(Re, f), lat, lon, alt)
    truth = np.array([_position_truth(Re, f, *p) for p in zip(lat, lon, alt)])
    unit = EPS * np.maximum(Re, np.linalg.norm(truth, axis=1))
    assert np.max(np.abs(got - truth) / unit[:, None]) <= 2.5


# Rows the fast formulas hand to the methods' kernel: they are the methods' rows.
HANDED_OVER = [
    [math.nan, 1.0, 2.0],
    [1.0, 2.0, math.nan],
    [math.inf, 0.0, 0.0],
    [-math.inf, 1.0, 1.0],
    [0.0, 0.0, -math.inf],
    [math.inf, math.inf, math.inf],
    [0.0, 0.0, 0.0],
    [0.0, -0.0, -6.0e6],  # on the axis: longitude 0
    [-7.2e-101, -1.1e-100, 4.3e-101],  # next to the centre
    [2.0e4, 0.0, 1e-320],  # inside the evolute
    [5e-324, 1e-160, 5e-324],
    [1e300, 1e300, 1e300],
    [1e5, 2e5, -3e5],  # within Re / 4 of the centre
]


def test_lla_from_pos_handed_over_rows_are_the_methods():
    r = np.array(HANDED_OVER * 3)  # in every lane position
    got = fast.lla_from_pos(WGS84, r).view(np.float64)
    expected = WGS84.lla_from_pos(r).view(np.float64)
    np.testing.assert_array_equal(got.view(np.int64), expected.view(np.int64))


@pytest.mark.parametrize(
    ("Re", "f"), [pytest.param(6378137.0, 0.9, id="f-0.9"), pytest.param(1e-300, 0.003, id="tiny")]
)
def test_lla_from_pos_outside_the_fast_domain_is_the_method(Re, f):
    ell = Ellipsoid(Re, f)
    r = np.random.default_rng(3).normal(size=(101, 3)) * Re
    assert fast.lla_from_pos(ell, r).tobytes() == ell.lla_from_pos(r).tobytes()


def test_pos_from_lla_nan_inf_and_out_of_range_rows_are_the_methods():
    bad = [math.nan, math.inf, -math.inf]
    lat = np.array([bad[0], 0.0, 0.0, bad[1], 0.0, 1.6, -1.6, 0.1, 0.2])
    lon = np.array([0.0, bad[0], 0.0, 0.0, bad[2], 0.0, 0.0, 3e6, 0.0])
    alt = np.array([0.0, 0.0, bad[0], 0.0, 0.0, 0.0, 0.0, 0.0, bad[1]])
    with pytest.warns(RuntimeWarning, match="lat: latitudes beyond"):
        got = fast.pos_from_lla(WGS84, lat, lon, alt)
    expected = WGS84.pos_from_lla(lat, lon, alt)
    expected[5:7] = np.nan  # beyond the poles: NaN rows, not the folded latitude's point
    np.testing.assert_array_equal(got, expected)


def _aer_targets(rng, obs, el, dist):
    east, north, up = (np.array(v) for v in ref.c_enu(*EARTH, obs[0], obs[1]))
    origin = np.array(ref.c_pos_from_lla(*EARTH, *obs))
    az = rng.uniform(-math.pi, math.pi, len(el))
    horizontal = np.cos(el)[:, None] * (np.sin(az)[:, None] * east + np.cos(az)[:, None] * north)
    return origin + dist[:, None] * (horizontal + np.sin(el)[:, None] * up)


@pytest.mark.parametrize(
    ("elevations", "distances"),
    [
        pytest.param((-1.5707, 1.5707), (3, 7.6), id="all"),
        pytest.param((1.5707, 1.5708), (3, 7.6), id="zenith"),
        pytest.param((-1.5707, 1.5707), (150, 300), id="1e150-1e300m"),
    ],
)
def test_aer_coords_truth(elevations, distances):
    """The elevation and the azimuth within 2.5 units seen as positions at the target's
    distance, the range within 2 units of max(Re, |target|), against the 60-digit geometry."""
    rng = stable_rng("fast-aer" if distances[0] < 100 else "fast-aer-far", *elevations)
    obs = (rng.uniform(-1.5, 1.5), rng.uniform(-3, 3), 300.0)
    el = np.minimum(rng.uniform(*elevations, 120), math.pi / 2)
    targets = _aer_targets(rng, obs, el, 10.0 ** rng.uniform(*distances, 120))
    got = fast.aer_coords(WGS84, targets, *obs)
    truth = np.array([[float(v) for v in ref.aer_exact(*EARTH, t, *obs)] for t in targets.tolist()])
    unit = EPS * np.maximum(EARTH[0], np.abs(targets).max(axis=1))
    assert np.max(np.abs(got["elevation"] - truth[:, 1]) * truth[:, 2] / unit) <= 2.5
    assert np.max(np.abs(got["range"] - truth[:, 2]) / unit) <= 2.0
    turned = np.remainder(got["azimuth"] - truth[:, 0] + math.pi, 2 * math.pi) - math.pi
    across = np.abs(turned) * np.cos(truth[:, 1]) * truth[:, 2] / unit
    assert np.max(across) <= 2.5


def test_aer_coords_handed_over_rows_are_the_methods():
    obs = (0.3, -1.2, 100.0)
    overhead = ref.c_pos_from_lla(*EARTH, 0.0, 0.0, 1000.0)
    rows = [[math.nan, 0.0, 0.0], [math.inf, 1.0, 2.0], [1e300, 1e300, -math.inf], overhead]
    targets = np.array(rows[:3])
    got, expected = fast.aer_coords(WGS84, targets, *obs), WGS84.aer_coords(targets, *obs)
    assert got.tobytes() == expected.tobytes()
    got = fast.aer_coords(WGS84, np.array([overhead] * 5), 0.0, 0.0, 0.0)
    assert got.tobytes() == WGS84.aer_coords(np.array([overhead] * 5), 0.0, 0.0, 0.0).tobytes()


def test_enu_from_pos_agrees_with_frames_and_hands_over_its_rows():
    from quorvane.mathtools.ellipsoid import frames

    rng = np.random.default_rng(4)
    targets = rng.normal(size=(500, 3)) * 10.0 ** rng.uniform(4, 8, (500, 1))
    obs = (rng.uniform(-1.57, 1.57, 500), rng.uniform(-4, 4, 500), rng.uniform(-1e4, 1e5, 500))
    got, exact = fast.enu_from_pos(WGS84, targets, *obs), frames.enu_from_pos(WGS84, targets, *obs)
    unit = EPS * np.maximum(EARTH[0], np.abs(targets).max(axis=1))
    assert np.max(np.abs(got - exact) / unit[:, None]) <= 6
    aer = fast.aer_coords(WGS84, targets, *obs)
    np.testing.assert_allclose(np.linalg.norm(got, axis=1), aer["range"], rtol=1e-15)
    bad = np.array([[math.nan, 0.0, 0.0], [math.inf, 1.0, 2.0], [1e300, 0.0, 0.0]])
    got = fast.enu_from_pos(WGS84, bad, 0.3, -1.2, 100.0)
    assert got.tobytes() == frames.enu_from_pos(WGS84, bad, 0.3, -1.2, 100.0).tobytes()


def _geometry_edges(pairs):
    """The geometry loop's lanes (fast=True) on the pairs' points as rings of 3 to 9
    vertices, closed and open: lengths and areas."""
    from quorvane.mathtools.ellipsoid import _geodesic

    lat, lon = np.degrees(np.concatenate(pairs[::2])), np.degrees(np.concatenate(pairs[1::2]))
    rings = np.r_[0, np.cumsum(np.resize([3, 9], lat.size // 6))].astype(np.int64)
    one = np.arange(rings.size, dtype=np.int64)
    outs = []
    for closed in (True, False):
        length, area = np.empty(rings.size - 1), np.empty(rings.size - 1)
        _geodesic.geometries(
            WGS84, lon, lat, rings, one, one, length, area, closed=closed, fast=True
        )
        outs += [length.tobytes(), area.tobytes()]
    return outs


def test_same_bits_at_every_level(monkeypatch):
    rng = np.random.default_rng(11)
    n = 1003  # not a multiple of any width: the padded last block too
    r = rng.normal(size=(n, 3)) * 10.0 ** rng.uniform(5, 8, (n, 1))
    r[::37] = HANDED_OVER[0]
    geo = (rng.uniform(-1.6, 1.6, n), rng.uniform(-10, 10, n), rng.uniform(-1e7, 1e7, n))
    x = rng.normal(size=n) * 10.0 ** rng.uniform(-300, 300, n)
    y = rng.uniform(-1e6, 1e6, n)
    # Geodesics: random pairs, every tenth nearly antipodal, a few handed over (NaN, the
    # meridian), on WGS84 and at f = 1/50 (the direct problem's Newton step).
    lat1, lat2 = np.arcsin(rng.uniform(-1, 1, (2, n)))
    lon1, lon2 = rng.uniform(-4, 4, (2, n))
    lat2[::10], lon2[::10] = -lat1[::10] + 1e-3, lon1[::10] + 3.14
    lat1[::41], lon2[::43] = math.nan, lon1[::43]
    pairs = (lat1, lon1, lat2, lon2)
    results = {}
    for name in fast.levels():
        monkeypatch.setenv("QUORVANE_SIMD", name)
        assert fast.level() == name
        outs = [fast.lla_from_pos(WGS84, r).tobytes(), fast.pos_from_lla(WGS84, *geo).tobytes()]
        outs.append(fast.aer_coords(WGS84, r, *geo).tobytes())
        outs.append(fast.aer_coords(WGS84, r * 1e190, 0.3, -1.2, 100.0).tobytes())
        outs.append(fast.enu_from_pos(WGS84, r, *geo).tobytes())
        for ell in (WGS84, Ellipsoid(EARTH[0], 1 / 50)):
            outs.append(fast.geodesic_inverse(ell, *pairs).tobytes())
            outs.append(fast.geodesic_direct(ell, lat1, lon1, lon2, geo[2] * 4).tobytes())
            # Rhumb lines: the same pairs, every seventh along a parallel or nearly.
            east = np.where(np.arange(n) % 7 == 0, lat1 + 1e-12 * (np.arange(n) % 2), lat2)
            outs.append(fast.rhumb_inverse(ell, lat1, lon1, east, lon2).tobytes())
            outs.append(fast.rhumb_direct(ell, lat1, lon1, lon2, geo[2]).tobytes())
        lat = np.clip(geo[0], -math.pi / 2, math.pi / 2)  # and the poles
        outs += [fast.latitudes_convert(WGS84, lat, "geodetic", k).tobytes() for k in KINDS]
        outs.append(fast.latitudes_convert(WGS84, lat, "authalic", "rectifying").tobytes())
        outs.append(fast.latitudes_isometric(WGS84, lat).tobytes())
        # The transverse Mercator: random points out to beyond the series' domain (handed
        # over), the poles and NaN; the UTM grid and MGRS codes (UPS handed over whole).
        tm_lat, tm_lon = lat.copy(), geo[1] / 5
        tm_lat[::53] = math.nan
        outs.append(fast.tm_forward(WGS84, 0.3, tm_lat, tm_lon).tobytes())
        outs.append(fast.tm_reverse(WGS84, -0.3, geo[2] * 0.8, geo[2] * 1.5).tobytes())
        grid = utm.forward(tm_lat, geo[1], fast=True)
        outs += [grid[k].tobytes() for k in grid.dtype.names]
        outs.append(utm.to_mgrs(tm_lat, geo[1], fast=True).tobytes())
        back = utm.reverse(
            grid["zone"], grid["northp"], grid["easting"], grid["northing"], fast=True
        )
        outs.append(back.tobytes())
        for which in range(3):  # sin, cos, atan2
            out = np.empty(n)
            fast._fast.elementary(which, y if which < 2 else x, y, out)
            outs.append(out.tobytes())
        outs += _geometry_edges(pairs)
        results[name] = outs
    first = results[fast.levels()[0]]
    for name, outs in results.items():
        assert outs == first, name
    monkeypatch.setenv("QUORVANE_SIMD", "avx1024")
    with pytest.raises(ValueError, match="QUORVANE_SIMD=avx1024"):
        fast.lla_from_pos(WGS84, r)
    with pytest.raises(ValueError, match="QUORVANE_SIMD=avx1024"):
        _geometry_edges(pairs)


# Pairs the geodesic lanes hand to the exact kernel: the exact kernel's rows. Inverse:
# (lat1, lon1, lat2, lon2); direct: (lat1, lon1, azi1, s12), s12 in metres.
INVERSE_HANDED_OVER = [
    [math.nan, 0.0, 0.5, 1.0],
    [0.1, math.inf, 0.5, 1.0],
    [0.1, 0.2, 0.5, 1e5],  # a longitude of many turns
    [0.3, 1.0, -0.7, 1.0],  # meridional
    [-0.3, 1.0, 0.3, 1.0 + math.pi],  # meridional, over the pole
    [0.0, 0.0, 0.0, 2.5],  # equatorial
    [math.pi / 2, 0.0, 0.2, 1.0],  # at the pole
    [0.4, 0.5, 0.4, 0.5],  # coincident
    [0.3, 0.0, -0.3, 3.1415],  # nearly antipodal, mirrored in the equator: the arcsine start
]
DIRECT_HANDED_OVER = [
    [math.nan, 0.0, 0.5, 1e6],
    [0.1, 0.2, math.inf, 1e6],
    [0.1, 0.2, 0.3, 5e7],  # beyond a full turn
    [0.1, 0.2, 0.3, -5e7],
    [0.1, 30.0, 0.3, 1e6],  # a longitude of many turns
    [0.1, 0.2, 1e7, 1e6],  # an azimuth of many turns
    [0.1, 0.2, 0.3, math.inf],
]

# The same for the rhumb lines' lanes.
RHUMB_INVERSE_HANDED_OVER = [
    [math.nan, 0.0, 0.5, 1.0],
    [0.1, math.inf, 0.5, 1.0],
    [0.1, 0.2, 0.5, 1e5],  # a longitude of many turns
    [math.pi / 2, 0.0, 0.2, 1.0],  # at a pole: a meridian
    [0.2, 0.0, -math.pi / 2, 1.0],
    [0.4, 0.5, 0.4, 0.5],  # coincident
    [0.3, 0.0, -0.3, math.pi],  # a half turn: which way round is the remainder's tie
    [0.3, 1.0, 0.3 + 1e-280, 1.0 + 1e-200],  # latitudes a hair apart
]
RHUMB_DIRECT_HANDED_OVER = [
    [math.nan, 0.0, 0.5, 1e6],
    [0.1, 0.2, math.inf, 1e6],
    [0.1, 0.2, 0.3, 0.0],
    [0.1, 0.2, 0.0, 9e6],  # along a meridian past the pole: NaN
    [0.1, 0.2, 1e-3, 1e7 - 6e5],  # reaching the pole's neighbourhood
    [0.1, 30.0, 0.3, 1e6],  # a longitude of many turns
    [0.1, 0.2, 1e7, 1e6],  # an azimuth of many turns
    [math.pi / 2, 0.0, 0.3, 1e5],  # from a pole
    [0.0, 0.0, math.pi / 2, 1e9],  # about the Earth many times
]


@pytest.mark.parametrize(
    ("Re", "f"),
    [
        pytest.param(*EARTH, id="wgs84"),
        pytest.param(EARTH[0], 0.1, id="f-0.1"),  # past the series: every lane
        pytest.param(1e-300, EARTH[1], id="tiny"),
    ],
)
def test_geodesic_handed_over_rows_are_the_exact_kernels(Re, f):
    from quorvane.mathtools.ellipsoid import rhumb

    ell = Ellipsoid(Re, f)
    rng = np.random.default_rng(7)
    random = np.column_stack([rng.uniform(-1.5, 1.5, 4), rng.uniform(-3, 3, 4)] * 2)
    for rows, lanes, exact, direct in (
        (INVERSE_HANDED_OVER, fast.geodesic_inverse, gd.inverse, False),
        (DIRECT_HANDED_OVER, fast.geodesic_direct, gd.direct, True),
        (RHUMB_INVERSE_HANDED_OVER, fast.rhumb_inverse, rhumb.inverse, False),
        (RHUMB_DIRECT_HANDED_OVER, fast.rhumb_direct, rhumb.direct, True),
    ):
        p = np.array(rows * 3 if Re == EARTH[0] and f == EARTH[1] else rows + random.tolist())
        p = p.T * np.array([[1.0], [1.0], [1.0], [Re / EARTH[0] if direct else 1.0]])
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            got, expected = lanes(ell, *p), exact(ell, *p)
        assert got.tobytes() == expected.tobytes()


@pytest.mark.parametrize("f", [0.0, EARTH[1], 1 / 150, 1 / 50])
def test_geodesics_agree_with_the_exact_kernels_on_many_pairs(f):
    """Beyond the stored truth's thousands: on 40,000 pairs per flattening (a quarter nearly
    antipodal, a quarter near a pole) the lanes are within 12 nm and 3e-13 rad of the exact
    kernels (both are within 15 nm of the truth), and the direct problem's points within 15 nm
    (its azimuths within 1e-14 rad away from the poles)."""
    ell, rng, n = Ellipsoid(EARTH[0], f), np.random.default_rng(13), 40_000
    lat1, lat2 = np.arcsin(rng.uniform(-1, 1, (2, n)))
    lon1, lon2 = rng.uniform(-math.pi, math.pi, (2, n))
    k = n // 4
    lat2[:k] = np.clip(-lat1[:k] + rng.normal(0, 3e-3, k), -math.pi / 2, math.pi / 2)
    lon2[:k] = lon1[:k] + math.pi - np.abs(rng.normal(0, 3e-2, k))
    lat1[k : 2 * k] = np.copysign(math.pi / 2 - np.abs(rng.normal(0, 1e-3, k)), lat1[k : 2 * k])
    got, exact = (
        fast.geodesic_inverse(ell, lat1, lon1, lat2, lon2),
        gd.inverse(ell, lat1, lon1, lat2, lon2),
    )

    def turned(a, b):
        return np.abs(np.remainder(a - b + math.pi, 2 * math.pi) - math.pi)

    assert np.max(np.abs(got["s12"] - exact["s12"])) <= 12e-9
    assert max(np.max(turned(got[x], exact[x])) for x in ("azi1", "azi2")) <= 3e-13
    got = fast.geodesic_direct(ell, lat1, lon1, lon2, lat2 * 1.3e7)
    exact = gd.direct(ell, lat1, lon1, lon2, lat2 * 1.3e7)
    dlon = turned(got["lon2"], exact["lon2"]) * np.cos(exact["lat2"])
    assert np.max(np.hypot(turned(got["lat2"], exact["lat2"]), dlon)) * EARTH[0] <= 15e-9
    away = np.abs(exact["lat2"]) < 1.5  # the azimuth turns with the longitude at a pole
    assert np.max(turned(got["azi2"], exact["azi2"])[away]) <= 1e-14


@pytest.mark.parametrize("f", [0.0, EARTH[1], 1 / 50, 1 / 25])
def test_rhumb_lines_agree_with_the_exact_kernels_on_many_lines(f):
    """Beyond the stored truth: on 40,000 lines per flattening (a quarter within 1e-9 rad of
    due east or west, a quarter from within 1e-3 rad of a pole, a quarter short) the lanes are
    within 20 nm, 1e-14 rad and 0.2 m^2 of the exact kernels (both within 15 nm and 0.1 m^2 of
    the truth) and direct's points within 25 nm (each within 12 nm of the truth). Lines from near one pole to near the other,
    where the exact kernel's sin chi2 - sin chi1 from chi12 cancels, against the truth."""
    from quorvane.mathtools.ellipsoid import rhumb
    from testsupport import rhumb_truth as rt

    ell, rng, n = Ellipsoid(EARTH[0], f), np.random.default_rng(13), 40_000
    lat1, lat2 = np.arcsin(rng.uniform(-1, 1, (2, n)))
    lon1, lon2 = rng.uniform(-math.pi, math.pi, (2, n))
    k = n // 4
    lat2[:k] = lat1[:k] + rng.normal(0, 1e-9, k) * (rng.uniform(size=k) < 0.7)
    lat1[k : 2 * k] = np.copysign(math.pi / 2 - np.abs(rng.normal(0, 1e-3, k)), lat2[k : 2 * k])
    lat2[2 * k : 3 * k] = lat1[2 * k : 3 * k] + rng.normal(0, 1e-4, k)
    lon2[2 * k : 3 * k] = lon1[2 * k : 3 * k] + rng.normal(0, 1e-4, k)
    lat2 = np.clip(lat2, -math.pi / 2, math.pi / 2)
    got, exact = (
        fast.rhumb_inverse(ell, lat1, lon1, lat2, lon2),
        rhumb.inverse(ell, lat1, lon1, lat2, lon2),
    )

    def turned(a, b):
        return np.abs(np.remainder(a - b + math.pi, 2 * math.pi) - math.pi)

    assert np.max(np.abs(got["s12"] - exact["s12"])) <= 20e-9
    assert np.max(turned(got["azi12"], exact["azi12"])) <= 1e-14
    assert np.max(np.abs(got["S12"] - exact["S12"])) <= 0.2
    got = fast.rhumb_direct(ell, lat1, lon1, exact["azi12"], exact["s12"])
    exact = rhumb.direct(ell, lat1, lon1, exact["azi12"], exact["s12"])
    dlon = turned(got["lon2"], exact["lon2"]) * np.cos(exact["lat2"])
    assert np.max(np.hypot(turned(got["lat2"], exact["lat2"]), dlon)) * EARTH[0] <= 25e-9
    assert np.max(np.abs(got["S12"] - exact["S12"])) <= 0.2
    pole = np.array([[1.569279079, 0.3, -1.556480684, -2.181], [-1.5707167, 0.0, 1.547373, 1.971]])
    got, truth = fast.rhumb_inverse(ell, *pole.T), rt.Ellipsoid(EARTH[0], f)
    for i, line in enumerate(pole):
        s12, azi12, S12 = (float(x) for x in truth.inverse(*line))
        assert abs(got["s12"][i] - s12) <= 15e-9
        assert abs(got["azi12"][i] - azi12) <= 1e-14
        assert abs(got["S12"][i] - S12) <= 0.1


def test_geodesic_bits_do_not_depend_on_the_threads(monkeypatch):
    rng = np.random.default_rng(12)
    n = 30_001  # over the threads' threshold, not a multiple of their blocks
    lat1, lat2 = np.arcsin(rng.uniform(-1, 1, (2, n)))
    lon1, lon2 = rng.uniform(-4, 4, (2, n))
    pairs = (lat1, lon1, lat2, lon2)
    results = []
    for threads in ("1", "2", "3"):
        monkeypatch.setenv("QUORVANE_NUM_THREADS", threads)
        results.append(fast.geodesic_inverse(WGS84, *pairs).tobytes())
        results.append(fast.geodesic_direct(WGS84, *pairs[:3], pairs[3] * 4e6).tobytes())
    assert results[2:4] == results[:2] and results[4:] == results[:2]


def test_one_pair_on_ellipsoids_in_turn_gives_the_array_bits():
    # One-pair calls keep the constants of the last ellipsoid: a change must rebuild them.
    problems = [(fast.geodesic_inverse, 2.0), (fast.geodesic_direct, 0.3)]
    problems += [(f, 2.0) for f in (fast.rhumb_inverse, rhumb.inverse)]
    problems += [(f, 0.3) for f in (fast.rhumb_direct, rhumb.direct)]
    for ell in (WGS84, (6378137.0, 1 / 60), (1.0, 0.0), (6378137.0, 0.3), WGS84):
        for problem, last in problems:
            one = problem(ell, 0.5, 0.1, -0.3, last)
            assert one.tobytes() == problem(ell, [0.5], [0.1], [-0.3], [last]).tobytes()


@pytest.mark.parametrize("problem", ["inverse", "direct"])
def test_geodesics_in_degrees_are_the_converted_radians(problem):
    # The lanes convert degrees block by block: the bits of converting the arrays first.
    rng = np.random.default_rng(5)
    n = 5003
    lat1, third = np.degrees(np.arcsin(rng.uniform(-1, 1, (2, n))))
    lon1, fourth = rng.uniform(-1000, 1000, (2, n))
    lon1[::11], lon1[::13], lon1[::17] = 1e20, 540.0, -np.inf
    if problem == "direct":  # lat1, lon1, azi1 (reduced as a longitude), s12
        third, fourth = fourth, np.abs(fourth) * 2e4
    f = getattr(fast, f"geodesic_{problem}")
    got = f(WGS84, lat1, lon1, third, fourth, degrees=True)
    radians = [np.radians(lat1), np.radians(_engine.reduced_degrees(lon1))]
    if problem == "inverse":
        expected = f(
            WGS84, *radians, np.radians(third), np.radians(_engine.reduced_degrees(fourth))
        )
    else:
        expected = f(WGS84, *radians, np.radians(_engine.reduced_degrees(third)), fourth)
    for name in f(WGS84, 0.0, 0.0, 0.0, 0.0).dtype.names[problem == "inverse" :]:
        expected[name] = np.degrees(expected[name])
    assert got.tobytes() == expected.tobytes()


@pytest.mark.parametrize("name", ["tm_forward", "tm_reverse"])
def test_transverse_mercator_in_degrees_is_the_converted_radians(name):
    # As the geodesics': lon0 and the longitude reduced, the latitude not, x and y as they are;
    # the convergence (and the reverse's latitude and longitude) back in degrees.
    rng = np.random.default_rng(6)
    n = 5003
    lon0 = rng.choice([9.0, -177.0, 600.0, 1e20], n)
    lat = np.degrees(np.arcsin(rng.uniform(-1, 1, n)))
    lon = lon0 + rng.uniform(-10, 10, n)
    lon[::11], lon[::13], lon[::17] = 1e20, 540.0, -np.inf
    f = getattr(fast, name)
    if name == "tm_forward":
        got = f(WGS84, lon0, lat, lon, degrees=True)
        radians = [np.radians(_engine.reduced_degrees(a)) for a in (lon0, lon)]
        expected = f(WGS84, radians[0], np.radians(lat), radians[1])
    else:
        x, y = rng.uniform(-7e6, 7e6, n), rng.uniform(-2.1e7, 2.1e7, n)
        got = f(WGS84, lon0, x, y, degrees=True)
        expected = f(WGS84, np.radians(_engine.reduced_degrees(lon0)), x, y)
    for field in ("lat", "lon", "convergence"):
        if field in expected.dtype.names:
            expected[field] = np.degrees(expected[field])
    assert got.tobytes() == expected.tobytes()


def test_any_layout_and_dtype():
    rng = np.random.default_rng(5)
    r = rng.normal(size=(257, 3)) * 7e6
    expected = fast.lla_from_pos(WGS84, r)
    raw = np.zeros(257 * 24 + 1, dtype=np.uint8)
    unaligned = raw[1:].view(np.float64).reshape(257, 3)
    unaligned[...] = r
    assert not unaligned.flags.aligned
    wide = np.zeros((257, 6))
    wide[:, ::2] = r
    for layout in (unaligned, wide[:, ::2], np.asfortranarray(r)):
        assert fast.lla_from_pos(WGS84, layout).tobytes() == expected.tobytes()
    as_int = np.round(r).astype(np.int64)
    np.testing.assert_array_equal(
        fast.lla_from_pos(WGS84, as_int), fast.lla_from_pos(WGS84, as_int.astype(float))
    )
    assert isinstance(fast.lla_from_pos(WGS84, r[0]), np.void)
    assert fast.lla_from_pos(WGS84, r.reshape(257, 1, 3)).shape == (257, 1)
    lat = np.zeros(20)[::2]
    assert fast.pos_from_lla(WGS84, lat, 0, np.float32(1)).shape == (10, 3)
    assert fast.pos_from_lla(WGS84, 0, 0, 0).shape == (3,)
    assert fast.pos_from_lla(WGS84, np.empty((0, 4)), np.zeros(4), 0).shape == (0, 4, 3)
    assert fast.aer_coords(WGS84, np.empty((0, 3), int), np.zeros((5, 1)), 0, 0).shape == (5, 0)
    assert isinstance(fast.aer_coords(WGS84, r[0], 0, 0, 0), np.void)
    assert fast.aer_coords(WGS84, r[:1], np.zeros(4), 0, 0).shape == (4,)
    assert fast.aer_coords(WGS84, unaligned, 0.1, 0.2, 3).tobytes() == (
        fast.aer_coords(WGS84, r, 0.1, 0.2, 3).tobytes()
    )


@pytest.mark.parametrize("block", [7, 1 << 16], ids=["blocks", "whole"])
def test_strided_broadcast_and_other_dtypes_give_the_contiguous_bits(monkeypatch, block):
    """Layouts read in place and layouts converted block by block (a tiny block forces the
    blocks) give the bits of contiguous float64."""
    monkeypatch.setattr(_engine, "_BLOCK_ROWS", block)
    rng = np.random.default_rng(6)
    r = rng.normal(size=(6, 5, 3)) * 7e6
    obs = [rng.uniform(-1.5, 1.5, (6, 1)), rng.uniform(-3, 3, 5), np.float32(100.0)]
    big = np.zeros((12, 5, 7))
    big[::2, :, 1:6:2] = r
    skewed = big[::2, :, 1:6:2]  # leading axes that no single stride walks
    lat, lon, alt = (np.ascontiguousarray(np.broadcast_to(c, (6, 5))) for c in obs)
    as_int = np.round(r).astype(np.int32)
    for function, args, layouts in [
        (fast.lla_from_pos, (r,), [(skewed,), (np.swapaxes(r, 0, 1).swapaxes(0, 1),)]),
        (fast.lla_from_pos, (as_int.astype(float),), [(as_int,)]),
        (fast.pos_from_lla, (lat, lon, alt), [obs, (lat.T.T, lon[None, :], alt[:, ::-1])]),
        (fast.aer_coords, (r, lat, lon, alt), [(skewed, *obs)]),
        (fast.enu_from_pos, (r, lat, lon, alt), [(skewed, *obs)]),
        (fast.aer_coords, (np.broadcast_to(r[0, 0], r.shape), lat, lon, alt), [(r[0, 0], *obs)]),
        (fast.geodesic_inverse, (lat, lon, lat[::-1], lon), [(*obs[:2], lat[::-1], lon[None])]),
        (fast.geodesic_direct, (lat, lon, lon, alt), [(*obs[:2], obs[1], obs[2])]),
    ]:
        expected = function(WGS84, *args)
        for layout in layouts:
            assert function(WGS84, *layout).tobytes() == expected.tobytes(), function.__name__


def test_strided_and_converted_inputs_take_the_result_plus_a_bounded_amount():
    n = 200_000
    big = np.full((n, 6), 7e6)
    for r in (big[:, ::2], big[:, :3].astype(np.int64)):
        tracemalloc.start()
        try:
            fast.lla_from_pos(WGS84, r)
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert peak < 24 * n + (2 << 20)


def test_agrees_with_the_methods_on_random_points():
    rng = np.random.default_rng(8)
    r = rng.normal(size=(20000, 3)) * 10.0 ** rng.uniform(6, 8, (20000, 1))
    got, exact = _rows(fast.lla_from_pos(WGS84, r)), _rows(WGS84.lla_from_pos(r))
    unit = EPS * np.maximum(EARTH[0], np.linalg.norm(r, axis=1))
    assert np.max(np.abs(got[:, :2] - exact[:, :2])) <= 3e-14
    assert np.max(np.abs(got[:, 2] - exact[:, 2]) / unit) <= 16
    back = fast.pos_from_lla(WGS84, *exact.T)
    assert np.max(np.abs(back - WGS84.pos_from_lla(*exact.T)) / unit[:, None]) <= 4
