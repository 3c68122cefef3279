"""Cross-check of the geodetic conversions against an independent library (pymap3d) on WGS84.

pymap3d's ECEF-to-geodetic conversion is accurate to well below the tolerances here only up
to a few hundred kilometres of altitude, so the points lie between -10 km and 300 km.
"""

import math

import numpy as np
import pytest
from helpers import EARTH, ellipsoid

pm = pytest.importorskip("pymap3d")

N = 10_000
TOL_ANGLE = 1e-9
TOL_LENGTH = 1e-4


@pytest.fixture(scope="module")
def wgs84_pair():
    Re, f = EARTH
    peer = pm.Ellipsoid(semimajor_axis=Re, semiminor_axis=(1 - f) * Re, name="WGS84")
    return ellipsoid(Re, f), peer


def _geodetic_points(seed, n=N):
    rng = np.random.default_rng(seed)
    lat = np.arcsin(rng.uniform(-1, 1, n))
    lon = rng.uniform(-math.pi, math.pi, n)
    alt = rng.uniform(-1e4, 3e5, n)
    return lat, lon, alt


def _angle_diff(a, b):
    return (np.asarray(a) - np.asarray(b) + math.pi) % (2 * math.pi) - math.pi


def test_pos_from_lla(wgs84_pair):
    e, peer = wgs84_pair
    lat, lon, alt = _geodetic_points(1)
    ours = e.pos_from_lla(lat, lon, alt)
    theirs = np.stack(pm.geodetic2ecef(lat, lon, alt, peer, deg=False), axis=1)
    np.testing.assert_allclose(ours, theirs, rtol=0, atol=TOL_LENGTH)


def test_lla_from_pos(wgs84_pair):
    e, peer = wgs84_pair
    lat, lon, alt = _geodetic_points(2)
    x, y, z = pm.geodetic2ecef(lat, lon, alt, peer, deg=False)
    ours = e.lla_from_pos(np.stack([x, y, z], axis=1))
    t_lat, t_lon, t_alt = pm.ecef2geodetic(x, y, z, peer, deg=False)
    np.testing.assert_allclose(ours["lat"], t_lat, rtol=0, atol=TOL_ANGLE)
    np.testing.assert_allclose(_angle_diff(ours["lon"], t_lon), 0.0, rtol=0, atol=TOL_ANGLE)
    np.testing.assert_allclose(ours["alt"], t_alt, rtol=0, atol=TOL_LENGTH)


def test_aer_coords(wgs84_pair):
    e, peer = wgs84_pair
    lat, lon, alt = _geodetic_points(3)
    targets = np.stack(pm.geodetic2ecef(lat, lon, alt, peer, deg=False), axis=1)
    o_lat, o_lon, o_alt = _geodetic_points(4, n=100)
    per_observer = N // o_lat.size
    for k, (lat0, lon0, alt0) in enumerate(zip(o_lat.tolist(), o_lon.tolist(), o_alt.tolist())):
        r = targets[k * per_observer : (k + 1) * per_observer]
        ours = e.aer_coords(r, lat0, lon0, alt0)
        az, el, rng = pm.ecef2aer(r[:, 0], r[:, 1], r[:, 2], lat0, lon0, alt0, peer, deg=False)
        np.testing.assert_allclose(_angle_diff(ours["azimuth"], az), 0.0, rtol=0, atol=TOL_ANGLE)
        np.testing.assert_allclose(ours["elevation"], el, rtol=0, atol=TOL_ANGLE)
        np.testing.assert_allclose(ours["range"], rng, rtol=0, atol=TOL_LENGTH)
