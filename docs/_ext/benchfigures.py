"""Figures drawn at build time from the committed benchmark results in ``bench/results/``.

Nothing is measured here: the figures read what ``bench/`` wrote, found by content rather than
by file name, so a renamed file is still found.

- ``accuracy.png``: the worst error of ``lla_from_pos`` per region, ours beside the peers and
  the naive formulas, from the Markdown tables of ``bench.accuracy`` (the table whose first
  header cell names ``lla_from_pos``; the file whose name says "before" or "naive" holds the
  naive formulas); ``accuracy_aer.png``: the same for ``aer_coords`` against pymap3d;
- ``speed.png``: nanoseconds per point of each method at N = 1e6 (the largest N up to it),
  ours on one thread and on all cores beside the C++ floor and the peers, from the pyperf JSON
  of ``bench.methods`` (the ``.json`` file whose benchmarks carry ``op`` and ``tool``);
- ``scaling.png``: what more threads and workers give, from the same JSON (ours on all cores
  against one thread, per N) and from the Markdown tables of ``bench.dask_scale`` (Parquet
  dataset by worker count, two Python threads against sequential calls).

A result that cannot be found or read is a warning, which fails the build under ``-W``.
"""

from __future__ import annotations

import json
import math
import os
import re
import statistics
from dataclasses import dataclass, field
from pathlib import Path

from docutils import nodes
from sphinx.application import Sphinx
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

logger = logging.getLogger(__name__)

OUT = Path("_generated")
REF_N = 1_000_000

# ---------------------------------------------------------------------------------------------
# Reading the results


def md_tables(path: Path) -> list[tuple[str, list[str], list[list[str]]]]:
    """The pipe tables of a Markdown file: (heading above it, header cells, rows of cells)."""
    tables = []
    heading = ""
    lines = path.read_text(encoding="utf-8").splitlines()
    i = 0
    while i < len(lines):
        line = lines[i].strip()
        if line.startswith("#"):
            heading = line.lstrip("#").strip()
        if (
            line.startswith("|")
            and i + 1 < len(lines)
            and re.match(r"^\|[\s:|-]+\|$", lines[i + 1].strip())
        ):
            header = split_row(line)
            rows = []
            i += 2
            while i < len(lines) and lines[i].strip().startswith("|"):
                rows.append(split_row(lines[i].strip()))
                i += 1
            tables.append((heading, header, rows))
            continue
        i += 1
    return tables


def split_row(line: str) -> list[str]:
    cells = re.split(r"(?<!\\)\|", line.strip().strip("|"))
    return [c.strip().replace("\\|", "|") for c in cells]


def number(text: str) -> float | None:
    m = re.search(r"[-+]?\d[\d,]*(?:\.\d+)?(?:[eE][-+]?\d+)?", text)
    return float(m.group(0).replace(",", "")) if m else None


@dataclass
class Error:
    lat: float
    units: float
    bad: float  # per cent


_ERROR = re.compile(
    r"(?P<lat>[\d.e+-]+) rad(?: \([^)]*\))?, (?P<m>[\d.e+-]+) m \((?P<u>[\d.e+-]+) u\)"
    r"(?:, bad (?P<bad>[\d.]+) ?%)?"
)


def parse_error(cell: str) -> Error | None:
    m = _ERROR.search(cell)
    if not m:
        return None
    return Error(float(m["lat"]), float(m["u"]), float(m["bad"] or 0.0))


@dataclass
class Accuracy:
    regions: list[str] = field(default_factory=list)
    columns: dict[str, list[Error | None]] = field(default_factory=dict)


def read_accuracy(results: Path) -> Accuracy:
    current: tuple[list[str], list[list[str]]] | None = None
    naive: tuple[list[str], list[list[str]]] | None = None
    for path in sorted(results.glob("*.md")):
        for _, header, rows in md_tables(path):
            if "lla_from_pos" not in header[0] or len(header) < 2:
                continue
            if re.search(r"before|naive", path.name, re.IGNORECASE):
                naive = (header, rows)
            elif current is None:
                current = (header, rows)
    if current is None:
        raise LookupError("no table of lla_from_pos errors by region in bench/results/*.md")
    acc = Accuracy(regions=[r[0] for r in current[1]])
    for k, name in enumerate(current[0][1:], start=1):
        label = "ours" if name.strip().lower() in ("ours", "now") else name
        acc.columns[label] = [parse_error(r[k]) if k < len(r) else None for r in current[1]]
        if sum(e is not None for e in acc.columns[label]) < len(acc.regions) / 2:
            raise ValueError(f"cannot read the errors of column {name!r} (format changed?)")
    if naive is not None:
        by_region = {r[0]: r for r in naive[1]}
        k = next(i for i, h in enumerate(naive[0]) if h.strip().lower() in ("ours", "before"))
        acc.columns = {
            "naive formulas": [
                parse_error(by_region[r][k]) if r in by_region else None for r in acc.regions
            ],
            **acc.columns,
        }
    return acc


_AER_ERROR = re.compile(
    r"elevation (?P<el>[\d.e+-]+) rad(?: \([^)]*\))?, range (?P<u>[\d.e+-]+) u"
    r"(?:, bad (?P<bad>[\d.]+) ?%)?"
)


def read_aer_accuracy(results: Path) -> Accuracy:
    """The ``aer_coords`` table: worst elevation error (rad, in ``lat``) and range (units)."""
    for path in sorted(results.glob("*.md")):
        if re.search(r"before|naive", path.name, re.IGNORECASE):
            continue
        for _, header, rows in md_tables(path):
            if "aer_coords" not in header[0] or len(header) < 2:
                continue
            acc = Accuracy(regions=[r[0] for r in rows])
            for k, name in enumerate(header[1:], start=1):
                column = []
                for r in rows:
                    m = _AER_ERROR.search(r[k]) if k < len(r) else None
                    column.append(
                        Error(float(m["el"]), float(m["u"]), float(m["bad"] or 0)) if m else None
                    )
                if sum(e is not None for e in column) < len(rows) / 2:
                    raise ValueError(f"cannot read the errors of column {name!r} (format changed?)")
                acc.columns[name] = column
            return acc
    raise LookupError("no table of aer_coords errors by region in bench/results/*.md")


@dataclass
class Timings:
    ns: dict[tuple[str, str], dict[int, float]]  # (op, tool) -> N -> ns per point
    one_point: dict[tuple[str, str], float]
    metadata: dict[str, str]

    def floor(self, op: str, n: int = REF_N) -> float | None:
        """The faster C++ floor of ``op`` (lock released or held; for ``aer_coords`` also the
        loop that computes the observer once per call, as the method does)."""
        found = [
            x
            for variant in (op, f"{op}_observer_once")
            for tool in ("floor", "floor-gil")
            if (x := self.at(variant, tool, n)) is not None
        ]
        return min(found) if found else None

    def at(self, op: str, tool: str, n: int = REF_N) -> float | None:
        series = self.ns.get((op, tool), {})
        below = [k for k in series if k <= n]
        return series[max(below)] if below else None


def read_timings(results: Path) -> Timings:
    for path in sorted(results.glob("*.json")):
        data = json.loads(path.read_text(encoding="utf-8"))
        benches = data.get("benchmarks", []) if isinstance(data, dict) else []
        if not any({"op", "tool"} <= set(b.get("metadata", {})) for b in benches):
            continue
        common = data.get("metadata", {})
        ns: dict[tuple[str, str], dict[int, float]] = {}
        one: dict[tuple[str, str], float] = {}
        for b in benches:
            md = {**common, **b.get("metadata", {})}
            values = [v for run in b.get("runs", []) for v in run.get("values", [])]
            if (
                "op" not in md
                or "tool" not in md
                or not values
                or md.get("unit", "second") != "second"
            ):
                continue
            t = statistics.median(values) * 1e9
            if str(md.get("name", "")).startswith("one-point"):
                one[(md["op"], md["tool"])] = t
            elif "points" in md:
                ns.setdefault((md["op"], md["tool"]), {})[int(float(md["points"]))] = t
        if ns:
            return Timings(ns, one, {k: str(v) for k, v in common.items()})
    raise LookupError(
        "no pyperf JSON of the methods (benchmarks with op and tool) in bench/results"
    )


@dataclass
class DaskScaling:
    workers: dict[float, dict[int, float]]  # points -> workers -> points per second
    threads: dict[str, float]  # method -> two threads / sequential


def read_dask(results: Path) -> DaskScaling:
    workers: dict[float, dict[int, float]] = {}
    threads: dict[str, float] = {}
    for path in sorted(results.glob("*.md")):
        for _, header, rows in md_tables(path):
            low = [h.lower() for h in header]
            if "workers" in low and any("points/s" in h for h in low):
                iw, ip = low.index("workers"), next(i for i, h in enumerate(low) if "points/s" in h)
                ipts = next(i for i, h in enumerate(low) if h == "points")
                for r in rows:
                    n, w, rate = number(r[ipts]), number(r[iw]), number(r[ip])
                    if n and w and rate:
                        workers.setdefault(n, {})[int(w)] = rate
            elif "method" in low and "ratio" in low and any("sequential" in h for h in low):
                ir = low.index("ratio")
                for r in rows:
                    value = number(r[ir])
                    if value is not None:
                        threads[r[0].strip("` ")] = value
    if not workers and not threads:
        raise LookupError("no Dask scaling tables (Workers / Points/s, or Ratio) in bench/results")
    return DaskScaling(workers, threads)


# ---------------------------------------------------------------------------------------------
# Drawing

TOOLS = {  # tool -> (label, colour)
    "floor": ("C++ floor", "black"),
    "ours-1t": ("ours, 1 thread", "tab:blue"),
    "ours": ("ours, all cores", "tab:cyan"),
    "pyerfa": ("pyerfa", "tab:green"),
    "pyproj": ("pyproj", "tab:orange"),
    "pymap3d": ("pymap3d", "tab:red"),
    "numpy": ("NumPy, hand-written", "tab:purple"),
}
PEER_COLOURS = ["tab:orange", "tab:green", "tab:red", "tab:purple", "tab:brown"]


def _pyplot():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    plt.rcParams.update({"font.size": 9, "svg.hashsalt": "quorvane", "figure.dpi": 100})
    return plt


def draw_accuracy(
    acc: Accuracy,
    path: Path,
    method: str = "lla_from_pos",
    titles: tuple[str, str] = (
        "worst latitude error (rad)",
        "worst altitude error (units of 2.2e-16 max(Re, |r|))",
    ),
) -> None:
    plt = _pyplot()
    columns = list(acc.columns)
    colours = {"naive formulas": "silver", "ours": "tab:blue"}
    peers = iter(PEER_COLOURS)
    for c in columns:
        if c not in colours:
            colours[c] = next(peers)
    n = len(acc.regions)
    height = 0.8 / len(columns)
    fig, axes = plt.subplots(1, 2, figsize=(12, 0.55 * n + 1.8), sharey=True)
    floors = {"lat": 1e-17, "units": 1e-1}
    for ax, what, title in ((axes[0], "lat", titles[0]), (axes[1], "units", titles[1])):
        values = [getattr(e, what) for col in acc.columns.values() for e in col if e is not None]
        top = max(max(values, default=1.0), floors[what]) * 30
        for j, c in enumerate(columns):
            for i, e in enumerate(acc.columns[c]):
                if e is None:
                    continue
                y = i - 0.4 + height * (j + 0.5)
                x = getattr(e, what)
                # Every answer NaN or far off, so no finite error was left to measure: the
                # bar runs to the edge, hatched, rather than looking like a perfect score.
                failed = e.bad > 0 and x <= floors[what]
                width = top if failed else max(x, floors[what])
                ax.barh(
                    y,
                    width - floors[what] / 2,
                    height=height * 0.9,
                    left=floors[what] / 2,
                    color=colours[c],
                    hatch="////" if failed else None,
                    edgecolor="white" if failed else colours[c],
                    linewidth=0,
                    label=None if c in ax.get_legend_handles_labels()[1] else c,
                )
                if e.bad > 0:
                    ax.text(
                        min(width * 1.3, top),
                        y,
                        f"bad {e.bad:g} %",
                        va="center",
                        fontsize=6.5,
                        ha="right" if failed else "left",
                        color="black",
                    )
        ax.set_xscale("log")
        ax.set_xlim(floors[what] / 2, top)
        ax.set_title(title)
        ax.grid(True, axis="x", which="major", alpha=0.3)
    axes[0].set_yticks(range(n), [textwrap_label(r) for r in acc.regions])
    axes[0].invert_yaxis()
    fig.legend(*axes[0].get_legend_handles_labels(), loc="lower center", ncol=len(columns))
    fig.suptitle(
        f"{method} against 60-digit truth, worst case per region (log scale; shorter is better; "
        "hatched: every answer NaN or far off)",
        fontsize=10,
    )
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    fig.savefig(path)
    plt.close(fig)


def textwrap_label(text: str, width: int = 38) -> str:
    import textwrap

    return "\n".join(textwrap.wrap(text, width))


def draw_speed(t: Timings, path: Path) -> None:
    plt = _pyplot()
    ops = sorted({op for op, tool in t.ns if tool == "ours"}, key=_op_order(t))
    tools = [tool for tool in TOOLS if tool == "floor" or any((op, tool) in t.ns for op in ops)]
    fig, ax = plt.subplots(figsize=(12, 0.62 * len(ops) + 1.6))
    height = 0.84 / len(tools)
    for j, tool in enumerate(tools):
        ys, xs = [], []
        for i, op in enumerate(ops):
            if tool == "floor":
                x = t.floor(op)
            else:
                x = t.at(op, tool)
            if x is not None:
                ys.append(i - 0.42 + height * (j + 0.5))
                xs.append(x)
        label, colour = TOOLS[tool]
        ax.barh(ys, xs, height=height * 0.9, color=colour, label=label)
        for y, x in zip(ys, xs):
            ax.text(x * 1.04, y, f"{x:.3g}", va="center", fontsize=6)
    ax.set_xscale("log")
    ax.set_yticks(range(len(ops)), ops)
    ax.invert_yaxis()
    ax.set_xlabel("nanoseconds per point (log scale; shorter is faster)")
    ax.grid(True, axis="x", which="both", alpha=0.3)
    ax.legend(loc="lower right", fontsize=8)
    md = t.metadata
    ax.set_title(
        f"Ellipsoid methods at N = 1e6, medians of pyperf runs: {md.get('cpu_model_name', '?')}, "
        f"{md.get('cpus_available', md.get('cpu_count', '?'))} cores; "
        f"Python {md.get('python_version', '?').split()[0]}, NumPy {md.get('numpy_version', '?')}",
        fontsize=9,
    )
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def _op_order(t: Timings):
    def key(op: str) -> float:
        return t.at(op, "ours-1t") or math.inf

    return key


def draw_scaling(t: Timings, d: DaskScaling | None, path: Path) -> None:
    plt = _pyplot()
    panels = 1 + (d is not None and bool(d.workers)) + (d is not None and bool(d.threads))
    fig, axes = plt.subplots(1, panels, figsize=(5.2 * panels, 5.6), squeeze=False)
    axes = list(axes[0])
    cores = t.metadata.get("cpus_available", t.metadata.get("cpu_count", "?"))

    ax = axes.pop(0)
    ops = sorted({op for op, tool in t.ns if tool == "ours" and (op, "ours-1t") in t.ns})
    for op in ops:
        one, many = t.ns[(op, "ours-1t")], t.ns[(op, "ours")]
        sizes = sorted(set(one) & set(many))
        ax.semilogx(sizes, [one[n] / many[n] for n in sizes], marker="o", markersize=3, label=op)
    ax.axhline(1.0, color="gray", linewidth=0.8)
    ax.set_xlabel("N points per call")
    ax.set_ylabel("speed-up: 1 thread / all cores")
    ax.set_title(f"Methods: all {cores} cores against one thread", fontsize=9)
    ax.legend(fontsize=6, ncol=2, loc="upper center", bbox_to_anchor=(0.5, -0.18))
    ax.grid(True, which="both", alpha=0.3)

    if d is not None and d.workers:
        ax = axes.pop(0)
        for n, by_workers in sorted(d.workers.items()):
            ws = sorted(by_workers)
            ax.plot(ws, [by_workers[w] / 1e6 for w in ws], marker="o", label=f"{n:.0e} points")
        ax.set_xticks(sorted({w for v in d.workers.values() for w in v}))
        ax.set_xlabel("Dask worker processes")
        ax.set_ylabel("million points per second")
        ax.set_title("Parquet dataset out of core (lla_from_pos)", fontsize=9)
        ax.set_ylim(0, None)
        ax.legend(fontsize=8)
        ax.grid(True, alpha=0.3)

    if d is not None and d.threads:
        ax = axes.pop(0)
        names = list(d.threads)
        ax.barh(range(len(names)), [d.threads[k] for k in names], color="tab:blue")
        ax.axvline(0.5, color="black", linestyle="--", linewidth=0.8, label="perfect overlap")
        ax.axvline(1.0, color="gray", linewidth=0.8, label="no overlap")
        ax.set_yticks(range(len(names)), names, fontsize=7)
        ax.invert_yaxis()
        ax.set_xlim(0, 1.1)
        ax.set_xlabel("two threads / two calls in sequence (time)")
        ax.set_title("Two Python threads calling the methods", fontsize=9)
        ax.legend(fontsize=7, loc="lower right")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def write_result_pages(results: Path, out: Path) -> None:
    """A page per Markdown file of results, holding the file itself (MyST's include): the
    tables as the bench scripts wrote them, titled by the file's name."""
    out.mkdir(parents=True, exist_ok=True)
    wanted = {}
    for path in sorted(results.glob("*.md")):
        wanted[path.stem + ".md"] = (
            f"# {path.name}\n\n"
            f"```{{include}} {Path(os.path.relpath(path, out)).as_posix()}\n"
            ":heading-offset: 1\n:relative-images:\n```\n"
        )
    for stale in out.glob("*.md"):
        if stale.name not in wanted:
            stale.unlink()
    for name, text in wanted.items():
        page = out / name
        if not page.exists() or page.read_text() != text:
            page.write_text(text)


def draw_all(app: Sphinx) -> None:
    results = results_dir(app)
    out = Path(app.srcdir) / OUT
    out.mkdir(parents=True, exist_ok=True)
    write_result_pages(results, out / "results")
    try:
        draw_accuracy(read_accuracy(results), out / "accuracy.png")
    except (LookupError, OSError, ValueError, StopIteration) as exc:
        logger.warning(f"accuracy figure: {exc}", type="benchfigures")
    try:
        draw_accuracy(
            read_aer_accuracy(results),
            out / "accuracy_aer.png",
            "aer_coords",
            ("worst elevation error (rad)", "worst range error (units in the last place)"),
        )
    except (LookupError, OSError, ValueError, StopIteration) as exc:
        logger.warning(f"aer_coords accuracy figure: {exc}", type="benchfigures")
    try:
        timings = read_timings(results)
    except (LookupError, OSError, ValueError) as exc:
        logger.warning(f"speed figures: {exc}", type="benchfigures")
        return
    draw_speed(timings, out / "speed.png")
    try:
        dask = read_dask(results)
    except (LookupError, OSError, ValueError, StopIteration) as exc:
        logger.warning(f"scaling figure: {exc}", type="benchfigures")
        dask = None
    draw_scaling(timings, dask, out / "scaling.png")


class OnePointTable(SphinxDirective):
    """``.. bench-one-point::``: nanoseconds per call of one point, ours and the peers, from
    the pyperf JSON (the benchmarks named "one-point ...")."""

    def run(self) -> list[nodes.Node]:
        try:
            t = read_timings(results_dir(self.env.app))
        except (LookupError, OSError, ValueError) as exc:
            logger.warning(f"one-point table: {exc}", location=self.get_location())
            return []
        ops = list(dict.fromkeys(op for op, _ in t.one_point))
        peers = [
            tool
            for tool in ("pyproj", "pymap3d", "pyerfa")
            if any(k[1] == tool for k in t.one_point)
        ]
        header = ["method, one point", "ours", *peers]
        rows = []
        for op in ops:
            ours = t.one_point.get((op, "ours"))
            cells = [op, f"{ours:,.0f} ns" if ours else "—"]
            for tool in peers:
                theirs = t.one_point.get((op, tool))
                cells.append(
                    f"{theirs:,.0f} ns (ours {ours / theirs:.2f}x)" if theirs and ours else "—"
                )
            rows.append(cells)
        return [simple_table(header, rows)]


def simple_table(header: list[str], rows: list[list[str]]) -> nodes.table:
    table = nodes.table()
    group = nodes.tgroup(cols=len(header))
    table += group
    group.extend(nodes.colspec(colwidth=1) for _ in header)
    head = nodes.thead()
    group += head
    body = nodes.tbody()
    group += body
    for target, cells in ((head, header), *((body, r) for r in rows)):
        row = nodes.row()
        for cell in cells:
            entry = nodes.entry()
            entry += nodes.paragraph(text=cell)
            row += entry
        target += row
    return table


def results_dir(app: Sphinx) -> Path:
    results = Path(app.config.bench_results_dir)
    return results if results.is_absolute() else (Path(app.confdir) / results).resolve()


def setup(app: Sphinx) -> dict[str, object]:
    app.add_directive("bench-one-point", OnePointTable)
    app.add_config_value("bench_results_dir", "../bench/results", "env")
    app.connect("builder-inited", draw_all)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
