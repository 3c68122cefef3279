"""Observation methods: azimuth-elevation-range and ray-surface intersection."""

import math

import numpy as np
import pytest
from helpers import (
    EARTH,
    ELLIPSOIDS,
    EPS,
    HALF_PI,
    assert_same_bits,
    ellipsoid,
    latitudes,
    longitudes,
    run_python,
    same,
    stable_rng,
)

from testsupport import reference as ref

QUIET_NAN_BITS = 0x7FF8000000000000


def _aer_rows(aer):
    return np.stack([aer["azimuth"], aer["elevation"], aer["range"]], axis=1)


def _targets_around(rng, Re, f, lat, lon, alt):
    r_obs = np.array(ref.c_pos_from_lla(Re, f, lat, lon, alt))
    near = r_obs + rng.normal(size=(10, 3)) * Re * 10.0 ** rng.uniform(-6, 0, (10, 1))
    far = rng.normal(size=(4, 3)) * 3 * Re
    vertical = [ref.c_pos_from_lla(Re, f, lat, lon, alt + d) for d in (1e-3 * Re, -0.5 * Re)]
    odd = [r_obs, [math.nan, 0.0, 0.0], [math.inf, 1.0, 1.0], [0.0, -0.0, 0.0]]
    return np.concatenate([near, far, vertical, odd])


@pytest.mark.parametrize(("Re", "f"), ELLIPSOIDS)
def test_aer_coords_matches_reference(Re, f):
    rng = stable_rng("aer", Re, f)
    lats = latitudes(rng, 100, wide=True)
    lons = longitudes(rng, 100)
    alts = rng.uniform(-0.1 * Re, 2 * Re, lats.size)
    alts[::17] = [0.0, math.nan, -math.inf, 1e300, -0.0, 5e-324, 0.0, 1.0][: alts[::17].size]
    e = ellipsoid(Re, f)
    for lat, lon, alt in zip(lats.tolist(), lons.tolist(), alts.tolist()):
        targets = _targets_around(rng, Re, f, lat, lon, alt)
        expected = [ref.c_aer_coords(Re, f, t, lat, lon, alt) for t in targets.tolist()]
        got = _aer_rows(e.aer_coords(targets, lat, lon, alt))
        assert_same_bits(got, expected, targets, f"aer_coords from {(lat, lon, alt)!r}")


def _unclamped_up_over_range(Re, f, r_target, lat, lon, alt):
    r_to = ref.vec_sub(r_target, ref.c_pos_from_lla(Re, f, lat, lon, alt))
    up = ref.vec_dot(r_to, ref.surf_normal_vector(Re, f, lat, lon))
    return up / ref.vec_norm(r_to)


@pytest.mark.parametrize(("Re", "f"), [EARTH, (2.0, 0.25), (3.0, 0.5), (1.0, 0.0)])
def test_vertical_targets_have_finite_elevation(Re, f):
    """Targets straight above or below the observer: elevation +-pi/2, never NaN, even where
    rounding puts up / range beyond 1."""
    rng = np.random.default_rng(17)
    e = ellipsoid(Re, f)
    lats = np.linspace(-HALF_PI, HALF_PI, 361)
    beyond_one = 0
    for lat in lats.tolist():
        lon = float(rng.uniform(-math.pi, math.pi))
        alt = float(rng.uniform(-0.01, 0.1) * Re)
        d = 10.0 ** rng.uniform(-6, 0, 8) * Re * np.array([1, -1] * 4)
        targets = np.array([ref.c_pos_from_lla(Re, f, lat, lon, alt + x) for x in d.tolist()])
        beyond_one += sum(
            abs(_unclamped_up_over_range(Re, f, t, lat, lon, alt)) > 1 for t in targets.tolist()
        )
        elevation = e.aer_coords(targets, lat, lon, alt)["elevation"]
        assert not np.isnan(elevation).any(), (lat, lon, alt, d, elevation)
        tol = 1e-7 + 16 * EPS * 3 * Re / np.abs(d)
        assert (np.abs(elevation - np.sign(d) * HALF_PI) <= tol).all(), (lat, lon, alt, d)
    assert beyond_one, "no vertical target rounded past |up / range| = 1: the test proves nothing"


def test_target_at_observer_has_nan_elevation():
    Re, f = EARTH
    e = ellipsoid(Re, f)
    for lat, lon, alt in [(0.3, -1.2, 100.0), (HALF_PI, 0.0, 0.0), (-1.0, 3.0, -2e3)]:
        r_obs = e.pos_from_lla(lat, lon, alt)
        aer = e.aer_coords(r_obs, lat, lon, alt)
        assert aer["range"][0] == 0.0
        assert np.isnan(aer["elevation"][0])


@pytest.mark.parametrize(
    ("direction", "azimuth"),
    [("north", 0.0), ("east", HALF_PI), ("west", -HALF_PI), ("south", math.pi)],
)
def test_azimuth_of_horizontal_targets(direction, azimuth):
    Re, f = EARTH
    e = ellipsoid(Re, f)
    rng = np.random.default_rng(23)
    for lat, lon in zip(rng.uniform(-1.4, 1.4, 50).tolist(), rng.uniform(-4, 4, 50).tolist()):
        u_east, u_north, _ = ref.c_enu(Re, f, lat, lon)
        step = {
            "north": np.array(u_north),
            "east": np.array(u_east),
            "west": -np.array(u_east),
            "south": -np.array(u_north),
        }[direction]
        r_obs = np.array(ref.c_pos_from_lla(Re, f, lat, lon, 500.0))
        targets = r_obs + np.outer([10.0, 1e3, 1e5], step)
        aer = e.aer_coords(targets, lat, lon, 500.0)
        diff = (aer["azimuth"] - azimuth + math.pi) % (2 * math.pi) - math.pi
        np.testing.assert_allclose(diff, 0.0, rtol=0, atol=1e-9)
        np.testing.assert_allclose(aer["elevation"], 0.0, rtol=0, atol=1e-9)
        np.testing.assert_allclose(aer["range"], [10.0, 1e3, 1e5], rtol=0, atol=1e-8)


def _ray_origins(rng, Re, f):
    rp = (1 - f) * Re
    return [
        (3 * Re, 0.0, 0.0),
        (0.0, 0.0, 0.0),
        (Re, 0.0, 0.0),
        (0.0, -Re, 0.0),
        (0.1 * Re, -0.2 * Re, 0.3 * rp),
        (0.0, 0.0, 2 * rp),
        (-1e3 * Re, 2e3 * Re, 5e2 * Re),
        tuple(ref.c_surf_pos_from_surf_coord(Re, f, 0.7, -2.0)),
        tuple((rng.normal(size=3) * 2 * Re).tolist()),
        (math.nan, 0.0, 0.0),
        (math.inf, 0.0, 0.0),
    ]


def _ray_directions(rng, n):
    u = rng.normal(size=(n, 3)) * 10.0 ** rng.uniform(-5, 5, (n, 1))
    axes = np.array(
        [[1, 0, 0], [-1, 0, 0], [0, 1, 0], [0, 0, 1], [0, 0, -1], [0, 0, 0], [-0.0, 0, 0]]
    )
    odd = np.array([[math.nan, 1, 0], [math.inf, 0, 0], [1e-300, 0, 0], [1e300, 1e300, 0]])
    return np.concatenate([u, axes, odd]).astype(np.float64)


@pytest.mark.parametrize(("Re", "f"), ELLIPSOIDS)
def test_ray_intersection_matches_reference(Re, f):
    rng = stable_rng("ray", Re, f)
    e = ellipsoid(Re, f)
    u = _ray_directions(rng, 300)
    for origin in _ray_origins(rng, Re, f):
        expected = [ref.c_surf_pos_of_ray_first_intersection(Re, f, origin, d) for d in u.tolist()]
        got = e.surf_pos_of_ray_first_intersection(np.array(origin), u)
        assert_same_bits(got, expected, u, f"ray from {origin!r}")
        single = e.surf_pos_of_ray_first_intersection(np.array(origin), u[0])
        assert_same_bits(single[None], expected[:1], u[:1], f"single ray from {origin!r}")


@pytest.mark.parametrize(("Re", "f"), ELLIPSOIDS)
def test_ray_from_outside_hits_where_it_enters(Re, f):
    rng = np.random.default_rng(29)
    e = ellipsoid(Re, f)
    origin = np.array([1.5 * Re, -0.5 * Re, 0.7 * Re])
    # Aim at points well inside, so every line enters and leaves the ellipsoid.
    u = rng.uniform(-0.4, 0.4, (500, 3)) * (1 - f) * Re - origin
    hit = e.surf_pos_of_ray_first_intersection(origin, u)

    def level(p):
        return (p[:, 0] ** 2 + p[:, 1] ** 2 + (p[:, 2] / (1 - f)) ** 2) / (Re * Re)

    np.testing.assert_allclose(level(hit), 1.0, rtol=0, atol=1e-13)
    step = 1e-6 * Re * u / np.linalg.norm(u, axis=1)[:, None]
    assert (level(hit - step) > 1).all(), "the point found is not where the line enters"
    assert (level(hit + step) < 1).all()


@pytest.mark.parametrize(("Re", "f"), ELLIPSOIDS)
def test_ray_direction_length_does_not_matter(Re, f):
    """Scaling the direction by a power of two changes no bit of the result."""
    rng = np.random.default_rng(37)
    e = ellipsoid(Re, f)
    origin = np.array([0.2 * Re, 2.0 * Re, -0.4 * Re])
    u = rng.normal(size=(200, 3))
    base = e.surf_pos_of_ray_first_intersection(origin, u)
    assert np.isfinite(base).any()
    for k in (-30, -1, 1, 17):
        scaled = e.surf_pos_of_ray_first_intersection(origin, np.ldexp(u, k))
        assert_same_bits(scaled, base, u, f"direction scaled by 2**{k}")
    backwards = e.surf_pos_of_ray_first_intersection(origin, -u)
    np.testing.assert_allclose(backwards, base, rtol=1e-12, atol=1e-12 * Re)


@pytest.mark.parametrize(
    ("Re", "f", "origin", "u", "expected"),
    [
        pytest.param(2.0, 0.25, (2.0, -5.0, 0.0), (0.0, 1.0, 0.0), (2.0, 0.0, 0.0), id="tangent"),
        pytest.param(
            2.0, 0.25, (2.0, 0.0, 0.0), (0.3, -0.2, 0.9), (2.0, 0.0, 0.0), id="on-surface"
        ),
        pytest.param(
            *EARTH, (0.0, 6378137.0, 0.0), (1, 2, 3), (0.0, 6378137.0, 0.0), id="on-earth"
        ),
        pytest.param(2.0, 0.25, (0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (-2.0, 0.0, 0.0), id="centre"),
        pytest.param(2.0, 0.0, (0.0, 0.0, 5.0), (0.0, 0.0, 1.0), (0.0, 0.0, 2.0), id="behind"),
    ],
)
def test_ray_intersection_special_lines(Re, f, origin, u, expected):
    got = ellipsoid(Re, f).surf_pos_of_ray_first_intersection(np.array(origin), np.array(u))
    np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize(
    ("origin", "u"),
    [
        ((6.0, 0.0, 0.0), (0.0, 1.0, 0.0)),
        ((0.0, 0.0, 4.0), (1.0, 1.0, 0.0)),
        ((1e6, -1e6, 3.0), (1.0, 1.0, 0.0)),
        ((3.0, 3.0, 3.0), (-1.0, 1.0, 0.0)),
    ],
)
def test_ray_missing_the_ellipsoid_gives_quiet_nan(origin, u):
    got = ellipsoid(2.0, 0.25).surf_pos_of_ray_first_intersection(np.array(origin), np.array(u))
    assert (np.asarray(got).view(np.uint64) == QUIET_NAN_BITS).all(), [v.hex() for v in got]


def test_zero_direction_gives_nan():
    got = ellipsoid(*EARTH).surf_pos_of_ray_first_intersection(
        np.array([7e6, 0.0, 0.0]), np.zeros((2, 3))
    )
    assert np.isnan(got).all()


def test_ray_hit_of_unvalidated_parameters_is_the_formulas_under_python_O():
    """Under -O the constructor keeps Re = -1, f = 2: the surface x^2 + y^2 + z^2 = Re^2 is
    the unit sphere, and the far-ray path (taken for Re outside the normal range) scales by
    |Re|, giving the formula's hit rather than NaN."""
    code = """
        import numpy as np
        from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid
        hit = Ellipsoid(-1.0, 2.0).surf_pos_of_ray_first_intersection(
            np.array([3.0, 0.0, 0.0]), np.array([-1.0, 0.1, 0.0]))
        print(*np.asarray(hit).tolist())
    """
    rc, out, err = run_python(code, "-O")
    assert rc == 0, err
    hit = np.array(out.split(), dtype=float)
    # (3 - l)^2 + (0.1 l)^2 = 1, the nearer root: l = (3 - sqrt(9 - 8.08)) / 1.01.
    near = (3.0 - math.sqrt(9.0 - 1.01 * 8.0)) / 1.01
    np.testing.assert_allclose(hit, [3.0 - near, 0.1 * near, 0.0], rtol=1e-15, atol=0)
    np.testing.assert_allclose(hit, [0.97937, 0.20206, 0.0], atol=1e-5)


def test_aer_coords_with_foreign_vector_routines_gives_the_same_bits(tmp_path):
    """With the package's own vector routines aer_coords calls them inline and
    may split its loop over threads; routines bound from another module (here
    the same code in capsules without the package's context) go through the
    bound pointers with an error probe after each call. Both give the same bits."""
    rng = stable_rng("foreign vector routines", *EARTH)
    targets = rng.normal(size=(50_000, 3)) * 7e6
    np.save(tmp_path / "targets.npy", targets)
    code = f"""
        import ctypes, sys, types
        import numpy as np
        import quorvane.mathtools.vectools.vectools as v
        api = ctypes.pythonapi
        api.PyCapsule_GetName.restype = ctypes.c_void_p
        api.PyCapsule_GetName.argtypes = [ctypes.py_object]
        api.PyCapsule_GetPointer.restype = ctypes.c_void_p
        api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_void_p]
        api.PyCapsule_New.restype = ctypes.py_object
        api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
        def rewrap(capsule):
            name = api.PyCapsule_GetName(capsule)
            return api.PyCapsule_New(api.PyCapsule_GetPointer(capsule, name), name, None)
        fake = types.ModuleType(v.__name__)
        fake.__pyx_capi__ = {{k: rewrap(c) for k, c in v.__pyx_capi__.items()}}
        sys.modules[v.__name__] = fake
        from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid
        e = Ellipsoid(6378137.0, 1 / 298.257223563)
        targets = np.load({str(tmp_path / "targets.npy")!r})
        np.save({str(tmp_path / "many.npy")!r}, e.aer_coords(targets, 0.6, -1.4, 250.0))
        np.save({str(tmp_path / "one.npy")!r}, e.aer_coords(targets[7], 0.6, -1.4, 250.0))
    """
    rc, _, err = run_python(code)
    assert rc == 0, err
    e = ellipsoid(*EARTH)
    assert same(np.load(tmp_path / "many.npy"), e.aer_coords(targets, 0.6, -1.4, 250.0))
    assert same(np.load(tmp_path / "one.npy"), e.aer_coords(targets[7], 0.6, -1.4, 250.0))
