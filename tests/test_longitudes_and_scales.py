"""Longitudes of any number of turns (reduced exactly, in degrees and in radians), polygons
whose vertex longitudes run past 180 degrees, and geodesics on ellipsoids at the ends of the
double range."""

import math

import mpmath
import numpy as np
import pytest
from helpers import EARTH, same

from quorvane.mathtools.ellipsoid import _geodesic, fast, frames
from quorvane.mathtools.ellipsoid import geodesic as gd
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

geographiclib = pytest.importorskip("geographiclib.geodesic")

WGS84 = Ellipsoid(*EARTH)
PEER = geographiclib.Geodesic(*EARTH)


def exactly_reduced(x):
    """x radians reduced to [-pi, pi] with 1300-bit arithmetic, rounded once."""
    with mpmath.workprec(1300):
        v = mpmath.mpf(x)
        return float(v - 2 * mpmath.pi * mpmath.nint(v / (2 * mpmath.pi)))


# -- Huge longitudes -----------------------------------------------------------------------

# Radians beyond 10 rad: the Payne-Hanek reduction rounds once. Hostile values: just past the
# switch, 2^k, the largest double, the two doubles nearest a multiple of 2 pi for their
# exponent (1.9e-18 and 6.8e-18 rad away; from the continued fractions of 2^E / (2 pi)), and
# many random magnitudes up to the top of the range.
_rng = np.random.default_rng(7)
HUGE_RADIANS = [
    10.000000000000002,
    -1e9 - 0.5,
    1e15,
    2.0**60,
    -1e300,
    1.7976931348623157e308,
    6381956970095103 * 2.0**799,
    -57844706.68111352,
    *(_rng.choice([-1, 1], 200) * 10.0 ** _rng.uniform(1.01, 308.2, 200)),
]


def test_radians_reduced_to_the_last_bit():
    lon = np.array(HUGE_RADIANS)
    out = np.empty_like(lon)
    _geodesic.longitudes(lon, out, False)
    expected = [exactly_reduced(x) for x in lon]
    expected = [-math.pi if e == math.pi else e for e in expected]  # the convention [-pi, pi)
    assert out.tolist() == expected
    # Within 10 rad the remainder by the double 2 pi keeps its bits: at most two turns of
    # 2.4e-16 rad each from the exact reduction.
    lon = np.concatenate([np.linspace(-10, 10, 2001), [math.pi, 3 * math.pi, -2 * math.pi]])
    _geodesic.longitudes(lon, out := np.empty_like(lon), False)
    error = [abs(r - exactly_reduced(x)) % (2 * math.pi) for r, x in zip(out, lon)]
    assert max(min(e, 2 * math.pi - e) for e in error) <= 4.9e-16


# (function, huge arguments, the same with the longitudes reduced): the same bits, one point
# and arrays, and the value the peers give.
HUGE = [
    (gd.inverse, (10, 0, 20, 1e20), (10, 0, 20, -80), ("s12", 8604423.193, 1e-3)),
    (gd.inverse, (10, 0, 20, 3.6e15 + 45), (10, 0, 20, 45), None),
    (gd.inverse, (10, -1e20, 20, 3.6e15 + 45), (10, 80, 20, 45), None),
    (gd.direct, (10, 1e20, 30, 1e6), (10, -80, 30, 1e6), ("lon2", -75.2985, 1e-4)),
    (gd.direct, (10, 1e20, 30 + 3.6e15, 1e6), (10, -80, 30, 1e6), None),
    (frames.pos_from_lla, (10, 1e20, 100.0), (10, -80, 100.0), None),
    (fast.pos_from_lla, (10, 1e20, 100.0), (10, -80, 100.0), None),
    (fast.aer_coords, ([1e6, 2e6, 3e6], 10, -1e20, 0), ([1e6, 2e6, 3e6], 10, 80, 0), None),
    (frames.aer_from_lla, (10, 1e20, 0, 11, 3.6e15 + 45, 0), (10, -80, 0, 11, 45, 0), None),
    (frames.lla_from_aer, (3.6e15 + 30, 10, 1e5, 10, 1e20, 0), (30, 10, 1e5, 10, -80, 0), None),
    (frames.enu_from_lla, (10, -1e20, 0, 11, 3.6e15 + 45, 0), (10, 80, 0, 11, 45, 0), None),
]


@pytest.mark.parametrize(("fn", "huge", "reduced", "peer"), HUGE)
def test_huge_degrees_reduced_exactly(fn, huge, reduced, peer):
    one = fn(WGS84, *huge, degrees=True)
    assert same(one, fn(WGS84, *reduced, degrees=True))
    assert same(fn(WGS84, *([v] for v in huge), degrees=True)[0], one)
    if peer is not None:
        field, value, tol = peer
        assert one[field] == pytest.approx(value, abs=tol)


@pytest.mark.parametrize("lon2", [1e9 + 0.5, 1e15, -1e300])
def test_huge_radians_reduced_exactly(lon2):
    r = exactly_reduced(lon2)
    assert same(gd.inverse(WGS84, 0.2, 0.0, 0.3, lon2), gd.inverse(WGS84, 0.2, 0.0, 0.3, r))
    assert same(gd.direct(WGS84, 0.2, lon2, 0.3, 1e6), gd.direct(WGS84, 0.2, r, 0.3, 1e6))
    # Two huge longitudes: each reduced, their difference formed without loss.
    lon1 = -lon2 / 3
    with mpmath.workprec(1300):
        d = exactly_reduced(mpmath.mpf(lon2) - mpmath.mpf(lon1))
    s12 = gd.inverse(WGS84, 0.2, lon1, 0.3, lon2)["s12"]
    assert s12 == pytest.approx(gd.inverse(WGS84, 0.2, 0.0, 0.3, d)["s12"], abs=1e-8)


@pytest.mark.parametrize("one", [True, False])
def test_waypoints_end_at_the_reduced_longitude(one):
    ends = (0, 0, 10, 1e20) if one else ([0], 0, 10, [1e20])
    points = gd.waypoints(WGS84, *ends, 3, degrees=True).reshape(-1)
    assert points["lon2"][-1] == -80.0
    assert same(points, gd.waypoints(WGS84, 0, 0, 10, -80, 3, degrees=True))
    # The ends exactly as given, in [-180, 180): no rounding through lon + 180.
    assert gd.waypoints(WGS84, 0, 10.3, 1, 180, 2, degrees=True)["lon2"].tolist() == [10.3, -180]


def test_polygon_vertex_many_turns_away():
    lat = [10, 20, 30]
    near = gd.polygon_area(WGS84, lat, [1, 2, 1], degrees=True)
    assert same(gd.polygon_area(WGS84, lat, [1, 2, 1 + 360e12], degrees=True), near)
    assert same(
        gd.line_length(WGS84, lat, [1, 2, 1 + 360e12], degrees=True),
        gd.line_length(WGS84, lat, [1, 2, 1], degrees=True),
    )
    rad = np.radians(lat)
    lon = [0.1, 1e15, -1e300]
    assert tuple(gd.polygon_area(WGS84, rad, lon)) == pytest.approx(
        tuple(gd.polygon_area(WGS84, rad, [exactly_reduced(x) for x in lon])), rel=1e-15
    )


# -- Polygons whose vertex longitudes run past 180 degrees --------------------------------

RINGS = {
    "to the pole and back": ([66.562222222] * 3, [0, 180, 360]),
    "its mirror": ([66.562222222] * 3, [-0.0, -180, -360]),
    "unreduced": ([10, 20, 30, 15], [170, 190 + 720, -170 - 360, 540 + 1]),
    "repeated longitudes": ([10, 10, 20, 20, 10], [0, 0, 5, 365, 725]),
    "across the antimeridian": ([-10, -10, 10, 10], [179 + 360, -179 - 720, 181, 179]),
    "once around the pole": ([70] * 4, [360e12, 90 - 720e9, 180 + 1e20, 270]),
    "twice around the north pole": ([60] * 8, list(range(0, 720, 90))),
    "twice around the south pole": ([-50] * 8, list(range(0, -720, -90))),
    "a vertex at the pole": ([90, 0, 0], [1e20, 0, 90]),
}


@pytest.mark.parametrize("ring", RINGS.values(), ids=RINGS.keys())
def test_polygon_area_against_geographiclib(ring):
    lat, lon = ring
    polygon = PEER.Polygon()
    for la, lo in zip(lat, lon):
        polygon.AddPoint(la, lo)
    _, perimeter, area = polygon.Compute(False, True)
    mine = gd.polygon_area(WGS84, lat, lon, degrees=True)
    assert mine["area"] == pytest.approx(area, abs=1.0)  # of 5.1e14 m^2
    assert mine["perimeter"] == pytest.approx(perimeter, abs=1e-6)


# -- The ends of the double range ----------------------------------------------------------

UNIT = Ellipsoid(1.0, 0.1)


def test_direct_on_a_subnormal_ellipsoid_is_the_scaled_one():
    tiny = gd.direct(Ellipsoid(5e-324, 0.1), 0.1, 0.2, 0.3, 1e-320)
    assert same(tiny, gd.direct(UNIT, 0.1, 0.2, 0.3, 1e-320 / 5e-324))
    assert (tiny["lat2"], tiny["lon2"]) == pytest.approx((0.7930, -1.8805), abs=1e-4)


# (Re, degrees): the polygon [0, 0, 1], [0, 1, 1] of the unit ellipsoid scaled by Re, its
# area by Re^2: inf only where the true value exceeds the double range, 0 where it underflows.
@pytest.mark.parametrize(
    ("Re", "degrees"),
    [(1e308, False), (1e308, True), (1e150, False), (1e-300, False), (5e-324, True)],
)
def test_polygon_at_extreme_scales(Re, degrees):
    area, perimeter = gd.polygon_area(Ellipsoid(Re, 0.1), [0, 0, 1], [0, 1, 1], degrees=degrees)
    unit_area, unit_perimeter = gd.polygon_area(UNIT, [0, 0, 1], [0, 1, 1], degrees=degrees)
    with np.errstate(over="ignore", under="ignore"):
        want_area = float(np.float64(unit_area) * Re * Re)
        want_perimeter = float(np.float64(unit_perimeter) * Re)
    assert area == pytest.approx(want_area, rel=1e-14, abs=0)
    assert perimeter == pytest.approx(want_perimeter, rel=1e-14, abs=1e-323)
    assert gd.line_length(Ellipsoid(Re, 0.1), [0, 0, 1], [0, 1, 1], degrees=degrees) == (
        pytest.approx(
            float(
                gd.inverse(UNIT, 0, 0, 0, 1, degrees=degrees)["s12"]
                + gd.inverse(UNIT, 0, 1, 1, 1, degrees=degrees)["s12"]
            )
            * Re,
            rel=1e-14,
            abs=1e-323,
        )
    )


@pytest.mark.parametrize("k", [-600, 600])
def test_power_of_two_scaling_keeps_the_bits(k):
    big = Ellipsoid(math.ldexp(EARTH[0], k), EARTH[1])
    lat, lon = [0.1, -0.5, 0.7], [0.0, 2.0, -2.5]
    inv, scaled = gd.inverse(WGS84, lat, lon, 0.3, 1.0), gd.inverse(big, lat, lon, 0.3, 1.0)
    assert same(scaled["s12"], np.ldexp(inv["s12"], k))
    assert same(
        gd.direct(big, lat, lon, 0.3, math.ldexp(1e7, k)), gd.direct(WGS84, lat, lon, 0.3, 1e7)
    )
    area, perimeter = gd.polygon_area(WGS84, lat, lon)
    with np.errstate(over="ignore"):  # 2^1200 m^2 of area: beyond the double range
        expected = np.ldexp([area, perimeter], [2 * k, k])
    assert same(list(gd.polygon_area(big, lat, lon)), expected)
