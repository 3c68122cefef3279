"""Numerical truth over the accepted domain, against 60-digit decimals (mpmath).

One unit here is 2.2e-16 max(Re, |r|): a unit in the last place of the larger of the two.
"""

import math

import numpy as np
import pytest
import reference as ref
from helpers import EARTH, EPS, HALF_PI, ellipsoid

Re_EARTH, F_EARTH = EARTH


def _exact_lla(Re, f, r):
    return np.array([[float(v) for v in ref.foot_exact(Re, f, *p)[1:]] for p in r.tolist()])


def _directions(rng, n):
    d = rng.normal(size=(n, 3))
    return d / np.linalg.norm(d, axis=1)[:, None]


def _units(Re, r):
    return EPS * np.maximum(Re, np.max(np.abs(r), axis=1))


def _assert_lla_true(Re, f, r, alt_units, what):
    """Altitude within alt_units units of the truth; latitude within 6e-14 rad, or as far as
    a few units of position move it (by 1 / (M + alt), M the meridian's radius of curvature:
    near the centre of curvature the latitude itself is ill-conditioned)."""
    lla = ellipsoid(Re, f).lla_from_pos(r)
    exact = _exact_lla(Re, f, r)
    units = _units(Re, r)
    dalt = np.abs(lla["alt"] - exact[:, 1]) / units
    worst = int(np.argmax(np.nan_to_num(dalt, nan=np.inf)))
    assert (dalt <= alt_units).all(), (
        f"{what}: altitude {dalt[worst]:.3g} units off at r = {r[worst].tolist()}: "
        f"got {lla['alt'][worst]!r}, exact {exact[worst, 1]!r}"
    )
    e2 = f * (2 - f)
    meridian_radius = Re * (1 - e2) / (1 - e2 * np.sin(exact[:, 0]) ** 2) ** 1.5
    with np.errstate(divide="ignore"):  # at a centre of curvature any latitude will do
        lat_tol = 6e-14 + 16 * units / np.abs(meridian_radius + exact[:, 1])
    dlat = np.abs(lla["lat"] - exact[:, 0])
    worst = int(np.argmax(np.nan_to_num(dlat / lat_tol, nan=np.inf)))
    assert (dlat <= lat_tol).all(), (
        f"{what}: latitude {dlat[worst]:.3g} rad off at r = {r[worst].tolist()}"
    )


@pytest.mark.parametrize("f", [0.0, F_EARTH, 0.1, 0.5, 0.6, 0.9, 0.99])
def test_foot_is_the_nearest(f):
    """From the centre out to 100 km, on the surface and far above it: the latitude and the
    altitude are those of the nearest foot of a normal (never another foot, never NaN), the
    solver stays in [-pi/2, pi/2], and the position comes back from them."""
    rng = np.random.default_rng(int(f * 1000) + 1)
    Re = Re_EARTH
    n = 60
    near = _directions(rng, n) * rng.uniform(0, 1e5, (n, 1))
    near[0] = [1e-3, 0.0, -2e-3]
    lat = rng.uniform(-HALF_PI, HALF_PI, 2 * n)
    lon = rng.uniform(-math.pi, math.pi, 2 * n)
    alt = np.concatenate([np.zeros(n), Re * 10.0 ** rng.uniform(-3, 2, n)])
    r = np.concatenate([near, ellipsoid(Re, f).pos_from_lla(lat, lon, alt)])
    e = ellipsoid(Re, f)
    beta = e.solve_reduced_lat_equation(r)
    assert (np.abs(beta) <= HALF_PI).all()
    _assert_lla_true(Re, f, r, 16, f"f = {f}")
    # The answer puts the point back where it was: its foot is a foot of the normal through it.
    lla = e.lla_from_pos(r)
    back = e.pos_from_lla(lla["lat"], lla["lon"], lla["alt"])
    assert (np.abs(back - r).max(axis=1) <= 1e6 * _units(Re, r)).all()


@pytest.mark.parametrize("Re", [2e-5, 1.0, Re_EARTH, 1e12])
def test_scale_and_far_axis(Re):
    """A scaled Earth behaves like the Earth: every threshold scales with Re and |r|. Next to
    the axis and far along it the altitude is right to a few units."""
    rng = np.random.default_rng(17)
    f = F_EARTH
    n = 60
    lat = rng.uniform(-HALF_PI, HALF_PI, n)
    surface = ellipsoid(Re, f).pos_from_lla(
        lat, rng.uniform(-3, 3, n), Re * rng.uniform(-0.1, 2, n)
    )
    rho = Re * 10.0 ** rng.uniform(-12, -2, n)
    z = Re * 10.0 ** rng.uniform(-0.2, 9, n) * rng.choice([-1.0, 1.0], n)
    axis = np.stack([rho, np.zeros(n), z], axis=1)
    r = np.concatenate([surface, axis, [[1.1e4 * Re / Re_EARTH, 0.0, 1e15 * Re / Re_EARTH]]])
    _assert_lla_true(Re, f, r, 16, f"Re = {Re}")


def _sphere_poles():
    Re = 6378137.0
    return np.array(
        [
            [0.0625, 0.0, Re],
            [12000.0, 0.0, 1e9],
            [1e155, 0.0, 1e155],
            [3e-162, 0.0, 3e-162],
            [1e-300, 2e-300, -5e-301],
            [1e300, -1e300, 3e299],
            [1e-3, 0.0, -7e6],
        ]
    )


@pytest.mark.parametrize("case", ["sphere", "surface coordinates"])
def test_pole_conditioning(case):
    """The geocentric latitude of a sphere and the surface coordinates near the poles come from
    well-conditioned forms: right to a unit or two, overflow and underflow included."""
    if case == "sphere":
        r = _sphere_poles()
        _assert_lla_true(6378137.0, 0.0, r, 2, "sphere")
        lat = ellipsoid(6378137.0, 0.0).lla_from_pos(r)["lat"]
        assert (np.abs(lat - _exact_lla(6378137.0, 0.0, r)[:, 0]) <= 2 * EPS).all()
        return
    Re, f = EARTH
    e = ellipsoid(Re, f)
    lat = np.concatenate([HALF_PI - 10.0 ** np.linspace(-16, -1, 40), [1.5707963162994723]])
    lat = np.concatenate([lat, -lat])
    got = e.surf_coord_from_surf_pos(e.surf_pos_from_surf_coord(lat, lat))["lat"]
    r = e.surf_pos_from_surf_coord(lat, lat)
    exact = _exact_lla(Re, f, r)[:, 0]
    assert (np.abs(got - exact) <= 4 * EPS).all(), np.abs(got - exact).max()


@pytest.mark.parametrize("length", [1e-170, 1e-3, 1.0, 1e160])
@pytest.mark.parametrize("distance", [1e7, 1e9, 1e12])
def test_far_rays(distance, length):
    """The hit point of a ray from far away, with a direction of any length, is right to a few
    units of the source's distance."""
    Re, f = EARTH
    rng = np.random.default_rng(int(math.log10(distance)))
    n = 20
    src = _directions(rng, n) * distance
    u = rng.uniform(-0.5, 0.5, (n, 3)) * Re - src
    u *= length / np.linalg.norm(u, axis=1)[:, None]
    e = ellipsoid(Re, f)
    hit = np.array([e.surf_pos_of_ray_first_intersection(s, v) for s, v in zip(src, u)])
    exact = np.array(
        [
            [float(c) for c in ref.ray_hit_exact(Re, f, s, v)]
            for s, v in zip(src.tolist(), u.tolist())
        ]
    )
    err = np.linalg.norm(hit - exact, axis=1)
    assert (err <= 8 * EPS * distance).all(), err.max()
