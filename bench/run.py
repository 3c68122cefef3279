#!/usr/bin/env python3
"""Benchmark of the Ellipsoid methods against a C++ floor and the peer libraries.

One command measures every method of ``Ellipsoid`` on N = 1e3 ... 1e7 WGS84 points and
writes the tables and the plot to ``bench/results/``::

    python bench/run.py                      # full run (about 10 minutes on 2 cores)
    python bench/run.py --quick              # N = 1e3..1e5 with short budgets: a smoke test
    python bench/run.py --sizes 1e3,1e6 --out /tmp/bench-results

It needs the package installed in the running interpreter, a C++ compiler (``c++`` or
``$CXX``) and the peers of ``bench/requirements.txt``. A missing peer is reported and skipped.

Tools, each timed in a process of its own on the same points (same seed):

``ours-1t``      exact float64 arrays, ``QUORVANE_NUM_THREADS=1``
``ours``         exact float64 arrays, ``QUORVANE_NUM_THREADS`` unset (all cores)
``ours-interp``  an ndarray subclass, which the methods read through interpreter indexing;
                 only up to ``--interp-max`` points (about 0.5 us per number)
``floor``        ``bench/floor.cpp``, built at run time: a C++ loop over the published kernel
                 table with the interpreter lock released, into a fresh ``numpy.zeros``
                 result as the methods allocate it; ``floor-gil`` the same loop with the
                 lock held (a nested kernel's error probe then finds the lock held)
``pyerfa``, ``pyproj``, ``pymap3d``  the peers; each gets its inputs in its own natural layout
                 (separate coordinate arrays where it wants them), prepared outside the timed
                 call, and its outputs are not repacked
``numpy``        a hand-written NumPy expression, only where no peer offers the operation

The installed package is copied to a temporary directory at the start, and every tool process
loads that copy: a reinstall during the run cannot mix builds.

Every call is timed with ``time.perf_counter`` (garbage collector off), as the median of
repeats sized to a time budget (at least 5 repeats, 3 for calls over a second). Result
allocation is inside the timed call for every tool. Results at ``--check-n`` points are
compared across tools: the module's own paths and the floor must be bit-identical, peers must
agree within a tolerance that suits each of them.

Also measured: one-point call latency (``lla_from_pos`` of a (3,) array and ``pos_from_lla``
of three floats against the peers' one-point calls) and, at the largest N, the peak extra
memory of each method (tracemalloc peak, and the growth of the process's peak resident set)
compared with the size of its result.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import importlib.util
import json
import math
import os
import platform
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
import tracemalloc
from functools import cached_property
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent

SEED = 20_260_501
# The observer of aer_coords and the origin of the rays, fixed for the whole run.
OBSERVER = (0.6, -1.4, 250.0)  # lat, lon (radians), alt (metres)
RAY_SOURCE = (1.5e7, -8.0e6, 9.0e6)  # ECEF metres, about 19,000 km from the centre

# The ten methods, in the order of the tables, with a short description.
OPS = {
    "reduced_lat_from_geodetic_lat": "geodetic -> reduced latitude",
    "geodetic_lat_from_reduced_lat": "reduced -> geodetic latitude",
    "enu": "ENU frame at lat, lon",
    "surf_pos_from_surf_coord": "surface lat, lon -> ECEF",
    "surf_coord_from_surf_pos": "surface ECEF -> lat, lon",
    "solve_reduced_lat_equation": "ECEF -> reduced lat of the normal's foot",
    "lla_from_pos": "ECEF -> geodetic",
    "pos_from_lla": "geodetic -> ECEF",
    "surf_pos_of_ray_first_intersection": "ray -> first surface point",
    "aer_coords": "ECEF -> AER, one observer",
}
SHORT = {
    "reduced_lat_from_geodetic_lat": "reduced_lat",
    "geodetic_lat_from_reduced_lat": "geodetic_lat",
    "enu": "enu",
    "surf_pos_from_surf_coord": "surf_pos",
    "surf_coord_from_surf_pos": "surf_coord",
    "solve_reduced_lat_equation": "solve",
    "lla_from_pos": "lla",
    "pos_from_lla": "pos",
    "surf_pos_of_ray_first_intersection": "ray",
    "aer_coords": "aer",
}

# A second floor of aer_coords: the observer's position and frame once per call, not per target.
AER_ONCE = "aer_coords@observer-once"
ALL_OPS = (*OPS, AER_ONCE)

OURS = ("ours-1t", "ours", "ours-interp")
PEERS = ("pyerfa", "pyproj", "pymap3d", "numpy")
FLOORS = ("floor", "floor-gil")
TOOLS = (*FLOORS, *OURS, *PEERS)
LABELS = {
    "floor": "C++ floor, lock released",
    "floor-gil": "C++ floor, lock held",
    "ours-1t": "ours, 1 thread",
    "ours": "ours, all cores",
    "ours-interp": "ours, interpreter path",
    "pyerfa": "pyerfa",
    "pyproj": "pyproj",
    "pymap3d": "pymap3d",
    "numpy": "NumPy (hand-written)",
}
# Operations where a peer's timing is a composite of two of its calls.
COMPOSITE = {
    "solve_reduced_lat_equation": "peers: ECEF -> geodetic, then geodetic -> reduced latitude",
}


# ---------------------------------------------------------------------------------------------
# The points


class Points:
    """WGS84 test points, the same in every process: directions uniform on the sphere,
    altitudes uniform in [-10 km, 300 km]. Each array has its own random stream, so the
    points of Points(n) are the first n of Points(m) for any m > n. Arrays are built on
    first use; every size N uses the first N points, so all inputs are C-contiguous
    float64 views."""

    def __init__(self, n: int, Re: float, f: float):
        self.n, self.Re, self.f = n, Re, f
        self.lat = np.arcsin(self._rng(0).uniform(-1.0, 1.0, n))
        self.lon = self._rng(1).uniform(-math.pi, math.pi, n)
        self.alt = self._rng(2).uniform(-1.0e4, 3.0e5, n)

    @staticmethod
    def _rng(stream: int) -> np.random.Generator:
        return np.random.default_rng([SEED, stream])

    def _ecef(self, alt) -> np.ndarray:
        e2 = self.f * (2.0 - self.f)
        sl, cl = np.sin(self.lat), np.cos(self.lat)
        nu = self.Re / np.sqrt(1.0 - e2 * sl * sl)
        r = np.empty((self.n, 3))
        r[:, 0] = (nu + alt) * cl * np.cos(self.lon)
        r[:, 1] = (nu + alt) * cl * np.sin(self.lon)
        r[:, 2] = (nu * (1.0 - e2) + alt) * sl
        return r

    @cached_property
    def r(self) -> np.ndarray:
        """ECEF positions of (lat, lon, alt), shape (n, 3)."""
        return self._ecef(self.alt)

    @cached_property
    def r_surf(self) -> np.ndarray:
        """ECEF positions of (lat, lon) on the surface, shape (n, 3)."""
        return self._ecef(0.0)

    @cached_property
    def zeros(self) -> np.ndarray:
        return np.zeros(self.n)

    @cached_property
    def u_ray(self) -> np.ndarray:
        """Directions from RAY_SOURCE towards jittered surface points: most hit, about 12 %
        (near the limb and beyond) miss."""
        jitter = self._rng(3).normal(0.0, 3.0e5, (self.n, 3))
        return self.r_surf + jitter - np.asarray(RAY_SOURCE)

    def columns(self, name: str) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The three columns of an (n, 3) array as contiguous arrays."""
        key = "_columns_" + name
        if key not in self.__dict__:
            a = getattr(self, name)
            self.__dict__[key] = tuple(np.ascontiguousarray(a[:, j]) for j in range(3))
        return self.__dict__[key]


def _s(n: int):
    return slice(0, n)


# ---------------------------------------------------------------------------------------------
# What each tool calls. A builder takes (points, n) and returns a callable of no arguments that
# computes the operation on the first n points and returns the tool's own output; `fields`
# turns that output into named arrays for the cross-check.


def ours_calls(e, subclass: bool):
    class Sub(np.ndarray):
        pass

    def wrap(a):
        return a.view(Sub) if subclass else a

    lat0, lon0, alt0 = OBSERVER
    src = np.asarray(RAY_SOURCE)

    def b(method, *names):
        def build(p: Points, n: int):
            fn = getattr(e, method)
            args = [wrap(getattr(p, k)[_s(n)]) for k in names]
            return lambda: fn(*args)

        return build

    def aer(p, n):
        r = wrap(p.r[_s(n)])
        return lambda: e.aer_coords(r, lat0, lon0, alt0)

    def ray(p, n):
        u, s = wrap(p.u_ray[_s(n)]), wrap(src)
        return lambda: e.surf_pos_of_ray_first_intersection(s, u)

    return {
        "reduced_lat_from_geodetic_lat": b("reduced_lat_from_geodetic_lat", "lat"),
        "geodetic_lat_from_reduced_lat": b("geodetic_lat_from_reduced_lat", "lat"),
        "enu": b("enu", "lat", "lon"),
        "surf_pos_from_surf_coord": b("surf_pos_from_surf_coord", "lat", "lon"),
        "surf_coord_from_surf_pos": b("surf_coord_from_surf_pos", "r_surf"),
        "solve_reduced_lat_equation": b("solve_reduced_lat_equation", "r"),
        "lla_from_pos": b("lla_from_pos", "r"),
        "pos_from_lla": b("pos_from_lla", "lat", "lon", "alt"),
        "surf_pos_of_ray_first_intersection": ray,
        "aer_coords": aer,
    }


def record_fields(op: str, out) -> dict[str, np.ndarray]:
    """Named arrays of the module's own result types (also produced by the floor)."""
    out = np.asarray(out)
    if out.dtype.names:
        return {name: np.asarray(out[name]) for name in out.dtype.names}
    if op in ("surf_pos_from_surf_coord", "pos_from_lla", "surf_pos_of_ray_first_intersection"):
        return {"r": out}
    return {"value": out}


def floor_calls(e, floor, hold_gil: bool):
    from quorvane.datamodel import AER_dtype, ENU_dtype, LLA_dtype, SurfCoord_dtype

    obs = np.asarray(OBSERVER, dtype=float)
    src = np.asarray(RAY_SOURCE, dtype=float)

    def b(kernel, make_out, *names):
        def build(p: Points, n: int):
            ins = [getattr(p, k)[_s(n)] for k in names]

            def call():
                out = make_out(n)
                floor.run(e, kernel, out, *ins, hold_gil=hold_gil)
                return out

            return call

        return build

    def ray(p, n):
        u = p.u_ray[_s(n)]

        def call():
            out = np.zeros((n, 3))
            floor.run(e, "ray", out, src, u, hold_gil=hold_gil)
            return out

        return call

    def aer(kernel):
        def build(p, n):
            r = p.r[_s(n)]

            def call():
                out = np.zeros(n, AER_dtype)
                floor.run(e, kernel, out, r, obs, hold_gil=hold_gil)
                return out

            return call

        return build

    def vec(n):
        return np.zeros(n)

    def mat(n):
        return np.zeros((n, 3))

    return {
        "reduced_lat_from_geodetic_lat": b("reduced_lat", vec, "lat"),
        "geodetic_lat_from_reduced_lat": b("geodetic_lat", vec, "lat"),
        "enu": b("enu", lambda n: np.zeros(n, ENU_dtype), "lat", "lon"),
        "surf_pos_from_surf_coord": b("surf_pos", mat, "lat", "lon"),
        "surf_coord_from_surf_pos": b(
            "surf_coord", lambda n: np.zeros(n, SurfCoord_dtype), "r_surf"
        ),
        "solve_reduced_lat_equation": b("solve", vec, "r"),
        "lla_from_pos": b("lla", lambda n: np.zeros(n, LLA_dtype), "r"),
        "pos_from_lla": b("pos", mat, "lat", "lon", "alt"),
        "surf_pos_of_ray_first_intersection": ray,
        "aer_coords": aer("aer"),
        AER_ONCE: aer("aer_once"),
    }


def _lla_fields(lat, lon, alt):
    return {"lat": lat, "lon": lon, "alt": alt}


def _reduced(f, lat):
    return np.arctan((1.0 - f) * np.tan(lat))


def pyerfa_calls(Re, f):
    import erfa

    def surf_pos(p, n):
        lat, lon, z = p.lat[_s(n)], p.lon[_s(n)], p.zeros[_s(n)]
        return lambda: erfa.gd2gce(Re, f, lon, lat, z)

    def pos(p, n):
        lat, lon, alt = p.lat[_s(n)], p.lon[_s(n)], p.alt[_s(n)]
        return lambda: erfa.gd2gce(Re, f, lon, lat, alt)

    def inverse(name):
        def build(p, n):
            r = getattr(p, name)[_s(n)]
            return lambda: erfa.gc2gde(Re, f, r)

        return build

    def solve(p, n):
        r = p.r[_s(n)]

        def call():
            _, phi, _ = erfa.gc2gde(Re, f, r)
            return _reduced(f, phi)

        return call

    calls = {
        "surf_pos_from_surf_coord": surf_pos,
        "surf_coord_from_surf_pos": inverse("r_surf"),
        "solve_reduced_lat_equation": solve,
        "lla_from_pos": inverse("r"),
        "pos_from_lla": pos,
    }

    def fields(op, out):
        if op in ("surf_pos_from_surf_coord", "pos_from_lla"):
            return {"r": out}
        if op == "solve_reduced_lat_equation":
            return {"value": out}
        elong, phi, h = out
        if op == "surf_coord_from_surf_pos":
            return {"lat": phi, "lon": elong}
        return _lla_fields(phi, elong, h)

    def one_point():
        x, y, z = Points(1, Re, f).r[0].tolist()
        lat, lon, alt = OBSERVER
        r = np.array([x, y, z])
        return {
            "lla_from_pos": ("gc2gde(a, f, (3,) array)", lambda: erfa.gc2gde(Re, f, r)),
            "pos_from_lla": ("gd2gce(a, f, 3 floats)", lambda: erfa.gd2gce(Re, f, lon, lat, alt)),
        }

    return calls, fields, one_point


def pyproj_calls(Re, f):
    import pyproj

    ellps = f"+a={Re!r} +rf={1.0 / f!r}"
    cart = pyproj.Transformer.from_pipeline(f"+proj=cart {ellps}")
    lat0, lon0, alt0 = OBSERVER
    topo = pyproj.Transformer.from_pipeline(
        f"+proj=topocentric {ellps} +lat_0={math.degrees(lat0)!r} "
        f"+lon_0={math.degrees(lon0)!r} +h_0={alt0!r}"
    )

    def forward(alt_name):
        def build(p, n):
            lat, lon, alt = p.lat[_s(n)], p.lon[_s(n)], getattr(p, alt_name)[_s(n)]
            return lambda: cart.transform(lon, lat, alt, radians=True)

        return build

    def inverse(name):
        def build(p, n):
            x, y, z = (c[_s(n)] for c in p.columns(name))
            return lambda: cart.transform(x, y, z, direction="INVERSE", radians=True)

        return build

    def solve(p, n):
        x, y, z = (c[_s(n)] for c in p.columns("r"))

        def call():
            _, lat, _ = cart.transform(x, y, z, direction="INVERSE", radians=True)
            return _reduced(f, lat)

        return call

    def aer(p, n):
        x, y, z = (c[_s(n)] for c in p.columns("r"))

        def call():
            east, north, up = topo.transform(x, y, z)
            rng = np.sqrt(east * east + north * north + up * up)
            return np.arctan2(east, north), np.arcsin(up / rng), rng

        return call

    calls = {
        "surf_pos_from_surf_coord": forward("zeros"),
        "surf_coord_from_surf_pos": inverse("r_surf"),
        "solve_reduced_lat_equation": solve,
        "lla_from_pos": inverse("r"),
        "pos_from_lla": forward("alt"),
        "aer_coords": aer,
    }

    def fields(op, out):
        if op in ("surf_pos_from_surf_coord", "pos_from_lla"):
            return {"r": np.stack(out, axis=1)}
        if op == "solve_reduced_lat_equation":
            return {"value": out}
        if op == "aer_coords":
            return dict(zip(("azimuth", "elevation", "range"), out))
        lon, lat, h = out
        if op == "surf_coord_from_surf_pos":
            return {"lat": lat, "lon": lon}
        return _lla_fields(lat, lon, h)

    def one_point():
        x, y, z = Points(1, Re, f).r[0].tolist()
        lat, lon, alt = OBSERVER
        return {
            "lla_from_pos": (
                "Transformer(+proj=cart).transform(x, y, z, direction=INVERSE), 3 floats",
                lambda: cart.transform(x, y, z, direction="INVERSE", radians=True),
            ),
            "pos_from_lla": (
                "Transformer(+proj=cart).transform(lon, lat, alt), 3 floats",
                lambda: cart.transform(lon, lat, alt, radians=True),
            ),
        }

    return calls, fields, one_point


def pymap3d_calls(Re, f):
    import pymap3d as pm
    import pymap3d.latitude as pml

    ell = pm.Ellipsoid(semimajor_axis=Re, semiminor_axis=(1.0 - f) * Re, name="WGS84")
    lat0, lon0, alt0 = OBSERVER

    def lat_conv(fn):
        def build(p, n):
            lat = p.lat[_s(n)]
            return lambda: fn(lat, ell, deg=False)

        return build

    def forward(alt_name):
        def build(p, n):
            lat, lon, alt = p.lat[_s(n)], p.lon[_s(n)], getattr(p, alt_name)[_s(n)]
            return lambda: pm.geodetic2ecef(lat, lon, alt, ell, deg=False)

        return build

    def inverse(name):
        def build(p, n):
            x, y, z = (c[_s(n)] for c in p.columns(name))
            return lambda: pm.ecef2geodetic(x, y, z, ell, deg=False)

        return build

    def solve(p, n):
        x, y, z = (c[_s(n)] for c in p.columns("r"))

        def call():
            lat, _, _ = pm.ecef2geodetic(x, y, z, ell, deg=False)
            return pml.geodetic2parametric(lat, ell, deg=False)

        return call

    def aer(p, n):
        x, y, z = (c[_s(n)] for c in p.columns("r"))
        return lambda: pm.ecef2aer(x, y, z, lat0, lon0, alt0, ell, deg=False)

    calls = {
        "reduced_lat_from_geodetic_lat": lat_conv(pml.geodetic2parametric),
        "geodetic_lat_from_reduced_lat": lat_conv(pml.parametric2geodetic),
        "surf_pos_from_surf_coord": forward("zeros"),
        "surf_coord_from_surf_pos": inverse("r_surf"),
        "solve_reduced_lat_equation": solve,
        "lla_from_pos": inverse("r"),
        "pos_from_lla": forward("alt"),
        "aer_coords": aer,
    }

    def fields(op, out):
        if op in ("reduced_lat_from_geodetic_lat", "geodetic_lat_from_reduced_lat"):
            return {"value": np.asarray(out)}
        if op == "solve_reduced_lat_equation":
            return {"value": np.asarray(out)}
        if op in ("surf_pos_from_surf_coord", "pos_from_lla"):
            return {"r": np.stack(out, axis=1)}
        if op == "aer_coords":
            return dict(zip(("azimuth", "elevation", "range"), out))
        lat, lon, h = out
        if op == "surf_coord_from_surf_pos":
            return {"lat": lat, "lon": lon}
        return _lla_fields(lat, lon, h)

    def one_point():
        x, y, z = Points(1, Re, f).r[0].tolist()
        lat, lon, alt = OBSERVER
        return {
            "lla_from_pos": (
                "ecef2geodetic(x, y, z), 3 floats",
                lambda: pm.ecef2geodetic(x, y, z, ell, deg=False),
            ),
            "pos_from_lla": (
                "geodetic2ecef(lat, lon, alt), 3 floats",
                lambda: pm.geodetic2ecef(lat, lon, alt, ell, deg=False),
            ),
        }

    return calls, fields, one_point


def numpy_calls(Re, f):
    """What a user would write with NumPy for the operations no peer offers."""
    src = np.asarray(RAY_SOURCE)

    def enu(p, n):
        lat, lon = p.lat[_s(n)], p.lon[_s(n)]

        def call():
            sl, cl, so, co = np.sin(lat), np.cos(lat), np.sin(lon), np.cos(lon)
            frame = np.empty((n, 3, 3))
            frame[:, 0, 0], frame[:, 0, 1], frame[:, 0, 2] = -so, co, 0.0
            frame[:, 1, 0], frame[:, 1, 1], frame[:, 1, 2] = -sl * co, -sl * so, cl
            frame[:, 2, 0], frame[:, 2, 1], frame[:, 2, 2] = cl * co, cl * so, sl
            return frame

        return call

    def ray(p, n):
        u = p.u_ray[_s(n)]
        g = np.array([1.0, 1.0, 1.0 / (1.0 - f) ** 2])

        def call():
            # |r + l u|_G^2 = Re^2, G = diag(1, 1, 1/(1-f)^2): a l^2 + b l + c = 0.
            gu = u * g
            a = np.einsum("ij,ij->i", gu, u)
            b = 2.0 * (gu @ src)
            c = src @ (g * src) - Re * Re
            with np.errstate(invalid="ignore"):
                sq = np.sqrt(b * b - 4.0 * a * c)  # NaN where the line misses
            l1, l2 = (sq - b) / (2.0 * a), (-b - sq) / (2.0 * a)
            lam = np.where(np.abs(l1) < np.abs(l2), l1, l2)
            return src + lam[:, None] * u

        return call

    calls = {"enu": enu, "surf_pos_of_ray_first_intersection": ray}

    def fields(op, out):
        if op == "enu":
            return {"u_east": out[:, 0], "u_north": out[:, 1], "u_up": out[:, 2]}
        return {"r": out}

    return calls, fields, None


# ---------------------------------------------------------------------------------------------
# Timing


def time_call(fn, budget: float) -> tuple[float, int]:
    """Median seconds of one call, and the number of timed calls."""
    t0 = time.perf_counter()
    out = fn()
    first = time.perf_counter() - t0
    del out
    if first > 1.0:
        samples, reps = [first], 2  # long calls: the first counts, two more
    else:
        samples, reps = [], min(1000, max(5, int(budget / max(first, 1e-9))))
    for _ in range(reps):
        t0 = time.perf_counter()
        out = fn()
        samples.append(time.perf_counter() - t0)
        del out
    return float(np.median(samples)), len(samples)


def time_one_point(fn, batches: int = 15) -> float:
    """Median nanoseconds per call of a one-point call, over batches of ~20 ms."""
    t0 = time.perf_counter()
    fn()
    k = max(10, int(0.02 / max(time.perf_counter() - t0, 1e-7)))
    per = []
    for _ in range(batches):
        t0 = time.perf_counter()
        for _ in range(k):
            fn()
        per.append((time.perf_counter() - t0) / k)
    return float(np.median(per)) * 1e9


def fmt_n(n: int) -> str:
    e = round(math.log10(n)) if n > 0 else 0
    return f"1e{e}" if 10**e == n else str(n)


# ---------------------------------------------------------------------------------------------
# Worker: one tool in one process


def load_floor(path: str):
    spec = importlib.util.spec_from_file_location("_bench_floor", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def worker(args) -> None:
    from quorvane.mathtools.ellipsoid import catalogue

    tool = args.worker
    e = catalogue.get("wgs84")
    origin = Path(sys.modules[type(e).__module__].__file__)
    Re, f = e.Re, e.f
    sizes = parse_sizes(args.sizes)
    result: dict = {"tool": tool, "times": {}, "reps": {}, "errors": {}, "skipped": {}}
    result["module_stamp"] = f"{origin.stat().st_mtime_ns}:{origin.stat().st_size}"
    result["module_file"] = str(origin)
    one_point = None

    try:
        if tool in ("ours", "ours-1t", "ours-interp", "memory"):
            calls = ours_calls(e, subclass=tool == "ours-interp")
            fields = record_fields
            if tool == "ours-interp":
                sizes = [n for n in sizes if n <= args.interp_max]
            if tool != "ours-interp":
                pt = Points(1, Re, f)
                x, y, z = pt.r[0].tolist()
                r1 = np.array([x, y, z])
                lat, lon, alt = OBSERVER

                def one_point():
                    return {
                        "lla_from_pos": ("lla_from_pos((3,) array)", lambda: e.lla_from_pos(r1)),
                        "pos_from_lla": (
                            "pos_from_lla(3 floats)",
                            lambda: e.pos_from_lla(lat, lon, alt),
                        ),
                    }
        elif tool in FLOORS:
            calls = floor_calls(e, load_floor(args.floor), hold_gil=tool == "floor-gil")
            fields = record_fields
        else:
            maker = {
                "pyerfa": pyerfa_calls,
                "pyproj": pyproj_calls,
                "pymap3d": pymap3d_calls,
                "numpy": numpy_calls,
            }[tool]
            calls, fields, one_point = maker(Re, f)
    except ImportError as exc:
        result["unavailable"] = f"{type(exc).__name__}: {exc}"
        print(f"  {tool}: unavailable ({exc})", flush=True)
        Path(args.workdir, tool + ".json").write_text(json.dumps(result))
        return

    result["versions"] = tool_versions(tool)
    if tool == "memory":
        result["memory"] = measure_memory(e, calls, max(sizes), Re, f)
        Path(args.workdir, tool + ".json").write_text(json.dumps(result, indent=1))
        return

    points = Points(max(max(sizes), args.check_n), Re, f)
    checks: dict[str, np.ndarray] = {}
    gc.disable()
    for op in ALL_OPS:
        if op not in calls:
            continue
        times, reps = {}, {}
        for i, n in enumerate(sizes):
            try:
                fn = calls[op](points, n)
                seconds, count = time_call(fn, args.budget)
            except (ArithmeticError, LookupError, RuntimeError, TypeError, ValueError) as exc:
                # a tool that fails on an input is reported, not fatal
                result["errors"][op] = f"N={fmt_n(n)}: {type(exc).__name__}: {exc}"
                print(f"  {tool:12s} {op}: {result['errors'][op]}", flush=True)
                break
            times[str(n)], reps[str(n)] = seconds / n * 1e9, count
            print(
                f"  {tool:12s} {op:36s} N={fmt_n(n):5s} {seconds / n * 1e9:9.1f} ns/point"
                f"  ({count} calls)",
                flush=True,
            )
            nxt = sizes[i + 1] if i + 1 < len(sizes) else None
            if nxt is not None and seconds * nxt / n > args.max_call:
                result["skipped"][op] = [fmt_n(m) for m in sizes[i + 1 :]]
                print(
                    f"  {tool:12s} {op}: larger N skipped (a call would take about "
                    f"{seconds * nxt / n:.0f} s)",
                    flush=True,
                )
                break
        result["times"][op], result["reps"][op] = times, reps
        if op not in result["errors"]:
            out = calls[op](points, args.check_n)()
            for name, a in fields(op, out).items():
                checks[f"{op}/{name}"] = np.ascontiguousarray(a, dtype=float)
        gc.collect()
    gc.enable()

    if one_point is not None:
        result["one_point"] = {}
        for op, (what, fn) in one_point().items():
            ns = time_one_point(fn)
            result["one_point"][op] = {"call": what, "ns": ns}
            print(f"  {tool:12s} one point {op}: {ns:8.0f} ns  [{what}]", flush=True)

    np.savez(Path(args.workdir, tool + ".npz"), **checks)
    Path(args.workdir, tool + ".json").write_text(json.dumps(result, indent=1))


def _read_status(key: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1]) * 1024
    raise KeyError(key)


def measure_memory(e, calls, n: int, Re: float, f: float) -> dict:
    """Peak extra memory of each method at n points: tracemalloc's peak during the call
    (NumPy reports its data buffers to tracemalloc) and, in a second call, the growth of
    the process's peak resident set (catches allocations tracemalloc does not see)."""
    points = Points(n, Re, f)
    clear_refs = Path("/proc/self/clear_refs")
    out = {}
    for op in OPS:
        fn = calls[op](points, n)
        fn()  # inputs built and touched before measuring
        gc.collect()
        tracemalloc.start()
        tracemalloc.reset_peak()
        base, _ = tracemalloc.get_traced_memory()
        res = fn()
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        nbytes = int(np.asarray(res).nbytes)
        del res
        gc.collect()
        entry = {"n": n, "result_bytes": nbytes, "traced_peak_bytes": int(peak - base)}
        try:
            clear_refs.write_text("5")  # resets the peak resident set to the current one
            rss0 = _read_status("VmRSS")
            res = fn()
            entry["rss_peak_growth_bytes"] = _read_status("VmHWM") - rss0
            del res
        except OSError:
            pass
        gc.collect()
        extra = entry["traced_peak_bytes"] - nbytes
        print(
            f"  memory       {op:36s} N={fmt_n(n)}: result {nbytes / 2**20:8.1f} MiB, "
            f"traced peak {entry['traced_peak_bytes'] / 2**20:8.1f} MiB "
            f"(extra {extra / 2**20:+.2f} MiB, {100 * extra / max(nbytes, 1):+.2f} %)",
            flush=True,
        )
        out[op] = entry
    return out


def tool_versions(tool: str) -> dict:
    from importlib.metadata import PackageNotFoundError, version

    dist = {"pyerfa": "pyerfa", "pyproj": "pyproj", "pymap3d": "pymap3d"}.get(tool)
    v = {"numpy": np.__version__}
    if tool in (*OURS, *FLOORS, "memory"):
        dist = "quorvane-ellipsoid"
    if dist:
        try:
            v[dist] = version(dist)
        except PackageNotFoundError:
            v[dist] = "?"
    if tool == "pyproj":
        import pyproj

        v["PROJ"] = pyproj.proj_version_str
    if tool == "pyerfa":
        import erfa

        v["ERFA"] = getattr(erfa, "__version__", "?")
    return v


# ---------------------------------------------------------------------------------------------
# Driver


def parse_sizes(text: str) -> list[int]:
    return sorted({int(float(s)) for s in text.split(",") if s.strip()})


def snapshot_package(workdir: Path) -> tuple[Path, str]:
    """Copy the installed package into workdir, so that every tool process of this run loads
    the same build even if the package is reinstalled meanwhile. Returns the directory to
    put on PYTHONPATH and a description of the build copied."""
    source = Path(importlib.util.find_spec("quorvane").origin).parent
    extension = source / "mathtools" / "ellipsoid"
    for _ in range(5):
        before = [(f, f.stat().st_mtime_ns, f.stat().st_size) for f in extension.glob("*.so")]
        target = workdir / "snapshot"
        shutil.rmtree(target, ignore_errors=True)
        shutil.copytree(source, target / "quorvane", ignore=shutil.ignore_patterns("__pycache__"))
        after = [(f, f.stat().st_mtime_ns, f.stat().st_size) for f in extension.glob("*.so")]
        if before == after:
            break
        time.sleep(10)  # an install is under way
    else:
        raise SystemExit("the package kept changing while it was copied; try again later")
    so = next(extension.glob("ellipsoid*.so"))
    built = datetime.datetime.fromtimestamp(so.stat().st_mtime, datetime.UTC)
    return target, f"{so} (file of {built:%Y-%m-%d %H:%M:%S UTC}), copied for the run"


def build_floor(workdir: Path, include: Path) -> tuple[str | None, str]:
    target = workdir / ("_bench_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    command = [
        os.environ.get("CXX", "c++"),
        *compile_flags(),
        "-O3",
        "-shared",
        "-fPIC",
        "-I",
        sysconfig.get_paths()["include"],
        "-I",
        str(include),
        str(HERE / "floor.cpp"),
        "-o",
        str(target),
    ]
    proc = subprocess.run(command, capture_output=True, text=True, check=False)
    if proc.returncode != 0:
        return None, proc.stderr
    return str(target), " ".join(command[: command.index("-shared")])


def compile_flags() -> list[str]:
    """The module's own compiler flags (csrc/compile-flags.txt)."""
    text = (HERE.parent / "csrc" / "compile-flags.txt").read_text()
    return [line for line in text.splitlines() if line.startswith("-")]


def machine() -> dict:
    cpu = "?"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    mem = "?"
    for line in Path("/proc/meminfo").read_text().splitlines():
        if line.startswith("MemTotal"):
            mem = f"{int(line.split()[1]) / 2**20:.1f} GiB"
    cxx = subprocess.run(
        [os.environ.get("CXX", "c++"), "--version"], capture_output=True, text=True, check=False
    ).stdout.splitlines()
    try:
        commit = subprocess.run(
            ["git", "-C", str(HERE), "rev-parse", "--short", "HEAD"],
            capture_output=True,
            text=True,
            check=False,
        ).stdout.strip()
    except OSError:
        commit = "?"
    return {
        "cpu": cpu,
        "logical_cpus": os.cpu_count(),
        "cpus_available": len(os.sched_getaffinity(0)),
        "memory": mem,
        "os": f"{platform.system()} {platform.release()}",
        "python": platform.python_version(),
        "numpy": np.__version__,
        "compiler": cxx[0] if cxx else "?",
        "commit": commit or "?",
        "loadavg_at_start": " ".join(f"{x:.2f}" for x in os.getloadavg()),
        "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
    }


# Tolerances of the cross-check against ours (all cores), by kind of field and tool.
# The module's own paths and the floor are compared bit for bit.
ANGLE_FIELDS = {"value", "lat", "lon", "azimuth", "elevation"}
WRAPPED_FIELDS = {"lon", "azimuth"}
TOLERANCE = {
    # (op or "*", tool or "*", field kind): absolute tolerance
    ("reduced_lat_from_geodetic_lat", "*", "angle"): 1e-14,
    ("geodetic_lat_from_reduced_lat", "*", "angle"): 1e-14,
    ("enu", "*", "unit"): 1e-15,
    ("surf_pos_from_surf_coord", "*", "length"): 1e-8,
    ("pos_from_lla", "*", "length"): 1e-8,
    # the nearer root of the quadratic loses digits to cancellation for grazing rays
    ("surf_pos_of_ray_first_intersection", "*", "length"): 1e-4,
    # pymap3d's ECEF -> geodetic iteration stops near 1e-10 rad; PROJ's +proj=cart inverse is
    # a single Bowring step, about 1 mm at 300 km altitude.
    ("*", "pymap3d", "angle"): 1e-9,
    ("*", "pymap3d", "length"): 1e-4,
    ("*", "pyproj", "angle"): 1e-9,
    ("*", "pyproj", "length"): 5e-3,
    ("*", "*", "angle"): 1e-12,
    # ours: up to about 6 um in altitude near the poles (pyerfa: nm)
    ("*", "*", "length"): 1e-5,
}


def tolerance(op: str, tool: str, field: str) -> float:
    kind = "unit" if field.startswith("u_") else "angle" if field in ANGLE_FIELDS else "length"
    for key in ((op, tool, kind), (op, "*", kind), ("*", tool, kind), ("*", "*", kind)):
        if key in TOLERANCE:
            return TOLERANCE[key]
    raise KeyError((op, tool, field))


def compare(workdir: Path, tools: list[str]) -> list[dict]:
    ref = dict(np.load(workdir / "ours.npz"))
    rows = []
    for tool in tools:
        if tool == "ours" or not (workdir / f"{tool}.npz").exists():
            continue
        other = dict(np.load(workdir / f"{tool}.npz"))
        for key, b in other.items():
            op, field = key.split("/")
            base = op.split("@")[0]
            a = ref.get(f"{base}/{field}")
            if a is None or a.shape != b.shape:
                rows.append(
                    {
                        "op": op,
                        "tool": tool,
                        "field": field,
                        "ok": False,
                        "note": "shape differs" if a is not None else "no reference",
                    }
                )
                continue
            nan_a, nan_b = np.isnan(a), np.isnan(b)
            d = b - a
            if field in WRAPPED_FIELDS:
                d = (d + math.pi) % (2.0 * math.pi) - math.pi
            both = ~(nan_a | nan_b)
            maxdiff = float(np.max(np.abs(d[both]))) if both.any() else 0.0
            nan_mismatch = int(np.count_nonzero(nan_a != nan_b))
            if (tool in OURS or tool in FLOORS) and op == base:
                identical = bool(
                    np.array_equal(a.view(np.uint64), b.view(np.uint64))
                    or np.array_equal(a, b, equal_nan=True)
                )
                rows.append(
                    {
                        "op": op,
                        "tool": tool,
                        "field": field,
                        "max_diff": maxdiff,
                        "tol": 0.0,
                        "nan_mismatch": nan_mismatch,
                        "ok": identical,
                        "note": "bit-identical" if identical else "DIFFERS",
                    }
                )
            else:
                tol = tolerance(base, tool, field)
                ok = maxdiff <= tol and nan_mismatch == 0
                rows.append(
                    {
                        "op": op,
                        "tool": tool,
                        "field": field,
                        "max_diff": maxdiff,
                        "tol": tol,
                        "nan_mismatch": nan_mismatch,
                        "ok": ok,
                        "note": "" if ok else "OUTSIDE TOLERANCE",
                    }
                )
    return rows


def run_worker(tool: str, args, workdir: Path, floor_path: str | None, sizes: str) -> float:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(workdir / "snapshot"), *filter(None, [env.get("PYTHONPATH")])]
    )
    env.pop("QUORVANE_NUM_THREADS", None)
    if tool == "ours-1t":
        env["QUORVANE_NUM_THREADS"] = "1"
    command = [
        sys.executable,
        str(Path(__file__).resolve()),
        "--worker",
        tool,
        "--sizes",
        sizes,
        "--workdir",
        str(workdir),
        "--budget",
        str(args.budget),
        "--check-n",
        str(args.check_n),
        "--interp-max",
        str(args.interp_max),
        "--max-call",
        str(args.max_call),
    ]
    if floor_path:
        command += ["--floor", floor_path]
    t0 = time.perf_counter()
    proc = subprocess.run(command, env=env, cwd=tempfile.gettempdir(), check=False)
    if proc.returncode != 0:
        print(f"  {tool}: worker failed with exit code {proc.returncode}", flush=True)
    return time.perf_counter() - t0


def ref_size(sizes: list[int], want: int) -> int:
    below = [n for n in sizes if n <= want]
    return max(below) if below else min(sizes)


def ratio(a, b) -> str:
    return f"{a / b:.2f}" if a is not None and b else "—"


def ns(x) -> str:
    if x is None:
        return "—"
    return f"{x:.1f}" if x < 100 else f"{x:.0f}"


def summarise(results: dict, sizes: list[int], ref_n: int, interp_n: int) -> list[list[str]]:
    """One row per method at ref_n points: times, best peer and the ratios."""
    rows = []
    for op in ALL_OPS:
        base = op.split("@")[0]

        def t(tool, n=ref_n, op=op, base=base):
            key = op if tool in FLOORS else base
            r = results.get(tool, {}).get("times", {}).get(key, {})
            return r.get(str(n))

        if op != base and t("floor") is None and t("floor-gil") is None:
            continue

        peers = {p: t(p) for p in PEERS if t(p) is not None}
        best = min(peers, key=peers.get) if peers else None
        floors = [x for x in (t("floor"), t("floor-gil")) if x is not None]
        floor = min(floors) if floors else None
        one, allc = t("ours-1t"), t("ours")
        rows.append(
            [
                op if op == base else f"{base} (floor: {op.split('@')[1]})",
                ns(t("floor")),
                ns(t("floor-gil")),
                ns(one),
                ns(allc),
                ns(t("ours-interp", interp_n)),
                *(ns(t(p)) for p in PEERS),
                f"{best} {ns(peers[best])}" if best else "—",
                ratio(one, floor),
                ratio(allc, floor),
                ratio(one, peers.get(best)),
                ratio(allc, peers.get(best)),
            ]
        )
    return rows


def md_table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


def text_table(header: list[str], rows: list[list[str]]) -> str:
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)]
    out = ["  ".join(str(h).rjust(w) for h, w in zip(header, widths))]
    out += ["  ".join(str(c).rjust(w) for c, w in zip(r, widths)) for r in rows]
    return "\n".join(out)


def series(op: str) -> list[tuple[str, str, str]]:
    """(tool, key in its times, label) of the lines of one method's table and panel."""
    out = [(tool, op, LABELS[tool]) for tool in TOOLS]
    if op == "aer_coords":
        out += [(tool, AER_ONCE, LABELS[tool] + ", observer once") for tool in FLOORS]
    return out


def plot(results: dict, sizes: list[int], path: Path, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    style = {
        "floor": ("black", "s", "--"),
        "floor-gil": ("dimgray", "s", "-."),
        "ours-1t": ("tab:blue", "o", "-"),
        "ours": ("tab:cyan", "D", "-"),
        "ours-interp": ("tab:gray", "x", ":"),
        "pyerfa": ("tab:green", "^", "-"),
        "pyproj": ("tab:orange", "v", "-"),
        "pymap3d": ("tab:red", "<", "-"),
        "numpy": ("tab:purple", ">", "-"),
    }
    fig, axes = plt.subplots(2, 5, figsize=(20, 8.5), sharex=True)
    handles = {}
    for ax, op in zip(axes.flat, OPS):
        for tool, key, label in series(op):
            times = results.get(tool, {}).get("times", {}).get(key, {})
            pts = sorted((int(n), v) for n, v in times.items())
            if not pts:
                continue
            color, marker, ls = style[tool]
            if key != op:
                marker, ls = "*", ":"
            (line,) = ax.loglog(
                [p[0] for p in pts],
                [p[1] for p in pts],
                color=color,
                marker=marker,
                linestyle=ls,
                label=label,
                markersize=5,
            )
            handles.setdefault(label, line)
        ax.set_title(f"{op}\n({OPS[op]})", fontsize=9)
        ax.grid(True, which="both", alpha=0.3)
        ax.set_xlim(min(sizes) / 2, max(sizes) * 2)
    for ax in axes[:, 0]:
        ax.set_ylabel("ns per point")
    for ax in axes[-1]:
        ax.set_xlabel("N points")
    order = [label for op in OPS for _, _, label in series(op)]
    labels = sorted(handles, key=order.index)
    fig.legend([handles[k] for k in labels], labels, loc="lower center", ncol=6, frameon=False)
    fig.suptitle(title, fontsize=11)
    fig.tight_layout(rect=(0, 0.07, 1, 0.96))
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--sizes",
        default="1e3,1e4,1e5,1e6,1e7",
        help="comma-separated point counts (default 1e3,1e4,1e5,1e6,1e7)",
    )
    parser.add_argument(
        "--quick", action="store_true", help="N = 1e3,1e4,1e5 and a short time budget: a smoke test"
    )
    parser.add_argument(
        "--out",
        default=str(HERE / "results"),
        help="directory for results.md, results.json and scaling.png",
    )
    parser.add_argument(
        "--tools",
        default=",".join(TOOLS) + ",memory",
        help="comma-separated subset of: " + ", ".join(TOOLS) + ", memory",
    )
    parser.add_argument(
        "--budget",
        type=float,
        default=None,
        help="seconds of repeats per tool, method and N (default 0.5)",
    )
    parser.add_argument(
        "--check-n", type=int, default=100_000, help="points compared across tools (default 1e5)"
    )
    parser.add_argument(
        "--interp-max",
        type=float,
        default=1e5,
        help="largest N for the interpreter path (default 1e5)",
    )
    parser.add_argument(
        "--max-call",
        type=float,
        default=30.0,
        help="skip larger N for a tool whose next call would take longer",
    )
    parser.add_argument(
        "--ref-size", type=float, default=1e6, help="N of the summary table (default 1e6)"
    )
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--workdir", help=argparse.SUPPRESS)
    parser.add_argument("--floor", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker:
        worker(args)
        return 0

    if args.quick:
        args.sizes = "1e3,1e4,1e5" if args.sizes == parser.get_default("sizes") else args.sizes
        args.budget = 0.1 if args.budget is None else args.budget
    args.budget = 0.5 if args.budget is None else args.budget
    sizes = parse_sizes(args.sizes)
    args.check_n = min(args.check_n, max(sizes))
    tools = [t for t in args.tools.split(",") if t]
    out_dir = Path(args.out)
    out_dir.mkdir(parents=True, exist_ok=True)

    info = machine()
    print(
        f"{info['cpu']}, {info['cpus_available']} CPUs available, Python {info['python']}, "
        f"NumPy {info['numpy']}, load {info['loadavg_at_start']}",
        flush=True,
    )
    started = time.perf_counter()
    workdir = Path(tempfile.mkdtemp(prefix="quorvane-bench-"))
    try:
        snapshot, info["module"] = snapshot_package(workdir)
        floor_path, floor_note = None, ""
        if any(t in FLOORS for t in tools):
            floor_path, floor_note = build_floor(workdir, snapshot)
            if floor_path is None:
                print("building bench/floor.cpp failed; the floor is skipped:\n" + floor_note)
                tools = [t for t in tools if t not in FLOORS]
        wall = {}
        for tool in tools:
            print(f"[{tool}]", flush=True)
            wall[tool] = run_worker(tool, args, workdir, floor_path, args.sizes)
        results = {}
        for tool in tools:
            p = workdir / f"{tool}.json"
            if p.exists():
                results[tool] = json.loads(p.read_text())
        checks = compare(workdir, tools) if (workdir / "ours.npz").exists() else []
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    elapsed = time.perf_counter() - started
    info["loadavg_at_end"] = " ".join(f"{x:.2f}" for x in os.getloadavg())

    report = write_report(
        args, sizes, tools, info, floor_note, results, checks, wall, elapsed, out_dir
    )
    print()
    print(report["text"])
    print(
        f"\nwrote {out_dir / 'results.md'}, {out_dir / 'results.json'}, "
        f"{out_dir / 'scaling.png'}; the run took {elapsed / 60:.1f} min"
    )
    return 0 if all(c["ok"] for c in checks) else 1


def write_report(args, sizes, tools, info, floor_note, results, checks, wall, elapsed, out_dir):
    ref_n = ref_size(sizes, int(args.ref_size))
    interp_n = ref_size(sizes, int(args.interp_max))
    ncpu = info["cpus_available"]
    header = [
        "method",
        "floor (released)",
        "floor (held)",
        "ours 1T",
        f"ours {ncpu}T",
        f"interp (N={fmt_n(interp_n)})",
        *PEERS,
        "best peer",
        "1T/floor",
        f"{ncpu}T/floor",
        "1T/best",
        f"{ncpu}T/best",
    ]
    summary = summarise(results, sizes, ref_n, interp_n)

    per_op = []
    for op in OPS:
        rows = []
        for tool, key, label in series(op):
            t = results.get(tool, {}).get("times", {}).get(key)
            if t:
                rows.append([label, *(ns(t.get(str(n))) for n in sizes)])
        per_op.append((op, rows))

    ch_rows = [
        [
            c["op"],
            c["tool"],
            c["field"],
            f"{c.get('max_diff', float('nan')):.3g}",
            f"{c.get('tol', 0):.0e}",
            str(c.get("nan_mismatch", "")),
            "ok" if c["ok"] else "FAIL",
            c.get("note", ""),
        ]
        for c in checks
    ]
    ch_header = ["method", "tool", "field", "max |diff|", "tolerance", "NaN mismatch", "", "note"]

    lat_rows = []
    for tool in ("ours", "pyproj", "pyerfa", "pymap3d"):
        for op, v in results.get(tool, {}).get("one_point", {}).items():
            lat_rows.append([op, LABELS[tool], v["call"], f"{v['ns']:.0f}"])
    lat_rows.sort(key=lambda r: r[0])
    ratios = []
    for op in ("lla_from_pos", "pos_from_lla"):
        ours = results.get("ours", {}).get("one_point", {}).get(op)
        peer = results.get("pyproj", {}).get("one_point", {}).get(op)
        if ours and peer:
            ratios.append(f"{op}: ours / pyproj = {ours['ns'] / peer['ns']:.2f}")

    mem_rows = []
    for op, m in results.get("memory", {}).get("memory", {}).items():
        nb = m["result_bytes"]
        extra = m["traced_peak_bytes"] - nb
        rss = m.get("rss_peak_growth_bytes")
        mem_rows.append(
            [
                op,
                fmt_n(m["n"]),
                f"{nb / 2**20:.1f}",
                f"{m['traced_peak_bytes'] / 2**20:.1f}",
                f"{extra / 2**10:+.1f} ({100 * extra / nb:+.3f} %)",
                "—"
                if rss is None or nb < 2**26
                else f"{rss / 2**20:.1f} ({(rss - nb) / 2**10:+.0f} KiB, {100 * (rss - nb) / nb:+.2f} %)",
                "yes" if extra <= 0.05 * nb else "no",
            ]
        )
    mem_header = [
        "method",
        "N",
        "result MiB",
        "traced peak MiB",
        "extra KiB (of result)",
        "peak RSS growth MiB (extra)",
        "within 5 %",
    ]

    notes = []
    if len({r.get("module_stamp") for r in results.values()}) > 1:
        notes.append(
            "WARNING: the extension module was reinstalled during the run; the tools did not "
            "all measure the same build. Run again."
        )
    for tool, r in results.items():
        if "unavailable" in r:
            notes.append(f"{tool}: not measured ({r['unavailable']}).")
        for op, msg in r.get("errors", {}).items():
            notes.append(f"{tool} {op}: failed at {msg}.")
        for op, skipped in r.get("skipped", {}).items():
            notes.append(
                f"{tool} {op}: N = {', '.join(skipped)} skipped "
                f"(a call would take over {args.max_call:.0f} s)."
            )
    versions = {}
    for r in results.values():
        versions.update(r.get("versions", {}))

    command = "python bench/run.py" + "".join(f" {a}" for a in sys.argv[1:])
    title = (
        f"ns per point vs N, WGS84 — {info['cpu']}, {ncpu} CPUs, "
        f"Python {info['python']}, NumPy {info['numpy']}, {info['date']}"
    )
    plot(results, sizes, out_dir / "scaling.png", title)

    md = [
        "# Benchmark: Ellipsoid methods against the C++ floor and the peers",
        "",
        (
            f"Command: `{command}` (took {elapsed / 60:.1f} min). Generated by `bench/run.py`; "
            "see its docstring for what each tool does."
        ),
        "",
        "## Machine",
        "",
        (
            f"- CPU: {info['cpu']}; {info['logical_cpus']} logical CPUs, "
            f"{info['cpus_available']} available to the process; memory {info['memory']}"
        ),
        f"- {info['os']}; Python {info['python']}; NumPy {info['numpy']}; {info['compiler']}",
        "- Versions: " + ", ".join(f"{k} {v}" for k, v in sorted(versions.items())),
        (
            f"- Checkout {info['commit']}; date {info['date']}; load average at start "
            f"{info['loadavg_at_start']}, at end {info['loadavg_at_end']} (1, 5, 15 min; a "
            "shared machine: other jobs may have run alongside)"
        ),
        f"- Module measured: `{info['module']}`",
        f"- Floor built with: `{floor_note}`" if floor_note else "- Floor: not built",
        "",
        "## Summary",
        "",
        (
            f"Nanoseconds per point at N = {fmt_n(ref_n)} (medians), except the interpreter path "
            f'at N = {fmt_n(interp_n)}. "1T" is `QUORVANE_NUM_THREADS=1`, "{ncpu}T" the '
            "default (all CPUs available). The floor loops the published kernel table into a "
            "fresh `numpy.zeros` result (allocated as the methods do), with the "
            "interpreter lock released (each nested kernel's error probe then takes the lock) "
            'and held (the probe finds it held); "floor" in the ratios is the faster of the two. '
            "Ratios below 1 mean ours is faster. Peers get their "
            "natural input layout (separate x, y, z arrays for pyproj and pymap3d) prepared "
            "outside the timed call; their outputs are not repacked into (N, 3) or records."
        ),
        "",
        md_table(header, summary),
        "",
    ]
    for op, note in COMPOSITE.items():
        md.append(f"- `{op}`: {note}.")
    md += [
        (
            "- `enu` and `surf_pos_of_ray_first_intersection`: no peer offers them; the NumPy "
            "column is a hand-written expression. pyproj's AER is `+proj=topocentric` followed by "
            "NumPy for azimuth, elevation and range."
        ),
        ("- The floor's `aer_coords` recomputes the observer for each target, as the kernel does."),
        "",
        "![scaling](scaling.png)",
        "",
        "## All sizes (ns per point)",
        "",
    ]
    for op, rows in per_op:
        md += [f"### {op} — {OPS[op]}", "", md_table(["tool", *map(fmt_n, sizes)], rows), ""]
    md += [
        "## One-point call latency (ns per call, medians)",
        "",
        md_table(["method", "tool", "call", "ns"], lat_rows),
        "",
        *(f"- {r}" for r in ratios),
        "",
        "## Peak extra memory",
        "",
        (
            "tracemalloc's peak during one call (NumPy reports its data buffers to it) against the "
            "size of the result; and, in a second call, the growth of the process's peak resident "
            "set, which also sees allocations outside NumPy and the interpreter."
        ),
        "",
        md_table(mem_header, mem_rows) if mem_rows else "(not measured)",
        "",
        f"## Agreement at N = {fmt_n(args.check_n)} (against ours, all cores)",
        "",
        (
            "The module's own paths and the floor must be bit-identical; peers must agree within "
            "the tolerance (angles in radians, lengths in metres; longitude and azimuth "
            "compared modulo 2 pi)."
        ),
        "",
        md_table(ch_header, ch_rows) if ch_rows else "(not checked)",
        "",
    ]
    if notes:
        md += ["## Notes", "", *(f"- {n}" for n in notes), ""]
    md += [
        "## Wall time per tool process",
        "",
        ", ".join(f"{t} {s:.0f} s" for t, s in wall.items()),
        "",
    ]
    (out_dir / "results.md").write_text("\n".join(md))
    (out_dir / "results.json").write_text(
        json.dumps(
            {
                "machine": info,
                "command": command,
                "sizes": sizes,
                "results": results,
                "checks": checks,
                "wall_seconds": wall,
                "elapsed_seconds": elapsed,
            },
            indent=1,
        )
    )

    text = [
        f"ns per point at N = {fmt_n(ref_n)} (interpreter path at N = {fmt_n(interp_n)})",
        text_table(header, summary),
        "",
    ]
    text += [
        "one-point latency (ns per call):",
        text_table(["method", "tool", "call", "ns"], lat_rows),
        *ratios,
        "",
    ]
    if mem_rows:
        text += ["peak extra memory:", text_table(mem_header, mem_rows), ""]
    bad = [c for c in checks if not c["ok"]]
    text.append(
        f"agreement at N = {fmt_n(args.check_n)}: {len(checks) - len(bad)} of "
        f"{len(checks)} fields ok"
    )
    for tool in TOOLS:
        mine = [c for c in checks if c["tool"] == tool]
        if not mine:
            continue
        own = [c for c in mine if c["note"] == "bit-identical"]
        if own:
            ops = len({c["op"] for c in own})
            text.append(f"  {tool:12s} bit-identical to ours: {ops} methods, {len(own)} fields")
        worst = {}
        for c in mine:
            if c in own:
                continue
            d = c.get("max_diff", math.nan)
            score = d / c["tol"] if c["tol"] else math.inf
            if c["op"] not in worst or score > worst[c["op"]][3]:
                worst[c["op"]] = (d, c["tol"], c["field"], score)
        for op, (d, tol, field, _) in worst.items():
            text.append(f"  {tool:12s} {op:36s} max |diff| {d:9.3g} ({field}; tolerance {tol:.0e})")
    text += [
        f"  FAIL {c['tool']} {c['op']}/{c['field']}: {c.get('max_diff')} {c.get('note')}"
        for c in bad
    ]
    text += notes
    return {"text": "\n".join(text)}


if __name__ == "__main__":
    sys.exit(main())
