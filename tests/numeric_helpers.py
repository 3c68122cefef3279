"""Shared inputs and comparisons for the numeric tests of the ellipsoid kernels."""

import importlib
import math

import numpy as np
import pytest
import reference as ref

EARTH = (6378137.0, 1 / 298.257223563)

# (Re, f) pairs: Earth-sized, a small strongly flattened one, two spheres, the largest
# flattening the kernels are stated for, a tiny one and a large one.
ELLIPSOIDS = [
    pytest.param(*EARTH, id="earth"),
    pytest.param(2.0, 0.25, id="2-0.25"),
    pytest.param(1.0, 0.0, id="unit-sphere"),
    pytest.param(6371000.0, 0.0, id="earth-sphere"),
    pytest.param(3.0, 0.5, id="3-0.5"),
    pytest.param(1e-3, 0.1, id="tiny-0.1"),
    pytest.param(1.0e7, 0.02, id="1e7-0.02"),
]

HALF_PI = math.pi / 2
EPS = ref.EPS

SPECIAL_ANGLES = [
    0.0,
    -0.0,
    HALF_PI,
    -HALF_PI,
    math.nextafter(HALF_PI, 0.0),
    math.nextafter(-HALF_PI, 0.0),
    math.nextafter(HALF_PI, 4.0),
    math.pi,
    -math.pi,
    1.5 * math.pi,
    2 * math.pi,
    -7.5,
    123456.789,
    1e-300,
    5e-324,
    -5e-324,
    1e300,
    math.nan,
    math.inf,
    -math.inf,
]


def ellipsoid(Re, f):
    """An ``Ellipsoid`` of the compiled module (imported only when a test runs)."""
    module = importlib.import_module("quorvane.mathtools.ellipsoid.ellipsoid")
    return module.Ellipsoid(Re, f)


def stable_rng(name, Re, f):
    """Seeded generator that does not depend on Python's string hashing."""
    seed = [sum(map(ord, name)), int(np.float64(Re).view(np.int64)) % 2**31, int(f * 2**30)]
    return np.random.default_rng(seed)


def latitudes(rng, n, wide=False):
    """Mostly in [-pi/2, pi/2], some well outside, plus the special values."""
    core = rng.uniform(-HALF_PI, HALF_PI, n)
    if wide:
        k = n // 4
        core[:k] = rng.uniform(-12.0, 12.0, k)
    return np.concatenate([core, SPECIAL_ANGLES])


def longitudes(rng, n):
    """Mostly in [-pi, pi], a quarter up to +-20, plus the special values (shuffled)."""
    core = rng.uniform(-math.pi, math.pi, n)
    k = n // 4
    core[:k] = rng.uniform(-20.0, 20.0, k)
    return np.concatenate([core, rng.permutation(SPECIAL_ANGLES)])


def special_positions(Re, f):
    """Every triple of a few awkward coordinates (signed zeros, non-finite, on the surface)."""
    values = [0.0, -0.0, math.nan, math.inf, -math.inf, Re, -(1 - f) * Re, 1e-300]
    grid = np.array(np.meshgrid(values, values, values, indexing="ij"))
    return grid.reshape(3, -1).T.copy()


def positions(rng, Re, f, n):
    """ECEF points: near the surface and far out, inside, near the centre, on the axis and in
    the equatorial plane, and the special triples."""
    e2 = f * (2 - f)
    parts = []
    m = n // 2
    lat = rng.uniform(-HALF_PI, HALF_PI, m)
    lon = rng.uniform(-math.pi, math.pi, m)
    alt = rng.uniform(-0.5 * Re, 5 * Re, m)
    parts.append([ref.c_pos_from_lla(Re, f, *p) for p in zip(lat, lon, alt)])
    m = n // 4
    parts.append(rng.normal(size=(m, 3)) * Re * 10.0 ** rng.uniform(-2, 1, (m, 1)))
    m = n // 10
    parts.append(rng.normal(size=(m, 3)) * Re * max(e2, 1e-3) * rng.uniform(0, 2, (m, 1)))
    m = n // 20
    axis = np.zeros((m, 3))
    axis[:, 2] = rng.uniform(-3 * Re, 3 * Re, m)
    axis[: m // 2, 0] = Re * 10.0 ** rng.uniform(-16, -9, m // 2)
    parts.append(axis)
    equator = np.zeros((m, 3))
    equator[:, :2] = rng.normal(size=(m, 2)) * Re
    parts.append(equator)
    parts.append(special_positions(Re, f))
    return np.concatenate([np.asarray(p, dtype=np.float64).reshape(-1, 3) for p in parts])


def mismatches(actual, expected):
    """Row mask where the doubles differ in any bit; two NaNs count as equal."""
    a = np.ascontiguousarray(actual, dtype=np.float64)
    e = np.ascontiguousarray(expected, dtype=np.float64)
    assert a.shape == e.shape, (a.shape, e.shape)
    same = (a.view(np.uint64) == e.view(np.uint64)) | (np.isnan(a) & np.isnan(e))
    if same.ndim > 1:
        same = same.reshape(same.shape[0], -1).all(axis=1)
    return ~same


def _fmt(v):
    v = np.asarray(v, dtype=np.float64)
    return "[" + ", ".join(float(x).hex() for x in v.ravel()) + "]" if v.ndim else float(v).hex()


def assert_same_bits(actual, expected, inputs, what):
    """Assert bit-identical doubles row by row, listing the first differing rows."""
    bad = np.flatnonzero(mismatches(actual, expected))
    if bad.size:
        rows = "\n".join(
            f"  input {np.asarray(inputs[i]).tolist()!r}: got {_fmt(np.asarray(actual)[i])}, "
            f"expected {_fmt(np.asarray(expected)[i])}"
            for i in bad[:6]
        )
        pytest.fail(f"{what}: {bad.size} of {len(expected)} rows differ\n{rows}")
