"""Surface frame and surface position methods against the reference kernels."""

import math

import numpy as np
import pytest
from helpers import (
    ELLIPSOIDS,
    EPS,
    HALF_PI,
    assert_same_bits,
    ellipsoid,
    latitudes,
    longitudes,
    stable_rng,
)

from testsupport import reference as ref


def _coords(name, Re, f, n=2000):
    rng = stable_rng(name, Re, f)
    lat = latitudes(rng, n, wide=True)
    return lat, longitudes(rng, n)


@pytest.mark.parametrize(("Re", "f"), ELLIPSOIDS)
def test_enu_matches_reference(Re, f):
    lat, lon = _coords("enu", Re, f)
    frames = ellipsoid(Re, f).enu(lat, lon)
    expected = np.array([ref.c_enu(Re, f, *p) for p in zip(lat, lon)])
    got = np.stack([frames["u_east"], frames["u_north"], frames["u_up"]], axis=1)
    assert_same_bits(got, expected, np.stack([lat, lon], 1), "enu")


@pytest.mark.parametrize(("Re", "f"), ELLIPSOIDS)
def test_enu_is_orthonormal_right_handed(Re, f):
    rng = stable_rng("frame", Re, f)
    lat = np.concatenate([rng.uniform(-HALF_PI, HALF_PI, 1000), [HALF_PI, -HALF_PI, 0.0, -0.0]])
    lon = np.concatenate([rng.uniform(-10, 10, 1000), [0.3, -2.0, 0.0, math.pi]])
    frames = ellipsoid(Re, f).enu(lat, lon)
    e, n, u = frames["u_east"], frames["u_north"], frames["u_up"]
    tol = 8 * EPS
    for v in (e, n, u):
        np.testing.assert_allclose(np.linalg.norm(v, axis=1), 1.0, rtol=0, atol=tol)
    for a, b in ((e, n), (n, u), (u, e)):
        np.testing.assert_allclose(np.einsum("ij,ij->i", a, b), 0.0, rtol=0, atol=tol)
    np.testing.assert_allclose(np.cross(e, n), u, rtol=0, atol=tol)
    # East is horizontal; up is the geodetic normal of the given latitude.
    assert (e[:, 2] == 0).all()
    np.testing.assert_allclose(u[:, 2], np.sin(lat), rtol=0, atol=tol)


@pytest.mark.parametrize(("Re", "f"), ELLIPSOIDS)
def test_surf_pos_from_surf_coord_matches_reference(Re, f):
    lat, lon = _coords("surf_pos", Re, f)
    expected = [ref.c_surf_pos_from_surf_coord(Re, f, *p) for p in zip(lat, lon)]
    got = ellipsoid(Re, f).surf_pos_from_surf_coord(lat, lon)
    assert_same_bits(got, expected, np.stack([lat, lon], 1), "surf_pos_from_surf_coord")


def _surface_and_off_surface_points(Re, f, n=2000):
    rng = stable_rng("surf_coord", Re, f)
    lat, lon = latitudes(rng, n, wide=True), longitudes(rng, n)
    surface = np.array([ref.c_surf_pos_from_surf_coord(Re, f, *p) for p in zip(lat, lon)])
    off = rng.normal(size=(n // 2, 3)) * Re * 0.8
    # Heights around the poles, a few units in the last place either side.
    k = np.arange(-12, 13)
    rp = (1 - f) * Re
    poles = np.zeros((2 * k.size, 3))
    poles[:, 2] = np.concatenate([rp + k * np.spacing(rp), -rp - k * np.spacing(rp)])
    poles[::3, 0] = -0.0
    specials = np.array(
        [
            [0.0, 0.0, rp],
            [-0.0, 0.0, rp],
            [-0.0, -0.0, -rp],
            [Re, 0.0, 0.0],
            [0.0, 0.0, 0.0],
            [math.nan, 1.0, 0.0],
            [1.0, 1.0, math.nan],
            [math.inf, 0.0, 0.0],
            [1.0, 0.0, math.inf],
            [-math.inf, -math.inf, rp / 2],
        ]
    )
    return np.concatenate([surface, off, poles, specials])


@pytest.mark.parametrize(("Re", "f"), ELLIPSOIDS)
def test_surf_coord_from_surf_pos_matches_reference(Re, f):
    r = _surface_and_off_surface_points(Re, f)
    expected = [ref.c_surf_coord_from_surf_pos(Re, f, p) for p in r]
    coords = ellipsoid(Re, f).surf_coord_from_surf_pos(r)
    got = np.stack([coords["lat"], coords["lon"]], axis=1)
    assert_same_bits(got, expected, r, "surf_coord_from_surf_pos")


@pytest.mark.parametrize(("Re", "f"), ELLIPSOIDS)
def test_surface_coordinates_round_trip(Re, f):
    rng = stable_rng("round_trip", Re, f)
    lat = rng.uniform(-HALF_PI, HALF_PI, 3000)
    lon = rng.uniform(-math.pi, math.pi, 3000)
    e = ellipsoid(Re, f)
    back = e.surf_coord_from_surf_pos(e.surf_pos_from_surf_coord(lat, lon))
    # The latitude comes from z alone: its error grows like 1 / cos(lat) towards the poles.
    tol = 4 * EPS + 4 * EPS / np.cos(lat)
    assert (np.abs(back["lat"] - lat) <= tol).all()
    np.testing.assert_allclose(back["lon"], lon, rtol=0, atol=2 * EPS * math.pi)


def _pole_heights(Re, f):
    """The poles as a caller writes them and as surf_pos_from_surf_coord gives them."""
    z = ref.c_surf_pos_from_surf_coord(Re, f, HALF_PI, 0.0)[2]
    return [Re * (1 - f), z, -Re * (1 - f), -z]


def _pole_pairs():
    rng = np.random.default_rng(31)
    pairs = [(6378137.0, 1 / 298.257223563), (2.0, 0.25), (1.0, 0.0), (3.0, 0.5)]
    pairs += [(float(10 ** rng.uniform(-3, 7)), float(rng.uniform(0, 0.9))) for _ in range(400)]
    return pairs


def test_poles_never_give_nan_latitude():
    pairs = _pole_pairs()
    beyond_one = [
        (Re, f)
        for Re, f in pairs
        if any(abs(ref.pole_quotient(Re, f, z)) > 1 for z in _pole_heights(Re, f))
    ]
    assert beyond_one, "no pair whose pole quotient rounds past 1: the test would prove nothing"
    for Re, f in pairs:
        z = np.array(_pole_heights(Re, f))
        r = np.stack([np.zeros(4), np.zeros(4), z], axis=1)
        coords = ellipsoid(Re, f).surf_coord_from_surf_pos(r)
        assert not np.isnan(coords["lat"]).any(), (Re, f, coords)
        np.testing.assert_allclose(coords["lat"], np.sign(z) * HALF_PI, rtol=0, atol=1e-7)
        assert (coords["lon"] == 0).all()


@pytest.mark.parametrize(("Re", "f"), ELLIPSOIDS)
@pytest.mark.parametrize("excess", [8 * EPS, 1e-12, 1e-3])
def test_points_beyond_pole_give_nan_latitude(Re, f, excess):
    rp = (1 - f) * Re
    r = np.array([[0.0, 0.0, rp * (1 + excess)], [1.0, 2.0, -rp * (1 + excess)]])
    assert all(math.isnan(ref.c_surf_coord_from_surf_pos(Re, f, p)[0]) for p in r)
    coords = ellipsoid(Re, f).surf_coord_from_surf_pos(r)
    assert np.isnan(coords["lat"]).all()
    assert not np.isnan(coords["lon"]).any()
