"""The tools the benchmark (bench/methods.py) times compute what the methods compute: the C++
floor bit for bit, each peer within a tolerance suited to it, on the benchmark's own points
and through its own adapters."""

import math

import numpy as np
import pytest

from testsupport import floor_adapter, ours_adapter
from testsupport.peers import numpy_adapter, pyerfa_adapter, pymap3d_adapter, pyproj_adapter
from testsupport.workload import AER_ONCE, OPS, WGS84, Workload

N = 4000

# Absolute tolerances against the methods, by (method or "*", peer or "*", kind of field).
TOLERANCE = {
    ("reduced_lat_from_geodetic_lat", "*", "angle"): 1e-14,
    ("geodetic_lat_from_reduced_lat", "*", "angle"): 1e-14,
    ("enu", "*", "unit"): 1e-15,
    ("surf_pos_from_surf_coord", "*", "length"): 1e-8,
    ("pos_from_lla", "*", "length"): 1e-8,
    # the nearer root of the quadratic loses digits to cancellation for grazing rays
    ("surf_pos_of_ray_first_intersection", "*", "length"): 1e-4,
    # pymap3d's ECEF -> geodetic iteration stops near 1e-10 rad; PROJ's +proj=cart inverse is
    # a single Bowring step, about 1 mm at 300 km altitude
    ("*", "pymap3d", "angle"): 1e-9,
    ("*", "pymap3d", "length"): 1e-4,
    ("*", "pyproj", "angle"): 1e-9,
    ("*", "pyproj", "length"): 5e-3,
    ("*", "*", "angle"): 1e-12,
    # the methods' altitude: up to about 6 um near the poles (pyerfa: nm)
    ("*", "*", "length"): 1e-5,
}
WRAPPED = {"lon", "azimuth"}  # compared modulo 2 pi
# pymap3d's geodetic conversions and AER are checked on their own in test_peer_crosscheck.py
ELSEWHERE = {("pymap3d", "pos_from_lla"), ("pymap3d", "lla_from_pos"), ("pymap3d", "aer_coords")}
PEERS = (pyerfa_adapter, pyproj_adapter, pymap3d_adapter, numpy_adapter)


def tolerance(op, peer, field):
    kind = (
        "unit"
        if field.startswith("u_")
        else "length"
        if field in ("r", "alt", "range")
        else "angle"
    )
    for key in ((op, peer, kind), (op, "*", kind), ("*", peer, kind), ("*", "*", kind)):
        if key in TOLERANCE:
            return TOLERANCE[key]
    raise KeyError((op, peer, field))


def assert_close(ours, theirs, op, peer):
    assert set(theirs) <= set(ours)
    for field, b in theirs.items():
        a = ours[field]
        b = np.asarray(b, dtype=float).reshape(a.shape)
        np.testing.assert_array_equal(np.isnan(a), np.isnan(b), err_msg=f"{field}: NaN")
        d = np.nan_to_num(b - a)
        if field in WRAPPED:
            d = (d + math.pi) % (2 * math.pi) - math.pi
        worst = float(np.max(np.abs(d)))
        assert worst <= tolerance(op, peer, field), f"{field}: max |diff| {worst:.3g}"


@pytest.fixture(scope="module")
def points():
    return Workload(N)


@pytest.fixture(scope="module")
def e():
    return ours_adapter.ellipsoid(*WGS84)


@pytest.fixture(scope="module")
def ours(e, points):
    calls = ours_adapter.calls(e)
    return {op: ours_adapter.fields(op, calls[op](points, N)()) for op in OPS}


@pytest.fixture(scope="module")
def floor(tmp_path_factory):
    if floor_adapter.compiler() is None:
        pytest.skip("no C++ compiler")
    path, _ = floor_adapter.build(tmp_path_factory.mktemp("floor"))
    return floor_adapter.load(path)


@pytest.mark.parametrize("op", OPS)
def test_floor_is_bit_identical(floor, e, points, ours, op):
    for hold_gil in (False, True):
        out = floor_adapter.calls(e, floor, hold_gil)[op](points, N)()
        for field, a in ours_adapter.fields(op, out).items():
            b = ours[op][field]
            assert a.tobytes() == b.tobytes(), f"{field}, lock {'held' if hold_gil else 'free'}"


def test_floor_with_the_observer_once_agrees(floor, e, points, ours):
    out = floor_adapter.calls(e, floor, False)[AER_ONCE](points, N)()
    assert_close(ours["aer_coords"], ours_adapter.fields("aer_coords", out), "aer_coords", "*")


@pytest.mark.parametrize(
    "peer, op",
    [
        pytest.param(p, op, id=f"{p.MODULE}-{op}")
        for p in PEERS
        for op in p.OPS
        if (p.MODULE, op) not in ELSEWHERE
    ],
)
def test_peer_agrees(peer, op, points, ours):
    pytest.importorskip(peer.MODULE)
    out = peer.calls(*WGS84)[op](points, N)()
    assert_close(ours[op], peer.fields(op, out), op, peer.DIST or "numpy")
