"""Plain helpers shared by the tests (fixtures live in conftest.py).

- What each method of ``Ellipsoid`` takes and returns (``METHODS``).
- Bit-for-bit comparison of results, and arrays read through interpreter indexing.
- Running code in a fresh interpreter, and the names in a traceback.
- Inputs for the numeric tests of the kernels: ellipsoids, angles, positions.
"""

import importlib
import math
import os
import subprocess
import sys
import textwrap
from dataclasses import dataclass

import numpy as np
import pytest

from testsupport import reference as ref

EARTH = (6378137.0, 1 / 298.257223563)

# The qualified name of the methods, as tracebacks show them.
PREFIX = "quorvane.mathtools.ellipsoid.ellipsoid.Ellipsoid."


# -- What each method takes and returns --------------------------------------------

# The annotation of a parameter of each role.
ROLE_ANNOTATIONS = {
    "angle": "double | ndarray[double]",
    "vec": "ndarray[double]",
    "number": "double",
}


@dataclass(frozen=True)
class Method:
    """The calling contract of one method of ``Ellipsoid``."""

    params: tuple  # parameter names, in order
    # Per parameter: "angle" (a number or a 1-D array), "vec" (a (3,) or (N, 3) array),
    # "number" (always a single number).
    roles: tuple
    good: tuple  # the arguments of one valid call on a single point
    # "float-or-vector" (a float for one point, else a 1-D array), "rows-of-three" (a (3,)
    # or (N, 3) array), or the name of the module's record dtype of the result.
    result: str
    kernel: str  # the kernel-table slot whose failure reaches the method ("" for none)

    @property
    def record(self):
        """The module name of the result's record dtype, or None."""
        return self.result if self.result.endswith("_dtype") else None

    @property
    def annotations(self):
        """The ``__annotations__`` of the method."""
        out = {p: ROLE_ANNOTATIONS[role] for p, role in zip(self.params, self.roles)}
        if self.result == "float-or-vector":
            out["return"] = "double | ndarray[double]"
        elif self.result == "rows-of-three":
            out["return"] = "ndarray[double]"
        else:
            out["return"] = f"ndarray[{self.result}]"
        return out


R3 = np.array([7e6, 1e5, 2e5])

# In the order the type defines them.
METHODS = {
    "reduced_lat_from_geodetic_lat": Method(
        ("geodetic_lat",), ("angle",), (0.3,), "float-or-vector", ""),
    "geodetic_lat_from_reduced_lat": Method(
        ("reduced_lat",), ("angle",), (0.3,), "float-or-vector", ""),
    "enu": Method(("lat", "lon"), ("angle", "angle"), (0.3, 0.2), "ENU_dtype", "c_enu"),
    "surf_pos_from_surf_coord": Method(
        ("lat", "lon"), ("angle", "angle"), (0.3, 0.2), "rows-of-three",
        "c_surf_pos_from_surf_coord"),
    "surf_coord_from_surf_pos": Method(
        ("r_surf",), ("vec",), (R3,), "SurfCoord_dtype", "c_surf_coord_from_surf_pos"),
    "solve_reduced_lat_equation": Method(
        ("r",), ("vec",), (R3,), "float-or-vector", "c_solve_reduced_lat_equation"),
    "lla_from_pos": Method(("r",), ("vec",), (R3,), "LLA_dtype", "c_lla_from_pos"),
    "pos_from_lla": Method(
        ("lat", "lon", "alt"), ("angle", "angle", "angle"), (0.3, 0.2, 10.0), "rows-of-three",
        "c_pos_from_lla"),
    "surf_pos_of_ray_first_intersection": Method(
        ("r_source", "u_ray"), ("vec", "vec"), (R3, -R3), "rows-of-three",
        "c_surf_pos_of_ray_first_intersection"),
    "aer_coords": Method(
        ("r_target", "lat_obs", "lon_obs", "alt_obs"), ("vec", "number", "number", "number"),
        (R3, 0.3, 0.2, 10.0), "AER_dtype", "c_aer_coords"),
}


# -- Comparing results, reading arrays slowly --------------------------------------

def same(a, b):
    """Bit-for-bit equality of two results (numbers, sequences, float or structured arrays):
    the same dtype, shape and bytes, so NaN equals NaN of the same bits."""
    a, b = np.asarray(a), np.asarray(b)
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    as_bits = lambda x: np.ascontiguousarray(x).view(np.uint8)
    return np.array_equal(as_bits(a), as_bits(b))


def observed(aer, degrees=False):
    """AER records of the methods (azimuth in (-pi, pi]) as the companion modules give them:
    the azimuth in [0, 2 pi), or [0, 360) degrees, one point as a record scalar."""
    aer = np.array(aer)
    turn = 360.0 if degrees else 2 * math.pi
    az = aer["azimuth"]
    az[az < 0] += turn
    az[az >= turn] = 0.0
    return aer[0] if aer.shape == (1,) else aer


class SubArray(np.ndarray):
    """An ndarray subclass: the methods read it through interpreter indexing."""


def slow(a):
    """The array as a SubArray, so that each number is an interpreter-level read."""
    return np.asarray(a).view(SubArray)


# The suite also runs against the ASan/UBSan build (scripts/sanitize.sh), where memory
# figures mean nothing: the sanitizer's quarantine holds freed memory back on purpose.
SANITIZED = os.environ.get("QUORVANE_SANITIZED") == "1" or "libasan" in os.environ.get(
    "LD_PRELOAD", "")


# -- Child interpreters and tracebacks ---------------------------------------------

def run_python(code, *flags):
    """Runs code in a fresh interpreter; returns (returncode, stdout, stderr)."""
    proc = subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    return proc.returncode, proc.stdout, proc.stderr


def traceback_names(excinfo):
    """Function names of the traceback entries of a raised exception."""
    names = []
    tb = excinfo.tb if hasattr(excinfo, "tb") else excinfo.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


# -- Inputs for the numeric tests --------------------------------------------------

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
    equal = (a.view(np.uint64) == e.view(np.uint64)) | (np.isnan(a) & np.isnan(e))
    if equal.ndim > 1:
        equal = equal.reshape(equal.shape[0], -1).all(axis=1)
    return ~equal


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


def assert_calls_leak_nothing(calls, watched):
    """calls(n) makes n calls; after a warm-up, 2000 more calls must neither move the
    reference counts of `watched` nor grow the memory tracemalloc sees by 16 KiB (a
    result or any object kept per call would be far more). Under the sanitizers only
    the reference counts: their allocator keeps NumPy's caches growing for tens of
    thousands of calls (see test_leaks.py)."""
    import sys
    import tracemalloc

    calls(1000)
    refs = [sys.getrefcount(x) for x in watched]
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        calls(2000)
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert SANITIZED or grown < 16 * 1024
    assert refs == [sys.getrefcount(x) for x in watched]
