"""The figure of the guide page on geometries: country-sized polygons, the planar area of their
longitude and latitude (square degrees taken as squares of 111.32 km, as a planar GIS
computation on unprojected coordinates gives it) against their geodesic area on WGS84.

    python -m bench.geometries_figure [-o docs/benchmarks/geometries.png]
"""

from __future__ import annotations

import argparse
import math
from pathlib import Path

import numpy as np

from quorvane.mathtools.ellipsoid import geodesic

OUT = Path(__file__).resolve().parents[1] / "docs" / "benchmarks" / "geometries.png"
# One degree of the equator (WGS84), squared: what a planar area of lon/lat degrees stands for.
DEGREE_M = 6378137.0 * math.pi / 180


def countries(n: int = 400, seed: int = 1):
    """n star-shaped polygons of some 300 to 1500 km across, centred at latitudes 0 to 75."""
    import shapely

    rng = np.random.default_rng(seed)
    lat0 = rng.uniform(0, 75, n)
    out = []
    for lat in lat0:
        k = 24
        angle = np.sort(rng.uniform(0, 2 * np.pi, k))
        r = rng.uniform(1.5, 7.0) * rng.uniform(0.7, 1.0, k)  # degrees of latitude
        lon = r * np.cos(angle) / np.cos(np.radians(lat))  # about as wide as high on the ground
        out.append(shapely.Polygon(np.c_[lon, lat + r * np.sin(angle)]))
    return lat0, np.array(out, dtype=object)


def draw(out: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import shapely

    lat0, polys = countries()
    geodesic_area = geodesic.geometry_area_perimeter("WGS84", polys)["area"]
    planar = shapely.area(polys) * DEGREE_M**2
    fig, ax = plt.subplots(figsize=(7, 4), constrained_layout=True)
    ax.scatter(lat0, planar / geodesic_area, s=8, label="planar area of lon/lat / geodesic area")
    phi = np.linspace(0, 75, 200)
    ax.plot(phi, 1 / np.cos(np.radians(phi)), "k--", lw=1, label="1 / cos(latitude)")
    ax.set_xlabel("latitude of the polygon's centre (degrees)")
    ax.set_ylabel("planar / geodesic area")
    ax.set_title("Country-sized polygons on WGS84 (300 to 1500 km across)")
    ax.legend()
    fig.savefig(out, dpi=110)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-o", type=Path, default=OUT)
    draw(parser.parse_args().o)


if __name__ == "__main__":
    main()
