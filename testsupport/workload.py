"""The points every benchmark and the agreement tests compute on, and the methods measured.

WGS84 points, the same in every process: directions uniform on the sphere, altitudes uniform
in [-10 km, 300 km]. Each array has its own random stream, so the first n points of
Workload(m) are those of Workload(n) for any m > n.
"""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np

SEED = 20_260_501
WGS84 = (6378137.0, 1 / 298.257223563)  # Re in metres, flattening
# The observer of aer_coords and the origin of the rays, fixed for every run.
OBSERVER = (0.6, -1.4, 250.0)  # lat, lon (radians), alt (metres)
RAY_SOURCE = (1.5e7, -8.0e6, 9.0e6)  # ECEF metres, about 19,000 km from the centre

# The ten methods, in the order of the tables, with what each computes.
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
# A second floor of aer_coords: the observer's position and frame once per call, not per target.
AER_ONCE = "aer_coords_observer_once"

# The tools measured, with their labels.
TOOLS = {
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

# The arrays a workload saves, by name: (n,) for lat, lon, alt; (n, 3) for the rest.
SAVED = ("lat", "lon", "alt", "r", "r_surf", "u_ray")


def fmt_n(n: int) -> str:
    """1000 -> "1e3"; other counts as they are."""
    e = round(math.log10(n)) if n > 0 else 0
    return f"1e{e}" if 10**e == n else str(n)


class Workload:
    """The first n points. Arrays are built on first use; a workload made by ``load`` reads
    them instead from the files ``save`` wrote for a larger one (memory-mapped, and the n
    points asked copied into memory of their own)."""

    def __init__(self, n: int, Re: float = WGS84[0], f: float = WGS84[1]):
        self.n, self.Re, self.f = n, Re, f
        self._cache: dict[str, np.ndarray] = {}
        self._directory: Path | None = None

    @classmethod
    def load(cls, directory: Path, n: int) -> Workload:
        w = cls(n)
        w._directory = Path(directory)
        return w

    def save(self, directory: Path) -> None:
        for name in SAVED:
            np.save(Path(directory) / f"{name}.npy", getattr(self, name))

    def _get(self, name: str, build) -> np.ndarray:
        if name not in self._cache:
            if self._directory is not None and name in SAVED:
                saved = np.load(self._directory / f"{name}.npy", mmap_mode="r")
                self._cache[name] = np.array(saved[: self.n])
            else:
                self._cache[name] = build()
        return self._cache[name]

    @staticmethod
    def _rng(stream: int) -> np.random.Generator:
        return np.random.default_rng([SEED, stream])

    @property
    def lat(self) -> np.ndarray:
        return self._get("lat", lambda: np.arcsin(self._rng(0).uniform(-1.0, 1.0, self.n)))

    @property
    def lon(self) -> np.ndarray:
        return self._get("lon", lambda: self._rng(1).uniform(-math.pi, math.pi, self.n))

    @property
    def alt(self) -> np.ndarray:
        return self._get("alt", lambda: self._rng(2).uniform(-1.0e4, 3.0e5, self.n))

    @property
    def zeros(self) -> np.ndarray:
        return self._get("zeros", lambda: np.zeros(self.n))

    def _ecef(self, alt) -> np.ndarray:
        e2 = self.f * (2.0 - self.f)
        sl, cl = np.sin(self.lat), np.cos(self.lat)
        nu = self.Re / np.sqrt(1.0 - e2 * sl * sl)
        r = np.empty((self.n, 3))
        r[:, 0] = (nu + alt) * cl * np.cos(self.lon)
        r[:, 1] = (nu + alt) * cl * np.sin(self.lon)
        r[:, 2] = (nu * (1.0 - e2) + alt) * sl
        return r

    @property
    def r(self) -> np.ndarray:
        """ECEF positions of (lat, lon, alt), shape (n, 3)."""
        return self._get("r", lambda: self._ecef(self.alt))

    @property
    def r_surf(self) -> np.ndarray:
        """ECEF positions of (lat, lon) on the surface, shape (n, 3)."""
        return self._get("r_surf", lambda: self._ecef(0.0))

    @property
    def u_ray(self) -> np.ndarray:
        """Directions from RAY_SOURCE towards jittered surface points: most hit, about 12 %
        (near the limb and beyond) miss."""

        def build():
            jitter = self._rng(3).normal(0.0, 3.0e5, (self.n, 3))
            return self.r_surf + jitter - np.asarray(RAY_SOURCE)

        return self._get("u_ray", build)

    def columns(self, name: str) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The three columns of an (n, 3) array as contiguous arrays."""
        key = "columns_" + name
        if key not in self._cache:
            a = getattr(self, name)
            self._cache[key] = tuple(np.ascontiguousarray(a[:, j]) for j in range(3))
        return self._cache[key]
