"""What a user would write with NumPy for the operations no peer offers: the ENU frame and the
first intersection of rays with the ellipsoid."""

from __future__ import annotations

import numpy as np

from testsupport.workload import RAY_SOURCE

MODULE, DIST = "numpy", None
OPS = ("enu", "surf_pos_of_ray_first_intersection")
ONE_POINT: dict[str, str] = {}


def calls(Re: float, f: float) -> dict:
    src = np.asarray(RAY_SOURCE)

    def enu(w, n):
        lat, lon = w.lat[:n], w.lon[:n]

        def call():
            sl, cl, so, co = np.sin(lat), np.cos(lat), np.sin(lon), np.cos(lon)
            frame = np.empty((n, 3, 3))
            frame[:, 0, 0], frame[:, 0, 1], frame[:, 0, 2] = -so, co, 0.0
            frame[:, 1, 0], frame[:, 1, 1], frame[:, 1, 2] = -sl * co, -sl * so, cl
            frame[:, 2, 0], frame[:, 2, 1], frame[:, 2, 2] = cl * co, cl * so, sl
            return frame

        return call

    def ray(w, n):
        u = w.u_ray[:n]
        g = np.array([1.0, 1.0, 1.0 / (1.0 - f) ** 2])

        def call():
            # |r + l u|_G^2 = Re^2 with G = diag(1, 1, 1/(1-f)^2): a l^2 + b l + c = 0
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

    return {"enu": enu, "surf_pos_of_ray_first_intersection": ray}


def fields(op: str, out) -> dict[str, np.ndarray]:
    if op == "enu":
        return {"u_east": out[:, 0], "u_north": out[:, 1], "u_up": out[:, 2]}
    return {"r": out}


def one_point(Re: float, f: float, w) -> dict:
    return {}
