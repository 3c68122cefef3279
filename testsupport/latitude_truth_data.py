"""The latitude truth set: latitudes of each kind and flattening with their 40-digit images.

    python -m testsupport.latitude_truth_data [--points N] [--jobs J]   # from the repo top

The truth (latitude_truth.py, mpmath) costs about a millisecond per latitude and target, too
slow to repeat on every test run; it is computed once here and kept in
testsupport/data/latitude-truth.npz, which tests/test_latitudes.py reads. Each value is stored
as two doubles (hi + lo), some 32 digits. For every flattening and source kind the inputs are
doubles: uniform over [-pi/2, pi/2], log-uniform next to 0 (down to 1e-300) and next to the
poles (down to one unit of the last place), and 0 and +-pi/2 themselves. With the geodetic
inputs go the isometric latitude, the radii and the meridian distance (on Re = 1), and the
inverses of the last two at the doubles nearest their values.
"""

from __future__ import annotations

import argparse
import math
import multiprocessing
from pathlib import Path

import mpmath
import numpy as np

from testsupport import latitude_truth as lt

DATA = Path(__file__).parent / "data" / "latitude-truth.npz"
FLATTENINGS = {
    "0": 0.0,
    "wgs84": 1 / 298.257223563,
    "1/150": 1 / 150,
    "1/50": 1 / 50,
    "0.1": 0.1,
    "0.5": 0.5,
    "0.9": 0.9,
}


def inputs(n: int, seed: int) -> np.ndarray:
    """n latitudes (radians): half uniform, a quarter next to 0, a quarter next to the poles."""
    rng = np.random.default_rng(seed)
    k = n // 4
    uniform = rng.uniform(-math.pi / 2, math.pi / 2, n - 2 * k - 3)
    small = rng.choice([-1.0, 1.0], k) * 10.0 ** -rng.uniform(1, 300, k)
    polar = rng.choice([-1.0, 1.0], k) * (math.pi / 2 - 10.0 ** -rng.uniform(0.5, 16.5, k))
    return np.concatenate([[0.0, math.pi / 2, -math.pi / 2], uniform, small, polar])


def _one(task: tuple[str, str, int]) -> dict[str, np.ndarray]:
    name, source, n = task
    f = FLATTENINGS[name]
    mpmath.mp.dps = lt.DPS
    x = inputs(n, seed=list(FLATTENINGS).index(name) * 100 + lt.KINDS.index(source))
    truth = np.empty((n, len(lt.KINDS), 2))
    out = {f"{name}/{source}:x": x}
    extra: dict[str, list] = {
        "isometric": [],
        "radii": [],
        "meridian": [],
        "psi": [],
        "psi_geodetic": [],
        "s": [],
        "s_geodetic": [],
    }
    for i, v in enumerate(x):
        phi = lt.geodetic_of(source, v, f)
        for j, target in enumerate(lt.KINDS):
            truth[i, j] = lt.split(lt.of_geodetic(target, phi, f))
        if source == "geodetic":
            psi = lt.isometric(phi, f)
            extra["isometric"].append(lt.split(psi))
            extra["radii"].append([lt.split(r) for r in lt.radii(phi, f)])
            m = lt.meridian_distance(phi, f)
            extra["meridian"].append(lt.split(m))
            # The inverses at the doubles nearest psi and m.
            p = float(psi)
            extra["psi"].append(p)
            chi = (
                mpmath.atan(mpmath.sinh(mpmath.mpf(p)))
                if math.isfinite(p)
                else mpmath.sign(p) * mpmath.pi / 2
            )
            extra["psi_geodetic"].append(lt.split(lt.geodetic_of("conformal", chi, f)))
            s = float(m)
            extra["s"].append(s)
            mu = mpmath.mpf(s) / lt.rectifying_radius(f)
            extra["s_geodetic"].append(lt.split(lt.geodetic_of("rectifying", mu, f)))
    out[f"{name}/{source}:truth"] = truth
    if source == "geodetic":
        for key, values in extra.items():
            out[f"{name}/{key}"] = np.array(values)
        out[f"{name}/radius"] = np.array(
            [lt.split(lt.rectifying_radius(f)), lt.split(lt.authalic_radius(f))]
        )
        out[f"{name}/f"] = np.array(f)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=240)
    parser.add_argument("--jobs", type=int, default=1)
    args = parser.parse_args()
    tasks = [(name, source, args.points) for name in FLATTENINGS for source in lt.KINDS]
    data: dict[str, np.ndarray] = {}
    with multiprocessing.Pool(args.jobs) as pool:
        for part in pool.imap_unordered(_one, tasks):
            data.update(part)
            print(min(part), flush=True)
    np.savez_compressed(DATA, **data)


if __name__ == "__main__":
    main()
