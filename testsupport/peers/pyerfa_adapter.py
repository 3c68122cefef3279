"""pyerfa: the geodetic <-> geocentric conversions of ERFA (gd2gce, gc2gde) on (Re, f)."""

from __future__ import annotations

import numpy as np

from testsupport.workload import OBSERVER

MODULE, DIST = "erfa", "pyerfa"
OPS = (
    "surf_pos_from_surf_coord",
    "surf_coord_from_surf_pos",
    "solve_reduced_lat_equation",
    "lla_from_pos",
    "pos_from_lla",
)
ONE_POINT = {
    "lla_from_pos": "gc2gde(a, f, (3,) array)",
    "pos_from_lla": "gd2gce(a, f, 3 floats)",
}


def _reduced(f, lat):
    return np.arctan((1.0 - f) * np.tan(lat))


def calls(Re: float, f: float) -> dict:
    import erfa

    def forward(alt):
        def build(w, n):
            lat, lon, h = w.lat[:n], w.lon[:n], getattr(w, alt)[:n]
            return lambda: erfa.gd2gce(Re, f, lon, lat, h)

        return build

    def inverse(name):
        def build(w, n):
            r = getattr(w, name)[:n]
            return lambda: erfa.gc2gde(Re, f, r)

        return build

    def solve(w, n):
        r = w.r[:n]

        def call():
            _, phi, _ = erfa.gc2gde(Re, f, r)
            return _reduced(f, phi)

        return call

    return {
        "surf_pos_from_surf_coord": forward("zeros"),
        "surf_coord_from_surf_pos": inverse("r_surf"),
        "solve_reduced_lat_equation": solve,
        "lla_from_pos": inverse("r"),
        "pos_from_lla": forward("alt"),
    }


def fields(op: str, out) -> dict[str, np.ndarray]:
    if op in ("surf_pos_from_surf_coord", "pos_from_lla"):
        return {"r": out}
    if op == "solve_reduced_lat_equation":
        return {"value": out}
    elong, phi, h = out
    if op == "surf_coord_from_surf_pos":
        return {"lat": phi, "lon": elong}
    return {"lat": phi, "lon": elong, "alt": h}


def one_point(Re: float, f: float, w) -> dict:
    import erfa

    r = np.array(w.r[0])
    lat, lon, alt = OBSERVER
    return {
        "lla_from_pos": (erfa.gc2gde, (Re, f, r), {}),
        "pos_from_lla": (erfa.gd2gce, (Re, f, lon, lat, alt), {}),
    }
