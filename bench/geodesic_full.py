"""Every quantity of a geodesic (full=True) against geographiclib (a black box) on the same
pairs, per region, on WGS84.

    python -m bench.geodesic_full [-n N] [-o bench/results/geodesic-full.md]

N pairs per region of testsupport.geodesic_truth.pairs, in degrees (geographiclib's unit; the
module converts them to radians as numpy.radians does): the worst difference in the arc length
a12 (degrees), the reduced length m12 (nm), the scales M12, M21 and the area S12 (m^2). The
40-digit truth of tests/test_geodesic_full.py decides where the two differ by more than the
inputs' rounding.
"""

from __future__ import annotations

import argparse
import os
import platform
from pathlib import Path

import numpy as np

from quorvane.mathtools.ellipsoid import geodesic as gd
from quorvane.mathtools.ellipsoid import latitudes
from testsupport import geodesic_truth as gt

HERE = Path(__file__).resolve().parent
EARTH = (6378137.0, 1 / 298.257223563)
REGIONS = ("random", "antipodal", "equatorial", "meridional", "polar", "short")


def main() -> None:
    from importlib.metadata import version

    from geographiclib.geodesic import Geodesic

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", type=int, default=10000)
    parser.add_argument("-o", "--output", type=Path, default=HERE / "results" / "geodesic-full.md")
    args = parser.parse_args()
    peer = Geodesic(*EARTH)
    rows = [
        "| region | a12 (deg) | m12 (nm) | M12 | M21 | S12 (m^2) | S12 relative |",
        "|---|---|---|---|---|---|---|",
    ]
    for region in REGIONS:
        pairs = [np.degrees(x) for x in gt.pairs(region, np.random.default_rng(21), args.n)]
        ours = gd.inverse(EARTH, *pairs, degrees=True, full=True)
        theirs = [peer.Inverse(*p, peer.ALL) for p in zip(*pairs)]
        t = {k: np.array([r[k] for r in theirs]) for k in ("a12", "m12", "M12", "M21", "S12")}
        dS = np.abs(ours["S12"] - t["S12"])
        # A line over a pole: S12 is one of two values 2 pi c^2 apart.
        dS = np.minimum(dS, np.abs(dS - 2 * np.pi * latitudes.authalic_radius(EARTH) ** 2))
        rel = dS / np.maximum(np.abs(t["S12"]), 1.0)
        rows.append(
            f"| {region} | {np.abs(ours['a12'] - t['a12']).max():.2g} |"
            f" {np.abs(ours['m12'] - t['m12']).max() * 1e9:.3g} |"
            f" {np.abs(ours['M12'] - t['M12']).max():.2g} | {np.abs(ours['M21'] - t['M21']).max():.2g} |"
            f" {np.median(dS):.2g} median, {dS.max():.3g} max | {rel.max():.2g} |"
        )
    head = (
        f"`python -m bench.geodesic_full -n {args.n}` ({os.cpu_count()} CPUs, Python "
        f"{platform.python_version()}, NumPy {np.__version__}, geographiclib "
        f"{version('geographiclib')})."
    )
    text = "\n".join(
        [
            "# Every quantity of a geodesic against geographiclib (WGS84)",
            "",
            head,
            "",
            (
                f"The worst of {args.n} pairs per region, inputs in degrees. Equatorial pairs "
                "include exactly antipodal points (a12 = 180), joined by two shortest geodesics "
                "mirrored in the equator: the libraries choose different ones, whose S12 are "
                "opposite. Next to the antipode and the poles the azimuths, and with them "
                "c^2 (alpha2 - alpha1), are only as good as the inputs' rounding (degrees to "
                "radians, apart in each library) allows; tests/test_geodesic_full.py bounds the "
                "difference by it, and holds S12 to the 40-digit truth within 0.1 m^2."
            ),
            "",
            *rows,
            "",
        ]
    )
    args.output.write_text(text)
    print(text)


if __name__ == "__main__":
    main()
