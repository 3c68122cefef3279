"""The figure of the guide page on rhumb lines: the rhumb line and the geodesic between New York
(JFK) and Singapore (SIN), and between New York and London (LHR), on WGS84, drawn in longitude
and latitude and on the Mercator projection (isometric latitude), where the rhumb line is
straight.

    python -m bench.rhumb_figure [-o docs/benchmarks/rhumb.png]
"""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np

from quorvane.mathtools.ellipsoid import geodesic, latitudes, rhumb

OUT = Path(__file__).resolve().parents[1] / "docs" / "benchmarks" / "rhumb.png"
TRIPS = {"JFK - LHR": (40.64, -73.78, 51.47, -0.45), "JFK - SIN": (40.64, -73.78, 1.36, 103.99)}


def draw(out: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(11, 4.2), constrained_layout=True)
    for (name, trip), colour in zip(TRIPS.items(), ("C0", "C3"), strict=True):
        r = rhumb.waypoints("WGS84", *trip, 200, degrees=True)
        g = geodesic.waypoints("WGS84", *trip, 200, degrees=True)
        s_r = float(rhumb.inverse("WGS84", *trip, degrees=True)["s12"]) / 1e3
        s_g = float(geodesic.inverse("WGS84", *trip, degrees=True)["s12"]) / 1e3
        for ax, mercator in zip(axes, (False, True), strict=True):
            for pts, style, label in (
                (r, "-", f"rhumb {s_r:.0f} km"),
                (g, "--", f"geodesic {s_g:.0f} km"),
            ):
                lon = np.unwrap(np.radians(pts["lon2"]))
                y = (
                    latitudes.isometric("WGS84", pts["lat2"], degrees=True)
                    if mercator
                    else pts["lat2"]
                )
                ax.plot(np.degrees(lon), y, style, color=colour, label=f"{name}: {label}")
    axes[0].set_ylabel("latitude (degrees)")
    axes[0].set_title("longitude and latitude")
    axes[1].set_ylabel("isometric latitude psi (degrees)")
    axes[1].set_title("Mercator: the rhumb lines are straight")
    for ax in axes:
        ax.set_xlabel("longitude (degrees)")
        ax.grid(alpha=0.3)
    axes[0].legend(loc="lower left", fontsize="small")
    fig.savefig(out, dpi=110)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-o", "--output", type=Path, default=OUT)
    draw(parser.parse_args().output)


if __name__ == "__main__":
    main()
