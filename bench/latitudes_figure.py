"""The figure of the guide page on the auxiliary latitudes: each latitude minus the geodetic
one, over a quadrant, on WGS84 (in arc minutes) and at f = 0.5 (in degrees).

    python -m bench.latitudes_figure [-o docs/benchmarks/latitudes.png]
"""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np

from quorvane.mathtools.ellipsoid import latitudes

OUT = Path(__file__).resolve().parents[1] / "docs" / "benchmarks" / "latitudes.png"


def draw(out: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    phi = np.linspace(0.0, 90.0, 721)
    fig, axes = plt.subplots(1, 2, figsize=(10, 4), constrained_layout=True)
    for ax, (ell, title, scale, unit) in zip(
        axes,
        (
            ("WGS84", "WGS84 (f = 1/298.257)", 60.0, "arc minutes"),
            ((6378137.0, 0.5), "f = 0.5", 1.0, "degrees"),
        ),
        strict=True,
    ):
        for kind in latitudes.KINDS[1:]:
            other = latitudes.convert(ell, phi, "geodetic", kind, degrees=True)
            ax.plot(phi, (other - phi) * scale, label=kind)
        ax.axhline(0.0, color="0.6", linewidth=0.8)
        ax.set_xlim(0, 90)
        ax.set_xticks(range(0, 91, 15))
        ax.set_xlabel("geodetic latitude (degrees)")
        ax.set_ylabel(f"latitude minus geodetic ({unit})")
        ax.set_title(title)
        ax.grid(alpha=0.3)
    axes[0].legend(loc="lower left", fontsize="small")
    fig.savefig(out, dpi=110)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-o", "--output", type=Path, default=OUT)
    draw(parser.parse_args().output)


if __name__ == "__main__":
    main()
