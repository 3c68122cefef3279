"""Threads: eight Python threads call every method on one shared Ellipsoid, each
with its own inputs, for DURATION seconds, and get exactly the results (and the
same exceptions) that the calls give on one thread.

The interpreter is made to switch threads every microsecond, and some inputs
release the interpreter lock inside their element reads, so that calls
interleave in the middle of their element loops. A ninth thread meanwhile runs
the conversion kernels on native threads through the kernel table (which take
the interpreter lock for their error tests), and an input large enough for a
method to split its loop is among those of one thread.
"""

import sys
import threading
import time

import numpy as np
import pytest
from helpers import EARTH, same

import quorvane.mathtools.ellipsoid.ellipsoid as mod

THREADS = 8
DURATION = 2.0
E = mod.Ellipsoid(*EARTH)


class Yielding(np.ndarray):
    """Releases the interpreter lock on every element read."""

    def __getitem__(self, i):
        time.sleep(0)
        return super().__getitem__(i)


def calls_for(seed):
    """(method name, args) for every method, scalar and array paths, and
    error paths, with inputs of this thread's own."""
    rng = np.random.default_rng(seed)
    n = 40
    lat = rng.uniform(-1.5, 1.5, n)
    lon = rng.uniform(-3.1, 3.1, n)
    alt = rng.uniform(-1e4, 1e6, n)
    r = E.pos_from_lla(lat, lon, alt)
    y = lambda a: a[:5].view(Yielding)
    out = [
        ("reduced_lat_from_geodetic_lat", (lat,)),
        ("reduced_lat_from_geodetic_lat", (float(lat[0]),)),
        ("geodetic_lat_from_reduced_lat", (lat,)),
        ("geodetic_lat_from_reduced_lat", (y(lat),)),
        ("enu", (lat, lon)),
        ("enu", (float(lat[1]), float(lon[1]))),
        ("enu", (y(lat), y(lon))),
        ("surf_pos_from_surf_coord", (lat, lon)),
        ("surf_pos_from_surf_coord", (y(lat), lon[:5])),
        ("surf_coord_from_surf_pos", (r,)),
        ("surf_coord_from_surf_pos", (y(r),)),
        ("solve_reduced_lat_equation", (r,)),
        ("solve_reduced_lat_equation", (r[2],)),
        ("lla_from_pos", (r,)),
        ("lla_from_pos", (y(r),)),
        ("lla_from_pos", (r[3],)),
        ("pos_from_lla", (lat, lon, alt)),
        ("pos_from_lla", (float(lat[4]), float(lon[4]), float(alt[4]))),
        ("pos_from_lla", (y(lat), y(lon), y(alt))),
        ("surf_pos_of_ray_first_intersection", (r[0] * 2, -r)),
        ("surf_pos_of_ray_first_intersection", (r[0] * 2, -r[1])),
        ("surf_pos_of_ray_first_intersection", (y(r[0] * 2), y(-r))),
        ("aer_coords", (r, float(lat[5]), float(lon[5]), float(alt[5]))),
        ("aer_coords", (y(r), float(lat[6]), float(lon[6]), 0.0)),
        ("aer_coords", (r[7], 0.1, 0.2, 0.3)),
        # errors
        ("lla_from_pos", (np.zeros(4),)),
        ("enu", (lat, lon[:-1])),
        ("pos_from_lla", (lat.tolist(), lon, alt)),
        ("aer_coords", (r, "x", 0.0, 0.0)),
        ("surf_coord_from_surf_pos", (y(r).astype(object)[:, :2],)),
    ]
    if seed == 0:
        big = np.tile(r, (700, 1))  # 28,000 rows
        out += [("lla_from_pos", (big,)), ("aer_coords", (big, 0.1, 0.2, 0.3)),
                ("pos_from_lla", (big[:, 0] * 1e-7, big[:, 1] * 1e-7, big[:, 2]))]
    return out


def outcome(name, args):
    try:
        return getattr(E, name)(*args)
    except Exception as error:  # noqa: BLE001 - the error paths are among the calls
        return (type(error), str(error))


def agree(got, expected):
    if isinstance(expected, tuple):
        return got == expected
    return not isinstance(got, tuple) and same(got, expected)


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_shared_ellipsoid_in_eight_threads(fast_switching, probe):
    work = {k: calls_for(k) for k in range(THREADS)}
    expected = {k: [outcome(name, args) for name, args in work[k]] for k in work}
    assert sum(isinstance(x, tuple) for x in expected[0]) == 5  # the error paths fail
    positions = E.pos_from_lla(np.linspace(-1.4, 1.4, 64), np.linspace(-3, 3, 64),
                               np.linspace(0, 1e5, 64))
    native_expected = probe.threaded_lla(E, positions, 1)[0]

    mismatches, rounds = [], [0] * (THREADS + 1)
    start = threading.Barrier(THREADS + 1)
    deadline = [0.0]

    def worker(k):
        start.wait()
        while time.monotonic() < deadline[0]:
            for (name, args), want in zip(work[k], expected[k]):
                got = outcome(name, args)
                if not agree(got, want):
                    mismatches.append((k, name, got, want))
            rounds[k] += 1

    def native():
        start.wait()
        while time.monotonic() < deadline[0]:
            results, agreed = probe.threaded_lla(E, positions, THREADS)
            if not agreed or results != native_expected:
                mismatches.append(("native", results))
            rounds[THREADS] += 1

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
    threads.append(threading.Thread(target=native))
    deadline[0] = time.monotonic() + DURATION
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=DURATION + 120)
    assert not any(t.is_alive() for t in threads), "a thread hangs"
    assert not mismatches, mismatches[:3]
    assert all(count >= 1 for count in rounds), rounds
