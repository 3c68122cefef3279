"""Accuracy of the transverse Mercator against a 40-digit truth, beside pyproj on the same points.

    python -m bench.utm_accuracy [-n N] [--jobs J] [-o bench/results/utm-accuracy.md]
                                 [--figure docs/guide/utm-error.png]

N WGS84 points (latitudes uniform over [-90, 90] degrees, longitudes uniform within 90 degrees
of the central meridian) projected in 40 digits by testsupport/tm_truth.py (the meridian arc at
the complex latitude, and beyond the sphere's eta' = 1 Thompson's coordinates through mpmath's
Jacobi and theta functions: independent of the module's series and of its exact mapping).
``utm.tm_forward`` and pyproj's ``+proj=tmerc +k=1`` (PROJ's extended transverse Mercator, a
black box; its convergence and scale from ``Proj.get_factors``, numerical) are compared with the
truth: the forward's position error (nm), the reverse's error at the true x, y (nm along the
surface), the convergence (degrees) and the scale (relative), the worst of each band of distance
from the central meridian. The module sums Krueger's series up to eta = 1 (6,367 km on the
equator) and takes Lee's exact mapping beyond; the NaN column counts rows without a number.
"""

from __future__ import annotations

import argparse
import itertools
import math
import multiprocessing
import time
import warnings
from pathlib import Path

import mpmath
import numpy as np

from quorvane.mathtools.ellipsoid import utm
from testsupport import tm_truth

A, F = 6378137.0, 1 / 298.257223563
BANDS_KM = (
    0,
    1000,
    2000,
    3000,
    3900,
    4500,
    5000,
    5500,
    6000,
    6300,
    6400,
    8000,
    10000,
    15000,
    20000,
    26000,
)


def sample(n: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    lat, lon = rng.uniform(-90, 90, n), rng.uniform(-90, 90, n)
    keep = np.abs(lat) < 90
    return lat[keep], lon[keep]


def truth(chunk: tuple[np.ndarray, np.ndarray]) -> np.ndarray:
    mpmath.mp.dps = tm_truth.DPS
    lat, lon = chunk
    out = np.empty((lat.size, 4))
    for k, (p, q) in enumerate(zip(lat.tolist(), lon.tolist(), strict=True)):
        out[k] = [float(v) for v in tm_truth.forward(A, F, mpmath.radians(p), mpmath.radians(q))]
    return out


def pyproj_side(lat: np.ndarray, lon: np.ndarray, x: np.ndarray, y: np.ndarray) -> dict:
    import pyproj

    p = pyproj.Proj("+proj=tmerc +lon_0=0 +k=1 +x_0=0 +y_0=0 +ellps=WGS84")
    px, py = p(lon, lat)
    rlon, rlat = p(x, y, inverse=True)
    f = p.get_factors(lon, lat)
    return {
        "x": np.asarray(px),
        "y": np.asarray(py),
        "lat": np.asarray(rlat),
        "lon": np.asarray(rlon),
        "convergence": np.asarray(f.meridian_convergence),
        "scale": np.asarray(f.meridional_scale),
    }


def along_surface(lat, lon, lat_true, lon_true) -> np.ndarray:
    """Metres on the surface between nearby points (degrees)."""
    dlat = np.radians(lat - lat_true) * A
    dlon = np.radians((lon - lon_true + 180) % 360 - 180) * A * np.cos(np.radians(lat_true))
    return np.hypot(dlat, dlon)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", type=int, default=100_000)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("-o", type=Path, help="write the Markdown table here")
    parser.add_argument("--figure", type=Path, help="the error against the distance (PNG)")
    args = parser.parse_args()
    start = time.perf_counter()
    lat, lon = sample(args.n, 2011)
    with multiprocessing.Pool(args.jobs) as pool:
        parts = pool.map(
            truth, zip(np.array_split(lat, 8 * args.jobs), np.array_split(lon, 8 * args.jobs))
        )
    t = np.concatenate(parts)
    tx, ty, tg, tk = t.T
    ours = utm.tm_forward("WGS84", 0.0, lat, lon, degrees=True)
    back = utm.tm_reverse("WGS84", 0.0, tx, ty, degrees=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        peer = pyproj_side(lat, lon, tx, ty)
    tg_deg = np.degrees(tg)
    err = {
        "forward": (
            np.hypot(ours["x"] - tx, ours["y"] - ty),
            np.hypot(peer["x"] - tx, peer["y"] - ty),
        ),
        "reverse": (
            along_surface(back["lat"], back["lon"], lat, lon),
            along_surface(peer["lat"], peer["lon"], lat, lon),
        ),
        "convergence": (np.abs(ours["convergence"] - tg_deg), np.abs(peer["convergence"] - tg_deg)),
        "scale": (np.abs(ours["scale"] / tk - 1), np.abs(peer["scale"] / tk - 1)),
    }
    dist = np.abs(tx) / 1e3
    command = " ".join(["python -m bench.utm_accuracy", *__import__("sys").argv[1:]])
    lines = [
        "# Transverse Mercator: accuracy",
        "",
        (
            f"`{command}`: {lat.size} WGS84 points against the 40-digit truth "
            "(testsupport/tm_truth.py), in bands of distance from the central meridian: the "
            "worst forward position error and reverse error along the surface (nm), convergence "
            "(degrees) and relative scale; ours (Krueger's series to n^12 up to eta = 1, Lee's exact "
            "mapping beyond) / pyproj (`+proj=tmerc +k=1`). NaN rows (ours) are counted, not "
            f"measured. {time.perf_counter() - start:.0f} s."
        ),
        "",
        "| |x| km | points | forward nm | reverse nm | convergence deg | scale | NaN |",
        "|---|---|---|---|---|---|---|",
    ]

    def worst(a: np.ndarray) -> float:
        a = a[np.isfinite(a)]
        return float(a.max()) if a.size else math.nan

    for lo, hi in itertools.pairwise(BANDS_KM):
        rows = (dist >= lo) & (dist < hi)
        if not rows.any():
            continue
        cells = []
        for name, scale, fmt in (
            ("forward", 1e9, ".2f"),
            ("reverse", 1e9, ".2f"),
            ("convergence", 1, ".1e"),
            ("scale", 1, ".1e"),
        ):
            o, p = (worst(e[rows]) for e in err[name])
            cells.append(f"{o * scale:{fmt}} / {p * scale:{fmt}}")
        nan = int(np.isnan(ours["x"][rows]).sum())
        lines.append(f"| {lo}-{hi} | {int(rows.sum())} | {' | '.join(cells)} | {nan} |")
    lines.append("")
    text = "\n".join(lines)
    print(text)
    if args.o:
        args.o.write_text(text)
    if args.figure:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, ax = plt.subplots(figsize=(7, 4))
        edges = np.arange(0, 26001, 250)
        for label, e in (
            ("quorvane (n^12, Lee's exact beyond 6,367 km)", err["forward"][0]),
            ("pyproj", err["forward"][1]),
        ):
            mids, worsts = [], []
            for lo, hi in itertools.pairwise(edges):
                rows = (dist >= lo) & (dist < hi) & np.isfinite(e)
                if rows.any():
                    mids.append((lo + hi) / 2)
                    worsts.append(max(e[rows].max() * 1e9, 1e-2))
            ax.semilogy(mids, worsts, label=label)
        ax.axvline(3900, color="grey", lw=0.5)
        ax.axvline(6367, color="grey", lw=0.5, ls=":")
        ax.axhline(5, color="grey", lw=0.5, ls="--")
        ax.set_ylim(0.3, 1e4)  # pyproj's error leaves the plot beyond 8,000 km
        ax.set_xlabel("distance from the central meridian (km)")
        ax.set_ylabel("worst forward error (nm)")
        ax.legend()
        fig.tight_layout()
        fig.savefig(args.figure, dpi=120)


if __name__ == "__main__":
    main()
