"""The transverse Mercator projection in 40 digits (mpmath): the truth for tests/test_utm.py and
bench/utm_accuracy.py.

Written from the geometry, independently of the module's kernels (which sum Krueger's series):
the projection is the meridian distance continued to complex arguments. With the isometric
latitude psi(phi) = asinh(tan(phi)) - e atanh(e sin(phi)), the map (psi, lambda) -> (y, x) is
conformal, and on the central meridian y is the meridian distance S(phi); so

    y + i x = k0 S(phi_c),  where psi(phi_c) = psi(phi) + i lambda,

with phi_c, the "complex geodetic latitude", found by Newton's method and
S(phi) = a (E(phi, e^2) - e^2 sin(phi) cos(phi)/sqrt(1 - e^2 sin^2(phi))), Legendre's integral of
the second kind at a complex amplitude. Since dS/dphi = M and dpsi/dphi = M/(N cos(phi)), the
derivative d(y + i x)/d(psi + i lambda) is k0 N(phi_c) cos(phi_c): its modulus over N cos(phi)
is the scale, and minus its argument the convergence (grid north clockwise from true north).
"""

from __future__ import annotations

import mpmath

DPS = 40


def _shape(f):
    f = mpmath.mpf(f)
    e2 = f * (2 - f)
    return e2, mpmath.sqrt(e2)


def _psi(phi, e2, e):
    return mpmath.asinh(mpmath.tan(phi)) - e * mpmath.atanh(e * mpmath.sin(phi))


def forward(a, f, lat, lam):
    """(x, y, convergence, scale) of geodetic latitude ``lat`` and longitude ``lam`` from the
    central meridian (radians, any mpmath-convertible numbers) on the ellipsoid (a, f), k0 = 1:
    x, y in the unit of a, the convergence in radians. |lam| < pi/2, |lat| < pi/2."""
    with mpmath.workdps(DPS + 15):
        a = mpmath.mpf(a)
        e2, e = _shape(f)
        phi, lam = mpmath.mpf(lat), mpmath.mpf(lam)
        target = _psi(phi, e2, e) + 1j * lam
        # The complex latitude: Newton from the sphere's, 2 atan(exp(zeta)) - pi/2.
        pc = 2 * mpmath.atan(mpmath.exp(target)) - mpmath.pi / 2
        for _ in range(100):
            s, c = mpmath.sin(pc), mpmath.cos(pc)
            w2 = 1 - e2 * s * s
            step = (_psi(pc, e2, e) - target) / ((1 - e2) / (w2 * c))
            pc -= step
            if abs(step) < mpmath.mpf(10) ** (-(DPS + 10)):
                break
        else:
            raise ArithmeticError(f"no complex latitude for {lat}, {lam}")
        s, c = mpmath.sin(pc), mpmath.cos(pc)
        w = mpmath.sqrt(1 - e2 * s * s)
        S = a * (mpmath.ellipe(pc, e2) - e2 * s * c / w)
        slope = a * c / w  # N(phi_c) cos(phi_c)
        local = a * mpmath.cos(phi) / mpmath.sqrt(1 - e2 * mpmath.sin(phi) ** 2)
        return (
            +mpmath.im(S),
            +mpmath.re(S),
            -mpmath.arg(slope),
            abs(slope) / local,
        )


DATA = "tm-truth.npz"


def sample(n: int = 600, seed: int = 34) -> dict:
    """WGS84 points over the whole latitude range and out to 6,200 km from the central meridian
    (longitudes drawn in degrees, as doubles), with the poles' and the domain's edges, and their
    40-digit projections rounded to doubles: lat, lon (degrees), x, y (metres), convergence
    (radians), scale."""
    import numpy as np

    rng = np.random.default_rng(seed)
    lat = np.concatenate([rng.uniform(-89.99, 89.99, n), [89.999999, -89.999999, 0.0, 0.0, 60.0]])
    lon = np.concatenate([rng.uniform(-60, 60, n), [170.0, -10.0, 35.0, 55.5, 80.0]])
    a, f = 6378137.0, 1 / 298.257223563
    rows = []
    for p, q in zip(lat, lon, strict=True):
        x, y, g, k = (
            forward(a, f, mpmath.radians(p), mpmath.radians(q)) if abs(q) < 90 else ((None,) * 4)
        )
        if x is None or abs(x) > 6.2e6:
            continue
        rows.append((p, q, float(x), float(y), float(g), float(k)))
    cols = np.array(rows).T
    return dict(zip(("lat", "lon", "x", "y", "convergence", "scale"), cols, strict=True))


if __name__ == "__main__":
    import pathlib

    import numpy as np

    target = pathlib.Path(__file__).parent / "data" / DATA
    np.savez_compressed(target, **sample())
    print(f"wrote {target}")
