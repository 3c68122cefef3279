"""Latitude conversions and the reduced-latitude solver against the reference kernels."""

import math
import time

import numpy as np
import pytest
from helpers import (
    EARTH,
    ELLIPSOIDS,
    HALF_PI,
    assert_same_bits,
    ellipsoid,
    latitudes,
    positions,
    stable_rng,
)

from testsupport import reference as ref

CONVERSIONS = [
    pytest.param("reduced_lat_from_geodetic_lat", ref.c_reduced_lat_from_geodetic_lat, id="g2r"),
    pytest.param("geodetic_lat_from_reduced_lat", ref.c_geodetic_lat_from_reduced_lat, id="r2g"),
]


@pytest.mark.parametrize(("Re", "f"), ELLIPSOIDS)
@pytest.mark.parametrize(("method", "kernel"), CONVERSIONS)
def test_conversion_matches_reference(Re, f, method, kernel):
    e = ellipsoid(Re, f)
    lat = latitudes(stable_rng(method, Re, f), 2000, wide=True)
    expected = [kernel(Re, f, x) for x in lat]
    assert_same_bits(getattr(e, method)(lat), expected, lat, method)
    # The scalar path gives the same bits as the array path.
    scalar = [getattr(e, method)(float(x)) for x in lat[-60:]]
    assert all(type(v) is float for v in scalar)
    assert_same_bits(scalar, expected[-60:], lat[-60:], method + " (scalar)")


@pytest.mark.parametrize(("Re", "f"), ELLIPSOIDS)
def test_conversions_are_inverse(Re, f):
    e = ellipsoid(Re, f)
    lat = np.linspace(-HALF_PI, HALF_PI, 4001)[1:-1]
    back = e.geodetic_lat_from_reduced_lat(e.reduced_lat_from_geodetic_lat(lat))
    np.testing.assert_allclose(back, lat, rtol=0, atol=2e-15)


@pytest.mark.parametrize(("Re", "f"), ELLIPSOIDS)
def test_solver_matches_reference(Re, f):
    r = positions(stable_rng("solver", Re, f), Re, f, 2000)
    expected = [ref.c_solve_reduced_lat_equation(Re, f, p) for p in r]
    assert_same_bits(ellipsoid(Re, f).solve_reduced_lat_equation(r), expected, r, "solver")


@pytest.mark.parametrize(("Re", "f"), [EARTH, (2.0, 0.25), (3.0, 0.5)])
def test_solver_finds_reduced_latitude_of_surface_points(Re, f):
    b = np.linspace(-HALF_PI, HALF_PI, 1001)[1:-1]
    r = np.stack([Re * np.cos(b), np.zeros_like(b), (1 - f) * Re * np.sin(b)], axis=1)
    beta = ellipsoid(Re, f).solve_reduced_lat_equation(r)
    np.testing.assert_allclose(beta, b, rtol=0, atol=ref.NEWTON_TOLERANCE)


@pytest.mark.parametrize(("Re", "f"), [(1.0, 0.0), (6371000.0, 0.0), (2.0, -0.0)])
def test_solver_on_sphere_gives_geocentric_latitude(Re, f):
    r = positions(stable_rng("sphere", Re, f), Re, f, 400)[:-512]
    beta = ellipsoid(Re, f).solve_reduced_lat_equation(r)
    geocentric = [math.atan2(z, ref.hypot(x, y)) for x, y, z in r.tolist()]
    ok = np.linalg.norm(r, axis=1) > 0
    assert not np.isnan(beta[ok]).any()
    assert np.isnan(beta[~ok]).all(), "the centre has no single nearest point"
    assert_same_bits(beta[ok], np.array(geocentric)[ok], r[ok], "geocentric latitude")


def _near_centre(Re, f, n, seed):
    rng = np.random.default_rng(seed)
    scale = Re * f * (2 - f)
    return rng.normal(size=(n, 3)) * scale * rng.uniform(0, 2, (n, 1))


@pytest.mark.parametrize(("Re", "f"), [EARTH, (2.0, 0.25), (3.0, 0.5)])
def test_solver_near_centre_is_bounded(Re, f):
    """Near the centre the formula's iteration may wander: the solver still finishes, agrees
    with the reference both where the iteration settles late and where it runs into its step
    bound, and stays in [-pi/2, pi/2] with a finite answer."""
    r = _near_centre(Re, f, 6000, 7)
    runs = [ref.newton_reduced_lat(Re, f, *p) for p in r]
    steps = np.array([s for _, s in runs])
    hit_bound = steps == ref.MAX_NEWTON_STEPS
    assert hit_bound.any(), "sample lacks points on which the iteration never settles"
    assert ((steps > 100) & ~hit_bound).any(), "sample lacks points that settle late"

    e = ellipsoid(Re, f)
    start = time.perf_counter()
    beta = e.solve_reduced_lat_equation(r)
    assert time.perf_counter() - start < 5.0
    assert (np.abs(beta) <= HALF_PI).all()
    assert_same_bits(beta, [ref.c_solve_reduced_lat_equation(Re, f, p) for p in r], r, "solver")
    # The same points through lla_from_pos finish as well.
    lla = e.lla_from_pos(r[hit_bound])
    assert np.isfinite(lla["lat"]).all()


@pytest.mark.parametrize(
    ("Re", "f", "r", "expected"),
    [
        pytest.param(2.0, 0.25, (0.875, 0.0, 0.0), 0.0, id="evolute-cusp"),
        pytest.param(2.0, 0.25, (0.0, 0.0, 0.0), math.nan, id="origin"),
        pytest.param(2.0, 0.25, (3.0, -1.0, 0.0), 0.0, id="equatorial-plane"),
        pytest.param(*EARTH, (0.0, 0.0, 7e6), HALF_PI, id="north-axis"),
        pytest.param(*EARTH, (0.0, -0.0, -7e6), -HALF_PI, id="south-axis"),
    ],
)
def test_solver_special_points(Re, f, r, expected):
    beta = ellipsoid(Re, f).solve_reduced_lat_equation(np.array(r))
    assert type(beta) is float
    if math.isnan(expected):
        assert math.isnan(beta)
    else:
        assert beta == expected
