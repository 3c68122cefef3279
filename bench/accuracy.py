"""Measured accuracy of the geodetic conversions, region by region, against 60-digit decimals.

    python -m bench.accuracy [--points N] [--seed S]     # from the top of the repository

Every region of the accepted domain is sampled with N points (fewer where the truth is slow).
The truth comes from mpmath (reference.py: foot_exact, ray_hit_exact), computed from the
geometry alone. For lla_from_pos the same points go through pyproj's cart (inverse, on the same
ellipsoid) and pyerfa's gc2gde, side by side; peers lacking an operation show "-".

Columns: the worst latitude error (rad) and the worst altitude error, in metres and in units of
2.2e-16 max(Re, |r|) ("u": a unit in the last place of the larger of the two), over the finite
answers; then "bad", the share of points whose answer is NaN or infinite, or whose latitude is
off by more than 1e-9 rad or altitude by more than 1e-6 max(Re, |r|). The table is printed in
Markdown, ready for the README.
"""

import argparse
import math

import numpy as np

import reference as ref
from quorvane.mathtools.ellipsoid.ellipsoid import Ellipsoid

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
    for Re in (2e-5, 1.0, 1e12):
        pts = np.concatenate(
            [
                _geodetic_points(rng, Re, F, m // 2, (0, math.pi / 2), (-0.1 * Re, 2 * Re)),
                _near_axis(rng, m // 2, (1e-9 * Re, 1e-2 * Re), (0.5 * Re, 2 * Re)),
            ]
        )
        yield f"scaled Earth, Re = {Re:g} m (alt error x 6378137 / Re)", Re, F, pts


def truth_lla(Re, f, r):
    out = np.empty((len(r), 2))
    for i, p in enumerate(r.tolist()):
        _, lat, alt = ref.foot_exact(Re, f, *p)
        out[i] = float(lat), float(alt)
    return out


def ours(Re, f, r):
    lla = Ellipsoid(Re, f).lla_from_pos(r)
    return np.stack([lla["lat"], lla["alt"]], axis=1)


def pyproj_cart(Re, f, r):
    try:
        import pyproj
    except ImportError:
        return None
    t = pyproj.Transformer.from_pipeline(
        f"+proj=pipeline +step +inv +proj=cart +a={Re!r} +b={(1 - f) * Re!r}"
    )
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


def score(got, exact, scale):
    """(worst lat error, worst alt error, bad share) over the points."""
    if got is None:
        return None
    ok_truth = np.isfinite(exact).all(axis=1)
    got, exact, scale = got[ok_truth], exact[ok_truth], scale[ok_truth]
    finite = np.isfinite(got).all(axis=1)
    dlat = np.abs(got[:, 0] - exact[:, 0])
    dalt = np.abs(got[:, 1] - exact[:, 1])
    bad = ~finite | (dlat > 1e-9) | (dalt > 1e-6 * scale)
    units = dalt / (np.finfo(float).eps * scale)
    worst = [np.max(v[finite], initial=0.0) for v in (dlat, dalt, units)]
    return worst[0], worst[1], bad.mean(), worst[2]


def fmt(s, scale_note=1.0):
    if s is None:
        return "-"
    bad = "" if s[2] == 0 else f", bad {100 * s[2]:.3g} %"
    return f"{s[0]:.1e} rad, {s[1] * scale_note:.1e} m ({s[3]:.2g} u){bad}"


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
        yield label, f"hit point {worst:.1e} m{note}"


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
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    print("| lla_from_pos region | ours | pyproj cart | pyerfa gc2gde |")
    print("|---|---|---|---|")
    for label, Re, f, r in lla_regions(rng, args.points):
        exact = truth_lla(Re, f, r)
        scale = np.maximum(Re, np.max(np.abs(r), axis=1))
        note = RE / Re if label.startswith("scaled") else 1.0
        cells = [
            fmt(score(fn(Re, f, r), exact, scale), note) for fn in (ours, pyproj_cart, erfa_gc2gde)
        ]
        print(f"| {label} | " + " | ".join(cells) + " |")
    print()
    print("| Other kernels | ours |")
    print("|---|---|")
    for label, cell in surface_rows(rng, args.points):
        print(f"| {label} | {cell} |")
    for label, cell in ray_rows(rng, max(args.points // 4, 50)):
        print(f"| {label} | {cell} |")


if __name__ == "__main__":
    main()
