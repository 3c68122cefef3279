"""Local frames: every conversion against pymap3d, round trips, observers broadcast against
targets, the aer_from_lla identity with aer_coords, compiled subclasses and bad input."""

import itertools
import math

import numpy as np
import pytest
from helpers import EARTH, observed, same

from quorvane.mathtools.ellipsoid import frames as fr
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

pm = pytest.importorskip("pymap3d")

N = 100_000
TOL_LENGTH = 2e-6
TOL_ANGLE = 1e-12
RNG = np.random.default_rng(17)
LAT = np.arcsin(RNG.uniform(-1, 1, N))
LON = RNG.uniform(-math.pi, math.pi, N)
ALT = RNG.uniform(-1e4, 3e7, N)
LAT0 = np.arcsin(RNG.uniform(-1, 1, N))
LON0 = RNG.uniform(-math.pi, math.pi, N)
ALT0 = RNG.uniform(-500, 1e4, N)
AZ = RNG.uniform(-math.pi, math.pi, N)
EL = RNG.uniform(-math.pi / 2, math.pi / 2, N)
RANGE = RNG.uniform(0, 3e7, N)
LOCAL = RNG.normal(size=(N, 3))
LOCAL *= RNG.uniform(0, 3e7, (N, 1)) / np.linalg.norm(LOCAL, axis=1, keepdims=True)
WGS84 = Ellipsoid(*EARTH)
PEER = pm.Ellipsoid(semimajor_axis=EARTH[0], semiminor_axis=(1 - EARTH[1]) * EARTH[0])
OBS = (LAT0, LON0, ALT0)
R = WGS84.pos_from_lla(LAT, LON, ALT)


def _peer_lla(xyz):
    """pymap3d's ECEF output as geodetic coordinates of this module."""
    return WGS84.lla_from_pos(np.stack(xyz, axis=-1))


# our call, pymap3d's call (columns, or records for geodetic results)
CASES = {
    "enu_from_pos": (lambda: fr.enu_from_pos(WGS84, R, *OBS),
                     lambda: pm.ecef2enu(*R.T, *OBS, PEER, deg=False)),
    "ned_from_pos": (lambda: fr.ned_from_pos(WGS84, R, *OBS),
                     lambda: pm.ecef2ned(*R.T, *OBS, PEER, deg=False)),
    "pos_from_enu": (lambda: fr.pos_from_enu(WGS84, LOCAL, *OBS),
                     lambda: pm.enu2ecef(*LOCAL.T, *OBS, PEER, deg=False)),
    "pos_from_ned": (lambda: fr.pos_from_ned(WGS84, LOCAL, *OBS),
                     lambda: pm.ned2ecef(*LOCAL.T, *OBS, PEER, deg=False)),
    "enu_from_lla": (lambda: fr.enu_from_lla(WGS84, LAT, LON, ALT, *OBS),
                     lambda: pm.geodetic2enu(LAT, LON, ALT, *OBS, PEER, deg=False)),
    "lla_from_enu": (lambda: fr.lla_from_enu(WGS84, LOCAL, *OBS),
                     lambda: _peer_lla(pm.enu2ecef(*LOCAL.T, *OBS, PEER, deg=False))),
    "pos_from_aer": (lambda: fr.pos_from_aer(WGS84, AZ, EL, RANGE, *OBS),
                     lambda: pm.aer2ecef(AZ, EL, RANGE, *OBS, PEER, deg=False)),
    "lla_from_aer": (lambda: fr.lla_from_aer(WGS84, AZ, EL, RANGE, *OBS),
                     lambda: _peer_lla(pm.aer2ecef(AZ, EL, RANGE, *OBS, PEER, deg=False))),
    "aer_from_lla": (lambda: fr.aer_from_lla(WGS84, LAT, LON, ALT, *OBS),
                     lambda: pm.geodetic2aer(LAT, LON, ALT, *OBS, PEER, deg=False)),
    "enu_from_ecef_vector": (lambda: fr.enu_from_ecef_vector(WGS84, LOCAL, LAT0, LON0),
                             lambda: pm.ecef2enuv(*LOCAL.T, LAT0, LON0, deg=False)),
    "ecef_vector_from_enu": (lambda: fr.ecef_vector_from_enu(WGS84, LOCAL, LAT0, LON0),
                             lambda: pm.enu2uvw(*LOCAL.T, LAT0, LON0, deg=False)),
}


def _columns(result):
    if getattr(result, "dtype", None) is not None and result.dtype.names:
        return [result[field] for field in result.dtype.names]
    return list(result.T) if isinstance(result, np.ndarray) else list(result)


@pytest.mark.parametrize("name", CASES)
def test_agrees_with_pymap3d_with_one_observer_per_target(name):
    ours, theirs = (_columns(f()) for f in CASES[name])
    tolerances = [TOL_LENGTH] * 3
    if name.startswith("lla"):
        # The positions agree within TOL_LENGTH (pos_from_enu, pos_from_aer); the altitudes of
        # two positions 1e-9 m apart differ by up to 1e-5 m next to the axis at 3e7 m.
        tolerances = [TOL_ANGLE, TOL_ANGLE, 1e-5]
    elif name == "aer_from_lla":
        tolerances = [TOL_ANGLE, TOL_ANGLE, TOL_LENGTH]
        # The azimuth of a target straight above or below is rounding.
        steep = np.abs(theirs[1]) > math.pi / 2 - 1e-4
        ours[0], theirs[0] = np.where(steep, 0, ours[0]), np.where(steep, 0, theirs[0])
    for mine, peer, tol in zip(ours, theirs, tolerances):
        diff = np.asarray(mine) - np.asarray(peer)
        if tol == TOL_ANGLE:
            diff = (diff + math.pi) % (2 * math.pi) - math.pi
        assert np.max(np.abs(diff)) <= tol


def test_degrees_are_the_radians_converted():
    n, deg, to_deg = 50, np.degrees, [180 / math.pi, 180 / math.pi, 1]
    obs = [o[:n] for o in OBS]
    obs_deg = [deg(LAT0[:n]), deg(LON0[:n]), ALT0[:n]]
    aer = fr.aer_from_lla(WGS84, deg(LAT[:n]), deg(LON[:n]), ALT[:n], *obs_deg, degrees=True)
    expected = fr.aer_from_lla(WGS84, LAT[:n], LON[:n], ALT[:n], *obs)
    np.testing.assert_allclose(aer.view((float, 3)), expected.view((float, 3)) * to_deg,
                               rtol=1e-12)
    r = fr.pos_from_aer(WGS84, deg(AZ[:n]), deg(EL[:n]), RANGE[:n], *obs_deg, degrees=True)
    np.testing.assert_allclose(r, fr.pos_from_aer(WGS84, AZ[:n], EL[:n], RANGE[:n], *obs),
                               rtol=1e-12)


def test_round_trips():
    scale = np.linalg.norm(R, axis=1)[:, None]
    for there, back in [(fr.enu_from_pos, fr.pos_from_enu), (fr.ned_from_pos, fr.pos_from_ned)]:
        assert np.all(np.abs(back(WGS84, there(WGS84, R, *OBS), *OBS) - R) <= 1e-14 * scale)
    v = fr.ecef_vector_from_enu(WGS84, fr.enu_from_ecef_vector(WGS84, LOCAL, LAT0, LON0),
                                LAT0, LON0)
    assert np.all(np.abs(v - LOCAL) <= 1e-14 * np.linalg.norm(LOCAL, axis=1)[:, None])
    # Through geodetic coordinates: lla_from_enu is lla_from_pos of pos_from_enu, and the
    # round trips are as exact as lla_from_pos (1.6e-5 m at 3e7 m).
    enu = fr.enu_from_pos(WGS84, R, *OBS)
    lla = fr.lla_from_enu(WGS84, enu, *OBS)
    assert same(lla, WGS84.lla_from_pos(fr.pos_from_enu(WGS84, enu, *OBS)))
    back = fr.enu_from_lla(WGS84, lla["lat"], lla["lon"], lla["alt"], *OBS)
    assert np.max(np.abs(back - enu)) <= 2e-5
    lla = fr.lla_from_aer(WGS84, AZ, EL, RANGE, *OBS)
    assert same(lla, WGS84.lla_from_pos(fr.pos_from_aer(WGS84, AZ, EL, RANGE, *OBS)))
    aer = fr.aer_from_lla(WGS84, lla["lat"], lla["lon"], lla["alt"], *OBS)
    assert np.max(np.abs(aer["range"] - RANGE)) <= 2e-5


def test_aer_from_lla_is_aer_coords_of_pos_from_lla_bit_for_bit():
    lat, lon, alt = LAT[:2000].copy(), LON[:2000], ALT[:2000]
    lat[5] = np.nan
    for obs in [(0.7, -2.1, 300.0), (LAT0[0], LON0[0], ALT0[0])]:
        ours = fr.aer_from_lla(WGS84, lat, lon, alt, *obs)
        r = WGS84.pos_from_lla(lat, lon, alt)
        assert same(ours, observed(WGS84.aer_coords(r, *obs)))
        assert same(fr.aer_from_pos(WGS84, r, *obs), ours)
        assert np.isnan(ours[5].tolist()).all() and not np.isnan(ours[4].tolist()).any()
    one = fr.aer_from_lla(WGS84, 0.3, 0.2, 1e5, 0.7, -2.1, 300.0)
    r = WGS84.pos_from_lla(0.3, 0.2, 1e5)
    assert same(one, observed(WGS84.aer_coords(r, 0.7, -2.1, 300.0)))
    assert same(fr.aer_from_pos(WGS84, r, 0.7, -2.1, 300.0), one)


@pytest.mark.parametrize("name", ["enu_from_pos", "pos_from_ned", "lla_from_enu"])
def test_unaligned_rows_give_the_aligned_bits(name):
    """Rows at an odd address (a view into bytes) are read safely: the sanitizer run checks
    every load."""
    rows = np.ascontiguousarray(R[:5] if name.endswith("_from_pos") else LOCAL[:5])
    unaligned = np.frombuffer(b"\0" + rows.tobytes(), np.float64, offset=1).reshape(5, 3)
    assert unaligned.ctypes.data % 8 != 0
    function = getattr(fr, name)
    assert same(function(WGS84, unaligned, LAT0[:5], LON0[:5], 1e3),
                function(WGS84, rows, LAT0[:5], LON0[:5], 1e3))


@pytest.mark.parametrize(
    "name", ["enu_from_lla", "aer_from_lla", "lla_from_aer", "enu_from_ecef_vector"]
)
def test_a_latitude_past_the_poles_spoils_its_row(name):
    """Not the result of the folded latitude, for arrays and for one point of plain numbers."""
    n, bad = 5, [1, 2]
    lat_obs = LAT0[:n].copy()
    lat_obs[1] = np.nextafter(math.pi / 2, 4)
    if name.endswith("_from_lla"):
        lat = LAT[:n].copy()
        lat[2] = -2.0
        source = [lat, LON[:n], ALT[:n]]
    else:
        lat_obs[2] = -3.0
        source = [AZ[:n], EL[:n], RANGE[:n]] if name.endswith("aer") else [LOCAL[:n]]
    observer = [lat_obs, LON0[:n], ALT0[:n]][: 2 if "vector" in name else 3]
    function = getattr(fr, name)
    rows = function(WGS84, *source, *observer)
    values = np.array(rows.tolist()).reshape(n, 3)
    assert np.isnan(values[bad]).all() and not np.isnan(np.delete(values, bad, 0)).any()
    for i in bad:
        point = function(WGS84, *[c[i].tolist() for c in source], *[o[i] for o in observer])
        assert np.isnan(point.tolist()).all()


# The core conversions: the frames function's call, the method's, and the rows the frames
# function makes NaN (latitudes past the poles, which the method folds into the other
# hemisphere).
DEG = np.degrees(LAT[:6]), np.degrees(LON[:6])
PAST = np.array([0.3, math.pi / 2, -math.pi / 2, np.nextafter(math.pi / 2, 4), -2.0, np.nan])
CORE = {
    "pos_from_lla, arrays": (lambda: fr.pos_from_lla(WGS84, LAT, LON, ALT),
                             lambda: WGS84.pos_from_lla(LAT, LON, ALT), []),
    "pos_from_lla, one point": (lambda: fr.pos_from_lla(WGS84, 0.3, 0.2, 10),
                                lambda: WGS84.pos_from_lla(0.3, 0.2, 10.0), []),
    "pos_from_lla, one point in degrees": (
        lambda: fr.pos_from_lla(WGS84, np.float64(47.5), 8, 400.0, degrees=True),
        lambda: WGS84.pos_from_lla(np.radians(47.5), np.radians(8.0), 400.0), []),
    "surf_pos_from_surf_coord, one point past the pole": (
        lambda: fr.surf_pos_from_surf_coord(WGS84, -90.5, 8, degrees=True),
        lambda: np.zeros(3), [0, 1, 2]),
    "pos_from_lla, lists and a number": (
        lambda: fr.pos_from_lla(WGS84, LAT[:6].tolist(), list(LON[:6]), 7),
        lambda: WGS84.pos_from_lla(LAT[:6], LON[:6], np.full(6, 7.0)), []),
    "pos_from_lla, a grid": (
        lambda: fr.pos_from_lla(WGS84, LAT[:6].reshape(2, 3), LON[:3], ALT[0]),
        lambda: WGS84.pos_from_lla(LAT[:6], np.tile(LON[:3], 2), np.full(6, ALT[0]))
        .reshape(2, 3, 3), []),
    "pos_from_lla, degrees": (
        lambda: fr.pos_from_lla(WGS84, *DEG, ALT[:6], degrees=True),
        lambda: WGS84.pos_from_lla(np.radians(DEG[0]), np.radians(DEG[1]), ALT[:6]), []),
    "pos_from_lla, past the poles": (lambda: fr.pos_from_lla(WGS84, PAST, LON[:6], ALT[:6]),
                                     lambda: WGS84.pos_from_lla(PAST, LON[:6], ALT[:6]), [3, 4]),
    "pos_from_lla, past the poles in degrees": (
        lambda: fr.pos_from_lla(WGS84, [90, -90, 90.000001, -180], 0, 0, degrees=True),
        lambda: WGS84.pos_from_lla(np.radians([90, -90, 0, 0]), np.zeros(4), np.zeros(4)),
        [2, 3]),
    "surf_pos_from_surf_coord, arrays and a number": (
        lambda: fr.surf_pos_from_surf_coord(WGS84, LAT, 0.5),
        lambda: WGS84.surf_pos_from_surf_coord(LAT, np.full(N, 0.5)), []),
    "surf_pos_from_surf_coord, degrees past the poles": (
        lambda: fr.surf_pos_from_surf_coord(WGS84, [*DEG[0], 91], [*DEG[1], 0], degrees=True),
        lambda: WGS84.surf_pos_from_surf_coord(np.radians([*DEG[0], 0]),
                                               np.radians([*DEG[1], 0])), [6]),
    "lla_from_pos, arrays": (lambda: fr.lla_from_pos(WGS84, R),
                             lambda: WGS84.lla_from_pos(R), []),
    "lla_from_pos, one point as a list": (lambda: fr.lla_from_pos(WGS84, [7000000, 1e5, 2e5]),
                                          lambda: WGS84.lla_from_pos(np.array([7e6, 1e5, 2e5]))[0],
                                          []),
    "lla_from_pos, a grid in degrees": (
        lambda: fr.lla_from_pos(WGS84, R[:6].reshape(2, 3, 3), degrees=True),
        lambda: _in_degrees(WGS84.lla_from_pos(R[:6])).reshape(2, 3), []),
    "surf_coord_from_surf_pos, arrays": (
        lambda: fr.surf_coord_from_surf_pos(WGS84, WGS84.surf_pos_from_surf_coord(LAT, LON)),
        lambda: WGS84.surf_coord_from_surf_pos(WGS84.surf_pos_from_surf_coord(LAT, LON)), []),
    "surf_coord_from_surf_pos, degrees": (
        lambda: fr.surf_coord_from_surf_pos(WGS84, [[0, 0, 6356752.314245179]], degrees=True),
        lambda: _in_degrees(WGS84.surf_coord_from_surf_pos(np.array([[0, 0, 6356752.314245179]]))),
        []),
}


def _in_degrees(records):
    for name in ("lat", "lon"):
        records[name] = np.degrees(records[name])
    return records


@pytest.mark.parametrize("case", CORE)
def test_core_conversions_are_the_methods_with_the_frames_conventions(case):
    ours, theirs, nan_rows = CORE[case]
    expected = theirs()
    if nan_rows:
        expected.reshape(len(expected), -1).view(np.float64)[nan_rows] = np.nan
        with pytest.warns(RuntimeWarning, match="latitudes beyond"):
            assert same(ours(), expected)
    else:
        assert same(ours(), expected)


def test_observers_broadcast_and_one_target_keeps_the_methods_shapes():
    n = 40
    per_row = fr.enu_from_pos(WGS84, R[:n], LAT0[:n], LON0[:n], ALT0[:n])
    rows = [fr.enu_from_pos(WGS84, R[i], LAT0[i], LON0[i], ALT0[i]) for i in range(n)]
    assert rows[0].shape == (3,) and same(per_row, np.array(rows))
    lat_obs = LAT0[:n].copy()
    lat_obs[3] = np.nan  # spoils its own row only
    spoilt = fr.enu_from_pos(WGS84, R[:n], lat_obs, LON0[:n], ALT0[:n])
    assert np.isnan(spoilt[3]).all() and same(np.delete(spoilt, 3, 0), np.delete(per_row, 3, 0))
    # Each row's frame is the one Ellipsoid.enu gives, bit for bit.
    frame = WGS84.enu(LAT0[:n], LON0[:n])
    for axis, unit in [("u_east", [1, 0, 0]), ("u_north", [0, 1, 0]), ("u_up", [0, 0, 1])]:
        assert same(fr.ecef_vector_from_enu(WGS84, unit, LAT0[:n], LON0[:n]), frame[axis])
    # One observer given as length-1 arrays and mixed with a column of altitudes.
    one = fr.enu_from_pos(WGS84, R[:n], LAT0[:1], [LON0[0]], ALT0[0])
    assert same(one, fr.enu_from_pos(WGS84, R[:n], LAT0[0], LON0[0], ALT0[0]))
    mixed = fr.pos_from_enu(WGS84, LOCAL[:n], 0.5, 0.1, ALT0[:n])
    assert same(mixed[7], fr.pos_from_enu(WGS84, LOCAL[7], 0.5, 0.1, ALT0[7]))
    # One target, many observers; a grid of targets against a row of observers.
    assert fr.aer_from_lla(WGS84, 0.1, 0.2, 3.0, LAT0[:n], LON0[:n], ALT0[:n]).shape == (n,)
    grid = fr.ned_from_pos(WGS84, R[:12].reshape(4, 3, 3), LAT0[:3], LON0[:3], ALT0[:3])
    assert grid.shape == (4, 3, 3)
    assert same(grid[2, 1], fr.ned_from_pos(WGS84, R[7], LAT0[1], LON0[1], ALT0[1]))
    record = fr.lla_from_aer(WGS84, 0.1, 0.2, 3.0, 0.4, 0.5, 6.0)
    assert isinstance(record, np.void) and record.dtype.names == ("lat", "lon", "alt")
    # Lists, integers and float32 with any strides.
    assert same(fr.enu_from_pos(WGS84, [[7000000, 0, 0]], [0], 0, 0),
                fr.enu_from_pos(WGS84, np.array([[7e6, 0.0, 0.0]]), 0.0, 0.0, 0.0))
    strided = np.asfortranarray(R[:n].astype(np.float32))
    assert same(fr.enu_from_pos(WGS84, strided, 0.1, 0.2, 0.0),
                fr.enu_from_pos(WGS84, strided.astype(float), 0.1, 0.2, 0.0))


# Bad values of every kind for every input are tested over the registry (test_face.py);
# here, vectors given in shapes no array of 3-vectors has.
@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda: fr.pos_from_ned(WGS84, 5.0, 0, 0, 0), ValueError, "ned"),
        (lambda: fr.enu_from_ecef_vector(WGS84, [[1, 2], [3]], 0, 0), ValueError, "v"),
    ],
)
def test_bad_input_is_named(call, error, match):
    with pytest.raises(error, match=match):
        call()


def test_compiled_subclass_computes_through_its_own_table(probe):
    replaced = probe.Replaced(*EARTH)  # its normal is always +z and its latitudes poisoned
    r = replaced.pos_from_lla(LAT[:30], LON[:30], ALT[:30])
    assert same(fr.aer_from_lla(replaced, LAT[:30], LON[:30], ALT[:30], 0.1, 0.2, 3.0),
                observed(replaced.aer_coords(r, 0.1, 0.2, 3.0)))
    enu = fr.enu_from_pos(replaced, r, LAT0[:30], LON0[:30], ALT0[:30])
    assert same(enu[:, 2], r[:, 2] - replaced.pos_from_lla(LAT0[:30], LON0[:30], ALT0[:30])[:, 2])
    failing = probe.Failing(*EARTH)
    probe.set_failing("c_enu")
    try:
        with pytest.raises(RuntimeError, match="c_enu failed"):
            fr.enu_from_pos(failing, r, 0.1, 0.2, 3.0)
    finally:
        probe.set_failing("")
    expected = fr.enu_from_pos(WGS84, r, 0.1, 0.2, 3.0)
    assert same(fr.enu_from_pos(failing, r, 0.1, 0.2, 3.0), expected)


CLI_CASES = {  # subcommand: (function, input columns, input values, number of observer columns)
    "enu-from-ecef": (fr.enu_from_pos, "x,y,z", R[:9], 3),
    "ned-from-ecef": (fr.ned_from_pos, "x,y,z", R[:9], 3),
    "ecef-from-enu": (fr.pos_from_enu, "east,north,up", LOCAL[:9], 3),
    "ecef-from-ned": (fr.pos_from_ned, "north,east,down", LOCAL[:9], 3),
    "enu-from-lla": (fr.enu_from_lla, "lat,lon,alt", np.stack([LAT, LON, ALT], 1)[:9], 3),
    "lla-from-enu": (fr.lla_from_enu, "east,north,up", LOCAL[:9], 3),
    "aer-from-lla": (fr.aer_from_lla, "lat,lon,alt", np.stack([LAT, LON, ALT], 1)[:9], 3),
    "ecef-from-aer": (fr.pos_from_aer, "az,el,range", np.stack([AZ, EL, RANGE], 1)[:9], 3),
    "lla-from-aer": (fr.lla_from_aer, "az,el,range", np.stack([AZ, EL, RANGE], 1)[:9], 3),
    "enu-from-ecef-vector": (fr.enu_from_ecef_vector, "vx,vy,vz", LOCAL[:9], 2),
    "ecef-vector-from-enu": (fr.ecef_vector_from_enu, "east,north,up", LOCAL[:9], 2),
}


@pytest.mark.parametrize("command", CLI_CASES)
def test_cli_gives_the_functions_results(command, capsys, monkeypatch):
    import io
    import sys

    from quorvane.mathtools.ellipsoid import cli

    function, header, values, k = CLI_CASES[command]
    obs = np.stack(OBS, 1)[:9, :k]
    names = ["obs_lat", "obs_lon", "obs_alt"][:k]
    lines = [",".join([header, *names])] + [",".join(map(repr, row)) for row in
                                             np.hstack([values, obs]).tolist()]
    columns = [values] if header[0] in "xenv" else list(values.T)
    given = [([], obs.T), (["--observer", *map(repr, obs[0].tolist())], obs[0])]
    # --degrees: the function's doubles with degrees=True (its azimuths wrapped in degrees)
    for (argv, observer), degrees in itertools.product(given, (False, True)):
        stdin = io.TextIOWrapper(io.BytesIO(("\n".join(lines) + "\n").encode()))
        monkeypatch.setattr(sys, "stdin", stdin)
        assert cli.main([command, *argv, *["--degrees"][:degrees]]) == 0
        out = capsys.readouterr().out.splitlines()
        got = np.array([[float(v) for v in line.split(",")] for line in out[1:]])
        expected = function(WGS84, *columns, *observer, degrees=degrees)
        if expected.dtype.names:
            assert out[0] == ",".join(expected.dtype.names)
            expected = expected.view((float, 3))
        assert same(got, expected)
