"""Measured accuracy of the geodesic problems, region by region, against 40-digit decimals.

    python -m bench.geodesic_accuracy [--pairs N] [--seed S] [--out FILE]

bench/accuracy.py prints the same tables as its geodesic section. The truth is
geodesic_truth.py (Karney's integrals in mpmath, solved for the given doubles). Each region
has N pairs (the inverse problem) or N starts (the direct problem); geographiclib's Geodesic
and pyproj's Geod answer the same pairs side by side. The peers take degrees: they are given
the module's radian inputs converted to degrees, and that conversion's rounding (1e-16 of the
angle) is part of their error where the problem amplifies it (near the antipode, near the
equator's vertices, near the poles and over short lines); it does not matter for distances.

Columns: the worst distance error in nanometres and the worst azimuth error in radians (both
ends) over the region. The direct problem's table gives the worst position error of the end
point in nanometres (latitude and longitude as arcs on the ellipsoid) and of its azimuth.
"""

from __future__ import annotations

import argparse
import math
import sys
from pathlib import Path

import numpy as np

import geodesic_truth as gt
from quorvane.mathtools.ellipsoid import geodesic as gd
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

RE, F = 6378137.0, 1 / 298.257223563
REGIONS = ("random", "antipodal", "equatorial", "meridional", "polar", "short")
FLATTENINGS = (("0", 0.0), ("1/300", 1 / 300), ("1/150", 1 / 150), ("1/50", 1 / 50))
REFUSED = ("0.1", "0.5", "0.9")


def _angle(a, b):
    return np.abs(
        np.remainder(np.asarray(a, float) - np.asarray(b, float) + math.pi, 2 * math.pi) - math.pi
    )


def _peers(f):
    """Inverse solvers of the peers on radian pairs: (s12, azi1, azi2) rows, radians."""
    out = {}
    try:
        from geographiclib.geodesic import Geodesic

        g = Geodesic(RE, f)

        def geographiclib_inverse(lat1, lon1, lat2, lon2):
            rows = [g.Inverse(*np.degrees(p)) for p in zip(lat1, lon1, lat2, lon2)]
            return np.array(
                [[r["s12"], math.radians(r["azi1"]), math.radians(r["azi2"])] for r in rows]
            )

        out["geographiclib"] = geographiclib_inverse
    except ImportError:
        pass
    try:
        import pyproj

        geod = pyproj.Geod(a=RE, f=f)

        def pyproj_inverse(lat1, lon1, lat2, lon2):
            az1, az2, s = geod.inv(*np.degrees([lon1, lat1, lon2, lat2]))
            # pyproj gives the back azimuth at point 2; the forward one is opposite
            return np.stack([s, np.radians(az1), np.radians(np.asarray(az2) + 180.0)], axis=1)

        out["pyproj"] = pyproj_inverse
    except ImportError:
        pass
    return out


def _cell(s_err, a_err):
    return f"{np.max(s_err) * 1e9:.1f} nm, {np.max(a_err):.1e}"


def _truth(truth, p, ours, i):
    """The truth of pair i, or NaNs where its iteration does not settle."""
    try:
        values = truth.inverse(*(x[i] for x in p), ours["azi1"][i], ours["azi2"][i], ours["s12"][i])
    except ArithmeticError:
        return [math.nan] * 3
    return [float(v) for v in values]


def inverse_rows(rng, n, regions=REGIONS, f=F, label=None):
    """Markdown rows: region, ours, then each peer's worst errors."""
    ell = Ellipsoid(RE, f)
    truth = gt.Ellipsoid(RE, f)
    peers = _peers(f)
    for region in regions:
        p = gt.pairs(region, rng, n)
        ours = gd.inverse(ell, *p)
        exact = np.array([_truth(truth, p, ours, i) for i in range(n)])
        failed = np.isnan(exact[:, 0])
        note = ""
        if failed.any():  # said in the row, the pairs on standard error
            print(f"{region}: no truth for {[x[failed] for x in p]}", file=sys.stderr)
            note = f" ({failed.sum()} without truth)"
            p, ours, exact = [x[~failed] for x in p], ours[~failed], exact[~failed]
        cells = [
            _cell(
                np.abs(ours["s12"] - exact[:, 0]),
                np.maximum(_angle(ours["azi1"], exact[:, 1]), _angle(ours["azi2"], exact[:, 2])),
            )
        ]
        for solve in peers.values():
            got = solve(*p)
            cells.append(
                _cell(
                    np.abs(got[:, 0] - exact[:, 0]),
                    np.maximum(_angle(got[:, 1], exact[:, 1]), _angle(got[:, 2], exact[:, 2])),
                )
            )
        yield f"| {label or region}{note} | " + " | ".join(cells) + " |", list(peers)


def direct_rows(rng, n):
    """Markdown rows per flattening: the direct problem's worst errors (ours)."""
    for name, f in FLATTENINGS:
        ell = Ellipsoid(RE, f)
        truth = gt.Ellipsoid(RE, f)
        lat1 = np.arcsin(rng.uniform(-1, 1, n))
        azi1 = rng.uniform(-math.pi, math.pi, n)
        s12 = rng.uniform(-4e7, 4e7, n)
        ours = gd.direct(ell, lat1, 0.0, azi1, s12)
        exact = np.array([[float(v) for v in truth.direct(*q)] for q in zip(lat1, azi1, s12)])
        north = np.abs(ours["lat2"] - exact[:, 0]) * RE
        east = _angle(ours["lon2"], exact[:, 1]) * np.cos(exact[:, 0]) * RE
        pos = np.max(np.hypot(north, east))
        yield f"| f = {name} | {pos * 1e9:.1f} nm | {np.max(_angle(ours['azi2'], exact[:, 2])):.1e} |"


def tables(rng, n):
    """The geodesic section: Markdown lines."""
    lines = []
    header = None
    rows = []
    for row, peers in inverse_rows(rng, n):
        header = peers
        rows.append(row)
    for name, f in FLATTENINGS:
        for row, _ in inverse_rows(rng, n, ("random",), f, f"f = {name}, random pairs"):
            rows.append(row)
    cols = ["ours", *header]
    lines.append(f"| Inverse, WGS84 unless stated ({n} pairs each) | " + " | ".join(cols) + " |")
    lines.append("|---" * (len(cols) + 1) + "|")
    lines += rows
    for name in REFUSED:
        lines.append(f"| f = {name} | refused (ValueError) |" + " - |" * len(header))
    lines.append("")
    lines.append(f"| Direct, random starts, \\|s12\\| <= 4e7 m ({n} each) | position | azi2 |")
    lines.append("|---|---|---|")
    lines += list(direct_rows(rng, n))
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=300)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--out", type=Path, default=None)
    args = parser.parse_args()
    text = "\n".join(tables(np.random.default_rng(args.seed), args.pairs)) + "\n"
    print(text, end="")
    if args.out:
        args.out.write_text(text)


if __name__ == "__main__":
    main()
