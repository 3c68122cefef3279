"""Intersections of geodesics: crossings built backwards from a known point, the sphere's
closed form, coincident lines, and the segments' inside flag on both sides of their ends."""

import math

import mpmath as mp
import numpy as np
import pytest
from helpers import EARTH

from quorvane.mathtools.ellipsoid import geodesic as gd
from testsupport import geodesic_truth as gt


def crossings(f, n, rng, spread=5e6):
    """n crossings at known points Z: the starts of two geodesics that reach Z after d1 and d2
    metres (built backwards from Z by the direct problem), and Z, d1, d2."""
    ell = (EARTH[0], f)
    lat = np.arcsin(rng.uniform(-0.95, 0.95, n))
    lon = rng.uniform(-math.pi, math.pi, n)
    b1 = rng.uniform(-math.pi, math.pi, n)
    b2 = b1 + rng.choice([-1, 1], n) * rng.uniform(0.05, math.pi - 0.05, n)
    d1, d2 = rng.uniform(1e3, spread, (2, n))
    p1 = gd.direct(ell, lat, lon, b1 + math.pi, d1)  # azi2 there points away from Z
    p2 = gd.direct(ell, lat, lon, b2 + math.pi, d2)
    lines = (
        p1["lat2"],
        p1["lon2"],
        p1["azi2"] + math.pi,
        p2["lat2"],
        p2["lon2"],
        p2["azi2"] + math.pi,
    )
    return ell, lines, (lat, lon), d1, d2


# x, y and the point within 30 nm of crossings built backwards from Z by the 40-digit direct
# problem (the starts and azimuths then carry only their rounding to doubles: a crossing built
# by the double direct problem is uncertain by its 15 nm over the sine of the crossing angle).
@pytest.mark.parametrize("f", [EARTH[1], 1 / 50, 0.1, 0.5])
def test_crossings_built_backwards(f):
    rng = np.random.default_rng(7)
    truth = gt.Ellipsoid(EARTH[0], f)
    n = 12
    lat = np.arcsin(rng.uniform(-0.95, 0.95, n))
    lon = rng.uniform(-math.pi, math.pi, n)
    b1 = rng.uniform(-math.pi, math.pi, n)
    b2 = b1 + rng.choice([-1, 1], n) * rng.uniform(0.05, math.pi - 0.05, n)
    d1, d2 = rng.uniform(1e3, 5e6, (2, n))
    starts = []
    for i in range(n):
        for b, d in ((b1[i], d1[i]), (b2[i], d2[i])):
            la, dlo, az = truth.direct(lat[i], b + math.pi, d)
            starts.append((float(la), float(lon[i] + dlo), float(az + mp.pi)))
    s = np.array(starts).reshape(n, 2, 3)
    r = gd.intersect((EARTH[0], f), *s[:, 0].T, *s[:, 1].T)
    assert np.abs(r["x"] - d1).max() <= 30e-9
    assert np.abs(r["y"] - d2).max() <= 30e-9
    assert (r["coincident"] == 0).all()
    dlon = np.remainder(r["lon"] - lon + math.pi, 2 * math.pi) - math.pi
    assert np.abs(EARTH[0] * (r["lat"] - lat)).max() <= 30e-9
    assert np.abs(EARTH[0] * np.cos(lat) * dlon).max() <= 30e-9


def reached(ell, lines, x, y):
    """Where lines 1 and 2 are after x and y metres, and the distance between those points."""
    lat1, lon1, az1, lat2, lon2, az2 = np.broadcast_arrays(*lines, x, y)[:6]
    p1, p2 = gd.direct(ell, lat1, lon1, az1, x), gd.direct(ell, lat2, lon2, az2, y)
    return p1, p2, gd.inverse(ell, p1["lat2"], p1["lon2"], p2["lat2"], p2["lon2"])["s12"]


# From the starts alone the solution settled on a farther intersection for 10 of the 300
# crossings built at f = 0.9, and for 56 and 107 of 300 random pairs of lines at f = 0.5 and 0.9.
@pytest.mark.parametrize(
    ("f", "built"), [(EARTH[1], True), (0.5, True), (0.9, True), (0.5, False), (0.9, False)]
)
def test_closest_intersection(f, built):
    """The result is an intersection; for crossings built through a known point, no farther from
    the starts in |x| + |y| than it, and segments centred on the starts give the same one; for
    a sample, no intersection reached from a grid of starts over that distance is closer."""
    a = EARTH[0]
    rng = np.random.default_rng(5)
    if built:
        ell, lines, _, d1, d2 = crossings(f, 300, rng)
    else:
        ell = (a, f)
        lat1, lat2 = np.arcsin(rng.uniform(-1, 1, (2, 300)))
        lon1, lon2, az1, az2 = rng.uniform(-math.pi, math.pi, (4, 300))
        lines = (lat1, lon1, az1, lat2, lon2, az2)
    r = gd.intersect(ell, *lines)
    dist = np.abs(r["x"]) + np.abs(r["y"])
    assert reached(ell, lines, r["x"], r["y"])[2].max() <= 1e-6
    if built:
        assert (dist <= d1 + d2 + 1e-6).all()
        e = 0.05 * a
        ends = [reached(ell, lines, t, t)[:2] for t in (-e, e)]
        seg = gd.intersect_segments(
            ell,
            *(ends[k][0][q] for k in (0, 1) for q in ("lat2", "lon2")),
            *(ends[k][1][q] for k in (0, 1) for q in ("lat2", "lon2")),
        )
        np.testing.assert_allclose(seg["x"] - e, r["x"], rtol=0, atol=1e-6)
        np.testing.assert_allclose(seg["y"] - e, r["y"], rtol=0, atol=1e-6)
    h = (0.1 if built else 0.3) * a
    for i in range(0, 300, 25 if built else 50):
        grid = np.arange(-dist[i] - h, dist[i] + 1.5 * h, h)
        x0, y0 = (c.ravel() for c in np.meshgrid(grid, grid))
        near = np.abs(x0) + np.abs(y0) <= dist[i] + h
        line = [c[i] for c in lines]
        p1, p2, _ = reached(ell, line, x0[near], y0[near])
        s = gd.intersect(
            ell, p1["lat2"], p1["lon2"], p1["azi2"], p2["lat2"], p2["lon2"], p2["azi2"]
        )
        x, y = x0[near] + s["x"], y0[near] + s["y"]
        genuine = reached(ell, line, x, y)[2] <= 1e-6
        assert (np.abs(x) + np.abs(y))[genuine].min() >= dist[i] - 1e-6


# Random lines on which the run from the starts alone fails (a NaN from the geodesic between the
# points it reaches): the search finds the intersection all the same.
@pytest.mark.parametrize(
    ("f", "line"),
    [
        (
            0.007,
            (
                0.32071691244725553,
                1.132923315115419,
                0.5182602870946611,
                0.6313973624380484,
                -0.9923360815467106,
                -0.5636474465940848,
            ),
        ),
        (
            0.01,
            (
                -1.3855322292560188,
                -3.129659634033828,
                -3.1289693657638944,
                -0.22628401695376565,
                -1.4777214920310324,
                -1.0138035575864386,
            ),
        ),
    ],
)
def test_intersection_where_the_first_run_fails(f, line):
    ell = (EARTH[0], f)
    r = gd.intersect(ell, *line)
    assert np.isfinite(r.item()).all()
    assert reached(ell, line, r["x"], r["y"])[2] <= 1e-6


def test_sphere_closed_form():
    """f = 0: the intersection of two great circles, Z = +-(n1 x n2), the one closer to the
    starts in |x| + |y|."""
    a = 6371e3
    rng = np.random.default_rng(3)
    lat1, lat2 = np.arcsin(rng.uniform(-1, 1, (2, 200)))
    lon1, lon2, az1, az2 = rng.uniform(-math.pi, math.pi, (4, 200))
    r = gd.intersect((a, 0.0), lat1, lon1, az1, lat2, lon2, az2)

    def frame(lat, lon, az):
        p = np.stack([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)], -1)
        east = np.stack([-np.sin(lon), np.cos(lon), np.zeros_like(lon)], -1)
        north = np.stack([-np.sin(lat) * np.cos(lon), -np.sin(lat) * np.sin(lon), np.cos(lat)], -1)
        t = np.cos(az)[:, None] * north + np.sin(az)[:, None] * east
        return p, t

    p1, t1 = frame(lat1, lon1, az1)
    p2, t2 = frame(lat2, lon2, az2)
    z = np.cross(np.cross(p1, t1), np.cross(p2, t2))
    z /= np.linalg.norm(z, axis=-1)[:, None]
    best = np.full(200, np.inf)
    xs, ys = np.zeros(200), np.zeros(200)
    for sign in (1, -1):
        x = a * np.arctan2(np.sum(sign * z * t1, -1), np.sum(sign * z * p1, -1))
        y = a * np.arctan2(np.sum(sign * z * t2, -1), np.sum(sign * z * p2, -1))
        take = np.abs(x) + np.abs(y) < best
        best = np.where(take, np.abs(x) + np.abs(y), best)
        xs, ys = np.where(take, x, xs), np.where(take, y, ys)
    np.testing.assert_allclose(r["x"], xs, rtol=0, atol=30e-9)
    np.testing.assert_allclose(r["y"], ys, rtol=0, atol=30e-9)


@pytest.mark.parametrize(
    ("line2", "coincident", "x", "y"),
    [
        ((0.0, 10.0, 90.0), 1, 0.5, -0.5),  # along the equator, the same way: halfway
        ((0.0, 10.0, -90.0), -1, 0.5, 0.5),  # towards each other
        ((0.0, -10.0, 90.0), 1, -0.5, 0.5),  # point 2 behind point 1
    ],
)
def test_coincident_lines(line2, coincident, x, y):
    r = gd.intersect(EARTH, 0.0, 0.0, 90.0, *line2, degrees=True)
    s = EARTH[0] * math.radians(10.0)
    assert r["coincident"] == coincident
    assert r["x"] == pytest.approx(x * s, abs=1e-6)
    assert r["y"] == pytest.approx(y * s, abs=1e-6)
    meridian = gd.intersect(EARTH, 10.0, 20.0, 0.0, 30.0, 20.0, 180.0, degrees=True)
    assert meridian["coincident"] == -1


@pytest.mark.parametrize("past", [1e-3, -1e-3])
def test_segments_inside_on_both_sides_of_their_ends(past):
    """Segments built to end 1 mm past the crossing (inside) or 1 mm short of it (outside),
    at either end of either segment."""
    ell, lines, _, d1, d2 = crossings(EARTH[1], 40, np.random.default_rng(11), spread=2e6)
    lat1, lon1, az1, lat2, lon2, az2 = lines
    e1 = gd.direct(ell, lat1, lon1, az1, d1 + past)
    e2 = gd.direct(ell, lat2, lon2, az2, d2 + past)
    r = gd.intersect_segments(
        ell, lat1, lon1, e1["lat2"], e1["lon2"], lat2, lon2, e2["lat2"], e2["lon2"]
    )
    assert np.abs(r["x"] - d1).max() <= 30e-9 and np.abs(r["y"] - d2).max() <= 30e-9
    np.testing.assert_array_equal(r["inside"], 1.0 if past > 0 else 0.0)
    # The other end: segment 1 reversed, from its far end (1 mm past Z, or short of it) back.
    back = gd.intersect_segments(
        ell, e1["lat2"], e1["lon2"], lat1, lon1, lat2, lon2, e2["lat2"], e2["lon2"]
    )
    assert np.abs(back["x"] - past).max() <= 30e-9
    np.testing.assert_array_equal(back["inside"], 1.0 if past > 0 else 0.0)
    one = gd.intersect_segments(EARTH, 0, 0, 10, 10, 0, 10, 10, 0, degrees=True)
    assert one["inside"] == 1.0 and one["lon"] == pytest.approx(5.0, abs=1e-12)


def test_nan_rows():
    with pytest.warns(RuntimeWarning, match="lat1"):
        r = gd.intersect(EARTH, [100.0, 0.0], 0.0, [np.nan, 45.0], 0.0, 10.0, -45.0, degrees=True)
    assert np.isnan(r[0].item()).all() and not np.isnan(r[1].item()).any()


def test_cli_intersect(capsys):
    from quorvane.mathtools.ellipsoid import cli

    pytest.importorskip("pyarrow")
    import io
    import sys

    stdin = sys.stdin
    sys.stdin = io.TextIOWrapper(io.BytesIO(b"lat1,lon1,azi1,lat2,lon2,azi2\n0,0,45,0,10,-45\n"))
    try:
        assert cli.main(["intersect", "--degrees", "-"]) == 0
    finally:
        sys.stdin = stdin
    header, row = capsys.readouterr().out.splitlines()
    want = gd.intersect(EARTH, 0, 0, 45, 0, 10, -45, degrees=True)
    assert header == "x,y,lat,lon,coincident"
    assert [float(v) for v in row.split(",")] == list(want.item())
