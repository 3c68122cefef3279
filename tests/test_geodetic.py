"""Geodetic position methods: bits against the reference, accuracy against exact altitudes."""

import math

import numpy as np
import pytest
from helpers import (
    EARTH,
    ELLIPSOIDS,
    EPS,
    assert_same_bits,
    ellipsoid,
    latitudes,
    longitudes,
    positions,
    stable_rng,
)

from testsupport import reference as ref


def _lla_rows(lla):
    return np.stack([lla["lat"], lla["lon"], lla["alt"]], axis=1)


def _rho(r):
    return np.sqrt(r[:, 0] * r[:, 0] + r[:, 1] * r[:, 1])


@pytest.mark.parametrize(("Re", "f"), ELLIPSOIDS)
def test_lla_from_pos_matches_reference(Re, f):
    r = positions(stable_rng("lla", Re, f), Re, f, 2000)
    expected = np.array([ref.c_lla_from_pos(Re, f, p) for p in r.tolist()])
    got = _lla_rows(ellipsoid(Re, f).lla_from_pos(r))
    assert_same_bits(got, expected, r, "lla_from_pos")


def _near_axis_points(Re, f, n, rho_exponents, seed):
    rng = np.random.default_rng(seed)
    rho = 10.0 ** rng.uniform(*rho_exponents, n)
    lon = rng.uniform(-math.pi, math.pi, n)
    alt = rng.uniform(-5e6, 4e7, n) * (Re / EARTH[0])
    z = rng.choice([-1.0, 1.0], n) * ((1 - f) * Re + alt)
    return np.stack([rho * np.cos(lon), rho * np.sin(lon), z], axis=1)


NEAR_AXIS = [
    pytest.param(*EARTH, 1e-6, id="earth"),
    pytest.param(1.0e7, 0.02, 1e-6 * 1e7 / EARTH[0], id="1e7-0.02"),
    pytest.param(2.0, 0.25, 1e-6 * 2.0 / EARTH[0], id="2-0.25"),
]


@pytest.mark.parametrize(("Re", "f", "tol"), NEAR_AXIS)
@pytest.mark.parametrize(
    "rho_exponents",
    [pytest.param((-8, -5), id="inside-1e-5"), pytest.param((-5, 4), id="1e-5-to-10km")],
)
def test_lla_from_pos_altitude_near_axis(Re, f, tol, rho_exponents):
    """Up to 10 km (scaled with Re) from the polar axis, for altitudes -5e6 m to 4e7 m, the
    altitude is within 1e-6 m of the exact one, on both sides of any switch-over."""
    scale = Re / EARTH[0]
    r = _near_axis_points(Re, f, 1500, (rho_exponents[0], rho_exponents[1]), 11)
    r[:, :2] *= min(scale, 1.0)
    got = ellipsoid(Re, f).lla_from_pos(r)["alt"]
    exact = np.array([ref.altitude_exact(Re, f, *p) for p in r.tolist()])
    # Within 1e-5 m of the axis the altitude is the distance from the pole along the axis, off
    # by about rho^2 / Rp: nothing for an Earth-sized ellipsoid, visible on a 2 m one.
    rho = _rho(r)
    bound = tol + np.where(rho < 1e-5, rho * rho / ((1 - f) * Re), 0.0)
    err = np.abs(got - exact)
    worst = int(np.argmax(err / bound))
    assert err[worst] <= bound[worst], (
        f"altitude error {err[worst]:.3g} m at r = {r[worst].tolist()} "
        f"(distance from axis {_rho(r)[worst]:.3g} m): got {got[worst]!r}, exact {exact[worst]!r}"
    )


def test_lla_from_pos_keeps_the_formula_where_it_is_accurate():
    """On WGS84 for |lat| <= 1.5 rad within 1e6 m of the surface, every result is the formula's
    as stated (Newton iteration and closed-form altitude), bit for bit."""
    Re, f = EARTH
    rng = np.random.default_rng(12)
    lat = np.concatenate([rng.uniform(-1.5, 1.5, 4000), [-1.5, 1.5, 0.0]])
    lon = rng.uniform(-math.pi, math.pi, lat.size)
    alt = np.concatenate([rng.uniform(-1e6, 1e6, 4000), [1e6, -1e6, 1e6]])
    r = ellipsoid(Re, f).pos_from_lla(lat, lon, alt)
    expected = np.array([ref.lla_from_pos_specified(Re, f, p) for p in r.tolist()])
    assert_same_bits(_lla_rows(ellipsoid(Re, f).lla_from_pos(r)), expected, r, "lla_from_pos")


@pytest.mark.parametrize(("Re", "f"), ELLIPSOIDS)
def test_pos_from_lla_matches_reference(Re, f):
    rng = stable_rng("pos", Re, f)
    lat = latitudes(rng, 2000, wide=True)
    lon = longitudes(rng, 2000)
    alt = rng.uniform(-Re, 10 * Re, lat.size)
    alt[:40] = [0.0, -0.0, math.nan, math.inf, -math.inf, 1e300, -Re, (1 - f) * Re] * 5
    alt = rng.permutation(alt)
    expected = [
        ref.c_pos_from_lla(Re, f, *p) for p in zip(lat.tolist(), lon.tolist(), alt.tolist())
    ]
    got = ellipsoid(Re, f).pos_from_lla(lat, lon, alt)
    assert_same_bits(got, expected, np.stack([lat, lon, alt], axis=1), "pos_from_lla")


def _wrapped(angle):
    return (angle + math.pi) % (2 * math.pi) - math.pi


@pytest.mark.parametrize(
    ("alt_range", "lon_range", "tol_lat", "tol_lon", "tol_alt"),
    [
        pytest.param((-5e6, 4e7), (-math.pi, math.pi), 1e-12, 1e-15, 1e-4, id="wide"),
        pytest.param((-1e4, 1e4), (-math.pi, math.pi), 1e-13, 1e-15, 1e-7, id="near-surface"),
        pytest.param((-1e4, 1e4), (-20.0, 20.0), 1e-13, 1e-14, 1e-7, id="unreduced-lon"),
    ],
)
def test_geodetic_round_trip_on_earth(alt_range, lon_range, tol_lat, tol_lon, tol_alt):
    rng = np.random.default_rng(3)
    n = 5000
    lat = rng.uniform(-1.5, 1.5, n)
    lon = rng.uniform(*lon_range, n)
    alt = rng.uniform(*alt_range, n)
    e = ellipsoid(*EARTH)
    back = e.lla_from_pos(e.pos_from_lla(lat, lon, alt))
    np.testing.assert_allclose(back["lat"], lat, rtol=0, atol=tol_lat)
    assert (np.abs(back["lon"]) <= math.pi).all()
    np.testing.assert_allclose(_wrapped(back["lon"] - lon), 0.0, rtol=0, atol=tol_lon)
    np.testing.assert_allclose(back["alt"], alt, rtol=0, atol=tol_alt)


@pytest.mark.parametrize("Re", [1.0, 6371000.0])
def test_lla_from_pos_on_sphere(Re):
    """On a sphere the latitude is the geocentric one and the altitude |r| - Re."""
    rng = np.random.default_rng(5)
    r = rng.normal(size=(3000, 3)) * Re * 10.0 ** rng.uniform(-1, 1, (3000, 1))
    r = r[np.abs(r[:, 2]) <= 3 * _rho(r)]
    lla = ellipsoid(Re, 0.0).lla_from_pos(r)
    norm = np.linalg.norm(r, axis=1)
    np.testing.assert_allclose(lla["lat"], np.arctan2(r[:, 2], _rho(r)), rtol=0, atol=16 * EPS)
    rel = np.abs(lla["alt"] - (norm - Re)) / norm
    assert rel.max() <= 16 * EPS, (rel.max(), r[np.argmax(rel)])
    np.testing.assert_array_equal(lla["lon"], [math.atan2(y, x) for x, y, _ in r.tolist()])

    axis = np.array([[0.0, 0.0, 2.5 * Re], [0.0, -0.0, -0.5 * Re], [-0.0, 0.0, Re]])
    lla = ellipsoid(Re, 0.0).lla_from_pos(axis)
    np.testing.assert_array_equal(lla["lat"], [math.pi / 2, -math.pi / 2, math.pi / 2])
    np.testing.assert_array_equal(lla["lon"], [0.0, 0.0, 0.0])
    np.testing.assert_array_equal(lla["alt"], np.abs(axis[:, 2]) - Re)
