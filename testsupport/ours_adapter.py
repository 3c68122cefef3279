"""The module's own calls: the ten methods on exact float64 arrays, or on an ndarray subclass
(which the methods read element by element through the interpreter), and one-point calls.

A builder takes (workload, n) and returns a callable of no arguments that computes the method
on the first n points. The number of threads is the caller's business
(``QUORVANE_NUM_THREADS``, read at each call)."""

from __future__ import annotations

import numpy as np

from testsupport import workload
from testsupport.workload import OBSERVER, RAY_SOURCE

OPS = tuple(workload.OPS)
ONE_POINT = {
    "lla_from_pos": "lla_from_pos((3,) array)",
    "pos_from_lla": "pos_from_lla(3 floats)",
    "aer_coords": "aer_coords((3,) array, 3 floats)",
    "enu": "enu(2 floats)",
}


class Sub(np.ndarray):
    """A subclass of ndarray: the methods read it through interpreter indexing."""


def ellipsoid(Re: float, f: float):
    from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

    return Ellipsoid(Re, f)


def calls(e, interpreter: bool = False) -> dict:
    """Builders of all of OPS."""

    def wrap(a):
        return a.view(Sub) if interpreter else a

    lat0, lon0, alt0 = OBSERVER

    def method(name, *arrays):
        def build(w, n):
            fn = getattr(e, name)
            args = [wrap(getattr(w, k)[:n]) for k in arrays]
            return lambda: fn(*args)

        return build

    def aer(w, n):
        r = wrap(w.r[:n])
        return lambda: e.aer_coords(r, lat0, lon0, alt0)

    def ray(w, n):
        u, s = wrap(w.u_ray[:n]), wrap(np.asarray(RAY_SOURCE))
        return lambda: e.surf_pos_of_ray_first_intersection(s, u)

    return {
        "reduced_lat_from_geodetic_lat": method("reduced_lat_from_geodetic_lat", "lat"),
        "geodetic_lat_from_reduced_lat": method("geodetic_lat_from_reduced_lat", "lat"),
        "enu": method("enu", "lat", "lon"),
        "surf_pos_from_surf_coord": method("surf_pos_from_surf_coord", "lat", "lon"),
        "surf_coord_from_surf_pos": method("surf_coord_from_surf_pos", "r_surf"),
        "solve_reduced_lat_equation": method("solve_reduced_lat_equation", "r"),
        "lla_from_pos": method("lla_from_pos", "r"),
        "pos_from_lla": method("pos_from_lla", "lat", "lon", "alt"),
        "surf_pos_of_ray_first_intersection": ray,
        "aer_coords": aer,
    }


def fields(op: str, out) -> dict[str, np.ndarray]:
    """Named arrays of a result of the module (or of the floor, which writes the same)."""
    out = np.asarray(out)
    if out.dtype.names:
        return {name: np.asarray(out[name]) for name in out.dtype.names}
    if out.ndim == 2:
        return {"r": out}
    return {"value": out}


def one_point(e, w) -> dict:
    """op -> (function, positional arguments, keyword arguments) of ONE_POINT's calls."""
    r = np.array(w.r[0])
    lat, lon, alt = OBSERVER
    return {
        "lla_from_pos": (e.lla_from_pos, (r,), {}),
        "pos_from_lla": (e.pos_from_lla, (lat, lon, alt), {}),
        "aer_coords": (e.aer_coords, (r, lat, lon, alt), {}),
        "enu": (e.enu, (lat, lon), {}),
    }


def versions() -> dict[str, str]:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return {"quorvane-ellipsoid": version("quorvane-ellipsoid")}
    except PackageNotFoundError:
        return {}
