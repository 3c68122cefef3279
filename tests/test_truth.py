"""Numerical truth over the accepted domain, against 60-digit decimals (mpmath).

One unit here is 2.2e-16 max(Re, |r|): a unit in the last place of the larger of the two.
"""

import math
import sys

import numpy as np
import pytest
from helpers import EARTH, EPS, HALF_PI, ellipsoid, observed

from testsupport import reference as ref

Re_EARTH, F_EARTH = EARTH
TINY, DBL_MAX = 5e-324, sys.float_info.max


def _exact_lla(Re, f, r):
    return np.array([[float(v) for v in ref.foot_exact(Re, f, *p)[1:]] for p in r.tolist()])


def _directions(rng, n):
    d = rng.normal(size=(n, 3))
    return d / np.linalg.norm(d, axis=1)[:, None]


def _units(Re, r):
    # Below the normal range a unit is the spacing of the subnormals.
    return np.maximum(EPS * np.maximum(Re, np.max(np.abs(r), axis=1)), TINY)


def _foot_gap(Re, f, lat, exact_lat):
    """Distance between the surface points at two geodetic latitudes of one meridian."""
    import mpmath as mp

    with mp.workdps(40 + 2 * int(-math.log10(1 - f))):
        a, b = mp.mpf(Re), (1 - mp.mpf(f)) * mp.mpf(Re)

        def foot(phi):
            beta = mp.atan((b / a) * mp.tan(mp.mpf(phi)))
            return a * mp.cos(beta), b * mp.sin(beta)

        (u0, w0), (u1, w1) = foot(lat), foot(exact_lat)
        return float(mp.sqrt((u0 - u1) ** 2 + (w0 - w1) ** 2))


def _assert_lla_true(Re, f, r, alt_units, what):
    """Altitude within alt_units units of the truth; latitude within 6e-14 rad, or as far as
    a few units of position move it (by 1 / (M + alt), M the meridian's radius of curvature:
    near the centre of curvature the latitude itself is ill-conditioned), or its foot on the
    surface within 16 units of the true foot (at the rim of a strongly flattened ellipsoid a
    unit of position turns the normal by up to pi/2)."""
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
    with np.errstate(all="ignore"):  # at a centre of curvature any latitude will do
        meridian_radius = Re * (1 - e2) / (1 - e2 * np.sin(exact[:, 0]) ** 2) ** 1.5
        lat_tol = 6e-14 + 16 * units / np.abs(meridian_radius + exact[:, 1])
    lat_tol[np.isnan(lat_tol)] = 6e-14  # f so close to 1 that M is 0 / 0 in doubles
    dlat = np.abs(lla["lat"] - exact[:, 0])
    for i in np.flatnonzero(~(dlat <= lat_tol) & np.isfinite(lla["lat"])):
        if _foot_gap(Re, f, lla["lat"][i], exact[i, 0]) <= 16 * units[i]:
            dlat[i] = 0
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


@pytest.mark.parametrize("length", [1e-170, 1.0, 1e160])
@pytest.mark.parametrize("distance", [1e7, 2.5e7, 1e12, 2.0**330, 2.0**1010])
def test_far_rays(distance, length):
    """The hit point of a ray from any distance, with a direction of any length, is right to a
    few units of Re: the line's point closest to the centre carries no cancellation."""
    Re, f = EARTH
    rng = np.random.default_rng(int(math.log10(distance)))
    n = 12
    if distance < 1e15:  # any line aimed inside
        src = _directions(rng, n) * distance
        u = rng.uniform(-0.5, 0.5, (n, 3)) * Re - src
        u *= length / np.linalg.norm(u, axis=1)[:, None]
    else:  # farther, lines that doubles give exactly: along integer directions with a zero
        # component, offset along that component (a unit of the source's distance is > Re)
        u = rng.integers(1, 1000, (n, 3)) * rng.choice([-1.0, 1.0], (n, 3))
        axis = rng.integers(0, 3, n)
        u[np.arange(n), axis] = 0
        src = (-distance / 1024) * u
        src[np.arange(n), axis] = rng.uniform(-0.6, 0.6, n) * Re
        u = np.ldexp(u, round(math.log2(length)) - 10)
    e = ellipsoid(Re, f)
    hit = np.array([e.surf_pos_of_ray_first_intersection(s, v) for s, v in zip(src, u)])
    err = np.linalg.norm(hit - _ray_truth(Re, f, src, u), axis=1)
    assert (err <= 8 * EPS * Re).all(), err.max() / (EPS * Re)


@pytest.mark.parametrize(
    ("Re", "src", "u"),
    [
        (Re_EARTH, [2e154, 0.0, 0.0], [-1.0, 0.0, 0.0]),
        (Re_EARTH, [1e150, 1e6, 2e6], [-1.0, 0.0, 0.0]),
        (1e155, [2e155, 0.0, 0.0], [-1.0, 0.1, 0.0]),
        (1e-300, [2e-300, 0.0, 0.0], [-1.0, 0.0, 0.0]),
    ],
)
def test_far_ray_lines(Re, src, u):
    """Lines given exactly, from far sources or on ellipsoids whose squares leave the range."""
    hit = ellipsoid(Re, F_EARTH).surf_pos_of_ray_first_intersection(np.array(src), np.array(u))
    exact = _ray_truth(Re, F_EARTH, np.array([src]), np.array([u]))[0]
    assert np.abs(hit - exact).max() <= 4 * EPS * Re


def _ray_truth(Re, f, src, u):
    return np.array(
        [
            [float(c) for c in ref.ray_hit_exact(Re, f, s, v)]
            for s, v in zip(src.tolist(), u.tolist())
        ]
    )


@pytest.mark.parametrize(
    "Re", [TINY, 1e-320, 1e-310, 1e-300, 1e-160, 1e-100, 1e155, 1e300, DBL_MAX]
)
def test_scale_free(Re):
    """From the smallest subnormal Re to DBL_MAX, with points near the centre, on the surface and
    far out: lla_from_pos, rays and aer_coords are those of a scaled Earth, right to a few units
    (exact power-of-two scaling: no square or product leaves the range)."""
    rng = np.random.default_rng(abs(math.frexp(Re)[1]) + 5)
    f, n = F_EARTH, 24
    lat, lon = rng.uniform(-HALF_PI, HALF_PI, n), rng.uniform(-3, 3, n)
    q = np.array([ref.c_pos_from_lla(1.0, f, *p) for p in zip(lat, lon, rng.uniform(-0.5, 1, n))])
    factor = np.array([1e-9, 1e-3, 1.0, 1e3])[rng.integers(0, 3 if Re > 1e300 else 4, n)]
    r = (q * (0.5 * factor)[:, None]) * Re
    keep = np.abs(r).max(axis=1) > 0  # not the centre (points that Re = 5e-324 rounds to it)
    r, lat, lon, factor = r[keep], lat[keep], lon[keep], factor[keep]
    _assert_lla_true(Re, f, r, 16, f"Re = {Re}")
    e = ellipsoid(Re, f)
    # Rays from 3 Re (0.45 Re at the top of the range) aimed inside.
    src = _directions(rng, n) * (Re * (0.45 if Re > 1e300 else 3.0))
    u = rng.uniform(-0.3, 0.3, (n, 3)) * Re - src
    hit = np.array([e.surf_pos_of_ray_first_intersection(s, v) for s, v in zip(src, u)])
    err = np.abs(hit - _ray_truth(Re, f, src, u)).max(axis=1)
    assert (err <= 8 * _units(Re, src)).all(), err.max() / (EPS * Re)
    # Targets about Re away from an observer on the surface.
    far = r[factor >= 1]
    aer = e.aer_coords(far, lat[0], lon[0], 0.0)
    exact = np.array(
        [[float(v) for v in ref.aer_exact(Re, f, t, lat[0], lon[0], 0.0)] for t in far]
    )
    units = _units(Re, far)
    ok = (exact[:, 2] > 0) & (exact[:, 2] <= DBL_MAX)  # a range that a double holds
    aer, exact, units = aer[ok], exact[ok], units[ok]
    assert (np.abs(aer["range"] - exact[:, 2]) <= 8 * units).all()
    assert (np.abs(aer["elevation"] - exact[:, 1]) <= 8 * EPS + 8 * units / exact[:, 2]).all()


def _extreme_points(rng, Re, f, n):
    lat, lon = rng.uniform(-HALF_PI, HALF_PI, n), rng.uniform(-3, 3, n)
    alt = Re * rng.uniform(0, 10, n) * rng.integers(0, 2, n)  # half on the surface
    surface = np.array([ref.c_pos_from_lla(Re, f, *p) for p in zip(lat, lon, alt)])
    return np.concatenate([surface, _directions(rng, n) * 10.0 ** rng.uniform(-100, 7, (n, 1))])


@pytest.mark.parametrize(
    ("f", "points"),
    [
        pytest.param(
            F_EARTH,
            [[-7.225105145143243e-101, -1.0856608193225156e-100, 4.3358183431324236e-101]],
            id="next-to-the-centre",
        ),
        pytest.param(
            F_EARTH,
            [[20000.0, 0.0, 1e-320], [5e-324, 1e-160, 5e-324]],
            id="subnormal-z-in-the-evolute",
        ),
        pytest.param(1 - 2.0**-53, [[1e6, 0.0, 1e-9]], id="thinnest-disc-above-the-pole"),
        pytest.param(1 - 1e-9, None, id="f=1-1e-9"),
        pytest.param(1 - 1e-14, None, id="f=1-1e-14"),
        pytest.param(1 - 2.0**-53, None, id="f=1-2^-53"),
    ],
)
def test_centre_evolute_extreme_flattening(f, points):
    """Down to the centre (within 1e-100 m), with a subnormal z inside the evolute and up to
    f = 1 - 2^-53: the nearest foot, with the altitude right to a few units."""
    rng = np.random.default_rng(int(-math.log2(1 - f)))
    r = np.array(points) if points else _extreme_points(rng, Re_EARTH, f, 30)
    _assert_lla_true(Re_EARTH, f, r, 16, f"f = {f}")


def _outside_the_band(rng, Re, f, region, n):
    """n points of a region outside the protected band (|lat| <= 1.5, |alt| <= 1e6 m)."""
    e, b = ellipsoid(Re, f), (1 - f) * Re
    sign = rng.choice([-1.0, 1.0], n)
    lon = rng.uniform(-math.pi, math.pi, n)
    if region == "far":  # 1e6 m to 4e7 m up
        return e.pos_from_lla(sign * rng.uniform(0, 1.5, n), lon, rng.uniform(1e6, 4e7, n))
    if region == "poles":  # beyond 1.5 rad, from under the surface to 1e6 m up
        lat = sign * rng.uniform(1.5, HALF_PI, n)
        return e.pos_from_lla(lat, lon, rng.uniform(-min(1e6, b / 4), 1e6, n))
    return _directions(rng, n) * 10.0 ** rng.uniform(-3, 0, (n, 1)) * Re  # inside, to the centre


@pytest.mark.parametrize("f", [0.0, F_EARTH, 0.5, 0.99])
@pytest.mark.parametrize("region", ["far", "poles", "inside"])
def test_outside_the_band_within_a_unit(f, region):
    """Outside the protected band lla_from_pos gives the truth to 4e-16 rad of latitude and 2
    units of altitude (5.7e-14 rad and 11 to 67 units before, the formula's Newton iteration
    and closed form)."""
    rng = np.random.default_rng(int(100 * f) + len(region))
    r = _outside_the_band(rng, Re_EARTH, f, region, 40)
    exact = _exact_lla(Re_EARTH, f, r)
    r = r[~((np.abs(exact[:, 0]) <= 1.5) & (np.abs(exact[:, 1]) <= 1e6))]
    exact = exact[~((np.abs(exact[:, 0]) <= 1.5) & (np.abs(exact[:, 1]) <= 1e6))]
    lla = ellipsoid(Re_EARTH, f).lla_from_pos(r)
    assert np.abs(lla["lat"] - exact[:, 0]).max() <= 4e-16
    assert (np.abs(lla["alt"] - exact[:, 1]) / _units(Re_EARTH, r)).max() <= 2


@pytest.mark.parametrize("depth", [1e-2, 1e-5, 1e-8, 1e-12, 0.0])
def test_aer_near_the_zenith(depth):
    """Within depth of the zenith or the nadir the elevation is right to what a unit of the
    observer's position allows (the arcsine of up / range lost up to 1e-7 rad there), and
    frames.aer_from_lla gives the same bits as aer_coords."""
    from quorvane.mathtools.ellipsoid import frames

    rng = np.random.default_rng(int(depth * 1e12) + 3)
    Re, f = EARTH
    e, n = ellipsoid(Re, f), 20
    lat, lon, alt = rng.uniform(-1.5, 1.5), rng.uniform(-3, 3), rng.uniform(0, 1e3)
    east, north, up = ref.c_enu(Re, f, lat, lon)
    az = rng.uniform(-math.pi, math.pi, n)
    el = (HALF_PI - depth) * rng.choice([-1.0, 1.0], n)
    dist = 10.0 ** rng.uniform(3, 7, n)
    horizontal = np.cos(el)[:, None] * (
        np.sin(az)[:, None] * np.array(east) + np.cos(az)[:, None] * np.array(north)
    )
    targets = e.pos_from_lla(lat, lon, alt) + dist[:, None] * (
        horizontal + np.sin(el)[:, None] * np.array(up)
    )
    if depth == 1e-8:  # the reproducer: exactly pi/2 before, 2.1e-8 rad above the truth
        targets[0] = [-1633942.9681667427, -6127004.465342427, 725638.8038948854]
        lat, lon, alt = 0.11469865470246066, -1.8314101636108504, 241.54646207910525
    aer = e.aer_coords(targets, lat, lon, alt)
    exact = np.array([[float(v) for v in ref.aer_exact(Re, f, t, lat, lon, alt)] for t in targets])
    tol = 4 * EPS + 8 * EPS * np.maximum(Re, np.abs(targets).max(axis=1)) / exact[:, 2]
    assert (np.abs(aer["elevation"] - exact[:, 1]) <= tol).all()
    assert (np.abs(aer["range"] - exact[:, 2]) <= 8 * _units(Re, targets)).all()
    lla = e.lla_from_pos(targets)
    via_frames = frames.aer_from_lla(e, lla["lat"], lla["lon"], lla["alt"], lat, lon, alt)
    direct = e.aer_coords(e.pos_from_lla(lla["lat"], lla["lon"], lla["alt"]), lat, lon, alt)
    direct = observed(direct)
    for name in ("azimuth", "elevation", "range"):
        np.testing.assert_array_equal(via_frames[name], direct[name])
