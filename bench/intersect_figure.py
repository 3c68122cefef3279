"""The figure of the guide's section on intersections: two geodesics on WGS84, from Lisbon
heading north-east and from Cairo heading north-west, drawn in longitude and latitude with the
intersection `geodesic.intersect` gives (the closest to the starts in |x| + |y|) and the next
one along both lines, near its antipode.

    python -m bench.intersect_figure [-o docs/benchmarks/intersect.png]
"""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np

from quorvane.mathtools.ellipsoid import geodesic

OUT = Path(__file__).resolve().parents[1] / "docs" / "benchmarks" / "intersect.png"
LINES = {
    "from Lisbon, azimuth 40": (38.72, -9.14, 40.0),
    "from Cairo, azimuth -30": (30.04, 31.24, -30.0),
}


def draw(out: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    (lat1, lon1, azi1), (lat2, lon2, azi2) = LINES.values()
    near = geodesic.intersect("WGS84", lat1, lon1, azi1, lat2, lon2, azi2, degrees=True)
    # The next intersection: the closest one to the points half a turn farther along both lines.
    half = np.pi * 6378137.0
    p1 = geodesic.direct("WGS84", lat1, lon1, azi1, near["x"] + half, degrees=True)
    p2 = geodesic.direct("WGS84", lat2, lon2, azi2, near["y"] + half, degrees=True)
    far = geodesic.intersect(
        "WGS84",
        p1["lat2"],
        p1["lon2"],
        p1["azi2"],
        p2["lat2"],
        p2["lon2"],
        p2["azi2"],
        degrees=True,
    )
    fx, fy = near["x"] + half + far["x"], near["y"] + half + far["y"]
    fig, ax = plt.subplots(figsize=(9, 5.4), constrained_layout=True)
    for (name, (lat, lon, azi)), colour, reach in zip(
        LINES.items(), ("C0", "C3"), (max(near["x"], fx), max(near["y"], fy)), strict=True
    ):
        s = np.linspace(-2e6, reach + 2e6, 600)
        pts = geodesic.direct("WGS84", lat, lon, azi, s, degrees=True)
        # On the map of [-180, 180) degrees: the line breaks where it crosses the antimeridian.
        lons, lats = pts["lon2"].copy(), pts["lat2"].copy()
        jump = np.nonzero(np.abs(np.diff(lons)) > 180)[0] + 1
        lons, lats = np.insert(lons, jump, np.nan), np.insert(lats, jump, np.nan)
        ax.plot(lons, lats, color=colour, label=f"geodesic {name}")
        ax.plot(lon, lat, "o", color=colour)
    for point, fill, what, x, y in (
        (near, "k", "closest", near["x"], near["y"]),
        (far, "none", "next", fx, fy),
    ):
        label = f"{what}: x = {x / 1e3:,.0f} km, y = {y / 1e3:,.0f} km"
        ax.plot(point["lon"], point["lat"], "k*", ms=15, mfc=fill, label=label)
    ax.set_xlim(-180, 180)
    ax.set_xticks(range(-180, 181, 60))
    ax.set_xlabel("longitude (degrees)")
    ax.set_ylabel("latitude (degrees)")
    ax.set_title("geodesic.intersect: of the intersections, the closest to the starts in |x| + |y|")
    ax.grid(alpha=0.3)
    fig.legend(loc="outside lower center", ncols=2, fontsize="small")
    fig.savefig(out, dpi=110)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-o", "--output", type=Path, default=OUT)
    draw(parser.parse_args().output)


if __name__ == "__main__":
    main()
