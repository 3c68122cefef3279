"""Exact NumPy inputs are read straight from memory and large loops are split
over threads: the results must be those of the interpreter path, bit for bit."""

import os
import types

import numpy as np
import pytest
from helpers import EARTH, same, slow

RNG = np.random.default_rng(2024)
N = 64
LAT = RNG.uniform(-1.6, 1.6, N)
LON = RNG.uniform(-4.0, 4.0, N)
ALT = RNG.uniform(-1e4, 1e6, N)

DTYPES = [np.float64, np.float32, np.float16, np.int8, np.uint8, np.int16, np.uint16, np.int32,
          np.uint32, np.int64, np.uint64, np.bool_]


def cast(a, dt):
    if np.issubdtype(dt, np.integer) or dt is np.bool_:
        info = np.iinfo(dt) if dt is not np.bool_ else None
        a = np.round(a * 1e3)
        if info is not None:
            a = np.clip(a, info.min, info.max)
    with np.errstate(over="ignore"):  # float16 turns the largest altitudes into inf
        return a.astype(dt)


def layouts(a):
    """The same values as C-ordered, strided, reversed, Fortran and read-only arrays."""
    wide = np.zeros((a.shape[0], 2) + a.shape[1:], a.dtype)
    wide[:, 1] = a
    reversed_ = np.ascontiguousarray(a[::-1])[::-1]
    frozen = a.copy()
    frozen.flags.writeable = False
    out = [a, wide[:, 1], reversed_, frozen]
    if a.ndim == 2:
        out.append(np.asfortranarray(a))
    return out


def calls(e, x3, x1):
    """Every method on (N, 3) input x3 and 1-D inputs x1 (lat, lon, alt)."""
    lat, lon, alt = x1
    return {
        "lla_from_pos": lambda: e.lla_from_pos(x3),
        "solve": lambda: e.solve_reduced_lat_equation(x3),
        "surf_coord": lambda: e.surf_coord_from_surf_pos(x3),
        "aer": lambda: e.aer_coords(x3, 0.4, -2.0, 120.0),
        "ray": lambda: e.surf_pos_of_ray_first_intersection(np.array([7e6, -1e6, 2e6]), x3),
        "pos_from_lla": lambda: e.pos_from_lla(lat, lon, alt),
        "enu": lambda: e.enu(lat, lon),
        "surf_pos": lambda: e.surf_pos_from_surf_coord(lat, lon),
    }


@pytest.mark.parametrize("dt", DTYPES, ids=lambda d: np.dtype(d).name)
def test_direct_reads_equal_interpreter_reads(mod, dt):
    e = mod.Ellipsoid(*EARTH)
    r = cast(e.pos_from_lla(LAT, LON, ALT) / 1e3, dt)
    x1 = [cast(a, dt) for a in (LAT, LON, ALT)]
    expected = {k: f() for k, f in calls(e, slow(r), [slow(a) for a in x1]).items()}
    for r_layout in layouts(r):
        x1_layouts = zip(*(layouts(a) for a in x1))
        for x1_layout in x1_layouts:
            got = {k: f() for k, f in calls(e, r_layout, list(x1_layout)).items()}
            for k, want in expected.items():
                assert same(got[k], want), (k, r_layout.strides)
    if dt is np.float64:
        assert same(e.reduced_lat_from_geodetic_lat(LAT),
                    e.reduced_lat_from_geodetic_lat(slow(LAT)))


def test_mixed_fast_and_interpreter_inputs(mod):
    e = mod.Ellipsoid(*EARTH)
    expected = e.pos_from_lla(LAT, LON, ALT)
    assert same(e.pos_from_lla(LAT, slow(LON), ALT), expected)
    assert same(e.enu(slow(LAT), LON), e.enu(LAT, LON))


@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
def test_unusual_dtypes_take_the_interpreter_path(mod):
    e = mod.Ellipsoid(*EARTH)
    r = e.pos_from_lla(LAT, LON, ALT)
    for dt in (np.longdouble, ">f8", np.complex64):
        with np.errstate(all="ignore"):
            try:
                expected = e.lla_from_pos(slow(r.astype(dt)))
            except TypeError as ex:  # complex elements refuse the float conversion
                with pytest.raises(type(ex)):
                    e.lla_from_pos(r.astype(dt))
                continue
        assert same(e.lla_from_pos(r.astype(dt)), expected)


def test_numpy_calls_made_by_numpy_give_the_same_arrays(mod, monkeypatch):
    # With numpy.zeros and numpy.asarray wrapped, the module calls them through
    # the interpreter; the results must not change.
    e = mod.Ellipsoid(*EARTH)
    r = e.pos_from_lla(LAT, LON, ALT)
    before = {k: f() for k, f in calls(e, r, [LAT, LON, ALT]).items()}
    seen = []

    def zeros(*a, **k):
        seen.append("zeros")
        return real_zeros(*a, **k)

    def asarray(*a, **k):
        seen.append("asarray")
        return real_asarray(*a, **k)

    real_zeros, real_asarray = np.zeros, np.asarray
    monkeypatch.setattr(np, "zeros", zeros)
    monkeypatch.setattr(np, "asarray", asarray)
    after = {k: f() for k, f in calls(e, r, [LAT, LON, ALT]).items()}
    assert "zeros" in seen and "asarray" in seen
    for k, want in before.items():
        assert same(after[k], want), k
        assert after[k].flags.writeable and after[k].flags.c_contiguous


def shifted(a, dtype=None):
    """A copy of `a` one byte past an aligned address, as a chunk read out of a bytes
    object or an Arrow buffer may lie (zeros of that kind when `a` is a shape)."""
    dtype = np.dtype(dtype if dtype is not None else a.dtype)
    shape = a if isinstance(a, tuple) else a.shape
    count = int(np.prod(shape))
    out = np.frombuffer(bytearray(count * dtype.itemsize + 1), dtype, count, offset=1)
    out = out.reshape(shape)
    if not isinstance(a, tuple):
        out[...] = a
    return out


def test_unaligned_buffers_give_the_same_bits(mod, monkeypatch):
    # Contiguous float64 takes a loop of its own; inputs and results at odd
    # addresses go through it (and through the general loop when strided).
    e = mod.Ellipsoid(*EARTH)
    r = e.pos_from_lla(LAT, LON, ALT)

    def every(r, x1):
        out = {k: f() for k, f in calls(e, r, x1).items()}
        out["reduced"] = e.reduced_lat_from_geodetic_lat(x1[0])
        out["geodetic"] = e.geodetic_lat_from_reduced_lat(x1[0])
        return out

    def zeros(shape, dtype):
        return shifted((shape,) if isinstance(shape, int) else tuple(shape), dtype)

    x1 = [LAT, LON, ALT]
    expected = every(r, x1)
    assert not shifted(r).flags.aligned
    got = [every(shifted(r), [shifted(a) for a in x1])]
    # Results at odd addresses: a replaced numpy.zeros hands them over.
    fake = types.SimpleNamespace(zeros=zeros, double=np.double, asarray=np.asarray)
    fake.zeros_like = lambda x: zeros(x.shape, x.dtype)
    monkeypatch.setattr(mod, "numpy", fake)
    got.append(every(shifted(r), [shifted(a) for a in x1]))
    got.append(every(layouts(r)[1], [layouts(a)[1] for a in x1]))  # strided: the general loop
    for results in got:
        for k, want in expected.items():
            assert same(results[k], want), k


@pytest.fixture
def threads(monkeypatch):
    def set_threads(n):
        if n is None:
            monkeypatch.delenv("QUORVANE_NUM_THREADS", raising=False)
        else:
            monkeypatch.setenv("QUORVANE_NUM_THREADS", str(n))

    return set_threads


def test_results_do_not_depend_on_the_thread_count(mod, threads):
    e = mod.Ellipsoid(*EARTH)
    n = 100_003  # above the split threshold, not a multiple of any thread count
    rng = np.random.default_rng(5)
    x1 = [rng.uniform(-1.6, 1.6, n), rng.uniform(-4, 4, n), rng.uniform(-1e4, 1e7, n)]
    r = e.pos_from_lla(*x1)
    results = {}
    for count in (1, 2, 3, 8, None):
        threads(count)
        results[count] = {k: f() for k, f in calls(e, r, x1).items()}
        results[count]["lat"] = e.geodetic_lat_from_reduced_lat(x1[0])
    for count in (2, 3, 8, None):
        for k, want in results[1].items():
            assert same(results[count][k], want), (count, k)


def test_a_replaced_kernel_sees_every_element_of_a_large_call(probe, threads):
    threads(None)
    replaced = probe.Replaced(*EARTH)
    n = 50_000
    r = np.tile([7e6, 1e5, 2e5], (n, 1))
    assert np.all(replaced.solve_reduced_lat_equation(r) == 0.5)
    up = replaced.enu(np.zeros(n), np.zeros(n))["u_up"]
    assert np.all(up == [0.0, 0.0, 1.0])


def test_thread_count_setting_is_read_at_each_call(mod, threads):
    e = mod.Ellipsoid(*EARTH)
    lat = np.linspace(-1, 1, 40_000)
    for value in ("1", "0", "-3", "many", ""):
        os.environ["QUORVANE_NUM_THREADS"] = value
        assert same(e.reduced_lat_from_geodetic_lat(lat), e.reduced_lat_from_geodetic_lat(
            slow(lat)))
    threads(None)
