#!/usr/bin/env python3
"""Turns the pyperf JSON of bench/methods.py into results.md (tables of nanoseconds per point,
ratios to the floor and to each peer, one-point latency) and scaling.png.

    python -m bench.report bench/results/methods.json [--out bench/results] [--ref-n 1e6]
    python -m bench.report bench/results/methods.json --split /tmp/by-tool
    python -m pyperf compare_to /tmp/by-tool/floor.json /tmp/by-tool/ours-1t.json --table

``--split`` writes one pyperf file per tool with the tool dropped from the benchmark names, so
that ``pyperf compare_to`` compares tools with one another.
"""

from __future__ import annotations

import argparse
from pathlib import Path

import pyperf

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
        loads = [
            run.get_metadata().get("load_avg_1min")
            for bench in self.suite.get_benchmarks()
            for run in bench.get_runs()
        ]
        loads = [x for x in loads if x is not None]
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
    args = parser.parse_args()

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
