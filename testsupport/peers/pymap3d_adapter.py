"""pymap3d: its NumPy implementations of the latitude conversions, geodetic <-> ECEF and
ECEF -> AER, on separate coordinate arrays."""

from __future__ import annotations

import numpy as np

from testsupport.workload import OBSERVER

MODULE, DIST = "pymap3d", "pymap3d"
OPS = (
    "reduced_lat_from_geodetic_lat",
    "geodetic_lat_from_reduced_lat",
    "surf_pos_from_surf_coord",
    "surf_coord_from_surf_pos",
    "solve_reduced_lat_equation",
    "lla_from_pos",
    "pos_from_lla",
    "aer_coords",
)
ONE_POINT = {
    "lla_from_pos": "ecef2geodetic(x, y, z)",
    "pos_from_lla": "geodetic2ecef(lat, lon, alt)",
    "aer_coords": "ecef2aer(x, y, z, lat0, lon0, alt0)",
}


def _ellipsoid(Re: float, f: float):
    import pymap3d as pm

    return pm.Ellipsoid(semimajor_axis=Re, semiminor_axis=(1.0 - f) * Re, name="bench")


def calls(Re: float, f: float) -> dict:
    import pymap3d as pm
    import pymap3d.latitude as pml

    ell = _ellipsoid(Re, f)
    lat0, lon0, alt0 = OBSERVER

    def latitude(fn):
        def build(w, n):
            lat = w.lat[:n]
            return lambda: fn(lat, ell, deg=False)

        return build

    def forward(alt):
        def build(w, n):
            lat, lon, h = w.lat[:n], w.lon[:n], getattr(w, alt)[:n]
            return lambda: pm.geodetic2ecef(lat, lon, h, ell, deg=False)

        return build

    def inverse(name):
        def build(w, n):
            x, y, z = (c[:n] for c in w.columns(name))
            return lambda: pm.ecef2geodetic(x, y, z, ell, deg=False)

        return build

    def solve(w, n):
        x, y, z = (c[:n] for c in w.columns("r"))

        def call():
            lat, _, _ = pm.ecef2geodetic(x, y, z, ell, deg=False)
            return pml.geodetic2parametric(lat, ell, deg=False)

        return call

    def aer(w, n):
        x, y, z = (c[:n] for c in w.columns("r"))
        return lambda: pm.ecef2aer(x, y, z, lat0, lon0, alt0, ell, deg=False)

    return {
        "reduced_lat_from_geodetic_lat": latitude(pml.geodetic2parametric),
        "geodetic_lat_from_reduced_lat": latitude(pml.parametric2geodetic),
        "surf_pos_from_surf_coord": forward("zeros"),
        "surf_coord_from_surf_pos": inverse("r_surf"),
        "solve_reduced_lat_equation": solve,
        "lla_from_pos": inverse("r"),
        "pos_from_lla": forward("alt"),
        "aer_coords": aer,
    }


def fields(op: str, out) -> dict[str, np.ndarray]:
    if op in (
        "reduced_lat_from_geodetic_lat",
        "geodetic_lat_from_reduced_lat",
        "solve_reduced_lat_equation",
    ):
        return {"value": np.asarray(out)}
    if op in ("surf_pos_from_surf_coord", "pos_from_lla"):
        return {"r": np.stack(out, axis=1)}
    if op == "aer_coords":
        # pymap3d's azimuth is in [0, 2 pi); the comparison is modulo 2 pi
        return dict(zip(("azimuth", "elevation", "range"), out))
    lat, lon, h = out
    if op == "surf_coord_from_surf_pos":
        return {"lat": lat, "lon": lon}
    return {"lat": lat, "lon": lon, "alt": h}


def one_point(Re: float, f: float, w) -> dict:
    import pymap3d as pm

    ell = _ellipsoid(Re, f)
    x, y, z = w.r[0].tolist()
    lat, lon, alt = OBSERVER
    rad = {"deg": False}
    return {
        "lla_from_pos": (pm.ecef2geodetic, (x, y, z, ell), rad),
        "pos_from_lla": (pm.geodetic2ecef, (lat, lon, alt, ell), rad),
        "aer_coords": (pm.ecef2aer, (x, y, z, lat, lon, alt, ell), rad),
    }
