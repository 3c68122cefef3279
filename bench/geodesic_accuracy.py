"""Measured accuracy of the geodesic problems, region by region and per flattening, against
40-digit decimals.

    python -m bench.geodesic_accuracy [--out FILE]       # from the repo top
    python -m bench.geodesic_accuracy --pairs N          # a fresh truth of N pairs per set

bench/accuracy.py prints the same tables as its geodesic section. The truth is geodesic_truth.py
(Karney's integrals in mpmath, solved for the given doubles), computed once for the pairs of
bench/data/geodesic-truth.npz (python -m bench.geodesic_truth_data makes it: 1000 pairs per
region on WGS84 and per flattening for random pairs, 200 per region for f = 0.1, 0.5 and 0.9,
500 starts of the direct problem per flattening); with --pairs (or without the file) a fresh
truth is computed for N pairs per set instead. geographiclib's Geodesic and pyproj's Geod
answer the same pairs side by side. The peers take degrees: they are given the module's radian
inputs converted to degrees, and that conversion's rounding (1e-16 of the angle) is part of
their error where the problem amplifies it (near the antipode, near the equator's vertices,
near the poles and over short lines); it does not matter for distances. Their series are those
of the sixth order: for f = 0.5 and 0.9 their answers are a comparison, far from the truth.

Columns: the worst distance error in nanometres and the worst azimuth error in radians (both
ends) over the set, by the exact kernels (``geodesic``) and by the lanes (``fast``, the level
this machine runs best: every level gives the same bits), the conditioning of the azimuths (the most that a change of one input by a
unit in its last place moves an azimuth, over the set: near the equator's vertices, the
antipode and the poles it reaches 1e-8 rad, and no method can do better from rounded inputs),
then the bound this module states for it (of the exact kernels; the lanes are held to it too). The direct problem's table gives
the worst distance between the end point and the true one (in nanometres, along the ellipsoid's
meridian and parallel) and the worst error of the azimuth there. Every set is on an ellipsoid of
equatorial radius 6378137 m, so the nanometres of all flattenings compare.
"""

from __future__ import annotations

import argparse
import math
import sys
from pathlib import Path

import numpy as np

from quorvane.mathtools.ellipsoid import fast
from quorvane.mathtools.ellipsoid import geodesic as gd
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid
from testsupport import geodesic_truth_data as data

RE = data.RE
REGION_LABELS = {
    "random": "random",
    "antipodal": "nearly antipodal",
    "equatorial": "equatorial",
    "meridional": "meridional",
    "polar": "near the poles",
    "short": "short (coincident to 6 km)",
}


def _peers(f):
    """(inverse, direct) of each peer on radian arrays, radians out."""
    out = {}
    try:
        from geographiclib.geodesic import Geodesic

        g = Geodesic(RE, f)

        def gl_inverse(lat1, lon1, lat2, lon2):
            rows = [g.Inverse(*np.degrees(p)) for p in zip(lat1, lon1, lat2, lon2)]
            return np.array([[r["s12"], *np.radians([r["azi1"], r["azi2"]])] for r in rows])

        def gl_direct(lat1, azi1, s12):
            rows = [
                g.Direct(math.degrees(a), 0.0, math.degrees(b), s)
                for a, b, s in zip(lat1, azi1, s12)
            ]
            return np.radians([[r["lat2"], r["lon2"], r["azi2"]] for r in rows])

        out["geographiclib"] = (gl_inverse, gl_direct)
    except ImportError:
        pass
    try:
        import pyproj

        geod = pyproj.Geod(a=RE, f=f)

        def pp_inverse(lat1, lon1, lat2, lon2):
            az1, az2, s = geod.inv(*np.degrees([lon1, lat1, lon2, lat2]))
            # pyproj gives the back azimuth at point 2; the forward one is opposite
            return np.stack([s, np.radians(az1), np.radians(np.asarray(az2) + 180.0)], axis=1)

        def pp_direct(lat1, azi1, s12):
            lon2, lat2, az2 = geod.fwd(np.zeros_like(lat1), np.degrees(lat1), np.degrees(azi1), s12)
            return np.radians(np.stack([lat2, lon2, np.asarray(az2) + 180.0], axis=1))

        out["pyproj"] = (pp_inverse, pp_direct)
    except ImportError:
        pass
    return out


def _fmt(nm, rad):
    for unit, scale in (("nm", 1), ("um", 1e3), ("mm", 1e6), ("m", 1e9), ("km", 1e12)):
        if nm < 1e3 * scale or unit == "km":
            return f"{nm / scale:.1f} {unit}, {rad:.1e}"


def _bound_cell(bound, nm, rad):
    s_max, a_max = bound
    ok = nm <= s_max and (a_max is None or rad <= a_max)
    azimuth = "-" if a_max is None else f"{a_max:.0e}"
    return f"{s_max} nm, {azimuth}" + ("" if ok else " (exceeded)")


def _label(name, f):
    flat, region = name.rsplit("/", 1)
    where = "WGS84" if flat == "wgs84" else flat.replace("f=", "f = ")
    return f"{where}, {REGION_LABELS.get(region, region)}"


def _conditioning(e, p, ours):
    """The most a one-unit change of one input moves an azimuth, over the set's pairs: what
    the problem itself makes of the inputs' rounding (the truth is that of the given doubles,
    but an azimuth error below this is as good as exact)."""
    worst = 0.0
    for k in range(4):
        moved = list(p)
        moved[k] = np.nextafter(p[k], np.inf)
        other = gd.inverse(e, *moved)
        for field in ("azi1", "azi2"):
            d = data.angle_error(other[field], ours[field])
            worst = max(worst, float(np.nanmax(d)))
    return worst


def inverse_rows(sets, peers_by_f):
    for name, s in sets.items():
        if "/direct" in name:
            continue
        f = float(s["f"])
        p = [s[k] for k in ("lat1", "lon1", "lat2", "lon2")]
        truth = s["truth"]
        keep = ~np.isnan(truth[:, 0])
        note = "" if keep.all() else f" ({(~keep).sum()} without truth)"
        p, truth = [x[keep] for x in p], truth[keep]
        ours = gd.inverse(Ellipsoid(RE, f), *p)
        nm, rad = data.inverse_errors(
            np.stack([ours["s12"], ours["azi1"], ours["azi2"]], axis=1), truth
        )
        lanes = fast.geodesic_inverse(Ellipsoid(RE, f), *p)
        fast_errors = data.inverse_errors(
            np.stack([lanes["s12"], lanes["azi1"], lanes["azi2"]], axis=1), truth
        )
        cells = [_fmt(nm, rad), _fmt(*fast_errors)]
        cells.append(f"{_conditioning(Ellipsoid(RE, f), p, ours):.0e}")
        for inverse, _ in peers_by_f(f).values():
            cells.append(_fmt(*data.inverse_errors(inverse(*p), truth)))
        cells.append(_bound_cell(data.BOUNDS[name], nm, rad))
        yield f"| {_label(name, f)} | {len(truth)}{note} | " + " | ".join(cells) + " |"


def direct_rows(sets, peers_by_f):
    for name, s in sets.items():
        if "/direct" not in name:
            continue
        f = float(s["f"])
        truth = s["truth"]
        ours = gd.direct(Ellipsoid(RE, f), s["lat1"], 0.0, s["azi1"], s["s12"])
        lanes = fast.geodesic_direct(Ellipsoid(RE, f), s["lat1"], 0.0, s["azi1"], s["s12"])
        got = [np.stack([r["lat2"], r["lon2"], r["azi2"]], axis=1) for r in (ours, lanes)]
        got += [direct(s["lat1"], s["azi1"], s["s12"]) for _, direct in peers_by_f(f).values()]
        cells = []
        for g in got:
            pos = float(np.max(data.position_nm(f, g[:, 0], g[:, 1], truth)))
            azi = float(np.max(data.angle_error(g[:, 2] - truth[:, 5], truth[:, 4])))
            cells.append(_fmt(pos, azi))
        pos0 = float(np.max(data.position_nm(f, got[0][:, 0], got[0][:, 1], truth)))
        azi0 = float(np.max(data.angle_error(got[0][:, 2] - truth[:, 5], truth[:, 4])))
        flat = name.rsplit("/", 1)[0]
        cells.append(_bound_cell(data.DIRECT_BOUNDS[flat], pos0, azi0))
        label = "WGS84" if flat == "wgs84" else flat.replace("f=", "f = ")
        yield f"| {label} | {len(truth)} | " + " | ".join(cells) + " |"


def fresh_sets(n):
    """A truth of n pairs (and starts) per set, computed now on one process."""

    class Serial:
        map = staticmethod(lambda fn, chunks: [fn(c) for c in chunks])

    sets = {}
    for name, (f, region, _) in data.inverse_sets().items():
        sets[name] = data.compute_inverse(name, f, region, n, Serial, 1)
    for name, (f, _) in data.direct_sets().items():
        sets[name] = data.compute_direct(name, f, n, Serial, 1)
    return sets


def tables(rng=None, n=None):
    """The geodesic section: Markdown lines. The stored truth set, or (n given, or no file) a
    fresh one of n pairs per set. (rng is not used: the sets have their own seeds.)"""
    sets = data.load() if n is None else {}
    if not sets:
        sets = fresh_sets(n or 20)
    order = [*data.inverse_sets(), *data.direct_sets()]
    sets = {k: sets[k] for k in order if k in sets}
    peers = {}

    def peers_by_f(f):
        if f not in peers:
            peers[f] = _peers(f)
        return peers[f]

    names = list(peers_by_f(data.WGS84_F))
    cols = ["ours", "ours, fast", *names, "bound (ours)"]
    inverse_cols = [
        "ours",
        "ours, fast",
        "a unit of input moves an azimuth by",
        *names,
        "bound (ours)",
    ]
    lines = [
        "| Inverse problem, a = 6378137 m | pairs | " + " | ".join(inverse_cols) + " |",
        "|---" * (len(inverse_cols) + 2) + "|",
        *inverse_rows(sets, peers_by_f),
        "",
        "| Direct problem, random starts, \\|s12\\| up to a full turn | starts | "
        + " | ".join(cols)
        + " |",
        "|---" * (len(cols) + 2) + "|",
        *direct_rows(sets, peers_by_f),
    ]
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=None, help="a fresh truth of N per set")
    parser.add_argument("--out", type=Path, default=None)
    args = parser.parse_args()
    text = "\n".join(tables(None, args.pairs)) + "\n"
    print(text, end="")
    if args.out:
        args.out.write_text(text)


if __name__ == "__main__":
    sys.exit(main())
