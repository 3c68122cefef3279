#!/usr/bin/env python3
"""Turns the pyperf JSON of bench/methods.py into results.md (tables of nanoseconds per point,
ratios to the floor and to each peer, one-point latency) and scaling.png.

    python -m bench.report bench/results/methods.json [--out bench/results] [--ref-n 1e6]
    python -m bench.report bench/results/methods.json --split /tmp/by-tool
    python -m pyperf compare_to /tmp/by-tool/floor.json /tmp/by-tool/ours-1t.json --table

``--split`` writes one pyperf file per tool with the tool dropped from the benchmark names, so
that ``pyperf compare_to`` compares tools with one another.

``python -m bench.report --docs`` writes what the documentation shows into docs/benchmarks/,
from the committed JSON results alone (nothing is measured): the figures speed.png, threads.png
(methods.json, dask.json), accuracy.png and accuracy_aer.png (accuracy.json and
accuracy-naive-formulas.json), the one-point table one-point.csv, and a page per Markdown file
of results. The pages include them with standard directives (``figure``, ``csv-table``, MyST's
``include``); run it again after committing new results.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import math
import os
from dataclasses import dataclass, field
from pathlib import Path

import pyperf

from bench import harness
from testsupport.workload import AER_ONCE, OPS, TOOLS, fmt_n

HERE = Path(__file__).resolve().parent
PEERS = ("pyerfa", "pyproj", "pymap3d", "numpy")
ONE_POINT_TOOLS = ("ours", "pyproj", "pymap3d", "pyerfa")
# pyproj has no ENU frame: the one-point enu is set against its one-point forward transform
ONE_POINT_REFERENCE = {"enu": "pos_from_lla"}


class Results:
    def __init__(self, suite: pyperf.BenchmarkSuite):
        self.suite = suite
        self.points: dict[tuple[str, str], dict[int, float]] = {}  # (op, tool) -> n -> ns
        self.one_point: dict[tuple[str, str], float] = {}  # (op, tool) -> ns per call
        self.calls: dict[tuple[str, str], str] = {}
        for bench in suite.get_benchmarks():
            md = bench.get_metadata()
            if bench.get_unit() != "second":
                raise SystemExit(f"{bench.get_name()}: not a timing ({bench.get_unit()})")
            ns = bench.median() * 1e9
            key = (md["op"], md["tool"])
            if bench.get_name().startswith("one-point "):
                self.one_point[key] = ns
                self.calls[key] = md.get("call", "")
            else:
                self.points.setdefault(key, {})[int(md["points"])] = ns
        self.sizes = sorted({n for series in self.points.values() for n in series})
        self.metadata = suite.get_metadata()

    def ns(self, op: str, tool: str, n: int) -> float | None:
        return self.points.get((op, tool), {}).get(n)

    def floor(self, op: str, n: int) -> float | None:
        found = [t for t in (self.ns(op, "floor", n), self.ns(op, "floor-gil", n)) if t]
        return min(found) if found else None

    def machine(self) -> dict[str, str]:
        md = self.metadata
        loads = harness.loads(self.suite.get_benchmarks())
        dates = [d for bench in self.suite.get_benchmarks() for d in bench.get_dates() or ()]
        runs = [bench.get_nrun() for bench in self.suite.get_benchmarks()]
        values = [bench.get_nvalue() for bench in self.suite.get_benchmarks()]
        return {
            "cpu": str(md.get("cpu_model_name", "?")),
            "cpus": f"{md.get('cpus_available', '?')} available of {md.get('cpu_count', '?')}",
            "python": str(md.get("python_version", "?")),
            "numpy": str(md.get("numpy_version", "?")),
            "compiler": str(md.get("compiler", "?")),
            "os": str(md.get("os", md.get("platform", "?"))),
            "floor_flags": str(md.get("floor_flags", "(floor not built)")),
            "module": str(md.get("module", "?")),
            "commit": str(md.get("git_commit", "?")),
            "versions": ", ".join(
                f"{'pyperf' if k == 'perf_version' else k.removesuffix('_version')} {v}"
                for k, v in sorted(md.items())
                if k.endswith("_version") and k != "python_version"
            ),
            "dates": f"{min(dates):%Y-%m-%d %H:%M} to {max(dates):%H:%M}" if dates else "?",
            "load": f"{min(loads):.1f} to {max(loads):.1f}" if loads else "?",
            "runs": f"{span(runs)} processes (pyperf's calibration run included) and "
            f"{span(values)} values",
        }


def span(counts: list[int]) -> str:
    low, high = min(counts), max(counts)
    return str(low) if low == high else f"{low} to {high}"


def cell(x: float | None) -> str:
    if x is None:
        return "—"
    return f"{x:.1f}" if x < 100 else f"{x:,.0f}"


def ratio(a: float | None, b: float | None) -> str:
    return f"{a / b:.2f}" if a is not None and b else "—"


def table(header: list[str], rows: list[list[str]]) -> list[str]:
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    return out + ["| " + " | ".join(r) + " |" for r in rows]


def ref_size(sizes: list[int], want: int) -> int:
    below = [n for n in sizes if n <= want]
    return max(below) if below else min(sizes)


def markdown(res: Results, ref_n: int, source: str) -> str:
    m = res.machine()
    n = ref_size(res.sizes, ref_n)
    interp = {op: res.points.get((op, "ours-interp"), {}) for op in OPS}
    interp_n = max((k for v in interp.values() for k in v if k <= n), default=None)
    cpus = m["cpus"].split()[0]

    lines = [
        "# Ellipsoid methods against the C++ floor and the peers",
        "",
        (
            f"Made by `python -m bench.report {source}` from the pyperf results of "
            "`python -m bench.methods` (medians; see its docstring for what each tool runs)."
        ),
        "",
        "## Machine",
        "",
        f"- CPU: {m['cpu']}; {m['cpus']} CPUs; {m['os']}",
        f"- Python {m['python']}; NumPy {m['numpy']}; {m['compiler']}",
        f"- Versions: {m['versions']}",
        f"- Floor built with `{m['floor_flags']}`",
        f"- Module: `{m['module']}`; checkout {m['commit']}",
        (
            f"- Run {m['dates']} UTC; load average (1 min) during the runs {m['load']} "
            "(a shared machine: other jobs may have run alongside)"
        ),
        f"- Each benchmark: {m['runs']}",
        "",
        "## Nanoseconds per point",
        "",
        f"At N = {fmt_n(n)}"
        + (f", the interpreter path at N = {fmt_n(interp_n)}" if interp_n else "")
        + f'. "1T" is `QUORVANE_NUM_THREADS=1`, "{cpus}T" all CPUs available. The floor loops '
        "the published kernel table into a fresh `numpy.zeros` result with the interpreter "
        "lock released and held. Peers get their natural input layout (separate x, y, z arrays "
        "for pyproj and pymap3d) prepared outside the timed call; their outputs are not "
        "repacked.",
        "",
    ]
    header = ["method", "floor", "floor (lock held)", "ours 1T", f"ours {cpus}T", "interp"]
    header += [TOOLS[p] for p in PEERS]
    rows = []
    for op in (*OPS, AER_ONCE):
        if op == AER_ONCE:
            if res.floor(op, n) is None:
                continue
            rows.append(
                [
                    "aer_coords, floor with the observer once per call",
                    cell(res.ns(op, "floor", n)),
                    cell(res.ns(op, "floor-gil", n)),
                    *["" for _ in header[3:]],
                ]
            )
            continue
        rows.append(
            [
                op,
                cell(res.ns(op, "floor", n)),
                cell(res.ns(op, "floor-gil", n)),
                cell(res.ns(op, "ours-1t", n)),
                cell(res.ns(op, "ours", n)),
                cell(res.ns(op, "ours-interp", interp_n) if interp_n else None),
                *(cell(res.ns(op, p, n)) for p in PEERS),
            ]
        )
    lines += table(header, rows)
    lines += [
        "",
        (
            "- `solve_reduced_lat_equation`: the peers convert ECEF to geodetic, then geodetic to "
            "reduced latitude."
        ),
        (
            "- `enu` and `surf_pos_of_ray_first_intersection`: no peer offers them; the NumPy "
            "column is a hand-written expression. pyproj's `aer_coords` is `+proj=topocentric` "
            "followed by NumPy for azimuth, elevation and range."
        ),
        "",
        "## Ratios",
        "",
        (
            f'Ours divided by the other tool at N = {fmt_n(n)}, as "1T / {cpus}T"; below 1 ours is '
            "faster. The floor is the faster of its two variants."
        ),
        "",
    ]
    rows = []
    for op in OPS:
        one, every = res.ns(op, "ours-1t", n), res.ns(op, "ours", n)
        others = [res.floor(op, n), *(res.ns(op, p, n) for p in PEERS)]
        rows.append([op] + [f"{ratio(one, o)} / {ratio(every, o)}" if o else "—" for o in others])
    lines += table(["method", "floor", *(TOOLS[p] for p in PEERS)], rows)

    lines += ["", "![ns per point against N](scaling.png)", "", "## All sizes", ""]
    lines += [
        (
            "A dash: not measured (a tool's larger N are skipped once a call would take longer "
            "than `--max-call`; the interpreter path stops at `--interp-max`)."
        ),
        "",
    ]
    for op in OPS:
        lines += [f"### {op}: {OPS[op]}", ""]
        rows = []
        for tool in TOOLS:
            for key, label in ((op, TOOLS[tool]), (AER_ONCE, TOOLS[tool] + ", observer once")):
                series = res.points.get((key, tool))
                if series and (key == op or op == "aer_coords"):
                    rows.append([label, *(cell(series.get(k)) for k in res.sizes)])
        lines += table(["ns per point", *map(fmt_n, res.sizes)], rows) + [""]

    if res.one_point:
        lines += [
            "## One point",
            "",
            (
                "Nanoseconds per call of one point, and ours divided by each peer. pyproj offers "
                "no ENU frame: `enu` is set against its one-point forward transform."
            ),
            "",
        ]
        rows = []
        for op in dict.fromkeys(op for op, _ in res.one_point):
            ours = res.one_point.get((op, "ours"))
            row = [op, cell(ours)]
            for peer in ONE_POINT_TOOLS[1:]:
                row.append(cell(res.one_point.get((op, peer))))
            for peer in ONE_POINT_TOOLS[1:]:
                ref = res.one_point.get((op, peer))
                if ref is None and peer == "pyproj" and op in ONE_POINT_REFERENCE:
                    ref = res.one_point.get((ONE_POINT_REFERENCE[op], peer))
                row.append(ratio(ours, ref))
            rows.append(row)
        header = ["method", "ours", *ONE_POINT_TOOLS[1:]]
        header += [f"ours / {p}" for p in ONE_POINT_TOOLS[1:]]
        lines += table(header, rows)
        lines += ["", "Calls:", ""]
        for (op, tool), call in sorted(res.calls.items()):
            lines.append(f"- {op}, {tool}: `{call}`")
        lines.append("")
    return "\n".join(lines)


def plot(res: Results, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    style = {
        "floor": ("black", "s", "--"),
        "floor-gil": ("dimgray", "s", "-."),
        "ours-1t": ("tab:blue", "o", "-"),
        "ours": ("tab:cyan", "D", "-"),
        "ours-interp": ("tab:gray", "x", ":"),
        "pyerfa": ("tab:green", "^", "-"),
        "pyproj": ("tab:orange", "v", "-"),
        "pymap3d": ("tab:red", "<", "-"),
        "numpy": ("tab:purple", ">", "-"),
    }
    m = res.machine()
    fig, axes = plt.subplots(2, 5, figsize=(20, 8.5), sharex=True)
    handles = {}
    for ax, op in zip(axes.flat, OPS):
        for tool in TOOLS:
            keys = [(op, TOOLS[tool])]
            if op == "aer_coords":
                keys.append((AER_ONCE, TOOLS[tool] + ", observer once"))
            for key, label in keys:
                series = sorted(res.points.get((key, tool), {}).items())
                if not series:
                    continue
                color, marker, ls = style[tool]
                if key == AER_ONCE:
                    marker, ls = "*", ":"
                (line,) = ax.loglog(
                    [s[0] for s in series],
                    [s[1] for s in series],
                    color=color,
                    marker=marker,
                    linestyle=ls,
                    markersize=5,
                    label=label,
                )
                handles.setdefault(label, line)
        ax.set_title(f"{op}\n({OPS[op]})", fontsize=9)
        ax.grid(True, which="both", alpha=0.3)
    for ax in axes[:, 0]:
        ax.set_ylabel("ns per point")
    for ax in axes[-1]:
        ax.set_xlabel("N points")
    fig.legend(list(handles.values()), list(handles), loc="lower center", ncol=6, frameon=False)
    fig.suptitle(
        f"Ellipsoid methods, ns per point against N (medians of pyperf runs) — {m['cpu']}, "
        f"{m['cpus']} CPUs; Python {m['python']}, NumPy {m['numpy']}; {m['compiler']}; "
        f"{m['dates']} UTC",
        fontsize=10,
    )
    fig.tight_layout(rect=(0, 0.07, 1, 0.95))
    fig.savefig(path, dpi=100)
    plt.close(fig)


# ---------------------------------------------------------------------------------------------
# The documentation's figures and tables (docs/benchmarks/), from the committed JSON results:
# methods.json (pyperf), accuracy.json and accuracy-naive-formulas.json (bench.accuracy) and
# dask.json (bench.dask_scale). Nothing is measured here; the pages include what this writes.

RESULTS = HERE / "results"
DOCS = HERE.parent / "docs" / "benchmarks"
REF_N = 1_000_000


@dataclass
class Error:
    lat: float  # latitude or elevation error, rad
    units: float  # altitude or range error, units
    bad: float  # per cent


@dataclass
class Accuracy:
    regions: list[str] = field(default_factory=list)
    columns: dict[str, list[Error | None]] = field(default_factory=dict)


def read_accuracy(path: Path, method: str, naive: Path | None = None) -> Accuracy:
    """The worst errors per region of ``method`` (``lla_from_pos`` or ``aer_coords``) from the
    JSON of bench.accuracy; with ``naive``, the naive formulas' column first (the "ours"
    column of that file)."""
    lat, units = ("lat_rad", "alt_u") if method == "lla_from_pos" else ("el_rad", "range_u")

    def error(cell: dict | None) -> Error | None:
        return None if cell is None else Error(cell[lat], cell[units], 100 * cell["bad"])

    table = json.loads(path.read_text())["tables"][method]
    acc = Accuracy(regions=[r["region"] for r in table["rows"]])
    for k, name in enumerate(table["columns"]):
        acc.columns[name] = [error(r["cells"][k]) for r in table["rows"]]
    if naive is not None:
        old = json.loads(naive.read_text())["tables"][method]
        k = old["columns"].index("ours")
        by_region = {r["region"]: error(r["cells"][k]) for r in old["rows"]}
        acc.columns = {
            "naive formulas": [by_region.get(r) for r in acc.regions],
            **acc.columns,
        }
    return acc


@dataclass
class Timings:
    ns: dict[tuple[str, str], dict[int, float]]  # (op, tool) -> N -> ns per point
    one_point: dict[tuple[str, str], float]
    metadata: dict

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


def timings(res: Results) -> Timings:
    return Timings(res.points, res.one_point, res.metadata)


@dataclass
class DaskScaling:
    workers: dict[float, dict[int, float]]  # points -> workers -> points per second
    threads: dict[str, float]  # method -> two threads / sequential


def read_dask(path: Path) -> DaskScaling:
    data = json.loads(path.read_text())
    workers: dict[float, dict[int, float]] = {}
    for row in data["parquet"]:
        workers.setdefault(row["points"], {})[row["workers"]] = row["points_per_s"]
    threads = {r["method"]: r["threads_s"] / r["sequential_s"] for r in data["threads"]}
    return DaskScaling(workers, threads)


FIGURE_TOOLS = {  # tool -> (label, colour)
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
    tools = [
        tool for tool in FIGURE_TOOLS if tool == "floor" or any((op, tool) in t.ns for op in ops)
    ]
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
        label, colour = FIGURE_TOOLS[tool]
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


def one_point_csv(t: Timings) -> str:
    """Nanoseconds per call of one point, ours and the peers, as CSV for ``csv-table``."""
    ops = list(dict.fromkeys(op for op, _ in t.one_point))
    peers = [p for p in ("pyproj", "pymap3d", "pyerfa") if any(k[1] == p for k in t.one_point)]
    rows = [["method, one point", "ours", *peers]]
    for op in ops:
        ours = t.one_point.get((op, "ours"))
        cells = [op, f"{ours:,.0f} ns" if ours else "—"]
        for tool in peers:
            theirs = t.one_point.get((op, tool))
            cells.append(
                f"{theirs:,.0f} ns (ours {ours / theirs:.2f}x)" if theirs and ours else "—"
            )
        rows.append(cells)
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerows(rows)
    return out.getvalue()


def result_pages(results: Path, out: Path) -> None:
    """A page per Markdown file of results, including the file itself (MyST's include), titled
    by the file's name; pages of files no longer there are removed."""
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
        (out / name).write_text(text)


def docs(results: Path = RESULTS, out: Path = DOCS) -> None:
    """The documentation's figures, the one-point table and the result pages, from the JSON."""
    out.mkdir(parents=True, exist_ok=True)
    t = timings(Results(pyperf.BenchmarkSuite.load(str(results / "methods.json"))))
    naive = results / "accuracy-naive-formulas.json"
    draw_accuracy(
        read_accuracy(results / "accuracy.json", "lla_from_pos", naive if naive.exists() else None),
        out / "accuracy.png",
    )
    draw_accuracy(
        read_accuracy(results / "accuracy.json", "aer_coords"),
        out / "accuracy_aer.png",
        "aer_coords",
        ("worst elevation error (rad)", "worst range error (units in the last place)"),
    )
    draw_speed(t, out / "speed.png")
    draw_scaling(t, read_dask(results / "dask.json"), out / "threads.png")
    (out / "one-point.csv").write_text(one_point_csv(t))
    result_pages(results, out)
    print(f"wrote the figures, one-point.csv and the result pages into {out}")


# ---------------------------------------------------------------------------------------------
# The tables of the other pyperf benchmarks, from their suites (in the main process of a run, or
# loaded from its JSON). Each states the machine and the load of its runs (harness.machine_line).


def medians(suite: pyperf.BenchmarkSuite) -> dict[str, float]:
    """Seconds per call (or per point) of each benchmark, by name: pyperf's medians."""
    return {b.get_name(): b.median() for b in suite.get_benchmarks()}


def machine(suite: pyperf.BenchmarkSuite) -> str:
    return harness.machine_line(suite.get_metadata(), harness.loads(suite.get_benchmarks()))


def run_date(suite: pyperf.BenchmarkSuite) -> str:
    dates = [d for b in suite.get_benchmarks() for d in b.get_dates() or ()]
    return f"{min(dates):%Y-%m-%d}" if dates else "?"


# The geodesic rows on N pairs (label, tool, target ratio to pyproj's time), and the one-pair
# target.
GEODESIC_ROWS = (("one thread", "ours-1t", 1.0), ("all CPUs", "ours", 0.6))
GEODESIC_ONE_PAIR_TARGET = 0.5


def geodesic_name(op: str, tool: str, size: str) -> str:
    return f"{op} {tool} {'one pair' if size == '1' else 'N'}"


def geodesic_table(suite: pyperf.BenchmarkSuite, n: int, command: str) -> str:
    """bench/results/geodesic.md."""
    results = medians(suite)
    name = geodesic_name

    def ratio(ours: float, peer: float, target: float) -> str:
        mark = "met" if ours / peer <= target else "missed"
        return f"{ours / peer:.2f}x | {target:.1f}x ({mark})"

    lines = [
        "# Geodesics: speed against pyproj's Geod",
        "",
        (
            f"`{command}` on {run_date(suite)}, N = {n:.0e} random WGS84 pairs (degrees): "
            f"pyperf's medians; {machine(suite)}. pyproj runs on one thread in every row; a "
            "ratio is ours over pyproj's time, at most the target to meet it."
        ),
        "",
        "| problem | ours | pyproj Geod | ratio | target |",
        "|---|---:|---:|---:|---:|",
    ]
    for op in ("inverse", "direct"):
        peer = results[name(op, "pyproj", "N")]
        for label, tool, target in GEODESIC_ROWS:
            ours = results[name(op, tool, "N")]
            lines.append(
                f"| {op}, {label} | {ours * 1e9:.0f} ns/pair | {peer * 1e9:.0f} ns/pair "
                f"| {ratio(ours, peer, target)} |"
            )
        ours, peer = results[name(op, "ours", "1")], results[name(op, "pyproj", "1")]
        lines.append(
            f"| {op}, one pair | {ours * 1e6:.2f} us | {peer * 1e6:.2f} us "
            f"| {ratio(ours, peer, GEODESIC_ONE_PAIR_TARGET)} |"
        )
    return "\n".join(lines) + "\n"


FAST_FUNCTIONS = ("lla_from_pos", "pos_from_lla", "aer_coords")
FAST_PEERS = {"lla_from_pos": "pyerfa", "pos_from_lla": "pyerfa", "aer_coords": "pyproj"}
FAST_PEER_NAMES = {"pyerfa": "pyerfa", "pyproj": "pyproj topocentric + NumPy"}


def fast_size(n):
    return f"{n:.0e}".replace("e+0", "e").replace("e+", "e")


def _fast_stats(paths):
    """{(function, tool, n): (mean, stdev, highest load)}, the runs' metadata and loads."""
    values, metadata, load = {}, {}, []
    for path in paths:
        suite = pyperf.BenchmarkSuite.load(path)
        metadata.update(suite.get_metadata())
        load += harness.loads(suite.get_benchmarks())
        for bench in suite.get_benchmarks():
            function, tool, size = bench.get_name().split()
            loads = [
                float(run.get_metadata().get("load_avg_1min", math.nan)) for run in bench.get_runs()
            ]
            stdev = bench.stdev() if bench.get_nvalue() > 1 else 0.0
            n = int(float(size.removeprefix("N=")))
            values[(function, tool, n)] = (bench.mean(), stdev, max(loads, default=math.nan))
    return values, metadata, load


def _fast_time(seconds):
    return f"{seconds * 1e3:.3g} ms" if seconds < 1 else f"{seconds:.3g} s"


def fast_table(paths):
    """The Markdown of bench/results/fast.md from the JSON files of one or more runs."""
    values, metadata, load = _fast_stats(paths)
    sizes = sorted({n for (_, _, n) in values})
    out = [
        "# The vectorised conversions: speed",
        "",
        "Made by (from the top of the repository; see bench/fast.py):",
        "",
        "    python -m bench.fast -o bench/results/fast-1e6.json",
        "    python -m bench.fast --points 1e8 -p 1 -n 2 -o bench/results/fast-1e8.json",
        (
            "    python -m bench.fast --table bench/results/fast-1e6.json bench/results/fast-1e8.json"
            " > bench/results/fast.md"
        ),
        "",
        (
            f"Level `{metadata.get('simd_level', '?')}`; {harness.machine_line(metadata, load)}. "
            "WGS84, points within 1e6 m of the surface, "
            "contiguous float64; `aer_coords` with one observer. Mean time per call of N points "
            "(pyperf; +- one standard deviation where it exceeds a tenth of the mean). The memory "
            "floor is `np.copyto` of an array of the input's bytes and one of the output's bytes "
            "(24 bytes a point each way), one thread."
        ),
    ]

    def cell(function, tool, n):
        v = values.get((function, tool, n))
        if v is None:
            return "-"
        noise = f" (+- {_fast_time(v[1])})" if v[1] > 0.1 * v[0] else ""
        return _fast_time(v[0]) + noise

    def ratio(a, b):
        if a is None or b is None:
            return "-"
        return f"{a[0] / b[0]:.2f}"

    for n in sizes:
        floor = values.get(("copy", "floor", n))
        here = [v[2] for (_, _, m), v in values.items() if m == n and not math.isnan(v[2])]
        out += [
            "",
            f"## N = {fast_size(n)}",
            "",
            f"Load average during these runs: up to {max(here, default=math.nan):.1f}.",
            "",
            (
                "| function | fast, 1 thread | fast, all cores | exact method, 1 thread | "
                "exact method, all cores | peer | memory floor |"
            ),
            "|---|---|---|---|---|---|---|",
        ]
        for function in FAST_FUNCTIONS:
            peer = FAST_PEERS[function]
            cells = [cell(function, t, n) for t in ("fast-1t", "fast", "exact-1t", "exact")]
            peer_cell = cell(function, peer, n)
            peer_cell = "-" if peer_cell == "-" else f"{FAST_PEER_NAMES[peer]} {peer_cell}"
            out.append(
                f"| `{function}` | "
                + " | ".join([*cells, peer_cell, cell("copy", "floor", n)])
                + " |"
            )
        out += [
            "",
            "| ratio | " + " | ".join(f"`{f}`" for f in FAST_FUNCTIONS) + " | target |",
            "|---|---|---|---|---|",
        ]
        rows = [
            (
                "fast (1 thread) / peer",
                lambda f: (("fast-1t", f), (FAST_PEERS[f], f)),
                "at most 0.5",
            ),
            (
                "fast (1 thread) / exact method (1 thread)",
                lambda f: (("fast-1t", f), ("exact-1t", f)),
                "",
            ),
            ("fast (all cores) / memory floor", lambda f: (("fast", f), None), "at most 2"),
        ]
        for label, pick, target in rows:
            cells = []
            for function in FAST_FUNCTIONS:
                (ta, fa), other = pick(function)
                a = values.get((fa, ta, n))
                b = floor if other is None else values.get((other[1], other[0], n))
                cells.append(ratio(a, b))
            out.append(f"| {label} | " + " | ".join(cells) + f" | {target} |")
    return "\n".join(out) + "\n"


def frames_table(suite: pyperf.BenchmarkSuite, n: int, checks, command: str) -> str:
    """bench/results/frames.md: benchmarks "<function> <observers> <tool>", and the largest
    differences from the peers, ``checks`` ((function, one observer, peer, per column))."""
    tools = ("ours", "ours-1t", "pymap3d", "pyproj")
    timings = {}
    for b in suite.get_benchmarks():
        name, observers, tool = b.get_name().split(" ", 2)
        timings[name, observers == "one", tool] = b.median()

    def ms(name, one, tool):
        t = timings.get((name, one, tool))
        return "—" if t is None else f"{t * 1e3:.2f}"

    def ratio(a, b):
        return f"{a / b:.1f}x" if a and b else "—"

    lines = [
        "# Local frames: speed against pymap3d and pyproj",
        "",
        (
            f"`{command}` on {run_date(suite)}: {n:,} WGS84 targets (altitudes up to 3e7 m),"
            f" pyperf's median wall time per call, in ms; {machine(suite)}."
        ),
        "",
        (
            '"ours" uses all CPUs, "1 thread" sets `QUORVANE_NUM_THREADS=1`; pymap3d and pyproj'
            ' compute on one thread, so "pymap3d / 1 thread" compares the work done. pyproj runs'
            " the `+proj=topocentric` pipeline (after `+proj=cart` for geodetic input, before"
            " `+proj=axisswap +order=2,1,-3` for NED); a pipeline holds one observer, so it has"
            " no per-target rows, and it has no AER or rotation-only step."
        ),
        "",
        (
            "| function | observers | ours | 1 thread | pymap3d | pyproj |"
            " pymap3d / ours | pymap3d / 1 thread |"
        ),
        "|---|---|---:|---:|---:|---:|---:|---:|",
    ]
    names = list(dict.fromkeys((name, one) for name, one, _ in timings))
    total = dict.fromkeys(("ours", "ours-1t", "pymap3d"), 0.0)
    for name, one in names:
        t = {tool: timings.get((name, one, tool)) for tool in tools}
        lines.append(
            f"| `{name}` | {'one' if one else 'one per target'} | {ms(name, one, 'ours')} |"
            f" {ms(name, one, 'ours-1t')} | {ms(name, one, 'pymap3d')} |"
            f" {ms(name, one, 'pyproj')} | {ratio(t['pymap3d'], t['ours'])} |"
            f" {ratio(t['pymap3d'], t['ours-1t'])} |"
        )
        for tool in total:
            total[tool] += t[tool] or 0.0
    lines += [
        (
            f"| **all** | both | {total['ours'] * 1e3:.2f} | {total['ours-1t'] * 1e3:.2f} |"
            f" {total['pymap3d'] * 1e3:.2f} | | {ratio(total['pymap3d'], total['ours'])} |"
            f" {ratio(total['pymap3d'], total['ours-1t'])} |"
        ),
        "",
        (
            "Every row goes through the kernels' scalar libm calls in their fixed order, so the"
            " results are those of the methods bit for bit; pymap3d's NumPy expressions use"
            ' vectorised sines and cosines. The thread split ("ours") needs idle CPUs to show:'
            " compare the load average above with the CPU count."
        ),
        "",
        (
            "Largest difference from the module's result (metres for lengths, radians for angles)."
            " pymap3d's own geodetic latitude drifts by about 1e-6 rad at 3e7 m; PROJ's inverse"
            " `+proj=cart` loses decimetres of altitude there:"
        ),
        "",
        "| function | observers | peer | column 1 | column 2 | column 3 |",
        "|---|---|---|---:|---:|---:|",
    ]
    for name, one, peer, d in checks:
        lines.append(
            f"| `{name}` | {'one' if one else 'one per target'} | {peer} | "
            + " | ".join(f"{v:.1e}" for v in d)
            + " |"
        )
    return "\n".join(lines) + "\n"


def frames_one_point_table(suite: pyperf.BenchmarkSuite, command: str) -> str:
    """bench/results/frames-one-point.md: benchmarks "<function> one-point <tool>"."""
    timings = {}
    for b in suite.get_benchmarks():
        name, _, tool = b.get_name().split(" ", 2)
        timings[name, tool] = b.median()

    def us(name, tool):
        t = timings.get((name, tool))
        return "—" if t is None else f"{t * 1e6:.2f}"

    lines = [
        "# Local frames: one point against pymap3d",
        "",
        (
            f"`{command}` on {run_date(suite)}: pyperf's median wall time per call of one point"
            f" of Python floats, in µs; {machine(suite)}."
        ),
        "",
        (
            '"frames" is the function as a user calls it: plain numbers take its one-point path'
            ' in `_frames`. "array path" is the same call with the observer\'s latitude (or the'
            ' input) as an array, which takes the general path every call took before. "method"'
            " is the `Ellipsoid` method (for `aer_from_lla`, `aer_coords` of `pos_from_lla`),"
            " whose results the frames functions give bit for bit. pymap3d gets Python floats"
            " and returns Python floats."
        ),
        "",
        "| function | frames | array path | method | pymap3d | pymap3d / frames |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    every = [name for name, tool in timings if tool == "ours"]
    for name in dict.fromkeys(name for name, tool in timings if tool != "ours"):
        frames, peer = timings.get((name, "frames")), timings.get((name, "pymap3d"))
        ratio = f"{peer / frames:.1f}x" if frames and peer else "—"
        lines.append(
            f"| `{name}` | {us(name, 'frames')} | {us(name, 'frames, array path')} |"
            f" {us(name, 'method')} | {us(name, 'pymap3d')} | {ratio} |"
        )
    if every:
        lines += [
            "",
            "## Every companion function, one point",
            "",
            (
                "Plain numbers (one position as a list) through the public function, as a user"
                " calls it; `fast.*` are the vectorised kernels."
            ),
            "",
            "| function | µs per call |",
            "|---|---:|",
        ]
        lines += [f"| `{name}` | {us(name, 'ours')} |" for name in every]
    return "\n".join(lines) + "\n"


def peak_mib(bench: pyperf.Benchmark) -> float:
    """The largest peak resident set of the runs, in MiB."""
    peaks = [run.get_metadata().get("command_max_rss", 0) for run in bench.get_runs()]
    return max(peaks) / 2**20


def cli_table(suite: pyperf.BenchmarkSuite, rows, small: int, large: int, command: str) -> str:
    """The tables of bench/results/cli.md: ``rows`` are (job, program, benchmark name)."""
    seconds = medians(suite)
    peaks = {b.get_name(): peak_mib(b) for b in suite.get_benchmarks()}

    def ratio(a: str, b: str) -> str:
        return f"{seconds[a] / seconds[b]:.2f}"

    ours_csv, ours_pq = f"ours csv {small:.0e}", f"ours parquet {large:.0e}"
    floor, floor_sync = f"floor parquet {large:.0e}", f"floor+fsync parquet {large:.0e}"
    lines = [
        "# Command-line tool",
        "",
        (
            f"`{command}` on {run_date(suite)}, {machine(suite)}. Wall time of a whole process,"
            " start-up and imports included (pyperf's median); peak resident set of the process"
            " (the largest over the runs)."
        ),
        "",
        "| Job | Program | Wall time | Peak memory |",
        "|---|---|---:|---:|",
        *(f"| {j} | {p} | {seconds[k]:.2f} s | {peaks[k]:.0f} MiB |" for j, p, k in rows),
        "",
        "| Ratio | Wall time | Target |",
        "|---|---:|---:|",
        f"| CSV: ours / pandas + pyproj | {ratio(ours_csv, f'pandas csv {small:.0e}')} | <= 0.33 |",
        f"| Parquet: ours / pyarrow floor | {ratio(ours_pq, floor)} | <= 1.5 |",
        f"| Parquet: ours / pyarrow floor + fsync | {ratio(ours_pq, floor_sync)} | <= 1.5 |",
        "",
        f"| Peak memory of the tool | {small:.0e} rows | {large:.0e} rows |",
        "|---|---:|---:|",
        *(
            f"| {fmt} | {peaks[f'ours {fmt} {small:.0e}']:.0f} MiB"
            f" | {peaks[f'ours {fmt} {large:.0e}']:.0f} MiB |"
            for fmt in ("csv", "parquet")
        ),
        "",
    ]
    return "\n".join(lines)


def split(suite: pyperf.BenchmarkSuite, directory: Path) -> None:
    by_tool: dict[str, list[pyperf.Benchmark]] = {}
    for bench in suite.get_benchmarks():
        md = bench.get_metadata()
        name = bench.get_name().replace(f" {md['tool']}", "", 1)
        bench.update_metadata({"name": name})
        by_tool.setdefault(md["tool"], []).append(bench)
    directory.mkdir(parents=True, exist_ok=True)
    for tool, benches in by_tool.items():
        pyperf.BenchmarkSuite(benches).dump(str(directory / f"{tool}.json"), replace=True)
        print(f"wrote {directory / f'{tool}.json'} ({len(benches)} benchmarks)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("json", nargs="?", default=str(HERE / "results" / "methods.json"))
    parser.add_argument("--out", default=str(HERE / "results"), help="directory of the outputs")
    parser.add_argument("--ref-n", type=float, default=1e6, help="N of the summary tables")
    parser.add_argument("--split", metavar="DIR", help="write one pyperf file per tool instead")
    parser.add_argument(
        "--docs",
        action="store_true",
        help="write the documentation's figures and tables (docs/benchmarks/) from the committed "
        "JSON in bench/results instead",
    )
    args = parser.parse_args()
    if args.docs:
        docs()
        return

    suite = pyperf.BenchmarkSuite.load(args.json)
    if args.split:
        split(suite, Path(args.split))
        return
    res = Results(suite)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    source = args.json
    try:
        source = str(Path(args.json).resolve().relative_to(HERE.parent))
    except ValueError:
        pass
    (out / "results.md").write_text(markdown(res, int(args.ref_n), source))
    plot(res, out / "scaling.png")
    print(f"wrote {out / 'results.md'} and {out / 'scaling.png'}")


if __name__ == "__main__":
    main()
