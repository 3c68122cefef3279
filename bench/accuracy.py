"""Measured accuracy of the geodetic conversions, region by region, against 60-digit decimals.

    python -m bench.accuracy [--points N] [--seed S] [--geodesic-pairs M]   # from the repo top

Every region of the accepted domain is sampled with N points (fewer where the truth is slow).
The truth comes from mpmath (reference.py: foot_exact, ray_hit_exact), computed from the
geometry alone. For lla_from_pos the same points go through pyproj's cart (inverse, on the same
ellipsoid) and pyerfa's gc2gde, side by side; peers lacking an operation show "-".

Columns: the worst latitude error, in radians and as a position on the surface (the distance
between the feet at the latitude given and at the true one, in units "u" of 2.2e-16 max(Re, |r|):
a unit in the last place of the larger of the two), and the worst altitude error, in metres and
in u, over the finite answers; then "bad", the share of points whose answer is NaN or infinite,
or whose latitude is off by more than 1e-9 rad as a position (1e-9 max(Re, |r|)) or altitude by
more than 1e-6 max(Re, |r|). A position on the surface is what a latitude means where it is
ill-conditioned: at the rim of a strongly flattened ellipsoid a unit of position turns the normal
by up to pi/2. aer_coords is scored by its elevation (rad) and range (u), side by side with
pymap3d's ecef2aer; the hit points of rays by their distance from the true one, in metres and in
units of Re. The tables are printed in Markdown, kept in bench/results/ for the documentation.

The geodesic section (bench/geodesic_accuracy.py) closes the output: the pairs of the inverse
problem per region and flattening, and starts of the direct one, against geodesic_truth.py's
40-digit integrals (the stored set bench/data/geodesic-truth.npz, or with M a fresh truth of M
pairs per set), beside geographiclib and pyproj's Geod.
"""

import argparse
import json
import math
import sys
from pathlib import Path

import numpy as np

from quorvane.mathtools.ellipsoid import fast
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid
from testsupport import reference as ref

RE, F = 6378137.0, 1 / 298.257223563


def _geodetic_points(rng, Re, f, n, lat_range, alt_range):
    lat = rng.uniform(*lat_range, n) * rng.choice([-1.0, 1.0], n)
    lon = rng.uniform(-math.pi, math.pi, n)
    alt = rng.uniform(*alt_range, n)
    return np.array([ref.c_pos_from_lla(Re, f, *p) for p in zip(lat, lon, alt)])


def _shell(rng, n, r_range):
    d = rng.normal(size=(n, 3))
    d /= np.linalg.norm(d, axis=1)[:, None]
    return d * rng.uniform(*r_range, (n, 1))


def _near_axis(rng, n, rho_range, z_range, log_z=False):
    rho = 10.0 ** rng.uniform(*np.log10(rho_range), n)
    lon = rng.uniform(-math.pi, math.pi, n)
    z = 10.0 ** rng.uniform(*np.log10(z_range), n) if log_z else rng.uniform(*z_range, n)
    z *= rng.choice([-1.0, 1.0], n)
    return np.stack([rho * np.cos(lon), rho * np.sin(lon), z], axis=1)


def _extremes(rng, n):
    mag = 10.0 ** rng.choice([rng.uniform(150, 300), rng.uniform(-300, -150)], n)
    d = rng.normal(size=(n, 3))
    d[: n // 2, :2] *= 1e-6  # half of them next to the axis
    return d / np.linalg.norm(d, axis=1)[:, None] * mag[:, None]


# (label, Re, f, point generator): every lla_from_pos region.
def lla_regions(rng, n):
    m = max(n // 4, 50)
    yield (
        "WGS84, \\|lat\\| <= 1.5, alt -1e6 .. 1e6 m",
        RE,
        F,
        _geodetic_points(rng, RE, F, n, (0, 1.5), (-1e6, 1e6)),
    )
    yield (
        "WGS84, \\|lat\\| <= 1.5, alt -5e6 .. 4e7 m",
        RE,
        F,
        _geodetic_points(rng, RE, F, n, (0, 1.5), (-5e6, 4e7)),
    )
    yield "WGS84, near the centre, \\|r\\| 1 .. 100 km", RE, F, _shell(rng, n, (1e3, 1e5))
    for f in (0.6, 0.9, 0.99):
        yield (
            f"f = {f}, all latitudes, alt 0 .. 10 Re",
            RE,
            f,
            _geodetic_points(rng, RE, f, m, (0, math.pi / 2), (0, 10 * RE)),
        )
    yield (
        "WGS84, poles, 10 .. 100 km from the axis, alt -1e4 .. 1e4 m",
        RE,
        F,
        _near_axis(rng, n, (1e4, 1e5), ((1 - F) * RE - 1e4, (1 - F) * RE + 1e4)),
    )
    yield (
        "WGS84, far polar axis, 1 m .. 1e3 km from it, \\|z\\| 1e7 .. 1e15 m",
        RE,
        F,
        _near_axis(rng, m, (1.0, 1e6), (1e7, 1e15), log_z=True),
    )
    yield (
        "sphere, within 1e5 m of the axis, \\|z\\| 1e6 .. 1e10 m",
        6371000.0,
        0.0,
        _near_axis(rng, m, (1e-3, 1e5), (1e6, 1e10), log_z=True),
    )
    yield "sphere, \\|r\\| 1e150 .. 1e300 and 1e-300 .. 1e-150 m", 6371000.0, 0.0, _extremes(rng, m)
    yield (
        "WGS84, next to the centre, \\|r\\| 1e-300 .. 1 m",
        RE,
        F,
        _shell(rng, m, (0, 1)) * 10.0 ** rng.uniform(-300, 0, (m, 1)),
    )
    inside = _near_axis(rng, m, (1.0, 0.99 * RE * F * (2 - F)), (1, 2))
    inside[:, 2] = np.copysign(10.0 ** rng.uniform(-323, -300, m), inside[:, 2])
    yield "WGS84, inside the evolute, z subnormal .. 1e-300 m", RE, F, inside
    for f, name in ((1 - 1e-9, "1 - 1e-9"), (1 - 1e-14, "1 - 1e-14"), (1 - 2.0**-53, "1 - 2^-53")):
        yield (
            f"f = {name}, all latitudes, alt 0 .. 10 Re, and \\|r\\| 1e-100 .. 1e7 m",
            RE,
            f,
            np.concatenate(
                [
                    _geodetic_points(rng, RE, f, m // 2, (0, math.pi / 2), (0, 10 * RE)),
                    _shell(rng, m // 2, (1, 1)) * 10.0 ** rng.uniform(-100, 7, (m // 2, 1)),
                ]
            ),
        )
    for Re in (2e-5, 1.0, 1e12, 1e-310, 1e-160, 1e300):
        pts = np.concatenate(
            [
                _geodetic_points(rng, Re, F, m // 2, (0, math.pi / 2), (-0.1 * Re, 2 * Re)),
                _near_axis(rng, m // 2, (1e-9 * Re, 1e-2 * Re), (0.5 * Re, 2 * Re)),
            ]
        )
        note = " (alt error x 6378137 / Re)" if Re in (2e-5, 1.0, 1e12) else ""
        yield f"scaled Earth, Re = {Re:g} m{note}", Re, F, pts
    yield (
        "Re = 1e-300 m, \\|r\\| 1e-3 .. 1e7 m (the normal runs through the centre)",
        1e-300,
        F,
        _shell(rng, m, (1, 1)) * 10.0 ** rng.uniform(-3, 7, (m, 1)),
    )
    yield (
        "Re = DBL_MAX, \\|r\\| up to 1e308",
        sys.float_info.max,
        F,
        _shell(rng, m, (0.01, 1)) * 1e308,
    )


def truth_lla(Re, f, r):
    out = np.empty((len(r), 2))
    for i, p in enumerate(r.tolist()):
        _, lat, alt = ref.foot_exact(Re, f, *p)
        out[i] = float(lat), float(alt)
    return out


def ours(Re, f, r):
    lla = Ellipsoid(Re, f).lla_from_pos(r)
    return np.stack([lla["lat"], lla["alt"]], axis=1)


def ours_fast(Re, f, r):
    lla = fast.lla_from_pos(Ellipsoid(Re, f), r)
    return np.stack([lla["lat"], lla["alt"]], axis=1)


def pyproj_cart(Re, f, r):
    try:
        import pyproj
    except ImportError:
        return None
    try:
        t = pyproj.Transformer.from_pipeline(
            f"+proj=pipeline +step +inv +proj=cart +a={Re!r} +b={(1 - f) * Re!r}"
        )
    except pyproj.exceptions.ProjError:  # proj refuses some ellipsoids
        return None
    with np.errstate(all="ignore"):
        _, lat, alt = t.transform(r[:, 0], r[:, 1], r[:, 2])
    return np.stack([np.radians(lat), alt], axis=1)


def erfa_gc2gde(Re, f, r):
    try:
        import erfa
    except ImportError:
        return None
    with np.errstate(all="ignore"):
        try:
            _, lat, alt = erfa.gc2gde(Re, f, r)
        except erfa.ErfaError:  # erfa refuses some ellipsoids
            return None
    return np.stack([lat, alt], axis=1)


def foot_distance(Re, f, lat, exact_lat):
    """Distance between the feet on the surface at lat and at exact_lat (one meridian): the
    meridian's radius of curvature times |dlat| where that is small, else the chord."""
    dlat = np.abs(lat - exact_lat)
    c, s = np.cos(exact_lat), np.sin(exact_lat)
    with np.errstate(all="ignore"):
        meridian = Re * (1 - f) ** 2 / (c * c + ((1 - f) * s) ** 2) ** 1.5

    def foot(phi):
        beta = np.arctan2((1 - f) * np.sin(phi), np.cos(phi))
        return np.stack([Re * np.cos(beta), (1 - f) * Re * np.sin(beta)])

    with np.errstate(all="ignore"):
        chord = np.linalg.norm(foot(lat) - foot(exact_lat), axis=0)
    return np.where(dlat < 1e-6, meridian * dlat, chord)


def score(got, exact, scale, Re, f):
    """(worst lat error, worst lat as position, worst alt error, bad share, worst alt units)."""
    if got is None:
        return None
    ok_truth = np.isfinite(exact).all(axis=1)
    got, exact, scale = got[ok_truth], exact[ok_truth], scale[ok_truth]
    finite = np.isfinite(got).all(axis=1)
    dlat = np.abs(got[:, 0] - exact[:, 0])
    # On the unit ellipsoid, then in units of max(Re, |r|): no overflow at the ends of the range.
    unit = np.maximum(np.finfo(float).eps * scale, 5e-324)
    position = foot_distance(1.0, f, got[:, 0], exact[:, 0]) * (Re / scale) * (scale / unit)
    dalt = np.abs(got[:, 1] - exact[:, 1])
    bad = ~finite | (position > 1e-9 / np.finfo(float).eps) | (dalt > 1e-6 * scale)
    units = dalt / unit
    worst = [np.max(v[finite], initial=0.0) for v in (dlat, position, dalt, units)]
    return worst[0], worst[1], worst[2], bad.mean(), worst[3]


def as_json(s, scale_note=1.0):
    """The numbers of a cell of fmt, for the JSON results (None: the peer refused)."""
    if s is None:
        return None
    keys = ("lat_rad", "lat_u", "alt_m", "bad", "alt_u")
    out = dict(zip(keys, map(float, s)))
    out["alt_m"] *= scale_note
    return out


def fmt(s, scale_note=1.0):
    if s is None:
        return "-"
    bad = "" if s[3] == 0 else f", bad {100 * s[3]:.3g} %"
    return f"{s[0]:.1e} rad ({s[1]:.2g} u), {s[2] * scale_note:.1e} m ({s[4]:.2g} u){bad}"


def _aer_targets(rng, Re, obs, el, dist):
    """Targets at elevations el (random azimuths) and distances dist from the observer."""
    east, north, up = (np.array(v) for v in ref.c_enu(Re, F, obs[0], obs[1]))
    origin = np.array(ref.c_pos_from_lla(Re, F, *obs))
    az = rng.uniform(-math.pi, math.pi, len(el))
    horizontal = np.cos(el)[:, None] * (np.sin(az)[:, None] * east + np.cos(az)[:, None] * north)
    return origin + dist[:, None] * (horizontal + np.sin(el)[:, None] * up)


def aer_regions(rng, n):
    """(label, Re, observer lla, targets)."""
    for Re, label in ((RE, "WGS84"), (1e-300, "Re = 1e-300 m")):
        k = Re / RE
        obs = (rng.uniform(-1.5, 1.5), rng.uniform(-3, 3), 300.0 * k)
        el = rng.uniform(-math.pi / 2, math.pi / 2, n)
        dist = 10.0 ** rng.uniform(3, 7.6, n) * k
        yield (
            f"{label}, all elevations, 1 km .. 4e7 m away (x Re / 6378137)",
            Re,
            obs,
            _aer_targets(rng, Re, obs, el, dist),
        )
        if Re == RE:
            el = (math.pi / 2 - 10.0 ** rng.uniform(-12, -4, n)) * rng.choice([-1.0, 1.0], n)
            targets = _aer_targets(rng, Re, obs, el, dist)
            yield "WGS84, within 1e-4 rad of the zenith or nadir", Re, obs, targets
            far = _shell(rng, n, (1, 1)) * 10.0 ** rng.uniform(150, 300, (n, 1))
            yield "WGS84, targets 1e150 .. 1e300 m away", Re, obs, far


def pymap3d_aer(Re, f, targets, obs):
    try:
        import pymap3d
    except ImportError:
        return None
    ell = pymap3d.Ellipsoid(Re, (1 - f) * Re)
    with np.errstate(all="ignore"):
        _, el, rng = pymap3d.ecef2aer(*targets.T, *obs, ell=ell, deg=False)
    return np.stack([el, rng], axis=1)


def ours_aer(Re, f, targets, obs):
    aer = Ellipsoid(Re, f).aer_coords(targets, *obs)
    return np.stack([aer["elevation"], aer["range"]], axis=1)


def fast_aer(Re, f, targets, obs):
    aer = fast.aer_coords(Ellipsoid(Re, f), targets, *obs)
    return np.stack([aer["elevation"], aer["range"]], axis=1)


def aer_rows(rng, n):
    for label, Re, obs, targets in aer_regions(rng, n):
        exact = np.array(
            [[float(v) for v in ref.aer_exact(Re, F, t, *obs)[1:]] for t in targets.tolist()]
        )
        cells, scores = [], []
        for fn in (ours_aer, fast_aer, pymap3d_aer):
            got = fn(Re, F, targets, obs)
            if got is None:
                cells.append("-")
                scores.append(None)
                continue
            finite = np.isfinite(got).all(axis=1)
            d_el = np.abs(got[:, 0] - exact[:, 0])
            unit = np.finfo(float).eps * np.maximum(Re, np.abs(targets).max(axis=1))
            units = np.abs(got[:, 1] - exact[:, 1]) / unit
            across = d_el * exact[:, 1] / unit  # the elevation's error as a position
            bad = (~finite | (d_el > 1e-9) | (units > 1e9)).mean()
            note = "" if bad == 0 else f", bad {100 * bad:.3g} %"
            el, el_u, rng_u = (np.max(v[finite], initial=0.0) for v in (d_el, across, units))
            cells.append(f"elevation {el:.1e} rad ({el_u:.2g} u), range {rng_u:.2g} u{note}")
            scores.append(
                {
                    "el_rad": float(el),
                    "el_u": float(el_u),
                    "range_u": float(rng_u),
                    "bad": float(bad),
                }
            )
        yield label, cells, scores


def ray_regions(rng, n):
    d = rng.normal(size=(n, 3))
    d /= np.linalg.norm(d, axis=1)[:, None]
    for dist in (1e7, 1e9, 1e12):
        src = d * dist
        # Aim at random points well inside, so that every line meets the ellipsoid.
        aim = rng.uniform(-0.5, 0.5, (n, 3)) * RE - src
        yield (
            f"rays from \\|r\\| = {dist:.0e} m, \\|u\\| = 1",
            src,
            aim / np.linalg.norm(aim, axis=1)[:, None],
        )
    src = d * 2e7
    aim = rng.uniform(-0.5, 0.5, (n, 3)) * RE - src
    aim /= np.linalg.norm(aim, axis=1)[:, None]
    for k in (1e-170, 1e160):
        yield f"rays from 2e7 m, \\|u\\| = {k:g}", src, aim * k
    # Farther, lines that doubles give exactly: integer directions with a zero component, offset
    # along it (a unit of the source's distance exceeds Re).
    u = rng.integers(1, 1000, (n, 3)) * rng.choice([-1.0, 1.0], (n, 3))
    axis = rng.integers(0, 3, n)
    u[np.arange(n), axis] = 0
    src = -(2.0 ** rng.integers(50, 1000, n))[:, None] * u
    src[np.arange(n), axis] = rng.uniform(-0.6, 0.6, n) * RE
    yield "rays from 1e15 .. 1e300 m along lines given exactly", src, u


def ray_rows(rng, n):
    e = Ellipsoid(RE, F)
    for label, src, u in ray_regions(rng, n):
        hit = np.array([e.surf_pos_of_ray_first_intersection(s, v) for s, v in zip(src, u)])
        exact = np.array(
            [
                [float(c) for c in ref.ray_hit_exact(RE, F, s, v)]
                for s, v in zip(src.tolist(), u.tolist())
            ]
        )
        finite = np.isfinite(hit).all(axis=1)
        err = np.linalg.norm(hit - exact, axis=1)
        worst = np.max(err[finite], initial=0.0)
        bad = (~finite | (err > 1e-6 * RE)).mean()
        note = "" if bad == 0 else f", bad {100 * bad:.3g} %"
        yield label, f"hit point {worst:.1e} m ({worst / (np.finfo(float).eps * RE):.2g} u){note}"


def surface_rows(rng, n):
    for label, Re, f, lat_range in [
        ("WGS84, \\|lat\\| <= 1.5", RE, F, (0, 1.5)),
        ("WGS84, \\|lat\\| 1.5 .. pi/2", RE, F, (1.5, math.pi / 2)),
        ("WGS84, within 1e-7 rad of the poles", RE, F, (math.pi / 2 - 1e-7, math.pi / 2)),
        ("f = 0.5, \\|lat\\| 1.5 .. pi/2", RE, 0.5, (1.5, math.pi / 2)),
    ]:
        e = Ellipsoid(Re, f)
        lat = rng.uniform(*lat_range, n) * rng.choice([-1.0, 1.0], n)
        lon = rng.uniform(-math.pi, math.pi, n)
        r = e.surf_pos_from_surf_coord(lat, lon)
        got = e.surf_coord_from_surf_pos(r)["lat"]
        exact = np.array([float(ref.foot_exact(Re, f, *p)[1]) for p in r.tolist()])
        err = np.abs(got - exact)
        finite = np.isfinite(got)
        bad = "" if finite.all() else f", NaN {100 * (~finite).mean():.3g} %"
        yield f"surf_coord_from_surf_pos, {label}", f"lat {np.max(err[finite]):.1e} rad{bad}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument(
        "--geodesic-pairs",
        type=int,
        default=None,
        help="a fresh geodesic truth of M pairs per set (default: the stored set; 0: none)",
    )
    parser.add_argument(
        "--json",
        type=Path,
        help="also write the lla_from_pos and aer_coords errors here, as numbers (the "
        "documentation's figures: bench/results/accuracy.json, then python -m bench.report --docs)",
    )
    args = parser.parse_args()
    tables = {
        "lla_from_pos": {"columns": ["ours", "fast", "pyproj cart", "pyerfa gc2gde"], "rows": []},
        "aer_coords": {"columns": ["ours", "fast", "pymap3d ecef2aer"], "rows": []},
    }
    rng = np.random.default_rng(args.seed)
    print("| lla_from_pos region | ours | fast | pyproj cart | pyerfa gc2gde |")
    print("|---|---|---|---|---|")
    for label, Re, f, r in lla_regions(rng, args.points):
        exact = truth_lla(Re, f, r)
        scale = np.maximum(Re, np.max(np.abs(r), axis=1))
        note = RE / Re if "alt error x" in label else 1.0
        scores = [
            score(fn(Re, f, r), exact, scale, Re, f)
            for fn in (ours, ours_fast, pyproj_cart, erfa_gc2gde)
        ]
        cells = [fmt(sc, note) for sc in scores]
        print(f"| {label} | " + " | ".join(cells) + " |")
        tables["lla_from_pos"]["rows"].append(
            {"region": label.replace("\\|", "|"), "cells": [as_json(sc, note) for sc in scores]}
        )
    print()
    print("| Other kernels | ours |")
    print("|---|---|")
    for label, cell in surface_rows(rng, args.points):
        print(f"| {label} | {cell} |")
    for label, cell in ray_rows(rng, max(args.points // 4, 50)):
        print(f"| {label} | {cell} |")
    print()
    print("| aer_coords region | ours | fast | pymap3d ecef2aer |")
    print("|---|---|---|---|")
    for label, cells, scores in aer_rows(rng, max(args.points // 4, 50)):
        print(f"| {label} | " + " | ".join(cells) + " |")
        tables["aer_coords"]["rows"].append({"region": label.replace("\\|", "|"), "cells": scores})
    if args.json:
        args.json.write_text(json.dumps({"command": sys.argv[1:], "tables": tables}, indent=1))
    if args.geodesic_pairs != 0:
        from bench import geodesic_accuracy

        print()
        print("\n".join(geodesic_accuracy.tables(rng, args.geodesic_pairs)))


if __name__ == "__main__":
    main()
