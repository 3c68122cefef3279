"""Areas and perimeters of arrays of polygons against a Python loop over pyproj's
``Geod.geometry_area_perimeter``, and their agreement.

From the top of the repository (about 3 minutes on 2 cores, most of it pyproj's loop)::

    python -m bench.geometries --md bench/results/geometries.md
    python -m bench.geometries --n 1e4 --md /tmp/geometries.md     # a quicker look

Speed: N polygons (default 10^5), star-shaped around random centres, their vertex counts
log-uniform from 4 to 1000 (a tenth of them with a hole), as a GeoPandas GeoSeries and as a
GeoArrow polygon array (separated coordinates); ``geodesic.geometry_area_perimeter`` on one
thread (``QUORVANE_NUM_THREADS=1``) and on all CPUs, with the exact kernels and with
``fast=True`` (the edges in SIMD lanes), against ``[geod.geometry_area_perimeter(g)
for g in geoms]``. Each time is the best of ``--repeat`` calls, one thread and all CPUs in turn
(pyproj's loop: one call, it takes tens of seconds); the inputs are built outside the timed
call, the GeoArrow array from the shapely geometries' WKB. Both the wall clock and the CPU time
of the process (all its threads) are given: on a machine that other work keeps busy the wall
clock of one tool's run says little against another's made a minute later, and the ratio to
pyproj is taken on CPU time; the ratio of all CPUs to one thread, on the wall clock of runs
made in turn.

Accuracy: the largest relative difference from pyproj over the N polygons, and over polygons
from 1 m to nearly a hemisphere (holes, multipolygons, around a pole, across the
antimeridian), which ``cases`` lists; there, both areas also against a 40-digit integral
(``truth_area``). The area of Karney's algorithm sums, edge by edge, terms of the size of the
ellipsoid's area times the edge's longitude span, which cancel: a double carries an absolute
error of some 1e-3 m^2 whatever the polygon's size, so below some hectares neither tool
keeps nine digits of the area (their perimeters keep them).
"""

from __future__ import annotations

import argparse
import os
import platform
import sys
import time
from pathlib import Path

import numpy as np

WGS84 = (6378137.0, 1 / 298.257223563)


def star(rng: np.random.Generator, centre, radius: float, k: int, clockwise: bool = False):
    """k vertices (lon, lat) of a star-shaped ring about ``centre``, ``radius`` degrees."""
    angle = np.sort(rng.uniform(0, 2 * np.pi, k))
    if clockwise:
        angle = angle[::-1]
    r = radius * rng.uniform(0.6, 1.0, k)
    lon = centre[0] + r * np.cos(angle) / max(np.cos(np.radians(centre[1])), 0.2)
    lat = np.clip(centre[1] + r * np.sin(angle), -89.9, 89.9)
    return np.c_[(lon + 180) % 360 - 180, lat]


def polygons(n: int, seed: int = 36):
    """The speed workload: n shapely polygons."""
    import shapely

    rng = np.random.default_rng(seed)
    sizes = np.exp(rng.uniform(np.log(4), np.log(1000), n)).astype(int)
    out = np.empty(n, dtype=object)
    for j, k in enumerate(sizes):
        centre = (rng.uniform(-180, 180), rng.uniform(-70, 70))
        radius = 10 ** rng.uniform(-3, 0.7)
        shell = star(rng, centre, radius, int(k))
        holes = [star(rng, centre, radius / 4, 8, clockwise=True)] if j % 10 == 0 else []
        out[j] = shapely.Polygon(shell, holes)
    return out


def cases():
    """Polygons of every size and the hard places: (name, shapely geometry)."""
    import shapely

    rng = np.random.default_rng(7)
    out = []
    for metres in (1.0, 1e2, 1e4, 1e6):
        deg = metres / 111_000
        out.append((f"{metres:g} m", shapely.Polygon(star(rng, (8.5, 47.0), deg, 12))))
    cap = [(lon, 1.0) for lon in np.arange(-180, 180, 10.0)]
    out += [
        ("nearly a hemisphere", shapely.Polygon(cap)),
        ("around the north pole", shapely.Polygon([(lon, 80.0) for lon in range(-180, 180, 30)])),
        ("across the antimeridian", shapely.Polygon([(170, -5), (-170, -5), (-170, 5), (170, 5)])),
        (
            "with a hole",
            shapely.Polygon(star(rng, (20, 20), 3, 50), [star(rng, (20, 20), 1, 20, True)]),
        ),
        (
            "multipolygon",
            shapely.MultiPolygon(
                [shapely.Polygon(star(rng, c, 2, 30)) for c in ((0, 0), (100, -40), (-60, 60))]
            ),
        ),
    ]
    return out


def truth_area(geom) -> float | None:
    """The 40-digit area of a polygon or multipolygon that neither holds a pole nor crosses
    the antimeridian: the integral of A(phi) dlambda along each edge, summed
    (testsupport.geodesic_truth.edge_area, a formulation apart from the kernels'); None for
    the others."""
    import mpmath as mp
    import shapely

    from quorvane.mathtools.ellipsoid import geodesic as gd
    from testsupport import geodesic_truth as gt

    rings = shapely.get_rings(shapely.get_parts(geom))
    coords = [shapely.get_coordinates(r)[:-1] for r in rings]
    if any(np.ptp(c[:, 0]) > 180 or np.abs(c[:, 1]).max() > 85 for c in coords):
        return None
    truth = gt.Ellipsoid(*WGS84)
    total = mp.mpf(0)
    with mp.workdps(gt.DPS):
        for c in coords:
            lat, lon = np.radians(c[:, 1]), np.radians(c[:, 0])
            lat2, lon2 = np.roll(lat, -1), np.roll(lon, -1)
            e = gd.inverse(WGS84, lat, lon, lat2, lon2)
            for i in range(len(lat)):
                total += truth.edge_area(
                    lat[i], lon[i], lat2[i], lon2[i], e["azi1"][i], e["azi2"][i], e["s12"][i]
                )
    return float(total)


def relative(ours: np.ndarray, peer: np.ndarray) -> float:
    return float(np.max(np.abs(ours - peer) / np.maximum(np.abs(peer), 1e-300)))


def timed(call) -> tuple[float, float]:
    """(wall-clock seconds, CPU seconds of this process, all its threads) of one call."""
    t, c = time.perf_counter(), time.process_time()
    call()
    return time.perf_counter() - t, time.process_time() - c


def set_threads(threads: str | None) -> None:
    if threads is None:
        os.environ.pop("QUORVANE_NUM_THREADS", None)
    else:
        os.environ["QUORVANE_NUM_THREADS"] = threads


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=float, default=1e5)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--md", type=Path, help="write the Markdown table here")
    args = parser.parse_args()
    n = int(args.n)

    import geoarrow.pyarrow as ga
    import geopandas as gpd
    import pyarrow as pa
    import pyproj
    import shapely

    from quorvane.mathtools.ellipsoid import geodesic as gd
    from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

    ell = Ellipsoid(*WGS84)
    geod = pyproj.Geod(a=WGS84[0], f=WGS84[1])
    geoms = polygons(n)
    series = gpd.GeoSeries(geoms)
    arrow = ga.as_geoarrow(pa.array(shapely.to_wkb(geoms)), type=ga.polygon())
    vertices = int(shapely.get_num_coordinates(geoms).sum())

    peer_list: list = []
    pyproj_wall, pyproj_cpu = timed(
        lambda: peer_list.extend(geod.geometry_area_perimeter(g) for g in geoms)
    )
    peer = np.array(peer_list)

    # One thread and all CPUs in turn, so that both see the same load; the best of each.
    rows = []
    inputs = (("GeoSeries", series), ("GeoArrow", arrow))
    for (label, data), fast in ((i, f) for f in (False, True) for i in inputs):
        runs: dict[str | None, list[tuple[float, float]]] = {"1": [], None: []}
        for _ in range(args.repeat):
            for threads, times in runs.items():
                set_threads(threads)
                times.append(
                    timed(lambda d=data, f=fast: gd.geometry_area_perimeter(ell, d, fast=f))
                )
        for threads, times in runs.items():
            wall, cpu = min(t[0] for t in times), min(t[1] for t in times)
            name = f"{label}, `fast=True`" if fast else label
            rows.append((name, threads or str(os.cpu_count()), wall, cpu))
    set_threads(None)

    differences = {}
    for fast in (False, True):
        ours = np.asarray(gd.geometry_area_perimeter(ell, arrow, fast=fast))
        differences[fast] = (
            relative(ours["area"], peer[:, 0]),
            relative(ours["perimeter"], peer[:, 1]),
        )
    accuracy = []
    for name, geom in cases():
        a, p = gd.geometry_area_perimeter(ell, geom)
        af, pf = gd.geometry_area_perimeter(ell, geom, fast=True)
        pa_, pp = geod.geometry_area_perimeter(geom)
        t = truth_area(geom)
        errors = (
            ("", "", "") if t is None else tuple(f"{abs(x - t) / abs(t):.1e}" for x in (a, af, pa_))
        )
        accuracy.append(
            (
                name,
                pa_,
                abs(a - pa_) / abs(pa_),
                abs(af - pa_) / abs(pa_),
                max(abs(p - pp), abs(pf - pp)) / pp,
                *errors,
            )
        )

    lines = [
        "# Areas and perimeters of geometries",
        "",
        (
            f"`{' '.join(['python -m bench.geometries', *sys.argv[1:]])}`"
            f" on {platform.machine()}, {os.cpu_count()} CPUs, load average "
            f"{', '.join(f'{x:.1f}' for x in os.getloadavg())} at the end."
        ),
        "",
        (
            f"{n} polygons, {vertices} vertices (4 to 1000 a polygon, log-uniform; a tenth with a "
            "hole). Seconds, the best of "
            f"{args.repeat} calls, one thread and all CPUs in turn (pyproj's loop: one call)."
        ),
        "",
        "| input | threads | wall s | CPU s | / pyproj's loop (CPU) | / our one thread (wall) |",
        "| --- | --- | --- | --- | --- | --- |",
        (
            f"| pyproj `geometry_area_perimeter`, Python loop | 1 | {pyproj_wall:.3f} "
            f"| {pyproj_cpu:.3f} | 1 | |"
        ),
    ]
    for label, threads, wall, cpu in rows:
        base = {t: w for lab, t, w, _ in rows if lab == label}["1"]
        lines.append(
            f"| {label} | {threads} | {wall:.3f} | {cpu:.3f} | {cpu / pyproj_cpu:.3f} "
            f"| {wall / base:.2f} |"
        )
    lines += [
        "",
        (
            f"Largest relative difference from pyproj over the {n} polygons: area "
            f"{differences[False][0]:.1e}, perimeter {differences[False][1]:.1e}; with "
            f"`fast=True` {differences[True][0]:.1e} and {differences[True][1]:.1e}."
        ),
        "",
        (
            "Against pyproj, and the areas of both against a 40-digit integral of each edge's area "
            "(where the polygon holds no pole and does not cross the antimeridian):"
        ),
        "",
        (
            "| polygon | area (m^2) | area: ours / pyproj | area, `fast=True`: / pyproj "
            "| perimeter (both): / pyproj | area: ours / truth | area, `fast=True`: / truth "
            "| area: pyproj / truth |"
        ),
        "| --- | --- | --- | --- | --- | --- | --- | --- |",
    ]
    lines += [
        f"| {name} | {a:.6g} | {da:.1e} | {df:.1e} | {dp:.1e} | {ta} | {tf} | {tp} |"
        for name, a, da, df, dp, ta, tf, tp in accuracy
    ]
    text = "\n".join(lines) + "\n"
    print(text)
    if args.md:
        args.md.write_text(text)


if __name__ == "__main__":
    main()
