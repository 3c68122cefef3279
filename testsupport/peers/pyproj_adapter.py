"""pyproj: PROJ's +proj=cart (geodetic <-> ECEF) and +proj=topocentric (ECEF -> ENU, followed
by NumPy for azimuth, elevation and range), on separate coordinate arrays."""

from __future__ import annotations

import math

import numpy as np

from testsupport.workload import OBSERVER

MODULE, DIST = "pyproj", "pyproj"
OPS = (
    "surf_pos_from_surf_coord",
    "surf_coord_from_surf_pos",
    "solve_reduced_lat_equation",
    "lla_from_pos",
    "pos_from_lla",
    "aer_coords",
)
ONE_POINT = {
    "lla_from_pos": "cart.transform(x, y, z, INVERSE)",
    "pos_from_lla": "cart.transform(lon, lat, alt)",
    "aer_coords": "topocentric transform(x, y, z) + math",
}


def _transformers(Re: float, f: float):
    import pyproj

    ellps = f"+a={Re!r} +rf={1.0 / f!r}"
    cart = pyproj.Transformer.from_pipeline(f"+proj=cart {ellps}")
    lat0, lon0, alt0 = OBSERVER
    topo = pyproj.Transformer.from_pipeline(
        f"+proj=topocentric {ellps} +lat_0={math.degrees(lat0)!r} "
        f"+lon_0={math.degrees(lon0)!r} +h_0={alt0!r}"
    )
    return cart, topo


def _reduced(f, lat):
    return np.arctan((1.0 - f) * np.tan(lat))


def calls(Re: float, f: float) -> dict:
    cart, topo = _transformers(Re, f)

    def forward(alt):
        def build(w, n):
            lat, lon, h = w.lat[:n], w.lon[:n], getattr(w, alt)[:n]
            return lambda: cart.transform(lon, lat, h, radians=True)

        return build

    def inverse(name):
        def build(w, n):
            x, y, z = (c[:n] for c in w.columns(name))
            return lambda: cart.transform(x, y, z, direction="INVERSE", radians=True)

        return build

    def solve(w, n):
        x, y, z = (c[:n] for c in w.columns("r"))

        def call():
            _, lat, _ = cart.transform(x, y, z, direction="INVERSE", radians=True)
            return _reduced(f, lat)

        return call

    def aer(w, n):
        x, y, z = (c[:n] for c in w.columns("r"))

        def call():
            east, north, up = topo.transform(x, y, z)
            rng = np.sqrt(east * east + north * north + up * up)
            return np.arctan2(east, north), np.arcsin(up / rng), rng

        return call

    return {
        "surf_pos_from_surf_coord": forward("zeros"),
        "surf_coord_from_surf_pos": inverse("r_surf"),
        "solve_reduced_lat_equation": solve,
        "lla_from_pos": inverse("r"),
        "pos_from_lla": forward("alt"),
        "aer_coords": aer,
    }


def fields(op: str, out) -> dict[str, np.ndarray]:
    if op in ("surf_pos_from_surf_coord", "pos_from_lla"):
        return {"r": np.stack(out, axis=1)}
    if op == "solve_reduced_lat_equation":
        return {"value": out}
    if op == "aer_coords":
        return dict(zip(("azimuth", "elevation", "range"), out))
    lon, lat, h = out
    if op == "surf_coord_from_surf_pos":
        return {"lat": lat, "lon": lon}
    return {"lat": lat, "lon": lon, "alt": h}


def one_point(Re: float, f: float, w) -> dict:
    cart, topo = _transformers(Re, f)
    x, y, z = w.r[0].tolist()
    lat, lon, alt = OBSERVER

    def aer(x, y, z):
        east, north, up = topo.transform(x, y, z)
        rng = math.sqrt(east * east + north * north + up * up)
        return math.atan2(east, north), math.asin(up / rng), rng

    inverse = {"direction": "INVERSE", "radians": True}
    return {
        "lla_from_pos": (cart.transform, (x, y, z), inverse),
        "pos_from_lla": (cart.transform, (lon, lat, alt), {"radians": True}),
        "aer_coords": (aer, (x, y, z), {}),
    }
