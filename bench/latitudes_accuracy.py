"""Accuracy of the auxiliary latitudes, radii and meridian distance against a 50-digit truth,
beside pymap3d on the same latitudes.

    python -m bench.latitudes_accuracy [-n N] [--jobs J] [-o bench/results/latitudes-accuracy.md]

For each flattening, N geodetic latitudes (half uniform over [-90, 90] degrees, a quarter
log-uniform next to 0 down to 1e-300 rad, a quarter next to the poles down to one unit of the
last place) give every auxiliary latitude and its slope in phi in 50 digits (mpmath, from the
definitions of testsupport/latitude_truth.py). The input of a source kind is the double
nearest its value; the truth of a target at that double is the target's value plus its slope
over the source's times the rounding (the second-order term is below 1e-30). Every (f, pair)
thus gets N inputs. The errors are absolute (radians) for latitudes, relative for the
isometric latitude and the radii; the meridian distance is in nanometres on Re = 6378137 m.
pymap3d (a black box) is measured on the conversions it offers, to and from the geodetic
latitude. The double nearest pi/2 stands for the pole (the module maps it to the pole of
every kind), so the exact poles are left out of the tables; tests/test_latitudes.py checks them.
"""

from __future__ import annotations

import argparse
import math
import multiprocessing
import time
import warnings
from pathlib import Path

import mpmath
import numpy as np

from quorvane.mathtools.ellipsoid import fast, latitudes

KINDS = latitudes.KINDS
RE = 6378137.0
FLATTENINGS = {
    "0": 0.0,
    "1/298.257": 1 / 298.257223563,
    "1/150": 1 / 150,
    "1/50": 1 / 50,
    "1/25": 1 / 25,
    "0.1": 0.1,
    "0.5": 0.5,
    "0.9": 0.9,
}
BOUND = {True: 4.5e-16, False: 1e-15}  # f <= 1/50, beyond
DPS = 50  # the authalic latitude's arcsine near the poles needs the digits
# pymap3d's conversions to and from the geodetic latitude (its geocentric ones take a height).
PYMAP3D = ("parametric", "rectifying", "conformal", "authalic")


def sample(n: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    k = n // 4
    uniform = rng.uniform(-math.pi / 2, math.pi / 2, n - 2 * k)
    small = rng.choice([-1.0, 1.0], k) * 10.0 ** -rng.uniform(1, 300, k)
    polar = rng.choice([-1.0, 1.0], k) * (math.pi / 2 - 10.0 ** -rng.uniform(0.5, 15.8, k))
    x = np.concatenate([uniform, small, polar])
    return x[np.abs(x) < math.pi / 2]


def _values(task: tuple[float, np.ndarray]) -> np.ndarray:
    """For each phi: the six latitudes and their slopes in phi, isometric and its slope, the
    radii M, N, sqrt(MN), r and the meridian distance (Re = 1), as hi + lo pairs."""
    f, phis = task
    mpmath.mp.dps = DPS
    F = mpmath.mpf(f)
    e2 = F * (2 - F)
    e = mpmath.sqrt(e2)
    ep2 = e2 / (1 - e2)
    Ep = mpmath.ellipe(-ep2)
    q = (
        (lambda s: 2 * s)
        if f == 0
        else (lambda s: (1 - e2) * (s / (1 - e2 * s * s) + mpmath.atanh(e * s) / e))
    )
    qp = q(mpmath.mpf(1))
    out = np.empty((len(phis), 20, 2))
    for i, x in enumerate(phis):
        phi = mpmath.mpf(float(x))
        s, c = mpmath.sin(phi), mpmath.cos(phi)
        w2 = 1 - e2 * s * s
        beta = mpmath.atan2((1 - F) * s, c)
        theta = mpmath.atan2((1 - F) ** 2 * s, c)
        E = mpmath.ellipe(beta, -ep2)
        mu = mpmath.pi / 2 * E / Ep
        psi = mpmath.asinh(mpmath.tan(phi)) - e * mpmath.atanh(e * s)
        chi = mpmath.atan(mpmath.sinh(psi))
        xi = mpmath.asin(q(s) / qp)
        dbeta = (1 - F) / (c * c + (1 - F) ** 2 * s * s)
        dtheta = (1 - F) ** 2 / (c * c + (1 - F) ** 4 * s * s)
        dmu = mpmath.pi / 2 / Ep * mpmath.sqrt(1 + ep2 * mpmath.sin(beta) ** 2) * dbeta
        dpsi = (1 - e2) / (w2 * c)
        dchi = mpmath.cos(chi) * dpsi
        dxi = 2 * (1 - e2) * c / (w2 * w2) / (qp * mpmath.cos(xi))
        M = (1 - e2) / (w2 * mpmath.sqrt(w2))
        N = 1 / mpmath.sqrt(w2)
        r = N * mpmath.sqrt(c * c + (1 - e2) ** 2 * s * s)
        row = [
            phi,
            beta,
            theta,
            mu,
            chi,
            xi,
            1,
            dbeta,
            dtheta,
            dmu,
            dchi,
            dxi,
            psi,
            dpsi,
            M,
            N,
            mpmath.sqrt(M * N),
            r,
            (1 - F) * E,
            M,
        ]
        for j, v in enumerate(row):
            hi = float(v)
            out[i, j] = hi, float(v - hi)
    return out


def errors(f: float, phis: np.ndarray, truth: np.ndarray) -> dict:
    """The worst errors of every measure, ours and pymap3d's."""
    import pymap3d
    from pymap3d import latitude as pl

    ell = (RE, f)
    value = truth[:, :6]  # (N, 6, 2)
    slope = truth[:, 6:12, 0]
    result: dict = {}
    pm_ell = pymap3d.Ellipsoid(RE, RE * (1 - f)) if f > 0 else None
    for a, source in enumerate(KINDS):
        x = value[:, a, 0]  # the double nearest the source's value
        shift = (x - value[:, a, 0]) - value[:, a, 1]  # x minus the exact value
        for b, target in enumerate(KINDS):
            y = latitudes.convert(ell, x, source, target)
            want_hi = value[:, b, 0]
            want_lo = value[:, b, 1] + slope[:, b] / slope[:, a] * shift
            err = np.abs((y - want_hi) - want_lo)
            result[("ours", source, target)] = float(err.max())
            y = fast.latitudes_convert(ell, x, source, target)
            result[("fast", source, target)] = float(np.abs((y - want_hi) - want_lo).max())
            pm = None
            if pm_ell is not None and source == "geodetic" and target in PYMAP3D:
                pm = getattr(pl, f"geodetic2{target}")(x, pm_ell, deg=False)
            if pm_ell is not None and target == "geodetic" and source in PYMAP3D:
                pm = getattr(pl, f"{source}2geodetic")(x, pm_ell, deg=False)
            if pm is not None:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    pm = np.asarray(pm, dtype=np.float64)
                    result[("pymap3d", source, target)] = float(
                        np.nanmax(np.abs((pm - want_hi) - want_lo))
                    )
    psi = latitudes.isometric(ell, phis)
    t = truth[:, 12]
    result["isometric"] = float(np.max(np.abs((psi - t[:, 0]) - t[:, 1]) / np.abs(t[:, 0])))
    psi = fast.latitudes_isometric(ell, phis)
    result["isometric_fast"] = float(np.max(np.abs((psi - t[:, 0]) - t[:, 1]) / np.abs(t[:, 0])))
    p = t[:, 0]  # the double nearest psi: back to phi + (p - psi)/psi'
    back = latitudes.from_isometric(ell, p)
    shift = (p - t[:, 0]) - t[:, 1]
    result["from_isometric"] = float(np.max(np.abs((back - phis) - shift / truth[:, 13, 0])))
    # Relative errors are the same on every Re (an exact power-of-two scaling aside): on Re = 1
    # the truth is the stored one, with no rounding of its product with Re.
    radii = latitudes.radii((1.0, f), phis)
    for k, name in enumerate(radii.dtype.names):
        t = truth[:, 14 + k]
        result[name] = float(np.max(np.abs((radii[name] - t[:, 0]) - t[:, 1]) / t[:, 0]))
    s = latitudes.meridian_distance(ell, phis)
    t = truth[:, 18] * RE
    result["meridian_nm"] = float(np.max(np.abs((s - t[:, 0]) - t[:, 1]))) * 1e9
    back = latitudes.latitude_at_meridian_distance(ell, t[:, 0])
    shift = -t[:, 1] / (truth[:, 19, 0] * RE)  # the double nearest s, minus s
    result["meridian_back"] = float(np.max(np.abs((back - phis) - shift)))
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", type=int, default=100_000)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("-o", "--output", type=Path)
    args = parser.parse_args()
    start = time.perf_counter()
    lines = [
        "# Auxiliary latitudes: accuracy",
        "",
        (
            f"`python -m bench.latitudes_accuracy -n {args.n}` ({args.n} geodetic latitudes per "
            "flattening: uniform, next to 0 and next to the poles; every pair of kinds on the "
            f"doubles nearest their images; truth in {DPS} digits, mpmath). Worst absolute error "
            "in radians (relative for the isometric latitude and the radii); the bound is 4.5e-16 "
            "rad up to f = 1/50 and 1e-15 beyond."
        ),
        "",
    ]
    pairs = [(s, t) for s in KINDS for t in KINDS if s != t]
    summary = ["| f | worst pair | worst error | bound | met |", "|---|---|---|---|---|"]
    vectorised = ["| f | worst pair | worst error | bound | met |", "|---|---|---|---|---|"]
    detail = [
        "| f | " + " | ".join(f"{s[:4]}->{t[:4]}" for s, t in pairs) + " |",
        "|---|" + "---|" * len(pairs),
    ]
    others = [
        (
            "| f | isometric (rel) | fast (rel) | back (rad) | M | N | sqrt(MN) | r | "
            "meridian (nm) | back (rad) |"
        ),
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    peers = [
        (
            "| f | kind | ours geodetic -> | pymap3d geodetic -> | ours -> geodetic | "
            "pymap3d -> geodetic |"
        ),
        "|---|---|---|---|---|---|",
    ]
    with multiprocessing.Pool(args.jobs) as pool:
        for k, (name, f) in enumerate(FLATTENINGS.items()):
            phis = sample(args.n, seed=k)
            chunks = np.array_split(phis, 4 * args.jobs)
            truth = np.concatenate(pool.map(_values, [(f, c) for c in chunks]))
            r = errors(f, phis, truth)
            worst = max(pairs, key=lambda p: r[("ours", *p)])
            bound = BOUND[f <= 1 / 50]
            err = r[("ours", *worst)]
            summary.append(
                f"| {name} | {worst[0]} -> {worst[1]} | {err:.2e} | {bound:.1e} | "
                f"{'yes' if err <= bound else 'no'} |"
            )
            worst = max(pairs, key=lambda p: r[("fast", *p)])
            err = r[("fast", *worst)]
            vectorised.append(
                f"| {name} | {worst[0]} -> {worst[1]} | {err:.2e} | {bound:.1e} | "
                f"{'yes' if err <= bound else 'no'} |"
            )
            detail.append(
                f"| {name} | " + " | ".join(f"{r[('ours', *p)]:.1e}" for p in pairs) + " |"
            )
            others.append(
                f"| {name} | {r['isometric']:.1e} | {r['isometric_fast']:.1e} | "
                f"{r['from_isometric']:.1e} | "
                f"{r['meridional']:.1e} | {r['prime_vertical']:.1e} | {r['gaussian']:.1e} | "
                f"{r['geocentric']:.1e} | {r['meridian_nm']:.2f} | {r['meridian_back']:.1e} |"
            )
            for kind in PYMAP3D:
                cells = [
                    r.get((who, *p))
                    for p in (("geodetic", kind), (kind, "geodetic"))
                    for who in ("ours", "pymap3d")
                ]
                if cells[1] is not None:
                    peers.append(
                        f"| {name} | {kind} | "
                        + " | ".join("-" if v is None else f"{v:.1e}" for v in cells)
                        + " |"
                    )
            print(summary[-1], f"({time.perf_counter() - start:.0f} s)", flush=True)
    lines += [
        "## Conversions: the worst pair",
        "",
        *summary,
        "",
        "## The vectorised kernels (fast.latitudes_convert): the worst pair",
        "",
        (
            "The series on the lanes' own sine and cosine up to f = 1/25; beyond, the exact "
            "kernels' values."
        ),
        "",
        *vectorised,
        "",
        "## Every pair",
        "",
        *detail,
        "",
        "## Isometric latitude, radii, meridian distance",
        "",
        *others,
        "",
        "## Beside pymap3d (its conversions to and from the geodetic latitude)",
        "",
        *peers,
        "",
    ]
    from bench.harness import machine_line, metadata

    lines += [machine_line(metadata("pymap3d", "mpmath")) + ".", ""]
    text = "\n".join(lines)
    if args.output:
        args.output.write_text(text)
    print(text)


if __name__ == "__main__":
    main()
