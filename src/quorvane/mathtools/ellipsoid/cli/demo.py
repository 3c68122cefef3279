"""The ``demo`` and ``ellipsoids`` subcommands: the bundled sample data as readable tables."""

from __future__ import annotations

import argparse
import contextlib
import sys
from collections.abc import Iterator, Sequence
from importlib import resources
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from quorvane.mathtools.ellipsoid import catalogue
from quorvane.mathtools.ellipsoid.cli.batches import convert_batches, make_plan
from quorvane.mathtools.ellipsoid.cli.errors import PROG
from quorvane.mathtools.ellipsoid.cli.parser import build_parser
from quorvane.mathtools.ellipsoid.cli.subcommands import SUBCOMMANDS

if TYPE_CHECKING:
    from quorvane.mathtools.ellipsoid.cli.readers import Kept

SAMPLE_TRACK = "gnss_track_ecef.csv"
SAMPLE_OBSERVATIONS = "observer_targets.csv"

FloatArray = npt.NDArray[np.float64]


@contextlib.contextmanager
def sample_path(name: str) -> Iterator[str]:
    """Path of a bundled sample file (``gnss_track_ecef.csv`` or ``observer_targets.csv``)."""
    ref = resources.files("quorvane.mathtools.ellipsoid") / "data" / name
    with resources.as_file(ref) as path:
        yield str(path)


class _Columns:
    """A writer that keeps the kept columns as text and the result columns as arrays."""

    def __init__(self, kept: int, results: int) -> None:
        self.kept: list[list[str]] = [[] for _ in range(kept)]
        self.results: list[list[FloatArray]] = [[] for _ in range(results)]

    def write(self, kept: Sequence[Kept], results: Sequence[FloatArray]) -> None:
        for acc, part in zip(self.kept, kept, strict=True):
            acc.extend(part if isinstance(part, list) else map(str, part.to_pylist()))
        for accr, res in zip(self.results, results, strict=True):
            accr.append(res)

    def close(self) -> None:
        pass

    def abandon(self) -> None:
        pass


def _convert_file(argv: list[str]) -> tuple[list[str], list[list[str]], list[FloatArray]]:
    """Run a conversion in memory (small files only): header, kept and result columns."""
    from quorvane.mathtools.ellipsoid.cli.readers import open_input

    args = build_parser().parse_args(argv)
    op = SUBCOMMANDS[args.command]
    with open_input(args.input, args.format, args.delimiter, args.max_record_bytes) as data:
        plan = make_plan(args, op, data)
        out = _Columns(len(plan.keep), len(op.outputs))
        convert_batches(plan, data, args.chunk_rows, out, lambda rows: None)
    results = [np.concatenate(r) if r else np.empty(0) for r in out.results]
    return plan.header, out.kept, results


def _table(header: list[str], columns: list[list[str]], text_columns: int) -> str:
    """A plain-text table: the first ``text_columns`` aligned left, the numbers right."""
    widths = [max(len(h), *(len(v) for v in col)) for h, col in zip(header, columns, strict=True)]
    lines = []
    for row in [header, *zip(*columns, strict=True)]:
        cells = [
            v.ljust(w) if i < text_columns else v.rjust(w)
            for i, (v, w) in enumerate(zip(row, widths, strict=True))
        ]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines)


def run_demo(args: argparse.Namespace) -> int:
    out = sys.stdout
    with sample_path(SAMPLE_TRACK) as track, sample_path(SAMPLE_OBSERVATIONS) as pairs:
        _, kept, (lat, lon, alt) = _convert_file(["lla", "--degrees", "--keep", "time", track])
        out.write(
            f"GNSS track in ECEF (bundled sample {track})\nas WGS84 geodetic coordinates:\n\n"
        )
        out.write(
            _table(
                ["time", "lat [deg]", "lon [deg]", "alt [m]"],
                [
                    kept[0],
                    [f"{v:.7f}" for v in lat],
                    [f"{v:.7f}" for v in lon],
                    [f"{v:.3f}" for v in alt],
                ],
                text_columns=1,
            )
        )
        _, kept, (az, el, rng) = _convert_file(
            ["aer", "--degrees", "--positive-azimuth", "--keep", "observer,target", pairs]
        )
        out.write(f"\n\nTargets seen from observers (bundled sample {pairs}):\n\n")
        out.write(
            _table(
                ["observer", "target", "azimuth [deg]", "elevation [deg]", "range [km]"],
                [
                    kept[0],
                    kept[1],
                    [f"{v:.3f}" for v in az],
                    [f"{v:.3f}" for v in el],
                    [f"{v / 1000:.3f}" for v in rng],
                ],
                text_columns=2,
            )
        )
        if (el > 89.999).any():
            out.write(
                "\n(The azimuth of a target straight overhead is not defined: the value shown "
                "comes from rounding.)"
            )
        out.write(
            "\n\nConvert a file of your own in the same way, for example:\n"
            f"  {PROG} lla --degrees --keep time {track} -o track_lla.csv\n"
            f"See {PROG} --help and {PROG} SUBCOMMAND --help.\n"
        )
    return 0


def run_ellipsoids(args: argparse.Namespace) -> int:
    entries = list(catalogue.REFERENCE_ELLIPSOIDS.values())
    columns = [
        [e.name for e in entries],
        [repr(e.Re) for e in entries],
        [repr(e.inv_f) for e in entries],
        [e.source for e in entries],
    ]
    print(_table(["name", "Re [m]", "1/f", "source"], columns, text_columns=4))
    return 0
