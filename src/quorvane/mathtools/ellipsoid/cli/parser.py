"""The argument parser of the command-line tool."""

from __future__ import annotations

import argparse
import shutil
import textwrap
from collections.abc import Iterable

from quorvane.mathtools.ellipsoid import catalogue
from quorvane.mathtools.ellipsoid.cli.errors import PROG
from quorvane.mathtools.ellipsoid.cli.formats import FORMATS
from quorvane.mathtools.ellipsoid.cli.subcommands import SUBCOMMANDS, Subcommand
from quorvane.mathtools.ellipsoid.cli.text import DEFAULT_MAX_RECORD_BYTES, parse_number

DEFAULT_CHUNK_ROWS = 65536
_NARROW = 60  # columns below which the usage line names the options only as [options]


class _Formatter(argparse.RawDescriptionHelpFormatter):
    def __init__(self, prog: str) -> None:
        super().__init__(prog, max_help_position=30, width=min(100, _terminal_width()))

    def add_usage(
        self,
        usage: str | None,
        actions: Iterable[argparse.Action],
        groups: Iterable[argparse._MutuallyExclusiveGroup],
        prefix: str | None = None,
    ) -> None:
        actions = list(actions)
        if usage is None and prefix is None and self._width < _NARROW:
            # Too narrow for every option on its own line: the help below lists them. (The
            # empty prefix asks for the prog of the subcommands, which stays as it is.)
            words = [self._format_args(a, a.dest.upper()) for a in actions if not a.option_strings]
            usage = " ".join(["%(prog)s [options]", *words])
        super().add_usage(usage, actions, groups, prefix)

    def _split_lines(self, text: str, width: int) -> list[str]:
        # Names such as quorvane.mathtools.ellipsoid.fast stay whole on narrow terminals.
        return textwrap.wrap(" ".join(text.split()), width, break_long_words=False)


def _terminal_width() -> int:
    """Columns of the terminal; 100 when there is none or it reports an unusable width (0
    columns under ``script`` and on some CI runners)."""
    columns = shutil.get_terminal_size((100, 24)).columns
    return columns if columns >= 20 else 100


def _paragraphs(*texts: str) -> str:
    return "\n\n".join(textwrap.fill(t, min(90, _terminal_width() - 2)) for t in texts)


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text!r}")
    return value


def _byte_size(text: str) -> int:
    """A positive number of bytes, with an optional suffix K, M or G (powers of 1024)."""
    number = text.strip().upper().removesuffix("B").removesuffix("I")
    scale = 1
    if number[-1:] in ("K", "M", "G"):
        scale = 1 << 10 * ("KMG".index(number[-1]) + 1)
        number = number[:-1]
    try:
        value = int(number) * scale
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a number of bytes such as 64M, got {text!r}")
    return value


def _delimiter(text: str) -> str:
    text = {"\\t": "\t", "tab": "\t"}.get(text, text)
    if len(text) != 1 or text in '"\r\n':
        raise argparse.ArgumentTypeError(f"expected one character (or 'tab'), got {text!r}")
    return text


def _float_format(text: str) -> str:
    try:
        format(1.5, text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a float format: {text!r}") from None
    return text


def _common_options() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    io_group = common.add_argument_group("input and output")
    io_group.add_argument(
        "input",
        nargs="?",
        default="-",
        metavar="FILE",
        help="input file: CSV or TSV with a header line (also .gz, .bz2, .xz), Parquet (a "
        "file, or a directory of files), Arrow IPC/Feather; '-' or nothing reads standard input",
    )
    io_group.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="write here instead of standard output, in the format its extension names; a "
        "regular file is replaced only when the run succeeds (links are followed, the mode is "
        "kept), a FIFO or device is written directly",
    )
    io_group.add_argument(
        "--format",
        choices=FORMATS,
        help="format of the input, instead of the one its extension names (default csv)",
    )
    io_group.add_argument(
        "--output-format",
        choices=FORMATS,
        help="format of the output, instead of the one its extension names (default: the "
        "input's text format, csv for tables)",
    )
    io_group.add_argument(
        "--delimiter",
        metavar="CHAR",
        type=_delimiter,
        help="field separator of text input and output, such as ';' (default ',' for csv, tab "
        "for tsv and .tab)",
    )
    io_group.add_argument(
        "--degrees",
        action="store_true",
        help="angles in degrees, in the input, the options and the output (default: radians)",
    )
    io_group.add_argument(
        "--columns",
        metavar="A,B,C",
        help="names of the input columns to use, in the order of the defaults shown above",
    )
    io_group.add_argument(
        "-k",
        "--keep",
        metavar="NAMES",
        help="copy these input columns (comma-separated, or '*' for all others) to the output, "
        "before the results",
    )
    io_group.add_argument(
        "--float-format",
        metavar="FORMAT",
        type=_float_format,
        help="Python number format of the results, such as '.3f' (default: shortest text that "
        "reads back to the same double)",
    )
    io_group.add_argument(
        "--chunk-rows",
        metavar="N",
        type=_positive_int,
        default=DEFAULT_CHUNK_ROWS,
        help=f"rows converted per batch (default {DEFAULT_CHUNK_ROWS}); bounds the memory used",
    )
    io_group.add_argument(
        "--max-record-bytes",
        metavar="N",
        type=_byte_size,
        default=DEFAULT_MAX_RECORD_BYTES,
        help="longest record of text input, in bytes (suffixes K, M, G; default 64M): a longer "
        "one, such as a quote that opens a field and is never closed, is an error naming its "
        "line",
    )
    io_group.add_argument(
        "--progress",
        choices=("auto", "always", "never"),
        default="auto",
        help="progress bar on standard error: auto shows it for runs over a second when "
        "standard error is a terminal (default auto)",
    )
    dask = common.add_argument_group("a Parquet dataset on Dask")
    dask.add_argument(
        "--workers",
        metavar="N",
        type=_positive_int,
        help="convert a Parquet dataset (a directory) file by file on a local Dask cluster of N "
        "worker processes, into the directory given by -o",
    )
    dask.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="the same on the Dask cluster at ADDRESS (such as tcp://10.0.0.5:8786), whose "
        "workers see the input and output paths",
    )
    ell = common.add_argument_group("ellipsoid")
    ell.add_argument(
        "-e",
        "--ellipsoid",
        metavar="NAME",
        help=f"a named ellipsoid (default {catalogue.DEFAULT}; list them with '{PROG} ellipsoids')",
    )
    ell.add_argument(
        "--re", type=parse_option_number, metavar="METRES", help="equatorial radius, with --f"
    )
    ell.add_argument("--f", type=parse_f, metavar="F", help="flattening, such as 1/298.257223563")
    return common


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the command-line tool."""
    examples = "\n".join(
        f"  {PROG} {op.name} " + op.example.replace("%(prog)s ", "") for op in SUBCOMMANDS.values()
    )
    parser = argparse.ArgumentParser(
        prog=PROG,
        formatter_class=_Formatter,
        description=_paragraphs(
            "Convert coordinate files on a reference ellipsoid (WGS84 by default). Positions "
            "are Earth-centred Earth-fixed (ECEF) in metres; angles are radians unless "
            "--degrees is given. Input and output are CSV or TSV with a header line (plain or "
            "compressed), Parquet or Arrow IPC, chosen by the file extensions or --format."
        ),
        epilog=f"examples:\n  {PROG} demo\n{examples}\n  {PROG} ellipsoids\n\n"
        f"Run '{PROG} SUBCOMMAND --help' for the options and columns of each subcommand.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="SUBCOMMAND")
    common = _common_options()
    for op in SUBCOMMANDS.values():
        defaults = ", ".join("|".join(aliases) for aliases in op.data_columns)
        p = sub.add_parser(
            op.name,
            parents=[common],
            formatter_class=_Formatter,
            help=op.summary,
            description=_paragraphs(
                op.description,
                f"Input columns by default: {defaults} (case ignored). In text input, blank "
                "lines and lines starting with # are skipped.",
            ),
            epilog=f"example:\n  {op.example}\n\n"
            + _paragraphs(
                "On bad input the tool stops with an error naming the file, line (row, for "
                "tables) and column, and exit status 1; an --output file is then left as it "
                "was. On standard output, the rows of the batches before the bad one "
                "(--chunk-rows) have been written. Ctrl-C, SIGTERM and SIGHUP stop it the same "
                "way, with exit status 128 plus the signal number."
            ),
        )
        _operation_options(p, op)
    sub.add_parser(
        "demo",
        formatter_class=_Formatter,
        help="convert the bundled sample data and print readable tables",
        description=_paragraphs(
            "Convert the bundled GNSS track (ECEF) to latitude, longitude and altitude and the "
            "bundled observer/target pairs to azimuth, elevation and range, and print the "
            "results as tables."
        ),
        epilog=f"example:\n  {PROG} demo",
    )
    sub.add_parser(
        "ellipsoids",
        formatter_class=_Formatter,
        help="list the named ellipsoids",
        description="List the named reference ellipsoids that --ellipsoid accepts.",
        epilog=f"example:\n  {PROG} ellipsoids",
    )
    return parser


def _operation_options(p: argparse.ArgumentParser, op: Subcommand) -> None:
    """The options of the subcommand ``op`` beyond the common ones: ``--fast``, and the option
    of its parameter."""
    if op.operation.fast is not None:
        fast = _FAST_GEOMETRIES if op.geometries else _FAST
        p.add_argument_group("speed").add_argument("--fast", action="store_true", help=fast)
    else:  # accepted, to be refused with a message that says why
        p.add_argument("--fast", action="store_true", help=argparse.SUPPRESS)
    group = None
    if op.geometries:
        geometries = p.add_argument_group("geometries")
        geometries.add_argument(
            "--geometry-column",
            metavar="NAME",
            help="the column of geometries (default: the GeoParquet primary column, else the "
            "first of " + ", ".join(op.data_columns[0]) + ")",
        )
        geometries.add_argument(
            "--rhumb",
            action="store_true",
            help="edges that are rhumb lines (constant azimuth), the shorter way in longitude, "
            "instead of geodesics",
        )
    if op.kinds:
        from quorvane.mathtools.ellipsoid._registry import KINDS

        kinds = p.add_argument_group("kinds")
        names = [*KINDS, "reduced"]
        for flag, dest, role in (("--from", "source", "given"), ("--to", "target", "wanted")):
            kinds.add_argument(
                flag,
                dest=dest,
                required=True,
                choices=names,
                metavar="KIND",
                help=f"the kind of latitude {role}: {', '.join(names)}",
            )
    if op.parameter is not None:
        option, metavar = op.parameter.option, op.parameter.metavar
        roles = ", ".join(aliases[0] for aliases in op.parameter_columns)
        group = p.add_argument_group(option)
        group.add_argument(
            f"--{option}",
            nargs=len(metavar),
            type=parse_option_number,
            metavar=metavar,
            help=f"{op.parameter.text} for every row",
        )
        group.add_argument(
            f"--{option}-columns",
            metavar=",".join(metavar),
            help=f"input columns giving the {option} row by row (default {roles}, used when "
            f"--{option} is not given)"
            + ("; with neither, the standard one" if op.parameter.optional else ""),
        )
    for o in op.operation.options:  # the registry's integer options (--precision)
        p.add_argument(
            f"--{o.name}",
            type=int,
            choices=range(o.bounds[0], o.bounds[1] + 1),
            default=o.default,
            metavar=o.metavar,
            help=o.text,
        )
    if op.operation.output.azimuth is not None:
        (group or p).add_argument(
            "--positive-azimuth",
            action="store_true",
            help="accepted for older scripts: azimuths are always in [0, 360) degrees or [0, 2 pi)",
        )


_FAST = (
    "convert on the vectorised path (several points per instruction; see "
    "quorvane.mathtools.ellipsoid.fast): the results are not the exact methods' bits, but at "
    "least as close to the truth (on WGS84 within 1000 km of the surface, latitudes within "
    "4e-16 rad and lengths within 2.5 units in the last place of the larger of Re and the "
    "distance from the centre)"
)


_FAST_GEOMETRIES = (
    "solve the geodesic edges in SIMD lanes, several an instruction (see "
    "quorvane.mathtools.ellipsoid.geodesic.geometry_area_perimeter): not the exact kernels' "
    "bits, but within nanometres and some 1e-5 square metres an edge of them; rhumb edges and "
    "flattenings beyond 1/50 take the exact kernels"
)


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("quorvane-ellipsoid")
    except metadata.PackageNotFoundError:
        return "(not installed)"


def parse_option_number(text: str) -> float:
    """A number given as an option's value, read as the input files' numbers are."""
    try:
        return parse_number(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def parse_f(text: str) -> float:
    """A flattening, as a number or as ``1/INVERSE``."""
    num, slash, den = text.partition("/")
    try:
        return parse_number(num) / parse_number(den) if slash else parse_number(text)
    except (ValueError, ZeroDivisionError):
        raise argparse.ArgumentTypeError(f"not a flattening: {text!r}") from None
